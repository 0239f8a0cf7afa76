#include "Floor.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace TamBench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double MIN_SECONDS = 1.0;
constexpr std::size_t MIN_REPS = 5;
constexpr std::size_t MAX_REPS = 200;

// One mapped scratch file, removed when done.
class MappedFile {
public:
    MappedFile(const std::string& filePath, std::uint64_t bytes) : path(filePath), size(bytes) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("create");
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) Fail("map");
        address = static_cast<unsigned char*>(p);
    }
    ~MappedFile() {
        if (address) ::munmap(address, size);
        if (fd >= 0) ::close(fd);
        ::unlink(path.c_str());
    }
    void CopyAndSync(const std::vector<unsigned char>& source, std::uint64_t bytes) {
        std::memcpy(address, source.data(), bytes);
        if (::msync(address, bytes, MS_SYNC) != 0) Fail("msync");
    }

private:
    [[noreturn]] void Fail(const char* what) const {
        throw std::runtime_error(std::string("floor file ") + what + ": " + std::strerror(errno));
    }
    std::string path;
    std::uint64_t size;
    int fd = -1;
    unsigned char* address = nullptr;
};

}  // namespace

double MeasureCopyFlush(const std::string& directory, std::uint64_t bytes) {
    if (bytes == 0) return 0;
    std::vector<unsigned char> source(bytes);
    for (std::uint64_t i = 0; i < bytes; ++i)
        source[i] = static_cast<unsigned char>(i * 131 + (i >> 12));
    MappedFile file(directory + "/floor.dat", bytes);
    file.CopyAndSync(source, bytes);  // the first pass allocates the blocks
    // The median, so that one stall of a shared disk does not move the floor.
    std::vector<double> times;
    double elapsed = 0;
    while (times.size() < MAX_REPS && (times.size() < MIN_REPS || elapsed < MIN_SECONDS)) {
        const Clock::time_point start = Clock::now();
        file.CopyAndSync(source, bytes);
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        elapsed += times.back();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace TamBench
