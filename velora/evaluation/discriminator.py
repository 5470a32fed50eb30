"""How well a classifier tells real entities from synthetic ones (ROC AUC, 0.5 is best).

Each entity becomes one row of summary features; a ridge-penalised logistic regression,
fitted by Newton's method, is cross-validated on balanced classes.
"""

import numpy as np
import pandas as pd
from scipy.special import expit
from scipy.stats import rankdata

from .metrics import as_categories

# Levels of a categorical column that get a share feature each; rarer ones are pooled.
TOP_LEVELS = 10
FOLDS = 5
REPEATS = 4
RIDGE = 1.0
NEWTON_STEPS = 25


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


def roc_auc(scores: np.ndarray, labels: np.ndarray) -> float:
    """Area under the ROC curve from the ranks of the scores (ties share their rank)."""
    positive = labels.astype(bool)
    n_pos, n_neg = positive.sum(), (~positive).sum()
    ranks = rankdata(scores)
    return float((ranks[positive].sum() - n_pos * (n_pos + 1) / 2) / (n_pos * n_neg))


def fit_logistic(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Weights (intercept last) of a ridge-penalised logistic regression, by Newton steps."""
    x = np.column_stack([x, np.ones(len(x))])
    penalty = RIDGE * np.eye(x.shape[1])
    penalty[-1, -1] = 0.0  # the intercept is not shrunk
    w = np.zeros(x.shape[1])
    for _ in range(NEWTON_STEPS):
        p = expit(x @ w)
        gradient = x.T @ (p - y) + penalty @ w
        hessian = (x.T * (p * (1 - p))) @ x + penalty
        step = np.linalg.solve(hessian, gradient)
        w -= step
        if np.abs(step).max() < 1e-8:
            break
    return w


def _standardise(train: np.ndarray, test: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Both sets scaled by the training set's medians (for missing values), means and spreads."""
    fill = np.nan_to_num(np.nanmedian(train, axis=0))
    train, test = np.where(np.isnan(train), fill, train), np.where(np.isnan(test), fill, test)
    mean, std = train.mean(axis=0), train.std(axis=0)
    std[std == 0] = 1.0
    return (train - mean) / std, (test - mean) / std


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
    y = np.repeat([0.0, 1.0], n)
    aucs = []
    for _ in range(REPEATS):
        fold = _folds(x, rng)
        for k in range(FOLDS):
            test = fold == k
            if len(np.unique(y[test])) < 2 or len(np.unique(y[~test])) < 2:
                continue  # a fold without both classes has no AUC
            train_x, test_x = _standardise(x[~test], x[test])
            w = fit_logistic(train_x, y[~test])
            aucs.append(roc_auc(test_x @ w[:-1], y[test]))
    return float(np.mean(aucs)) if aucs else float("nan")
