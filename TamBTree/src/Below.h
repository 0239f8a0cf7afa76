// The layer an object works on, held so that constness carries down: a const
// operation of the holder reaches only the const operations of the layer
// below, so `const` means the file is left as it is all the way down.
#pragma once

namespace TamBTree {

template <class T>
class Below {
public:
    explicit Below(T& layer) : object(&layer) {}

    T* operator->() { return object; }
    const T* operator->() const { return object; }
    T& operator*() { return *object; }
    const T& operator*() const { return *object; }

private:
    T* object;
};

}  // namespace TamBTree
