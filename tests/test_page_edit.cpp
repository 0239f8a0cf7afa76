// In-page editing checked against a simple model of a page: the entries in
// slot order, the children, and the expected dataSize and dataEnd.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "PageFixture.h"

using namespace PageTest;

namespace {

struct Model {
    std::vector<Entry> entries;
    std::vector<std::uint64_t> children{0};  // internal pages only
    std::uint32_t dataSize = 0;
    std::uint32_t dataEnd = 48;
    int compactions = 0;

    // The gap at dataEnd is used until it cannot take `need`; then the page
    // is compacted first.
    void Append(std::uint32_t need, std::uint32_t stored, std::uint32_t directory) {
        if (dataEnd + need > PAGE_SIZE - directory) {
            dataEnd = 48 + dataSize;
            ++compactions;
        }
        dataEnd += stored;
        dataSize += stored;
    }
};

void ExpectPageMatches(const Pages& pages, const PageHeader* page, const Model& m) {
    ASSERT_EQ(m.entries.size(), page->count);
    EXPECT_EQ(m.dataSize, page->dataSize);
    EXPECT_EQ(m.dataEnd, page->dataEnd);
    EXPECT_EQ(page->isLeaf ? 4 * page->count : 12 * page->count + 8, page->directorySize);
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        if (!pages.Holds(page, i, m.entries[i - 1])) {
            ASSERT_EQ(m.entries[i - 1], pages.Read(page, i)) << "entry " << i;
        }
    }
    for (std::uint32_t i = 0; !page->isLeaf && i <= page->count; ++i) {
        ASSERT_EQ(m.children[i], pages.layout->GetChild(page, i)) << "child " << i;
    }
}

std::vector<std::uint32_t> Offsets(const PageLayout& layout, const PageHeader* page) {
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        std::uint32_t offset = 0, size = 0;
        layout.GetKeyInfo(page, i, offset, size);
        offsets.push_back(offset);
    }
    return offsets;
}

Entry RandomEntry(std::mt19937& rng, const Pages& pages) {
    const PageFormat& f = pages.format;
    auto text = [&](std::uint32_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = char(rng());
        return s;
    };
    Entry e{text(f.fixedKeySize ? pages.keySize : rng() % 250), {}};
    if (f.hasValue) e.value = text(f.fixedValueSize ? pages.valueSize : rng() % 300);
    return e;
}

// Inserts e at position i of a leaf when it fits, in page and model.
bool InsertLeaf(Pages& pages, PageHeader* page, Model& m, const Entry& e, std::uint32_t i,
                std::int64_t source) {
    PageLayout& layout = *pages.layout;
    const std::uint32_t need = layout.GetRequiredRecordSpace(page, pages.ToRecord(e));
    if (need > layout.GetPageFreeSpace(page)) return false;
    const int compactions = m.compactions;
    m.Append(need, pages.Stored(e, true), page->directorySize);
    std::vector<std::uint32_t> before = Offsets(layout, page);
    if (source > 0)
        layout.InsertRecord(page, std::uint32_t(source), page, i);
    else
        layout.InsertRecord(pages.ToRecord(e), page, i);
    m.entries.insert(m.entries.begin() + (i - 1), e);
    std::vector<std::uint32_t> after = Offsets(layout, page);
    after.erase(after.begin() + (i - 1));
    // Without compaction the records already in the page stay where they are.
    if (compactions == m.compactions) {
        EXPECT_EQ(before, after);
    }
    return true;
}

void DeleteLeaf(Pages& pages, PageHeader* page, Model& m, std::uint32_t i) {
    m.dataSize -= pages.Stored(m.entries[i - 1], true);
    m.entries.erase(m.entries.begin() + (i - 1));
    pages.layout->DeleteRecord(page, i);
}

}  // namespace

TEST(PageEdit, LeafEditsMatchTheModelInEveryRecordLayout) {
    for (int variant = 0; variant < 8; ++variant) {
        const bool fixedKey = variant & 1, hasValue = variant & 2, fixedValue = variant & 4;
        const unsigned seed = 1000 + variant;
        SCOPED_TRACE("variant " + std::to_string(variant) + " seed " + std::to_string(seed));
        std::printf("leaf variant %d seed %u\n", variant, seed);
        std::mt19937 rng(seed);
        Pages pages(fixedKey, hasValue, fixedValue, 200, 150);
        PageHeader* page = pages.NewPage(true);
        Model m;
        for (int step = 0; step < 4000; ++step) {
            const std::uint32_t op = rng() % 20, count = page->count;
            const std::uint32_t at = rng() % (count + 1) + 1;
            bool done = false;
            if (op < 14) {
                done = InsertLeaf(pages, page, m, RandomEntry(rng, pages), at, 0);
            } else if (op < 16 && count > 0) {
                const std::uint32_t source = rng() % count + 1;
                done = InsertLeaf(pages, page, m, m.entries[source - 1], at, source);
            } else if (op == 16) {
                pages.layout->ShrinkPage(page);
                m.dataEnd = 48 + m.dataSize;
                done = true;
            }
            if (!done && count > 0) DeleteLeaf(pages, page, m, rng() % count + 1);
            ExpectPageMatches(pages, page, m);
            if (HasFatalFailure()) return;
        }
        EXPECT_GT(m.compactions, 5);
        while (page->count) DeleteLeaf(pages, page, m, 1);
        ExpectPageMatches(pages, page, m);
        EXPECT_GT(page->dataEnd, 48u);  // deleted bytes stay until the next compaction
    }
}

TEST(PageEdit, InternalEditsKeepKeysAndChildrenInStep) {
    for (int variant = 0; variant < 2; ++variant) {
        const unsigned seed = 2000 + variant;
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::printf("internal variant %d seed %u\n", variant, seed);
        std::mt19937 rng(seed);
        Pages pages(variant == 1, true, false, 100);
        PageLayout& layout = *pages.layout;
        PageHeader* page = pages.NewPage(false);
        PageHeader* leaf = pages.NewPage(true);
        Model m;
        std::uint64_t nextChild = 1;
        for (int step = 0; step < 4000; ++step) {
            const std::uint32_t op = rng() % 10, count = page->count;
            const std::uint32_t j = rng() % (count + 1) + 1;
            Entry e = RandomEntry(rng, pages);
            const std::uint32_t need = layout.GetRequiredRecordSpace(page, pages.ToRecord(e));
            e.value.clear();
            if (op < 6 && need <= layout.GetPageFreeSpace(page)) {
                m.Append(need, pages.Stored(e, false), page->directorySize);
                layout.InsertKey(pages.ToRecord(e), page, j);
                // The new child goes left or right of the new key; past the last
                // key only the right one is open.
                const std::uint32_t child = j <= count && rng() % 2 ? j + 1 : j;
                layout.SetChild(page, child, nextChild);
                m.entries.insert(m.entries.begin() + (j - 1), e);
                m.children.insert(m.children.begin() + child, nextChild++);
            } else if (op < 8 && count > 0) {
                const std::uint32_t k = rng() % count + 1, i = rng() % count + 1;
                const bool fromSelf = op == 7;
                if (!fromSelf) {  // the new key comes from entry 1 of a leaf
                    Pages::Clear(leaf, true);
                    layout.InsertRecord(pages.ToRecord(RandomEntry(rng, pages)), leaf, 1);
                }
                Entry key = fromSelf ? m.entries[i - 1] : pages.Read(leaf, 1);
                key.value.clear();
                const std::uint32_t s = key.key.size(), t = m.entries[k - 1].key.size();
                const std::uint32_t freed = pages.Stored(m.entries[k - 1], false) + 12;
                const std::uint32_t required =
                    layout.GetRequiredRecordSpace(page, pages.ToRecord(key));
                if (s > t && required > layout.GetPageFreeSpace(page) + freed) continue;
                if (s > t) {
                    m.dataSize -= freed - 12;
                    m.Append(required, pages.Stored(key, false), page->directorySize - 12);
                } else {
                    m.dataSize -= t - s;
                }
                layout.ReplaceKey(fromSelf ? page : leaf, fromSelf ? i : 1, page, k);
                m.entries[k - 1] = key;
            } else if (op == 8) {
                layout.ShrinkPage(page);
                m.dataEnd = 48 + m.dataSize;
            } else if (count > 0) {
                const std::uint32_t k = rng() % count + 1;
                m.dataSize -= pages.Stored(m.entries[k - 1], false);
                layout.DeleteKey(page, k);
                m.entries.erase(m.entries.begin() + (k - 1));
                m.children.erase(m.children.begin() + k);
            }
            ExpectPageMatches(pages, page, m);
            if (HasFatalFailure()) return;
        }
        EXPECT_GT(m.compactions, 5);
    }
}

TEST(PageEdit, RecordFromTheSamePageSurvivesTheCompactionItTriggers) {
    for (int form = 0; form < 3; ++form) {
        SCOPED_TRACE("form " + std::to_string(form));
        const bool leaf = form < 2;
        Pages pages(false, true, false);
        PageLayout& layout = *pages.layout;
        PageHeader* page = pages.NewPage(leaf);
        Model m;
        for (std::uint32_t n = 1;; ++n) {
            const std::string filler(1000, char('a' + n % 26));
            const Entry e =
                leaf ? Entry{"key" + std::to_string(100 + n), filler} : Entry{filler, ""};
            const std::uint32_t need = layout.GetRequiredRecordSpace(page, pages.ToRecord(e));
            if (need > layout.GetPageFreeSpace(page)) break;
            m.Append(need, pages.Stored(e, leaf), page->directorySize);
            m.entries.push_back(e);
            if (leaf) {
                layout.InsertRecord(pages.ToRecord(e), page, n);
                continue;
            }
            layout.InsertKey(pages.ToRecord(e), page, n);
            layout.SetChild(page, n, n);
            m.children.push_back(n);
        }
        // Every other entry goes, leaving holes but almost no gap at dataEnd.
        for (std::uint32_t i = 1; i <= page->count; ++i) {
            m.dataSize -= pages.Stored(m.entries[i - 1], leaf);
            m.entries.erase(m.entries.begin() + (i - 1));
            if (leaf) {
                layout.DeleteRecord(page, i);
                continue;
            }
            layout.DeleteKey(page, i);
            m.children.erase(m.children.begin() + i);
        }
        const Entry copy = m.entries[1];
        m.Append(layout.GetRequiredRecordSpace(page, pages.ToRecord(copy)),
                 pages.Stored(copy, leaf), page->directorySize);
        m.entries.insert(m.entries.begin(), copy);
        if (form == 0) layout.InsertRecord(layout.GetRecord(page, 2), page, 1);
        if (form == 1) layout.InsertRecord(page, 2, page, 1);
        if (form == 2) {
            layout.InsertKey(layout.GetRecord(page, 2), page, 1);
            layout.SetChild(page, 1, 999);
            m.children.insert(m.children.begin() + 1, 999);
        }
        EXPECT_EQ(1, m.compactions);
        ExpectPageMatches(pages, page, m);
    }
}

namespace {

std::vector<std::string> Keys(const Pages& pages, const PageHeader* page) {
    std::vector<std::string> keys;
    for (std::uint32_t i = 1; i <= page->count; ++i) keys.push_back(pages.Read(page, i).key);
    return keys;
}

std::vector<std::uint64_t> Children(const PageLayout& layout, const PageHeader* page) {
    std::vector<std::uint64_t> children;
    for (std::uint32_t i = 0; i <= page->count; ++i) children.push_back(layout.GetChild(page, i));
    return children;
}

}  // namespace

TEST(PageEdit, MovesCarryRecordsAndChildrenToTheOtherPage) {
    Pages pages(false, true, false);
    PageLayout& layout = *pages.layout;
    PageHeader* left = pages.NewPage(true);
    PageHeader* right = pages.NewPage(true);
    PageHeader* a = pages.NewPage(false);
    PageHeader* b = pages.NewPage(false);
    layout.SetChild(a, 0, 100);
    layout.SetChild(b, 0, 200);
    for (std::uint32_t i = 1; i <= 6; ++i) {
        const Entry e{"k" + std::to_string(i), "value" + std::to_string(i)};
        layout.InsertRecord(pages.ToRecord(e), left, i);
        layout.InsertKey(pages.ToRecord(e), a, i);
        layout.SetChild(a, i, 100 + i);
    }
    layout.InsertRecord(pages.ToRecord({"z", "zz"}), right, 1);
    layout.MoveRecords(left, 4, 6, right, 1);
    EXPECT_EQ((std::vector<std::string>{"k1", "k2", "k3"}), Keys(pages, left));
    EXPECT_EQ((std::vector<std::string>{"k4", "k5", "k6", "z"}), Keys(pages, right));
    EXPECT_EQ((Entry{"k5", "value5"}), pages.Read(right, 2));
    EXPECT_EQ(3u * 16, left->dataSize);

    layout.MoveKeys(a, 4, 6, b, 1);
    EXPECT_EQ((std::vector<std::string>{"k1", "k2", "k3"}), Keys(pages, a));
    EXPECT_EQ((std::vector<std::uint64_t>{100, 101, 102, 103}), Children(layout, a));
    EXPECT_EQ((std::vector<std::string>{"k4", "k5", "k6"}), Keys(pages, b));
    EXPECT_EQ((std::vector<std::uint64_t>{200, 104, 105, 106}), Children(layout, b));
    EXPECT_EQ(44u, b->directorySize);
    EXPECT_EQ(3u * 6, a->dataSize);
}

TEST(PageEdit, ReplaceAndDeleteKeyKeepTheChildLinks) {
    Pages pages(false, false, false);
    PageLayout& layout = *pages.layout;
    PageHeader* node = pages.NewPage(false);
    PageHeader* leaf = pages.NewPage(true);
    layout.SetChild(node, 0, 100);
    layout.InsertKey(pages.ToRecord({"bbbb", ""}), node, 1);
    layout.SetChild(node, 1, 101);
    layout.InsertKey(pages.ToRecord({"dddd", ""}), node, 2);
    layout.SetChild(node, 2, 102);
    layout.InsertRecord(pages.ToRecord({"cc", ""}), leaf, 1);
    layout.InsertRecord(pages.ToRecord({"eeeeeeee", ""}), leaf, 2);
    const std::uint32_t end = node->dataEnd, size = node->dataSize;

    std::uint32_t before = 0, after = 0, length = 0;
    layout.GetKeyInfo(node, 2, before, length);
    layout.ReplaceKey(leaf, 1, node, 2);  // shorter: in place, a 2-byte hole
    layout.GetKeyInfo(node, 2, after, length);
    EXPECT_EQ(before, after);
    EXPECT_EQ(size - 2, node->dataSize);
    EXPECT_EQ(end, node->dataEnd);

    layout.ReplaceKey(leaf, 2, node, 1);  // longer: appended at dataEnd
    layout.GetKeyInfo(node, 1, after, length);
    EXPECT_EQ(end + 4, after);
    EXPECT_EQ(size - 2 + 4, node->dataSize);
    EXPECT_EQ((std::vector<std::string>{"eeeeeeee", "cc"}), Keys(pages, node));
    EXPECT_EQ((std::vector<std::uint64_t>{100, 101, 102}), Children(layout, node));

    layout.DeleteKey(node, 1);
    EXPECT_EQ((std::vector<std::string>{"cc"}), Keys(pages, node));
    EXPECT_EQ((std::vector<std::uint64_t>{100, 102}), Children(layout, node));
    EXPECT_EQ(20u, node->directorySize);
}

TEST(PageEdit, FindMedianRecordSplitsByCountOrByBytes) {
    Pages fixed(true, true, true, 4, 4);
    PageHeader* page = fixed.NewPage(true);
    const std::vector<std::uint32_t> expected{1, 1, 2, 2, 3, 3, 4, 4};
    for (std::uint32_t n = 1; n <= 8; ++n) {
        fixed.layout->InsertRecord(fixed.ToRecord({"key" + std::to_string(n), "valu"}), page, n);
        EXPECT_EQ(expected[n - 1], fixed.layout->FindMedianRecord(page)) << n;
    }

    Pages variable(false, true, false);
    PageHeader* leaf = variable.NewPage(true);
    for (std::uint32_t n = 1; n <= 40; ++n) {
        const Entry e{std::string(500, 'k'), std::string(500, 'v')};
        variable.layout->InsertRecord(variable.ToRecord(e), leaf, n);
        // Up to 3 entries split at 1; then entries 1..i-1 must hold half of
        // (65536 - 48 - 4n) / 2 bytes, but i stays at most n - 2.
        const std::uint32_t half = (65536 - 48 - 4 * n) / 2;
        const std::uint32_t byBytes = (half + 999) / 1000 + 1;
        const std::uint32_t median = n <= 3 ? 1 : std::min(byBytes, n - 2);
        EXPECT_EQ(median, variable.layout->FindMedianRecord(leaf)) << n;
    }
}

namespace {

int lessCalls = 0;

bool CountingLess(const void* context, const Record& a, const Record& b) {
    ++lessCalls;
    return RecordLess(context, a, b);
}

}  // namespace

TEST(PageEdit, FindLargestRecordCountsTheEntriesLessThanTheRecord) {
    Pages pages(true, false, false, 2);
    PageFormat format = pages.format;
    format.less = CountingLess;
    PageLayout layout(format);
    PageHeader* page = pages.NewPage(true);
    for (std::uint32_t n = 0; n <= 20; ++n) {
        if (n > 0) layout.InsertRecord(pages.ToRecord({std::to_string(18 + 2 * n), ""}), page, n);
        std::uint32_t bound = 1;
        while ((1u << bound) <= n) ++bound;
        // Probes fall below, on and between the keys 20, 22, ...
        for (std::uint32_t probe = 19; probe <= 20 + 2 * n; ++probe) {
            lessCalls = 0;
            const std::uint32_t less = std::min(n, (probe - 19) / 2);
            EXPECT_EQ(less,
                      layout.FindLargestRecord(page, pages.ToRecord({std::to_string(probe), ""})))
                << n << " " << probe;
            EXPECT_LE(lessCalls, int(bound) + 1) << n << " " << probe;
        }
    }
}
