// Fault injection for the crash and I/O-fault tests: a hook that counts the
// file services' durability points (before and after every FlushView, Flush
// and Resize, before every Open) and, at a chosen one, makes the call fail as
// a failing msync, fsync or ftruncate would, or ends the process there.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "TamFile.h"

namespace TamBTreeTest {

class FaultPlan : public TamFile::FileFaultHook {
public:
    enum Outcome { CountOnly, Fail, Exit };
    // The exit status of a process ended by the plan.
    static constexpr int EXIT_CODE = 86;

    FaultPlan() { TamFile::MemoryMapFile::SetFaultHook(this); }
    ~FaultPlan() override { TamFile::MemoryMapFile::SetFaultHook(nullptr); }
    FaultPlan(const FaultPlan&) = delete;
    FaultPlan& operator=(const FaultPlan&) = delete;

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

    void At(Point point, const std::string& path) override {
        if (filter && !filter(point)) return;
        if (observe) observe(point);
        if (++seen != target || outcome == CountOnly) return;
        if (outcome == Exit) ::_exit(EXIT_CODE);
        throw TamFile::FileException(ActionOf(point), path, error);
    }

    // The file layer's action for a system call failing at `point`.
    static TamFile::Action ActionOf(Point point) {
        if (point == BeforeResize || point == AfterResize) return TamFile::ActionSeek;
        return point == BeforeOpen ? TamFile::ActionOpenWrite : TamFile::ActionFlush;
    }

private:
    std::uint64_t seen = 0;
    std::uint64_t target = 0;
    Outcome outcome = CountOnly;
    int error = EIO;
};

}  // namespace TamBTreeTest
