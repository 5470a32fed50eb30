"""A first-order Markov chain over event tables: the simple baseline of the peer benchmark.

The state of an event is the joint value of its categorical event columns (missing values are
a value of their own). The chain learns from the training entities:

- the constant attributes: a whole row of them, resampled from the entities;
- the first state, conditioned on those constants (each resampled row was seen, so its
  starting states are known);
- the transitions between consecutive states, as counted;
- per state, the numeric event columns, drawn together as one real event in that state, so
  that columns which depend on the state (a route's distance) and on each other stay
  consistent and missing values keep their frequency;
- per state, the gap to the previous event, drawn from the real events in that state that
  have one;
- the first event's time (with the constants, from the same entity) and the number of events
  per entity, drawn from the entities.

It needs only NumPy and pandas. Draws are uniform over the observed cases of a key, which is
the same as drawing in proportion to the counts.
"""

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = ["MarkovBaseline"]


@dataclass
class _Pool:
    """For each key k, the cases cases[offsets[k]:offsets[k + 1]] (CSR layout)."""

    offsets: np.ndarray
    cases: np.ndarray

    @classmethod
    def of(cls, keys: np.ndarray, cases: np.ndarray, size: int, fallback: np.ndarray) -> "_Pool":
        """Groups cases by key; a key without cases draws from `fallback` instead."""
        order = np.argsort(keys, kind="stable")
        keys, cases = keys[order], cases[order]
        counts = np.bincount(keys, minlength=size)
        ends = np.cumsum(counts)
        parts = [
            cases[end - count : end] if count else fallback
            for count, end in zip(counts, ends, strict=True)
        ]
        offsets = np.concatenate([[0], np.cumsum([len(part) for part in parts])])
        return cls(offsets, np.concatenate(parts))

    def draw(self, keys: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        begin, end = self.offsets[keys], self.offsets[keys + 1]
        return self.cases[begin + (rng.random(len(keys)) * (end - begin)).astype(np.int64)]


def _is_numeric(column: pd.Series) -> bool:
    # Flags are states, not quantities.
    return pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column)


def _codes(frame: pd.DataFrame) -> np.ndarray:
    """One code per distinct row of frame (missing values included); all 0 without columns."""
    if frame.shape[1] == 0:
        return np.zeros(len(frame), dtype=np.int64)
    return frame.groupby(list(frame.columns), dropna=False, sort=False).ngroup().to_numpy()


class MarkovBaseline:
    """A first-order Markov chain of an event table's entities; see the module docstring.

    Args:
        id_col: the column that tells entities apart.
        time_col: the event times (datetimes or numbers).
        event_cols: the columns of the events; those that are not numeric form the state.
        const_cols: the columns constant within an entity (their first value counts).
        seed: seed of the draws of `sample`.
    """

    def __init__(
        self,
        id_col: str,
        time_col: str,
        event_cols: Sequence[str],
        const_cols: Sequence[str] = (),
        seed: int | None = 0,
    ) -> None:
        self.id_col, self.time_col = id_col, time_col
        self.event_cols, self.const_cols = list(event_cols), list(const_cols)
        self.rng = np.random.default_rng(seed)
        self.lengths: np.ndarray | None = None

    def fit(self, df: pd.DataFrame) -> "MarkovBaseline":
        """Learns the chain from df, one entity per id (events in time order)."""
        if len(df) == 0:
            raise ValueError("cannot fit a Markov chain on an empty table")
        used = {self.id_col, self.time_col, *self.event_cols, *self.const_cols}
        self.columns = [column for column in df.columns if column in used]
        df = df.sort_values([self.id_col, self.time_col], kind="stable", ignore_index=True)
        self.state_cols = [c for c in self.event_cols if not _is_numeric(df[c])]
        self.numeric_cols = [c for c in self.event_cols if c not in self.state_cols]

        ids = df[self.id_col]
        first = (ids != ids.shift()).to_numpy().copy()
        first[0] = True
        starts = np.flatnonzero(first)
        self.lengths = np.diff(np.append(starts, len(df)))

        states = _codes(df[self.state_cols])
        state_count = int(states.max()) + 1
        self.state_values = df[self.state_cols].iloc[np.unique(states, return_index=True)[1]]
        self.state_values = self.state_values.reset_index(drop=True)
        self.numeric_values = df[self.numeric_cols]

        times = df[self.time_col]
        self.time_dtype = times.dtype
        # Datetimes are chained as integers in their own unit, so nothing is rounded.
        ticks = times.to_numpy().view(np.int64) if times.dtype.kind == "M" else times.to_numpy()
        self.starts = ticks[starts]
        self.constants = df[self.const_cols].iloc[starts].reset_index(drop=True)
        self.const_keys = _codes(self.constants)

        every_state = states
        later = ~first
        self.initial = _Pool.of(
            self.const_keys, states[starts], int(self.const_keys.max()) + 1, every_state
        )
        self.transitions = _Pool.of(
            states[np.flatnonzero(later) - 1], states[later], state_count, every_state
        )
        self.events = _Pool.of(states, np.arange(len(df)), state_count, np.arange(len(df)))
        gaps = (ticks[1:] - ticks[:-1])[later[1:]]
        # An entity table of single events has no gaps at all; its later events follow at once.
        all_gaps = gaps if len(gaps) else np.zeros(1, dtype=ticks.dtype)
        self.gaps = _Pool.of(states[later], gaps, state_count, all_gaps)
        return self

    def sample(
        self,
        n_entities: int | None = None,
        lengths: Sequence[int] | None = None,
        ids: Sequence[object] | None = None,
    ) -> pd.DataFrame:
        """Synthetic entities, in the fitted table's columns, ids 0, 1, ... unless given.

        Pass the number of entities (their events per entity drawn from the real ones) or
        the events per entity themselves.
        """
        if self.lengths is None:
            raise ValueError("fit the Markov chain before sampling from it")
        if lengths is None:
            if n_entities is None:
                raise ValueError("give the number of entities or their lengths")
            lengths = self.rng.choice(self.lengths, size=n_entities)
        lengths = np.asarray(lengths, dtype=np.int64)
        if (lengths < 0).any():
            raise ValueError("events per entity must not be negative")
        n_entities = len(lengths)
        ids = np.arange(n_entities) if ids is None else np.asarray(ids)
        if len(ids) != n_entities:
            raise ValueError("give one id per entity")

        rng = self.rng
        source = rng.integers(0, len(self.starts), size=n_entities)
        offsets = np.concatenate([[0], np.cumsum(lengths)])
        states = np.empty(offsets[-1], dtype=np.int64)
        active = np.flatnonzero(lengths > 0)
        states[offsets[active]] = self.initial.draw(self.const_keys[source[active]], rng)
        for step in range(1, int(lengths.max(initial=0))):
            active = np.flatnonzero(lengths > step)
            previous = states[offsets[active] + step - 1]
            states[offsets[active] + step] = self.transitions.draw(previous, rng)

        owner = np.repeat(np.arange(n_entities), lengths)
        is_first = np.zeros(len(states), dtype=bool)
        is_first[offsets[:-1][lengths > 0]] = True
        gaps = self.gaps.draw(states, rng)
        gaps[is_first] = 0
        elapsed = np.cumsum(gaps)
        elapsed -= np.repeat(elapsed[offsets[:-1][lengths > 0]], lengths[lengths > 0])
        ticks = self.starts[source][owner] + elapsed
        times = ticks.view(self.time_dtype) if self.time_dtype.kind == "M" else ticks

        rows = self.events.draw(states, rng)
        parts = {
            self.id_col: pd.Series(ids[owner]),
            self.time_col: pd.Series(times).astype(self.time_dtype),
        }
        for column in self.const_cols:
            parts[column] = self.constants[column].iloc[source[owner]].reset_index(drop=True)
        for column in self.state_cols:
            parts[column] = self.state_values[column].iloc[states].reset_index(drop=True)
        for column in self.numeric_cols:
            parts[column] = self.numeric_values[column].iloc[rows].reset_index(drop=True)
        return pd.DataFrame({column: parts[column] for column in self.columns})
