// Reading bytes-like arguments.
#include "BytesArg.h"

#include <cstdint>
#include <limits>

#include "Settings.h"

namespace TamPy {

BytesArg::BytesArg(py::handle object) {
    // bytes, the common case, without exporting a buffer.
    if (PyBytes_Check(object.ptr())) {
        data = PyBytes_AS_STRING(object.ptr());
        size = static_cast<std::size_t>(PyBytes_GET_SIZE(object.ptr()));
        return;
    }
    if (!PyObject_CheckBuffer(object.ptr())) {
        const std::string type = Py_TYPE(object.ptr())->tp_name;
        throw py::type_error("keys and values are bytes-like objects, not '" + type + "'" +
                             (PyUnicode_Check(object.ptr()) ? " (encode the str first)" : ""));
    }
    if (PyObject_GetBuffer(object.ptr(), &buffer, PyBUF_SIMPLE) != 0) {
        // A buffer that is not one contiguous run of bytes.
        PyErr_Clear();
        const std::string type = Py_TYPE(object.ptr())->tp_name;
        throw py::type_error("keys and values are contiguous bytes-like objects; this '" + type +
                             "' is not contiguous");
    }
    data = static_cast<const char*>(buffer.buf);
    size = static_cast<std::size_t>(buffer.len);
}

BytesArg::~BytesArg() {
    if (buffer.obj) PyBuffer_Release(&buffer);
}

KeyArg::KeyArg(py::handle object, Order order) : BytesArg(object) {
    const std::uint32_t width = KeyWidth(order);
    const std::size_t length = View().size();
    if (width != 0 && length != width)
        throw py::value_error("keys of a tree in order \"" + std::string(OrderName(order)) +
                              "\" are " + std::to_string(width) + " bytes long, not " +
                              std::to_string(length));
    // The tree keeps sizes in 32 bits.
    if (length > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error("a key of " + std::to_string(length) +
                              " bytes is longer than any key");
}

std::optional<std::string> BoundArg(py::handle object, Order order) {
    if (object.is_none()) return std::nullopt;
    return std::string(KeyArg(object, order).View());
}

}  // namespace TamPy
