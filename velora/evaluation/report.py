"""The evaluation report: figures comparing a synthetic event table with the real one."""

import json
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from velora.files import atomic_write

from . import metrics, plots
from .columns import is_numeric_column, time_as_numbers
from .discriminator import cross_validated_auc, entity_features, frequent_levels
from .privacy import privacy_figures

# What each family of figures measures, for the report page; 0 is best unless said.
EXPLANATIONS = {
    "marginal_ks": "Kolmogorov–Smirnov statistic of a numeric or time column",
    "marginal_tvd": "total variation distance of a categorical column's categories",
    "events_per_entity_ks": "Kolmogorov–Smirnov statistic of the number of events per entity",
    "gap_ks": "Kolmogorov–Smirnov statistic of the time between consecutive events",
    "transition_tvd": "distance between next-category distributions, weighted by source",
    "constant_within_entity": "share of synthetic entities whose column is constant (1 best)",
    "time_non_decreasing": "share of synthetic entities whose times never decrease (1 best)",
    "time_outside_range": "share of synthetic events before the first or after the last real "
    "time (training entities' times included when given)",
    "time_overshoot": "how far the synthetic time furthest outside the real range lies beyond "
    "it, in units of the largest real gap between consecutive events",
    "discriminator_auc": "ROC AUC of a classifier telling synthetic from real entities (0.5 best)",
    "dcr_ratio": "median distance of synthetic entities to the closest training entity, over "
    "that of held-out entities (1 best, near 0 when training entities are copied)",
    "dcr_below_held_out_p5": "share of synthetic entities closer to a training entity than the "
    "nearest 5 % of held-out entities are (0.05 best, near 1 when copied)",
    "identical_share": "share of synthetic entities identical to a training entity",
    "membership_auc": "ROC AUC of telling training from held-out entities by the distance to "
    "the closest synthetic entity (0.5 best, near 1 when training entities leak)",
}
HEADLINE_FIGURES = ("discriminator_auc", "events_per_entity_ks", "gap_ks", "time_non_decreasing")
# Shown in the summary only when the training entities were given.
PRIVACY_HEADLINES = ("dcr_ratio", "membership_auc")


@dataclass
class _Table:
    """One side of the comparison: times as numbers, rows in time order within entities."""

    events: pd.DataFrame
    first_rows: pd.DataFrame  # one row per entity, for constant columns

    @classmethod
    def of(cls, df: pd.DataFrame, id_col: str, time_col: str) -> "_Table":
        events = df.assign(**{time_col: time_as_numbers(df[time_col])})
        events = events.sort_values([id_col, time_col], kind="stable", ignore_index=True)
        return cls(events, events.drop_duplicates(id_col, ignore_index=True))


@dataclass
class _Columns:
    """The roles of the compared columns."""

    id_col: str
    time_col: str
    event_cols: list[str]
    const_cols: list[str]
    numeric: set[str]
    is_date: bool  # times are seconds since the epoch, so gaps read best in hours

    def categorical(self, cols: Sequence[str]) -> list[str]:
        return [col for col in cols if col not in self.numeric]


@dataclass
class EvaluationReport:
    """Figures of how closely a synthetic table follows the real one, and their plots.

    `figures` maps stable names ("marginal_ks/<col>", "gap_ks", "discriminator_auc", ...) to
    numbers; NaN where a figure cannot be computed (e.g. no entity has two events). The
    privacy figures ("dcr_ratio", "membership_auc", ...) are there only when the training
    entities were given.
    """

    figures: dict[str, float]
    _real: _Table = field(repr=False)
    _synthetic: _Table = field(repr=False)
    _columns: _Columns = field(repr=False)
    _training: _Table | None = field(default=None, repr=False)

    def to_json(self, path: str | Path) -> Path:
        """Write every figure to a JSON object, NaN and infinity as null.

        Parameters
        ----------
        path : str or Path
            The file, written atomically.

        Returns
        -------
        Path
            The file written.
        """
        path = Path(path)
        finite = {k: (v if math.isfinite(v) else None) for k, v in self.figures.items()}
        with atomic_write(path) as temporary:
            temporary.write_text(json.dumps(finite, indent=2) + "\n")
        return path

    def summary(self) -> str:
        """The headline figures, one per line."""
        names = [*HEADLINE_FIGURES, *(n for n in PRIVACY_HEADLINES if n in self.figures)]
        return "\n".join(f"{name:<22} {self.figures[name]:.3f}" for name in names)

    def write(self, directory: str | Path) -> Path:
        """Write `report.md` with the figures and PNG plots, and `report.json`, into a folder.

        Parameters
        ----------
        directory : str or Path
            The folder, created if need be.

        Returns
        -------
        Path
            The path of `report.md`.
        """
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        self.to_json(directory / "report.json")
        images = self._draw(directory)
        page = directory / "report.md"
        with atomic_write(page) as temporary:
            temporary.write_text(self._markdown(images))
        return page

    def _draw(self, directory: Path) -> dict[str, str]:
        """Draw every plot into the folder; returns file names keyed by caption."""
        real, synthetic, cols = self._real, self._synthetic, self._columns
        images = {}

        def file_of(name: str) -> Path:
            return directory / f"{name.replace('/', '_')}.png"

        for col, a, b in _marginal_pairs(real, synthetic, cols):
            file = file_of(f"marginal_{col}")
            if col not in cols.numeric:
                drawn = plots.plot_categories(a, b, col, file)
            else:
                as_dates = col == cols.time_col and cols.is_date
                drawn = plots.plot_numeric(a, b, col, file, as_dates=as_dates)
            images[f"Marginal of {col}"] = drawn.name
        unit, scale = ("hours", 3600.0) if cols.is_date else ("time units", 1.0)
        gap_title = f"gap between events ({unit})"
        real_gaps, synthetic_gaps = (_gaps(t, cols) / scale for t in (real, synthetic))
        images["Gaps"] = plots.plot_numeric(
            real_gaps, synthetic_gaps, gap_title, file_of("gaps")
        ).name
        for col in cols.categorical(cols.event_cols):
            counts = [_transitions(t, cols, col) for t in (real, synthetic)]
            images[f"Transitions of {col}"] = plots.plot_transitions(
                *counts, col, file_of(f"transitions_{col}")
            ).name
        return images

    def _markdown(self, images: dict[str, str]) -> str:
        real = f"{len(self._real.first_rows)} entities, {len(self._real.events)} events"
        if self._training is not None:
            real = (
                f"{len(self._real.first_rows)} held-out entities, {len(self._real.events)} "
                f"events (the generator was trained on {len(self._training.first_rows)} "
                f"other entities, {len(self._training.events)} events)"
            )
        lines = [
            "# Evaluation report",
            "",
            f"Real: {real}. Synthetic: {len(self._synthetic.first_rows)} entities, "
            f"{len(self._synthetic.events)} events.",
            "",
            "| figure | value | meaning |",
            "|---|---|---|",
        ]
        for name, value in self.figures.items():
            lines.append(f"| `{name}` | {value:.4f} | {EXPLANATIONS[name.split('/')[0]]} |")
        lines.append("")
        for caption, file_name in images.items():
            lines += [f"## {caption}", "", f"![{caption}]({file_name})", ""]
        return "\n".join(lines)


def _marginal_pairs(
    real: _Table, synthetic: _Table, cols: _Columns
) -> Iterator[tuple[str, pd.Series, pd.Series]]:
    """Each compared column with its real and synthetic values (one per entity if constant)."""
    for col in [cols.time_col, *cols.event_cols, *cols.const_cols]:
        side = "first_rows" if col in cols.const_cols else "events"
        yield col, getattr(real, side)[col], getattr(synthetic, side)[col]


def _gaps(table: _Table, cols: _Columns) -> pd.Series:
    return metrics.gaps(table.events[cols.time_col], table.events[cols.id_col])


def _transitions(table: _Table, cols: _Columns, col: str) -> pd.DataFrame:
    return metrics.transition_counts(table.events[col], table.events[cols.id_col])


def evaluate(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    *,
    id_col: str,
    time_col: str,
    event_cols: list[str],
    const_cols: Sequence[str] = (),
    seed: int = 0,
    training: pd.DataFrame | None = None,
) -> EvaluationReport:
    """Compare a synthetic event table with the real one, both one row per event.

    Parameters
    ----------
    real, synthetic : pd.DataFrame
        The tables, in the same long layout. Times may be date-times, date text or numbers.
    id_col, time_col : str
        The entity id and the time of each event.
    event_cols : list of str
        Columns compared on every row.
    const_cols : sequence of str
        Columns constant within an entity, compared on one row per entity (its first event).
    seed : int
        Fixes the discriminator's subsampling and folds.
    training : pd.DataFrame, optional
        The real entities the generator was trained on, in the same layout; `real` then holds
        entities held out of training, and the figures gain the privacy figures, which tell
        whether synthetic entities sit closer to training entities than unseen real ones do.

    Returns
    -------
    EvaluationReport
        The figures by name (see the documentation's table), the plots, and `write`.

    Raises
    ------
    KeyError
        A table lacks one of the named columns.
    """
    const_cols = list(const_cols)
    frames = [("real", real), ("synthetic", synthetic)]
    if training is not None:
        frames.append(("training", training))
    for name, df in frames:
        missing = [c for c in [id_col, time_col, *event_cols, *const_cols] if c not in df]
        if missing:
            raise KeyError(f"{name} table lacks the columns {missing}")
    cols = _Columns(
        id_col,
        time_col,
        list(event_cols),
        const_cols,
        numeric={c for c in [*event_cols, *const_cols] if is_numeric_column(real[c])},
        is_date=not is_numeric_column(real[time_col]),
    )
    cols.numeric.add(time_col)
    real_table, synthetic_table = (_Table.of(df, id_col, time_col) for df in (real, synthetic))
    levels = _category_levels(real_table, cols)
    real_x, synthetic_x = (_entity_features(t, cols, levels) for t in (real_table, synthetic_table))
    training_table = None if training is None else _Table.of(training, id_col, time_col)
    real_sides = [real_table] if training_table is None else [real_table, training_table]
    figures = {
        **_marginal_figures(real_table, synthetic_table, cols),
        **_sequence_figures(real_table, synthetic_table, cols),
        **_consistency_figures(synthetic, cols),
        **_time_range_figures(real_sides, synthetic_table, cols),
        "discriminator_auc": cross_validated_auc(real_x, synthetic_x, seed=seed),
    }
    if training_table is not None:
        training_x = _entity_features(training_table, cols, levels)
        figures.update(privacy_figures(training_x, real_x, synthetic_x))
    return EvaluationReport(figures, real_table, synthetic_table, cols, training_table)


def _marginal_figures(real: _Table, synthetic: _Table, cols: _Columns) -> dict[str, float]:
    figures = {}
    for col, a, b in _marginal_pairs(real, synthetic, cols):
        if col in cols.numeric:
            figures[f"marginal_ks/{col}"] = metrics.ks_statistic(a, b)
        else:
            figures[f"marginal_tvd/{col}"] = metrics.total_variation(a, b)
    return figures


def _sequence_figures(real: _Table, synthetic: _Table, cols: _Columns) -> dict[str, float]:
    sizes = [metrics.events_per_entity(t.events, cols.id_col) for t in (real, synthetic)]
    figures = {
        "events_per_entity_ks": metrics.ks_statistic(*sizes),
        "gap_ks": metrics.ks_statistic(_gaps(real, cols), _gaps(synthetic, cols)),
    }
    for col in cols.categorical(cols.event_cols):
        counts = [_transitions(t, cols, col) for t in (real, synthetic)]
        figures[f"transition_tvd/{col}"] = metrics.transition_distance(*counts)
    return figures


def _consistency_figures(synthetic: pd.DataFrame, cols: _Columns) -> dict[str, float]:
    """Checks of the synthetic table alone, on its rows in the order given."""
    ids = synthetic[cols.id_col]
    figures = {
        f"constant_within_entity/{col}": metrics.share_constant(synthetic[col], ids)
        for col in cols.const_cols
    }
    times = time_as_numbers(synthetic[cols.time_col])
    figures["time_non_decreasing"] = metrics.share_non_decreasing(times, ids)
    return figures


def _time_range_figures(
    real_sides: list[_Table], synthetic: _Table, cols: _Columns
) -> dict[str, float]:
    """Where the synthetic times fall against the span of every real time."""
    real_times = pd.concat([side.events[cols.time_col] for side in real_sides])
    largest_gap = pd.concat([_gaps(side, cols) for side in real_sides]).max()
    times = synthetic.events[cols.time_col].dropna()
    beyond = np.maximum(real_times.min() - times, times - real_times.max()).clip(lower=0)
    overshoot = beyond.max() / largest_gap if len(times) and largest_gap > 0 else math.nan
    return {
        "time_outside_range": float((beyond > 0).mean()) if len(times) else math.nan,
        "time_overshoot": float(overshoot),
    }


def _category_levels(real: _Table, cols: _Columns) -> dict[str, list[str]]:
    """The levels of each categorical column that get a feature, taken from the real table.

    Every table is summarised on these levels so that all have the same feature columns.
    """
    columns = cols.categorical([*cols.event_cols, *cols.const_cols])
    return {c: frequent_levels(real.events[c]) for c in columns}


def _entity_features(
    table: _Table, cols: _Columns, category_levels: dict[str, list[str]]
) -> np.ndarray:
    """One row of summary features per entity, as the discriminator and privacy figures use."""
    return entity_features(
        table.events,
        id_col=cols.id_col,
        time_col=cols.time_col,
        numeric_cols=[c for c in [*cols.event_cols, *cols.const_cols] if c in cols.numeric],
        category_levels=category_levels,
    ).to_numpy(float)
