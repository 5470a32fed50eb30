"""DataFrameMeta with frames: extraction, annotated layouts, time series, dict form, copies."""

import numpy as np
import pandas as pd
import pytest

from velora.metadata import DataFrameMeta
from velora.metadata.base import Meta
from velora.metadata.exceptions import UnknownIndexMetaError
from velora.metadata.factory import MetaExtractor
from velora.metadata.value import Categorical, Compound, DateTime, Float, Integer


@pytest.fixture
def panel() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "id": [2, 1, 1, 2, 1],
            "t": [2, 2, 1, 1, 3],
            "v": [20.0, 12.0, 11.0, 21.0, 13.0],
            "colour": ["red", "blue", "red", "green", "blue"],
        }
    )


def extracted(df: pd.DataFrame, **kwargs) -> DataFrameMeta:
    children = [Integer("id"), Integer("t"), Float("v"), Categorical("colour")]
    return DataFrameMeta("df", children=children, **kwargs).extract(df)


# --- extraction -----------------------------------------------------------------------------


def test_extract_returns_itself_and_records_the_frame(panel):
    meta = DataFrameMeta("df", children=[Integer("id"), Float("v")])
    assert meta.extract(panel) is meta
    assert meta.columns is panel.columns
    assert (meta.num_columns, meta.num_rows) == (4, 5)
    assert (meta["v"].min, meta["v"].max) == (11.0, 21.0)


def test_extract_leaves_the_callers_frame_alone(panel):
    before = panel.copy()
    extracted(panel)
    pd.testing.assert_frame_equal(panel, before)


def test_failed_extract_keeps_the_previous_counts(panel):
    meta = extracted(panel)
    with pytest.raises(KeyError):
        meta.extract(panel.drop(columns=["v"]))
    assert (meta.num_columns, meta.num_rows) == (4, 5)


def test_update_meta_widens_children_but_not_the_counts(panel):
    meta = extracted(panel)
    more = panel.assign(v=panel["v"] + 100).head(2)
    assert meta.update_meta(more) is meta
    assert meta.num_rows == 5 and meta["v"].max == 120.0


def test_extractor_infers_children_for_every_column():
    df = pd.DataFrame(
        {
            "when": ["03/01/2020", "14/02/2020", "28/02/2021"] * 10,
            "amount": np.linspace(0, 1, 30),
            "kind": ["a", "b", "c"] * 10,
        }
    )
    meta = MetaExtractor.extract(df)
    assert isinstance(meta, DataFrameMeta) and list(meta) == ["when", "amount", "kind"]
    assert isinstance(meta["when"], DateTime) and meta["when"].date_format == "%d/%m/%Y"
    assert meta.num_rows == 30


# --- annotated layouts ----------------------------------------------------------------------


def test_conversions_without_annotations_return_none_and_leave_the_frame(panel):
    meta = extracted(panel)
    before = panel.copy()
    assert meta.convert_df_for_children(panel) is None
    assert meta.revert_df_from_children(panel) is None
    pd.testing.assert_frame_equal(panel, before)


def test_annotated_layout_round_trip(panel):
    meta = extracted(panel)
    meta.annotate(Compound("v_colour", children=[meta["v"], meta["colour"]]))
    original = panel.copy()
    meta.convert_df_for_children(panel)
    assert "v_colour" in panel.columns and "v" not in panel.columns
    assert panel["v_colour"].iloc[0] == (20.0, "red")
    meta.revert_df_from_children(panel)
    pd.testing.assert_frame_equal(panel, original)


# --- time series ----------------------------------------------------------------------------


def test_make_time_series_pivots_ids_into_columns():
    df = pd.DataFrame({"id": [1, 2, 1], "t": [1, 1, 2], "v": [10.0, 20.0, 11.0]})
    meta = DataFrameMeta(
        "df", children=[Integer("id"), Integer("t"), Float("v")], id_index="id", time_index="t"
    )
    wide = meta.make_time_series(df)
    assert wide.index.tolist() == [1, 2]
    assert wide.columns.tolist() == [("v", 1), ("v", 2)]
    assert wide[("v", 1)].tolist() == [10.0, 11.0]
    assert wide[("v", 2)].iloc[0] == 20.0 and np.isnan(wide[("v", 2)].iloc[1])
    assert list(df.index.names) == ["id", "t"] and list(df.columns) == ["v"]
    assert df.index.is_monotonic_increasing


@pytest.mark.parametrize("indices", [{"time_index": "t"}, {"id_index": "id"}, {}])
def test_make_time_series_needs_both_indices(panel, indices):
    before = panel.copy()
    with pytest.raises(UnknownIndexMetaError):
        extracted(panel, **indices).make_time_series(panel)
    pd.testing.assert_frame_equal(panel, before)


# --- dictionary form ------------------------------------------------------------------------


def test_to_dict_holds_the_frame_keys_by_reference(panel):
    meta = extracted(panel, id_index="id", time_index="t", column_aliases={"v": "value"})
    d = meta.to_dict()
    assert d["name"] == "df"
    assert d["columns"] is meta.columns
    assert d["annotations"] is meta.annotations and d["column_aliases"] is meta.column_aliases
    keys = list(d)
    frame_keys = ["id_index", "time_index", "column_aliases", "columns", "num_columns",
                  "num_rows", "annotations"]  # fmt: skip
    assert [k for k in keys if k in frame_keys] == frame_keys
    d["annotations"].append("v")
    assert meta.annotations == ["v"]


def test_from_dict_round_trip(panel):
    meta = extracted(panel, id_index="id", time_index="t", column_aliases={"t": "time"})
    meta.annotate(Compound("pair", children=[meta["v"], meta["colour"]]))
    d = meta.to_dict()
    rebuilt = DataFrameMeta.from_dict(d)
    assert type(rebuilt) is DataFrameMeta
    assert rebuilt.columns is d["columns"]
    for attribute in ("name", "id_index", "time_index", "column_aliases", "num_columns",
                      "num_rows", "annotations"):  # fmt: skip
        assert getattr(rebuilt, attribute) == getattr(meta, attribute)
    assert list(rebuilt) == list(meta)
    assert rebuilt["pair"].children[0].to_dict() == meta["pair"].children[0].to_dict()
    assert rebuilt.diagnostics() == meta.diagnostics()


def test_from_dict_with_only_a_name():
    meta = DataFrameMeta.from_dict({"name": "empty"})
    assert (meta.name, len(meta), meta.column_aliases, meta.annotations) == ("empty", 0, {}, [])
    assert meta.id_index is None and meta.num_rows is None


@pytest.mark.parametrize(
    ("d", "error"),
    [({}, KeyError), ({"name": "df", "id_index": "missing"}, ValueError)],
)
def test_from_dict_refusals(d, error):
    with pytest.raises(error):
        DataFrameMeta.from_dict(d)


def test_from_dict_builds_the_class_it_is_called_on():
    class Wide(DataFrameMeta):
        pass

    assert type(Wide.from_dict({"name": "w"})) is Wide


# --- copies, config, diagnostics ------------------------------------------------------------


def test_copy_is_shallow_with_its_own_containers(panel):
    meta = extracted(panel)
    meta.annotate(Compound("pair", children=[meta["v"], meta["colour"]]))
    duplicate = meta.copy()
    assert duplicate.annotations == ["pair"] and duplicate.annotations is not meta.annotations
    duplicate.annotations.append("other")
    assert meta.annotations == ["pair"]
    assert duplicate["id"] is meta["id"]
    assert duplicate.columns.equals(meta.columns) and duplicate.columns is not meta.columns
    del duplicate["id"]
    assert "id" in meta


def test_copy_of_a_subclass_is_a_plain_frame_meta():
    class Wide(DataFrameMeta):
        pass

    assert type(Wide("w").copy()) is DataFrameMeta


def test_get_config_groups_children_by_registry_name():
    meta = DataFrameMeta("df", children=[Float("a"), Integer("b"), Float("c")])
    config = meta.get_config()
    assert type(config) is dict and config == {"Float": ["a", "c"], "Integer": ["b"]}


def test_get_config_refuses_unregistered_classes(monkeypatch):
    registry = dict(Meta.get_registry())
    del registry["Float"]
    monkeypatch.setattr(Meta, "get_registry", staticmethod(lambda: registry))
    with pytest.raises(KeyError):
        DataFrameMeta("df", children=[Float("a")]).get_config()


def test_diagnostics_per_child(panel):
    assert DataFrameMeta("df").diagnostics() == {}
    diagnostics = extracted(panel).diagnostics()
    assert list(diagnostics) == ["id", "t", "v", "colour"]
    assert diagnostics["v"] == extracted(panel)["v"].diagnostics()
