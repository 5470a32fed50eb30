// Class creation as a `class` statement does it, through the metaclass of the bases.
#include "native.hpp"

#include <algorithm>

namespace velora::native {

ClassBuilder::ClassBuilder(py::module_& module, std::string name, py::tuple bases, std::string doc)
    : module_(module), name_(std::move(name)), bases_(std::move(bases)) {
    add("__module__", module_.attr("__name__"));
    add("__qualname__", py::str(name_));
    add("__doc__", doc.empty() ? py::object(py::none()) : py::object(py::str(doc)));
}

FunctionSpec function_spec(const std::string& qualname, std::string module,
                           std::vector<Param> params, std::string returns, Body body,
                           std::string doc, Where where) {
    FunctionSpec s;
    s.name = qualname.substr(qualname.rfind('.') + 1);
    s.qualname = qualname;
    s.module = std::move(module);
    s.doc = std::move(doc);
    s.returns = std::move(returns);
    s.params = std::move(params);
    s.body = std::move(body);
    s.file = project_relative(where.file_name());
    s.line = static_cast<int>(where.line());
    return s;
}

FunctionSpec ClassBuilder::spec(const std::string& name, std::vector<Param> params,
                                std::string returns, Body body, std::string doc,
                                Where where) const {
    return function_spec(name_ + "." + name, text(module_.attr("__name__")), std::move(params),
                         std::move(returns), std::move(body), std::move(doc), where);
}

ClassBuilder& ClassBuilder::abstractmethod(const std::string& name, std::vector<Param> params,
                                           std::string returns, std::string doc, Where where) {
    Body body = [where](std::vector<py::object>&) -> py::object {
        raise(PyExc_NotImplementedError, where);
    };
    FunctionSpec s =
        spec(name, std::move(params), std::move(returns), std::move(body), std::move(doc), where);
    s.abstract = true;
    add(name, make_function(std::move(s)));
    return *this;
}

ClassBuilder& ClassBuilder::attribute(const std::string& name, py::object value) {
    add(name, std::move(value));
    return *this;
}

// Rebinding a name keeps its first position, as in a class body's namespace.
void ClassBuilder::add(const std::string& name, py::object value) {
    auto same = [&](const auto& entry) { return entry.first == name; };
    if (auto it = std::find_if(body_.begin(), body_.end(), same); it != body_.end()) {
        it->second = std::move(value);
    } else {
        body_.emplace_back(name, std::move(value));
    }
}

py::object ClassBuilder::finish() {
    py::object types = py::module_::import("types");
    py::object resolved = types.attr("resolve_bases")(bases_);
    py::tuple prepared = types.attr("prepare_class")(name_, resolved);
    py::object metaclass = prepared[0];
    py::object ns = prepared[1];
    py::dict kwds = prepared[2];
    for (auto& [key, value] : body_) {
        ns[py::str(key)] = value;
    }
    if (!resolved.is(bases_)) {
        ns["__orig_bases__"] = bases_;
    }
    py::object cls = metaclass(name_, resolved, ns, **kwds);
    module_.attr(name_.c_str()) = cls;
    return cls;
}

}  // namespace velora::native
