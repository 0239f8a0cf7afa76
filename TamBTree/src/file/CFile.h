// A plain, unmapped file with 32-bit positions and sizes, used to probe a
// tree file before it is mapped.
#pragma once

#include <cstdint>
#include <string>

#include "TamFile.h"

namespace TamFile {

template <class T>
class CFileT;

template <>
class CFileT<unsigned int> : public CFileBase {
public:
    // Seek directions. Any other value moves backward without range tests.
    static constexpr std::uint32_t Forward = 0xFFFFFFFEu;
    static constexpr std::uint32_t Backward = 0xFFFFFFFFu;
    // Seek origins.
    enum Origin : std::uint32_t { Begin = 0, Current = 1, End = 2 };

    explicit CFileT(const std::string& path);
    ~CFileT() override;

    virtual std::uint32_t Write(const void* buffer, std::uint32_t itemSize,
                                std::uint32_t itemCount);
    virtual std::uint32_t Read(void* buffer, std::uint32_t itemSize, std::uint32_t itemCount,
                               bool exact);
    // Opens in mode 0 (read, shared with readers), 1 (read-write, created when
    // missing) or 2 (read-write, created anew); returns the file size.
    virtual std::uint32_t Open(OpenMode mode);
    virtual void Close();
    virtual void Delete();
    virtual std::uint32_t GetPosition() const { return position; }
    virtual bool IsEof() const { return position == size; }
    virtual void Seek(std::uint32_t distance, Origin origin, std::uint32_t direction);
    virtual std::uint32_t GetSize() const { return size; }
    virtual void SetSize(std::uint32_t newSize, bool force);
    virtual void Flush();
    virtual void Extend(std::uint32_t bytes);

    // 0 normal, 1 sequential, 2 random, 3 temporary, 4 delete on close.
    std::uint32_t accessHint = 0;
    // When false, writes go through to the disk (O_SYNC).
    bool buffered = true;
    // Request to make the file sparse at the next Open; cleared once handled.
    bool sparse = false;
    bool IsWritable() const { return writable; }

private:
    [[noreturn]] void CloseAndThrow(Action action);
    void MakeSparse(const std::string& fullPath);
    void CheckSeekRange(std::uint32_t distance, Origin origin, std::uint32_t direction) const;
    void MoveTo(std::int64_t reached);

    Tam::Handle handle;
    bool writable = false;
    std::uint32_t position = 0;
    std::uint32_t size = 0;
};

using CFile = CFileT<unsigned int>;

}  // namespace TamFile
