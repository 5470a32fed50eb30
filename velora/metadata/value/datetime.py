"""Date-time column metas and recognition of the text format dates are written in."""

from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import is_datetime64_any_dtype, is_object_dtype, is_string_dtype

from ..base import Affine

__all__ = ["Affine", "BusDateTime", "DateTime", "get_date_format", "parse_dates"]

ISO_DATE = "%Y-%m-%d"
ISO_DATE_TIME = "%Y-%m-%d %H:%M:%S"

_ISO_DATES = (ISO_DATE, "%Y/%m/%d")
_DAY_FIRST_DATES = ("%d/%m/%Y", "%d-%m-%Y", "%d.%m.%Y")
_MONTH_FIRST_DATES = ("%m/%d/%Y", "%m-%d-%Y")
_TIMES = ("", " %H:%M", " %H:%M:%S", " %H:%M:%S.%f")
_ISO_T_TIMES = ("T%H:%M", "T%H:%M:%S", "T%H:%M:%S.%f")

# Order settles ties: ISO first, then day-first before month-first, so a column whose every
# value reads both ways ("01/02/2020") is taken as day-first.
CANDIDATE_FORMATS = tuple(
    date + time for date in _ISO_DATES + _DAY_FIRST_DATES + _MONTH_FIRST_DATES for time in _TIMES
) + tuple(ISO_DATE + time for time in _ISO_T_TIMES)

# Values tried per candidate: enough to see a telling value, cheap for ~30 candidates.
SAMPLE_SIZE = 2000


def utc_wall_times(times: pd.Series) -> pd.Series:
    """Date-times with a zone as the UTC times they stand for, without the zone; others as
    they are."""
    if getattr(times.dtype, "tz", None) is None:
        return times
    return times.dt.tz_convert("UTC").dt.tz_localize(None)


def parse_dates(sr: pd.Series, date_format: str | None) -> pd.Series:
    """A series as date-times, values that do not read in `date_format` becoming NaT.

    Date-time series pass unchanged; without a format each value is read on its own.
    """
    if is_datetime64_any_dtype(sr.dtype):
        return sr
    return pd.to_datetime(sr, format=date_format or "mixed", errors="coerce")


def get_date_format(sr: pd.Series) -> str | None:
    """The strptime format that reads most of a series' non-missing values as dates.

    Date-time series get an ISO format, with a time part unless every value is at midnight.
    Returns None for an all-missing series, one that is neither text nor date-time, or one
    where no candidate reads any value.
    """
    present = sr.dropna()
    if present.empty:
        return None
    if is_datetime64_any_dtype(present.dtype):
        return ISO_DATE if (present == present.dt.normalize()).all() else ISO_DATE_TIME
    if not (is_object_dtype(present.dtype) or is_string_dtype(present.dtype)):
        return None
    sample = present.sample(n=min(len(present), SAMPLE_SIZE), random_state=0)
    counts = [parse_dates(sample, candidate).notna().sum() for candidate in CANDIDATE_FORMATS]
    best = int(np.argmax(counts))  # the first of equal counts wins
    return CANDIDATE_FORMATS[best] if counts[best] else None


class DateTime(Affine):
    """A column of date-times, as such or as text in `date_format`.

    The format is found from the values on first learning when not given; min and max are
    NumPy datetime64 scalars.
    """

    def __init__(self, name: str, *, date_format: str | None = None, **affine: Any) -> None:
        super().__init__(name=name, **affine)
        self.date_format = date_format

    def update_meta(self, df: pd.DataFrame) -> "DateTime":
        """Add the column's dates to what was learned, finding the format first if unknown."""
        if self.date_format is None:
            self.date_format = get_date_format(df[self.name])
        return super().update_meta(df)

    def _parse(self, column: pd.Series) -> pd.Series:
        return parse_dates(column, self.date_format)

    def _scalar(self, value: Any) -> np.datetime64:
        return pd.Timestamp(value).to_datetime64()


class BusDateTime(DateTime):
    """Date-times of business activity, which happens from hour `hours_min` to `hours_max`."""

    def __init__(
        self, name: str, *, hours_min: int = 0, hours_max: int = 24, **datetime_attributes: Any
    ) -> None:
        if not 0 <= hours_min < hours_max <= 24:
            raise ValueError(
                f"Business hours must satisfy 0 <= hours_min < hours_max <= 24, "
                f"got {hours_min} and {hours_max}."
            )
        super().__init__(name=name, **datetime_attributes)
        self.hours_min = hours_min
        self.hours_max = hours_max
