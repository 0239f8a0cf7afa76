// A tree of byte-string keys and values: store, commit, reopen, read.
#include <cstdio>
#include <string>

#include "ByteTree.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "fruit.tbt";
    {
        TamBTree::ByteTree tree(path);
        tree.Put("banana", "yellow");
        tree.Put("apple", "red");
        tree.Put("cherry", "dark red");
        tree.Commit();  // durable from here on
        tree.Put("durian", "green");
    }  // closed without Commit: durian is gone
    TamBTree::ByteTree tree(path);
    std::printf("apple is %s\n", tree.Get("apple").value_or("?").c_str());
    for (const auto& [fruit, colour] : tree.Records("b", "d"))
        std::printf("%.*s: %.*s\n", int(fruit.size()), fruit.data(), int(colour.size()),
                    colour.data());
    std::remove(path.c_str());
    return tree.Size() == 3 && !tree.Contains("durian") ? 0 : 1;
}
