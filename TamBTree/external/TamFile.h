// File services: paths, file exceptions, the base of the direct file, and the
// memory-mapped file through which the tree reaches its pages.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TamBase.h"

namespace TamFile {

// The allocation granularity of the system: the size and alignment of one
// view. Always 65536.
std::uint32_t GetAllocationGranularity();

// What the file layer was doing when it failed.
enum Action : std::uint32_t {
    ActionOpenRead = 0,
    ActionOpenWrite = 1,
    ActionClose = 2,
    ActionDelete = 3,
    ActionMapView = 4,
    ActionSeek = 5,
    ActionWrite = 6,
    ActionRead = 7,
    ActionAttributes = 8,
    ActionFlush = 9,
    ActionLock = 10,
};

// A failure of the file layer. The text names the action, the path and the
// system's reason.
class TAM_API FileException : public Tam::Exception {
public:
    FileException(Action action, const std::string& path, int error);
    FileException(const FileException&) = default;
    FileException& operator=(const FileException&) = default;
    ~FileException() override;
    Tam::BaseException* Copy() const override;
    [[noreturn]] void Throw() const override;

    Action GetAction() const { return action; }
    const std::string& GetPath() const { return path; }
    // The errno value behind the failure; 0 when there is none.
    int GetError() const { return error; }

protected:
    explicit FileException(const std::wstring& text);  // for the subclasses

private:
    Action action = ActionOpenRead;
    std::string path;
    int error = 0;
};

// A seek or extension outside the 32-bit range of the direct file.
class TAM_API SeekOutOfRangeException : public FileException {
public:
    SeekOutOfRangeException();
    SeekOutOfRangeException(const SeekOutOfRangeException&) = default;
    ~SeekOutOfRangeException() override;
    Tam::BaseException* Copy() const override;
    [[noreturn]] void Throw() const override;
};

// A range handed to the free-block list's RemoveBlock that is not wholly free.
class TAM_API EmptyListInvalidBlock : public FileException {
public:
    EmptyListInvalidBlock();
    EmptyListInvalidBlock(const EmptyListInvalidBlock&) = default;
    ~EmptyListInvalidBlock() override;
    Tam::BaseException* Copy() const override;
    [[noreturn]] void Throw() const override;
};

template <class C>
class PathT;

// A file-system path.
template <>
class PathT<char> {
public:
    explicit PathT(const std::string& text) : path(text) {}
    bool IsFile() const;            // an existing regular file
    std::uint64_t Size() const;     // 0 when the file cannot be examined
    std::string FullPath() const;   // absolute form
    bool HasDrive() const;          // begins with a drive letter ("C:")
    std::string Directory() const;  // the directory part; "." when none
    // Free bytes available to us on the volume of this path (statvfs).
    std::uint64_t GetAvailableDiskSpace() const;
    // Makes the directory's entries durable: a file created or renamed in it
    // survives a power loss once this returns. Throws FileException.
    TAM_API void SyncDirectory() const;
    // Creates an empty file at the path; throws FileException (EEXIST when
    // anything is there already, which then stays untouched).
    void CreateExclusive() const;
    // Removes the file at the path, if any; false when one stays.
    bool Remove() const noexcept;
    const std::string& Get() const { return path; }

    // Replaceable for tests: answers GetAvailableDiskSpace when set.
    static std::uint64_t (*ms_AvailableDiskSpaceHook)(const std::string& directory);

private:
    std::string path;
};
using Path = PathT<char>;

// Base of the file classes: the path and the error reporting.
class CFileBase : public TamMem::PoolObject {
public:
    virtual ~CFileBase();
    const std::string& GetPath() const { return path; }
    // Throws FileException for `action` with the current errno.
    [[noreturn]] void Throw(Action action) const;
    [[noreturn]] void Throw(Action action, int error) const;

    // Drive letter to whether its volume supports sparse files; shared by all
    // direct files.
    static std::map<char, bool> m_mSparseDrive;
    // The volume query behind m_mSparseDrive: answers whether the volume with
    // the given root ("C:\\") supports sparse files; false when it cannot tell.
    // Replaceable for tests.
    static bool (*ms_QueryVolumeSparse)(const std::string& root);
    // Turns a file into a sparse file (a no-op where every file is sparse).
    // Replaceable for tests.
    static void (*ms_SetSparse)(int fd);

protected:
    explicit CFileBase(const std::string& path);

private:
    std::string path;
};

// How a file is opened. Read-only opens share the file with other readers;
// read-write opens share it with nobody (an advisory lock enforces both).
enum OpenMode : std::uint32_t {
    OpenRead = 0,       // read-only, existing file
    OpenReadWrite = 1,  // read-write, created when missing
    OpenCreate = 2,     // read-write, created anew (old content dropped)
    OpenExisting = 3,   // read-write, existing file
    OpenCreateNew = 4,  // read-write, a new file; fails when the path exists
    // Read-only, existing file, taking no lock: a reader beside a writer,
    // which agrees with it through the reader table instead.
    OpenReadShared = 5,
};

// The system services under MemoryMapFile: how a file's bytes are mapped,
// written, synced to the disk and sized. One object serves every file opened
// while it is installed, for the file's whole life; the library uses the
// system's own. Tests install theirs in front of it (fault injection, a
// simulated power loss, counting), so that nothing of the kind lives in the
// library. Every call but Map and Unmap is a durability point: a service may
// fail it (returning an errno value) or end the process there.
class FileServices {
public:
    virtual ~FileServices();
    // Files are reserved in mappings of this many bytes at aligned offsets.
    virtual std::uint64_t RegionSize() const = 0;
    // Before `path` is opened; an errno value fails the open.
    virtual int Opening(const std::string& path) = 0;
    // Maps `length` bytes of the file from `offset`; MAP_FAILED with errno
    // set on failure.
    virtual void* Map(int fd, std::uint64_t offset, std::size_t length, bool writable) = 0;
    virtual void Unmap(int fd, void* address, std::size_t length) = 0;
    // Writes bytes that a mapping at `address` also shows; false when they
    // must be copied through the mapping instead. Returns an errno value
    // in `error` on failure.
    virtual bool Write(int fd, unsigned char* address, const void* bytes, std::size_t length,
                       std::uint64_t offset, int& error) = 0;
    // Makes the mapped bytes at `address` (file offset `offset`) durable.
    virtual int SyncRange(int fd, unsigned char* address, std::size_t length,
                          std::uint64_t offset) = 0;
    // Makes everything written to the file and its size durable.
    virtual int SyncFile(int fd, std::uint64_t size) = 0;
    // Sets the size, with the space reserved on the disk when it grows.
    virtual int Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) = 0;
    // A view is handed out (the system may write pages back at any moment).
    virtual void Viewing(int fd, std::uint64_t size) = 0;
    // Before the file is closed; the process lives on.
    virtual void Closing(int fd, std::uint64_t size) = 0;
};

// The system's services.
FileServices& SystemFileServices();
// Serves the files opened from now on with `services` (null: the system's);
// returns the services installed before.
FileServices* InstallFileServices(FileServices* services);
// The services files opened now get.
FileServices& CurrentFileServices();

// File services that install themselves in front of the current ones for
// their lifetime and pass every call on to those: the base of services that
// wrap others (counting, fault injection, simulation). Files opened while one
// lives must be closed before it ends.
class WrappingFileServices : public FileServices {
public:
    WrappingFileServices();
    ~WrappingFileServices() override;
    WrappingFileServices(const WrappingFileServices&) = delete;
    WrappingFileServices& operator=(const WrappingFileServices&) = delete;

    std::uint64_t RegionSize() const override;
    int Opening(const std::string& path) override;
    void* Map(int fd, std::uint64_t offset, std::size_t length, bool writable) override;
    void Unmap(int fd, void* address, std::size_t length) override;
    bool Write(int fd, unsigned char* address, const void* bytes, std::size_t length,
               std::uint64_t offset, int& error) override;
    int SyncRange(int fd, unsigned char* address, std::size_t length,
                  std::uint64_t offset) override;
    int SyncFile(int fd, std::uint64_t size) override;
    int Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) override;
    void Viewing(int fd, std::uint64_t size) override;
    void Closing(int fd, std::uint64_t size) override;

protected:
    // The services this one wraps.
    FileServices& Next() const { return *next; }

private:
    FileServices* before;
    FileServices* next;
};

// The bytes of a file below a size, mapped as a file's views see them, for
// readers on other threads: what it maps stays mapped while any holder lives,
// after the views are released and the file is closed. Immutable; any thread
// may read through it.
class SharedMapping {
public:
    using Region = std::shared_ptr<unsigned char>;
    SharedMapping(std::vector<Region> mapped, std::uint64_t bytesPerRegion, std::uint64_t bytes)
        : regions(std::move(mapped)), regionSize(bytesPerRegion), size(bytes) {}
    std::uint64_t Size() const { return size; }
    // The address of the byte at `offset`, below Size().
    unsigned char* At(std::uint64_t offset) const {
        return regions[static_cast<std::size_t>(offset / regionSize)].get() + offset % regionSize;
    }

private:
    std::vector<Region> regions;
    std::uint64_t regionSize;
    std::uint64_t size;
};

// A file reached through memory-mapped views. Views are handed out by file
// offset and stay at the same address until they are released or the file is
// closed; growing the file never moves a view already handed out.
class MemoryMapFile : public CFileBase {
public:
    // Views are carved out of mappings of this many bytes each, reserved at
    // aligned file offsets; only a view that straddles two of them gets a
    // mapping of its own.
    static constexpr std::uint64_t RegionSize = std::uint64_t(1) << 30;

    explicit MemoryMapFile(const std::string& path);
    ~MemoryMapFile() override;
    MemoryMapFile(const MemoryMapFile&) = delete;
    MemoryMapFile& operator=(const MemoryMapFile&) = delete;

    // Opens the file (see OpenMode). Afterwards the size and mapping are
    // current. Throws FileException; a file locked by another open fails with
    // ActionLock.
    void Open(OpenMode mode);
    // Releases every view and the file; a later Open may follow.
    void Close();
    // Closes and removes the file.
    void Delete();

    // Address of the view at `offset` (a multiple of the granularity), `size`
    // bytes long (0: one granule). Throws FileException(ActionMapView) when the
    // view would begin beyond the end of the file or cannot be mapped.
    unsigned char* GetView(std::uint64_t offset, std::uint32_t size = 0);
    // Makes the mapped bytes at `address` writable at once, ahead of a write
    // of all of them, instead of one fault per memory page; only a hint.
    void PrepareWrite(unsigned char* address, std::uint32_t length);
    // Copies `length` bytes from `from` to the mapped bytes at `address`, as
    // memcpy would, but as a write to the file where the address lies in a
    // shared region: the system then takes no fault for the pages it fills,
    // and the views see the bytes at once. Throws FileException(ActionWrite).
    void Write(unsigned char* address, const void* from, std::uint32_t length);
    // The view at `offset` if it is in the view map, else null.
    unsigned char* FindView(std::uint64_t offset) const;
    bool IsViewExist(std::uint64_t offset) const { return FindView(offset) != nullptr; }
    // Drops the view from the view map (and unmaps it if it has a mapping of
    // its own); with `flush`, flushes it first.
    void ReleaseView(std::uint64_t offset, bool flush = false);
    // The first `size` bytes of the view at `offset` reach the disk.
    void FlushView(std::uint64_t offset, std::uint32_t size);
    // Everything written through any view reaches the disk.
    void Flush();
    // Sets the file size. Views already handed out stay valid.
    void Resize(std::uint64_t size);

    std::uint64_t GetSize() const { return size; }
    bool IsOpen() const { return fd.IsValid(); }
    bool IsWritable() const { return writable; }
    // The bytes below the file's size, as the views see them, mapped for as
    // long as any holder keeps them. Throws FileException(ActionMapView).
    std::shared_ptr<const SharedMapping> Share();
    // The next Close leaves the lock to the mappings shared before: it ends
    // when the last of them is unmapped. (Otherwise Close unlocks the file,
    // however long shared mappings live on.)
    void KeepLockWhileShared() { keepLock = true; }
    // A file opened with OpenReadShared grew in another process: its bytes
    // below `grown` may be shared from now on.
    void Follow(std::uint64_t grown) {
        if (grown > size) size = grown;
    }
    // The device and inode of the open file; false when they cannot be read.
    bool Identity(std::uint64_t& device, std::uint64_t& inode) const;
    std::uint32_t GetViewSize() const { return viewSize; }

private:
    struct State;  // the mapped regions and the view map
    struct View;

    [[noreturn]] void CloseAndThrow(Action action);
    unsigned char* RegionBase(std::uint64_t region);
    void MapOwn(std::uint64_t offset, View& view);
    bool FileOffsetOf(const unsigned char* address, std::uint64_t length,
                      std::uint64_t& offset) const;
    void Sync(const unsigned char* address, std::uint64_t length);
    void DropViewsBeyondEnd();
    void Unmap(void* address, std::size_t length);

    Tam::Handle fd;
    bool writable = false;
    bool keepLock = false;
    std::uint64_t size = 0;
    std::uint32_t viewSize;
    State* state;
};

// A small file that processes map together and coordinate through: byte
// locks that the system drops when their holder dies (locks of the open file
// description, so two opens in one process are as two processes), a shared
// mapping, and the file's identity. Errors are FileException.
class SharedFile {
public:
    explicit SharedFile(const std::string& path) : filePath(path) {}
    ~SharedFile() { Close(); }
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;

    // Opens the file, creating it when missing; false when it can be neither
    // opened nor created for reading and writing.
    bool Open();
    void Close();
    bool IsOpen() const { return fd.IsValid(); }
    const std::string& Path() const { return filePath; }
    std::uint64_t Size() const;
    void Resize(std::uint64_t size);
    // Maps `length` bytes from the start, shared, readable and writable; the
    // bytes beyond the file's end must not be touched until it grows.
    unsigned char* Map(std::uint64_t length);
    void Unmap(unsigned char* address, std::uint64_t length);
    // The lock of one byte: shared or exclusive, without waiting (false when
    // another holder has it) or waiting for it.
    bool TryLock(std::uint64_t byte, bool exclusive);
    void Lock(std::uint64_t byte, bool exclusive);
    void Unlock(std::uint64_t byte);
    // Whether the path still names the file opened (no one removed or
    // replaced it meanwhile).
    bool StillAtPath() const;
    // Removes the path.
    void Unlink() const;

private:
    std::string filePath;
    Tam::Handle fd;
};

// The device and inode of the file at `path`; false when there is none.
bool FileIdentity(const std::string& path, std::uint64_t& device, std::uint64_t& inode);

}  // namespace TamFile
