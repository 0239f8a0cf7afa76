// Parsing the arguments of the vectorcall methods.
#include "FastPaths.h"

#include <string>

namespace TamPy {

namespace {

bool Fail(const char* function, const std::string& what) {
    PyErr_SetString(PyExc_TypeError, (std::string(function) + "() " + what).c_str());
    return false;
}

}  // namespace

bool ParseArguments(const char* function, const char* const* names, int count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > count)
        return Fail(function, "takes at most " + std::to_string(count) + " arguments");
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!name) return false;
        int i = 0;
        while (i < count && std::string(names[i]) != name) ++i;
        if (i == count)
            return Fail(function, std::string("got an unexpected keyword '") + name + "'");
        if (out[i]) return Fail(function, std::string("got '") + name + "' twice");
        out[i] = args[nargs + k];
    }
    // The first parameter is required.
    if (!out[0]) return Fail(function, std::string("missing argument '") + names[0] + "'");
    return true;
}

}  // namespace TamPy
