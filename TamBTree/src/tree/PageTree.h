// The B+-tree of pages: search, insertion with top-down splits, erasure with
// rebalancing, update, the steps of iterators, the consistency check of pages
// and records, and the compacting copy. It works on pages through the pager
// (read, write with copy-on-write, new, free) and inside pages through the
// page layout; it owns no page and no file state, only the scratch of its
// operations.
//
// Invariants of the tree it keeps: every level is a doubly linked list of
// pages in key order; an internal page with n keys has n + 1 children, key k
// separating child k - 1 (records not greater) from child k (not less); only
// the root may be an empty leaf; page 0 is the leftmost leaf and never freed.
// `const` operations do not change the file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "BTree.h"
#include "Below.h"
#include "FastVector.h"
#include "Geometry.h"
#include "PageLayout.h"
#include "TreeOwner.h"
#include "pager/Pager.h"

namespace TamBTree {

class PageTree {
public:
    using Record = BTree::Record;
    // BTree's reader types (protected there).
    using RecordReader = void (*)(void* context, const Record& r);
    using RunReader = bool (*)(void* context, const Record& r);

    PageTree(Pager& pager, const PageLayout& layout, const Geometry& geometry,
             const TreeOwner& owner);
    ~PageTree();
    PageTree(const PageTree&) = delete;
    PageTree& operator=(const PageTree&) = delete;

    // The client's ordering.
    bool Less(const Record& a, const Record& b) const {
        return layout.ByteOrder() ? PageLayout::KeyBytesLess(nullptr, a, b) : layout.Less(a, b);
    }
    // Refuses a record whose sizes do not fit the tree.
    void CheckRecordSizes(const Record& r) const;

    BTreeIterator Find(const Record& r) const;
    BTreeIterator FindEx(const BTreeIterator& hint, const Record& r) const;
    BTreeIterator LowerBound(const Record& r) const;
    BTreeIterator UpperBound(const Record& r) const;
    BTreeIterator Begin() const;
    bool FindAndRead(const Record& r, RecordReader read, void* context) const;
    Record GetRecord(std::uint64_t page, std::uint32_t index) const;

    // The writes; the caller has refused them on a read-only tree and while a
    // committed block waits.
    std::pair<BTreeIterator, bool> Insert(const Record& r);
    std::pair<BTreeIterator, bool> InsertOrAssign(const Record& r);
    bool Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next);
    std::uint32_t Erase(const Record& r);
    BTreeIterator Update(const BTreeIterator& it, const Record& r);

    // Iterator steps, shared by both iterator classes.
    void StepForward(std::uint64_t& page, std::uint32_t& record) const;
    void StepBackward(std::uint64_t& page, std::uint32_t& record) const;
    std::uint32_t StepAndRead(std::uint64_t& page, std::uint32_t& record, int step,
                              std::uint32_t most, RunReader read, void* context) const;
    std::uint32_t Distance(std::uint64_t aPage, std::uint32_t aRecord, std::uint64_t bPage,
                           std::uint32_t bRecord) const;

    // The records in order and in the number the tree claims, and every
    // page's keys against its children and neighbours.
    void Validate() const;
    // The file was opened again: what was measured of the tree is forgotten.
    void Reopened();
    // The height, pages per level and used bytes.
    void AddStatistics(BTree::Statistics& s) const;
    // Fills this (new, empty) tree with the last commit of `source`, whose
    // head is `head`, bottom-up.
    void CopyCommitted(const Pager& source, const PageLayout& sourceLayout, const BTreeInfo& head);

private:
    enum FindPageOperation {
        FindPageBackward = 0,
        FindPageForward = 1,
        FindPageForwardInclusive = 2
    };
    friend class CompactingCopy;

    std::uint64_t Root() const { return pager->Counts().root; }
    BTreeIterator At(std::uint64_t page, std::uint32_t record) const {
        return BTreeIterator(page, record, owner.Tree());
    }
    [[noreturn]] void ThrowInvalid(const std::wstring& what) const;
    [[noreturn]] void ThrowTooDeep() const;

    // Search.
    // The first record not Less than r after one descent (end when none), and
    // the leaf that holds it.
    BTreeIterator FirstNotLess(const Record& r, PageHeader*& page) const;
    BTreeIterator Bound(const Record& r, bool lower) const;
    // Find in a tree without duplicates: one descent and one comparison.
    BTreeIterator FindUnique(const Record& r) const;
    std::uint64_t FindPage(const Record& r, PageHeader* const page, FindPageOperation op) const;
    PageHeader* Descend(const Record& r) const;
    Record IteratorRecord(const BTreeIterator& it) const;

    // Insertion.
    // Headroom for the pages one write may create, before its outermost
    // bracket opens.
    void SecureRoomForWrite();
    // The pages one write may take at the tree's current height.
    std::uint64_t WritePages() const;
    Record CopyAside(const Record& r, unsigned char* buffer) const;
    bool HasRoom(const PageHeader* page, const Record& r) const;
    // The number of entries of `page` Less than r (FindLargestRecord), trying
    // the last entry first while inserts go to the ends of their leaves.
    std::uint32_t InsertPosition(const PageHeader* page, const Record& r) const;
    std::pair<BTreeIterator, bool> Store(const Record& r, bool assign);
    // With `assign`, an equal record found gets r's value.
    std::pair<BTreeIterator, bool> InsertNonFullPage(std::uint64_t page, const Record& r,
                                                     FastVector<std::uint64_t>& path,
                                                     bool assign = false);
    BTreeIterator AssignValue(const BTreeIterator& it, const Record& r);
    // Where to split a full page for an entry needing `need` bytes with
    // `position` entries Less than it: balanced by stored bytes, except for an
    // append at the end of a level.
    std::uint32_t SplitPoint(const PageHeader* page, std::uint32_t position,
                             std::uint32_t need) const;
    void SplitChildPage(std::uint64_t page, std::uint32_t position,
                        FastVector<std::uint64_t>& path);
    // Splits page p so that r finds room on its side.
    void SplitFor(std::uint64_t p, const Record& r, FastVector<std::uint64_t>& path);
    // Takes p's parent off the path and splits it first when it cannot take
    // the separator; returns the page that will hold it and, in pos, p's
    // position among that page's children.
    std::uint64_t ParentForSeparator(std::uint64_t p, const Record& separator,
                                     FastVector<std::uint64_t>& path, std::uint32_t& pos);

    // Erase.
    void GetPath(PageHeader* const page, FastVector<std::uint64_t>& path);
    void WalkRightTo(std::uint64_t target, std::uint64_t cur, FastVector<std::uint64_t>& path);
    void BalanceSubTree(PageHeader* const page, FastVector<std::uint64_t>& path);
    void BorrowFromLeft(PageHeader* page, std::uint64_t parent, std::uint32_t pos);
    void BorrowFromRight(PageHeader* page, std::uint64_t parent, std::uint32_t pos);
    void SplitParentAndRetry(PageHeader* page, FastVector<std::uint64_t>& path);
    void MergePage(PageHeader* const source, PageHeader* const destination,
                   FastVector<std::uint64_t>& path);
    std::uint32_t SeparatorNeed(const PageHeader* parent, std::uint32_t k) const;
    std::uint32_t KeyLength(const PageHeader* page, std::uint32_t k) const;

    // Validation.
    [[noreturn]] void ThrowDamagedText(const wchar_t* text) const;
    void ValidatePage(std::uint64_t page, std::uint32_t level, std::uint64_t& visits) const;
    void ValidateSeparator(std::uint64_t page, std::uint32_t k) const;
    bool InOrder(const Record& previous, const Record& current) const;
    Record CheckedRecord(const PageHeader* page, std::uint32_t i) const;
    void CheckDataSize(const PageHeader* page) const;
    const PageHeader* NonEmptyPage(std::uint64_t n) const;

    Below<Pager> pager;
    const PageLayout& layout;
    const Geometry& geometry;
    const TreeOwner& owner;
    FastVector<std::uint64_t> insertPath;
    // Holds copies of records handed to Insert (first half) and to Update and
    // Erase (second half).
    unsigned char* insertBuffer;
    // The last insert went to the end of its leaf: keys are likely coming in
    // ascending order, and the next one likely goes past every entry on its
    // path too. A hint only; either value gives the same positions.
    bool appending = false;
    // The tree's height as last measured, and the root it was measured from.
    mutable std::uint64_t measuredHeight = 1;
    mutable std::uint64_t heightRoot = NO_PAGE;
};

}  // namespace TamBTree
