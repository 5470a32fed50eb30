"""DataFrameMeta: construction, the children mapping, indices, annotations and display."""

import collections.abc
import doctest
import traceback
import typing

import numpy as np
import pandas as pd
import pytest

from velora.metadata import DataFrameMeta, frame_schema
from velora.metadata.base import Meta, ValueMeta
from velora.metadata.exceptions import UnknownIndexMetaError
from velora.metadata.value import Categorical, Compound, Float, Integer


def metas(*names: str) -> list[ValueMeta]:
    return [Float(name) for name in names]


def panel_meta(**kwargs) -> DataFrameMeta:
    children = [Integer("id"), Integer("t"), Float("v")]
    return DataFrameMeta("df", children=children, id_index="id", time_index="t", **kwargs)


# --- the module and the class statement -----------------------------------------------------


def test_module_namespace_holds_its_imports_and_one_class():
    public = {name for name in vars(frame_schema) if not name.startswith("__")}
    assert public == {
        "defaultdict", "chain", "Any", "Dict", "List", "MutableMapping", "Optional",
        "Sequence", "cast", "pd", "Affine", "Meta", "Nominal", "ValueMeta",
        "UnknownIndexMetaError", "DataFrameMeta",
    }  # fmt: skip
    assert frame_schema.__file__.endswith(".so")


def test_class_statement_bases_and_mixins():
    assert DataFrameMeta.__orig_bases__ == (Meta[ValueMeta], typing.MutableMapping[str, ValueMeta])
    assert DataFrameMeta.__mro__[1] is Meta
    assert issubclass(DataFrameMeta, collections.abc.MutableMapping)
    assert not DataFrameMeta.__abstractmethods__
    assert "DataFrameMeta" in Meta.get_registry()


def test_class_body_order():
    members = [name for name in vars(DataFrameMeta) if not name.startswith("_") or name in {
        "__init__", "__repr__", "__setitem__", "__delitem__"}]  # fmt: skip
    assert members == [
        "__init__", "__repr__", "extract", "update_meta", "convert_df_for_children",
        "revert_df_from_children", "annotate", "unannotate", "children", "__setitem__",
        "__delitem__", "id_meta", "time_meta", "indices", "set_indices", "make_time_series",
        "diagnostics", "get_config", "to_dict", "from_dict", "copy",
    ]  # fmt: skip


def test_docstrings():
    assert "schema and data types of an arbitrary data frame" in DataFrameMeta.__doc__
    for text in (
        "(Optional) The name of the column representing the id index.",
        "(Optional) The name of the column representing the time index.",
        "dictionary mapping column names to an alias.",
        "A list of the metas' names in the dataframe that have been annotated.",
    ):
        assert text in DataFrameMeta.__doc__
    assert DataFrameMeta.copy.__doc__ == "Returns a shallow copy of the data frame meta."
    assert "DataFrameMeta.to_dict" in DataFrameMeta.from_dict.__doc__
    assert DataFrameMeta.children.fget.__qualname__ == "DataFrameMeta.children"


def test_docstring_examples_run():
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner()
    tests = finder.find(frame_schema)
    assert sum(len(test.examples) for test in tests) > 0
    for test in tests:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


# --- construction ---------------------------------------------------------------------------


def test_meta_with_only_a_name():
    meta = DataFrameMeta("df")
    assert (len(meta), meta.column_aliases, meta.annotations, meta.indices) == (0, {}, [], [])
    assert [meta.id_index, meta.time_index, meta.columns, meta.num_columns, meta.num_rows] == [
        None
    ] * 5
    with pytest.raises(UnknownIndexMetaError):
        meta.set_indices(pd.DataFrame({"a": [1]}))


def test_containers_are_stored_not_copied():
    aliases, annotations = {"a": "A"}, []
    meta = DataFrameMeta("df", children=metas("a"), column_aliases=aliases, annotations=annotations)
    assert meta.column_aliases is aliases and meta.annotations is annotations


@pytest.mark.parametrize(
    ("kwargs", "children_text", "annotations_text"),
    [
        ({"id_index": "b"}, "['a']", "[]"),
        ({"time_index": "b"}, "['a']", "[]"),
        ({"column_aliases": {"b": "B"}}, "['a']", "[]"),
        ({"annotations": ["a", "b"]}, "['a']", "['a', 'b']"),
    ],
)
def test_names_that_are_not_children_are_refused(kwargs, children_text, annotations_text):
    with pytest.raises(ValueError) as info:
        DataFrameMeta("df", children=metas("a"), **kwargs)
    assert str(info.value) == (
        f"Children metas ({children_text}) don't match the given indices/aliases/annotations "
        f"({annotations_text})"
    )


@pytest.mark.parametrize(
    ("argument", "shown"),
    [(1, "int"), (b"df", "bytes"), (["df"], "list"), (np.str_("df"), "numpy.str_")],
)
def test_name_must_be_exactly_str_or_none(argument, shown):
    with pytest.raises(TypeError) as info:
        DataFrameMeta(argument)
    assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {shown})"
    assert DataFrameMeta(None).name is None


def test_repr():
    meta = DataFrameMeta("df", children=metas("a"), annotations=[])
    assert repr(meta) == "DataFrameMeta(name='df', num_columns=None, num_rows=None, annotations=[])"
    meta.num_columns, meta.num_rows = 3, 100
    assert repr(meta) == "DataFrameMeta(name='df', num_columns=3, num_rows=100, annotations=[])"


# --- the children mapping -------------------------------------------------------------------


def test_children_setter_keeps_the_later_duplicate_at_the_first_position():
    first, other, later = Float("a"), Float("b"), Integer("a")
    meta = DataFrameMeta("df")
    meta.children = [first, other, later]
    assert list(meta) == ["a", "b"] and meta["a"] is later


def test_children_getter_returns_a_new_list():
    meta = DataFrameMeta("df", children=metas("a", "b"))
    children = meta.children
    children.pop()
    assert list(meta) == ["a", "b"]


def test_item_assignment_appends_new_names_and_replaces_in_place():
    meta = DataFrameMeta("df", children=metas("a", "b"))
    replacement = Integer("a")
    meta["c"] = Float("c")
    meta["a"] = replacement
    assert list(meta) == ["a", "b", "c"] and meta["a"] is replacement


@pytest.mark.parametrize("operation", ["set", "del"])
def test_item_keys_must_be_exactly_str(operation):
    meta = DataFrameMeta("df", children=metas("a"))
    with pytest.raises(TypeError, match=r"Argument 'k' has incorrect type \(expected str, got int"):
        if operation == "set":
            meta[1] = Float("x")
        else:
            del meta[1]
    assert list(meta) == ["a"]


def test_deleting_an_annotation_also_drops_it_from_annotations():
    child = Float("a")
    meta = DataFrameMeta("df", children=[child, Float("b")])
    meta.annotate(Compound("ab", children=[child, meta["b"]]))
    assert meta.pop("ab").name == "ab"
    assert meta.annotations == [] and list(meta) == []
    with pytest.raises(KeyError) as info:
        del meta["ab"]
    assert info.value.args == ("ab",)


def test_mapping_mixins_work():
    meta = DataFrameMeta("df", children=metas("a", "b"))
    assert "a" in meta and "z" not in meta and meta.get("z") is None
    assert list(meta.keys()) == ["a", "b"]
    assert meta == DataFrameMeta("other", children=meta.children)


# --- indices --------------------------------------------------------------------------------


def test_indices_hold_id_then_time():
    meta = panel_meta()
    assert meta.indices == [meta["id"], meta["t"]]
    time_only = DataFrameMeta("df", children=metas("t"), time_index="t")
    assert time_only.indices == [time_only["t"]] and time_only.id_meta is None


def test_set_indices_on_a_default_index():
    df = pd.DataFrame({"id": [1, 2], "t": [10, 20], "v": [0.5, 1.5]})
    result = panel_meta().set_indices(df)
    assert result is df
    assert list(df.columns) == ["v"]
    assert isinstance(df.index, pd.MultiIndex) and list(df.index.names) == ["id", "t"]
    assert df.index.tolist() == [(1, 10), (2, 20)]


def test_set_indices_when_the_index_is_already_set_only_drops_columns():
    df = pd.DataFrame({"id": [1], "t": [10], "v": [0.5]}).set_index(["id", "t"], drop=False)
    index_before = df.index.copy()
    panel_meta().set_indices(df)
    assert df.index.equals(index_before) and list(df.index.names) == ["id", "t"]
    assert list(df.columns) == ["v"]


def test_set_indices_restores_index_levels_that_are_children():
    df = pd.DataFrame({"id": [1, 2], "t": [10, 20], "v": [0.5, 1.5]}).set_index("t")
    panel_meta().set_indices(df)
    assert df.index.tolist() == [(1, 10), (2, 20)] and list(df.columns) == ["v"]


def test_single_index_meta_yields_a_one_level_multiindex():
    meta = DataFrameMeta("df", children=metas("t", "v"), time_index="t")
    df = meta.set_indices(pd.DataFrame({"t": [1.0, 2.0], "v": [3.0, 4.0]}))
    assert isinstance(df.index, pd.MultiIndex) and df.index.nlevels == 1


# --- annotations ----------------------------------------------------------------------------


def annotated_setup():
    a, b, c = Float("a"), Float("b"), Float("c")
    meta = DataFrameMeta("df", children=[a, b, c])
    return meta, Compound("ab", children=[a, b])


def test_annotate_then_unannotate():
    meta, annotation = annotated_setup()
    meta.annotate(annotation)
    assert list(meta) == ["c", "ab"] and meta.annotations == ["ab"]
    meta.unannotate(annotation)
    assert list(meta) == ["c", "a", "b"] and meta.annotations == []


def test_annotate_twice_is_refused():
    meta, annotation = annotated_setup()
    meta.annotate(annotation)
    with pytest.raises(ValueError) as info:
        meta.annotate(annotation)
    assert str(info.value) == f"Annotation {annotation} already applied."
    assert list(meta) == ["c", "ab"]


def test_unannotate_of_an_annotation_not_applied_is_refused():
    meta, annotation = annotated_setup()
    with pytest.raises(ValueError) as info:
        meta.unannotate(annotation)
    assert str(info.value) == (
        f"Annotation {annotation} cannot be stripped as it isn't in the DF Meta."
    )


def test_annotate_with_copies_of_the_children_leaves_the_meta_as_it_was():
    meta, _ = annotated_setup()
    impostor = Compound("ab", children=[Float("a"), Float("b")])
    with pytest.raises(ValueError) as info:
        meta.annotate(impostor)
    assert str(info.value) == f"The children of Annotation {impostor} aren't in this dataframe."
    assert list(meta) == ["a", "b", "c"] and meta.annotations == []


def test_annotate_with_an_absent_child_leaves_the_meta_as_it_was():
    meta, _ = annotated_setup()
    partly_absent = Compound("az", children=[meta["a"], Float("z")])
    with pytest.raises(KeyError) as info:
        meta.annotate(partly_absent)
    assert info.value.args == ("z",)
    assert list(meta) == ["a", "b", "c"]


def test_errors_carry_a_traceback_entry_naming_the_method():
    meta, annotation = annotated_setup()
    meta.annotate(annotation)
    with pytest.raises(ValueError) as info:
        meta.annotate(annotation)
    native = [
        f for f in traceback.extract_tb(info.value.__traceback__) if f.filename.endswith("cpp")
    ]
    assert native[-1].name == "velora.metadata.frame_schema.DataFrameMeta.annotate"
    assert native[-1].filename == "velora/metadata/frame_schema.cpp" and native[-1].lineno > 0


def test_categorical_children_work_as_annotation_children():
    color, size = Categorical("color"), Categorical("size")
    meta = DataFrameMeta("df", children=[color, size])
    meta.annotate(Compound("look", children=[color, size]))
    assert meta["look"].children == [color, size]
