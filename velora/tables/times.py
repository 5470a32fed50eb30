"""Time columns: read as dates or numbers (zones to UTC), and turned into the date-times the
synthesizer learns and back into the table's own form, on its grid and within its range."""

import re

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_datetime64_any_dtype, is_numeric_dtype

from velora.metadata.value.datetime import ISO_DATE, get_date_format, parse_dates, utc_wall_times
from velora.tables.errors import TableError


class UnreadableTimeError(TableError):
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
        return utc_wall_times(sr)
    if is_numeric_column(sr):
        return sr.astype(float)
    if zone_suffix_of(sr):
        parsed = utc_wall_times(pd.to_datetime(sr, format="ISO8601", utc=True, errors="coerce"))
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


# Numeric times are trained as seconds after this origin and turned back afterwards.
NUMERIC_TIME_ORIGIN = pd.Timestamp(0)


class TimeCodec:
    """Turns a time column into date-times for the synthesizer and synthetic ones back.

    Text keeps its own date format and numbers stay numbers, so the output has the input's
    layout. Times with a zone are modelled in UTC: zoned date-times come back in their zone,
    zoned text in UTC, written the input's way ("...Z" or "...+00:00").
    """

    def __init__(self, sr: pd.Series, ids: pd.Series | None = None) -> None:
        """Raises `UnreadableTimeError` for a column of neither dates nor numbers, and
        `TableError` for dates outside the range the model handles (`_OUT_OF_RANGE`).

        With the entities' `ids`, synthetic times may run on past the last real one by half
        the median gap between an entity's events (`latest`): a schedule of five-yearly
        events that drifts by a day stays whole, an entity that runs on for years does not.
        """
        try:
            times = parse_time(sr)
        except (OverflowError, pd.errors.OutOfBoundsDatetime):
            raise TableError(_OUT_OF_RANGE.format(name=sr.name)) from None
        self.name = sr.name
        self.is_numeric = not pd.api.types.is_datetime64_any_dtype(times.dtype)
        self.text_format = date_format_of(sr)
        self.zone_suffix = zone_suffix_of(sr)
        # Date-times come back in their dtype: zone and unit.
        self.dtype = sr.dtype if pd.api.types.is_datetime64_any_dtype(sr.dtype) else None
        if not self.is_numeric:
            self._check_range(times)
        # Numbers count seconds from their minimum, so large ones (e.g. epoch milliseconds)
        # stay within the range of date-times.
        self.offset = times.min() if self.is_numeric else 0.0
        self.times = self._numbers_to_dates(times) if self.is_numeric else times
        self.origin = self.times.min()
        self.resolution = time_resolution(self.times)
        self.latest = self._latest(ids)
        self.calendar = calendar_of(self.times)

    # What `decode` needs, kept in a model file: plain data apart from the dtype's name.
    _DECODING = (
        "name",
        "is_numeric",
        "text_format",
        "zone_suffix",
        "offset",
        "origin",
        "resolution",
    )

    def to_plain(self) -> dict:
        """What decoding needs, as plain data (see `velora.saving.plain_data`)."""
        state = {attribute: getattr(self, attribute) for attribute in self._DECODING}
        dtype = None if self.dtype is None else str(self.dtype)
        return state | {"dtype": dtype, "latest": self.latest, "calendar": self.calendar}

    @classmethod
    def from_plain(cls, state: dict) -> "TimeCodec":
        """A codec that decodes as the one `to_plain` described (it encodes nothing)."""
        codec = cls.__new__(cls)
        for attribute in cls._DECODING:
            setattr(codec, attribute, state[attribute])
        dtype = state["dtype"]
        codec.dtype = None if dtype is None else pd.api.types.pandas_dtype(dtype)
        # Files saved before the latest time and the calendar were kept know neither.
        codec.latest = state.get("latest")
        codec.calendar = state.get("calendar")
        return codec

    def _check_range(self, times: pd.Series) -> None:
        present = times.dropna()
        if len(present) and (present.min() < _EARLIEST or present.max() > _LATEST):
            raise TableError(_OUT_OF_RANGE.format(name=self.name))

    def _numbers_to_dates(self, numbers: pd.Series) -> pd.Series:
        try:
            return NUMERIC_TIME_ORIGIN + pd.to_timedelta(numbers - self.offset, unit="s")
        except (OverflowError, pd.errors.OutOfBoundsTimedelta):
            raise TableError(f"time column '{self.name}' spans too wide a range") from None

    def encode(self, df: pd.DataFrame) -> pd.DataFrame:
        """The table with its time column as date-times."""
        return df.assign(**{str(self.name): self.times})

    def decode(self, times: pd.Series) -> pd.Series:
        """Synthetic date-times in the input column's form (text format or numbers), on the
        real times' grid: the origin plus whole multiples of their resolution, or the
        nearest of the real times where they are a calendar (`calendar_of`)."""
        times = self._on_calendar(self._on_grid(times))
        if self.is_numeric:
            return (times - NUMERIC_TIME_ORIGIN) / pd.Timedelta(seconds=1) + self.offset
        if self.text_format:
            return times.dt.strftime(self.text_format) + (self.zone_suffix or "")
        if self.dtype is None:
            return times
        if getattr(self.dtype, "tz", None) is not None:
            times = times.dt.tz_localize("UTC")
        return times.astype(self.dtype)

    def _latest(self, ids: pd.Series | None) -> pd.Timestamp | None:
        last = self.times.max()
        if pd.isna(last):
            return None
        if ids is None:
            return last
        gaps = self.times.groupby(ids.to_numpy(), sort=False).diff().dropna()
        return last + gaps.median() / 2 if len(gaps) else last

    def within_range(self, times: pd.Series) -> pd.Series:
        """Whether each synthetic date-time, on the real grid, is at or before `latest`
        (True where missing or where no latest time is known)."""
        if self.latest is None:
            return pd.Series(True, index=times.index)
        return self._on_grid(times).le(self.latest) | times.isna()

    def _on_calendar(self, times: pd.Series) -> pd.Series:
        if not self.calendar:
            return times
        # Nearest is monotone, so times in order stay in order.
        dates = pd.DatetimeIndex(self.calendar)
        present = times.notna().to_numpy()
        nearest = dates.get_indexer(pd.DatetimeIndex(times[present]), method="nearest")
        on_calendar = times.copy()
        on_calendar[present] = dates[nearest]
        return on_calendar

    def _on_grid(self, times: pd.Series) -> pd.Series:
        # Rounding is monotone, so times in order stay in order.
        if self.resolution is None:
            return times
        step = self.resolution.value
        ticks = _ticks_since(times, self.origin)
        rounded = (ticks + step // 2) // step * step
        on_grid = pd.Series(
            self.origin + pd.to_timedelta(rounded, unit="ns"), index=times.index, name=times.name
        )
        return on_grid.where(times.notna())


# A panel of at most this many distinct times writes synthetic times on them.
CALENDAR_TIMES = 32
# Date-times the model handles: those of nanosecond resolution, a margin kept for the
# gaps added to them.
_EARLIEST = pd.Timestamp.min + pd.Timedelta(days=1)

_LATEST = pd.Timestamp.max - pd.Timedelta(days=366)

_OUT_OF_RANGE = (
    f"time column '{{name}}' holds dates outside {_EARLIEST:%Y-%m-%d} to {_LATEST:%Y-%m-%d}, "
    "which velora cannot model; shift them into that range"
)


def _ticks_since(times: pd.Series, origin: pd.Timestamp) -> np.ndarray:
    """Nanoseconds from `origin`, 0 where a time is missing."""
    elapsed = (times - origin).fillna(pd.Timedelta(0))
    return elapsed.to_numpy().astype("timedelta64[ns]").astype(np.int64)


def calendar_of(times: pd.Series) -> list[pd.Timestamp] | None:
    """The distinct times of a panel whose entities share a few dates (yearly waves, say):
    at most `CALENDAR_TIMES` of them, each held by two events or more on average; else None."""
    present = times.dropna()
    distinct = present.unique()
    if not 2 <= len(distinct) <= CALENDAR_TIMES or len(present) < 2 * len(distinct):
        return None
    return sorted(pd.Timestamp(time) for time in distinct)


def time_resolution(times: pd.Series) -> pd.Timedelta | None:
    """The largest step that every time is a whole multiple of, counted from the earliest.

    Hourly times give an hour, dates a day; None when there is no step (one time only).
    """
    present = times.dropna()
    if present.empty:
        return None
    step = int(np.gcd.reduce(_ticks_since(present, present.min())))
    return pd.Timedelta(step, unit="ns") if step > 1 else None
