"""Column metas for durations."""

from typing import Any

import numpy as np
import pandas as pd

from ..base import Affine


class TimeDelta(Affine):
    """A column of durations (or text that reads as them); min and max are NumPy timedelta64."""

    def _parse(self, column: pd.Series) -> pd.Series:
        return pd.to_timedelta(column, errors="coerce")

    def _scalar(self, value: Any) -> np.timedelta64:
        return pd.Timedelta(value).to_timedelta64()
