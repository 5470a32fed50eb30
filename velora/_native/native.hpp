// The shared layer every velora extension module includes first: Python-style classes,
// functions, errors and module set-up written once on top of pybind11's object API.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <source_location>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace velora::native {

namespace py = pybind11;
using Where = std::source_location;

// ---------------------------------------------------------------------------------------------
// Parameters and signatures

enum class ParamKind { positional, var_positional, keyword_only, var_keyword };

// One parameter as `inspect.Parameter` would describe it; annotations are kept as text.
struct Param {
    std::string name;
    std::string annotation;
    py::object default_value;  // null handle: the argument is required
    ParamKind kind = ParamKind::positional;
    bool exact_str = false;  // only an exact `str` or None is accepted

    // `arg("unit", "Optional[str]") = py::str("days")` reads like a Python default.
    Param& operator=(py::object value) {
        default_value = std::move(value);
        return *this;
    }
};

inline Param arg(std::string name, std::string annotation = {}) {
    return Param{std::move(name), std::move(annotation), {}, ParamKind::positional, false};
}
// A parameter annotated `str` whose type is tested before the body runs.
inline Param str_arg(std::string name) {
    return Param{std::move(name), "str", {}, ParamKind::positional, true};
}
inline Param kwonly(std::string name, std::string annotation = {}) {
    return Param{std::move(name), std::move(annotation), {}, ParamKind::keyword_only, false};
}
inline Param star_args(std::string name = "args") {
    return Param{std::move(name), {}, {}, ParamKind::var_positional, false};
}
inline Param star_kwargs(std::string name = "kwargs") {
    return Param{std::move(name), {}, {}, ParamKind::var_keyword, false};
}
inline const Param self{"self", {}, {}, ParamKind::positional, false};
inline const Param cls_param{"cls", {}, {}, ParamKind::positional, false};

using Body = std::function<py::object(std::vector<py::object>&)>;

// Everything a native function knows about itself.
struct FunctionSpec {
    std::string name;
    std::string qualname;
    std::string module;
    std::string doc;
    std::string returns;  // return annotation text, empty for none
    std::vector<Param> params;
    Body body;
    std::string file;  // source file shown in tracebacks, relative to the project root
    int line = 0;
    bool abstract = false;
};

// ---------------------------------------------------------------------------------------------
// Bodies: a C++ callable taking one py::object per parameter, returning an object or void.

namespace detail {
template <typename F>
struct callable_traits : callable_traits<decltype(&F::operator())> {};
template <typename R, typename... A>
struct callable_traits<R (*)(A...)> {
    using result = R;
    static constexpr std::size_t arity = sizeof...(A);
};
template <typename R, typename C, typename... A>
struct callable_traits<R (C::*)(A...) const> : callable_traits<R (*)(A...)> {};
template <typename R, typename C, typename... A>
struct callable_traits<R (C::*)(A...)> : callable_traits<R (*)(A...)> {};

template <typename F, std::size_t... I>
py::object invoke(F& f, std::vector<py::object>& a, std::index_sequence<I...>) {
    using R = typename callable_traits<F>::result;
    if constexpr (std::is_void_v<R>) {
        f(a[I]...);
        return py::none();
    } else {
        return py::object(f(a[I]...));
    }
}
}  // namespace detail

template <typename F>
Body make_body(F f, std::size_t expected_arity) {
    constexpr std::size_t arity = detail::callable_traits<std::decay_t<F>>::arity;
    if (arity != expected_arity) {
        throw std::logic_error("native body arity does not match its parameter list");
    }
    return [f = std::move(f)](std::vector<py::object>& a) mutable {
        return detail::invoke(f, a, std::make_index_sequence<arity>{});
    };
}

// Creates the Python function object for a spec (binds as a method when put in a class).
py::object make_function(FunctionSpec spec);

// What a function `qualname` of `module`, whose body is defined at `where`, knows of itself.
FunctionSpec function_spec(const std::string& qualname, std::string module,
                           std::vector<Param> params, std::string returns, Body body,
                           std::string doc, Where where);

// ---------------------------------------------------------------------------------------------
// Errors

// Raises `exc_type(value)` (or `exc_type()` with no value) as a Python exception; the line of
// the raise is the one the traceback entry of the enclosing native method shows.
[[noreturn]] void raise(py::handle exc_type, Where where = Where::current());
[[noreturn]] void raise(py::handle exc_type, py::handle value, Where where = Where::current());
[[noreturn]] void raise(py::handle exc_type, const std::string& message,
                        Where where = Where::current());

// Raises `exc_type(message)` with `note` added (shown below the message, not part of it).
[[noreturn]] void raise_with_note(py::handle exc_type, const std::string& message,
                                  const std::string& note, Where where = Where::current());

// Turns the C++ exception being handled into the pending Python error.
void set_error_from_current_exception();

namespace detail {
// The line of the latest `raise`, once: 0 when the error came from elsewhere.
int take_raise_line();
void forget_raise_line();
}  // namespace detail

// `a, b, ... = iterable` with exactly `count` targets, failing with the interpreter's messages.
std::vector<py::object> unpack(py::handle iterable, std::size_t count);

// `None`, and `bool(obj)` as Python's truth test.
inline py::object none() { return py::none(); }
bool truthy(py::handle obj);

// `str(obj)` as std::string, for messages built by concatenation.
std::string text(py::handle obj);

// The file name as tracebacks show it: the path from the package root on.
std::string project_relative(const char* path);

// ---------------------------------------------------------------------------------------------
// Modules

// `from <source> import <names>` at the top of module `m`: each name is bound in the module.
// A source that starts with a dot is relative to the module's package.
void from_import(py::module_& m, const char* source, std::initializer_list<const char*> names);
// `import <name> as <alias>` at the top of module `m`.
void import_as(py::module_& m, const char* name, const char* alias);
py::object import_module(const char* absolute_name);
// A name of the `builtins` module (`builtin("list")`).
py::object builtin(const char* name);

// A module's top-level names, read when a body runs, as a Python function reads its globals
// (so a name rebound in the module, by a test for one, is seen).
class Globals {
public:
    void bind(py::module_& m) { module_ = m; }
    py::object operator()(const char* name) const { return module_.attr(name); }

private:
    py::handle module_;
};

// Guards a module against a second interpreter in the same process.
class InterpreterGuard {
public:
    bool claim();

private:
    std::int64_t owner_ = -1;
};

int exec_module(PyObject* module, InterpreterGuard& guard, void (*body)(py::module_&));

// ---------------------------------------------------------------------------------------------
// Classes

// Builds a class the way a `class` statement does: the body's names go into the namespace
// prepared by the bases' metaclass, in definition order, then the metaclass creates the class.
class ClassBuilder {
public:
    ClassBuilder(py::module_& module, std::string name, py::tuple bases, std::string doc);

    template <typename F>
    ClassBuilder& method(const std::string& name, std::vector<Param> params, std::string returns,
                         F body, std::string doc = {}, Where where = Where::current()) {
        add(name, function(name, std::move(params), std::move(returns), std::move(body),
                           std::move(doc), where));
        return *this;
    }

    template <typename F>
    ClassBuilder& classmethod(const std::string& name, std::vector<Param> params,
                              std::string returns, F body, std::string doc = {},
                              Where where = Where::current()) {
        add(name, builtin("classmethod")(function(name, std::move(params), std::move(returns),
                                                  std::move(body), std::move(doc), where)));
        return *this;
    }

    template <typename F>
    ClassBuilder& staticmethod(const std::string& name, std::vector<Param> params,
                               std::string returns, F body, std::string doc = {},
                               Where where = Where::current()) {
        add(name, builtin("staticmethod")(function(name, std::move(params), std::move(returns),
                                                   std::move(body), std::move(doc), where)));
        return *this;
    }

    // A method that subclasses must override; `abc` sees it through `__isabstractmethod__`.
    ClassBuilder& abstractmethod(const std::string& name, std::vector<Param> params,
                                 std::string returns, std::string doc = {},
                                 Where where = Where::current());

    template <typename G>
    ClassBuilder& property(const std::string& name, std::string returns, G getter,
                           std::string doc = {}, Where where = Where::current()) {
        add(name, builtin("property")(
                      function(name, {self}, std::move(returns), std::move(getter), doc, where),
                      py::none(), py::none(), py::str(doc)));
        return *this;
    }

    template <typename G, typename S>
    ClassBuilder& property(const std::string& name, std::string returns, G getter, Param value,
                           S setter, std::string doc = {}, Where where = Where::current()) {
        add(name,
            builtin("property")(
                function(name, {self}, std::move(returns), std::move(getter), doc, where),
                function(name, {self, std::move(value)}, "None", std::move(setter), {}, where),
                py::none(), py::str(doc)));
        return *this;
    }

    ClassBuilder& attribute(const std::string& name, py::object value);

    // Creates the class, binds it to its name in the module and returns it.
    py::object finish();

private:
    template <typename F>
    py::object function(const std::string& name, std::vector<Param> params, std::string returns,
                        F body, std::string doc, Where where) {
        const std::size_t arity = params.size();
        return make_function(spec(name, std::move(params), std::move(returns),
                                  make_body(std::move(body), arity), std::move(doc), where));
    }
    FunctionSpec spec(const std::string& name, std::vector<Param> params, std::string returns,
                      Body body, std::string doc, Where where) const;
    void add(const std::string& name, py::object value);

    py::module_ module_;
    std::string name_;
    py::tuple bases_;
    std::vector<std::pair<std::string, py::object>> body_;
};

// A function of module `m` that is no attribute of it (a helper the module's classes use),
// named by its qualified name for signatures and tracebacks.
template <typename F>
py::object module_function(py::module_& m, const std::string& qualname, std::vector<Param> params,
                           std::string returns, F body, Where where = Where::current()) {
    Body native_body = make_body(std::move(body), params.size());
    return make_function(function_spec(qualname, text(m.attr("__name__")), std::move(params),
                                       std::move(returns), std::move(native_body), {}, where));
}

// `with context: body()`: the context's __exit__ sees the exception that leaves the body.
template <typename F>
void with_context(py::object context, F&& body) {
    context.attr("__enter__")();
    try {
        body();
    } catch (py::error_already_set& e) {
        context.attr("__exit__")(e.type(), e.value(), e.trace());
        throw;
    } catch (...) {
        context.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    context.attr("__exit__")(py::none(), py::none(), py::none());
}

// `container[key] = value`. pandas warns of chained assignment when a frame's reference count
// looks like a temporary's, and a native caller holds one reference fewer than the same
// statement in Python; the extra reference held here makes the two alike.
namespace detail {
void set_item(py::handle container, py::handle key, py::handle value);
inline py::handle as_handle(py::handle obj) { return obj; }
template <typename Policy>
py::object as_handle(const py::detail::accessor<Policy>& item) {
    return py::object(item);
}
}  // namespace detail

template <typename C, typename K, typename V>
void set_item(const C& container, const K& key, const V& value) {
    detail::set_item(detail::as_handle(container), detail::as_handle(key),
                     detail::as_handle(value));
}

// `super(cls, obj)`, for bodies that extend a base implementation.
py::object super(py::handle cls, py::handle obj);

// `obj.<attribute>`: `function` bound to `obj` and compiled by `tf.function` on first use, so
// that each object traces its own graphs once. It is set past the object's `__setattr__`, which
// on a Keras model would track it. With `eager`, the bound method itself: for calls that take
// plain Python objects a graph cannot have as inputs.
py::object compiled_method(py::handle obj, py::handle function, const char* attribute,
                           bool eager = false);

}  // namespace velora::native

// Defines the module's initialisation function (multi-phase, so each interpreter that imports
// it runs the body, which lets the guard refuse all but the first).
#define VELORA_MODULE(name, variable)                                                      \
    static void velora_module_body_##name(::pybind11::module_&);                           \
    static int velora_module_exec_##name(PyObject* module) {                               \
        static ::velora::native::InterpreterGuard guard;                                   \
        return ::velora::native::exec_module(module, guard, &velora_module_body_##name);   \
    }                                                                                      \
    static PyModuleDef_Slot velora_module_slots_##name[] = {                               \
        {Py_mod_exec, reinterpret_cast<void*>(&velora_module_exec_##name)}, {0, nullptr}}; \
    static PyModuleDef velora_module_def_##name = {                                        \
        PyModuleDef_HEAD_INIT,      #name,   nullptr, 0,      nullptr,                     \
        velora_module_slots_##name, nullptr, nullptr, nullptr};                            \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                 \
        return PyModuleDef_Init(&velora_module_def_##name);                                \
    }                                                                                      \
    static void velora_module_body_##name(::pybind11::module_& variable)
