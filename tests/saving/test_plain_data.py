"""Plain data: every kind of value a learned dictionary holds comes back equal and typed."""

from datetime import timedelta, timezone

import numpy as np
import pandas as pd
import pytest

from velora.metadata.factory import MetaExtractor
from velora.saving.plain_data import UnreadablePlainDataError, dumps, loads

PARIS = pd.Timestamp("2024-03-31 01:30").tz_localize("Europe/Paris")


@pytest.mark.parametrize(
    "value",
    [
        {"a": [1, 2.5, None, True, "x"]},
        [float("nan"), float("inf"), -float("inf")],
        {1: "int key", 2.5: "float key", ("a", 1): "tuple key", "__velora_type__": "tag as key"},
        np.int32(-7), np.float32(0.1), np.bool_(True),
        np.datetime64("1677-09-22T00:00:00.123456789"), np.datetime64("NaT", "s"),
        np.timedelta64(-3, "h"), pd.NaT,
        PARIS, pd.Timestamp("2024-01-01", tz=timezone(timedelta(hours=-5, minutes=-30))),
        pd.Timestamp("2024-01-01 10:00", tz="UTC"), pd.Timedelta("1 days 00:00:00.000001"),
        pd.Index(["a", "b"], name="cols"), pd.Index([3, 1, 2]), pd.Index([0.5, np.nan]),
        pd.DatetimeIndex([PARIS, None], name="t"), pd.to_timedelta(["1h", "2h"]),
        pd.Series([1.5, np.nan], index=["p", "q"], name="s"),
        pd.Series([PARIS, pd.NaT], index=["a", "b"]),
        np.arange(6, dtype="int16").reshape(2, 3), np.array(["2024-01-01"], dtype="datetime64[D]"),
    ],
)  # fmt: skip
def test_values_come_back_equal_and_of_the_same_type(value):
    back = loads(dumps(value))
    assert type(back) is type(value)
    if isinstance(value, pd.Index):
        pd.testing.assert_index_equal(back, value, exact=True)
    elif isinstance(value, pd.Series):
        pd.testing.assert_series_equal(back, value, check_index_type=True)
    elif isinstance(value, np.ndarray):
        np.testing.assert_array_equal(back, value)
        assert back.dtype == value.dtype
    elif isinstance(value, pd.Timestamp):
        assert back == value and str(back.tz) == str(value.tz) and back.unit == value.unit
    elif value is pd.NaT or (isinstance(value, np.datetime64) and np.isnat(value)):
        assert pd.isna(back) and getattr(back, "dtype", None) == getattr(value, "dtype", None)
    else:
        assert repr(back) == repr(value)


def test_an_extracted_meta_dictionary_comes_back_exactly():
    df = pd.DataFrame({
        "id": [1, 1, 2], "x": [1.5, 2.5, np.nan], "text": ["a", "b", "a"],
        "t": pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"]).tz_localize("Asia/Tokyo"),
        "gap": pd.to_timedelta([1, 2, 3], unit="h"),
    })  # fmt: skip
    form = MetaExtractor.extract(df).to_dict()
    back = loads(dumps(form))
    pd.testing.assert_index_equal(back.pop("columns"), form.pop("columns"), exact=True)
    assert repr(back) == repr(form)


@pytest.mark.parametrize(
    "text", ["", "{", '{"__velora_type__": "pickle", "data": "x"}', '{"__velora_type__": "index"}']
)
def test_text_that_is_not_plain_data_is_refused(text):
    with pytest.raises(UnreadablePlainDataError):
        loads(text)


def test_a_value_of_no_known_kind_is_named_where_it_is():
    with pytest.raises(TypeError, match=r"the value\['model'\] is a object, which cannot be saved"):
        dumps({"model": object()})
