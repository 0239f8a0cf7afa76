// Binds the read methods of Reads.h to a Python class over any Source: the
// Tree now; a snapshot class is bound with the same calls over its own handle.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "FastPaths.h"
#include "Reads.h"

namespace TamPy {

// Binds Walk<Source> as the iterator class `name` of module `m`.
template <class Source>
void BindWalk(py::module_& m, const char* name) {
    py::class_<Walk<Source>>(m, name,
                             "An iterator over records in key order (or backward), from\n"
                             "keys(), values(), items() or iter(). Changing the tree while it\n"
                             "runs makes the next step raise RuntimeError.",
                             py::custom_type_setup(&WalkPaths<Source>::InstallSlots))
        .attr("__module__") = "tambtree";
}

// Handle derives from Guarded<Source> and is held by shared_ptr; its class was
// made with ReadPaths<Handle, Source>::InstallSlots as custom_type_setup.
template <class Handle, class Source>
void BindReads(py::class_<Handle, std::shared_ptr<Handle>>& cls) {
    using Shared = std::shared_ptr<Handle>;
    const auto range = [](Yield yield) {
        return [yield](Shared h, py::handle start, py::handle stop, bool reverse) {
            const Bounds bounds{BoundArg(start, h->order), BoundArg(stop, h->order), reverse};
            return Walk<Source>(h, bounds, yield);
        };
    };
    const auto all = [](Yield yield, bool reverse) {
        return [yield, reverse](Shared h) {
            Bounds bounds;
            bounds.reverse = reverse;
            return Walk<Source>(h, bounds, yield);
        };
    };
    // len(), in, [] and get() are ReadPaths', installed when the class was made.
    ReadPaths<Handle, Source>::AddMethods(cls);
    cls.def(
           "get_all", [](Handle& h, py::handle key) { return GetAll<Source>(h, key); },
           py::arg("key"),
           "get_all(key) -> list[bytes]\n\n"
           "The values of every record with the key, newest first (a tree without\n"
           "duplicates has at most one).")
        .def("__iter__", all(Yield::Keys, false), "iter(tree): the keys in order.")
        .def("__reversed__", all(Yield::Keys, true), "reversed(tree): the keys backward.")
        .def("keys", range(Yield::Keys), py::arg("start") = py::none(),
             py::arg("stop") = py::none(), py::arg("reverse") = false,
             "keys(start=None, stop=None, reverse=False)\n\n"
             "An iterator over the keys from `start` (included) to `stop` (excluded),\n"
             "in key order or, with reverse=True, backward from the last key before\n"
             "`stop`. A bound left as None is open. Every record is shown, equal keys\n"
             "of a duplicate tree too.")
        .def("values", range(Yield::Values), py::arg("start") = py::none(),
             py::arg("stop") = py::none(), py::arg("reverse") = false,
             "values(start=None, stop=None, reverse=False)\n\n"
             "An iterator over the values of the records keys() would walk.")
        .def("items", range(Yield::Items), py::arg("start") = py::none(),
             py::arg("stop") = py::none(), py::arg("reverse") = false,
             "items(start=None, stop=None, reverse=False)\n\n"
             "An iterator over the (key, value) pairs of the records keys() would walk.");
}

}  // namespace TamPy
