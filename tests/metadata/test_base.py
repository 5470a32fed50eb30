from collections.abc import MutableMapping

import numpy as np
import pandas as pd
import pytest

import velora.metadata.value as value
from velora.metadata.base import Affine, Meta, Nominal, ValueMeta
from velora.metadata.value import (
    Bool,
    BusDateTime,
    Categorical,
    Compound,
    DateTime,
    Float,
    Integer,
    String,
    TimeDelta,
)

FRAME = pd.DataFrame(
    {
        "size": [1.5, np.nan, 3.0, -2.0],
        "count": pd.array([4, None, 1, 7], dtype="Int64"),
        "color": ["red", None, "blue", "red"],
        "flag": pd.array([True, None, False, True], dtype="boolean"),
        "when": pd.to_datetime(["2020-01-01 00:00", None, "2021-06-30 12:00", "2020-03-01 00:00"]),
        "wait": pd.to_timedelta(["1h", None, "30min", "2D"]),
    }
)

META_CASES = {
    "Meta": lambda: Meta(name="root", children=[Float("size"), String("color")]),
    "ValueMeta": lambda: ValueMeta("color"),
    "Nominal": lambda: Nominal("color"),
    "Affine": lambda: Affine("count"),
    "Categorical": lambda: Categorical("count"),
    "String": lambda: String("color"),
    "Bool": lambda: Bool("flag"),
    "Integer": lambda: Integer("count"),
    "Float": lambda: Float("size"),
    "DateTime": lambda: DateTime("when"),
    "BusDateTime": lambda: BusDateTime("when", hours_min=9, hours_max=17),
    "Compound": lambda: Compound("pair", children=[Integer("count"), String("color")]),
    "TimeDelta": lambda: TimeDelta("wait"),
}


def assert_same_meta(expected, actual):
    assert type(actual) is type(expected)
    assert {**vars(actual), "_children": None} == {**vars(expected), "_children": None}
    assert list(actual) == list(expected)
    for expected_child, actual_child in zip(expected.children, actual.children, strict=True):
        assert_same_meta(expected_child, actual_child)


def test_round_trip_cases_cover_every_framework_class():
    modules = ("velora.metadata.base", value.__name__)
    registered = {n for n, c in Meta.get_registry().items() if c.__module__.startswith(modules)}
    assert registered == set(META_CASES)


@pytest.mark.parametrize("make_meta", META_CASES.values(), ids=META_CASES.keys())
def test_dict_form_rebuilds_equal_meta(make_meta):
    for meta in (make_meta(), make_meta().extract(FRAME)):
        assert_same_meta(meta, Meta.from_dict(meta.to_dict()))
        (child,) = Meta.children_from_dict(Meta(name="holder", children=[meta]).to_dict())
        assert_same_meta(meta, child)


def test_registry_covers_subclasses_defined_later():
    class Percentage(Float):
        def __init__(self, name, *, scale=100, **affine):
            super().__init__(name=name, **affine)
            self.scale = scale

    assert Meta.get_registry()["Percentage"] is Percentage
    meta = Percentage("size", scale=1).extract(FRAME)
    assert_same_meta(meta, Meta.from_dict(meta.to_dict()))


@pytest.mark.parametrize("meta", [String("color"), Integer("count"), DateTime("when")], ids=repr)
def test_create_index_carries_meta_name(meta):
    index = meta.create_index(FRAME)
    assert index.name == meta.name and index.equals(pd.Index(FRAME[meta.name]))


@pytest.mark.parametrize(
    ("meta", "learned"),
    [
        (Float("size"), {"min": -2.0, "max": 3.0}),
        (Integer("count"), {"min": 1, "max": 7}),
        (
            String("color"),
            {"categories": ["red", "blue"], "probabilities": {"red": 2 / 3, "blue": 1 / 3}},
        ),
        (Bool("flag"), {"categories": [True, False]}),
        (
            DateTime("when"),
            {"min": np.datetime64("2020-01-01"), "max": np.datetime64("2021-06-30T12")},
        ),
    ],
    ids=repr,
)
def test_missing_values_are_counted_not_learned(meta, learned):
    meta.extract(FRAME)
    assert (meta.count, meta.num_missing, meta.nan_freq) == (3, 1, 0.25)
    assert {key: getattr(meta, key) for key in learned} == learned


@pytest.mark.parametrize(
    ("meta", "further", "widened"),
    [
        (Float("size"), [10.0, np.nan], {"min": -2.0, "max": 10.0, "num_missing": 2}),
        (String("color"), ["green", "red"], {"category_counts": {"red": 3, "blue": 1, "green": 1}}),
    ],
    ids=repr,
)
def test_update_widens_and_extract_starts_afresh(meta, further, widened):
    meta.extract(FRAME).update_meta(pd.DataFrame({meta.name: further}))
    assert {key: getattr(meta, key) for key in widened} == widened
    assert_same_meta(type(meta)(meta.name).extract(FRAME), meta.extract(FRAME))


class Schema(Meta[ValueMeta], MutableMapping[str, ValueMeta]):
    def __setitem__(self, name, meta):
        self._children[name] = meta

    def __delitem__(self, name):
        del self._children[name]


def test_meta_combines_with_mutable_mapping():
    size, color = Float("size"), String("color")
    schema = Schema(name="s", children=[size])
    schema["color"] = color
    assert (list(schema), len(schema), schema.items()) == (
        ["size", "color"],
        2,
        [("size", size), ("color", color)],
    )
    assert schema == Schema(name="other", children=[size, color])
    assert schema.pop("size") is size and schema.children == [color]
    with pytest.raises(KeyError, match="size"):
        schema["size"]
