// The direct file: positions and sizes, exact reads, locking and the
// sparse-support cache.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "CFile.h"

using TamFile::CFile;
using TamFile::FileException;
using TamFile::SeekOutOfRangeException;

namespace {

class DirectFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tam-cfile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/file.bin";
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    // A file of `n` bytes 0, 1, 2, ... (mod 256), left open read-write.
    void Fill(CFile& file, std::uint32_t n) {
        file.Open(TamFile::OpenCreate);
        std::vector<unsigned char> bytes(n);
        for (std::uint32_t i = 0; i < n; ++i)
            bytes[i] = static_cast<unsigned char>(i);
        ASSERT_EQ(file.Write(bytes.data(), 1, n), n);
    }
    template <class Call>
    static TamFile::Action ActionOf(Call call) {
        try {
            call();
        } catch (const SeekOutOfRangeException&) {
            ADD_FAILURE() << "range exception where a file error was expected";
        } catch (const FileException& e) {
            return e.GetAction();
        }
        ADD_FAILURE() << "nothing thrown";
        return TamFile::ActionClose;
    }

    std::string dir;
    std::string path;
};

TEST_F(DirectFileTest, SeekRangeTestsDependOnOriginAndDirection) {
    CFile file(path);
    Fill(file, 100);
    EXPECT_EQ(file.GetPosition(), 100u);
    EXPECT_TRUE(file.IsEof());

    EXPECT_THROW(file.Seek(0, CFile::Begin, CFile::Backward), SeekOutOfRangeException);
    EXPECT_EQ(file.GetPosition(), 100u);
    EXPECT_THROW(file.Seek(101, CFile::End, CFile::Backward), SeekOutOfRangeException);
    file.Seek(100, CFile::End, CFile::Backward);
    EXPECT_EQ(file.GetPosition(), 0u);
    EXPECT_FALSE(file.IsEof());

    file.Seek(30, CFile::Begin, CFile::Forward);
    EXPECT_THROW(file.Seek(31, CFile::Current, CFile::Backward), SeekOutOfRangeException);
    file.Seek(30, CFile::Current, CFile::Backward);
    EXPECT_EQ(file.GetPosition(), 0u);

    // Any other direction moves backward without the range tests.
    file.Seek(50, CFile::Begin, CFile::Forward);
    file.Seek(20, CFile::Current, 0);
    EXPECT_EQ(file.GetPosition(), 30u);
    EXPECT_EQ(ActionOf([&] { file.Seek(1, CFile::Begin, 7); }), TamFile::ActionSeek);

    EXPECT_THROW(file.Seek(0xFFFFFFFFu - 100 + 1, CFile::End, CFile::Forward),
                 SeekOutOfRangeException);
    // Moving past the end counts toward the tracked size, not the file's.
    file.Seek(10, CFile::End, CFile::Forward);
    EXPECT_EQ(file.GetPosition(), 110u);
    EXPECT_EQ(file.GetSize(), 110u);
    EXPECT_EQ(TamFile::Path(path).Size(), 100u);

    // Forward from the current position is not range-tested; a position
    // beyond 32 bits is a seek failure.
    EXPECT_EQ(ActionOf([&] { file.Seek(0xFFFFFFF0u, CFile::Current, CFile::Forward); }),
              TamFile::ActionSeek);
}

TEST_F(DirectFileTest, ReadReturnsWhatCameUnlessExact) {
    {
        CFile writer(path);
        Fill(writer, 100);
    }
    CFile file(path);
    EXPECT_EQ(file.Open(TamFile::OpenRead), 100u);
    EXPECT_FALSE(file.IsWritable());
    unsigned char buffer[200] = {};
    file.Seek(0, CFile::Begin, CFile::Forward);
    EXPECT_EQ(file.Read(buffer, 4, 10, true), 40u);
    EXPECT_EQ(buffer[39], 39);
    EXPECT_EQ(file.GetPosition(), 40u);
    EXPECT_EQ(file.Read(buffer, 1, 200, false), 60u);
    EXPECT_EQ(buffer[0], 40);
    EXPECT_TRUE(file.IsEof());

    file.Seek(90, CFile::Begin, CFile::Forward);
    EXPECT_EQ(ActionOf([&] { file.Read(buffer, 20, 1, true); }), TamFile::ActionRead);
    EXPECT_EQ(ActionOf([&] { file.Write(buffer, 1, 1); }), TamFile::ActionWrite);
    EXPECT_EQ(file.GetSize(), 100u);
}

TEST_F(DirectFileTest, SetSizeAndExtendChangeTheFile) {
    CFile file(path);
    Fill(file, 100);
    file.Seek(10, CFile::Begin, CFile::Forward);
    file.SetSize(100, false);
    EXPECT_EQ(file.GetPosition(), 10u);
    file.SetSize(100, true);
    EXPECT_EQ(file.GetPosition(), 100u);
    EXPECT_EQ(file.GetSize(), 100u);

    file.SetSize(4096, false);
    EXPECT_EQ(file.GetSize(), 4096u);
    EXPECT_EQ(file.GetPosition(), 4096u);
    EXPECT_EQ(TamFile::Path(path).Size(), 4096u);
    file.SetSize(50, false);
    EXPECT_EQ(file.GetSize(), 50u);
    EXPECT_EQ(TamFile::Path(path).Size(), 50u);

    EXPECT_THROW(file.Extend(0xFFFFFFFFu - 50 + 1), SeekOutOfRangeException);
    EXPECT_EQ(file.GetSize(), 50u);
    file.Extend(1000);
    EXPECT_EQ(file.GetSize(), 1050u);
    EXPECT_EQ(file.GetPosition(), 1050u);
    EXPECT_EQ(TamFile::Path(path).Size(), 1050u);
    file.Flush();

    // Content before the old end survives the changes.
    unsigned char byte = 0;
    file.Seek(49, CFile::Begin, CFile::Forward);
    file.Read(&byte, 1, 1, true);
    EXPECT_EQ(byte, 49);
}

TEST_F(DirectFileTest, OpenModesLockAndDelete) {
    CFile file(path);
    EXPECT_EQ(ActionOf([&] { file.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    Fill(file, 10);
    file.Close();
    EXPECT_EQ(file.Open(TamFile::OpenReadWrite), 10u);
    EXPECT_TRUE(file.IsWritable());

    // A writer shares the file with nobody; a second writer must not truncate.
    CFile other(path);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenCreate); }), TamFile::ActionOpenWrite);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    EXPECT_EQ(TamFile::Path(path).Size(), 10u);
    file.Close();
    EXPECT_EQ(other.Open(TamFile::OpenRead), 10u);
    CFile reader(path);
    EXPECT_EQ(reader.Open(TamFile::OpenRead), 10u);
    other.Close();
    reader.Close();

    EXPECT_EQ(file.Open(TamFile::OpenCreate), 0u);
    file.Delete();
    EXPECT_FALSE(TamFile::Path(path).IsFile());
    file.Delete();  // nothing left to delete

    CFile temporary(path);
    temporary.accessHint = 4;
    temporary.Open(TamFile::OpenCreate);
    EXPECT_FALSE(TamFile::Path(path).IsFile());
}

// The sparse-support query is made once per drive letter for the whole
// process; a path without a drive letter keeps its request.
TEST_F(DirectFileTest, SparseSupportIsAskedOncePerDrive) {
    static std::vector<std::string> queried;
    static int madeSparse;
    queried.clear();
    madeSparse = 0;
    const auto savedQuery = TamFile::CFileBase::ms_QueryVolumeSparse;
    const auto savedSet = TamFile::CFileBase::ms_SetSparse;
    TamFile::CFileBase::ms_QueryVolumeSparse = [](const std::string& root) {
        queried.push_back(root);
        return root[0] == 'S';
    };
    TamFile::CFileBase::ms_SetSparse = [](int) { ++madeSparse; };
    TamFile::CFileBase::m_mSparseDrive.clear();
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.c_str()), 0);

    for (const char* name : {"N:first", "N:second", "S:first", "S:second", "plain"}) {
        CFile file(name);
        file.sparse = true;
        file.Open(TamFile::OpenCreate);
        EXPECT_EQ(file.sparse, name[1] != ':') << name;
    }

    EXPECT_EQ(::chdir(cwd), 0);
    TamFile::CFileBase::ms_QueryVolumeSparse = savedQuery;
    TamFile::CFileBase::ms_SetSparse = savedSet;
    TamFile::CFileBase::m_mSparseDrive.clear();
    EXPECT_EQ(queried, (std::vector<std::string>{"N:\\", "S:\\"}));
    EXPECT_EQ(madeSparse, 2);
}

}  // namespace
