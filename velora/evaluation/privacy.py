"""Whether a generator copies the real entities it was trained on, from nearest neighbours.

Each entity is one row of summary features. Synthetic entities are compared with real
entities held out of training: a generator that does not copy puts its entities as close to
the training entities as unseen real ones are, no closer.
"""

import numpy as np
import pandas as pd
from sklearn.metrics import roc_auc_score
from sklearn.neighbors import NearestNeighbors

# Scaled distances at most this count as identical records; the features of a copied entity
# are computed the same way as its original's, so they agree to rounding.
IDENTICAL_DISTANCE = 1e-9
# The held-out entities' distance below which a synthetic entity reads as too close.
CLOSE_PERCENTILE = 5

FIGURES = ("dcr_ratio", "dcr_below_held_out_p5", "identical_share", "membership_auc")


def privacy_figures(
    training: np.ndarray, held_out: np.ndarray, synthetic: np.ndarray
) -> dict[str, float]:
    """Copying figures from per-entity features: one row per entity, the same columns in all.

    `training` holds the real entities the generator learnt from, `held_out` real entities
    it never saw, `synthetic` the generated ones; features may be missing (NaN).

    - `dcr_ratio`: median distance of a synthetic entity to its closest training entity over
      the same median for held-out entities (1 best, near 0 for a copier); infinite when only
      the held-out median is 0, NaN when both are.
    - `dcr_below_held_out_p5`: share of synthetic entities closer to the training entities
      than the nearest 5 % of held-out ones are (0.05 expected, near 1 for a copier).
    - `identical_share`: share of synthetic entities equal to some training entity (0 best).
    - `membership_auc`: ROC AUC of telling training from held-out entities by the closeness
      of their nearest synthetic entity (0.5 best, near 1 when training entities leak).

    A figure is NaN when a set it needs is empty.
    """
    figures = dict.fromkeys(FIGURES, float("nan"))
    if len(training) == 0:
        return figures
    training, held_out, synthetic = _scaled(training, [training, held_out, synthetic])
    synthetic_dcr, held_out_dcr = _distances_to_closest(training, synthetic, held_out)
    if len(synthetic):
        figures["identical_share"] = float(np.mean(synthetic_dcr <= IDENTICAL_DISTANCE))
    if len(synthetic) and len(held_out):
        figures["dcr_ratio"] = _ratio(np.median(synthetic_dcr), np.median(held_out_dcr))
        close = np.percentile(held_out_dcr, CLOSE_PERCENTILE)
        figures["dcr_below_held_out_p5"] = float(np.mean(synthetic_dcr < close))
        distances = np.concatenate(_distances_to_closest(synthetic, training, held_out))
        members = np.repeat([1, 0], [len(training), len(held_out)])
        figures["membership_auc"] = float(roc_auc_score(members, -distances))
    return figures


def _scaled(reference: np.ndarray, sets: list[np.ndarray]) -> list[np.ndarray]:
    """Every set on the reference's scale: median 0, interquartile range 1, missing as 0.

    A feature without spread between the quartiles is divided by its range instead, so that a
    few outlying entities cannot dominate the distances; a constant one is left unscaled.
    """
    features = pd.DataFrame(np.asarray(reference, float))
    centre = features.median().fillna(0.0).to_numpy()
    spread = (features.quantile(0.75) - features.quantile(0.25)).to_numpy()
    value_range = (features.max() - features.min()).to_numpy()
    spread = np.where(spread > 0, spread, np.where(value_range > 0, value_range, 1.0))
    return [np.nan_to_num((np.asarray(x, float) - centre) / spread, nan=0.0) for x in sets]


def _distances_to_closest(points: np.ndarray, *queries: np.ndarray) -> list[np.ndarray]:
    """Each query row's Euclidean distance to the closest row of `points`."""
    index = NearestNeighbors(n_neighbors=1).fit(points)
    distances = []
    for q in queries:
        if len(q) == 0:
            distances.append(np.empty(0))
            continue
        # The search's own distances carry rounding from expanding the square (about 1e-7
        # between identical rows); measured directly, identical rows are exactly 0 apart.
        nearest = index.kneighbors(q, return_distance=False)[:, 0]
        distances.append(np.linalg.norm(q - points[nearest], axis=1))
    return distances


def _ratio(synthetic: float, held_out: float) -> float:
    if held_out > 0:
        return float(synthetic / held_out)
    return float("inf") if synthetic > 0 else float("nan")
