// Pieces of the tambtree tool shared by its commands.
#pragma once

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "BTree.h"
#include "ByteTree.h"

namespace TamTool {

// A failure the tool reports itself: "tambtree: <message>" and the exit code.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), code(exitCode) {}
    int Code() const { return code; }

private:
    int code;
};

// How keys are ordered: by bytes, or as little-endian integers.
enum class Order { Bytes, U32, U64, I64 };

// The layout of a tree file; it must match what its creator used.
struct Layout {
    bool duplicates = false;
    long long keySize = -1;  // -1: the order's default (variable for bytes)
    std::uint32_t valueSize = 0;
    bool values = true;
    Order order = Order::Bytes;
};

// A byte tree whose keys may be ordered as integers.
class GenericTree : public TamBTree::ByteTree {
public:
    GenericTree(const std::string& path, const Options& options, Order keyOrder)
        : ByteTree(path, options), order(keyOrder) {}

protected:
    bool Less(const Record& a, const Record& b) const override;

private:
    Order order;
};

enum class Access {
    Read,    // an existing tree, read-only
    Write,   // an existing tree
    Create,  // a tree, created when the file is missing or empty
};

// Opens the tree at `path`. An existing file that is not a tree file is never
// touched.
std::unique_ptr<GenericTree> OpenTree(const std::string& path, const Layout& layout, Access access);

// The statistics as text or as JSON.
void PrintStatistics(std::FILE* out, const TamBTree::BTree& tree, bool json);

int Demo();

}  // namespace TamTool
