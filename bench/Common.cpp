// Records, permutations and the file-system helpers of the driver.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "Bench.h"

namespace TamBench {

namespace {

constexpr std::size_t VALUE_POOL_BYTES = std::size_t(1) << 20;

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}

}  // namespace

Key MakeKey(std::uint64_t n, bool missing) {
    Key key{};
    for (int i = 0; i < 8; ++i) key.bytes[i] = static_cast<unsigned char>(n >> (56 - 8 * i));
    key.bytes[KEY_SIZE - 1] = missing ? 1 : 0;
    return key;
}

ValueSource::ValueSource(std::uint64_t seed) : bytes(VALUE_POOL_BYTES + VALUE_SIZE) {
    std::uint64_t state = seed;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(SplitMix(state));
}

const unsigned char* ValueSource::Value(std::uint64_t n, std::uint32_t generation) const {
    std::uint64_t state = n * 0x100000001B3ull + generation;
    return bytes.data() + SplitMix(state) % VALUE_POOL_BYTES;
}

std::vector<std::uint32_t> Permutation(std::uint32_t n, std::uint64_t seed) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
    std::uint64_t state = seed;
    for (std::uint32_t i = n; i > 1; --i) std::swap(order[i - 1], order[SplitMix(state) % i]);
    return order;
}

std::uint64_t DirectoryBytes(const std::string& directory) {
    std::uint64_t total = 0;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return 0;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st;
        const std::string path = directory + "/" + entry->d_name;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
    }
    ::closedir(dir);
    return total;
}

std::uint64_t WrittenBytes() {
    std::ifstream io("/proc/self/io");
    std::string name;
    std::uint64_t value = 0;
    while (io >> name >> value)
        if (name == "write_bytes:") return value;
    return 0;
}

void RemoveTree(const std::string& path) {
    ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

void SyncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    const int rc = ::fdatasync(fd);
    ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot flush " + path + ": " + std::strerror(errno));
}

const char* DurabilityName(Durability mode) {
    switch (mode) {
        case Durability::Normal:
            return "normal";
        case Durability::Deferred:
            return "deferred";
        case Durability::Full:
            break;
    }
    return "full";
}

Durability ParseDurability(const std::string& name) {
    for (const Durability mode : {Durability::Full, Durability::Normal, Durability::Deferred})
        if (name == DurabilityName(mode)) return mode;
    throw std::invalid_argument("unknown durability mode: " + name);
}

}  // namespace TamBench
