// The exceptions of the tree and the messages they are built from.
#include "BTreeException.h"

namespace TamBTree {

namespace {

constexpr const char* kModule = "TamBTree";
constexpr const char* kSourceFile = "TamBTree/src/TamBTree";
// A message parameter keeps at most this many characters.
constexpr std::size_t kMaxParameter = 1024;

std::wstring MessageParameter(const std::string& parameter) {
    if (parameter.empty()) return Tam::MessageInfo::EMPTY_PARAM_VALUE;
    std::wstring wide = Tam::FromMultiByte(parameter);
    if (wide.size() > kMaxParameter) wide.resize(kMaxParameter);
    return wide;
}

}  // namespace

Tam::SmartPtr<Tam::MessageInfo> BuildMessageInfo(std::uint32_t number, std::uint32_t sourceLine,
                                                 const std::string& parameter) {
    Tam::SmartPtr<Tam::MessageInfo> info(
        new Tam::MessageInfo(kModule, number, kSourceFile, sourceLine));
    info->AddParam(MessageParameter(parameter));
    return info;
}

BTreeException::BTreeException() = default;
BTreeException::BTreeException(const wchar_t* description) : Tam::Exception(description) {}
BTreeException::BTreeException(const std::wstring& description) : Tam::Exception(description) {}
BTreeException::BTreeException(const Tam::SmartPtr<Tam::MessageInfo>& info)
    : Tam::Exception(info) {}
BTreeException::BTreeException(const BTreeException& other) = default;
BTreeException& BTreeException::operator=(const BTreeException& other) {
    Tam::Exception::operator=(other);
    return *this;
}
BTreeException::~BTreeException() = default;
Tam::BaseException* BTreeException::Copy() const {
    return new BTreeException(*this);
}
void BTreeException::Throw() const {
    throw *this;
}

// Copy and Throw are repeated in every class so that both keep the
// most-derived type.
#define TAMBTREE_DEFINE_EXCEPTION(Name)                                               \
    Name::Name(const Tam::SmartPtr<Tam::MessageInfo>& info) : BTreeException(info) {} \
    Name::Name(const std::wstring& description) : BTreeException(description) {}      \
    Name::Name(const Name& other) = default;                                          \
    Name::~Name() = default;                                                          \
    Tam::BaseException* Name::Copy() const {                                          \
        return new Name(*this);                                                       \
    }                                                                                 \
    void Name::Throw() const {                                                        \
        throw *this;                                                                  \
    }

TAMBTREE_DEFINE_EXCEPTION(BTreeReadOnlyException)
TAMBTREE_DEFINE_EXCEPTION(BTreeNotEnoughDiskSpaceException)
TAMBTREE_DEFINE_EXCEPTION(BTreeInvalidPageSizeException)
TAMBTREE_DEFINE_EXCEPTION(BTreeRecordTooLargeException)
TAMBTREE_DEFINE_EXCEPTION(BTreeInvalidVersionException)
TAMBTREE_DEFINE_EXCEPTION(BTreeDamagedException)
TAMBTREE_DEFINE_EXCEPTION(BTreeTransactionWaitingException)
TAMBTREE_DEFINE_EXCEPTION(BTreeTransactionFailedException)

#undef TAMBTREE_DEFINE_EXCEPTION

}  // namespace TamBTree
