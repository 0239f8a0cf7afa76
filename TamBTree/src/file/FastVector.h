// A growable vector of trivially copyable values with a fixed growth rule.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "TamMem.h"

namespace TamBTree {

// When a value is appended to a full vector, its capacity becomes the larger
// of 16 and the element count times 2 (counts up to 256) or times 1.25 (counts
// above 256), truncated to a whole number.
template <class T>
class FastVector {
    static_assert(std::is_trivially_copyable<T>::value, "FastVector holds plain values");

public:
    FastVector() = default;
    FastVector(const FastVector&) = delete;
    FastVector& operator=(const FastVector&) = delete;
    ~FastVector() { TamMem::Free(items); }

    static std::uint32_t GrownCapacity(std::uint32_t count) {
        std::uint32_t grown = count <= 256
                                  ? count * 2
                                  : static_cast<std::uint32_t>(static_cast<double>(count) * 1.25);
        return grown < 16 ? 16 : grown;
    }

    void Append(T value) {
        if (count == capacity) Reserve(GrownCapacity(count));
        items[count++] = value;
    }
    void RemoveLast() { --count; }
    T Last() const { return items[count - 1]; }
    // Removes the element at `index`, keeping the order of the others.
    void RemoveAt(std::uint32_t index) {
        std::memmove(items + index, items + index + 1, (count - index - 1) * sizeof(T));
        --count;
    }
    // Index of the first element equal to `value`, or Size() when none is.
    std::uint32_t Find(T value) const {
        std::uint32_t i = 0;
        while (i < count && !(items[i] == value)) ++i;
        return i;
    }
    bool Contains(T value) const { return Find(value) < count; }
    // Removes the first element equal to `value`; false when there is none.
    bool Remove(T value) {
        std::uint32_t i = Find(value);
        if (i == count) return false;
        RemoveAt(i);
        return true;
    }
    // Removes every element for which `drop` is true, keeping the order of
    // the others, in one pass.
    template <class Predicate>
    void RemoveIf(Predicate drop) {
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < count; ++i)
            if (!drop(items[i])) items[kept++] = items[i];
        count = kept;
    }
    void Clear() { count = 0; }
    // Empties the vector and gives its storage back.
    void Release() {
        TamMem::Free(items);
        items = nullptr;
        count = capacity = 0;
    }

    std::uint32_t Size() const { return count; }
    std::uint32_t Capacity() const { return capacity; }
    bool Empty() const { return count == 0; }
    T& operator[](std::uint32_t i) { return items[i]; }
    const T& operator[](std::uint32_t i) const { return items[i]; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }

private:
    void Reserve(std::uint32_t newCapacity) {
        T* grown = static_cast<T*>(TamMem::Allocate(newCapacity * sizeof(T)));
        if (count) std::memcpy(grown, items, count * sizeof(T));
        TamMem::Free(items);
        items = grown;
        capacity = newCapacity;
    }

    T* items = nullptr;
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;
};

}  // namespace TamBTree
