"""The base of value models: what the model knows of one column."""

from typing import Any

import pandas as pd

from velora.metadata.base import ValueMeta

# Suffix of the flag column that marks a column's missing values in transformed frames.
MISSING_FLAG_SUFFIX = "_nan"


class ValueModel:
    """One column's meta and the statistics fitted from a frame's values of that column.

    `fit` reads `df[name]`, counts its missing values (values that do not parse count as
    missing) and hands the present values to `_fit_present`. A column that had missing
    values when fitted, or per its meta, `can_be_missing`, and its transformed frames then
    carry a flag column `missing_column` beside it.
    """

    def __init__(self, meta: ValueMeta):
        self.meta = meta
        self.num_rows = 0
        self.num_missing = 0

    @property
    def name(self) -> str:
        return self.meta.name

    @property
    def nan_freq(self) -> float | None:
        """Share of missing values in the fitted column; None before fitting."""
        return self.num_missing / self.num_rows if self.num_rows else None

    @property
    def can_be_missing(self) -> bool:
        return self.num_missing > 0 or self.meta.num_missing > 0

    @property
    def missing_column(self) -> str | None:
        """Name of the column flagging this column's missing values, if it can have any."""
        return f"{self.name}{MISSING_FLAG_SUFFIX}" if self.can_be_missing else None

    def fit(self, df: pd.DataFrame) -> "ValueModel":
        present = self._parse(df[self.name]).dropna()
        self.num_rows = len(df)
        self.num_missing = self.num_rows - len(present)
        self._fit_present(present)
        return self

    def _parse(self, column: pd.Series) -> pd.Series:
        return column

    def _fit_present(self, present: pd.Series) -> None:
        raise NotImplementedError

    def summary(self) -> dict[str, Any]:
        """The fitted statistics."""
        return {"nan_freq": self.nan_freq}

    def __repr__(self) -> str:
        return f'{type(self).__name__}(name="{self.name}")'
