// The module's exceptions: the library's exception kinds as the classes of
// tambtree._errors, with the library's messages.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace TamPy {

// Imports tambtree._errors and translates the library's exceptions from now
// on: each kind a program acts on to its own class, file errors to FileError
// (an OSError with errno and filename), the rest to Error. Adds to `m` the
// tests' hook _throw_for_test(kind).
void RegisterErrors(pybind11::module_& m);

// Raises tambtree.<errorClass> with `message`, for the failures the module
// finds itself. Call it holding the GIL.
[[noreturn]] void Raise(const char* errorClass, const std::string& message);

}  // namespace TamPy
