// How a Python Tree opens its file: the keyword arguments of Tree(...) as
// parsed values, and the library's options made of them.
#pragma once

#include <cstdint>
#include <string>

#include "ByteTree.h"
#include "Durability.h"
#include "OrderedTree.h"

namespace TamPy {

// Contract: what Tree(...) was called with, checked: every word is one the
// module knows (ParseMode, ParseOrder and ParseDurability raise ValueError
// for any other), so a Settings always opens a tree the same way.
struct Settings {
    std::string path;
    TamBTree::BTree::OpenMode mode = TamBTree::BTree::OpenOrCreate;
    bool readOnly = false;
    bool duplicates = false;
    Durability durability = Durability::Full;
    Order order = Order::Bytes;
    // Bytes of mapped views the tree keeps: the pages a working set reaches
    // without mapping them again.
    std::uint32_t cacheSize = 256u << 20;
};

TamBTree::BTree::OpenMode ParseMode(const std::string& word);
Order ParseOrder(const std::string& word);
// ValueError unless 0 < bytes < 4 GiB.
std::uint32_t ParseCacheSize(long long bytes);
const char* ModeName(TamBTree::BTree::OpenMode mode);
const char* OrderName(Order order);

// The library's options for opening the tree these settings describe.
TamBTree::ByteTree::Options LibraryOptions(const Settings& settings);

}  // namespace TamPy
