// The durability modes of the Python module, and the one place that hands
// them to the library. Every commit of the library is durable when it
// returns ("full"); "normal" and "deferred" wait for the library's modes and
// are refused until then.
#pragma once

#include <string>

#include "ByteTree.h"

namespace TamPy {

enum class Durability { Full, Normal, Deferred };

// ValueError for a word that names no mode.
Durability ParseDurability(const std::string& word);
const char* DurabilityName(Durability durability);

// Sets the mode in the options a tree is opened with; NotImplementedError for
// a mode the library does not offer yet. Called before the file is opened, so
// a refused mode leaves nothing open.
void ApplyDurability(TamBTree::ByteTree::Options& options, Durability durability);

// Makes every commit made so far durable. Under "full" each commit already is
// when it returns, so there is nothing left to do.
void Sync(TamBTree::ByteTree& tree, Durability durability);

}  // namespace TamPy
