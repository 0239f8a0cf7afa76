// File-system paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TamFile.h"

namespace TamFile {

namespace {

std::string CurrentDirectory() {
    std::string buffer(256, '\0');
    while (::getcwd(&buffer[0], buffer.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::uint64_t (*PathT<char>::ms_AvailableDiskSpaceHook)(const std::string& directory) = nullptr;

bool PathT<char>::IsFile() const {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::uint64_t PathT<char>::Size() const {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::string PathT<char>::FullPath() const {
    // An empty path stays empty: completed it would name the current
    // directory, which must not be opened in its place.
    if (path.empty() || path[0] == '/') return path;
    return CurrentDirectory() + "/" + path;
}

bool PathT<char>::HasDrive() const {
    return path.size() >= 2 && IsLetter(path[0]) && path[1] == ':';
}

std::string PathT<char>::Directory() const {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::uint64_t PathT<char>::GetAvailableDiskSpace() const {
    const std::string directory = Directory();
    if (ms_AvailableDiskSpaceHook) return ms_AvailableDiskSpaceHook(directory);
    struct statvfs info;
    // A volume that cannot be examined offers no space.
    if (::statvfs(directory.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

void PathT<char>::SyncDirectory() const {
    const std::string directory = Directory();
    Tam::Handle fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsValid()) throw FileException(ActionOpenRead, directory, errno);
    if (::fsync(fd.Get()) != 0) throw FileException(ActionFlush, directory, errno);
}

void PathT<char>::CreateExclusive() const {
    Tam::Handle fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (!fd.IsValid()) throw FileException(ActionOpenWrite, path, errno);
}

bool PathT<char>::Remove() const noexcept {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace TamFile
