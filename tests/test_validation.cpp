// The full consistency check: healthy trees of every layout pass in every
// commit state, each fault of the table is reported with its text, and random
// damage of a file ends in an exception at worst, never in a crash or a hang.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "PageLayout.h"
#include "TestTree.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeIterator;
using TamBTree::BTreeTestAccess;
using TamBTree::NO_PAGE;
using Record = TamBTree::BTree::Record;

namespace {

constexpr std::uint64_t G = 65536;

// The 8 digits of n padded with 'k' to `length` bytes: keys order as numbers.
std::string Key(std::uint32_t n, std::uint32_t length = 8) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", n);
    std::string key(digits);
    key.resize(std::max<std::uint32_t>(length, 8), 'k');
    return key;
}

// The text of the exception that `f` throws; empty when it throws nothing.
template <class F>
std::string Fault(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string Invalid(const std::string& what) {
    return "The B-Tree is invalid. " + what;
}

struct Layout {
    bool fixedKey, hasValue, fixedValue, dups;
    std::string Name() const {
        return std::string(fixedKey ? "fixed key" : "variable key") +
               (hasValue ? (fixedValue ? ", fixed value" : ", variable value") : ", no value") +
               (dups ? ", duplicates" : "");
    }
    Options Make() const {
        Options o;
        o.allowDuplicates = dups;
        o.fixedKeySize = fixedKey;
        o.keySize = fixedKey ? 64 : 0;
        o.hasValue = hasValue;
        o.fixedValueSize = fixedValue;
        o.valueSize = fixedValue ? 16 : 0;
        return o;
    }
    std::string KeyOf(std::uint32_t n) const { return Key(n, fixedKey ? 64 : 8 + n % 97); }
    std::string ValueOf(std::uint32_t n, int copy) const {
        if (!hasValue) return "";
        return std::string(fixedValue ? 16 : (n + copy) % 60, static_cast<char>('a' + copy));
    }
};

// Stores the numbers [first, last) in a shuffled order, twice each with
// duplicates; returns the records added.
std::uint32_t Fill(TestTree& tree, const Layout& layout, std::uint32_t first, std::uint32_t last,
                   std::mt19937& rng) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = first; n < last; ++n) numbers.push_back(n);
    std::shuffle(numbers.begin(), numbers.end(), rng);
    std::uint32_t added = 0;
    for (int copy = 0; copy < (layout.dups ? 2 : 1); ++copy)
        for (std::uint32_t n : numbers) {
            const std::string key = layout.KeyOf(n);
            const std::string value = layout.ValueOf(n, copy);
            const Record r = TestTree::Make(key, value);
            added += tree.Insert(layout.hasValue ? r : TestTree::MakeKey(key)).second ? 1 : 0;
        }
    return added;
}

}  // namespace

TEST(Validation, HealthyTreesOfEveryLayoutPassInEveryCommitState) {
    const unsigned seed = 8101;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    for (int bits = 0; bits < 12; ++bits) {
        const int values = bits % 3;  // none, variable, fixed
        const Layout layout{(bits / 3) % 2 == 1, values != 0, values == 2, bits / 6 == 1};
        SCOPED_TRACE(layout.Name());
        TempDir dir;
        const std::string path = dir.File("t.tbt");
        std::uint32_t expected = 0, committed = 0;
        {
            TestTree tree(path, layout.Make());
            ASSERT_NO_THROW(tree.ValidateTree());
            expected += Fill(tree, layout, 0, 2500, rng);
            ASSERT_NO_THROW(tree.ValidateTree()) << "in the first transaction";
            tree.PreCommit();
            ASSERT_NO_THROW(tree.ValidateTree()) << "pre-committed";
            tree.Commit();
            committed = expected;
            ASSERT_NO_THROW(tree.ValidateTree()) << "committed";
            ASSERT_GT(BTreeTestAccess::PageCount(tree), 3u);

            // Relocated, new and freed pages in one transaction.
            expected += Fill(tree, layout, 2500, 4000, rng);
            for (std::uint32_t n = 0; n < 1500; n += 2)
                expected -= tree.Erase(TestTree::MakeKey(layout.KeyOf(n)));
            ASSERT_EQ(tree.Size(), expected);
            ASSERT_NO_THROW(tree.ValidateTree()) << "in the second transaction";
            tree.PreCommit();
        }
        // Left in the ready state: the reopened tree shows the last commit.
        TestTree tree(path, layout.Make());
        ASSERT_EQ(tree.GetCommitState(), TamBTree::BTree::CommitReady);
        EXPECT_EQ(tree.Size(), committed);
        EXPECT_NO_THROW(tree.ValidateTree()) << "ready after reopen";
        tree.Commit();
        EXPECT_EQ(tree.Size(), expected);
        EXPECT_NO_THROW(tree.ValidateTree()) << "after the waiting commit";
    }
}

// A committed tree of three levels whose root has at least three children:
// keys of 3000 bytes numbered in steps of 10, no values.
class DamagedTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TempDir dir;
        const std::string path = dir.File("deep.tbt");
        {
            std::mt19937 rng(77);
            std::vector<std::uint32_t> numbers(700);
            for (std::uint32_t i = 0; i < numbers.size(); ++i) numbers[i] = 10 * i;
            std::shuffle(numbers.begin(), numbers.end(), rng);
            TestTree tree(path, Deep());
            for (std::uint32_t n : numbers) tree.Insert(TestTree::MakeKey(Key(n, 3000)));
            tree.PreCommit();
            tree.Commit();
        }
        ms_bytes = new std::vector<unsigned char>(TreeFileBytes(path).ReadAll());
    }
    static void TearDownTestSuite() {
        delete ms_bytes;
        ms_bytes = nullptr;
    }
    static Options Deep() {
        Options o;
        o.hasValue = false;
        return o;
    }

    void SetUp() override {
        file.WriteAll(*ms_bytes);
        root = file.Get<std::uint64_t>(16);
        ASSERT_FALSE(file.IsLeaf(root));
        ASSERT_GE(file.Count(root), 2u);
        left = file.Child(root, 0);
        middle = file.Child(root, 1);
        right = file.Child(root, 2);
        ASSERT_FALSE(file.IsLeaf(left));
        ASSERT_TRUE(file.IsLeaf(file.Child(left, 0)));
    }
    std::string Validate() {
        return Fault([&] {
            TestTree tree(path, Deep());
            tree.ValidateTree();
        });
    }
    void SwapSlots(std::uint64_t page, std::uint32_t i, std::uint32_t j) {
        const std::uint32_t a = file.Get<std::uint32_t>(file.SlotOffset(page, i));
        const std::uint32_t b = file.Get<std::uint32_t>(file.SlotOffset(page, j));
        file.Put(file.SlotOffset(page, i), b);
        file.Put(file.SlotOffset(page, j), a);
    }
    void SetChild(std::uint64_t page, std::uint32_t i, std::uint64_t child) {
        file.Put(file.ChildOffset(page, i), child);
    }

    static std::vector<unsigned char>* ms_bytes;
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    TreeFileBytes file{path};
    std::uint64_t root = 0, left = 0, middle = 0, right = 0;
};

std::vector<unsigned char>* DamagedTree::ms_bytes = nullptr;

TEST_F(DamagedTree, TheUndamagedFilePasses) {
    EXPECT_EQ(Validate(), "");
}

TEST_F(DamagedTree, APageLocationNamedTwiceIsClaimedTwice) {
    // The open reserves every page location, so a closed file cannot get
    // this far; the damage is done to the file of an open tree.
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_THROW(TestTree(path, Deep()), TamFile::EmptyListInvalidBlock);
    file.WriteAll(*ms_bytes);
    TestTree tree(path, Deep());
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("more than 1 offset value"));
}

TEST_F(DamagedTree, AUnitClaimedByNothingIsUnused) {
    TestTree tree(path, Deep());
    file.Put(file.EntryOffset(2), NO_PAGE);
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("unused block"));
}

TEST_F(DamagedTree, FreeBlocksOverlappingAPageOrBeyondTheFileAreFound) {
    TestTree tree(path, Deep());
    auto& freeList = BTreeTestAccess::FreeList(tree);
    freeList.InsertBlock(G, file.PageOffset(1));
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("more than 1 offset value"));
    freeList.RemoveBlock(G, file.PageOffset(1));
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), "");
    freeList.InsertBlock(G, tree.GetDiskSpaceUsed());
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("unused block"));
}

TEST_F(DamagedTree, RecordsOutOfOrderAreFoundByTheWalk) {
    SwapSlots(0, 1, 2);
    EXPECT_EQ(Validate(), Invalid("RecordBefore > recordCurrent"));
}

TEST_F(DamagedTree, ASpaceFaultIsReportedBeforeAnOrderFault) {
    SwapSlots(0, 1, 2);
    TestTree tree(path, Deep());
    file.Put(file.EntryOffset(3), file.PageOffset(4));
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("more than 1 offset value"));
}

TEST_F(DamagedTree, ARecordCountThatDisagreesWithTheLeavesIsABadSize) {
    const std::uint32_t count = file.Get<std::uint32_t>(8);
    file.Put<std::uint32_t>(8, count + 1);
    EXPECT_EQ(Validate(), Invalid("Bad size!"));
    file.Put<std::uint32_t>(8, count - 1);
    EXPECT_EQ(Validate(), Invalid("Bad size!"));
}

TEST_F(DamagedTree, KeysOutOfOrderInsideAnInternalPage) {
    SwapSlots(root, 1, 2);
    EXPECT_EQ(Validate(), Invalid("KeyBefore > KeyCurrent"));
}

TEST_F(DamagedTree, AChildThatEndsAboveTheFollowingKey) {
    SetChild(root, 0, middle);
    SetChild(root, 1, left);
    EXPECT_EQ(Validate(), Invalid("LastRecordChildren > ParentRecord"));
}

TEST_F(DamagedTree, AChildThatStartsBelowThePrecedingKey) {
    SetChild(root, 1, left);
    EXPECT_EQ(Validate(), Invalid("FirstRecordChildren < ParentRecord"));
}

TEST_F(DamagedTree, AChildThatEndsBelowTheLeftNeighbourOfItsParent) {
    // A separator is the last record of its left child, so the child before
    // the last one of the neighbour ends strictly below the neighbour's last key.
    ASSERT_GE(file.Count(left), 2u);
    SetChild(middle, 0, file.Child(left, file.Count(left) - 2));
    EXPECT_EQ(Validate(), Invalid("LeftSiblingRecord > ChildrenRecord"));
}

TEST_F(DamagedTree, AChildThatStartsAboveTheRightNeighbourOfItsParent) {
    SetChild(left, file.Count(left), file.Child(right, 0));
    EXPECT_EQ(Validate(), Invalid("RightSiblingRecord < ChildrenRecord"));
}

TEST_F(DamagedTree, AnEmptyLeafInTheChainIsReportedAndNeverRead) {
    // The second leaf of the chain claims no records: a consistent header.
    const std::uint64_t leaf = file.Get<std::uint64_t>(file.PageOffset(0) + 16);
    file.Put<std::uint32_t>(file.PageOffset(leaf) + 24, 0);
    file.Put<std::uint32_t>(file.PageOffset(leaf) + 36, 0);
    EXPECT_EQ(Validate().rfind("The B-Tree is invalid.", 0), 0u);
    TestTree tree(path, Deep());
    std::string keys;
    const std::string fault = Fault([&] {
        for (BTreeIterator it = tree.End(); it != tree.Begin();) keys = tree.KeyAt(--it);
    });
    EXPECT_EQ(fault.rfind("The B-Tree is invalid.", 0), 0u) << fault;
}

TEST(Validation, EqualRecordsPassOnlyInATreeThatAllowsDuplicates) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Options dups;
    dups.allowDuplicates = true;
    {
        TestTree tree(path, dups);
        for (std::uint32_t n = 0; n < 3000; ++n) {
            tree.Put(Key(n), "first");
            tree.Put(Key(n), "second");
        }
        tree.PreCommit();
        tree.Commit();
        EXPECT_NO_THROW(tree.ValidateTree());
    }
    TestTree tree(path);
    EXPECT_EQ(Fault([&] { tree.ValidateTree(); }), Invalid("RecordBefore > recordCurrent"));
}

// Random damage: bytes of the system block, the page index, page headers, slot
// directories, record areas or anywhere, overwritten with random bytes, flipped
// bits or telling 32- and 64-bit values.
namespace {

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

template <class T>
T Load(const std::vector<unsigned char>& bytes, std::uint64_t at) {
    T value;
    std::memcpy(&value, &bytes[at], sizeof value);
    return value;
}

template <class T>
void Store(std::vector<unsigned char>& bytes, std::uint64_t at, T value) {
    if (at + sizeof value <= bytes.size()) std::memcpy(&bytes[at], &value, sizeof value);
}

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
            const std::uint32_t dataEnd = Load<std::uint32_t>(bytes, at + 32);
            const std::uint32_t directory = Load<std::uint32_t>(bytes, at + 36);
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
// 32- or 64-bit value; returns the start of the 8 bytes that may have changed.
std::uint64_t Damage(std::vector<unsigned char>& bytes, const Shape& s, std::mt19937& rng) {
    const std::vector<Range>& ranges = s.targets[rng() % 7];
    const Range r = ranges.empty() ? Range{0, s.fileSize} : ranges[rng() % ranges.size()];
    const std::uint64_t at = r.begin + rng() % (r.end - r.begin);
    const std::uint64_t word = at & ~std::uint64_t(3);
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
    const std::uint32_t kind = rng() % 4;
    if (kind == 0) bytes[at] = static_cast<unsigned char>(rng());
    if (kind == 1) bytes[at] ^= static_cast<unsigned char>(1u << rng() % 8);
    if (kind == 2) Store(bytes, word, small[rng() % (sizeof small / 4)]);
    if (kind == 3) Store(bytes, word, large[rng() % (sizeof large / 8)]);
    return std::min(word, s.fileSize - 8);
}

// What one damaged file led to.
struct Outcome {
    std::uint32_t refused = 0, invalid = 0, passed = 0;
};

// Notes an exception: one of the file layer, or one of the tree that says
// what is wrong with the tree.
void Caught(const std::exception& e) {
    const bool file = dynamic_cast<const TamFile::FileException*>(&e) != nullptr;
    const bool tree = dynamic_cast<const TamBTree::BTreeException*>(&e) != nullptr &&
                      std::string(e.what()).rfind("The B-Tree ", 0) == 0;
    if (!file && !tree) ADD_FAILURE() << "an unexpected exception: " << e.what();
}

// The variant under test, named when it hangs or crashes.
char g_variant[160];
struct sigaction g_previous[2];

void Say(const char* text) {
    if (write(2, text, std::strlen(text)) < 0) return;
}

void ReportHang(int) {
    Say("\nthe damaged tree hangs: ");
    Say(g_variant);
    std::abort();
}

// Names the variant, then lets the fault recur under the handler that was
// there before (the sanitizer's, if any).
void ReportCrash(int signal) {
    Say("\nthe damaged tree crashes: ");
    Say(g_variant);
    sigaction(signal, &g_previous[signal == SIGBUS ? 1 : 0], nullptr);
}

struct CrashReports {
    CrashReports() {
        struct sigaction report {};
        report.sa_handler = ReportCrash;
        sigaction(SIGSEGV, &report, &g_previous[0]);
        sigaction(SIGBUS, &report, &g_previous[1]);
        std::signal(SIGALRM, ReportHang);
    }
    ~CrashReports() {
        sigaction(SIGSEGV, &g_previous[0], nullptr);
        sigaction(SIGBUS, &g_previous[1], nullptr);
        std::signal(SIGALRM, SIG_DFL);
    }
};

// Reads every byte of a record, as a client would.
volatile unsigned g_sink;
void Touch(const TestTree& tree, const BTreeIterator& it) {
    const Record r = tree.GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
    unsigned sum = 0;
    for (std::uint32_t i = 0; i < r.keyLength; ++i) sum += r.key[i];
    for (std::uint32_t i = 0; r.value && i < r.valueLength; ++i) sum += r.value[i];
    g_sink = g_sink + sum;
}

// Runs one step of the exercise; an exception must be one of the library's.
template <class F>
bool Survive(F f) {
    try {
        f();
        return true;
    } catch (const std::exception& e) {
        Caught(e);
        return false;
    }
}

// Opens the damaged file, validates it, walks it both ways and looks a few
// keys up.
void Exercise(const std::string& path, Options options, const std::vector<std::string>& probes,
              std::uint64_t walkLimit, Outcome& outcome) {
    std::unique_ptr<TestTree> tree;
    if (!Survive([&] { tree.reset(new TestTree(path, options)); })) {
        ++outcome.refused;
        return;
    }
    ++(Survive([&] { tree->ValidateTree(); }) ? outcome.passed : outcome.invalid);
    Survive([&] {
        std::uint64_t steps = 0;
        for (BTreeIterator it = tree->Begin(); it != tree->End() && steps < walkLimit;
             ++it, ++steps)
            Touch(*tree, it);
    });
    Survive([&] {
        BTreeIterator it = tree->End();
        for (std::uint64_t steps = 0; steps < walkLimit && it != tree->Begin(); ++steps)
            Touch(*tree, --it);
    });
    for (const std::string& probe : probes)
        Survive([&] {
            const BTreeIterator it = tree->LowerBound(TestTree::MakeKey(probe));
            if (!it.IsEnd()) Touch(*tree, it);
        });
    Survive([&] { tree.reset(); });
}

}  // namespace

TEST(Validation, RandomDamageEndsNormallyOrWithAnException) {
    const unsigned seed = 20240611;
    std::printf("seed %u\n", seed);
    std::fflush(stdout);
    CrashReports reports;
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    TreeFileBytes file(path);

    struct Base {
        std::string name;
        Layout layout;
        std::uint32_t records, keyLength, variants;
        bool ready;  // a second transaction waits, pre-committed
    };
    const Base bases[] = {
        {"variable keys and values", {false, true, false, false}, 3000, 0, 1200, false},
        {"fixed keys and values, duplicates", {true, true, true, true}, 1500, 0, 1000, false},
        {"three levels of long keys", {false, false, false, false}, 700, 3000, 1000, false},
        {"a commit waiting in the ready state", {false, true, false, false}, 3000, 0, 1000, true},
    };
    for (const Base& base : bases) {
        SCOPED_TRACE(base.name);
        Options options = base.layout.Make();
        std::vector<std::string> probes;
        {
            ::unlink(path.c_str());
            TestTree tree(path, options);
            for (std::uint32_t n = 0; n < base.records; ++n) {
                const std::string key =
                    base.keyLength ? Key(10 * n, base.keyLength) : base.layout.KeyOf(10 * n);
                for (int copy = 0; copy < (base.layout.dups ? 2 : 1); ++copy)
                    tree.Insert(base.layout.hasValue
                                    ? TestTree::Make(key, base.layout.ValueOf(n, copy))
                                    : TestTree::MakeKey(key));
                if (n % (base.records / 4) == 1) probes.push_back(key);
            }
            tree.PreCommit();
            tree.Commit();
            if (base.ready) {
                for (std::uint32_t n = 0; n < base.records / 4; ++n)
                    tree.Insert(TestTree::Make(base.layout.KeyOf(10 * n + 5), "later"));
                tree.PreCommit();
            }
        }
        probes.push_back("");
        probes.push_back(std::string(8, '\xff'));
        const std::vector<unsigned char> original = file.ReadAll();
        const Shape shape = Parse(original);
        const std::uint64_t walkLimit = 4 * static_cast<std::uint64_t>(base.records) + 16;

        Outcome control;
        Exercise(path, options, probes, walkLimit, control);
        ASSERT_EQ(control.passed, 1u) << "the undamaged file must pass";

        // Only the damaged bytes are written and put back, together with what
        // an open may write: the system block, the page index, the file size.
        std::vector<Range> restore{{0, G}};
        for (const Range& r : shape.targets[1]) restore.push_back({r.begin, r.begin + G});
        std::vector<unsigned char> bytes = original;
        Outcome outcome;
        for (std::uint32_t v = 0; v < base.variants; ++v) {
            std::mt19937 rng(seed + v);
            std::vector<std::uint64_t> damaged;
            for (std::uint32_t d = 1 + rng() % 3; d > 0; --d)
                damaged.push_back(Damage(bytes, shape, rng));
            for (std::uint64_t at : damaged) file.Write(at, &bytes[at], 8);
            Options o = options;
            o.readOnly = v % 3 == 0;
            std::snprintf(g_variant, sizeof g_variant, "%s, seed %u + variant %u\n",
                          base.name.c_str(), seed, v);
            alarm(120);
            Exercise(path, o, probes, walkLimit, outcome);
            alarm(0);
            for (std::uint64_t at : damaged) std::memcpy(&bytes[at], &original[at], 8);
            // A file without its created flag was made anew by the constructor.
            if (std::any_of(damaged.begin(), damaged.end(),
                            [](std::uint64_t at) { return at + 8 > 74 && at <= 74; })) {
                file.WriteAll(original);
                continue;
            }
            for (std::uint64_t at : damaged) file.Write(at, &original[at], 8);
            for (const Range& r : restore) file.Write(r.begin, &original[r.begin], r.end - r.begin);
            file.Truncate(original.size());
            if (v % 256 == 255) {
                ASSERT_TRUE(file.ReadAll() == original) << "a read changed the file";
            }
        }
        std::printf("%s: %u variants, %u refused at open, %u invalid, %u passed\n",
                    base.name.c_str(), base.variants, outcome.refused, outcome.invalid,
                    outcome.passed);
        std::fflush(stdout);
        // Most damage is found; some (a value byte, a reserved byte) is harmless.
        EXPECT_GT(outcome.refused + outcome.invalid, base.variants / 3);
    }
}
