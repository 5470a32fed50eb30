// Module initialisation: the one-interpreter guard and package-relative imports.
#include "native.hpp"

namespace velora::native {

bool InterpreterGuard::claim() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (owner_ == -1) {
        owner_ = current;
    }
    if (owner_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

int exec_module(PyObject* module, InterpreterGuard& guard, void (*body)(py::module_&)) {
    // Nothing of Python's object model may be touched before the guard has agreed.
    if (!guard.claim()) {
        return -1;
    }
    try {
        auto m = py::reinterpret_borrow<py::module_>(module);
        body(m);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

py::object import_module(const char* absolute_name) { return py::module_::import(absolute_name); }

void from_import(py::module_& m, const char* source, std::initializer_list<const char*> names) {
    py::object package = source[0] == '.' ? py::object(m.attr("__package__")) : py::none();
    py::object origin = py::module_::import("importlib").attr("import_module")(source, package);
    for (const char* name : names) {
        if (!py::hasattr(origin, name)) {
            raise(PyExc_ImportError, "cannot import name '" + std::string(name) + "' from '" +
                                         text(origin.attr("__name__")) + "'");
        }
        m.attr(name) = origin.attr(name);
    }
}

void import_as(py::module_& m, const char* name, const char* alias) {
    m.attr(alias) = import_module(name);
}

void detail::set_item(py::handle container, py::handle key, py::handle value) {
    const auto held = py::reinterpret_borrow<py::object>(container);
    if (PyObject_SetItem(held.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

py::object super(py::handle cls, py::handle obj) { return builtin("super")(cls, obj); }

py::object compiled_method(py::handle obj, py::handle function, const char* attribute, bool eager) {
    auto bound = [&] { return py::module_::import("types").attr("MethodType")(function, obj); };
    if (eager) {
        return bound();
    }
    if (!py::hasattr(obj, attribute)) {
        py::object tf_function = py::module_::import("tensorflow").attr("function");
        builtin("object").attr("__setattr__")(
            obj, attribute, tf_function(bound(), py::arg("reduce_retracing") = true));
    }
    return obj.attr(attribute);
}

}  // namespace velora::native
