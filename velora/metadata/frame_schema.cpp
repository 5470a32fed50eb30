// `DataFrameMeta`: the schema of a whole data frame, one child meta per column.
#include "native.hpp"

namespace {

using namespace velora::native;

Globals global;
// The class itself, for `super()`, which binds the defining class.
py::handle DataFrameMeta;

bool is_none(py::handle obj) { return obj.is_none(); }
bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

// --- construction and display ---------------------------------------------------------------

py::list child_names_of(py::handle children) {
    py::list child_names;
    if (!is_none(children)) {
        for (py::handle child : children) {
            child_names.append(child.attr("name"));
        }
    }
    return child_names;
}

void init(py::object self, py::object name, py::object children, py::object id_index,
          py::object time_index, py::object column_aliases, py::object columns,
          py::object num_columns, py::object num_rows, py::object annotations) {
    py::list child_names = child_names_of(children);
    py::object annotations_list = is_none(annotations) ? py::list() : annotations;
    py::object column_aliases_dict = is_none(column_aliases) ? py::dict() : column_aliases;

    py::object named = global("chain")(py::make_tuple(id_index, time_index), annotations_list,
                                       column_aliases_dict);
    for (py::handle value : named) {
        if (!is_none(value) && !contains(child_names, value)) {
            raise(PyExc_ValueError, "Children metas (" + text(child_names) +
                                        ") don't match the given indices/aliases/annotations (" +
                                        text(annotations_list) + ")");
        }
    }

    super(DataFrameMeta, self)
        .attr("__init__")(py::arg("name") = name, py::arg("children") = children);
    self.attr("id_index") = id_index;
    self.attr("time_index") = time_index;
    self.attr("column_aliases") = column_aliases_dict;
    self.attr("columns") = columns;
    self.attr("num_columns") = num_columns;
    self.attr("num_rows") = num_rows;
    self.attr("annotations") = annotations_list;
}

py::str repr(py::object self) {
    return py::str("DataFrameMeta(name='" + text(self.attr("name")) + "', num_columns=" +
                   text(self.attr("num_columns")) + ", num_rows=" + text(self.attr("num_rows")) +
                   ", annotations=" + text(self.attr("annotations")) + ")");
}

// --- extraction and frame conversion --------------------------------------------------------

py::object extract(py::object self, py::object df) {
    super(DataFrameMeta, self).attr("extract")(df.attr("copy")(py::arg("deep") = false));
    self.attr("columns") = df.attr("columns");
    self.attr("num_columns") = py::int_(py::len(df.attr("columns")));
    self.attr("num_rows") = py::int_(py::len(df));
    return self;
}

py::object update_meta(py::object self, py::object df) {
    super(DataFrameMeta, self).attr("update_meta")(df);
    return self;
}

// Frame-level conversion into the children's layout folds each annotation's columns into
// one, which is the annotation's own `revert_df_from_children`; hence the crossed names.
void convert_df_for_children(py::object self, py::object df) {
    for (py::handle annotation : self.attr("annotations")) {
        self[annotation].attr("revert_df_from_children")(df);
    }
}

void revert_df_from_children(py::object self, py::object df) {
    for (py::handle annotation : self.attr("annotations")) {
        self[annotation].attr("convert_df_for_children")(df);
    }
}

// --- annotations ----------------------------------------------------------------------------

// Everything is checked before the first child is removed, so a refused annotation leaves
// the meta as it was.
void annotate(py::object self, py::object annotation) {
    if (contains(self.attr("annotations"), annotation.attr("name"))) {
        raise(PyExc_ValueError, "Annotation " + text(annotation) + " already applied.");
    }
    py::list held;
    for (py::handle child_name : annotation) {
        if (!contains(self, child_name)) {
            raise(PyExc_KeyError, child_name);
        }
        held.append(self[child_name]);
    }
    py::object own = annotation.attr("children");
    const std::size_t pairs = std::min(py::len(own), py::len(held));
    for (std::size_t i = 0; i < pairs; ++i) {
        if (!py::object(own[py::int_(i)]).is(py::object(held[i]))) {
            raise(PyExc_ValueError,
                  "The children of Annotation " + text(annotation) + " aren't in this dataframe.");
        }
    }
    for (py::handle child_name : annotation) {
        self.attr("pop")(child_name);
    }
    self[annotation.attr("name")] = annotation;
    self.attr("annotations").attr("append")(annotation.attr("name"));
}

void unannotate(py::object self, py::object annotation) {
    if (!contains(self.attr("annotations"), annotation.attr("name"))) {
        raise(PyExc_ValueError,
              "Annotation " + text(annotation) + " cannot be stripped as it isn't in the DF Meta.");
    }
    for (py::handle item : annotation.attr("items")()) {
        self[item[py::int_(0)]] = item[py::int_(1)];
    }
    self.attr("pop")(annotation.attr("name"));
}

// --- the children mapping -------------------------------------------------------------------

py::list get_children(py::object self) { return py::list(self.attr("_children").attr("values")()); }

void set_children(py::object self, py::object children) {
    py::dict by_name;
    for (py::handle child : children) {
        by_name[child.attr("name")] = child;
    }
    self.attr("_children") = by_name;
}

void setitem(py::object self, py::object k, py::object v) { self.attr("_children")[k] = v; }

void delitem(py::object self, py::object k) {
    self.attr("_children").attr("__delitem__")(k);
    py::object annotations = self.attr("annotations");
    if (contains(annotations, k)) {
        annotations.attr("remove")(k);
    }
}

// --- indices --------------------------------------------------------------------------------

py::object meta_named(py::object self, py::object index_name) {
    return is_none(index_name) ? none() : py::object(self[index_name]);
}

py::object id_meta(py::object self) { return meta_named(self, self.attr("id_index")); }
py::object time_meta(py::object self) { return meta_named(self, self.attr("time_index")); }

py::list indices(py::object self) {
    py::list metas;
    if (!is_none(self.attr("id_meta"))) {
        metas.append(self.attr("id_meta"));
    }
    if (!is_none(self.attr("time_meta"))) {
        metas.append(self.attr("time_meta"));
    }
    return metas;
}

py::object set_indices(py::object self, py::object df) {
    py::list index_names;
    for (py::handle meta : self.attr("indices")) {
        index_names.append(meta.attr("name"));
    }
    if (py::len(index_names) == 0) {
        raise(global("UnknownIndexMetaError"));
    }
    if (index_names.not_equal(df.attr("index").attr("names"))) {
        py::list levels;
        for (py::handle level_name : df.attr("index").attr("names")) {
            if (contains(self, level_name)) {
                levels.append(level_name);
            }
        }
        if (py::len(levels) > 0) {
            df.attr("reset_index")(levels, py::arg("inplace") = true);
        }
        py::list new_indices;
        for (py::handle meta : self.attr("indices")) {
            new_indices.append(meta.attr("create_index")(df));
        }
        df.attr("index") = global("pd").attr("MultiIndex").attr("from_arrays")(new_indices);
    }
    py::list index_columns;
    for (py::handle index_name : index_names) {
        if (contains(df.attr("columns"), index_name)) {
            index_columns.append(index_name);
        }
    }
    if (py::len(index_columns) > 0) {
        df.attr("drop")(py::arg("columns") = index_columns, py::arg("inplace") = true);
    }
    return df;
}

py::object make_time_series(py::object self, py::object df) {
    if (py::object(self.attr("time_meta")).equal(none()) ||
        py::object(self.attr("id_meta")).equal(none())) {
        raise(global("UnknownIndexMetaError"));
    }
    df = self.attr("set_indices")(df);
    df.attr("sort_index")(py::arg("inplace") = true);
    return df.attr("unstack")(0);
}

// --- serialisation and copies ---------------------------------------------------------------

py::dict diagnostics(py::object self) {
    py::dict by_child;
    for (py::handle child : self.attr("children")) {
        by_child[child.attr("name")] = child.attr("diagnostics")();
    }
    return by_child;
}

py::object get_config(py::object self) {
    py::dict class_to_name;
    for (py::handle item : global("Meta").attr("get_registry")().attr("items")()) {
        class_to_name[item[py::int_(1)]] = item[py::int_(0)];
    }
    py::object by_name = global("defaultdict")(builtin("list"));
    for (py::handle child : self.attr("children")) {
        by_name[class_to_name[child.attr("__class__")]].attr("append")(child.attr("name"));
    }
    // A plain dict: py::dict would keep the defaultdict itself.
    return builtin("dict")(by_name);
}

py::object to_dict(py::object self) {
    py::object d = super(DataFrameMeta, self).attr("to_dict")();
    py::dict frame_keys;
    for (const char* key : {"id_index", "time_index", "column_aliases", "columns", "num_columns",
                            "num_rows", "annotations"}) {
        frame_keys[key] = self.attr(key);
    }
    d.attr("update")(frame_keys);
    return d;
}

py::object from_dict(py::object cls, py::object d) {
    py::object name = d[py::str("name")];
    py::object get = d.attr("get");
    py::object num_rows = get("num_rows");
    py::object num_columns = get("num_columns");
    py::object id_index = get("id_index");
    py::object time_index = get("time_index");
    py::object column_aliases = get("column_aliases");
    py::object columns = get("columns");
    py::object annotations = get("annotations");
    py::object children = cls.attr("children_from_dict")(d);
    return cls(py::arg("name") = name, py::arg("num_rows") = num_rows,
               py::arg("num_columns") = num_columns, py::arg("children") = children,
               py::arg("id_index") = id_index, py::arg("time_index") = time_index,
               py::arg("column_aliases") = column_aliases, py::arg("columns") = columns,
               py::arg("annotations") = annotations);
}

py::object copy(py::object self) {
    py::object columns = self.attr("columns");
    return DataFrameMeta(py::arg("name") = self.attr("name"),
                         py::arg("children") = self.attr("children"),
                         py::arg("id_index") = self.attr("id_index"),
                         py::arg("time_index") = self.attr("time_index"),
                         py::arg("column_aliases") = self.attr("column_aliases").attr("copy")(),
                         py::arg("num_columns") = self.attr("num_columns"),
                         py::arg("num_rows") = self.attr("num_rows"),
                         py::arg("annotations") = self.attr("annotations").attr("copy")(),
                         py::arg("columns") = is_none(columns) ? none() : columns.attr("copy")());
}

// --- the class statement --------------------------------------------------------------------

constexpr const char* class_doc = R"(Describes the schema and data types of an arbitrary data frame.

Each column is described by a derived ValueMeta object.

Attributes:
    id_index: (Optional) The name of the column representing the id index.
    time_index: (Optional) The name of the column representing the time index.
    column_aliases: dictionary mapping column names to an alias.
    annotations: A list of the metas' names in the dataframe that have been annotated.

Example:
    >>> import pandas as pd
    >>> from velora.metadata import DataFrameMeta
    >>> df = pd.DataFrame({"user": [1, 1, 2], "day": [1, 2, 1], "spend": [3.5, 1.0, 2.25]})
    >>> meta = DataFrameMeta("journeys").extract(df)
    >>> meta
    DataFrameMeta(name='journeys', num_columns=3, num_rows=3, annotations=[])
)";

constexpr const char* from_dict_doc = R"(Construct a DataFrameMeta from a dictionary.

See the example of Meta.to_dict() for the required structure.

See also:
    DataFrameMeta.to_dict: convert a DataFrameMeta to a dictionary.
)";

void define_data_frame_meta(py::module_& m) {
    py::object typing = m.attr("MutableMapping");
    py::object value_meta = m.attr("ValueMeta");
    py::tuple bases =
        py::make_tuple(py::object(global("Meta")[value_meta]),
                       py::object(typing[py::make_tuple(builtin("str"), value_meta)]));
    auto optional = [](const char* param, const char* annotation) {
        return arg(param, annotation) = none();
    };
    DataFrameMeta =
        ClassBuilder(m, "DataFrameMeta", bases, class_doc)
            .method(
                "__init__",
                {self, str_arg("name"), optional("children", "Optional[Sequence[ValueMeta]]"),
                 optional("id_index", "Optional[str]"), optional("time_index", "Optional[str]"),
                 optional("column_aliases", "Optional[Dict[str, str]]"),
                 optional("columns", "Optional[pd.Index]"),
                 optional("num_columns", "Optional[int]"), optional("num_rows", "Optional[int]"),
                 optional("annotations", "Optional[List[str]]")},
                "None", init)
            .method("__repr__", {self}, "str", repr)
            .method("extract", {self, arg("df", "pd.DataFrame")}, "'DataFrameMeta'", extract)
            .method("update_meta", {self, arg("df", "pd.DataFrame")}, "'DataFrameMeta'",
                    update_meta)
            .method("convert_df_for_children", {self, arg("df", "pd.DataFrame")}, "None",
                    convert_df_for_children)
            .method("revert_df_from_children", {self, arg("df", "pd.DataFrame")}, "None",
                    revert_df_from_children)
            .method("annotate", {self, arg("annotation", "ValueMeta")}, "None", annotate)
            .method("unannotate", {self, arg("annotation", "ValueMeta")}, "None", unannotate)
            .property("children", "Sequence[ValueMeta]", get_children,
                      arg("children", "Sequence[ValueMeta]"), set_children)
            .method("__setitem__", {self, str_arg("k"), arg("v", "ValueMeta")}, "None", setitem)
            .method("__delitem__", {self, str_arg("k")}, "None", delitem)
            .property("id_meta", "Optional[Nominal]", id_meta)
            .property("time_meta", "Optional[Affine]", time_meta)
            .property("indices", "List[Nominal]", indices)
            .method("set_indices", {self, arg("df", "pd.DataFrame")}, "pd.DataFrame", set_indices)
            .method("make_time_series", {self, arg("df", "pd.DataFrame")}, "pd.DataFrame",
                    make_time_series)
            .method("diagnostics", {self}, "Dict", diagnostics)
            .method("get_config", {self}, "Dict[str, Any]", get_config)
            .method("to_dict", {self}, "Dict[str, object]", to_dict)
            .classmethod("from_dict", {cls_param, arg("d", "Dict[str, object]")}, "'DataFrameMeta'",
                         from_dict, from_dict_doc)
            .method("copy", {self}, "'DataFrameMeta'", copy,
                    "Returns a shallow copy of the data frame meta.")
            .finish()
            .release();
}

}  // namespace

VELORA_MODULE(frame_schema, m) {
    global.bind(m);
    m.attr("__doc__") = "The schema of a whole data frame: `DataFrameMeta`.";
    from_import(m, "collections", {"defaultdict"});
    from_import(m, "itertools", {"chain"});
    from_import(m, "typing",
                {"Any", "Dict", "List", "MutableMapping", "Optional", "Sequence", "cast"});
    import_as(m, "pandas", "pd");
    from_import(m, ".base", {"Affine", "Meta", "Nominal", "ValueMeta"});
    from_import(m, ".exceptions", {"UnknownIndexMetaError"});

    define_data_frame_meta(m);
}
