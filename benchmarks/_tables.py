"""Helpers shared by the event-table benchmarks: synthetic tables, the grouped reference of the
time-step frame, the train/test split by entity, timing, progress notes and a plain table
printer.

The benchmark scripts import this module by its bare name, so their folder must be on the path
(it is when a script runs as `python benchmarks/bench_*.py`).
"""

import os
import sys
import time
from collections.abc import Callable, Sequence

# Before TensorFlow is first imported, so its start-up chatter stays off the printed tables.
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from bench_date import best_time  # noqa: E402

__all__ = [
    "best_time",
    "cell",
    "event_table",
    "flights_sample",
    "note",
    "print_table",
    "reference_steps",
    "split_by_entity",
    "timed",
]

KINDS = np.array(["view", "search", "cart", "buy", "return"])
KIND_SHARES = [0.45, 0.25, 0.15, 0.1, 0.05]
FLIGHT_EVENTS = ["origin", "dest", "dep_delay", "air_time", "distance"]
STARTED = time.perf_counter()


def event_table(entities: int, max_events: int = 60, seed: int = 0) -> pd.DataFrame:
    """An event table of `entities` entities with 1 to `max_events` events each.

    Columns: an integer id, a datetime `t`, a categorical `kind` (text), a float `amount`
    with about 10% missing and an integer `count`. Rows arrive in time order across all
    entities, so the entities interleave the way a real log would.
    """
    rng = np.random.default_rng(seed)
    counts = rng.integers(1, max_events + 1, size=entities)
    rows = int(counts.sum())
    owner = np.repeat(np.arange(entities), counts)
    # Labels in random order, so that grouping has to sort them.
    labels = rng.permutation(entities * 3)[:entities]
    first = np.repeat(rng.integers(0, 365 * 86400, size=entities), counts)
    # Each entity's first event at its start, then exponential gaps of a few hours.
    elapsed = np.cumsum(rng.exponential(6 * 3600, size=rows).astype(np.int64))
    seconds = first + elapsed - np.repeat(elapsed[np.cumsum(counts) - counts], counts)
    amount = np.round(rng.lognormal(3.0, 1.0, size=rows), 2)
    amount[rng.random(rows) < 0.1] = np.nan
    frame = pd.DataFrame(
        {
            "id": labels[owner],
            "t": np.datetime64("2023-01-01T00:00:00", "ns") + seconds.astype("m8[s]"),
            "kind": pd.Series(rng.choice(KINDS, size=rows, p=KIND_SHARES), dtype="str"),
            "amount": amount,
            "count": rng.integers(1, 10, size=rows),
        }
    )
    return frame.sort_values("t", kind="stable", ignore_index=True)


def flights_sample() -> pd.DataFrame:
    """The bundled flights table with its time column parsed."""
    from velora.data import load_flights_sample

    flights = load_flights_sample()
    flights["time_hour"] = pd.to_datetime(flights["time_hour"])
    return flights


def reference_steps(df: pd.DataFrame, id_idx: str, time_idx: str, max_steps: int) -> pd.DataFrame:
    """The time-step frame by its grouped definition, one pandas group at a time.

    The same lines as the reference of tests/complex/test_preprocess.py: filler rows are typed
    as reindexing types missing values, and the start keeps the time column's dtype.
    """
    T = min(max_steps, df.groupby(id_idx).size().max())
    start, gap = f"{time_idx}_0", f"{time_idx}_diff"
    converted, keys = [], []
    for key, x in df.groupby(id_idx):
        x = x.copy()
        x[start] = pd.Series(x[time_idx].min(), index=x.index, dtype=x[time_idx].dtype)
        x[gap] = x[time_idx].diff()
        x = x.iloc[:T].reset_index(drop=True)
        if len(x) < T:
            filler = x.iloc[:0].reindex(pd.RangeIndex(len(x), T))
            filler[id_idx] = pd.Series(key, index=filler.index, dtype=x[id_idx].dtype)
            x = pd.concat([x, filler])
        converted.append(x.drop(columns=[time_idx]).rename_axis("_step"))
        keys.append(key)
    return pd.concat(converted, keys=keys, names=[id_idx])


def split_by_entity(
    table: pd.DataFrame, id_col: str, test_share: float, seed: int
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The train and test rows, a share of whole entities drawn for test with a fixed seed."""
    ids = np.sort(table[id_col].unique())
    shuffled = np.random.default_rng(seed).permutation(ids)
    test = table[id_col].isin(shuffled[: round(test_share * len(ids))])
    return table[~test].reset_index(drop=True), table[test].reset_index(drop=True)


def timed(step: Callable[[], object]) -> tuple[object, float]:
    """The step's result and its wall-clock seconds."""
    began = time.perf_counter()
    result = step()
    return result, time.perf_counter() - began


def note(message: str) -> None:
    """Progress on stderr, so that the printed tables stay clean."""
    print(f"[{time.perf_counter() - STARTED:7.1f} s] {message}", file=sys.stderr, flush=True)


def cell(value: float | None, digits: str = ".4g") -> str:
    """A number as a table cell; "-" where there is none."""
    return "-" if value is None else format(value, digits)


def print_table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    """Prints rows under headers: the first column left-aligned, the others right-aligned.

    Cells are printed with str(), so callers format numbers as they want them shown.
    """
    cells = [[str(cell) for cell in row] for row in rows]
    widths = [max(len(str(h)), *(len(row[i]) for row in cells)) for i, h in enumerate(headers)]

    def line(values: Sequence[str]) -> str:
        first, *rest = values
        parts = [f"{first:<{widths[0]}}"]
        parts += [f"{value:>{width}}" for value, width in zip(rest, widths[1:], strict=True)]
        return "  ".join(parts).rstrip()

    print(line([str(h) for h in headers]))
    for row in cells:
        print(line(row))
