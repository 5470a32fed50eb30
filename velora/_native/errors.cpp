// Raising Python exceptions from C++ and translating C++ exceptions back into Python errors.
#include "native.hpp"

#include <new>
#include <stdexcept>

namespace velora::native {

namespace {
thread_local int raise_line = 0;

[[noreturn]] void raise_instance(py::handle exc_type, PyObject* instance, Where where) {
    if (instance == nullptr) {
        throw py::error_already_set();
    }
    raise_line = static_cast<int>(where.line());
    PyErr_SetObject(exc_type.ptr(), instance);
    Py_DECREF(instance);
    throw py::error_already_set();
}
}  // namespace

namespace detail {
int take_raise_line() {
    const int line = raise_line;
    raise_line = 0;
    return line;
}
void forget_raise_line() { raise_line = 0; }
}  // namespace detail

void raise(py::handle exc_type, Where where) {
    raise_instance(exc_type, PyObject_CallNoArgs(exc_type.ptr()), where);
}

// The exception is instantiated here so that a tuple value stays one argument.
void raise(py::handle exc_type, py::handle value, Where where) {
    raise_instance(exc_type, PyObject_CallOneArg(exc_type.ptr(), value.ptr()), where);
}

void raise(py::handle exc_type, const std::string& message, Where where) {
    raise(exc_type, py::str(message), where);
}

void raise_with_note(py::handle exc_type, const std::string& message, const std::string& note,
                     Where where) {
    PyObject* instance = PyObject_CallOneArg(exc_type.ptr(), py::str(message).ptr());
    if (instance != nullptr) {
        PyObject* added = PyObject_CallMethod(instance, "add_note", "s", note.c_str());
        if (added == nullptr) {
            Py_DECREF(instance);
            throw py::error_already_set();
        }
        Py_DECREF(added);
    }
    raise_instance(exc_type, instance, where);
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

std::vector<py::object> unpack(py::handle iterable, std::size_t count) {
    std::vector<py::object> items;
    for (py::handle item : iterable) {
        if (items.size() == count) {
            raise(PyExc_ValueError,
                  "too many values to unpack (expected " + std::to_string(count) + ")");
        }
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    if (items.size() < count) {
        raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(count) +
                                    ", got " + std::to_string(items.size()) + ")");
    }
    return items;
}

bool truthy(py::handle obj) {
    const int truth = PyObject_IsTrue(obj.ptr());
    if (truth < 0) {
        throw py::error_already_set();
    }
    return truth == 1;
}

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string project_relative(const char* path) {
    const std::string full(path);
    const auto at = full.rfind("velora/");
    return at == std::string::npos ? full : full.substr(at);
}

}  // namespace velora::native
