"""Value models of numeric columns: real numbers and durations."""

from typing import Any

import numpy as np
import pandas as pd

from velora.metadata.value import Integer
from velora.model.base import ValueModel


class ContinuousModel(ValueModel):
    """A numeric column: mean, standard deviation, range and quantiles of its present values.

    The statistics are None while no value is present.
    """

    def __init__(self, meta, quantile_levels: tuple[float, ...] = (0.25, 0.5, 0.75)):
        super().__init__(meta)
        self.quantile_levels = tuple(quantile_levels)
        self.mean = self.std = self.min = self.max = None
        self.quantiles: dict[float, Any] = {}

    @property
    def is_integer(self) -> bool:
        return isinstance(self.meta, Integer)

    def _parse(self, column: pd.Series) -> pd.Series:
        return pd.to_numeric(column, errors="coerce")

    def _fit_present(self, present: pd.Series) -> None:
        values = self._as_numbers(present)
        if values.size == 0:
            return
        self.mean, self.std = self._scalar(values.mean()), self._scalar(values.std())
        self.min, self.max = self._scalar(values.min()), self._scalar(values.max())
        levels = np.quantile(values, self.quantile_levels)
        self.quantiles = {
            level: self._scalar(value)
            for level, value in zip(self.quantile_levels, levels, strict=True)
        }

    def _as_numbers(self, present: pd.Series) -> np.ndarray:
        return present.to_numpy(dtype=np.float64)

    def _scalar(self, value: float) -> Any:
        return float(value)

    def summary(self) -> dict[str, Any]:
        return super().summary() | {
            "mean": self.mean,
            "std": self.std,
            "min": self.min,
            "max": self.max,
            "quantiles": self.quantiles,
        }


class TimeDeltaModel(ContinuousModel):
    """A duration column: the statistics of `ContinuousModel`, as `pd.Timedelta` values."""

    def _parse(self, column: pd.Series) -> pd.Series:
        return pd.to_timedelta(column, errors="coerce")

    def _as_numbers(self, present: pd.Series) -> np.ndarray:
        return present.dt.total_seconds().to_numpy(dtype=np.float64)

    def _scalar(self, value: float) -> pd.Timedelta:
        return pd.Timedelta(seconds=float(value))


class CountModel(ContinuousModel):
    """A column of whole numbers (counts, ratings, speeds in whole knots): the statistics of
    `ContinuousModel`, its range in whole numbers."""

    def _fit_present(self, present: pd.Series) -> None:
        super()._fit_present(present)
        if self.min is not None:
            self.min, self.max = int(self.min), int(self.max)
