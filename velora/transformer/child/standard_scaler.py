"""Standardisation of a numeric column."""

import numpy as np

from velora.config import StandardScalerConfig
from velora.transformer.base import NumericTransformer


class StandardScaler(NumericTransformer):
    """Maps a numeric column to mean 0 and standard deviation 1, and back.

    A constant column keeps a standard deviation of 1, so its values map to 0.
    Fitted state: `mean` and `std`.
    """

    def __init__(self, name: str, config: StandardScalerConfig | None = None):
        super().__init__(name)
        self.config = config if config is not None else StandardScalerConfig()
        self.mean = 0.0
        self.std = 1.0

    def _fit_values(self, values: np.ndarray) -> None:
        self.mean = float(values.mean()) if self.config.with_mean else 0.0
        std = float(values.std()) if self.config.with_std else 1.0
        self.std = std if std > 0 else 1.0

    def _forward(self, values: np.ndarray) -> np.ndarray:
        return (values - self.mean) / self.std

    def _backward(self, values: np.ndarray) -> np.ndarray:
        return values * self.std + self.mean
