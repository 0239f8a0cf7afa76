// A tree of byte-string keys and values: store batches under a transaction,
// reopen, read.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ByteTree.h"

using Batch = std::vector<std::pair<std::string, std::string>>;

// Stores all of the batch or none of it: a throw in the middle leaves the
// guard uncommitted, and its destructor rolls the batch back.
void Store(TamBTree::ByteTree& tree, const Batch& batch) {
    TamBTree::ByteTree::Transaction tx(tree);
    for (const auto& [fruit, colour] : batch) {
        if (colour.empty()) throw std::invalid_argument("no colour for " + fruit);
        tree.Put(fruit, colour);
    }
    tx.Commit();  // durable from here on
}

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "fruit.tbt";
    {
        TamBTree::ByteTree tree(path);
        Store(tree, {{"banana", "yellow"}, {"apple", "red"}, {"cherry", "dark red"}});
        try {
            Store(tree, {{"durian", "green"}, {"elderberry", ""}});
        } catch (const std::invalid_argument& e) {
            std::printf("refused: %s\n", e.what());  // durian was rolled back too
        }
    }
    TamBTree::ByteTree tree(path);
    std::printf("apple is %s\n", tree.Get("apple").value_or("?").c_str());
    for (const auto& [fruit, colour] : tree.Records("b", "d"))
        std::printf("%.*s: %.*s\n", int(fruit.size()), fruit.data(), int(colour.size()),
                    colour.data());
    for (auto [fruit, colour] : tree.Records("c"))  // from "c" to the end
        std::printf("from c on: %.*s\n", int(fruit.size()), fruit.data());
    std::remove(path.c_str());
    return tree.Size() == 3 && !tree.Contains("durian") ? 0 : 1;
}
