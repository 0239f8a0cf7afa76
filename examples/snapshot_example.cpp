// Readers on other threads: each takes a snapshot of the last commit and reads
// it while the tree's own thread goes on writing and committing.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ByteTree.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "counters.tbt";
    TamBTree::ByteTree tree(path);
    tree.Put("a", "0");
    tree.Put("b", "0");
    tree.Commit();

    // Every commit keeps a and b equal: no snapshot may ever show them apart.
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (writing) {
                const TamBTree::ByteTree::Snapshot snapshot = tree.TakeSnapshot();
                if (snapshot.Get("a") != snapshot.Get("b")) ++torn;
            }
        });
    for (int i = 1; i <= 200; ++i) {
        tree.Put("a", std::to_string(i));
        tree.Put("b", std::to_string(i));  // the snapshots cannot see a without b
        tree.Commit();
    }
    writing = false;
    for (std::thread& reader : readers) reader.join();

    const TamBTree::ByteTree::Snapshot last = tree.TakeSnapshot();
    std::printf("a = %s, torn reads: %d\n", last.Get("a").value_or("?").c_str(), torn.load());
    std::remove(path.c_str());
    return torn == 0 && last.Get("a") == "200" ? 0 : 1;
}
