// Durability: the modes' names and their wiring into the library.
#include "Durability.h"

#include <pybind11/pybind11.h>

namespace TamPy {

Durability ParseDurability(const std::string& word) {
    if (word == "full") return Durability::Full;
    if (word == "normal") return Durability::Normal;
    if (word == "deferred") return Durability::Deferred;
    throw pybind11::value_error(
        "durability must be one of \"full\", \"normal\", \"deferred\", not \"" + word + "\"");
}

const char* DurabilityName(Durability durability) {
    switch (durability) {
        case Durability::Normal:
            return "normal";
        case Durability::Deferred:
            return "deferred";
        case Durability::Full:
            break;
    }
    return "full";
}

void ApplyDurability(TamBTree::ByteTree::Options& options, Durability durability) {
    switch (durability) {
        case Durability::Normal:
            options.durability = TamBTree::Durability::Normal;
            return;
        case Durability::Deferred:
            options.durability = TamBTree::Durability::Deferred;
            return;
        case Durability::Full:
            break;
    }
    options.durability = TamBTree::Durability::Full;
}

void Sync(TamBTree::ByteTree& tree) {
    tree.Sync();
}

}  // namespace TamPy
