// The memory pool on top of the C heap, and the library's allocation rule.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

#include "TamMem.h"

namespace TamMem {

void* MemoryPool::New(std::uint32_t size) {
    return std::malloc(size);
}

void MemoryPool::Delete(void* p) {
    std::free(p);
}

void* Allocate(std::size_t size) {
    if (size == 0) return nullptr;
    // The pool takes 32-bit sizes; a larger request can never be met.
    if (size > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    const auto bytes = static_cast<std::uint32_t>(size);
    if (void* p = MemoryPool::New(bytes)) return p;
    if (std::new_handler handler = std::get_new_handler()) {
        handler();
        if (void* p = MemoryPool::New(bytes)) return p;
    }
    throw std::bad_alloc();
}

}  // namespace TamMem
