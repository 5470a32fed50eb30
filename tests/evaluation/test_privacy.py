"""The privacy figures on feature tables with constant and missing features, or no rows."""

import math

import numpy as np
import pytest

from velora.evaluation.privacy import privacy_figures


def draws(rows: int, seed: int) -> np.ndarray:
    """Three normal features and a constant one (1 for seed 0, else 2), a tenth missing."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([rng.normal(size=(rows, 3)), np.full(rows, 1.0 if seed == 0 else 2.0)])
    x[rng.random(x.shape) < 0.1] = np.nan
    return x


@pytest.mark.parametrize(
    "held_out_rows, synthetic_rows, undefined",
    [
        (80, 120, set()),
        (0, 120, {"dcr_ratio", "dcr_below_held_out_p5", "membership_auc"}),
        (80, 0, {"dcr_ratio", "dcr_below_held_out_p5", "identical_share", "membership_auc"}),
    ],
)
def test_figures_are_nan_exactly_when_a_set_is_missing(held_out_rows, synthetic_rows, undefined):
    # The training rows' constant feature differs from the others' by a full unit, which must
    # not become an infinite distance.
    figures = privacy_figures(draws(100, seed=0), draws(held_out_rows, 1), draws(synthetic_rows, 2))
    assert {name for name, value in figures.items() if math.isnan(value)} == undefined
    assert all(math.isfinite(value) for name, value in figures.items() if name not in undefined)
