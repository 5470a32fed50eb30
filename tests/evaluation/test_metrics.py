"""The distances and the reading of times, on values worked out by hand."""

import numpy as np
import pandas as pd
import pytest

from velora.evaluation import metrics
from velora.evaluation.columns import time_as_numbers
from velora.tables.times import UnreadableTimeError, parse_time


@pytest.mark.parametrize(
    "real, synthetic, expected",
    [
        (["a", "a", "b", "b"], ["a", "a", "b", "b"], 0.0),
        (["a", "a", "b", "b"], ["a", "a", "a", "a"], 0.5),
        (["a", "b"], ["c", "d"], 1.0),
        (["a", None], ["a", "a"], 0.5),  # missing counts as its own category
    ],
)
def test_total_variation(real, synthetic, expected):
    assert metrics.total_variation(pd.Series(real), pd.Series(synthetic)) == expected


@pytest.mark.parametrize(
    "real, synthetic, expected",
    [([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.0), ([1.0, 2.0], [5.0, 6.0], 1.0),
     ([1.0, np.nan], [], 1.0), ([1.0, 2.0, 3.0, 4.0], [3.0, 4.0], 0.5)],
)  # fmt: skip
def test_ks_statistic(real, synthetic, expected):
    assert metrics.ks_statistic(pd.Series(real), pd.Series(synthetic, dtype=float)) == expected


def test_transition_distance_weighs_sources_by_real_frequency():
    ids = pd.Series([1, 1, 1, 1, 2, 2])
    real = metrics.transition_counts(pd.Series(["a", "b", "a", "b", "b", "a"]), ids)
    # real: a->b twice, b->a twice (weight 1/2 each); entity boundaries are not transitions
    assert real.loc["a", "b"] == 2 and real.loc["b", "a"] == 2 and real.values.sum() == 4
    synthetic = metrics.transition_counts(pd.Series(["a", "a", "a", "b"]), pd.Series([1] * 4))
    # synthetic: a->a twice, a->b once (TVD 2/3 from a->b); b is never a source (distance 1)
    assert metrics.transition_distance(real, synthetic) == pytest.approx(0.5 * 2 / 3 + 0.5)


def test_shares_of_constant_and_non_decreasing_entities():
    ids = pd.Series(["p", "p", "q", "q", "r", "r"])
    values = pd.Series([1, 1, 1, 2, None, None])
    times = pd.Series([1.0, 2.0, 5.0, 4.0, 3.0, np.nan])
    assert metrics.share_constant(values, ids) == pytest.approx(2 / 3)
    assert metrics.share_non_decreasing(times, ids) == pytest.approx(2 / 3)


NEW_YEAR_2024 = 1704067200.0  # seconds since the epoch


@pytest.mark.parametrize(
    "values, expected",
    [(["2024-01-02 00:00:00", "2024-01-01 00:00:01"], [NEW_YEAR_2024 + 86400, NEW_YEAR_2024 + 1]),
     (["2024-01-01 00:00:00.500000", "2024-01-01 00:00:00"], [NEW_YEAR_2024 + 0.5, NEW_YEAR_2024]),
     ([3, 1], [3.0, 1.0])],
)  # fmt: skip
def test_times_read_as_numbers(values, expected):
    assert time_as_numbers(pd.Series(values)).tolist() == expected


def test_unreadable_time_is_named():
    with pytest.raises(UnreadableTimeError, match="time column 'x' cannot be read as dates"):
        parse_time(pd.Series(["soon", "later"], name="x"))
