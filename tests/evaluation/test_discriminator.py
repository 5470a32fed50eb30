"""The discriminator on feature tables whose separability is known."""

import numpy as np
import pytest

from velora.evaluation.discriminator import cross_validated_auc


def draws(rows: int, seed: int) -> np.ndarray:
    """Four standard normal features, the last missing in a tenth of the rows."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, 4))
    x[rng.random(rows) < 0.1, -1] = np.nan
    return x


REAL = draws(300, seed=0)


def shifted(x: np.ndarray) -> np.ndarray:
    return x + np.array([4.0, 0.0, 0.0, 0.0])


def first_column_missing(x: np.ndarray) -> np.ndarray:
    return np.column_stack([np.full(len(x), np.nan), x[:, 1:]])


def recoupled(x: np.ndarray) -> np.ndarray:
    """The second column takes the first's sign: the same marginals, a new dependence.

    Only real rows whose signs disagree can be told apart, so the best AUC is 0.75.
    """
    return np.column_stack([x[:, 0], np.abs(x[:, 1]) * np.sign(x[:, 0]), x[:, 2:]])


@pytest.mark.parametrize(
    "synthetic",
    [REAL.copy(), draws(300, seed=1), draws(500, seed=2), draws(120, seed=3)],
    ids=["same rows", "same distribution", "more synthetic rows", "fewer synthetic rows"],
)
def test_indistinguishable_tables_are_near_chance(synthetic):
    assert 0.4 < cross_validated_auc(REAL, synthetic) < 0.6


@pytest.mark.parametrize(
    "change, lowest",
    [(shifted, 0.95), (first_column_missing, 0.95), (recoupled, 0.7)],
)
def test_changed_tables_are_told_apart(change, lowest):
    assert cross_validated_auc(REAL, change(draws(300, seed=1))) > lowest


@pytest.mark.parametrize("entities", [12, 18, 40])
def test_a_few_dozen_entities_are_still_told_apart(entities):
    real = draws(entities, seed=0)
    assert cross_validated_auc(real, shifted(draws(1000, seed=1))) > 0.9


def test_same_seed_repeats_and_other_seeds_differ():
    synthetic = draws(200, seed=1)
    first = cross_validated_auc(REAL, synthetic, seed=5)
    assert cross_validated_auc(REAL, synthetic, seed=5) == first
    assert cross_validated_auc(REAL, synthetic, seed=6) != first


@pytest.mark.parametrize("real_rows, synthetic_rows", [(1, 300), (300, 1), (0, 300)])
def test_a_class_of_fewer_than_two_rows_has_no_auc(real_rows, synthetic_rows):
    assert np.isnan(cross_validated_auc(REAL[:real_rows], draws(300, seed=1)[:synthetic_rows]))
