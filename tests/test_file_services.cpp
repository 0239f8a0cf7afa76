// The file services. The direct file: positions and sizes, exact reads,
// locking and the sparse-support cache. The memory-mapped file: open modes and
// locking, views and their stability across growth, flushing and the fault
// hook.
#include <gtest/gtest.h>
#include <unistd.h>

#include "CFile.h"
#include "FaultHook.h"
#include "TestTree.h"
#include "TreeFileBytes.h"

using TamBTreeTest::TempDir;
using TamFile::CFile;
using TamFile::FileException;
using TamFile::MemoryMapFile;
using TamFile::SeekOutOfRangeException;

namespace {

constexpr std::uint64_t kGranule = 65536;

// The action of the file error that `call` throws.
template <class Call>
TamFile::Action ActionOf(Call call) {
    try {
        call();
    } catch (const SeekOutOfRangeException&) {
        ADD_FAILURE() << "range exception where a file error was expected";
    } catch (const FileException& e) {
        return e.GetAction();
    }
    ADD_FAILURE() << "no file error";
    return TamFile::ActionClose;
}

class FileServices : public ::testing::Test {
protected:
    // A direct file of `n` bytes 0, 1, 2, ... (mod 256), left open read-write.
    void Fill(CFile& file, std::uint32_t n) {
        file.Open(TamFile::OpenCreate);
        std::vector<unsigned char> bytes(n);
        for (std::uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i);
        ASSERT_EQ(file.Write(bytes.data(), 1, n), n);
    }
    std::uint64_t SizeOnDisk() const { return TamFile::Path(path).Size(); }
    unsigned char ByteOnDisk(std::uint64_t offset) const {
        return TamBTreeTest::TreeFileBytes(path).Get<unsigned char>(offset);
    }

    TempDir dir;
    std::string path = dir.File("file.bin");
};

TEST_F(FileServices, DirectReadReturnsWhatCameUnlessExactAndSizesChangeTheFile) {
    {
        CFile writer(path);
        Fill(writer, 100);
    }
    {
        CFile file(path);
        EXPECT_EQ(file.Open(TamFile::OpenRead), 100u);
        unsigned char buffer[200] = {};
        file.Seek(0, CFile::Begin, CFile::Forward);
        EXPECT_EQ(file.Read(buffer, 4, 10, true), 40u);
        EXPECT_EQ(buffer[39], 39);
        EXPECT_EQ(file.Read(buffer, 1, 200, false), 60u);
        EXPECT_EQ(buffer[0], 40);
        EXPECT_TRUE(file.IsEof());
        file.Seek(90, CFile::Begin, CFile::Forward);
        EXPECT_EQ(ActionOf([&] { file.Read(buffer, 20, 1, true); }), TamFile::ActionRead);
        EXPECT_EQ(ActionOf([&] { file.Write(buffer, 1, 1); }), TamFile::ActionWrite);
    }
    CFile file(path);
    EXPECT_EQ(file.Open(TamFile::OpenReadWrite), 100u);
    file.Seek(10, CFile::Begin, CFile::Forward);
    file.SetSize(100, false);
    EXPECT_EQ(file.GetPosition(), 10u);
    file.SetSize(100, true);
    EXPECT_EQ(file.GetPosition(), 100u);
    file.SetSize(4096, false);
    EXPECT_EQ(file.GetPosition(), 4096u);
    EXPECT_EQ(SizeOnDisk(), 4096u);
    file.SetSize(50, false);
    EXPECT_EQ(SizeOnDisk(), 50u);
    EXPECT_THROW(file.Extend(0xFFFFFFFFu - 49), SeekOutOfRangeException);
    EXPECT_EQ(file.GetSize(), 50u);
    file.Extend(1000);
    EXPECT_EQ(file.GetPosition(), 1050u);
    EXPECT_EQ(SizeOnDisk(), 1050u);
    file.Flush();
    EXPECT_EQ(ByteOnDisk(49), 49);  // content before the old end survives
}

TEST_F(FileServices, DirectOpenModesLockAndDelete) {
    CFile file(path);
    EXPECT_EQ(ActionOf([&] { file.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    Fill(file, 10);
    file.Close();
    EXPECT_EQ(file.Open(TamFile::OpenReadWrite), 10u);
    // A writer shares the file with nobody; a second writer must not truncate.
    CFile other(path);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenCreate); }), TamFile::ActionOpenWrite);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    EXPECT_EQ(SizeOnDisk(), 10u);
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
TEST_F(FileServices, MappedOpenModesAndLocks) {
    MemoryMapFile file(path);
    EXPECT_EQ(ActionOf([&] { file.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    EXPECT_FALSE(file.IsOpen());
    file.Open(TamFile::OpenReadWrite);
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.GetViewSize(), 65536u);
    EXPECT_EQ(TamFile::GetAllocationGranularity(), 65536u);
    file.Resize(kGranule);
    file.GetView(0)[7] = 0x5A;
    // Another open beside a writer is refused, and a create does not truncate.
    MemoryMapFile other(path);
    for (const auto mode : {TamFile::OpenReadWrite, TamFile::OpenCreate, TamFile::OpenRead})
        EXPECT_EQ(ActionOf([&] { other.Open(mode); }), TamFile::ActionLock);
    EXPECT_EQ(SizeOnDisk(), kGranule);
    file.Close();
    // Readers share the file; a writer beside a reader is refused.
    file.Open(TamFile::OpenRead);
    EXPECT_FALSE(file.IsWritable());
    other.Open(TamFile::OpenRead);
    EXPECT_EQ(other.GetView(0)[7], 0x5A);
    MemoryMapFile writer(path);
    EXPECT_EQ(ActionOf([&] { writer.Open(TamFile::OpenReadWrite); }), TamFile::ActionLock);
    EXPECT_EQ(ActionOf([&] { file.Resize(2 * kGranule); }), TamFile::ActionSeek);
    other.Close();
    file.Close();
    writer.Open(TamFile::OpenCreate);
    EXPECT_EQ(SizeOnDisk(), 0u);
}

TEST_F(FileServices, MappedViewsStayPutWhileTheFileGrowsAndAcrossRegions) {
    MemoryMapFile file(path);
    file.Open(TamFile::OpenCreate);
    file.Resize(kGranule);
    unsigned char* first = file.GetView(0);
    std::memset(first, 0x11, kGranule);
    for (std::uint64_t n = 2; n <= 64; n *= 2) {
        file.Resize(n * kGranule);
        unsigned char* last = file.GetView((n - 1) * kGranule);
        last[kGranule - 1] = static_cast<unsigned char>(n);
        EXPECT_EQ(file.FindView((n - 1) * kGranule), last);
    }
    EXPECT_EQ(file.GetView(0), first);
    EXPECT_EQ(first[kGranule - 1], 0x11);
    first[0] = 0x22;
    EXPECT_EQ(file.GetView(63 * kGranule)[kGranule - 1], 64);
    // Views lie inside the file.
    EXPECT_EQ(ActionOf([&] { file.GetView(64 * kGranule); }), TamFile::ActionMapView);
    EXPECT_EQ(ActionOf([&] { file.GetView(63 * kGranule, kGranule + 1); }), TamFile::ActionMapView);
    file.ReleaseView(kGranule);
    EXPECT_FALSE(file.IsViewExist(kGranule));
    file.ReleaseView(kGranule);  // not mapped: nothing happens
    // A shrink keeps only the views that still lie inside the file.
    file.Resize(2 * kGranule);
    EXPECT_TRUE(file.IsViewExist(0));
    EXPECT_FALSE(file.IsViewExist(63 * kGranule));
    EXPECT_EQ(ByteOnDisk(0), 0x22);

    // A view across two mapped regions sees the same bytes as views in each.
    const std::uint64_t boundary = MemoryMapFile::RegionSize;
    file.Resize(boundary + 2 * kGranule);
    unsigned char* straddling = file.GetView(boundary - kGranule, 2 * kGranule);
    unsigned char* after = file.GetView(boundary);
    EXPECT_EQ(file.GetView(boundary - kGranule), straddling);  // the larger view answers
    straddling[kGranule + 3] = 0x7E;
    EXPECT_EQ(after[3], 0x7E);
    after[4] = 0x3C;
    EXPECT_EQ(straddling[kGranule + 4], 0x3C);
    file.FlushView(boundary - kGranule, 0);
    EXPECT_EQ(ByteOnDisk(boundary + 4), 0x3C);
    file.ReleaseView(boundary - kGranule, true);
    EXPECT_FALSE(file.IsViewExist(boundary - kGranule));
    EXPECT_EQ(after[3], 0x7E);
    // Close releases everything; a reopen sees the content.
    file.Close();
    EXPECT_FALSE(file.IsViewExist(0));
    EXPECT_EQ(ActionOf([&] { file.GetView(0); }), TamFile::ActionMapView);
    file.Open(TamFile::OpenReadWrite);
    EXPECT_EQ(file.GetView(boundary)[4], 0x3C);
    file.Delete();
    EXPECT_FALSE(TamFile::Path(path).IsFile());
}

TEST_F(FileServices, MappedFlushesPassTheFaultHookInOrder) {
    std::vector<TamFile::FileFaultHook::Point> points;
    TamBTreeTest::FaultPlan plan;
    plan.observe = [&points](TamFile::FileFaultHook::Point point) { points.push_back(point); };
    MemoryMapFile file(path);
    file.Open(TamFile::OpenCreate);
    file.Resize(2 * kGranule);
    file.GetView(kGranule)[5] = 9;
    file.FlushView(kGranule, 6);
    file.Flush();
    using P = TamFile::FileFaultHook;
    EXPECT_EQ(points, (std::vector<P::Point>{P::BeforeOpen, P::BeforeResize, P::AfterResize,
                                             P::BeforeFlushView, P::AfterFlushView, P::BeforeFlush,
                                             P::AfterFlush}));
    EXPECT_EQ(ByteOnDisk(kGranule + 5), 9);
    plan.Arm(1, TamBTreeTest::FaultPlan::Fail);
    EXPECT_EQ(ActionOf([&] { file.Flush(); }), TamFile::ActionFlush);
    EXPECT_EQ(points.back(), P::BeforeFlush);
    file.Flush();
}

}  // namespace
