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

void ApplyDurability(TamBTree::ByteTree::Options&, Durability durability) {
    if (durability == Durability::Full) return;
    PyErr_SetString(PyExc_NotImplementedError,
                    (std::string("durability=\"") + DurabilityName(durability) +
                     "\" is not available yet: this build of the library makes every commit "
                     "durable when it returns (durability=\"full\")")
                        .c_str());
    throw pybind11::error_already_set();
}

void Sync(TamBTree::ByteTree&, Durability) {
    // Under "full" the last commit was flushed before it returned.
}

}  // namespace TamPy
