// In-place compaction: copy beside, flush, rename over, flush the directory.
#include "CompactInPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "TamFile.h"
#include "Tool.h"

namespace TamTool {

std::uint64_t FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::string CompactTemporary(const std::string& path) {
    return path + ".compact";
}

void WatchCopy(const std::string& target, const std::function<void()>& copy,
               const std::function<void(std::uint64_t)>& progress) {
    if (!progress) return copy();
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watcher([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; }))
            progress(FileSize(target));
    });
    try {
        copy();
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        done.notify_one();
        watcher.join();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    done.notify_one();
    watcher.join();
}

void CompactInPlace(const TamBTree::BTree& tree,
                    const std::function<void(std::uint64_t)>& progress) {
    if (tree.GetCommitState() == TamBTree::BTree::CommitReady)
        throw Failure(tree.GetPath() +
                      ": a transaction waits: commit or roll back first (tambtree commit or "
                      "tambtree rollback)");
    const std::string& path = tree.GetPath();
    const std::string temporary = CompactTemporary(path);
    // What a compaction that crashed left: the tree's lock, which this
    // process holds, shuts out any other compaction of the file.
    ::unlink(temporary.c_str());
    WatchCopy(
        temporary, [&] { tree.CopyTo(temporary); }, progress);
    // The copy's name, then the rename, must be durable before the old file
    // is given up.
    const TamFile::Path directory(path);
    try {
        directory.SyncDirectory();
        if (::rename(temporary.c_str(), path.c_str()) != 0)
            throw TamFile::FileException(TamFile::ActionWrite, path, errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    directory.SyncDirectory();
}

std::uint64_t EstimateCompactSize(const TamBTree::BTree::Statistics& s) {
    // Pages of the copy hold 90 % of their record area; the system block and
    // the first page-index block take a granule each, and every 8192 pages
    // another index block; the first leaf's old image stays as a free page.
    const double perPage = 0.9 * (65536 - 48) + 48;
    const auto pages = static_cast<std::uint64_t>(static_cast<double>(s.usedBytes) / perPage) + 1;
    const std::uint64_t blocks = 1 + pages / 8192;
    return (1 + blocks + pages + 1) * 65536;
}

}  // namespace TamTool
