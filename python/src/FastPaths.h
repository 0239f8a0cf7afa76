// The calls a loop makes once per record (tree[key], key in tree, len(tree),
// get, tree[key] = value, del tree[key], next(iterator)), bound straight to
// CPython's type slots and a vectorcall method. pybind11's general dispatch
// around them costs about as much as a look-up of a cached record; these
// paths skip it and run the same functions as the rest of the module.
#pragma once

#include <pybind11/pybind11.h>

#include "Reads.h"

namespace TamPy {

// The C++ object behind a pybind11 instance of a class with one C++ type;
// null, with TypeError set, when the instance holds none yet (a subclass
// whose __init__ did not call the base's).
template <class T>
T* Held(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    T* held = instance->get_value_and_holder().template value_ptr<T>();
    if (!held) PyErr_SetString(PyExc_TypeError, "the object was not initialized");
    return held;
}

// Runs `call` and returns its result or, when it throws, `failed` with the
// Python error that the exception stands for set, as pybind11's dispatcher
// does: the module's translator first, then pybind11's own.
template <class R, class Call>
R Guard(Call&& call, R failed) noexcept {
    try {
        return call();
    } catch (...) {
        if (!py::detail::apply_exception_translators(
                py::detail::get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "an exception of unknown kind left the module");
        return failed;
    }
}

// Reads from a vectorcall's arguments the parameters named in `names`, by
// position or keyword; those not given stay null. TypeError for others.
bool ParseArguments(const char* function, const char* const* names, int count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The read slots and the get method of a class over Handle (a Guarded<Source>).
template <class Handle, class Source>
struct ReadPaths {
    static PyObject* Subscript(PyObject* self, PyObject* key) {
        return Guard(
            [&]() -> PyObject* {
                Handle* h = Held<Handle>(self);
                return h ? GetItem<Source>(*h, key).release().ptr() : nullptr;
            },
            static_cast<PyObject*>(nullptr));
    }

    static int Contains(PyObject* self, PyObject* key) {
        return Guard(
            [&] {
                Handle* h = Held<Handle>(self);
                return h ? int(TamPy::Contains<Source>(*h, key)) : -1;
            },
            -1);
    }

    static Py_ssize_t Length(PyObject* self) {
        return Guard(
            [&]() -> Py_ssize_t {
                Handle* h = Held<Handle>(self);
                return h ? static_cast<Py_ssize_t>(Size<Source>(*h)) : -1;
            },
            Py_ssize_t{-1});
    }

    static PyObject* Get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
        static const char* const names[] = {"key", "default"};
        PyObject* given[2] = {nullptr, nullptr};
        if (!ParseArguments("get", names, 2, args, nargs, kwnames, given)) return nullptr;
        return Guard(
            [&]() -> PyObject* {
                Handle* h = Held<Handle>(self);
                if (!h) return nullptr;
                py::object fallback =
                    py::reinterpret_borrow<py::object>(given[1] ? given[1] : Py_None);
                return GetValue<Source>(*h, given[0], fallback).release().ptr();
            },
            static_cast<PyObject*>(nullptr));
    }

    // The slots; call it from the class's custom_type_setup.
    static void InstallSlots(PyHeapTypeObject* type) {
        type->as_mapping.mp_subscript = &Subscript;
        type->as_mapping.mp_length = &Length;
        type->as_sequence.sq_contains = &Contains;
    }

    // The get method; call it once the class exists.
    static void AddMethods(py::handle cls) {
        static PyMethodDef get = {
            "get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Get)),
            METH_FASTCALL | METH_KEYWORDS,
            "get(key, default=None)\n\n"
            "The value of the first record with the key, or `default` when none."};
        py::object method = py::reinterpret_steal<py::object>(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &get));
        if (!method) throw py::error_already_set();
        py::setattr(cls, "get", method);
    }
};

// next() of a Walk<Source>: its class's custom_type_setup installs it.
template <class Source>
struct WalkPaths {
    static PyObject* Next(PyObject* self) {
        return Guard(
            [&]() -> PyObject* {
                Walk<Source>* walk = Held<Walk<Source>>(self);
                return walk ? walk->Next().release().ptr() : nullptr;
            },
            static_cast<PyObject*>(nullptr));
    }

    static void InstallSlots(PyHeapTypeObject* type) {
        type->ht_type.tp_iter = &PyObject_SelfIter;
        type->ht_type.tp_iternext = &Next;
    }
};

}  // namespace TamPy
