"""Reading the columns of an event table: times as dates or numbers, numeric or categorical."""

import re

import pandas as pd
from pandas.api.types import is_bool_dtype, is_datetime64_any_dtype, is_numeric_dtype

from velora.metadata.value.datetime import ISO_DATE, get_date_format, parse_dates

_SECOND = pd.Timedelta(seconds=1)


class UnreadableTimeError(ValueError):
    """A time column holds values that are neither dates nor numbers, or dates written in
    formats that could be read more than one way."""

    def __init__(self, name: str, reason: str = "cannot be read as dates or numbers") -> None:
        super().__init__(f"time column '{name}' {reason}")


# An ISO time of day with its zone: "10:00:00Z", "10:00+01:00", "10:00:00.5-0530".
_ZONED_TIME = re.compile(r"\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+-]\d{2}:?\d{2})$")
_ZONE = r"(?:Z|[+-]\d{2}:?\d{2})$"
UTC_SUFFIXES = ("Z", "+00:00")


def is_numeric_column(sr: pd.Series) -> bool:
    """Whether a column is compared as numbers (its dtype is numeric and not boolean)."""
    return is_numeric_dtype(sr.dtype) and not is_bool_dtype(sr.dtype)


def zone_suffix_of(sr: pd.Series) -> str | None:
    """How zoned text times write UTC: "Z" when every one ends in Z, else "+00:00"; None when
    the column is not text whose times all carry a zone."""
    if is_numeric_column(sr) or is_datetime64_any_dtype(sr.dtype):
        return None
    present = sr.dropna().astype(str)
    if present.empty or not present.str.contains(_ZONED_TIME).all():
        return None
    return UTC_SUFFIXES[0] if present.str.endswith("Z").all() else UTC_SUFFIXES[1]


def without_zone(sr: pd.Series) -> pd.Series:
    """Zoned text times with their zone cut off (the time of day kept)."""
    return sr.str.replace(_ZONE, "", regex=True)


def date_format_of(sr: pd.Series) -> str | None:
    """The text format of a date column, without its zone; None when it holds numbers or
    date-times."""
    if is_numeric_column(sr) or is_datetime64_any_dtype(sr.dtype):
        return None
    return get_date_format(without_zone(sr) if zone_suffix_of(sr) else sr)


def parse_time(sr: pd.Series) -> pd.Series:
    """A time column as date-times (from text or date-times) or as floats (from numbers).

    Times with a zone (date-times or ISO text ending in Z or an offset) become the UTC times
    they stand for, without a zone. Raises `UnreadableTimeError` when any present value
    reads as neither, or when text mixes date formats other than ISO variants.
    """
    if is_datetime64_any_dtype(sr.dtype):
        return _utc_wall_times(sr)
    if is_numeric_column(sr):
        return sr.astype(float)
    if zone_suffix_of(sr):
        parsed = _utc_wall_times(pd.to_datetime(sr, format="ISO8601", utc=True, errors="coerce"))
        if parsed[sr.notna()].isna().any():
            raise UnreadableTimeError(str(sr.name))
        return parsed
    date_format = get_date_format(sr)  # text without zones, as checked above
    if date_format is None:
        raise UnreadableTimeError(str(sr.name))
    parsed = parse_dates(sr, date_format)
    if (parsed.isna() & sr.notna()).any() and date_format.startswith(ISO_DATE):
        # ISO times written with and without fractional seconds, say, read one by one.
        parsed = pd.to_datetime(sr, format="ISO8601", errors="coerce")
    unread = parsed.isna() & sr.notna()
    if unread.any():
        # Other mixtures are refused: "03/04/2024" would read one way here, another there.
        raise UnreadableTimeError(
            str(sr.name),
            f"mixes date formats: '{sr[unread].iloc[0]}' is not written as {date_format} "
            "like the others; write every time in one format",
        )
    return parsed


def _utc_wall_times(times: pd.Series) -> pd.Series:
    if getattr(times.dtype, "tz", None) is None:
        return times
    return times.dt.tz_convert("UTC").dt.tz_localize(None)


def time_as_numbers(sr: pd.Series) -> pd.Series:
    """A time column as floats: seconds since the epoch for dates, the numbers themselves else."""
    times = parse_time(sr)
    if is_datetime64_any_dtype(times.dtype):
        return (times - pd.Timestamp(0)) / _SECOND
    return times
