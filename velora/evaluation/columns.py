"""Reading the columns of an event table: times as dates or numbers, numeric or categorical."""

import pandas as pd
from pandas.api.types import is_bool_dtype, is_datetime64_any_dtype, is_numeric_dtype

from velora.metadata.value.datetime import get_date_format, parse_dates

_SECOND = pd.Timedelta(seconds=1)


class UnreadableTimeError(ValueError):
    """A time column holds values that are neither dates nor numbers."""

    def __init__(self, name: str) -> None:
        super().__init__(f"time column '{name}' cannot be read as dates or numbers")


def is_numeric_column(sr: pd.Series) -> bool:
    """Whether a column is compared as numbers (its dtype is numeric and not boolean)."""
    return is_numeric_dtype(sr.dtype) and not is_bool_dtype(sr.dtype)


def date_format_of(sr: pd.Series) -> str | None:
    """The text format of a date column, or None when it holds numbers or date-times."""
    if is_numeric_column(sr) or is_datetime64_any_dtype(sr.dtype):
        return None
    return get_date_format(sr)


def parse_time(sr: pd.Series) -> pd.Series:
    """A time column as date-times (from text or date-times) or as floats (from numbers).

    Raises `UnreadableTimeError` when any present value reads as neither.
    """
    if is_datetime64_any_dtype(sr.dtype):
        return sr
    if is_numeric_column(sr):
        return sr.astype(float)
    date_format = date_format_of(sr)
    parsed = parse_dates(sr, date_format) if date_format else None
    if parsed is not None and parsed[sr.notna()].isna().any():
        # A few values written differently (e.g. without fractional seconds) read one by one.
        parsed = parse_dates(sr, None)
    if parsed is None or parsed[sr.notna()].isna().any():
        raise UnreadableTimeError(str(sr.name))
    return parsed


def time_as_numbers(sr: pd.Series) -> pd.Series:
    """A time column as floats: seconds since the epoch for dates, the numbers themselves else."""
    times = parse_time(sr)
    if is_datetime64_any_dtype(times.dtype):
        return (times - pd.Timestamp(0)) / _SECOND
    return times
