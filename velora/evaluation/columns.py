"""Time columns as the figures compare them: numbers, seconds since the epoch for dates."""

import pandas as pd
from pandas.api.types import is_datetime64_any_dtype

from velora.tables.times import is_numeric_column, parse_time

__all__ = ["is_numeric_column", "parse_time", "time_as_numbers"]

_SECOND = pd.Timedelta(seconds=1)


def time_as_numbers(sr: pd.Series) -> pd.Series:
    """A time column as floats: seconds since the epoch for dates, the numbers themselves else."""
    times = parse_time(sr)
    if is_datetime64_any_dtype(times.dtype):
        return (times - pd.Timestamp(0)) / _SECOND
    return times
