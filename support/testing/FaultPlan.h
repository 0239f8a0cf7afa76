// Fault injection for the crash and I/O-fault tests: file services in front of
// the installed ones (for the plan's lifetime) that count the durability points (before and after
// every range sync, file sync and resize, before every open) and, at a chosen one, make the call
// fail as a failing msync, fdatasync or ftruncate would, or end the process there.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "TamFile.h"

namespace TamBTreeTest {

class FaultPlan : public TamFile::WrappingFileServices {
public:
    enum Outcome { CountOnly, Fail, Exit };
    enum Point {
        BeforeFlushView,
        AfterFlushView,
        BeforeFlush,
        AfterFlush,
        BeforeResize,
        AfterResize,
        BeforeOpen
    };
    // The exit status of a process ended by the plan.
    static constexpr int EXIT_CODE = 86;

    // Acts at the `n`-th counted point from now (1 is the next one).
    void Arm(std::uint64_t n, Outcome what, int errorNumber = EIO) {
        target = seen + n;
        outcome = what;
        error = errorNumber;
    }
    // Counts only the points for which `filter` is true (all by default).
    bool (*filter)(Point) = nullptr;
    // Sees every counted point before the plan acts there.
    std::function<void(Point)> observe;

    // The file layer's action for a system call failing at `point`.
    static TamFile::Action ActionOf(Point point) {
        if (point == BeforeResize || point == AfterResize) return TamFile::ActionSeek;
        return point == BeforeOpen ? TamFile::ActionOpenWrite : TamFile::ActionFlush;
    }

    int Opening(const std::string& path) override {
        if (const int failed = At(BeforeOpen)) return failed;
        return Next().Opening(path);
    }
    int SyncRange(int fd, unsigned char* address, std::size_t length,
                  std::uint64_t offset) override {
        return Around(BeforeFlushView,
                      [&] { return Next().SyncRange(fd, address, length, offset); });
    }
    int SyncFile(int fd, std::uint64_t size) override {
        return Around(BeforeFlush, [&] { return Next().SyncFile(fd, size); });
    }
    int Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) override {
        return Around(BeforeResize, [&] { return Next().Resize(fd, oldSize, newSize); });
    }

private:
    // The point `first`, the call, then the point after it.
    template <class Call>
    int Around(Point first, Call call) {
        if (const int failed = At(first)) return failed;
        if (const int failed = call()) return failed;
        return At(static_cast<Point>(first + 1));
    }

    int At(Point point) {
        if (filter && !filter(point)) return 0;
        if (observe) observe(point);
        if (++seen != target || outcome == CountOnly) return 0;
        if (outcome == Exit) ::_exit(EXIT_CODE);
        return error;
    }

    std::uint64_t seen = 0;
    std::uint64_t target = 0;
    Outcome outcome = CountOnly;
    int error = EIO;
};

}  // namespace TamBTreeTest
