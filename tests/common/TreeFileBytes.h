// Reading and editing the bytes of a tree file with plain file I/O, for tests
// that inspect the format or damage a file on purpose. The layout is the one
// of FileFormat.h (system block), PageIndex.cpp (page-index blocks) and
// PageLayout.h (pages).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace TamBTreeTest {

class TreeFileBytes {
public:
    static constexpr std::uint64_t PAGE = 65536;
    static constexpr std::uint64_t ENTRIES_PER_BLOCK = PAGE / 8;

    explicit TreeFileBytes(const std::string& path) : path(path) {}

    std::vector<unsigned char> ReadAll() const {
        std::FILE* f = Open("rb");
        std::fseek(f, 0, SEEK_END);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::ftell(f)));
        std::fseek(f, 0, SEEK_SET);
        const std::size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), bytes.size(), 1, f);
        std::fclose(f);
        if (!bytes.empty() && got != 1) throw std::runtime_error("short read of " + path);
        return bytes;
    }
    // Replaces the whole file. It is overwritten in place and then cut to
    // size: truncating it to nothing first would make the file system write
    // it back at once.
    void WriteAll(const std::vector<unsigned char>& bytes) const {
        std::FILE* f = std::fopen(path.c_str(), "r+b");
        if (!f) f = Open("wb");
        const std::size_t put = bytes.empty() ? 1 : std::fwrite(bytes.data(), bytes.size(), 1, f);
        const bool cut =
            std::fflush(f) == 0 && ::ftruncate(fileno(f), static_cast<off_t>(bytes.size())) == 0;
        std::fclose(f);
        if (put != 1 || !cut) throw std::runtime_error("short write of " + path);
    }
    void Truncate(std::uint64_t size) const {
        if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
            throw std::runtime_error("cannot truncate " + path);
    }
    void Read(std::uint64_t offset, void* data, std::size_t size) const {
        std::FILE* f = Open("rb");
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        const std::size_t got = std::fread(data, size, 1, f);
        std::fclose(f);
        if (got != 1) throw std::runtime_error("short read of " + path);
    }
    void Write(std::uint64_t offset, const void* data, std::size_t size) const {
        std::FILE* f = Open("r+b");
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        const std::size_t put = std::fwrite(data, size, 1, f);
        std::fclose(f);
        if (put != 1) throw std::runtime_error("short write of " + path);
    }
    template <class T>
    T Get(std::uint64_t offset) const {
        T value;
        Read(offset, &value, sizeof value);
        return value;
    }
    template <class T>
    void Put(std::uint64_t offset, T value) const {
        Write(offset, &value, sizeof value);
    }

    // Where the page index keeps page n's location, and that location.
    std::uint64_t EntryOffset(std::uint64_t n) const {
        const std::uint64_t block = Get<std::uint64_t>(80 + 8 * (n / ENTRIES_PER_BLOCK));
        return block + 8 * (n % ENTRIES_PER_BLOCK);
    }
    std::uint64_t PageOffset(std::uint64_t n) const { return Get<std::uint64_t>(EntryOffset(n)); }

    // Page fields, by page number.
    std::uint32_t Count(std::uint64_t n) const { return Get<std::uint32_t>(PageOffset(n) + 24); }
    bool IsLeaf(std::uint64_t n) const { return Get<std::uint8_t>(PageOffset(n) + 40) != 0; }
    // Offset (in the file) of the slot of entry i: 32-bit record offset.
    std::uint64_t SlotOffset(std::uint64_t n, std::uint32_t i) const {
        return PageOffset(n) + PAGE - (IsLeaf(n) ? 4 : 12) * i;
    }
    // Offset (in the file) of child i of an internal page: 64-bit page number.
    std::uint64_t ChildOffset(std::uint64_t n, std::uint32_t i) const {
        return PageOffset(n) + PAGE - 12 * i - 8;
    }
    std::uint64_t Child(std::uint64_t n, std::uint32_t i) const {
        return Get<std::uint64_t>(ChildOffset(n, i));
    }

private:
    std::FILE* Open(const char* mode) const {
        std::FILE* f = std::fopen(path.c_str(), mode);
        if (!f) throw std::runtime_error("cannot open " + path);
        return f;
    }

    std::string path;
};

}  // namespace TamBTreeTest
