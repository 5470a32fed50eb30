// Exercises every feature of the native layer, so that its tests see it the way modules use it.
#include "native.hpp"

namespace {

using namespace velora::native;

py::handle Sample;

// Counts its runs, so that tests can tell a traced graph's call from a Python call.
py::handle scale_function;

void define_scale(py::module_& m) {
    scale_function = module_function(m, "Sample._scale", {self, arg("x")}, "Any",
                                     [](py::object self, py::object x) {
                                         self.attr("runs") = self.attr("runs").attr("__add__")(1);
                                         return x.attr("__mul__")(self.attr("_size"));
                                     })
                         .release();
}

void define_sample(py::module_& m) {
    py::object abc = import_module("abc");
    Sample =
        ClassBuilder(m, "Sample", py::make_tuple(abc.attr("ABC")),
                     "A shape with a name and a size.")
            .method("__init__",
                    {self, str_arg("name"), arg("size", "int") = py::int_(3), star_args(),
                     kwonly("tag", "Optional[str]") = py::none(), star_kwargs()},
                    "None",
                    [](py::object self, py::object name, py::object size, py::object args,
                       py::object tag, py::object kwargs) {
                        self.attr("name") = name;
                        self.attr("_size") = size;
                        self.attr("extra") = py::make_tuple(args, tag, kwargs);
                        self.attr("runs") = 0;
                    })
            .method(
                "describe", {self}, "str",
                [](py::object self) {
                    return py::str(text(self.attr("name")) + ":" + text(self.attr("_size")));
                },
                "The name and the size, joined by a colon.")
            .method("fail", {self, arg("message", "str")}, "None",
                    [](py::object, py::object message) { raise(PyExc_ValueError, message); })
            .method("call_back", {self, arg("callback")}, "Any",
                    [](py::object, py::object callback) { return callback(); })
            .method("missing", {self, str_arg("key")}, "None",
                    [](py::object, py::object key) { raise(PyExc_KeyError, key); })
            .method("fail_with_note", {self, arg("message", "str"), arg("note", "str")}, "None",
                    [](py::object, py::object message, py::object note) {
                        raise_with_note(PyExc_ValueError, text(message), text(note));
                    })
            .property(
                "size", "int", [](py::object self) { return self.attr("_size"); },
                arg("value", "int"),
                [](py::object self, py::object value) { self.attr("_size") = value; },
                "The size, settable.")
            .property("label", "str", [](py::object self) { return py::str(self.attr("name")); })
            .classmethod("make", {cls_param, str_arg("name")}, "'Sample'",
                         [](py::object cls, py::object name) { return cls(name); })
            .staticmethod("twice", {arg("x")}, "Any",
                          [](py::object x) { return x.attr("__mul__")(py::int_(2)); })
            .abstractmethod("area", {self}, "float", "The area of the shape.")
            .staticmethod("pair", {arg("iterable")}, "Tuple[Any, Any]",
                          [](py::object iterable) {
                              auto items = unpack(iterable, 2);
                              return py::make_tuple(items[0], items[1]);
                          })
            .staticmethod("within", {arg("context"), arg("callback")}, "Any",
                          [](py::object context, py::object callback) {
                              py::object result;
                              with_context(context, [&] { result = callback(); });
                              return result;
                          })
            .method("scaled", {self, arg("x", "Any"), arg("eager", "bool")}, "Any",
                    [](py::object self, py::object x, py::object eager) {
                        return compiled_method(self, scale_function, "_compiled_scale",
                                               truthy(eager))(x);
                    })
            .method("size_of_base", {self}, "int",
                    [](py::object self) { return super(Sample, self).attr("__sizeof__")(); })
            .finish()
            .release();
}

// A mapping whose base is a subscripted typing generic, resolved as a class statement would.
void define_bag(py::module_& m) {
    py::object typing = import_module("typing");
    py::object base = typing.attr("Mapping")[py::make_tuple(builtin("str"), builtin("int"))];
    ClassBuilder(m, "Bag", py::make_tuple(base), "Counts by name.")
        .method("__init__", {self, arg("counts", "Dict[str, int]")}, "None",
                [](py::object self, py::object counts) { self.attr("_counts") = counts; })
        .method("__getitem__", {self, arg("key", "str")}, "int",
                [](py::object self, py::object key) { return self.attr("_counts")[key]; })
        .method("__iter__", {self}, "Iterator[str]",
                [](py::object self) { return self.attr("_counts").attr("__iter__")(); })
        .method("__len__", {self}, "int",
                [](py::object self) { return self.attr("_counts").attr("__len__")(); })
        .finish();
}

}  // namespace

VELORA_MODULE(_testing, m) {
    m.attr("__doc__") = "Classes that exercise the native layer (for its tests).";
    define_scale(m);
    define_sample(m);
    define_bag(m);
}
