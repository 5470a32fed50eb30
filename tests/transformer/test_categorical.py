import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velora.transformer.child.categorical import CategoricalTransformer


def fitted(values, dtype=None):
    return CategoricalTransformer("c").fit(pd.DataFrame({"c": pd.Series(values, dtype=dtype)}))


def codes_of(transformer, values, dtype=None):
    df = pd.DataFrame({"c": pd.Series(values, dtype=dtype)})
    return transformer.transform(df)["c"].tolist()


@pytest.mark.parametrize(
    "values, dtype",
    [
        (st.sampled_from(["a", "b", "ccc", None]), "str"),
        (st.integers(-5, 5), "int64"),
        (st.sampled_from([0.5, 2.0, np.nan]), "float64"),
        (st.booleans(), "bool"),
        (st.sampled_from([1, 2, None]), "Int64"),
        (st.sampled_from(["2020-01-01", "2021-06-30 12:00", None]), "datetime64[us]"),
    ],
    ids=lambda value: value if isinstance(value, str) else "",
)
@given(data=st.data())
def test_round_trip_restores_values_and_dtype(values, dtype, data):
    column = pd.Series(data.draw(st.lists(values, min_size=1, max_size=50)), dtype=dtype)
    transformer = CategoricalTransformer("c")
    codes = transformer.fit_transform(pd.DataFrame({"c": column}))
    assert codes["c"].between(0, transformer.num_categories - 1).all()
    assert (codes["c"] == transformer.nan_code).sum() == column.isna().sum()
    back = transformer.inverse_transform(codes)["c"]
    pd.testing.assert_series_equal(back, column, check_names=False)


@pytest.mark.parametrize("missing", [None, np.nan, pd.NA, pd.NaT], ids=repr)
def test_codes_follow_string_order_and_missing_takes_zero(missing):
    transformer = fitted([10, missing, 9, 2, 10], dtype=object)
    assert transformer.categories == [10, 2, 9]
    assert transformer.num_categories == 4
    assert codes_of(transformer, [10, 9, missing, 2], dtype=object) == [1, 3, 0, 2]


def test_unknown_categories_take_missing_code():
    assert codes_of(fitted(["a", "b"]), ["b", "zzz", "a"]) == [2, 0, 1]


@pytest.mark.parametrize(
    "values, codes, expected",
    [
        ([3, 1], [2, 0, 9, -1], pd.Series([3.0, np.nan, np.nan, np.nan])),
        ([True, False], [2, 1], pd.Series([True, False])),
        ([True, False], [2, 0], pd.Series([True, np.nan], dtype=object)),
        (["x", "y"], [1.0, np.nan], pd.Series(["x", np.nan], dtype="str")),
    ],
)
def test_inverse_maps_missing_and_out_of_range_codes_to_nan(values, codes, expected):
    back = fitted(values).inverse_transform(pd.DataFrame({"c": codes}))["c"]
    pd.testing.assert_series_equal(back, expected, check_names=False)


def test_all_missing_column_has_only_missing_code():
    transformer = fitted([None, None], dtype=object)
    assert (transformer.categories, transformer.num_categories) == ([], 1)
    assert codes_of(transformer, ["a", None], dtype=object) == [0, 0]
