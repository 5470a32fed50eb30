// The native function type: a C++ body behind an object that binds, introspects and fails
// like a Python function (descriptor binding, `__signature__`, `__dict__`, traceback entries).
#include "native.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <optional>

namespace velora::native {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionSpec* spec;
    PyObject* dict;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// --- argument binding, with the interpreter's own messages ------------------------------------

[[noreturn]] void type_error(const FunctionSpec& spec, const std::string& what) {
    throw py::type_error(spec.qualname + "() " + what);
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() > 2 ? ", " : " ";
        }
        if (i > 0 && i + 1 == names.size()) {
            out += "and ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

std::optional<std::size_t> find_param(const FunctionSpec& spec, ParamKind kind) {
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (spec.params[i].kind == kind) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> find_keyword(const FunctionSpec& spec, const std::string& name) {
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        const bool by_keyword =
            p.kind == ParamKind::positional || p.kind == ParamKind::keyword_only;
        if (by_keyword && p.name == name) {
            return i;
        }
    }
    return std::nullopt;
}

void bind_positional(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     std::vector<py::object>& bound) {
    std::size_t slots = 0;
    std::size_t required = 0;
    for (const Param& p : spec.params) {
        if (p.kind == ParamKind::positional) {
            ++slots;
            required += p.default_value ? 0 : 1;
        }
    }
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, slots); ++i) {
        bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    }
    const auto star = find_param(spec, ParamKind::var_positional);
    if (given > slots && !star) {
        const std::string takes =
            required == slots ? std::to_string(slots)
                              : "from " + std::to_string(required) + " to " + std::to_string(slots);
        type_error(spec, "takes " + takes + " positional argument" + (slots == 1 ? "" : "s") +
                             " but " + std::to_string(given) +
                             (given == 1 ? " was given" : " were given"));
    }
    if (star) {
        py::tuple rest(given > slots ? given - slots : 0);
        for (std::size_t i = slots; i < given; ++i) {
            rest[i - slots] = py::reinterpret_borrow<py::object>(args[i]);
        }
        bound[*star] = std::move(rest);
    }
}

void bind_keywords(const FunctionSpec& spec, PyObject* const* values, PyObject* kwnames,
                   std::vector<py::object>& bound) {
    const auto star = find_param(spec, ParamKind::var_keyword);
    py::dict extra;
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto key = py::reinterpret_borrow<py::str>(PyTuple_GET_ITEM(kwnames, i));
        const std::string name = key.cast<std::string>();
        auto value = py::reinterpret_borrow<py::object>(values[i]);
        if (const auto at = find_keyword(spec, name)) {
            if (bound[*at]) {
                type_error(spec, "got multiple values for argument '" + name + "'");
            }
            bound[*at] = std::move(value);
        } else if (star) {
            extra[key] = std::move(value);
        } else {
            type_error(spec, "got an unexpected keyword argument '" + name + "'");
        }
    }
    if (star) {
        bound[*star] = std::move(extra);
    }
}

void apply_defaults(const FunctionSpec& spec, std::vector<py::object>& bound) {
    std::vector<std::string> missing_positional;
    std::vector<std::string> missing_keyword;
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        if (bound[i] || p.kind == ParamKind::var_positional || p.kind == ParamKind::var_keyword) {
            continue;
        }
        if (p.default_value) {
            bound[i] = p.default_value;
        } else {
            (p.kind == ParamKind::positional ? missing_positional : missing_keyword)
                .push_back(p.name);
        }
    }
    const auto complain = [&](const std::vector<std::string>& names, const char* kind) {
        type_error(spec, "missing " + std::to_string(names.size()) + " required " + kind +
                             " argument" + (names.size() == 1 ? "" : "s") + ": " +
                             quoted_list(names));
    };
    if (!missing_positional.empty()) {
        complain(missing_positional, "positional");
    }
    if (!missing_keyword.empty()) {
        complain(missing_keyword, "keyword-only");
    }
}

void check_exact_str(const FunctionSpec& spec, const std::vector<py::object>& bound) {
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* value = bound[i].ptr();
        if (spec.params[i].exact_str && value != Py_None && !PyUnicode_CheckExact(value)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         spec.params[i].name.c_str(), "str", Py_TYPE(value)->tp_name);
            throw py::error_already_set();
        }
    }
}

void add_traceback_entry(const FunctionSpec& spec) {
    const int raised_at = detail::take_raise_line();
    const std::string where = spec.module + "." + spec.qualname;
    _PyTraceback_Add(where.c_str(), spec.file.c_str(), raised_at ? raised_at : spec.line);
}

PyObject* call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *as_function(callable)->spec;
    detail::forget_raise_line();
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        std::vector<py::object> bound(spec.params.size());
        bind_positional(spec, args, nargs, bound);
        bind_keywords(spec, args + nargs, kwnames, bound);
        apply_defaults(spec, bound);
        check_exact_str(spec, bound);
        return spec.body(bound).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        add_traceback_entry(spec);
        return nullptr;
    }
}

// --- introspection --------------------------------------------------------------------------

py::object annotation_or_empty(const std::string& text_value, py::handle empty) {
    return text_value.empty() ? py::reinterpret_borrow<py::object>(empty) : py::str(text_value);
}

py::object signature_of(const FunctionSpec& spec) {
    py::object inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    const auto kind_of = [&](ParamKind kind) -> py::object {
        switch (kind) {
            case ParamKind::var_positional:
                return parameter.attr("VAR_POSITIONAL");
            case ParamKind::keyword_only:
                return parameter.attr("KEYWORD_ONLY");
            case ParamKind::var_keyword:
                return parameter.attr("VAR_KEYWORD");
            case ParamKind::positional:
                break;
        }
        return parameter.attr("POSITIONAL_OR_KEYWORD");
    };
    py::list params;
    for (const Param& p : spec.params) {
        params.append(parameter(p.name, kind_of(p.kind),
                                py::arg("default") = p.default_value ? p.default_value : empty,
                                py::arg("annotation") = annotation_or_empty(p.annotation, empty)));
    }
    return inspect.attr("Signature")(
        params, py::arg("return_annotation") = annotation_or_empty(spec.returns, empty));
}

// The attributes a Python function carries, kept in the instance dict so callers may change
// them as they can on any function.
py::dict attributes_of(const FunctionSpec& spec) {
    py::dict attrs;
    attrs["__name__"] = spec.name;
    attrs["__qualname__"] = spec.qualname;
    attrs["__module__"] = spec.module;
    attrs["__doc__"] = spec.doc.empty() ? py::object(py::none()) : py::object(py::str(spec.doc));
    py::dict annotations;
    py::list defaults;
    py::dict kwdefaults;
    for (const Param& p : spec.params) {
        if (!p.annotation.empty()) {
            annotations[py::str(p.name)] = p.annotation;
        }
        if (p.default_value && p.kind == ParamKind::positional) {
            defaults.append(p.default_value);
        } else if (p.default_value) {
            kwdefaults[py::str(p.name)] = p.default_value;
        }
    }
    if (!spec.returns.empty()) {
        annotations["return"] = spec.returns;
    }
    attrs["__annotations__"] = annotations;
    attrs["__defaults__"] = defaults.empty() ? py::object(py::none()) : py::tuple(defaults);
    attrs["__kwdefaults__"] = kwdefaults.empty() ? py::object(py::none()) : kwdefaults;
    attrs["__signature__"] = signature_of(spec);
    if (spec.abstract) {
        attrs["__isabstractmethod__"] = true;
    }
    return attrs;
}

// --- type slots -----------------------------------------------------------------------------

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<native function %s>", as_function(self)->spec->qualname.c_str());
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_function(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject* self) {
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    delete as_function(self)->spec;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A function whose body is native code.")},
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "velora.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    slots,
};

PyTypeObject* function_type() {
    // Created once: the guard keeps every module of ours in a single interpreter.
    static PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

py::object make_function(FunctionSpec spec) {
    py::dict attrs = attributes_of(spec);
    PyTypeObject* type = function_type();
    auto* obj = PyObject_GC_New(FunctionObject, type);
    if (obj == nullptr) {
        throw py::error_already_set();
    }
    obj->vectorcall = &call;
    obj->spec = new FunctionSpec(std::move(spec));
    obj->dict = attrs.release().ptr();
    PyObject_GC_Track(obj);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(obj));
}

}  // namespace velora::native
