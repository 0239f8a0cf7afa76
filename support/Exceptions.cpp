// The exception bases of the base services and the file exceptions.
#include <cstring>
#include <string>

#include "TamBase.h"
#include "TamFile.h"

namespace Tam {

BaseException::BaseException() = default;

BaseException::BaseException(const SmartPtr<MessageInfo>& info) : message(info) {
    if (info) SetText(TamMessages::Format(*info));
}

BaseException::BaseException(const std::wstring& description) {
    SetText(description);
}

BaseException::BaseException(const wchar_t* description) {
    SetText(description ? std::wstring(description) : L"");
}

BaseException::BaseException(const BaseException& other)
    : std::exception(other), text(other.text), message(other.message), utf8(other.utf8) {}

BaseException& BaseException::operator=(const BaseException& other) {
    if (this == &other) return *this;
    text = other.text;
    utf8 = other.utf8;
    message = other.message;
    return *this;
}

BaseException::~BaseException() = default;

const std::wstring& BaseException::What() const {
    return text;
}

// The UTF-8 form is made when the text is set, so what() cannot fail.
const char* BaseException::what() const noexcept {
    return utf8.c_str();
}

BaseException* BaseException::Copy() const {
    return new BaseException(*this);
}

void BaseException::Throw() const {
    throw *this;
}

void BaseException::SetText(const std::wstring& value) {
    std::string converted = ToUtf8(value);
    text = value;
    utf8.swap(converted);
}

Exception::~Exception() = default;

BaseException* Exception::Copy() const {
    return new Exception(*this);
}

void Exception::Throw() const {
    throw *this;
}

}  // namespace Tam

namespace TamFile {

namespace {

const wchar_t* ActionText(Action action) {
    switch (action) {
        case ActionOpenRead:
            return L"Cannot open the file for reading";
        case ActionOpenWrite:
            return L"Cannot open the file for writing";
        case ActionClose:
            return L"Cannot close the file";
        case ActionDelete:
            return L"Cannot delete the file";
        case ActionMapView:
            return L"Cannot map a view of the file";
        case ActionSeek:
            return L"Cannot move in or change the size of the file";
        case ActionWrite:
            return L"Cannot write to the file";
        case ActionRead:
            return L"Cannot read from the file";
        case ActionAttributes:
            return L"Cannot read the attributes of the file";
        case ActionFlush:
            return L"Cannot flush the file";
        case ActionLock:
            return L"Cannot lock the file, it is in use";
    }
    return L"The file operation failed";
}

std::wstring FileErrorText(Action action, const std::string& path, int error) {
    std::wstring text = ActionText(action);
    text += L" \"" + Tam::FromMultiByte(path) + L"\"";
    if (error != 0) text += L": " + Tam::FromMultiByte(std::strerror(error));
    return text + L".";
}

}  // namespace

FileException::FileException(Action failed, const std::string& filePath, int errorNumber)
    : Tam::Exception(FileErrorText(failed, filePath, errorNumber)),
      action(failed),
      path(filePath),
      error(errorNumber) {}

FileException::FileException(const std::wstring& description) : Tam::Exception(description) {}

FileException::~FileException() = default;

Tam::BaseException* FileException::Copy() const {
    return new FileException(*this);
}

void FileException::Throw() const {
    throw *this;
}

SeekOutOfRangeException::SeekOutOfRangeException()
    : FileException(L"A position lies outside the range of the direct file.") {}

SeekOutOfRangeException::~SeekOutOfRangeException() = default;

Tam::BaseException* SeekOutOfRangeException::Copy() const {
    return new SeekOutOfRangeException(*this);
}

void SeekOutOfRangeException::Throw() const {
    throw *this;
}

EmptyListInvalidBlock::EmptyListInvalidBlock()
    : FileException(L"A range of the file is claimed that is not wholly free.") {}

EmptyListInvalidBlock::~EmptyListInvalidBlock() = default;

Tam::BaseException* EmptyListInvalidBlock::Copy() const {
    return new EmptyListInvalidBlock(*this);
}

void EmptyListInvalidBlock::Throw() const {
    throw *this;
}

}  // namespace TamFile
