// Base services: exception bases, reference-counted message descriptors, the
// process-wide message registry and a file-descriptor owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "TamMem.h"

namespace Tam {

// Shared ownership of an object that carries its own atomic reference count
// (AddRef/Release); the last owner destroys it.
template <class T>
class SmartPtr {
public:
    SmartPtr() noexcept = default;
    explicit SmartPtr(T* p) noexcept : ptr(p) {
        if (ptr) ptr->AddRef();
    }
    SmartPtr(const SmartPtr& o) noexcept : ptr(o.ptr) {
        if (ptr) ptr->AddRef();
    }
    SmartPtr& operator=(const SmartPtr& o) noexcept {
        if (o.ptr) o.ptr->AddRef();
        Reset();
        ptr = o.ptr;
        return *this;
    }
    ~SmartPtr() { Reset(); }
    void Reset() noexcept {
        if (ptr) ptr->Release();
        ptr = nullptr;
    }
    T* Get() const noexcept { return ptr; }
    T* operator->() const noexcept { return ptr; }
    T& operator*() const noexcept { return *ptr; }
    explicit operator bool() const noexcept { return ptr != nullptr; }

private:
    T* ptr = nullptr;
};

// One message: where it comes from (module, number, source position) and its
// parameters (%1, %2, ...). Reference counted; see SmartPtr.
class TAM_API MessageInfo : public TamMem::PoolObject {
public:
    // Stands for a parameter that was given as an empty string.
    static const std::wstring EMPTY_PARAM_VALUE;

    MessageInfo(const std::string& module, std::uint32_t number, const std::string& sourceFile,
                std::uint32_t sourceLine);
    MessageInfo(const MessageInfo&) = delete;
    MessageInfo& operator=(const MessageInfo&) = delete;

    void AddParam(const std::wstring& value) { params.push_back(value); }

    const std::string& GetModule() const { return module; }
    std::uint32_t GetNumber() const { return number; }
    const std::string& GetSourceFile() const { return sourceFile; }
    std::uint32_t GetSourceLine() const { return sourceLine; }
    const std::vector<std::wstring>& GetParams() const { return params; }

    void AddRef() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    ~MessageInfo();
    std::atomic<int> refs{0};
    std::string module;
    std::uint32_t number;
    std::string sourceFile;
    std::uint32_t sourceLine;
    std::vector<std::wstring> params;
};

// Root of every exception of the library and its services. What() gives the
// wide text; for an exception built from a message it is the registered text
// with the parameters filled in. what() gives the same text in UTF-8.
class TAM_API BaseException : public std::exception, public TamMem::PoolObject {
public:
    explicit BaseException(const SmartPtr<MessageInfo>& message);
    explicit BaseException(const std::wstring& text);
    explicit BaseException(const wchar_t* text);
    BaseException(const BaseException& other);
    BaseException& operator=(const BaseException& other);
    ~BaseException() override;

    virtual const std::wstring& What() const;
    const char* what() const noexcept override;
    // A new heap object of the most-derived class; the caller deletes it.
    virtual BaseException* Copy() const;
    // Throws a copy typed as the most-derived class.
    [[noreturn]] virtual void Throw() const;

    const SmartPtr<MessageInfo>& GetMessageInfo() const { return message; }

protected:
    BaseException();
    void SetText(const std::wstring& value);

private:
    std::wstring text;
    SmartPtr<MessageInfo> message;
    std::string utf8;
};

class TAM_API Exception : public BaseException {
public:
    Exception(const Exception& other) = default;
    Exception& operator=(const Exception& other) = default;
    ~Exception() override;
    BaseException* Copy() const override;
    [[noreturn]] void Throw() const override;

protected:
    Exception() = default;
    explicit Exception(const wchar_t* description) : BaseException(description) {}
    explicit Exception(const std::wstring& description) : BaseException(description) {}
    explicit Exception(const SmartPtr<MessageInfo>& info) : BaseException(info) {}
};

// The process-wide message registry. Tables are registered by name; texts are
// found by module name and message number.
class TamMessages {
public:
    static void Init();
    // Registers a table in the binary format: a 32-bit entry count, then per
    // entry a 32-bit module-name length, the module name, the 32-bit message
    // number, a 32-bit word (2), a byte (1), the 32-bit text length in bytes,
    // the UTF-16LE text and a byte (0). Integers are little-endian. Throws
    // std::invalid_argument on a malformed table.
    static void Load(const unsigned char* data, std::uint32_t size, const char* name);
    static void Free();
    // The registered text, or an empty string when none is registered.
    static std::wstring Text(const std::string& module, std::uint32_t number);
    // The text of `message` with %1, %2, ... replaced by its parameters; a
    // message without a registered text reads "<module> message <number>".
    static std::wstring Format(const MessageInfo& message);
    // For tests: the raw size and entry count of a registered table (0 when absent).
    static std::uint32_t TableSize(const std::string& name);
    static std::uint32_t TableEntries(const std::string& name);
};

struct TamMessagesInit {
    // Number of libraries that registered a table.
    static int ms_Cnt;
};

// Owns one file descriptor; -1 is the invalid value.
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(int descriptor) noexcept : fd(descriptor) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    virtual ~Handle();
    // Takes over `raw`, closing the descriptor held until then.
    Handle& operator=(int raw);
    virtual void Close();
    bool IsValid() const noexcept { return fd >= 0; }
    int Get() const noexcept { return fd; }

private:
    int fd = -1;
};

// Wide text to UTF-8 (for what()).
std::string ToUtf8(const std::wstring& text);
// Multibyte text in the current locale to wide characters.
TAM_API std::wstring FromMultiByte(const std::string& text);

}  // namespace Tam
