// Compaction of a tree file in place, and the estimate of what it gains.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "BTree.h"

namespace TamTool {

// The size of the file at `path`; 0 when there is none.
std::uint64_t FileSize(const std::string& path);

// The temporary file an in-place compaction of `path` writes beside it.
std::string CompactTemporary(const std::string& path);

// Replaces the file of `tree`, which is open for writing (so it holds the
// file's lock), by a compact copy of its last commit: the copy is written
// beside it, flushed with its directory and renamed over it, so a crash at any
// moment leaves the old file or the new one, complete. The tree must be closed
// afterwards: it still reads the old file. Throws Failure when a pre-committed
// transaction waits. `progress`, when set, is called now and then during the
// copy with the bytes written so far.
void CompactInPlace(const TamBTree::BTree& tree,
                    const std::function<void(std::uint64_t)>& progress = nullptr);

// Runs `copy`, calling `progress` with the size of the file at `target` every
// tenth of a second until it returns.
void WatchCopy(const std::string& target, const std::function<void()>& copy,
               const std::function<void(std::uint64_t)>& progress);

// The size a compact copy of the tree would about have: its pages' used
// bytes at the copy's fill, plus the system block and the page index.
std::uint64_t EstimateCompactSize(const TamBTree::BTree::Statistics& s);

}  // namespace TamTool
