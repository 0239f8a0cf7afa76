// The tree's internals for the tests of pages, the file and the commit
// schedule, and for the benchmark's count of written pages: the one door to
// them, a friend of BTree and of its core. Not part of the library's API.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "BTree.h"
#include "CacheOperation.h"
#include "TreeCore.h"

namespace TamBTree {

class BTreeTestAccess {
public:
    static std::uint64_t PageCount(const BTree& tree) { return Core(tree).pager.Counts().pages; }
    static std::uint64_t RootPage(const BTree& tree) { return Core(tree).pager.Counts().root; }
    // Free bytes of page n: what the header, the directory and the live data
    // leave of the page.
    static std::uint32_t PageFreeSpace(const BTree& tree, std::uint64_t n) {
        CacheOperation bracket(&tree);
        const PageHeader* page = Core(tree).pager.LoadPage(n);
        return PAGE_SIZE - PAGE_HEADER_SIZE - page->dataSize - page->directorySize;
    }
    static TamFile::MemoryMapFile& File(const BTree& tree) {
        return Core(tree).pager.Space().File();
    }
    static TamFile::EmptyListT<std::uint64_t>& FreeList(const BTree& tree) {
        return Core(tree).pager.Space().FreeList();
    }
    // The end of the file's last granule in use: the size without its free tail.
    static std::uint64_t UsedEnd(const BTree& tree) {
        std::uint64_t end = tree.GetDiskSpaceUsed();
        for (const auto& block : FreeList(tree).BlocksByOffset())
            if (block.first + block.second == end) end = block.first;
        return end;
    }
    // The flushes of the commit schedule that a crash needs, and dropping one
    // of them in every commit from now on (NoFlush: none).
    static constexpr int NoFlush = Committer::NoFlush;
    // Each flush with the durability mode whose schedule has it.
    static std::vector<std::pair<Durability, int>> ScheduleFlushes() {
        return {{Durability::Full, Committer::DataFlush},
                {Durability::Full, Committer::DecisionFlush},
                {Durability::Full, Committer::ReadyFlush},
                {Durability::Full, Committer::ApplyingFlush},
                {Durability::Full, Committer::IdleDataFlush},
                {Durability::Full, Committer::IdleFlush},
                {Durability::Normal, Committer::NormalFlush},
                {Durability::Normal, Committer::SettleFlush},
                {Durability::Deferred, Committer::SyncDataFlush},
                {Durability::Deferred, Committer::SyncDecisionFlush}};
    }
    static void DropFlush(int which) {
        Committer::ms_droppedFlush = static_cast<Committer::ScheduledFlush>(which);
    }
    static std::vector<std::uint64_t> PageIndexBlocks(const BTree& tree) {
        const BTreeInfo* head = Core(tree).pager.Head();
        return {head->Blocks(), head->Blocks() + head->pageIndexBlockCount};
    }
    static std::map<std::uint64_t, std::uint64_t> ChangedPages(const BTree& tree) {
        const PageMap& changed = Core(tree).pager.ChangedPages();
        return {changed.begin(), changed.end()};
    }
    // How many pages the open transaction has written (copied or created).
    static std::size_t ChangedPageCount(const BTree& tree) {
        return Core(tree).pager.ChangedPages().size();
    }

private:
    static TreeCore& Core(const BTree& tree) { return *tree.core; }
};

}  // namespace TamBTree
