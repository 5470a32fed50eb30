"""Date transformers: day numbers, business days, calendar categories and the pipeline."""

import datetime as dt
import subprocess
import sys
import traceback
import typing

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.config import DateTransformerConfig
from velora.metadata.value.datetime import BusDateTime, DateTime
from velora.transformer.base import SequentialTransformer, Transformer
from velora.transformer.child import date
from velora.transformer.child.categorical import CategoricalTransformer
from velora.transformer.child.date import (
    BusDateToNumericTransformer,
    DateCategoricalTransformer,
    DateToNumericTransformer,
    DateTransformer,
)
from velora.transformer.child.quantile import QuantileTransformer
from velora.transformer.child.standard_scaler import StandardScaler
from velora.transformer.exceptions import TransformerNotFitError

T = pd.Timestamp
MONDAY = T("2020-01-06")


def dates(*texts) -> pd.DataFrame:
    return pd.DataFrame({"d": pd.to_datetime(pd.Series(texts, dtype=object))})


def encoded(transformer, *texts) -> list[float]:
    return transformer.transform(dates(*texts))["d"].tolist()


def decoded(transformer, *numbers) -> list[pd.Timestamp]:
    return transformer.inverse_transform(pd.DataFrame({"d": list(numbers)}))["d"].tolist()


# --- the module and its classes -------------------------------------------------------------


def test_module_top_level_in_order():
    public = [name for name in vars(date) if not name.startswith("__")]
    assert public == [
        "List", "Optional", "Type", "TypeVar", "np", "pd", "DateTransformerConfig", "Affine",
        "BusDateTime", "get_date_format", "SequentialTransformer", "Transformer",
        "TransformerNotFitError", "CategoricalTransformer", "QuantileTransformer",
        "StandardScaler", "DateTransformer", "DateToNumericType", "DateToNumericTransformer",
        "BusDateToNumericTransformer", "DateCategoricalTransformer",
    ]  # fmt: skip
    assert date.__file__.endswith(".so")
    assert date.DateToNumericType.__bound__ == typing.ForwardRef("DateToNumericTransformer")
    assert date.DateToNumericType.__module__ == "velora.transformer.child.date"


@pytest.mark.parametrize(
    ("cls", "base", "members", "doc_start"),
    [
        (DateTransformer, SequentialTransformer, ["__init__", "inverse_transform", "from_meta"],
         None),
        (DateToNumericTransformer, Transformer,
         ["__init__", "__repr__", "fit", "transform", "inverse_transform", "from_meta"],
         "Transform datetime64 field to a continuous representation.\n"),
        (BusDateToNumericTransformer, DateToNumericTransformer,
         ["__init__", "transform", "inverse_transform"],
         "Transform datetime64 field to a continuous representation of business dates.\n"),
        (DateCategoricalTransformer, Transformer,
         ["__init__", "__repr__", "fit", "transform", "inverse_transform", "from_meta",
          "split_datetime", "out_columns"],
         "Creates hour, day-of-week, day and month values from a datetime, and transforms "
         "using CategoricalTransformer.\n"),
    ],
    ids=lambda value: getattr(value, "__name__", ""),
)  # fmt: skip
def test_class_statements(cls, base, members, doc_start):
    assert cls.__bases__ == (base,)
    body = [name for name in vars(cls) if name not in {"__module__", "__qualname__", "__doc__"}]
    assert body[: len(members)] == members
    assert set(body[len(members) :]) <= {"__dict__", "__weakref__"}
    if doc_start is None:
        assert cls.__doc__ is None
    else:
        assert cls.__doc__.startswith(doc_start)
        assert "Attributes:" in cls.__doc__


def test_split_datetime_docstring_and_read_only_out_columns():
    assert DateCategoricalTransformer.split_datetime.__doc__ == (
        "Split datetime column into separate hour, dow, day and month fields."
    )
    with pytest.raises(AttributeError):
        DateCategoricalTransformer("d").out_columns = []


@pytest.mark.parametrize(
    "make",
    [
        DateToNumericTransformer,
        BusDateToNumericTransformer,
        DateCategoricalTransformer,
        DateTransformer,
    ],
)
@pytest.mark.parametrize(
    ("bad", "type_name"), [(b"d", "bytes"), (3, "int"), (type("Name", (str,), {})("d"), "Name")]
)
def test_name_must_be_exactly_str(make, bad, type_name):
    with pytest.raises(TypeError) as caught:
        make(bad)
    assert str(caught.value) == (
        f"Argument 'name' has incorrect type (expected str, got {type_name})"
    )
    assert make(None).name is None


@pytest.mark.parametrize(
    ("transformer", "text"),
    [
        (DateToNumericTransformer("d"),
         'DateToNumericTransformer(name="d", date_format="None", unit="days", start_date=None)'),
        (BusDateToNumericTransformer("d", start_date=MONDAY, hours_min=9, hours_max=17,
                                     date_format="%d/%m/%Y"),
         'BusDateToNumericTransformer(name="d", date_format="%d/%m/%Y", unit="days", '
         "start_date=2020-01-06 00:00:00)"),
        (DateCategoricalTransformer("d", "%d/%m/%Y"),
         'DateCategoricalTransformer(name="d", date_format="%d/%m/%Y")'),
    ],
)  # fmt: skip
def test_representations(transformer, text):
    assert repr(transformer) == text


# --- DateToNumericTransformer ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "days"),
    [("2020-01-06", 0.0), ("2020-01-07 12:00", 1.5), ("2020-01-05", -1.0), (None, None)],
)
def test_days_after_start(text, days):
    [number] = encoded(DateToNumericTransformer("d", start_date=MONDAY), text)
    assert number == days or (days is None and np.isnan(number))


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_days_do_not_depend_on_the_column_resolution(unit):
    transformer = DateToNumericTransformer("d", start_date=T("2020-01-06 00:00:00.5"))
    df = pd.DataFrame({"d": pd.to_datetime(["2020-01-07 00:00:00.5"]).as_unit(unit)})
    expected = 1.0 if unit != "s" else 1.0 - 0.5 / 86400
    assert transformer.transform(df)["d"].tolist() == [expected]


def test_nanosecond_dates_centuries_apart_keep_their_distance():
    early, late = dt.datetime(1700, 1, 1), dt.datetime(2250, 6, 30, 12)
    df = pd.DataFrame({"d": pd.Series([late, pd.NaT], dtype="datetime64[ns]")})
    transformer = DateToNumericTransformer("d", start_date=T(early).as_unit("ns"))
    number = transformer.transform(df)["d"].tolist()
    assert number[0] == (late - early).total_seconds() / 86400 and np.isnan(number[1])


def test_fit_learns_format_and_earliest_parseable_date_once():
    transformer = DateToNumericTransformer("d")
    df = pd.DataFrame({"d": ["05/01/2020", "03/01/2020", "not a date", "04/01/2020"]})
    before = df.copy()
    assert transformer.fit(df) is transformer
    pd.testing.assert_frame_equal(df, before)
    assert (transformer.date_format, transformer.start_date) == ("%d/%m/%Y", T("2020-01-03"))
    transformer.fit(dates("2019-01-01 10:00"))
    assert (transformer.date_format, transformer.start_date) == ("%d/%m/%Y", T("2020-01-03"))


def test_fit_without_any_date_format_fails_the_assertion():
    with pytest.raises(AssertionError):
        DateToNumericTransformer("d").fit(pd.DataFrame({"d": ["apple", "pear"]}))


def test_assertion_is_skipped_under_optimisation():
    script = (
        "import pandas as pd\n"
        "from velora.transformer.child.date import DateToNumericTransformer\n"
        "t = DateToNumericTransformer('d').fit(pd.DataFrame({'d': ['apple', '2020-01-02']}))\n"
        "print(t.start_date)\n"
    )
    run = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "2020-01-02 00:00:00"


def test_transform_parses_text_in_place_and_returns_the_frame():
    transformer = DateToNumericTransformer("d", start_date=T("2020-01-03"), date_format="%d/%m/%Y")
    df = pd.DataFrame({"d": ["04/01/2020", "2020-01-04", None], "other": [1, 2, 3]})
    assert transformer.transform(df, max_workers=1) is df
    assert df["d"].tolist()[0] == 1.0
    assert df["d"].isna().tolist() == [False, True, True]
    assert df["other"].tolist() == [1, 2, 3]


def test_inverse_transform_reads_numbers_in_the_unit():
    transformer = DateToNumericTransformer("d", unit="hours", start_date=MONDAY)
    assert decoded(transformer, 36.0, np.nan) == [T("2020-01-07 12:00"), pd.NaT]


@pytest.mark.parametrize(
    ("unit", "number", "error"),
    [
        ("fortnights", 1.0, ValueError),
        ("days", np.inf, pd.errors.OutOfBoundsDatetime),
        ("days", 1e9, pd.errors.OutOfBoundsDatetime),
    ],
)
def test_inverse_transform_refuses_unknown_units_and_dates_out_of_range(unit, number, error):
    with pytest.raises(error):
        decoded(DateToNumericTransformer("d", unit=unit, start_date=MONDAY), number)


@pytest.mark.parametrize("method", ["transform", "inverse_transform"])
def test_without_start_date_pandas_refuses_the_arithmetic(method):
    df = pd.DataFrame({"d": pd.to_datetime(["2020-01-01"]) if method == "transform" else [1.0]})
    with pytest.raises(TypeError, match="NoneType"):
        getattr(DateToNumericTransformer("d"), method)(df)


@settings(max_examples=60, deadline=None)
@given(
    start=st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(2100, 1, 1)),
    moments=st.lists(st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(2100, 1, 1)), min_size=1),
)
def test_days_round_trip(start, moments):
    transformer = DateToNumericTransformer("d", start_date=T(start))
    original = pd.Series(moments, dtype="datetime64[us]")
    numbers = transformer.transform(pd.DataFrame({"d": original}))
    back = transformer.inverse_transform(numbers)["d"]
    # A float holds about 1 us over two centuries of days.
    assert ((back - original).abs() <= pd.Timedelta(2, "us")).all()


def test_days_at_whole_seconds_survive_float_noise():
    transformer = DateToNumericTransformer("d", start_date=MONDAY)
    just_short = [np.nextafter(2.0, 0.0), 1.0 + 1 / 86400 - 1e-15]
    assert decoded(transformer, *just_short) == [T("2020-01-08"), T("2020-01-07 00:00:01")]


# --- BusDateToNumericTransformer ------------------------------------------------------------

# (start, hours_min, hours_max, date-time, business days); each decodes back to itself.
ROUND_TRIPS = [
    ("2020-01-06", 0, 24, "2020-01-06 06:00", 0.25),
    ("2020-01-06", 0, 24, "2020-01-07 00:00", 1.0),
    ("2020-01-06", 0, 24, "2020-01-08 06:00", 2.25),
    ("2020-01-06", 0, 24, "2020-01-03 12:00", -0.5),
    ("2020-01-06 09:00", 9, 17, "2020-01-06 13:00", 0.5),
    ("2020-01-06 09:00", 9, 17, "2020-01-07 09:00", 1.0),
    ("2020-01-10 15:00", 0, 24, "2020-01-13 15:00", 1.0),
    ("2020-01-11 10:00", 0, 24, "2020-01-13 10:00", 0.0),
    ("2020-01-11 10:00", 0, 24, "2020-01-09 10:00", -1.0),
    ("2020-01-12 10:00", 0, 24, "2020-01-14 10:00", 1.0),
    ("2020-01-12 10:00", 0, 24, "2020-01-08 10:00", -2.0),
    ("2020-01-12 12:00", 9, 17, "2020-01-14 13:00", 1.125),
]


def business(start, hours_min=0, hours_max=24):
    return BusDateToNumericTransformer(
        "d", start_date=T(start), hours_min=hours_min, hours_max=hours_max
    )


@pytest.mark.parametrize(("start", "low", "high", "moment", "number"), ROUND_TRIPS)
def test_business_days_encode_and_decode(start, low, high, moment, number):
    transformer = business(start, low, high)
    assert encoded(transformer, moment) == pytest.approx([number], abs=1e-12)
    assert decoded(transformer, number) == [T(moment)]


@pytest.mark.parametrize(
    ("start", "low", "high", "moment", "number", "decodes_to"),
    [
        ("2020-01-06", 0, 24, "2020-01-11 12:00", 5.5, "2020-01-13 12:00"),
        ("2020-01-06 09:00", 9, 17, "2020-01-06 18:00", 1.125, "2020-01-07 10:00"),
    ],
)
def test_values_off_the_business_window_do_not_come_back(start, low, high, moment, number,
                                                          decodes_to):  # fmt: skip
    transformer = business(start, low, high)
    assert encoded(transformer, moment) == [number]
    assert decoded(transformer, number) == [T(decodes_to)]


@settings(max_examples=80, deadline=None)
@given(
    start=st.datetimes(dt.datetime(1990, 1, 1), dt.datetime(2040, 1, 1)).map(
        lambda moment: moment.replace(microsecond=0)),
    hours=st.tuples(st.integers(0, 23), st.integers(1, 24)).filter(lambda h: h[0] < h[1]),
    days=st.lists(st.dates(dt.date(1990, 1, 1), dt.date(2040, 1, 1)), min_size=1, max_size=20),
    offsets=st.lists(st.integers(0, 86399), min_size=20, max_size=20),
)  # fmt: skip
def test_business_moments_round_trip_from_any_start(start, hours, days, offsets):
    low, high = hours
    business_days = np.busday_offset(np.array(days, dtype="M8[D]"), 0, roll="forward")
    seconds = [low * 3600 + offset % ((high - low) * 3600) for offset in offsets[: len(days)]]
    moments = pd.Series(business_days + np.array(seconds, dtype="m8[s]"))
    transformer = business(start, low, high)
    numbers = transformer.transform(pd.DataFrame({"d": moments}))
    assert transformer.inverse_transform(numbers)["d"].tolist() == moments.tolist()


@settings(max_examples=60, deadline=None)
@given(
    start=st.datetimes(dt.datetime(2000, 1, 1), dt.datetime(2030, 1, 1)),
    moments=st.lists(st.datetimes(dt.datetime(1990, 1, 1), dt.datetime(2040, 1, 1)), min_size=1),
    hours=st.sampled_from([(0, 24), (9, 17), (6, 22)]),
)
def test_business_days_match_numpy_busday_count(start, moments, hours):
    low, high = hours
    start = T(start)
    values = np.array(moments, dtype="M8[us]")
    days = values.astype("M8[D]")
    time_of_day = (values - days) / np.timedelta64(1, "s")
    offset = (start.hour - low) * 3600 + start.minute * 60 + start.second
    expected = np.busday_count(start.date(), days) + (time_of_day - low * 3600 - offset) / (
        (high - low) * 3600
    )
    transformer = BusDateToNumericTransformer("d", start_date=start, hours_min=low, hours_max=high)
    got = transformer.transform(pd.DataFrame({"d": values}))["d"].to_numpy()
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9)


def test_missing_dates_and_numbers_leave_the_rest_of_the_column():
    transformer = BusDateToNumericTransformer("d", start_date=MONDAY, date_format="%Y-%m-%d %H:%M")
    df = pd.DataFrame({"d": ["2020-01-06 06:00", None, "garbage", "2020-01-07 00:00"]})
    numbers = transformer.transform(df)["d"].tolist()
    assert numbers[0] == 0.25 and numbers[3] == 1.0
    assert np.isnan(numbers[1]) and np.isnan(numbers[2])
    assert decoded(transformer, 0.25, np.nan, 1.0) == [
        T("2020-01-06 06:00"),
        pd.NaT,
        T("2020-01-07"),
    ]


def test_business_numbers_just_short_of_a_day_decode_to_its_opening():
    transformer = business("2020-01-10 09:00", 9, 17)
    assert decoded(transformer, np.nextafter(1.0, 0.0)) == [T("2020-01-13 09:00")]
    assert decoded(transformer, 1.0 - 0.9 / 28800) == [T("2020-01-10 16:59:59")]


@pytest.mark.parametrize(("low", "high"), [(9, 9), (17, 9), (-1, 12), (0, 25)])
def test_business_window_must_be_a_part_of_the_day(low, high):
    with pytest.raises(ValueError, match=f"hours_min={low} and hours_max={high}"):
        BusDateToNumericTransformer("d", hours_min=low, hours_max=high)


def test_business_transformer_needs_a_start_date():
    transformer = BusDateToNumericTransformer("d", date_format="%d/%m/%Y")
    df = pd.DataFrame({"d": ["03/01/2020"]})
    with pytest.raises(TransformerNotFitError) as caught:
        transformer.transform(df)
    assert caught.value.args == ()
    assert df["d"].tolist() == [T("2020-01-03")]
    with pytest.raises(TransformerNotFitError):
        transformer.inverse_transform(pd.DataFrame({"d": [1.0]}))
    entries = [frame.f_code.co_name for frame, _ in traceback.walk_tb(caught.tb)]
    assert "velora.transformer.child.date.BusDateToNumericTransformer.transform" in entries


def test_business_fit_and_from_meta_are_inherited():
    meta = DateTime("d", min=np.datetime64("2020-01-06T09:30"), date_format="%Y-%m-%d %H:%M")
    transformer = BusDateToNumericTransformer.from_meta(meta)
    assert type(transformer) is BusDateToNumericTransformer
    assert (transformer.hours_min, transformer.hours_max) == (0, 24)
    assert (transformer.start_date, transformer.date_format) == (T("2020-01-06 09:30"),
                                                                  "%Y-%m-%d %H:%M")  # fmt: skip
    assert BusDateToNumericTransformer("d").fit(dates("2020-01-08 10:00")).start_date == T(
        "2020-01-08 10:00"
    )


# --- missing columns and the from_meta builders ---------------------------------------------


TRANSFORMERS = [
    DateToNumericTransformer("d", start_date=MONDAY),
    business("2020-01-06"),
    DateCategoricalTransformer("d").fit(dates("2020-01-06")),
    DateTransformer("d").fit(dates("2020-01-06", "2020-01-07")),
]


# The categorical inverse only drops the features it finds, so it has no column to miss.
@pytest.mark.parametrize(
    ("transformer", "method"),
    [(transformer, method) for transformer in TRANSFORMERS
     for method in ("fit", "transform", "inverse_transform")
     if (type(transformer), method) != (DateCategoricalTransformer, "inverse_transform")],
    ids=lambda value: value if isinstance(value, str) else type(value).__name__,
)  # fmt: skip
def test_a_frame_without_the_column_raises_key_error_unchanged(transformer, method):
    df = pd.DataFrame({"other": ["2020-01-06"]})
    with pytest.raises(KeyError):
        getattr(transformer, method)(df)
    assert df.columns.tolist() == ["other"] and df["other"].tolist() == ["2020-01-06"]


@pytest.mark.parametrize("cls", [DateToNumericTransformer, DateCategoricalTransformer])
@pytest.mark.parametrize("minimum", [None, np.datetime64("2020-01-06T12:00:00.000000")])
def test_from_meta(cls, minimum):
    class BareMeta:
        name = "d"
        min = minimum

    transformer = cls.from_meta(BareMeta())
    assert (type(transformer), transformer.name, transformer.date_format) == (cls, "d", None)
    if cls is DateToNumericTransformer:
        assert transformer.start_date == (None if minimum is None else T("2020-01-06 12:00"))
        assert transformer.unit == "days"


# --- DateCategoricalTransformer -------------------------------------------------------------


def test_split_datetime_names_features_after_the_series():
    features = DateCategoricalTransformer("d").split_datetime(
        pd.Series([T("2020-01-06 13:45"), pd.NaT], name="when", index=[7, 9])
    )
    assert features.columns.tolist() == ["when_hour", "when_dow", "when_day", "when_month"]
    assert features.index.tolist() == [7, 9]
    assert features.loc[7].tolist() == [13, 0, 6, 1]
    assert features.loc[9].isna().all()


def test_split_datetime_of_text_raises_pandas_error_on_a_mismatch():
    transformer = DateCategoricalTransformer("d", "%d/%m/%Y")
    with pytest.raises(ValueError, match="doesn't match format"):
        transformer.fit(pd.DataFrame({"d": ["03/01/2020", "2020-01-03"]}))


def test_categorical_transform_adds_coded_features_beside_the_parsed_date():
    transformer = DateCategoricalTransformer("d")
    fit_frame = pd.DataFrame({"d": ["06/01/2020 13:00", "07/01/2020 14:00"]})
    transformer.fit(fit_frame)
    assert transformer.date_format == "%d/%m/%Y %H:%M"
    assert fit_frame.columns.tolist() == ["d"]
    [hour, dow, day, month] = transformer._transformer.transformers
    assert all(isinstance(child, CategoricalTransformer) for child in (hour, dow, day, month))
    assert [child.name for child in (hour, dow, day, month)] == transformer.out_columns[1:]
    df = pd.DataFrame({"d": ["07/01/2020 14:00", "junk"]})
    out = transformer.transform(df, max_workers=1)
    assert out.columns.tolist() == transformer.out_columns
    assert out["d"].tolist()[0] == T("2020-01-07 14:00") and out["d"].isna().tolist()[1]
    assert out.loc[0, "d_hour":].tolist() == [2, 2, 2, 1]
    assert out.loc[1, "d_hour":].tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("present", [[], ["d_dow"], ["d_hour", "d_day", "d_month", "d_dow"]])
def test_categorical_inverse_drops_the_features_it_finds(present):
    df = pd.DataFrame({"d": [1], "x": [2]} | {column: [0] for column in present})
    assert DateCategoricalTransformer("d").inverse_transform(df, max_workers=1) is df
    assert df.columns.tolist() == ["d", "x"]


# --- DateTransformer ------------------------------------------------------------------------


@pytest.mark.parametrize("continuous_only", [False, True])
@pytest.mark.parametrize("business_dates_only", [False, True])
@pytest.mark.parametrize("quantile", [False, True])
def test_pipeline_children(continuous_only, business_dates_only, quantile):
    config = DateTransformerConfig(continuous_only_dates=continuous_only, quantile=quantile,
                                   unit="hours")  # fmt: skip
    pipeline = DateTransformer("d", start_date=MONDAY, config=config,
                               business_dates_only=business_dates_only, hours_min=8, hours_max=18,
                               date_format="%d/%m/%Y")  # fmt: skip
    kinds = [type(child) for child in pipeline]
    encoder = BusDateToNumericTransformer if business_dates_only else DateToNumericTransformer
    scaler = QuantileTransformer if quantile else StandardScaler
    assert kinds == ([] if continuous_only else [DateCategoricalTransformer]) + [encoder, scaler]
    assert all(child.name == "d" for child in pipeline)
    numeric = pipeline[-2]
    assert (numeric.unit, numeric.start_date, numeric.date_format) == ("hours", MONDAY, "%d/%m/%Y")
    assert pipeline[-1].config is (config.quantile_transformer_config if quantile
                                   else config.standard_scaler_transformer_config)  # fmt: skip
    if business_dates_only:
        assert (numeric.hours_min, numeric.hours_max) == (8, 18)


def test_pipeline_default_configuration():
    pipeline = DateTransformer("d", hours_min=9, hours_max=9)
    assert [type(child) for child in pipeline] == [
        DateCategoricalTransformer, DateToNumericTransformer, StandardScaler]  # fmt: skip
    assert pipeline[1].unit == DateTransformerConfig().unit


def test_pipeline_from_business_meta_defaults_missing_hours():
    meta = BusDateTime("d", date_format="%d/%m/%Y", min=np.datetime64("2020-01-06T00:00:00"))
    meta.hours_min, meta.hours_max = None, 0
    pipeline = DateTransformer.from_meta(meta)
    encoder = pipeline[1]
    assert type(encoder) is BusDateToNumericTransformer
    assert (encoder.hours_min, encoder.hours_max) == (0, 24)
    assert (encoder.start_date, encoder.date_format) == (MONDAY, "%d/%m/%Y")
    assert pipeline[0].date_format == "%d/%m/%Y"


def test_pipeline_from_calendar_meta_learns_the_format_in_fit():
    config = DateTransformerConfig(continuous_only_dates=True)
    pipeline = DateTransformer.from_meta(DateTime("d", date_format="%d/%m/%Y"), config=config)
    assert [type(child) for child in pipeline] == [DateToNumericTransformer, StandardScaler]
    assert (pipeline[0].date_format, pipeline[0].start_date) == (None, None)
    pipeline.fit(pd.DataFrame({"d": ["2020-01-03", "2020-01-05"]}))
    assert (pipeline[0].date_format, pipeline[0].start_date) == ("%Y-%m-%d", T("2020-01-03"))


@pytest.mark.parametrize(
    ("texts", "business_dates_only"),
    [
        (["03/01/2020", "15/02/2021", None, "29/02/2024"], False),
        (["2020-01-03 12:34:56", "2019-12-31 23:59:59", "2020-01-06 00:00:01"], False),
        (["2020-01-03 12:34:56", "2019-12-31 23:59:59", "2020-01-06 00:00:01"], True),
    ],
)
def test_pipeline_round_trip_restores_the_text(texts, business_dates_only):
    pipeline = DateTransformer("d", business_dates_only=business_dates_only)
    df = pd.DataFrame({"d": texts, "other": range(len(texts))})
    pipeline.fit(df)
    out = pipeline.transform(df.copy())
    assert out.columns.tolist() == ["d", "other", "d_hour", "d_dow", "d_day", "d_month"]
    back = pipeline.inverse_transform(out, max_workers=1)
    assert back.columns.tolist() == ["d", "other"]
    assert back["d"].astype(object).where(back["d"].notna(), None).tolist() == texts


@settings(max_examples=30, deadline=None)
@given(
    moments=st.lists(st.datetimes(dt.datetime(1950, 1, 1), dt.datetime(2050, 1, 1)), min_size=2,
                     max_size=30),
    business_dates_only=st.booleans(),
)  # fmt: skip
def test_iso_text_round_trips_through_the_scaled_pipeline(moments, business_dates_only):
    texts = [moment.strftime("%Y-%m-%d %H:%M:%S") for moment in moments]
    if business_dates_only:
        texts = [text for text, moment in zip(texts, moments, strict=True)
                 if moment.weekday() < 5] or ["2020-01-06 10:00:00"]  # fmt: skip
    config = DateTransformerConfig(continuous_only_dates=True)
    pipeline = DateTransformer("d", config=config, business_dates_only=business_dates_only)
    pipeline.fit(pd.DataFrame({"d": texts}))
    out = pipeline.transform(pd.DataFrame({"d": texts}))
    assert pipeline.inverse_transform(out)["d"].tolist() == texts
