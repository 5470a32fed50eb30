"""Distances between a real and a synthetic event table, one number per aspect.

Every function takes plain series or frames in the long layout (one row per event) whose
rows are already in time order within each entity, except `share_non_decreasing`, which
reads the rows in the order they were given.
"""

import numpy as np
import pandas as pd
from scipy.stats import ks_2samp

# Missing values count as a category of their own; this label cannot clash with real text.
MISSING = "\0missing"


def ks_statistic(real: pd.Series, synthetic: pd.Series) -> float:
    """Two-sample Kolmogorov–Smirnov statistic of the present values (1 if one side has none)."""
    a, b = real.dropna().to_numpy(float), synthetic.dropna().to_numpy(float)
    if a.size == 0 or b.size == 0:
        return 0.0 if a.size == b.size else 1.0
    return float(ks_2samp(a, b).statistic)


def as_categories(sr: pd.Series) -> pd.Series:
    """A column as text categories, missing values as the category `MISSING`."""
    return sr.astype(object).where(sr.notna(), MISSING).astype(str)


def total_variation(real: pd.Series, synthetic: pd.Series) -> float:
    """Total variation distance between the category frequencies of two columns."""
    p = as_categories(real).value_counts(normalize=True)
    q = as_categories(synthetic).value_counts(normalize=True)
    if p.empty or q.empty:
        return 0.0 if p.empty and q.empty else 1.0
    p, q = p.align(q, fill_value=0.0)
    return float(0.5 * np.abs(p - q).sum())


def events_per_entity(df: pd.DataFrame, id_col: str) -> pd.Series:
    """Number of events of each entity."""
    return df.groupby(id_col, sort=False).size()


def gaps(times: pd.Series, ids: pd.Series) -> pd.Series:
    """Time between consecutive events of the same entity (rows in time order)."""
    return times.groupby(ids.to_numpy(), sort=False).diff().dropna()


def transition_counts(values: pd.Series, ids: pd.Series) -> pd.DataFrame:
    """Counts of (current category, next category) pairs within entities, as a matrix."""
    current = as_categories(values)
    following = current.groupby(ids.to_numpy(), sort=False).shift(-1)
    pairs = pd.DataFrame({"source": current, "next": following}).dropna()
    return pd.crosstab(pairs["source"], pairs["next"])


def transition_distance(real: pd.DataFrame, synthetic: pd.DataFrame) -> float:
    """Mean total variation distance between next-category distributions per source category.

    Takes two `transition_counts` matrices. Each real source category weighs as often as it
    is followed by an event in the real table; one never followed in the synthetic table
    counts as distance 1. NaN when the real table has no transitions.
    """
    if real.values.sum() == 0:
        return float("nan")
    columns = real.columns.union(synthetic.columns)
    real = real.reindex(columns=columns, fill_value=0)
    synthetic = synthetic.reindex(index=real.index, columns=columns, fill_value=0)
    p = real.div(real.sum(axis=1), axis=0)
    synthetic_totals = synthetic.sum(axis=1)
    q = synthetic.div(synthetic_totals.where(synthetic_totals > 0), axis=0)
    distances = (0.5 * (p - q).abs().sum(axis=1)).where(synthetic_totals > 0, 1.0)
    weights = real.sum(axis=1) / real.values.sum()
    return float((distances * weights).sum())


def share_constant(values: pd.Series, ids: pd.Series) -> float:
    """Share of entities whose column holds one value on every row (missing is a value)."""
    distinct = as_categories(values).groupby(ids.to_numpy(), sort=False).nunique()
    return float((distinct <= 1).mean()) if len(distinct) else float("nan")


def share_non_decreasing(times: pd.Series, ids: pd.Series) -> float:
    """Share of entities whose times, in row order, never decrease (missing times are skipped)."""
    present = times.notna().to_numpy()
    times, ids = times[present], ids.to_numpy()[present]
    decreasing = (times.groupby(ids, sort=False).diff() < 0).groupby(ids, sort=False).any()
    return float(1.0 - decreasing.mean()) if len(decreasing) else float("nan")
