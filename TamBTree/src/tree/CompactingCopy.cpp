// The compacting copy: the last committed tree written bottom-up into a new
// file. Leaves are filled in key order to about 90 % of their record area,
// each level above from the (largest key, page) pairs of the level below, so
// the copy's pages are numbered in key order, level by level, and the file
// holds no free space beyond a page image and a committed block.
//
// The source is read through its page index on disk, which describes the last
// commit in every state a copy is allowed in: changes of an open transaction
// and a waiting block live in other locations. Its pages come from the file,
// so they are checked as any committed image is before their counts are used.
#include <cstring>
#include <string>
#include <vector>

#include "Damage.h"
#include "FileFormat.h"
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

namespace {

// A page is closed once its entries would pass this share of its record area,
// leaving room for a few inserts before the first split.
constexpr std::uint32_t FILL_PERCENT = 90;

// A finished page of the copy and the largest key below it, which becomes the
// separator to its right in the level above.
struct Built {
    std::string lastKey;
    std::uint64_t page;
};

Record KeyOf(const std::string& key) {
    return Record{reinterpret_cast<const unsigned char*>(key.data()),
                  static_cast<std::uint32_t>(key.size()), nullptr, 0};
}

}  // namespace

// Builds the copy in a new, empty tree (the target) from the committed pages
// of the source.
class CompactingCopy {
public:
    CompactingCopy(const Pager& from, const PageLayout& fromLayout, PageTree& to)
        : source(from), sourceLayout(fromLayout), target(to) {}

    void Run(const BTreeInfo& head) {
        if (head.rootPage >= head.pageCount || head.pageCount > source.IndexCapacity())
            ThrowInvalid(L"bad page count or root page");
        committedPages = head.pageCount;
        CopyLeaves(head.rootPage);
        if (copied != head.recordCount)
            ThrowInvalid(L"the committed tree holds " + std::to_wstring(copied) +
                         L" records where its head counts " + std::to_wstring(head.recordCount));
        std::vector<Built> level = std::move(leaves);
        while (level.size() > 1) level = BuildLevel(level);
        target.pager->SetRoot(level.empty() ? 0 : level.front().page);
    }

private:
    [[noreturn]] void ThrowInvalid(const std::wstring& what) const {
        TamBTree::ThrowInvalid(source.Space().Path(), what);
    }

    // Walks the committed tree depth first and copies every leaf's records in
    // order. The children of each page on the path are copied aside, so only
    // one source page is mapped at a time.
    void CopyLeaves(std::uint64_t root) {
        std::vector<std::vector<std::uint64_t>> children;
        std::vector<std::size_t> next;
        std::uint64_t visits = 0;
        std::uint64_t n = root;
        for (;;) {
            if (++visits > committedPages)
                ThrowInvalid(L"page " + std::to_wstring(n) + L" is reached twice");
            bool mapped;
            const PageHeader* page = source.MapCommittedPage(n, committedPages, mapped);
            if (page->isLeaf) {
                for (std::uint32_t i = 1; i <= page->count; ++i)
                    Append(sourceLayout.GetRecord(page, i));
            } else {
                if (children.size() >= MAX_HEIGHT)
                    ThrowInvalid(L"the tree is deeper than 64 levels");
                std::vector<std::uint64_t> list;
                for (std::uint32_t j = 0; j <= page->count; ++j)
                    list.push_back(sourceLayout.GetChild(page, j));
                children.push_back(std::move(list));
                next.push_back(0);
            }
            if (mapped) source.UnmapCommittedPage(n);
            while (!children.empty() && next.back() == children.back().size()) {
                children.pop_back();
                next.pop_back();
            }
            if (children.empty()) break;
            n = children.back()[next.back()++];
        }
        if (open != NO_PAGE) CloseLeaf();
    }

    bool Full(const PageHeader* page, std::uint32_t need) const {
        const std::uint32_t area = target.geometry.pageSize - PAGE_HEADER_SIZE;
        const std::uint32_t used = area - target.layout.GetPageFreeSpace(page);
        return used + need > area / 100 * FILL_PERCENT;
    }

    void Append(const Record& r) {
        Bracket bracket(*target.pager);
        if (copied > 0 && !target.InOrder(LastRecord(), r))
            ThrowInvalid(L"the committed records are out of order");
        PageHeader* leaf = open == NO_PAGE ? nullptr : target.pager->LoadPageForUpdate(open);
        if (leaf && leaf->count > 0 && Full(leaf, target.layout.GetRequiredRecordSpace(leaf, r))) {
            CloseLeaf();
            leaf = nullptr;
        }
        if (!leaf) leaf = OpenLeaf();
        target.layout.InsertRecord(r, leaf, leaf->count + 1);
        target.pager->AddRecord();
        ++copied;
    }

    // The last record copied: once one is, the open leaf holds it.
    Record LastRecord() const {
        const PageHeader* leaf = target.pager->LoadPage(open);
        return target.layout.GetRecord(leaf, leaf->count);
    }

    PageHeader* OpenLeaf() {
        PageHeader* leaf;
        if (leaves.empty()) {
            // The new tree's empty root becomes the first leaf.
            leaf = target.pager->LoadPageForUpdate(0);
        } else {
            PageHeader h{};
            h.previousPage = leaves.back().page;
            h.nextPage = NO_PAGE;
            h.dataEnd = PAGE_HEADER_SIZE;
            h.isLeaf = 1;
            leaf = target.pager->NewPage(h);
            target.pager->LoadPageForUpdate(leaves.back().page)->nextPage = leaf->pageNumber;
        }
        open = leaf->pageNumber;
        return leaf;
    }

    void CloseLeaf() {
        const PageHeader* leaf = target.pager->LoadPage(open);
        const Record last = target.layout.GetRecord(leaf, leaf->count);
        leaves.push_back(
            Built{std::string(reinterpret_cast<const char*>(last.key), last.keyLength), open});
        open = NO_PAGE;
    }

    // The bytes key `k` takes in an internal page, its slot included.
    std::uint32_t KeyNeed(const std::string& k) const {
        return static_cast<std::uint32_t>(k.size()) + (target.geometry.fixedKeySize ? 0 : 4) +
               INTERNAL_SLOT_SIZE;
    }

    // One level above `below`: each page takes children while its keys fit
    // the fill limit; every page gets at least two children.
    std::vector<Built> BuildLevel(const std::vector<Built>& below) {
        const std::uint32_t area = target.geometry.pageSize - PAGE_HEADER_SIZE - 8;
        const std::uint32_t limit = area / 100 * FILL_PERCENT;
        std::vector<std::size_t> starts{0};
        std::uint32_t used = 0;
        for (std::size_t j = 1; j < below.size(); ++j) {
            const std::uint32_t need = KeyNeed(below[j - 1].lastKey);
            if (j - starts.back() >= 2 && used + need > limit) {
                starts.push_back(j);
                used = 0;
            } else {
                used += need;
            }
        }
        // A last page with a single child takes one from its left neighbour,
        // which has at least three (its keys fill most of a page).
        if (starts.size() > 1 && below.size() - starts.back() == 1) --starts.back();
        starts.push_back(below.size());

        std::vector<Built> level;
        for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
            Bracket bracket(*target.pager);
            PageHeader h{};
            h.previousPage = level.empty() ? NO_PAGE : level.back().page;
            h.nextPage = NO_PAGE;
            h.dataEnd = PAGE_HEADER_SIZE;
            h.directorySize = 8;
            h.isLeaf = 0;
            PageHeader* page = target.pager->NewPage(h);
            const std::uint64_t n = page->pageNumber;
            target.layout.SetChild(page, 0, below[starts[g]].page);
            for (std::size_t j = starts[g] + 1, k = 1; j < starts[g + 1]; ++j, ++k) {
                const Record key = KeyOf(below[j - 1].lastKey);
                if (target.layout.GetRequiredRecordSpace(page, key) >
                    target.layout.GetPageFreeSpace(page))
                    ThrowInvalid(L"a key of the committed tree does not fit a page");
                target.layout.InsertKey(key, page, static_cast<std::uint32_t>(k));
                target.layout.SetChild(page, static_cast<std::uint32_t>(k), below[j].page);
            }
            if (!level.empty()) target.pager->LoadPageForUpdate(level.back().page)->nextPage = n;
            level.push_back(Built{below[starts[g + 1] - 1].lastKey, n});
        }
        return level;
    }

    const Pager& source;
    const PageLayout& sourceLayout;
    PageTree& target;
    std::uint64_t committedPages = 0;
    std::uint64_t copied = 0;
    std::uint64_t open = NO_PAGE;
    std::vector<Built> leaves;
};

void PageTree::CopyCommitted(const Pager& source, const PageLayout& sourceLayout,
                             const BTreeInfo& head) {
    CompactingCopy(source, sourceLayout, *this).Run(head);
}

}  // namespace TamBTree
