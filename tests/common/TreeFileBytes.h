// Reading and editing the bytes of a tree file with plain file I/O, for tests
// that inspect the format or damage a file on purpose. The layout is the one
// FileFormat.h defines; the bytes are read without the library's code.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileFormat.h"

namespace TamBTreeTest {

class TreeFileBytes {
public:
    static constexpr std::uint64_t PAGE = TamBTree::PAGE_SIZE;

    explicit TreeFileBytes(const std::string& filePath) : path(filePath) {}

    std::vector<unsigned char> ReadAll() const {
        std::vector<unsigned char> bytes(std::filesystem::file_size(path));
        if (!bytes.empty()) Read(0, bytes.data(), bytes.size());
        return bytes;
    }
    // Replaces the whole file. It is overwritten in place and then cut to
    // size: truncating it to nothing first would make the file system write
    // it back at once.
    void WriteAll(const std::vector<unsigned char>& bytes) const {
        if (std::FILE* f = std::fopen(path.c_str(), "ab")) std::fclose(f);
        if (!bytes.empty()) Write(0, bytes.data(), bytes.size());
        if (::truncate(path.c_str(), static_cast<off_t>(bytes.size())) != 0)
            throw std::runtime_error("cannot truncate " + path);
    }
    void Read(std::uint64_t offset, void* data, std::size_t size) const {
        Transfer("rb", offset, data, size);
    }
    void Write(std::uint64_t offset, const void* data, std::size_t size) const {
        Transfer("r+b", offset, const_cast<void*>(data), size);
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

    TamBTree::BTreeInfo Head() const { return Get<TamBTree::BTreeInfo>(0); }
    // No commit under way, as a file at rest or after a rollback shows it.
    bool IdleHead() const {
        const TamBTree::BTreeInfo head = Head();
        return head.commitReady == 0 && head.commitApplying == 0 &&
               head.committedBlockOffset == TamBTree::NO_PAGE;
    }

    // Where the page index keeps page n's location, and that location.
    std::uint64_t EntryOffset(std::uint64_t n) const {
        using namespace TamBTree;
        const std::uint64_t block = Get<std::uint64_t>(
            PAGE_INDEX_LIST_OFFSET + PAGE_INDEX_LIST_ENTRY_SIZE * (n / PAGE_INDEX_ENTRIES));
        return block + PAGE_INDEX_ENTRY_SIZE * (n % PAGE_INDEX_ENTRIES);
    }
    std::uint64_t PageOffset(std::uint64_t n) const { return Get<std::uint64_t>(EntryOffset(n)); }

    // Page fields, by page number.
    std::uint32_t Count(std::uint64_t n) const {
        return Get<std::uint32_t>(PageOffset(n) + offsetof(TamBTree::PageHeader, count));
    }
    bool IsLeaf(std::uint64_t n) const {
        return Get<std::uint8_t>(PageOffset(n) + offsetof(TamBTree::PageHeader, isLeaf)) != 0;
    }
    // Offset (in the file) of the slot of entry i: 32-bit record offset.
    std::uint64_t SlotOffset(std::uint64_t n, std::uint32_t i) const {
        return PageOffset(n) +
               (IsLeaf(n) ? TamBTree::LeafSlotOffset(PAGE, i) : TamBTree::KeySlotOffset(PAGE, i));
    }
    // Offset (in the file) of child i of an internal page: 64-bit page number.
    std::uint64_t ChildOffset(std::uint64_t n, std::uint32_t i) const {
        return PageOffset(n) + TamBTree::ChildOffset(PAGE, i);
    }
    std::uint64_t Child(std::uint64_t n, std::uint32_t i) const {
        return Get<std::uint64_t>(ChildOffset(n, i));
    }

private:
    void Transfer(const char* mode, std::uint64_t offset, void* data, std::size_t size) const {
        std::FILE* f = std::fopen(path.c_str(), mode);
        if (!f) throw std::runtime_error("cannot open " + path);
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        const bool reading = mode[0] == 'r' && mode[1] == 'b';
        const std::size_t done =
            reading ? std::fread(data, size, 1, f) : std::fwrite(data, size, 1, f);
        std::fclose(f);
        if (done != 1) throw std::runtime_error("short transfer at " + std::to_string(offset));
    }

    std::string path;
};

}  // namespace TamBTreeTest
