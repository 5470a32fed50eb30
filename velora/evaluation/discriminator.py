"""How well a classifier tells real entities from synthetic ones (ROC AUC, 0.5 is best).

Each entity becomes one row of summary features; gradient-boosted trees are cross-validated
on balanced classes. Trees pick up thresholds and interactions between features that a
linear model misses, and route missing features themselves.
"""

import numpy as np
import pandas as pd
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.metrics import roc_auc_score
from threadpoolctl import threadpool_limits

from .metrics import as_categories

# Levels of a categorical column that get a share feature each; rarer ones are pooled.
TOP_LEVELS = 10
FOLDS = 5
REPEATS = 4
# Small trees: tables have a few hundred to a few thousand entities and the estimate fits
# FOLDS * REPEATS models, so it must stay within seconds; 15 leaves took twice as long and
# told shifted or re-coupled columns apart no better.
BOOSTING_ROUNDS = 100
LEARNING_RATE = 0.1
MAX_LEAF_NODES = 8
# Rows a leaf needs: a twentieth of the training rows, within these bounds, so that a few
# dozen entities still allow a split (20 rows a leaf could not split 36 rows, and every table
# would read as indistinguishable from real).
MIN_SAMPLES_LEAF, LEAF_SHARE, MAX_SAMPLES_LEAF = 2, 1 / 20, 20


def entity_features(
    df: pd.DataFrame,
    *,
    id_col: str,
    time_col: str,
    numeric_cols: list[str],
    category_levels: dict[str, list[str]],
) -> pd.DataFrame:
    """One row per entity: its size, time span and gaps, and summaries of every column.

    `df` holds times as numbers, rows in time order per entity. Numeric columns give mean,
    spread, extremes and missing share; categorical ones the share of each of the given
    levels and the number of distinct values.
    """
    groups = df.groupby(id_col, sort=False)
    times = groups[time_col]
    gap = times.diff().groupby(df[id_col].to_numpy(), sort=False)
    parts = [
        pd.DataFrame(
            {
                "events": groups.size(),
                "start": times.min(),
                "span": times.max() - times.min(),
                "gap_mean": gap.mean(),
                "gap_std": gap.std(),
            }
        )
    ]
    for col in numeric_cols:
        values = groups[col]
        summary = values.agg(["mean", "std", "min", "max"]).add_prefix(f"{col}:")
        summary[f"{col}:missing"] = df[col].isna().groupby(df[id_col].to_numpy(), sort=False).mean()
        parts.append(summary)
    for col, levels in category_levels.items():
        categories = as_categories(df[col])
        pooled = categories.where(categories.isin(levels), "\0other")
        shares = pd.crosstab(df[id_col].to_numpy(), pooled.to_numpy(), normalize="index")
        shares = shares.reindex(columns=[*levels, "\0other"], fill_value=0.0)
        shares.columns = [f"{col}={level}" for level in shares.columns]
        shares[f"{col}:distinct"] = categories.groupby(df[id_col].to_numpy(), sort=False).nunique()
        parts.append(shares)
    return pd.concat(parts, axis=1)


def frequent_levels(sr: pd.Series, top: int = TOP_LEVELS) -> list[str]:
    """The most frequent categories of a column, most frequent first."""
    return list(as_categories(sr).value_counts().index[:top])


def _folds(x: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """A fold number per row; equal rows share a fold.

    A synthetic row that copies a real one would otherwise be judged by a model trained on
    its twin of the other class, which pushes the AUC below 0.5.
    """
    _, group = np.unique(np.nan_to_num(x, nan=np.inf), axis=0, return_inverse=True)
    group_fold = rng.permutation(group.max() + 1) % FOLDS
    return group_fold[group.ravel()]


def cross_validated_auc(real: np.ndarray, synthetic: np.ndarray, seed: int = 0) -> float:
    """Mean held-out ROC AUC of telling synthetic rows (positive) from real ones.

    The larger class is subsampled to the size of the smaller; the cross-validation is
    repeated on fresh folds to steady the estimate. NaN when either class has fewer than
    two rows.
    """
    rng = np.random.default_rng(seed)
    n = min(len(real), len(synthetic))
    if n < 2:
        return float("nan")
    real = real[rng.permutation(len(real))[:n]]
    synthetic = synthetic[rng.permutation(len(synthetic))[:n]]
    x = np.vstack([real, synthetic]).astype(float)
    y = np.repeat([0, 1], n)
    random_state = int(rng.integers(2**31))
    # Fits this small gain nothing from threads, and on a busy machine waiting threads made
    # each fit five to ten times slower.
    aucs = []
    with threadpool_limits(limits=1, user_api="openmp"):
        for _ in range(REPEATS):
            aucs += _held_out_aucs(x, y, _folds(x, rng), random_state)
    return float(np.mean(aucs)) if aucs else float("nan")


def _held_out_aucs(
    x: np.ndarray, y: np.ndarray, fold: np.ndarray, random_state: int
) -> list[float]:
    """The ROC AUC on each fold of a model fitted on the other folds."""
    aucs = []
    for k in range(FOLDS):
        test = fold == k
        if len(np.unique(y[test])) < 2 or len(np.unique(y[~test])) < 2:
            continue  # a fold without both classes has no AUC
        model = _classifier(random_state, rows=int((~test).sum())).fit(x[~test], y[~test])
        aucs.append(float(roc_auc_score(y[test], model.decision_function(x[test]))))
    return aucs


def _classifier(random_state: int, rows: int) -> HistGradientBoostingClassifier:
    """The detector; trees need neither scaled features nor filled-in missing values."""
    return HistGradientBoostingClassifier(
        learning_rate=LEARNING_RATE,
        max_iter=BOOSTING_ROUNDS,
        max_leaf_nodes=MAX_LEAF_NODES,
        min_samples_leaf=int(np.clip(rows * LEAF_SHARE, MIN_SAMPLES_LEAF, MAX_SAMPLES_LEAF)),
        early_stopping=False,  # a held-out split would take rows from folds already small
        random_state=random_state,
    )
