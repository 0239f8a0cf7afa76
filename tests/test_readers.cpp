// Readers beside a writer: a read-only open of a file that another open (here,
// or in another process) writes reads committed states only, each unchanged
// while the writer goes on; the writer keeps what live readers read and
// nothing for a reader that died; the side file comes and goes by itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ByteTree.h"
#include "TamFile.h"
#include "TestTree.h"

using TamBTree::ByteTree;
using TamBTreeTest::Key;
using TamBTreeTest::TempDir;

namespace {

using Model = std::map<std::string, std::string>;

ByteTree::Options ReadOnly() {
    ByteTree::Options options;
    options.readOnly = true;
    return options;
}

bool Exists(const std::string& path) {
    return std::ifstream(path).good();
}

std::string SideFile(const std::string& path) {
    return path + "-readers";
}

// The first difference between what `view` shows and `model`; empty if none.
template <class View>
std::string Difference(const View& view, const Model& model) {
    auto expected = model.begin();
    for (auto [key, value] : view.Records()) {
        if (expected == model.end() || key != expected->first || value != expected->second)
            return "differs at " + std::string(key);
        ++expected;
    }
    if (expected != model.end()) return "ends before " + expected->first;
    return view.Size() == model.size() ? "" : "size " + std::to_string(view.Size());
}

// Rewrites every record and a tenth of the key space, and commits.
void Rewrite(ByteTree& tree, Model& model, std::mt19937& rng) {
    for (auto& [key, value] : model) {
        value = std::string(20 + rng() % 300, static_cast<char>('a' + rng() % 26));
        tree.Put(key, value);
    }
    for (std::uint32_t i = 0; i < 200; ++i) {
        const std::string key = Key(rng() % 4000);
        if (model.erase(key))
            EXPECT_EQ(tree.Erase(key), 1u);
        else
            tree.Put(key, model[key] = std::string(rng() % 3000, 'z'));
    }
    tree.Commit();
}

Model Fill(ByteTree& tree, std::uint32_t count) {
    Model model;
    for (std::uint32_t i = 0; i < count; ++i) tree.Put(Key(i * 2), model[Key(i * 2)] = Key(i));
    tree.Commit();
    return model;
}

// A file of `count` records at rest, as a writer that closed left it.
Model FilledFile(const std::string& path, std::uint32_t count) {
    ByteTree tree(path);
    return Fill(tree, count);
}

}  // namespace

TEST(Readers, SeeCommittedStatesWhileTheWriterGoesOnAndMoveOnByRollback) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng(71);
    ByteTree writer(path);
    Model first = Fill(writer, 2000);
    EXPECT_TRUE(Exists(SideFile(path)));

    ByteTree reader(path, ReadOnly());
    EXPECT_EQ(Difference(reader, first), "");
    Model second = first;
    Rewrite(writer, second, rng);
    // Uncommitted changes are the writer's alone.
    writer.Put(Key(1), "open transaction");
    EXPECT_EQ(Difference(reader, first), "");
    ByteTree::Snapshot snapshot = reader.TakeSnapshot();
    EXPECT_EQ(Difference(snapshot, second), "");
    writer.Rollback();
    Model third = second;
    Rewrite(writer, third, rng);
    Rewrite(writer, third, rng);
    EXPECT_EQ(Difference(reader, first), "");
    EXPECT_EQ(Difference(snapshot, second), "");
    reader.Rollback();
    EXPECT_EQ(Difference(reader, third), "");
    EXPECT_NO_THROW(reader.Validate());
    EXPECT_EQ(reader.GetStatistics().records, third.size());

    // One writer at a time, and readers only read.
    std::string refused;
    try {
        ByteTree another(path);
    } catch (const std::exception& e) {
        refused = e.what();
    }
    EXPECT_NE(refused.find("Cannot lock the file, it is in use"), std::string::npos) << refused;
    EXPECT_THROW(reader.Put("k", "v"), TamBTree::BTreeReadOnlyException);
}

TEST(Readers, AWriterOpensBesideReadersAndKeepsWhatTheyReadUntilTheyLeave) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng(72);
    Model model = FilledFile(path, 3000);
    EXPECT_FALSE(Exists(SideFile(path)));
    auto reader = std::make_unique<ByteTree>(path, ReadOnly());
    ByteTree writer(path);
    Model changed = model;
    for (int round = 0; round < 6; ++round) Rewrite(writer, changed, rng);
    EXPECT_EQ(Difference(*reader, model), "");
    const std::vector<TamBTree::BTree::Reader> readers = writer.Readers();
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0].process, static_cast<std::uint32_t>(::getpid()));
    EXPECT_GT(readers[0].heldBytes, 0u);

    // Once the reader leaves, its pages are free again: rewriting the tree
    // as often as before takes no more room than the space it held.
    reader.reset();
    Rewrite(writer, changed, rng);
    EXPECT_TRUE(writer.Readers().empty());
    const std::uint64_t size = writer.GetDiskSpaceUsed();
    for (int round = 0; round < 6; ++round) Rewrite(writer, changed, rng);
    EXPECT_LE(writer.GetDiskSpaceUsed(), size + size / 2);
    writer.Validate();
    ByteTree after(path, ReadOnly());
    EXPECT_EQ(Difference(after, changed), "");
}

TEST(Readers, AReaderKilledInAnotherProcessStopsHoldingSpace) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng(73);
    ByteTree writer(path);
    Model model = Fill(writer, 3000);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ByteTree reader(path, ReadOnly());
        const bool same = Difference(reader, model).empty();
        if (::write(ready[1], same ? "y" : "n", 1) != 1) ::_exit(2);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    Rewrite(writer, model, rng);
    std::vector<TamBTree::BTree::Reader> readers = writer.Readers();
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0].process, static_cast<std::uint32_t>(child));
    EXPECT_GT(readers[0].heldBytes, 0u);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    Rewrite(writer, model, rng);
    EXPECT_TRUE(writer.Readers().empty());
    EXPECT_EQ(writer.GetStatistics().snapshotBytes, 0u);
    writer.Validate();
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(Readers, AWriterKilledMidWayLeavesAFileThatReadersAndTheNextWriterOpen) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model = FilledFile(path, 1000);
    ByteTree early(path, ReadOnly());
    const pid_t child = ::fork();
    if (child == 0) {
        std::mt19937 rng(74);
        ByteTree writer(path);
        Model changed = model;
        for (;;) Rewrite(writer, changed, rng);
    }
    ::usleep(300000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(Difference(early, model), "");
    {
        ByteTree reader(path, ReadOnly());
        EXPECT_NO_THROW(reader.Validate());
        ByteTree writer(path);
        writer.Validate();
        EXPECT_EQ(writer.Size(), reader.Size());
    }
    EXPECT_EQ(Difference(early, model), "");
}

TEST(Readers, ADamagedOrStaleSideFileIsBuiltAnew) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model = FilledFile(path, 500);
    for (const std::size_t bytes : {std::size_t(10), std::size_t(200000)}) {
        {
            std::ofstream junk(SideFile(path), std::ios::binary);
            junk << std::string(bytes, '\xff');
        }
        ByteTree reader(path, ReadOnly());
        ByteTree writer(path);
        writer.Put(Key(1), "new");
        writer.Commit();
        EXPECT_EQ(Difference(reader, model), "");
        EXPECT_EQ(reader.TakeSnapshot().Get(Key(1)), "new");
        model[Key(1)] = "new";
    }
    EXPECT_FALSE(Exists(SideFile(path)));
}

// Threads of a reader process share its tree's snapshots of the writer's
// commits: each snapshot is one whole commit, and they only move forward.
TEST(Readers, ThreadsOfAReaderTakeSnapshotsOfWholeCommitsWhileTheWriterCommits) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    ByteTree writer(path);
    for (std::uint32_t i = 0; i < 500; ++i) writer.Put(Key(i), "0");
    writer.Commit();
    const ByteTree reader(path, ReadOnly());
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            std::uint32_t last = 0;
            while (!done) {
                const ByteTree::Snapshot snapshot = reader.TakeSnapshot();
                const std::string first = snapshot.Get(Key(0)).value_or("?");
                for (auto [key, value] : snapshot.Records())
                    if (value != first) ++torn;
                const auto seen = static_cast<std::uint32_t>(std::stoul(first));
                if (seen < last) ++torn;
                last = seen;
            }
        });
    for (std::uint32_t round = 1; round <= 200; ++round) {
        for (std::uint32_t i = 0; i < 500; ++i) writer.Put(Key(i), std::to_string(round));
        writer.Commit();
    }
    done = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(reader.TakeSnapshot().Get(Key(7)), "200");
}

// A writer that opens beside readers of an earlier one keeps what that one
// left free, but a transaction it left waiting still commits.
TEST(Readers, AWaitingTransactionOfADeadWriterCommitsBesideItsReaders) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model = FilledFile(path, 2000);
    const ByteTree reader(path, ReadOnly());
    const pid_t child = ::fork();
    if (child == 0) {
        ByteTree writer(path);
        for (std::uint32_t i = 0; i < 2000; i += 3) writer.Put(Key(i * 2), "waiting");
        writer.PreCommit();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ByteTree writer(path);
    ASSERT_EQ(writer.GetCommitState(), TamBTree::BTree::CommitReady);
    writer.BTree::Commit();
    EXPECT_EQ(writer.Get(Key(6)), "waiting");
    std::mt19937 rng(75);
    Model changed = model;
    for (std::uint32_t i = 0; i < 2000; i += 3) changed[Key(i * 2)] = "waiting";
    Rewrite(writer, changed, rng);
    writer.Validate();
    EXPECT_EQ(Difference(reader, model), "");
}
