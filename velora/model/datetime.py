"""Value model of a date-time column."""

from typing import Any

import pandas as pd

from velora.metadata.value.datetime import get_date_format, parse_dates
from velora.model.base import ValueModel
from velora.model.categorical import ordered_categories

# The calendar parts a date column can be split into, as suffixes of their column names,
# with the `dt` attribute each reads.
CALENDAR_PARTS = {"_hour": "hour", "_dow": "weekday", "_day": "day", "_month": "month"}


class DateTimeModel(ValueModel):
    """A date-time column: its range, its text format and the calendar values it shows.

    `calendar_categories` maps each calendar part's column (name + "_hour", "_dow", "_day",
    "_month") to the hours, weekdays, days or months seen, in the order the date
    transformer codes them.
    """

    def __init__(self, meta):
        super().__init__(meta)
        self.date_format: str | None = getattr(meta, "date_format", None)
        self.min = self.max = None
        self.calendar_categories: dict[str, list[int]] = {}

    def _parse(self, column: pd.Series) -> pd.Series:
        if self.date_format is None:
            self.date_format = get_date_format(column)
        return parse_dates(column, self.date_format)

    def _fit_present(self, present: pd.Series) -> None:
        if not present.empty:
            self.min, self.max = present.min(), present.max()
        self.calendar_categories = {
            f"{self.name}{suffix}": ordered_categories(getattr(present.dt, attribute))
            for suffix, attribute in CALENDAR_PARTS.items()
        }

    def summary(self) -> dict[str, Any]:
        return super().summary() | {
            "min": self.min,
            "max": self.max,
            "date_format": self.date_format,
        }
