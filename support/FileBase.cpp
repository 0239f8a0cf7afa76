// The base of the file classes: the path, error reporting and the process-wide
// sparse-support cache of the direct files.
#include <cerrno>

#include "TamFile.h"

namespace TamFile {

namespace {

// Where every file may hold holes there is no volume flag to ask for; a
// volume we cannot ask is treated as one without sparse support.
bool QueryVolumeSparse(const std::string&) {
    return false;
}

// POSIX files are sparse already.
void SetSparse(int) {}

}  // namespace

std::map<char, bool> CFileBase::m_mSparseDrive;
bool (*CFileBase::ms_QueryVolumeSparse)(const std::string& root) = QueryVolumeSparse;
void (*CFileBase::ms_SetSparse)(int fd) = SetSparse;

CFileBase::CFileBase(const std::string& filePath) : path(filePath) {}

CFileBase::~CFileBase() = default;

void CFileBase::Throw(Action action) const {
    Throw(action, errno);
}

void CFileBase::Throw(Action action, int error) const {
    throw FileException(action, path, error);
}

}  // namespace TamFile
