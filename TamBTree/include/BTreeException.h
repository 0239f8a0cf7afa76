// The exceptions of the tree. Every failure of the library is thrown as one of
// these, or as a TamFile::FileException (or subclass) from the file layer.
#pragma once

#include <string>

#include "BTreeExport.h"
#include "TamBase.h"
#include "TamFile.h"

namespace TamBTree {

// Message numbers of the library's message table (module "TamBTree").
enum BTreeMessage : std::uint32_t {
    MsgInvalid = 0,         // "The B-Tree %1 is invalid."
    MsgInvalidFile = 1,     // "The B-Tree %1 is invalid." (version or page size of the file)
    MsgFixedSize = 2,       // "The fixed record size is not valid for B-Tree %1."
    MsgFileSizeLimit = 3,   // "The B-Tree file size (%1) has reach its limit."
    MsgNotEnoughSpace = 4,  // "Not enough disk space to perform the B-Tree operation on %1."
    MsgReadOnly = 5,        // "This operation cannot be performed on a read-only B-Tree. (%1)"
    MsgRecordTooLarge = 6,  // "The record is too large for B-Tree %1."
};

class TAMBTREE_API BTreeException : public Tam::Exception {
public:
    BTreeException();
    explicit BTreeException(const wchar_t* text);
    explicit BTreeException(const std::wstring& text);
    explicit BTreeException(const Tam::SmartPtr<Tam::MessageInfo>& message);
    BTreeException(const BTreeException& other);
    BTreeException& operator=(const BTreeException& other);
    ~BTreeException() override;
    Tam::BaseException* Copy() const override;
    [[noreturn]] void Throw() const override;
};

#define TAMBTREE_DECLARE_EXCEPTION(Name)                               \
    class TAMBTREE_API Name : public BTreeException {                  \
    public:                                                            \
        explicit Name(const Tam::SmartPtr<Tam::MessageInfo>& message); \
        explicit Name(const std::wstring& description);                \
        Name(const Name& other);                                       \
        Name& operator=(const Name& other) = default;                  \
        ~Name() override;                                              \
        Tam::BaseException* Copy() const override;                     \
        [[noreturn]] void Throw() const override;                      \
    };

TAMBTREE_DECLARE_EXCEPTION(BTreeReadOnlyException)
TAMBTREE_DECLARE_EXCEPTION(BTreeNotEnoughDiskSpaceException)
TAMBTREE_DECLARE_EXCEPTION(BTreeInvalidPageSizeException)
TAMBTREE_DECLARE_EXCEPTION(BTreeRecordTooLargeException)
TAMBTREE_DECLARE_EXCEPTION(BTreeInvalidVersionException)
// Kinds a program can act on, thrown with texts that name the tree file.
// Damage found in the file: every "The B-Tree is invalid." report, from
// loading, the checks of pages read and validation.
TAMBTREE_DECLARE_EXCEPTION(BTreeDamagedException)
// A pre-committed transaction waits for Commit or Rollback.
TAMBTREE_DECLARE_EXCEPTION(BTreeTransactionWaitingException)
// A data operation failed part way: only Rollback ends the transaction.
TAMBTREE_DECLARE_EXCEPTION(BTreeTransactionFailedException)

#undef TAMBTREE_DECLARE_EXCEPTION

// A message of module "TamBTree" with one parameter: `parameter` converted to
// wide characters (at most 1024 of them), or MessageInfo::EMPTY_PARAM_VALUE
// when it is empty.
TAMBTREE_API Tam::SmartPtr<Tam::MessageInfo> BuildMessageInfo(std::uint32_t number,
                                                              std::uint32_t sourceLine,
                                                              const std::string& parameter);

// Throws exception class E built from message `number` with `parameter`.
template <class E>
[[noreturn]] void ThrowMessage(std::uint32_t number, std::uint32_t line,
                               const std::string& parameter) {
    throw E(BuildMessageInfo(number, line, parameter));
}

}  // namespace TamBTree

#define TAMBTREE_THROW(Class, number, parameter) \
    ::TamBTree::ThrowMessage<::TamBTree::Class>((number), __LINE__, (parameter))
