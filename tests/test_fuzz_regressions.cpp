// Damaged tree files never crash the library: every input kept in
// fuzz/regressions (inputs that once found a fault) is opened and driven the
// way the fuzz target drives its inputs, and the damage must come out as an
// exception. One fault is also checked byte by byte: a page header that
// understates its data must not let an insert write outside the page.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../fuzz/TreeFuzz.h"
#include "FaultHook.h"
#include "TestTree.h"

using TamBTree::BTreeTestAccess;
using TamBTreeTest::RamDir;
using TamBTreeTest::TestTree;

namespace {

std::string RegressionDirectory() {
    const std::string source = __FILE__;
    return source.substr(0, source.rfind('/')) + "/../fuzz/regressions";
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::vector<unsigned char> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

TEST(FuzzRegressions, EveryKeptInputIsReportedAsDamageWithoutACrash) {
    RamDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.File("input.bt");
    DIR* listing = ::opendir(RegressionDirectory().c_str());
    ASSERT_NE(listing, nullptr) << RegressionDirectory();
    int replayed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name[0] == '.') continue;
        const std::vector<unsigned char> bytes = ReadFile(RegressionDirectory() + "/" + name);
        ASSERT_TRUE(TamBTreeFuzz::WriteTreeFile(path, bytes.data(), bytes.size())) << name;
        const TamBTreeFuzz::Reports reports = TamBTreeFuzz::Exercise(path);
        EXPECT_FALSE(reports.empty()) << name << ": the damage went unnoticed";
        ++replayed;
    }
    ::closedir(listing);
    std::printf("fuzz regressions: %d inputs replayed\n", replayed);
    EXPECT_GT(replayed, 0);
}

// A leaf filled to the last bytes whose dataSize claims it is nearly empty:
// the free space it reports is not there, and compaction cannot make it.
TEST(FuzzRegressions, AnUnderstatedDataSizeCannotMakeAnInsertWriteOutsideItsPage) {
    RamDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.File("tree.bt");
    std::uint64_t leaf = 0;
    {
        TestTree tree(path);
        for (int i = 0; BTreeTestAccess::PageFreeSpace(tree, 0) > 1100; ++i)
            tree.Put("k" + std::to_string(100000 + i), std::string(1000, 'a'));
        const std::uint32_t room = BTreeTestAccess::PageFreeSpace(tree, 0);
        tree.Put("last", std::string(room - 40, 'q'));
        tree.PreCommit();
        tree.Commit();
        leaf = *BTreeTestAccess::StablePageOffset(tree, BTreeTestAccess::RootPage(tree));
    }
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const std::uint32_t understated = 100;
    ASSERT_EQ(::pwrite(fd, &understated, 4, static_cast<off_t>(leaf + 28)), 4);
    ::close(fd);

    TestTree tree(path);
    const std::vector<unsigned char> before = ReadFile(path);
    try {
        tree.Put("large", std::string(3000, 'L'));
        ADD_FAILURE() << "the insert did not notice the damage";
    } catch (const TamBTree::BTreeException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("The B-Tree is invalid.", 0), 0u) << e.what();
    }
    // The insert works on the leaf's copy; the granule after the copy must be
    // as it was (zero if the file grew there).
    const std::uint64_t copy =
        BTreeTestAccess::ChangedPages(tree).at(BTreeTestAccess::RootPage(tree));
    const std::vector<unsigned char> now = ReadFile(path);
    ASSERT_GE(now.size(), copy + 2 * 65536);
    for (std::uint64_t at = copy + 65536; at < copy + 2 * 65536; ++at)
        ASSERT_EQ(now[at], at < before.size() ? before[at] : 0)
            << "written past the page at " << at;
}

}  // namespace
