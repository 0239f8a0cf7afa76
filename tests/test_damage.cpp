// Damaged tree files. The full consistency check reports each fault of a
// damaged file with its text, and a space fault before an order fault.
// Damaged files never crash the library: they are opened and driven the way
// the fuzz target drives its inputs (validation, walks both ways, bounds, a
// change and a commit), and the damage must come out as an exception. The
// inputs are the ones kept in fuzz/regressions (each once found a fault) and
// files with random damage aimed at every part of the format. One fault is
// also checked byte by byte: a page header that understates its data must not
// let an insert write outside the page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>

#include "../fuzz/TreeFuzz.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeTestAccess;
using TamBTree::NO_PAGE;

namespace {

constexpr std::uint64_t G = 65536;
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t kVariants = 120;
#else
constexpr std::uint32_t kVariants = 400;
#endif

std::string Invalid(const std::string& what, const std::string& path) {
    return "The B-Tree is invalid. " + what + " (" + path + ")";
}

Options KeysOnly() {
    return Layout(false, 0, false, 0);
}

TEST(Damage, EveryKeptFuzzInputIsReportedWithoutACrash) {
    TempDir dir(true);
    const std::string path = dir.File("input.bt");
    const std::string source = __FILE__;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             source.substr(0, source.rfind('/')) + "/../fuzz/regressions")) {
        const auto bytes = TreeFileBytes(entry.path()).ReadAll();
        ASSERT_TRUE(TamBTreeFuzz::WriteTreeFile(path, bytes.data(), bytes.size())) << entry.path();
        EXPECT_FALSE(TamBTreeFuzz::Exercise(path).empty()) << entry.path() << ": unnoticed";
        ++replayed;
    }
    std::printf("fuzz regressions: %d inputs replayed\n", replayed);
    EXPECT_GT(replayed, 0);
}

// A leaf filled to the last bytes whose dataSize claims it is nearly empty:
// the free space it reports is not there, and compaction cannot make it.
TEST(Damage, AnUnderstatedDataSizeFailsValidationAndCannotMakeAnInsertWriteOutsideItsPage) {
    TempDir dir(true);
    const std::string path = dir.File("tree.bt");
    {
        TestTree tree(path);
        for (int i = 0; BTreeTestAccess::PageFreeSpace(tree, 0) > 1100; ++i)
            tree.Put("k" + std::to_string(100000 + i), std::string(1000, 'a'));
        tree.Put("last", std::string(BTreeTestAccess::PageFreeSpace(tree, 0) - 40, 'q'));
        tree.CommitNow();
    }
    const TreeFileBytes file(path);
    file.Put<std::uint32_t>(file.PageOffset(0) + offsetof(TamBTree::PageHeader, dataSize), 100);
    TestTree tree(path);
    const std::string fault = ThrownText([&] { tree.ValidateTree(); });
    EXPECT_NE(fault.find("page 0 counts 100 live bytes where its entries hold "), std::string::npos)
        << fault;
    const std::vector<unsigned char> before = file.ReadAll();
    const std::string refused = ThrownText([&] { tree.Put("large", std::string(3000, 'L')); });
    EXPECT_EQ(refused.rfind("The B-Tree is invalid.", 0), 0u) << refused;
    // The insert works on the leaf's copy; the granule after the copy must be
    // as it was (zero if the file grew there).
    const std::uint64_t copy = BTreeTestAccess::ChangedPages(tree).at(0);
    const std::vector<unsigned char> now = file.ReadAll();
    ASSERT_GE(now.size(), copy + 2 * G);
    for (std::uint64_t at = copy + G; at < copy + 2 * G; ++at)
        ASSERT_EQ(now[at], at < before.size() ? before[at] : 0)
            << "written past the page at " << at;
}

// A leaf with gaps left by erasures whose dataSize claims 100 bytes more than
// its entries hold: the insert that would close the gaps must refuse the page
// rather than pack it and carry the false count on.
TEST(Damage, AnOverstatedDataSizeStopsTheInsertThatWouldPackThePage) {
    TempDir dir(true);
    const std::string path = dir.File("tree.bt");
    {
        TestTree tree(path);
        int n = 0;
        for (; BTreeTestAccess::PageFreeSpace(tree, 0) > 1100; ++n)
            tree.Put("k" + std::to_string(100000 + n), std::string(1000, 'a'));
        for (int i = n / 2; i < n / 2 + 5; ++i)
            tree.Erase(TestTree::MakeKey("k" + std::to_string(100000 + i)));
        tree.CommitNow();
    }
    const TreeFileBytes file(path);
    const std::uint64_t dataSize = file.PageOffset(0) + offsetof(TamBTree::PageHeader, dataSize);
    file.Put<std::uint32_t>(dataSize, file.Get<std::uint32_t>(dataSize) + 100);
    TestTree tree(path);
    const std::string refused = ThrownText([&] { tree.Put("new", std::string(3000, 'n')); });
    EXPECT_EQ(refused.rfind("The B-Tree is invalid.", 0), 0u) << refused;
}

template <class T>
T Load(const std::vector<unsigned char>& bytes, std::uint64_t at) {
    T value;
    std::memcpy(&value, &bytes[at], sizeof value);
    return value;
}

struct Range {
    std::uint64_t begin, end;
};

// Where damage goes: the system block head, page-index entries, page headers,
// slot directories, record areas, a waiting committed block, or anywhere.
struct Shape {
    std::uint64_t fileSize, pageCount;
    std::vector<std::uint64_t> pageOffsets;
    std::vector<Range> targets[7];  // the last stays empty: anywhere
};

Shape Parse(const std::vector<unsigned char>& bytes) {
    Shape s{bytes.size(), Load<std::uint64_t>(bytes, 24), {}, {}};
    const std::uint32_t blocks = Load<std::uint32_t>(bytes, 56);
    s.targets[0].push_back({0, 80 + 8 * std::uint64_t(blocks)});
    for (std::uint64_t b = 0; b < blocks && b * 8192 < s.pageCount; ++b) {
        const std::uint64_t block = Load<std::uint64_t>(bytes, 80 + 8 * b);
        const std::uint64_t entries = std::min<std::uint64_t>(8192, s.pageCount - b * 8192);
        s.targets[1].push_back({block, block + 8 * entries});
        for (std::uint64_t k = 0; k < entries; ++k) {
            const std::uint64_t at = Load<std::uint64_t>(bytes, block + 8 * k);
            if (at == NO_PAGE) continue;
            const std::uint32_t dataEnd =
                Load<std::uint32_t>(bytes, at + offsetof(TamBTree::PageHeader, dataEnd));
            const std::uint32_t directory =
                Load<std::uint32_t>(bytes, at + offsetof(TamBTree::PageHeader, directorySize));
            s.pageOffsets.push_back(at);
            s.targets[2].push_back({at, at + 48});
            s.targets[3].push_back({at + G - std::max<std::uint32_t>(directory, 4), at + G});
            s.targets[4].push_back({at + 48, at + std::max<std::uint32_t>(dataEnd, 52)});
        }
    }
    const std::uint64_t committed = Load<std::uint64_t>(bytes, 64);
    if (bytes[72])
        s.targets[5].push_back({committed, committed + Load<std::uint32_t>(bytes, committed)});
    return s;
}

// Damages `bytes` at one place with a random byte, a flipped bit or a telling
// 32- or 64-bit value.
void Damage(std::vector<unsigned char>& bytes, const Shape& s, std::mt19937& rng) {
    const std::vector<Range>& ranges = s.targets[rng() % 7];
    const Range r = ranges.empty() ? Range{0, s.fileSize} : ranges[rng() % ranges.size()];
    const std::uint64_t at = r.begin + rng() % (r.end - r.begin);
    const std::uint64_t word = std::min(at & ~std::uint64_t(3), s.fileSize - 8);
    const std::uint32_t small[] = {0,     1,           2,           47,          48,
                                   49,    4096,        65487,       65488,       65535,
                                   65536, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    const std::uint64_t large[] = {0,
                                   NO_PAGE,
                                   NO_PAGE - 1,
                                   s.pageCount - 1,
                                   s.pageCount,
                                   rng() % s.pageCount,
                                   s.pageOffsets[rng() % s.pageOffsets.size()],
                                   s.fileSize,
                                   s.fileSize - G,
                                   G,
                                   std::uint64_t(1) << 40};
    switch (rng() % 4) {
        case 0:
            bytes[at] = static_cast<unsigned char>(rng());
            break;
        case 1:
            bytes[at] ^= static_cast<unsigned char>(1u << rng() % 8);
            break;
        case 2:
            std::memcpy(&bytes[word], &small[rng() % (sizeof small / 4)], 4);
            break;
        default:
            std::memcpy(&bytes[word], &large[rng() % (sizeof large / 8)], 8);
    }
}

// Names the variant under test when it crashes or hangs, then lets the signal
// take its course under the handler that was there before (the sanitizer's).
char g_variant[160];
const int kSignals[] = {SIGSEGV, SIGBUS, SIGALRM};
struct sigaction g_previous[3];

void Report(int signal) {
    const char* what =
        signal == SIGALRM ? "\nthe damaged tree hangs: " : "\nthe damaged tree crashes: ";
    if (write(2, what, std::strlen(what)) < 0 || write(2, g_variant, std::strlen(g_variant)) < 0)
        std::abort();
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    if (signal == SIGALRM) std::abort();
}

TEST(Damage, RandomDamageAnywhereEndsNormallyOrWithAnException) {
    const unsigned seed = 20240611;
    std::printf("seed %u\n", seed);
    struct sigaction report {};
    report.sa_handler = Report;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &report, &g_previous[i]);
    TempDir dir(true);
    const std::string path = dir.File("t.tbt");
    TreeFileBytes file(path);
    struct Base {
        const char* name;
        std::uint8_t layout;  // of the fuzz target's layouts
        int records;
        std::uint32_t bulk;
        bool ready;  // a quarter more records wait, pre-committed
    };
    const Base bases[] = {{"variable keys and values", 0, 3000, 30, false},
                          {"fixed keys and values", 1, 1500, 0, false},
                          {"duplicates", 6, 1500, 30, false},
                          {"three levels of long keys", 4, 700, 3000, false},
                          {"a commit waiting in the ready state", 0, 3000, 30, true}};
    for (const Base& base : bases) {
        SCOPED_TRACE(base.name);
        TamBTreeFuzz::MakeTree(path, base.layout, base.records, base.ready ? base.records / 4 : 0,
                               base.bulk,
                               base.ready ? TamBTreeFuzz::Waiting : TamBTreeFuzz::Committed);
        const std::vector<unsigned char> original = file.ReadAll();
        const Shape shape = Parse(original);
        // What the undamaged file reports: nothing, or that a commit waits.
        const TamBTreeFuzz::Reports control = TamBTreeFuzz::Exercise(path);
        ASSERT_EQ(control.size(), base.ready ? 1u : 0u);

        std::uint32_t noticed = 0;
        for (std::uint32_t v = 0; v < kVariants; ++v) {
            std::mt19937 rng(seed + v);
            std::vector<unsigned char> bytes = original;
            for (std::uint32_t d = 1 + rng() % 3; d > 0; --d) Damage(bytes, shape, rng);
            file.WriteAll(bytes);
            std::snprintf(g_variant, sizeof g_variant, "%s, seed %u + variant %u\n", base.name,
                          seed, v);
            alarm(120);
            noticed += TamBTreeFuzz::Exercise(path) != control;
            alarm(0);
        }
        std::printf("%s: %u variants, %u noticed\n", base.name, kVariants, noticed);
        // Most damage is found; some (a value byte, a reserved byte) is harmless.
        EXPECT_GT(noticed, kVariants / 3);
    }
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
}

using Validation = TreeFileTest;

// A committed tree of three levels whose root has at least three children:
// keys of 3000 bytes numbered in steps of 10, no values, in random order.
class DamagedTree : public TreeFileTest {
protected:
    void SetUp() override {
        std::vector<std::uint32_t> numbers(700);
        for (std::uint32_t i = 0; i < numbers.size(); ++i) numbers[i] = 10 * i;
        std::shuffle(numbers.begin(), numbers.end(), std::mt19937(77));
        {
            TestTree tree(path, KeysOnly());
            for (std::uint32_t n : numbers) tree.Insert(TestTree::MakeKey(Key(n, 3000)));
            tree.CommitNow();
        }
        original = file.ReadAll();
        root = file.Get<std::uint64_t>(offsetof(TamBTree::BTreeInfo, rootPage));
        ASSERT_FALSE(file.IsLeaf(root));
        ASSERT_GE(file.Count(root), 2u);
        left = file.Child(root, 0);
        middle = file.Child(root, 1);
        right = file.Child(root, 2);
        ASSERT_FALSE(file.IsLeaf(left));
        ASSERT_GE(file.Count(left), 2u);
    }
    std::string Validate() {
        return ThrownText([&] { TestTree(path, KeysOnly()).ValidateTree(); });
    }
    void SwapSlots(std::uint64_t page, std::uint32_t i, std::uint32_t j) {
        const std::uint32_t a = file.Get<std::uint32_t>(file.SlotOffset(page, i));
        file.Put(file.SlotOffset(page, i), file.Get<std::uint32_t>(file.SlotOffset(page, j)));
        file.Put(file.SlotOffset(page, j), a);
    }
    void SetChild(std::uint64_t page, std::uint32_t i, std::uint64_t child) {
        file.Put(file.ChildOffset(page, i), child);
    }

    TreeFileBytes file{path};
    std::vector<unsigned char> original;
    std::uint64_t root = 0, left = 0, middle = 0, right = 0;
};

TEST_F(DamagedTree, EveryOrderCountOrPageNumberFaultOfAClosedFileIsReportedWithItsText) {
    EXPECT_EQ(Validate(), "");
    const std::uint32_t count = file.Get<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount));
    const std::pair<std::string, std::function<void()>> faults[] = {
        {"RecordBefore > recordCurrent", [&] { SwapSlots(0, 1, 2); }},
        {"Bad size!",
         [&] { file.Put<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount), count + 1); }},
        {"Bad size!",
         [&] { file.Put<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount), count - 1); }},
        {"KeyBefore > KeyCurrent", [&] { SwapSlots(root, 1, 2); }},
        {"LastRecordChildren > ParentRecord",
         [&] { SetChild(root, 0, middle), SetChild(root, 1, left); }},
        {"FirstRecordChildren < ParentRecord", [&] { SetChild(root, 1, left); }},
        // A separator is the last record of its left child, so the child before
        // the last one of the neighbour ends strictly below the neighbour's last key.
        {"LeftSiblingRecord > ChildrenRecord",
         [&] { SetChild(middle, 0, file.Child(left, file.Count(left) - 2)); }},
        {"RightSiblingRecord < ChildrenRecord",
         [&] { SetChild(left, file.Count(left), file.Child(right, 0)); }},
        {"page " + std::to_string(middle) + " holds page number " + std::to_string(right),
         [&] {
             file.Put(file.PageOffset(middle) + offsetof(TamBTree::PageHeader, pageNumber), right);
         }},
    };
    for (const auto& fault : faults) {
        file.WriteAll(original);
        fault.second();
        EXPECT_EQ(Validate(), Invalid(fault.first, path));
    }
}

// The open reserves every page location, so a closed file cannot get this
// far; the space faults are made in the file of an open tree.
TEST_F(DamagedTree, SpaceFaultsOfAnOpenTreeAreFoundBeforeOrderFaults) {
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_THROW(TestTree(path, KeysOnly()), TamBTree::BTreeDamagedException);
    file.WriteAll(original);
    SwapSlots(0, 1, 2);
    TestTree tree(path, KeysOnly());
    const auto validate = [&tree] { return ThrownText([&tree] { tree.ValidateTree(); }); };
    const std::uint64_t second = file.PageOffset(2);
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_EQ(validate(), Invalid("more than 1 offset value", path));
    file.Put(file.EntryOffset(2), NO_PAGE);
    EXPECT_EQ(validate(), Invalid("unused block", path));
    file.Put(file.EntryOffset(2), second);
    auto& freeList = BTreeTestAccess::FreeList(tree);
    freeList.InsertBlock(G, file.PageOffset(1));
    EXPECT_EQ(validate(), Invalid("more than 1 offset value", path));
    freeList.RemoveBlock(G, file.PageOffset(1));
    freeList.InsertBlock(G, tree.GetDiskSpaceUsed());
    EXPECT_EQ(validate(), Invalid("unused block", path));
    freeList.RemoveBlock(G, tree.GetDiskSpaceUsed());
    // The free tail of the file, unclaimed.
    std::uint64_t tail = 0, tailSize = 0;
    ASSERT_TRUE(freeList.Last(tail, tailSize));
    ASSERT_EQ(tail + tailSize, tree.GetDiskSpaceUsed());
    freeList.RemoveBlock(tailSize, tail);
    EXPECT_EQ(validate(), Invalid("unused block", path));
    freeList.InsertBlock(tailSize, tail);
    EXPECT_EQ(validate(), Invalid("RecordBefore > recordCurrent", path));
}

// A slot that points into the page header is damage, whatever the header
// bytes there read as: here the record count, a plausible key length.
TEST_F(DamagedTree, AnEntryInsideThePageHeaderIsReported) {
    file.Put<std::uint32_t>(file.SlotOffset(0, 1), offsetof(TamBTree::PageHeader, count));
    const std::string text = Validate();
    EXPECT_NE(text.find("a damaged entry 1"), std::string::npos) << text;
}

TEST_F(DamagedTree, AnEmptyLeafInTheChainIsReportedAndNeverRead) {
    // The second leaf of the chain claims no records: a consistent header.
    const std::uint64_t leaf =
        file.Get<std::uint64_t>(file.PageOffset(0) + offsetof(TamBTree::PageHeader, nextPage));
    file.Put<std::uint32_t>(file.PageOffset(leaf) + offsetof(TamBTree::PageHeader, count), 0);
    file.Put<std::uint32_t>(file.PageOffset(leaf) + offsetof(TamBTree::PageHeader, directorySize),
                            0);
    EXPECT_EQ(Validate().rfind("The B-Tree is invalid.", 0), 0u);
    TestTree tree(path, KeysOnly());
    const std::string fault = ThrownText([&] {
        for (BTreeIterator it = tree.End(); it != tree.Begin();) tree.KeyAt(--it);
    });
    EXPECT_EQ(fault.rfind("The B-Tree is invalid.", 0), 0u) << fault;
}

TEST_F(Validation, EqualRecordsPassOnlyInATreeThatAllowsDuplicates) {
    {
        TestTree tree(path, Layout(true, 0, true, 0));
        for (std::uint32_t n = 0; n < 3000; ++n) {
            tree.Put(Key(n), "first");
            tree.Put(Key(n), "second");
        }
        tree.CommitNow();
        EXPECT_NO_THROW(tree.ValidateTree());
    }
    TestTree tree(path);
    EXPECT_EQ(ThrownText([&] { tree.ValidateTree(); }),
              Invalid("RecordBefore > recordCurrent", path));
}

}  // namespace
