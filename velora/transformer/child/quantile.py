"""Mapping of a numeric column through its empirical quantiles."""

import numpy as np
from scipy.special import ndtr, ndtri

from velora.config import QuantileTransformerConfig
from velora.transformer.base import NumericTransformer

OUTPUT_DISTRIBUTIONS = ("normal", "uniform")

# Probabilities are squeezed into [EPSILON, 1 - EPSILON] before the normal quantile
# function so the extremes land near +-5.2 instead of at infinity.
EPSILON = 1e-7

# Jitter and spread ties are drawn from a fixed seed, so that refitting the same column gives
# the same quantiles and mapping it again the same values.
NOISE_SEED = 0


class QuantileTransformer(NumericTransformer):
    """Maps a numeric column to a normal or uniform distribution through its quantiles.

    Values are mapped to their probability by interpolating the fitted quantiles, and
    back by the inverse interpolation; values outside the fitted range are clipped to it.
    A column fitted on at most `config.max_levels` distinct values (gaps of exactly one or
    two days, say) maps back to the nearest of them, `levels`, so that it keeps its grid.
    Fitted state: `quantiles` and their probabilities `references`, and `levels`.
    """

    def __init__(self, name: str, config: QuantileTransformerConfig | None = None):
        super().__init__(name)
        self.config = config if config is not None else QuantileTransformerConfig()
        if self.config.output_distribution not in OUTPUT_DISTRIBUTIONS:
            raise ValueError(
                f'QuantileTransformer(name="{name}"): output_distribution must be one of '
                f"{OUTPUT_DISTRIBUTIONS}, got {self.config.output_distribution!r}"
            )
        if self.config.n_quantiles < 2:
            raise ValueError(
                f'QuantileTransformer(name="{name}"): n_quantiles must be at least 2, got '
                f"{self.config.n_quantiles}"
            )
        self.quantiles = np.empty(0)
        self.references = np.empty(0)
        self.levels = np.empty(0)

    def _fit_values(self, values: np.ndarray) -> None:
        levels = np.unique(values)
        self.levels = levels if levels.size <= self.config.max_levels else np.empty(0)
        if self.config.noise > 0:
            values = values + self._jitter(values)
        # At least two points, so even a constant column maps to the middle probability.
        n_quantiles = max(2, min(self.config.n_quantiles, values.size))
        self.references = np.linspace(0.0, 1.0, n_quantiles)
        # Rounding in the interpolated quantiles can break the monotonicity np.interp needs.
        self.quantiles = np.maximum.accumulate(np.quantile(values, self.references))

    def _jitter(self, values: np.ndarray) -> np.ndarray:
        scale = values.std() or 1.0
        rng = np.random.default_rng(NOISE_SEED)
        return rng.normal(0.0, self.config.noise * scale, size=values.size)

    def _forward(self, values: np.ndarray) -> np.ndarray:
        # Interpolating upwards and downwards and averaging sends a value repeated across
        # several quantiles to the middle of their probabilities rather than to one end.
        upward = np.interp(values, self.quantiles, self.references)
        downward = -np.interp(-values, -self.quantiles[::-1], -self.references[::-1])
        probabilities = 0.5 * (upward + downward)
        if self.config.spread_ties:
            probabilities = self._spread_over_ties(values, probabilities)
        if self.config.output_distribution == "uniform":
            return probabilities
        return ndtri(EPSILON + probabilities * (1 - 2 * EPSILON))

    def _spread_over_ties(self, values: np.ndarray, probabilities: np.ndarray) -> np.ndarray:
        """Values equal to several quantiles at a probability drawn uniformly between the
        first and the last of them; every other value as it is."""
        first = np.searchsorted(self.quantiles, values, side="left")
        last = np.searchsorted(self.quantiles, values, side="right") - 1
        tied = last > first
        low = self.references[np.clip(first, 0, self.references.size - 1)]
        high = self.references[np.clip(last, 0, self.references.size - 1)]
        share = np.random.default_rng(NOISE_SEED).random(values.shape)
        return np.where(tied, low + share * (high - low), probabilities)

    def _backward(self, values: np.ndarray) -> np.ndarray:
        if self.config.output_distribution == "uniform":
            probabilities = values
        else:
            probabilities = (ndtr(values) - EPSILON) / (1 - 2 * EPSILON)
        values = np.interp(np.clip(probabilities, 0.0, 1.0), self.references, self.quantiles)
        return self._nearest_level(values) if self.levels.size else values

    def _nearest_level(self, values: np.ndarray) -> np.ndarray:
        upper = np.clip(np.searchsorted(self.levels, values), 0, self.levels.size - 1)
        lower = np.clip(upper - 1, 0, None)
        below_is_closer = np.abs(values - self.levels[lower]) <= np.abs(self.levels[upper] - values)
        nearest = np.where(below_is_closer, self.levels[lower], self.levels[upper])
        return np.where(np.isnan(values), np.nan, nearest)
