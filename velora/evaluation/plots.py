"""PNG plots comparing real and synthetic tables, drawn off screen."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no screen: the report is written to files

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from velora.files import atomic_write  # noqa: E402

from .metrics import MISSING, as_categories  # noqa: E402

# Categories shown in bar charts and heat maps; the rest would be unreadable.
SHOWN_LEVELS = 15
BINS = 30
REAL, SYNTHETIC = "real", "synthetic"


def _label(category: str) -> str:
    return "(missing)" if category == MISSING else category


def _save(fig: plt.Figure, path: Path) -> Path:
    try:
        with atomic_write(path) as temporary:
            fig.savefig(temporary, dpi=100, format="png")
    finally:
        plt.close(fig)
    return path


def plot_numeric(
    real: pd.Series, synthetic: pd.Series, title: str, path: Path, *, as_dates: bool = False
) -> Path:
    """Histograms of two numeric columns on shared bins, side by side; with `as_dates`, the
    values are seconds since the epoch and the axis shows them as dates."""
    a, b = real.dropna().to_numpy(float), synthetic.dropna().to_numpy(float)
    both = np.concatenate([a, b])
    bins = np.histogram_bin_edges(both, bins=BINS) if both.size else BINS
    fig, axes = plt.subplots(1, 2, figsize=(9, 3.2), sharex=True, sharey=True, layout="constrained")
    for ax, values, name in zip(axes, (a, b), (REAL, SYNTHETIC), strict=True):
        ax.hist(values, bins=bins, density=True, color="C0" if name == REAL else "C1")
        ax.set_title(f"{title}: {name}")
        if as_dates:
            ax.xaxis.set_major_formatter(FuncFormatter(_as_date))
            ax.tick_params(axis="x", labelrotation=30)
    return _save(fig, path)


def _as_date(seconds: float, _position: int) -> str:
    try:
        return pd.Timestamp(seconds, unit="s").strftime("%Y-%m-%d")
    except (OverflowError, ValueError):  # a tick beyond the dates pandas can hold
        return ""


def plot_categories(real: pd.Series, synthetic: pd.Series, title: str, path: Path) -> Path:
    """Category shares of two columns as bars side by side, most frequent real ones first."""
    p = as_categories(real).value_counts(normalize=True)
    q = as_categories(synthetic).value_counts(normalize=True)
    levels = list(p.index[:SHOWN_LEVELS]) or list(q.index[:SHOWN_LEVELS])
    x = np.arange(len(levels))
    fig, ax = plt.subplots(figsize=(max(5, 0.5 * len(levels) + 2), 3.5), layout="constrained")
    ax.bar(x - 0.2, p.reindex(levels, fill_value=0), width=0.4, label=REAL)
    ax.bar(x + 0.2, q.reindex(levels, fill_value=0), width=0.4, label=SYNTHETIC)
    ax.set_xticks(x, [_label(level) for level in levels], rotation=45, ha="right")
    ax.set_ylabel("share of rows")
    ax.set_title(title)
    ax.legend()
    return _save(fig, path)


def plot_transitions(real: pd.DataFrame, synthetic: pd.DataFrame, title: str, path: Path) -> Path:
    """Heat maps of next-category probabilities given the current one, real beside synthetic.

    Takes two `transition_counts` matrices; shows the most frequent real source categories.
    """
    levels = list(real.sum(axis=1).sort_values(ascending=False).index[:SHOWN_LEVELS])
    fig, axes = plt.subplots(1, 2, figsize=(11, 5), layout="constrained")
    for ax, counts, name in zip(axes, (real, synthetic), (REAL, SYNTHETIC), strict=True):
        # Shares of all next events, so the shown cells of a row may sum to less than 1.
        totals = counts.sum(axis=1).reindex(levels, fill_value=0).replace(0, 1)
        shown = counts.reindex(index=levels, columns=levels, fill_value=0).div(totals, axis=0)
        image = ax.imshow(shown, vmin=0, vmax=1, cmap="viridis")
        ticks = [_label(level) for level in levels]
        ax.set_xticks(range(len(levels)), ticks, rotation=90)
        ax.set_yticks(range(len(levels)), ticks)
        ax.set_xlabel("next")
        ax.set_ylabel("current")
        ax.set_title(f"{title}: {name}")
    fig.colorbar(image, ax=axes, shrink=0.8, label="probability")
    return _save(fig, path)
