import datetime as dt

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.metadata.value.datetime import CANDIDATE_FORMATS, DateTime, get_date_format


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (["13/01/2020", "01/02/2020"], "%d/%m/%Y"),
        (["01/13/2020", "02/01/2020"], "%m/%d/%Y"),
        (["01/02/2020", "03/04/2021"], "%d/%m/%Y"),
        (["31.12.2020 23:59", "01.01.2021 00:00"], "%d.%m.%Y %H:%M"),
        (["2020-01-02T10:30:00", "2020-01-03T11:00:59"], "%Y-%m-%dT%H:%M:%S"),
        (["2020-01-02 10:30:00.123", "2020-01-02 10:30:01.5"], "%Y-%m-%d %H:%M:%S.%f"),
        (["2020-01-02", "2020-01-03", "13/01/2020"], "%Y-%m-%d"),
        (["13/01/2020", "junk", None, "14/01/2020", ""], "%d/%m/%Y"),
        (["apple", "12"], None),
        ([None, None], None),
        (pd.to_datetime(["2020-01-01", None]), "%Y-%m-%d"),
        (pd.to_datetime(["2020-01-01 00:00", "2021-03-04 10:00"]), "%Y-%m-%d %H:%M:%S"),
        (pd.to_datetime([None, None]), None),
        ([20200101, 20200102], None),
    ],
)
def test_date_format_of_series(values, expected):
    assert get_date_format(pd.Series(values)) == expected


@settings(max_examples=40, deadline=None)
@given(
    date_format=st.sampled_from(CANDIDATE_FORMATS),
    moments=st.lists(st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(2100, 1, 1)), min_size=1),
)
def test_found_format_reads_dates_as_they_were_written(date_format, moments):
    # A day past the 12th tells day-first from month-first, as real columns usually do.
    texts = pd.Series([m.strftime(date_format) for m in [*moments, dt.datetime(2000, 1, 13)]])
    written = pd.to_datetime(texts, format=date_format)
    pd.testing.assert_series_equal(pd.to_datetime(texts, format=get_date_format(texts)), written)


@pytest.mark.parametrize(
    "column",
    [
        ["13/01/2020", None, "oops", "02/03/2021"],
        pd.to_datetime(["2020-01-13", None, None, "2021-03-02"]),
    ],
)
def test_extract_learns_format_and_range(column):
    meta = DateTime("d").extract(pd.DataFrame({"d": column}))
    assert meta.date_format in ("%d/%m/%Y", "%Y-%m-%d")
    assert (meta.min, meta.max) == (np.datetime64("2020-01-13"), np.datetime64("2021-03-02"))
    assert isinstance(meta.min, np.datetime64) and (meta.count, meta.num_missing) == (2, 2)
    meta.update_meta(pd.DataFrame({"d": pd.to_datetime(["2019-12-31"])}))
    assert meta.min == np.datetime64("2019-12-31") and meta.count == 3
