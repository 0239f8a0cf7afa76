// Opens a file of arbitrary bytes as a tree and drives the library over it:
// validation, a full iteration both ways, a few bounds, an insert, an erase
// and a commit. Whatever the bytes, every failure must come out as an
// exception of the library or of its file layer; anything else (a crash, a
// hang, an out-of-bounds access, a runaway allocation) is a fault.
//
// The file does not record the layout its records were written with, so the
// byte at offset 75 of the system block (reserved, never read by the library)
// picks one of the layouts below.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TestTree.h"
#include "TreeFileBytes.h"

namespace TamBTreeFuzz {

// A record layout of small caches: inputs may bring many pages.
inline TamBTreeTest::Options MakeOptions(bool duplicates, std::uint32_t keySize, bool values,
                                         std::uint32_t valueSize) {
    TamBTreeTest::Options o = TamBTreeTest::Layout(duplicates, keySize, values, valueSize);
    o.cacheSize = 4 * 65536;
    return o;
}

inline const TamBTreeTest::Options* Layouts(std::uint32_t& count) {
    static const TamBTreeTest::Options layouts[] = {
        MakeOptions(false, 0, true, 0),   // variable keys and values
        MakeOptions(false, 8, true, 16),  // fixed keys and values
        MakeOptions(false, 8, true, 0),   // fixed keys, variable values
        MakeOptions(false, 0, true, 12),  // variable keys, fixed values
        MakeOptions(false, 0, false, 0),  // variable keys only
        MakeOptions(false, 8, false, 0),  // fixed keys only
        MakeOptions(true, 0, true, 0),    // duplicates
    };
    count = sizeof layouts / sizeof layouts[0];
    return layouts;
}

constexpr std::uint64_t LAYOUT_BYTE = 75;
constexpr std::uint64_t FREE_TAIL = 24 * 65536;

// A record fitting `layout`, made from `seed`.
inline std::string KeyFor(const TamBTreeTest::Options& o, std::string seed) {
    if (o.fixedKeySize) seed.resize(o.keySize, '\0');
    return seed;
}

inline std::string ValueFor(const TamBTreeTest::Options& o, std::string seed) {
    if (o.fixedValueSize) seed.resize(o.valueSize, 'v');
    return o.hasValue ? seed : std::string();
}

// The texts of the exceptions the library raised, in order.
using Reports = std::vector<std::string>;

// Every error must be an exception of the library's family; others escape.
template <class Step>
bool Attempt(Reports& reports, Step step) {
    try {
        step();
        return true;
    } catch (const Tam::BaseException& e) {
        reports.push_back(e.what());
        return false;
    }
}

// Reads the first and last bytes of the record at `it`: a record reaching
// outside its page faults here (or under AddressSanitizer).
inline std::uint32_t Touch(const TamBTree::BTree& tree, const TamBTree::BTreeIterator& it) {
    const TamBTree::BTree::Record r = tree.GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
    std::uint32_t sum = 0;
    if (r.keyLength) sum += r.key[0] + r.key[r.keyLength - 1];
    if (r.value && r.valueLength) sum += r.value[0] + r.value[r.valueLength - 1];
    return sum;
}

inline void Walk(TamBTreeTest::TestTree& tree, bool forward) {
    // A damaged chain may loop; the walk stops where no valid tree goes.
    const std::uint64_t limit = 4 * static_cast<std::uint64_t>(tree.Size()) + 1000;
    volatile std::uint32_t sum = 0;
    TamBTree::BTreeIterator it = forward ? tree.Begin() : --TamBTree::BTreeIterator(tree.End());
    for (std::uint64_t steps = 0; !it.IsEnd() && steps < limit; ++steps) {
        sum = sum + Touch(tree, it);
        forward ? ++it : --it;
    }
}

inline void Bounds(TamBTreeTest::TestTree& tree, const TamBTreeTest::Options& o, Reports& reports) {
    const auto touch = [&tree](const TamBTree::BTreeIterator& it) {
        if (!it.IsEnd()) Touch(tree, it);
    };
    for (const char* seed : {"", "k", "key0042", "\x7f\xff\xff", "zzzzzzzzzzzz"}) {
        const std::string key = KeyFor(o, seed);
        const auto probe = TamBTreeTest::TestTree::MakeKey(key);
        Attempt(reports, [&] { touch(tree.LowerBound(probe)); });
        Attempt(reports, [&] { touch(tree.UpperBound(probe)); });
        Attempt(reports, [&] { touch(tree.Find(probe)); });
    }
}

inline void Change(TamBTreeTest::TestTree& tree, const TamBTreeTest::Options& o, Reports& reports) {
    const bool done = Attempt(reports, [&] {
        // A large record needs room that only a truthful page header finds.
        const std::string large(3000, 'L');
        const std::string key = KeyFor(o, o.hasValue ? "fuzz-large" : "fuzz-large" + large);
        tree.Insert(TamBTreeTest::TestTree::Make(key, ValueFor(o, large)));
        for (int i = 0; i < 3; ++i) {
            const std::string numbered = KeyFor(o, "fuzz" + std::to_string(i));
            tree.Insert(
                TamBTreeTest::TestTree::Make(numbered, ValueFor(o, "value" + std::to_string(i))));
        }
        const TamBTree::BTreeIterator first = tree.Begin();
        if (!first.IsEnd()) tree.Erase(TamBTreeTest::TestTree::MakeKey(tree.KeyAt(first)));
        tree.PreCommit();
        tree.Commit();
    });
    // A failed change is discarded the documented way.
    if (!done) Attempt(reports, [&] { tree.Rollback(); });
}

// Writes `bytes` as the tree file at `path`, followed by free space (a hole,
// which costs nothing to write) so that opening it need not grow the file.
inline bool WriteTreeFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool written = size == 0 || std::fwrite(bytes, size, 1, f) == 1;
    written = std::fflush(f) == 0 && written &&
              ::ftruncate(fileno(f), static_cast<off_t>(size + FREE_TAIL)) == 0;
    std::fclose(f);
    return written;
}

// How a made tree ends: committed, or with its last records pre-committed and
// waiting, or with their install begun (ready 0, applying 1).
enum Ending { Committed, Waiting, Installing };

// Writes a valid tree of layout `layout` at `path`: `records` records of
// `bulk` bytes (in the keys where there are no values; every third record
// twice where duplicates are allowed) committed, then `more` records that end
// as `ending` says. The file is cut after its last used granule (a waiting
// block included) and carries its layout.
inline void MakeTree(const std::string& path, std::uint32_t layout, int records, int more,
                     std::uint32_t bulk, Ending ending) {
    std::uint32_t count = 0;
    const TamBTreeTest::Options& o = Layouts(count)[layout];
    std::remove(path.c_str());
    std::uint64_t usedEnd = 0;
    {
        TamBTreeTest::TestTree tree(path, o);
        for (int i = 0; i < records + more; ++i) {
            if (i == records) tree.CommitNow();
            char seed[16];
            std::snprintf(seed, sizeof seed, "key%05d", i * 37 % 100000);
            const std::string filler(bulk, static_cast<char>('a' + i % 26));
            const std::string key = KeyFor(o, o.hasValue ? seed : seed + filler);
            for (int copy = 0; copy < (o.allowDuplicates && i % 3 == 0 ? 2 : 1); ++copy)
                tree.Insert(TamBTreeTest::TestTree::Make(key, ValueFor(o, filler)));
        }
        if (ending == Committed) tree.CommitNow();
        if (ending != Committed) tree.PreCommit();
        usedEnd = TamBTree::BTreeTestAccess::UsedEnd(tree);
    }
    const TamBTreeTest::TreeFileBytes file(path);
    if (ending != Committed) {
        // The waiting block lies in space the free list counts as free.
        const std::uint64_t block = file.Head().committedBlockOffset;
        const std::uint64_t length = file.Get<std::uint32_t>(block);
        usedEnd = std::max(usedEnd, block + TamBTree::CommittedBlockSize(length));
    }
    // Installing: the head as a crash right after the install began leaves it.
    if (ending == Installing)
        file.Put<std::uint16_t>(offsetof(TamBTree::BTreeInfo, commitReady), 0x0100);
    if (::truncate(path.c_str(), static_cast<off_t>(usedEnd)) != 0) std::perror(path.c_str());
    file.Put<std::uint8_t>(LAYOUT_BYTE, static_cast<std::uint8_t>(layout));
}

// Runs everything on the tree file at `path`; returns normally unless the
// library faults, with what the library reported.
inline Reports Exercise(const std::string& path) {
    Reports reports;
    std::uint32_t count = 0;
    const TamBTreeTest::Options* layouts = Layouts(count);
    const auto selector = TamBTreeTest::TreeFileBytes(path).Get<std::uint8_t>(LAYOUT_BYTE);
    const TamBTreeTest::Options& o = layouts[selector % count];
    Attempt(reports, [&] {
        TamBTreeTest::TestTree tree(path, o);
        Attempt(reports, [&] { tree.ValidateTree(); });
        Attempt(reports, [&] { Walk(tree, true); });
        Attempt(reports, [&] { Walk(tree, false); });
        Bounds(tree, o, reports);
        Change(tree, o, reports);
        Attempt(reports, [&] { tree.ValidateTree(); });
        Attempt(reports, [&] { Walk(tree, true); });
    });
    return reports;
}

}  // namespace TamBTreeFuzz
