// Translation of the library's exceptions into Python's.
#include "Errors.h"

#include <cerrno>

#include "BTreeException.h"
#include "TamFile.h"

namespace TamPy {

namespace py = pybind11;

namespace {

// tambtree._errors, kept for the life of the process: the translator runs
// until the interpreter ends, and a reference dropped at exit would run after
// the interpreter is gone.
PyObject* errors = nullptr;

py::object ErrorClass(const char* name) {
    return py::reinterpret_borrow<py::module_>(errors).attr(name);
}

void SetError(const char* errorClass, const char* message) {
    PyErr_SetString(ErrorClass(errorClass).ptr(), message);
}

void SetFileError(const TamFile::FileException& e) {
    py::object path = e.GetPath().empty() ? py::none() : py::object(py::str(e.GetPath()));
    py::object error = ErrorClass("_file_error")(e.GetError(), e.what(), path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

void Translate(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const TamFile::FileException& e) {
        SetFileError(e);
    } catch (const TamBTree::BTreeDamagedException& e) {
        SetError("DamagedError", e.what());
    } catch (const TamBTree::BTreeTransactionWaitingException& e) {
        SetError("TransactionWaitingError", e.what());
    } catch (const TamBTree::BTreeTransactionFailedException& e) {
        SetError("TransactionFailedError", e.what());
    } catch (const TamBTree::BTreeReadOnlyException& e) {
        SetError("ReadOnlyError", e.what());
    } catch (const TamBTree::BTreeRecordTooLargeException& e) {
        SetError("RecordTooLargeError", e.what());
    } catch (const TamBTree::BTreeNotEnoughDiskSpaceException& e) {
        SetError("DiskFullError", e.what());
    } catch (const TamBTree::BTreeInvalidVersionException& e) {
        SetError("VersionError", e.what());
    } catch (const TamBTree::BTreeInvalidPageSizeException& e) {
        SetError("LayoutError", e.what());
    } catch (const Tam::BaseException& e) {
        SetError("Error", e.what());
    }
}

// For the tests: throws the library's exception of a kind, so that the
// translation of the kinds no call from Python can provoke (a disk that
// fills, a write that breaks off part way) is checked too.
void ThrowForTest(const std::string& kind) {
    const std::wstring text = L"thrown for a test";
    if (kind == "damaged") throw TamBTree::BTreeDamagedException(text);
    if (kind == "waiting") throw TamBTree::BTreeTransactionWaitingException(text);
    if (kind == "failed") throw TamBTree::BTreeTransactionFailedException(text);
    if (kind == "readonly") throw TamBTree::BTreeReadOnlyException(text);
    if (kind == "toolarge") throw TamBTree::BTreeRecordTooLargeException(text);
    if (kind == "diskfull") throw TamBTree::BTreeNotEnoughDiskSpaceException(text);
    if (kind == "version") throw TamBTree::BTreeInvalidVersionException(text);
    if (kind == "layout") throw TamBTree::BTreeInvalidPageSizeException(text);
    if (kind == "tree") throw TamBTree::BTreeException(text);
    if (kind == "file") throw TamFile::FileException(TamFile::ActionFlush, "f.tbt", EIO);
    throw py::value_error("no such kind: " + kind);
}

}  // namespace

void RegisterErrors(py::module_& m) {
    errors = py::module_::import("tambtree._errors").release().ptr();
    py::register_exception_translator(&Translate);
    m.def("_throw_for_test", &ThrowForTest);
}

void Raise(const char* errorClass, const std::string& message) {
    SetError(errorClass, message.c_str());
    throw py::error_already_set();
}

}  // namespace TamPy
