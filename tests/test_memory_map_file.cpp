// The memory-mapped file: open modes and locking, views and their stability
// across growth, flushing and the fault hook.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TamFile.h"

using TamFile::FileException;
using TamFile::MemoryMapFile;

namespace {

constexpr std::uint64_t kGranule = 65536;

class MemoryMapFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tam-mmf-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/tree.bt";
    }
    void TearDown() override {
        MemoryMapFile::SetFaultHook(nullptr);
        const std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    template <class Call>
    static TamFile::Action ActionOf(Call call) {
        try {
            call();
        } catch (const FileException& e) {
            return e.GetAction();
        }
        ADD_FAILURE() << "nothing thrown";
        return TamFile::ActionClose;
    }
    // The byte at `offset` as another reader of the file sees it.
    unsigned char ByteOnDisk(std::uint64_t offset) const {
        const int fd = ::open(path.c_str(), O_RDONLY);
        unsigned char byte = 0;
        EXPECT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(offset)), 1);
        ::close(fd);
        return byte;
    }

    std::string dir;
    std::string path;
};

class RecordingHook : public TamFile::FileFaultHook {
  public:
    void At(Point point, const std::string&) override {
        points.push_back(point);
        if (point == failAt)
            throw FileException(TamFile::ActionFlush, "hook", EIO);
    }
    std::vector<Point> points;
    int failAt = -1;
};

TEST_F(MemoryMapFileTest, OpenModesAndLocks) {
    MemoryMapFile file(path);
    EXPECT_EQ(ActionOf([&] { file.Open(TamFile::OpenRead); }), TamFile::ActionOpenRead);
    EXPECT_FALSE(file.IsOpen());
    file.Open(TamFile::OpenReadWrite);
    EXPECT_TRUE(file.IsWritable());
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.GetViewSize(), 65536u);
    EXPECT_EQ(TamFile::GetAllocationGranularity(), 65536u);
    file.Resize(kGranule);
    file.GetView(0)[7] = 0x5A;

    // Another open beside a writer is refused, and a create does not truncate.
    MemoryMapFile other(path);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenReadWrite); }), TamFile::ActionLock);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenCreate); }), TamFile::ActionLock);
    EXPECT_EQ(ActionOf([&] { other.Open(TamFile::OpenRead); }), TamFile::ActionLock);
    EXPECT_EQ(TamFile::Path(path).Size(), kGranule);
    EXPECT_EQ(file.GetView(0)[7], 0x5A);
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
    EXPECT_EQ(writer.GetSize(), 0u);
    EXPECT_EQ(TamFile::Path(path).Size(), 0u);
}

TEST_F(MemoryMapFileTest, ViewsStayPutWhileTheFileGrows) {
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
    EXPECT_NE(file.GetView(62 * kGranule, 2 * kGranule), nullptr);

    file.ReleaseView(kGranule);
    EXPECT_FALSE(file.IsViewExist(kGranule));
    EXPECT_TRUE(file.IsViewExist(0));
    file.ReleaseView(kGranule);  // not mapped: nothing happens

    // A shrink keeps only the views that still lie inside the file.
    file.Resize(2 * kGranule);
    EXPECT_TRUE(file.IsViewExist(0));
    EXPECT_FALSE(file.IsViewExist(3 * kGranule));
    EXPECT_EQ(ByteOnDisk(0), 0x22);
}

TEST_F(MemoryMapFileTest, ViewAcrossRegionsSeesTheSameFile) {
    const std::uint64_t boundary = MemoryMapFile::RegionSize;
    MemoryMapFile file(path);
    file.Open(TamFile::OpenCreate);
    file.Resize(boundary + 2 * kGranule);
    unsigned char* straddling = file.GetView(boundary - kGranule, 2 * kGranule);
    unsigned char* before = file.GetView(boundary - kGranule);
    unsigned char* after = file.GetView(boundary);
    EXPECT_EQ(before, straddling);  // the larger view answers for its offset
    straddling[kGranule + 3] = 0x7E;
    EXPECT_EQ(after[3], 0x7E);
    after[4] = 0x3C;
    EXPECT_EQ(straddling[kGranule + 4], 0x3C);
    file.FlushView(boundary - kGranule, 0);
    file.Flush();
    EXPECT_EQ(ByteOnDisk(boundary + 4), 0x3C);
    file.ReleaseView(boundary - kGranule, true);
    EXPECT_FALSE(file.IsViewExist(boundary - kGranule));
    EXPECT_EQ(after[3], 0x7E);
}

TEST_F(MemoryMapFileTest, FlushesPassTheFaultHookInOrder) {
    RecordingHook hook;
    MemoryMapFile::SetFaultHook(&hook);
    MemoryMapFile file(path);
    file.Open(TamFile::OpenCreate);
    file.Resize(2 * kGranule);
    file.GetView(kGranule)[5] = 9;
    file.FlushView(kGranule, 6);
    file.Flush();
    using P = TamFile::FileFaultHook;
    EXPECT_EQ(hook.points, (std::vector<P::Point>{P::BeforeOpen, P::BeforeResize, P::AfterResize,
                                                  P::BeforeFlushView, P::AfterFlushView,
                                                  P::BeforeFlush, P::AfterFlush}));
    EXPECT_EQ(ByteOnDisk(kGranule + 5), 9);

    hook.points.clear();
    hook.failAt = P::BeforeFlush;
    EXPECT_THROW(file.Flush(), FileException);
    EXPECT_EQ(hook.points, std::vector<P::Point>{P::BeforeFlush});
    MemoryMapFile::SetFaultHook(nullptr);
    file.Flush();
}

TEST_F(MemoryMapFileTest, CloseReleasesEverythingAndReopenSeesTheContent) {
    MemoryMapFile file(path);
    file.Open(TamFile::OpenReadWrite);
    file.Resize(3 * kGranule);
    file.GetView(2 * kGranule)[100] = 0x42;
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.IsViewExist(2 * kGranule));
    EXPECT_EQ(ActionOf([&] { file.GetView(0); }), TamFile::ActionMapView);

    file.Open(TamFile::OpenReadWrite);
    EXPECT_EQ(file.GetSize(), 3 * kGranule);
    EXPECT_EQ(file.GetView(2 * kGranule)[100], 0x42);
    file.Delete();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(TamFile::Path(path).IsFile());
}

}  // namespace
