// The memory pool. All dynamic memory of the library is taken from
// MemoryPool::New and returned through MemoryPool::Delete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// Marks what the shared library exports: what the public headers of the tree
// reach (the exceptions, the message descriptor, the memory pool and the
// mapped file that BTree holds and its inline members read).
// Everything else stays hidden.
#if defined(__GNUC__)
#define TAM_API __attribute__((visibility("default")))
#else
#define TAM_API
#endif

namespace TamMem {

class TAM_API MemoryPool {
public:
    // A block of `size` bytes, or null when none can be had.
    static void* New(std::uint32_t size);
    static void Delete(void* p);
};

// The library's allocation rule: 0 bytes yield null without asking the pool;
// when the pool has nothing, the installed new-handler is called once and, if
// the pool still has nothing, std::bad_alloc is thrown.
TAM_API void* Allocate(std::size_t size);
inline void Free(void* p) {
    MemoryPool::Delete(p);
}

// Allocator for the library's standard containers.
template <class T>
struct PoolAllocator {
    using value_type = T;
    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(Allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { Free(p); }
    template <class U>
    bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const PoolAllocator<U>&) const noexcept {
        return false;
    }
};

// A block of pool memory owned for a scope.
class Buffer {
public:
    explicit Buffer(std::size_t size) : data(static_cast<unsigned char*>(Allocate(size))) {}
    ~Buffer() { Free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    unsigned char* Get() const { return data; }

private:
    unsigned char* data;
};

// Base for library classes whose objects live on the heap: their storage
// comes from the pool.
struct PoolObject {
    static void* operator new(std::size_t size) { return Allocate(size); }
    static void operator delete(void* p) noexcept { Free(p); }
};

}  // namespace TamMem
