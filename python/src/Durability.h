// The durability modes of the Python module, and the one place that hands
// them to the library: "full" (a commit is durable when it returns),
// "normal" (one flush per commit; a power loss may take back the last one)
// and "deferred" (no flush until sync(), closing, or enough gathered).
#pragma once

#include <string>

#include "ByteTree.h"

namespace TamPy {

enum class Durability { Full, Normal, Deferred };

// ValueError for a word that names no mode.
Durability ParseDurability(const std::string& word);
const char* DurabilityName(Durability durability);

// Sets the mode in the options a tree is opened with.
void ApplyDurability(TamBTree::ByteTree::Options& options, Durability durability);

// Makes every commit made so far durable (nothing to do under "full").
void Sync(TamBTree::ByteTree& tree);

}  // namespace TamPy
