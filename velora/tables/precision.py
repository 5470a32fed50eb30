"""The precision a numeric column is written at: its decimals, or the coarser grid its
values lie on, so that synthetic numbers come back as the real ones are written."""

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velora.tables.times import is_numeric_column

# Most decimals looked for; a column finer than this is written at full precision.
MAX_DECIMALS = 12
# How far, in units of the last decimal, a value may lie off the grid and still be on it:
# float64 rounding of a written decimal, never a digit of its own.
ON_GRID = 1e-3
# Integers beyond this are not exact in float64, so no grid is read from them.
EXACT_INTEGERS = 2**53


@dataclass(frozen=True)
class NumberGrid:
    """Values are whole multiples of `step`, written with `decimals` decimals.

    Attributes:
        decimals: decimals of the finest value (0 for whole numbers).
        step: the largest step every value is a multiple of (0.5, 5, 0.01 ...).
    """

    decimals: int
    step: float

    @classmethod
    def of(cls, sr: pd.Series) -> "NumberGrid | None":
        """The grid of a numeric column's present values; None where they lie on none
        (finer than `MAX_DECIMALS`, too large, or no values at all)."""
        values = pd.to_numeric(sr, errors="coerce").to_numpy(float)
        values = values[np.isfinite(values)]
        if not values.size:
            return None
        for decimals in range(MAX_DECIMALS + 1):
            scaled = values * 10.0**decimals
            if np.abs(scaled).max() >= EXACT_INTEGERS:
                return None
            whole = np.rint(scaled)
            if np.abs(scaled - whole).max() <= ON_GRID:
                unit = math.gcd(*whole.astype(np.int64).tolist()) or 1
                return cls(decimals, unit / 10.0**decimals)
        return None

    def apply(self, sr: pd.Series) -> pd.Series:
        """The values on the grid (missing ones stay missing), in the column's dtype where
        that holds them."""
        # Adding 0 turns the -0.0 of small negative values into 0.
        on_grid = (np.rint(sr.astype(float) / self.step) * self.step).round(self.decimals) + 0.0
        return on_grid.astype(sr.dtype) if is_numeric_column(sr) else on_grid

    def to_plain(self) -> list:
        return [self.decimals, self.step]

    @classmethod
    def from_plain(cls, state: list) -> "NumberGrid":
        decimals, step = state
        return cls(int(decimals), float(step))
