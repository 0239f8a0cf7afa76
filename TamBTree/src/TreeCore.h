// The core behind BTree: the facade that joins the layers. BTree forwards
// every call here; the core owns the record geometry, the page layout, the
// pager (pager/), the transaction (txn/) and the tree algorithms (tree/),
// and decides which operation each state allows. It keeps no state of its own
// beyond that; opening, creating, loading and recovery live in TreeFile.cpp.
//
// Layers, each using only those below it: tree -> txn -> pager -> page
// layout and file format. The core is above them all.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BTree.h"
#include "Geometry.h"
#include "PageLayout.h"
#include "TamMem.h"
#include "TreeOwner.h"
#include "pager/Pager.h"
#include "tree/PageTree.h"
#include "txn/Committer.h"

namespace TamBTree {

class SharedWriter;

// Loads the tree file at `path` into `pager` and `txn` as its last commit; a
// read-only pager opens the file with `readMode`. An interrupted commit is
// finished first (in a short read-write open for a read-only OpenRead), or
// for OpenReadShared read into memory as recovery would leave it.
void LoadTree(Pager& pager, Committer& txn, const Geometry& geometry, const std::string& path,
              TamFile::OpenMode readMode);
// The same, without the recovery.
void LoadTreeFile(Pager& pager, Committer& txn, const Geometry& geometry, const std::string& path,
                  TamFile::OpenMode readMode);

class TreeCore : public TamMem::PoolObject {
public:
    using Record = BTree::Record;

    TreeCore(BTree& owner, const std::string& path, bool allowDuplicates, bool fixedKeySize,
             bool hasValue, bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize,
             bool readOnly, bool deleteOnDestroy, BTree::OpenMode mode);
    // A snapshot's core: read-only, reading the last commit of `source`'s
    // tree as it stood when this was made. Any thread may make one at any
    // moment: it reads only what `source` shares for that.
    TreeCore(BTree& owner, const TreeCore& source);
    ~TreeCore();
    TreeCore(const TreeCore&) = delete;
    TreeCore& operator=(const TreeCore&) = delete;
    // The tree object moved: iterators name the new one.
    void Rebind(BTree& object);

    // The client's ordering.
    bool Less(const Record& a, const Record& b) const {
        return layout.ByteOrder() ? PageLayout::KeyBytesLess(this, a, b) : owner.Tree()->Less(a, b);
    }
    void UseByteOrder() { layout.UseByteOrder(); }

    // The operations BTree offers, with the same meaning.
    std::uint32_t GetMaxRecordSize() const { return geometry.maxRecordSize; }
    std::uint64_t GetDiskSpaceUsed() const { return pager.FileSize(); }
    void SetEnoughSpaceCheckInterval(std::uint32_t n) { pager.Space().SetSpaceCheckInterval(n); }
    bool ReadOnly() const { return pager.Space().ReadOnly(); }
    void ReadOnly(bool readOnly);
    const std::string& GetPath() const { return pager.Space().Path(); }
    std::vector<BTree::Reader> Readers() const;
    void CommitNow();
    void SetDurability(Durability mode, std::uint32_t syncEvery, std::uint64_t syncBytes);
    Durability GetDurability() const { return txn.GetDurability(); }
    void Sync();
    void PreCommit();
    void Commit();
    void Rollback();
    void ValidateTree();
    void CopyTo(const std::string& path) const;
    BTree::Statistics GetStatistics() const;
    BTree::CommitState GetCommitState() const;

    // Reads go straight to the tree: no state of the file forbids them.
    const PageTree& Tree() const { return tree; }
    const BTreeConstIterator& ConstBegin() const {
        return Size() ? owner.ConstBegin() : owner.ConstEnd();
    }
    const BTreeIterator& End() const { return owner.End(); }
    const BTreeConstIterator& ConstEnd() const { return owner.ConstEnd(); }
    std::uint32_t Size() const { return pager.Counts().records; }
    std::uint64_t ChangeCount() const { return pager.ChangeCount(); }

    std::pair<BTreeIterator, bool> Insert(const Record& r);
    std::pair<BTreeIterator, bool> InsertOrAssign(const Record& r);
    bool Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next);
    std::uint32_t Erase(const Record& r);
    BTreeIterator Update(const BTreeIterator& it, const Record& r);
    void Clear();

    // The operation bracket.
    int Add() const { return pager.Add(); }
    int Remove() const { return pager.Remove(); }
    int Depth() const { return pager.Depth(); }

private:
    friend class BTreeTestAccess;

    // Marks the transaction failed when an exception leaves a data operation
    // after it made a page writable: a half-done split or move must never be
    // committed.
    class ChangeGuard {
    public:
        explicit ChangeGuard(TreeCore& guarded)
            : core(guarded),
              writes(guarded.pager.PageWrites()),
              exceptions(std::uncaught_exceptions()) {}
        ~ChangeGuard() {
            if (std::uncaught_exceptions() > exceptions && core.pager.PageWrites() != writes)
                core.txn.Fail();
        }
        ChangeGuard(const ChangeGuard&) = delete;
        ChangeGuard& operator=(const ChangeGuard&) = delete;

    private:
        TreeCore& core;
        std::uint64_t writes;
        int exceptions;
    };

    static std::uint32_t ChosenPageSize(std::uint32_t requested, const std::string& path);
    void AllocateRecordBuffers();
    static bool LessHook(const void* core, const Record& a, const Record& b);
    void ThrowIfReadOnly() const;
    void FreeRecordBuffers();

    // Opening, creating, loading and recovery (TreeFile.cpp).
    bool Exist() const;
    void RefuseForeignFile() const;
    // Opens the tree file found at the path, or creates one, as `mode` says.
    void OpenOrCreateFile(BTree::OpenMode mode);
    // Writes a new tree file, opening the path the way `how` says.
    void Create(TamFile::OpenMode how = TamFile::OpenCreate);
    void Load();
    void LoadFile();
    // A read-only open beside a writer in another process (or beside none):
    // the tree reads images pinned in the reader table. False when the table
    // cannot be used; the file is then opened the old way.
    bool ReadBesideWriter();
    // The writer's side: images go to the table for readers.
    void ShareWrites(std::unique_ptr<SharedWriter> shared);
    void StopSharing(bool atRest);
    void BecomeWriter();
    void ValidateBeside();
    // Forgets everything read from the file, before it is read again.
    void Reset();

    const std::string path;
    const Geometry geometry;
    const bool deleteOnDestroy;
    TreeOwner owner;
    PageLayout layout;
    Pager pager;
    Committer txn;
    PageTree tree;
};

}  // namespace TamBTree
