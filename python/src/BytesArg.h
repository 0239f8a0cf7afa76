// Bytes-like arguments: keys, values and range bounds as the library reads them.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>

#include "OrderedTree.h"

namespace TamPy {

namespace py = pybind11;

// Contract: the bytes of a bytes-like object (bytes, bytearray, a contiguous
// memoryview, anything with the buffer protocol), valid while this lives. The
// buffer stays exported for that long, so a bytearray cannot be resized under
// a call that released the GIL. A str, or anything else, is a TypeError.
class BytesArg {
public:
    explicit BytesArg(py::handle object);
    ~BytesArg();
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;

    std::string_view View() const { return std::string_view(data, size); }

private:
    Py_buffer buffer{};
    const char* data = nullptr;
    std::size_t size = 0;
};

// A key for a tree of `order`: ValueError when an integer order's key does not
// have its width, or when a key is longer than any record can be.
class KeyArg : public BytesArg {
public:
    KeyArg(py::handle object, Order order);
};

// A range bound: None for no bound, else a key copied out.
std::optional<std::string> BoundArg(py::handle object, Order order);

// `bytes` holding a copy of `bytes`.
inline py::bytes ToBytes(std::string_view bytes) {
    PyObject* made = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(made);
}

}  // namespace TamPy
