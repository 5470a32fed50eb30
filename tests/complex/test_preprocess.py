"""The time-step frame of an event table, compared with the grouped pandas definition."""

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig

preprocess_df = EventSynthesizer.preprocess_df


def reference_steps(df: pd.DataFrame, id_idx: str, time_idx: str, max_steps: int) -> pd.DataFrame:
    """The grouped definition, with filler rows typed as reindexing types missing values.

    The start keeps the time column's dtype even for an entity without any time (pandas would
    store a lone NaT at nanosecond resolution).
    """
    T = min(max_steps, df.groupby(id_idx).size().max())
    start, gap = f"{time_idx}_0", f"{time_idx}_diff"
    converted, keys = [], []
    for key, x in df.groupby(id_idx):
        x = x.sort_values(time_idx, kind="stable", na_position="last")
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


def owner_of(max_steps: int, clusters=None, id_idx="id", time_idx="t", **config):
    return SimpleNamespace(
        clusters=clusters or {}, id_idx=id_idx, time_idx=time_idx, max_time_steps=max_steps,
        config=DeepStateConfig(max_time_steps=max_steps, **config),
    )  # fmt: skip


def steps_of(df: pd.DataFrame, max_steps: int, clusters=None, id_idx="id", time_idx="t"):
    owner = owner_of(max_steps, clusters, id_idx, time_idx)
    return preprocess_df(owner, df, max_time_steps=max_steps)


def assert_same_steps(actual: pd.DataFrame, expected: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(actual, expected, check_index_type=False)
    assert list(actual.index.names) == list(expected.index.names)


@pytest.fixture
def events() -> pd.DataFrame:
    times = pd.to_datetime(
        ["2024-01-03", "2024-01-01", "2024-01-02", "2024-01-05", "2024-01-02", "2024-01-04"]
    )
    return pd.DataFrame(
        {
            "id": [2, 1, 1, 2, 3, 1],
            "t": times,
            "kind": ["a", "b", None, "a", "c", "b"],
            "amount": [1.5, 2.0, np.nan, 4.0, 5.0, 6.0],
            "count": [1, 2, 3, 4, 5, 6],
        }
    )


@pytest.mark.parametrize("max_steps", [1, 2, 3, 10])
def test_matches_the_grouped_definition(events, max_steps):
    assert_same_steps(steps_of(events, max_steps), reference_steps(events, "id", "t", max_steps))


def test_layout_of_padded_truncated_and_exact_entities(events):
    steps = steps_of(events, 2)
    assert list(steps.index.names) == ["id", "_step"]
    assert steps.index.tolist() == [(1, 0), (1, 1), (2, 0), (2, 1), (3, 0), (3, 1)]
    assert list(steps.columns) == ["id", "kind", "amount", "count", "t_0", "t_diff"]
    filler = steps.loc[(3, 1)]
    assert filler["id"] == 3 and pd.isna(filler["t_0"]) and pd.isna(filler["t_diff"])
    assert steps["t_diff"].dtype.kind == "m" and pd.isna(steps.loc[(1, 0), "t_diff"])
    # arrival order, not time order: entity 1's second event came before its first in time
    assert steps.loc[(1, 1), "t_diff"] == pd.Timedelta(days=1)


def test_events_are_taken_in_time_order_whatever_the_row_order(events):
    steps = steps_of(events, 3)
    assert steps.loc[(2, 1), "t_diff"] == pd.Timedelta(days=2)
    reordered = events.iloc[::-1].reset_index(drop=True)
    pd.testing.assert_frame_equal(steps_of(reordered, 3), steps)


def test_numeric_gaps_keep_one_dtype_for_every_entity():
    df = pd.DataFrame({"id": [1, 1, 1, 2], "t": [10, 13, 20, 5], "v": [0.1, 0.2, 0.3, 0.4]})
    steps = steps_of(df, 3)
    assert steps["t_diff"].dtype == np.float64
    assert steps["t_diff"].tolist()[:3] == pytest.approx([np.nan, 3.0, 7.0], nan_ok=True)
    assert steps["t_0"].tolist()[3:] == pytest.approx([5.0, np.nan, np.nan], nan_ok=True)
    assert_same_steps(steps, reference_steps(df, "id", "t", 3))


def test_the_callers_frame_is_left_alone(events):
    before = events.copy()
    steps_of(events, 2)
    pd.testing.assert_frame_equal(events, before)


def test_rows_without_id_drop_out():
    df = pd.DataFrame({"id": [1.0, np.nan, 1.0], "t": [1.0, 2.0, 3.0]})
    steps = steps_of(df, 5)
    assert steps.index.tolist() == [(1.0, 0), (1.0, 1)]


id_values = st.sampled_from([st.integers(0, 6), st.sampled_from(["u", "v", "w", "x"])])


@st.composite
def event_tables(draw):
    ids = draw(id_values)
    rows = draw(st.integers(1, 40))
    frame = pd.DataFrame(
        {
            "id": draw(st.lists(ids, min_size=rows, max_size=rows)),
            "t": draw(
                st.lists(st.one_of(st.none(), st.integers(0, 10_000)), min_size=rows, max_size=rows)
            ),
            "flag": draw(st.lists(st.booleans(), min_size=rows, max_size=rows)),
            "n": draw(st.lists(st.integers(-5, 5), min_size=rows, max_size=rows)),
            "x": draw(
                st.lists(st.one_of(st.none(), st.floats(-1e6, 1e6)), min_size=rows, max_size=rows)
            ),
            "label": draw(
                st.lists(st.one_of(st.none(), st.sampled_from("abc")), min_size=rows, max_size=rows)
            ),
        }
    )
    frame["t"] = frame["t"].astype("float64")
    frame["t"] = pd.to_datetime(frame["t"], unit="h") if draw(st.booleans()) else frame["t"]
    frame["label"] = frame["label"].astype(draw(st.sampled_from(["str", "category", object])))
    return frame


@settings(max_examples=80, deadline=None)
@given(df=event_tables(), max_steps=st.integers(1, 12))
def test_matches_the_grouped_definition_on_varied_tables(df, max_steps):
    assert_same_steps(steps_of(df, max_steps), reference_steps(df, "id", "t", max_steps))


# --- windows over long entities -------------------------------------------------------------


def numbered_events(lengths: list[int]) -> pd.DataFrame:
    """Entity e's events numbered 0, 1, ... in time order, an hour times the number apart."""
    ids = np.repeat(np.arange(len(lengths)), lengths)
    number = np.concatenate([np.arange(n) for n in lengths])
    hours = np.concatenate([np.cumsum(np.arange(n) + 1.0) for n in lengths])
    times = pd.Timestamp("2024-01-01") + pd.to_timedelta(hours, unit="h")
    return pd.DataFrame({"id": ids, "t": times, "number": number.astype(float)})


@settings(max_examples=60, deadline=None)
@given(
    lengths=st.lists(st.integers(1, 40), min_size=1, max_size=5),
    max_steps=st.integers(1, 9),
    burn_in=st.integers(0, 12),
)
def test_windows_count_every_event_exactly_once(lengths, max_steps, burn_in):
    df = numbered_events(lengths)
    owner = owner_of(max_steps, windows=True, window_burn_in=burn_in)
    steps = preprocess_df(owner, df, max_time_steps=max_steps)
    T = min(max_steps, max(lengths))
    stride = T - min(burn_in, T - 1)
    counted = owner.training_windows["counted_steps"].ravel() > 0.5
    first = owner.training_windows["first_window"].ravel() > 0.5
    window = steps.index.get_level_values("_window").to_numpy()
    step = steps.index.get_level_values("_step").to_numpy()
    assert list(steps.index.names) == ["id", "_window", "_step"]
    # A window is its entity's events from window * stride on, then filler past its last.
    expected = window * stride + step
    real = steps["number"].notna().to_numpy()
    np.testing.assert_array_equal(steps["number"].to_numpy()[real], expected[real])
    length = np.asarray(lengths)[steps["id"].to_numpy()]
    np.testing.assert_array_equal(real, expected < length)
    events = steps[counted & real]
    pairs = sorted(zip(events["id"], events["number"], strict=True))
    assert pairs == sorted(zip(df["id"], df["number"], strict=True))
    # Filler in an entity's last window only, which always reaches past its last event when
    # the entity fills a window.
    last = pd.Series(window).groupby(steps["id"].to_numpy()).transform("max").to_numpy()
    assert not (~real & (window != last)).any()
    filled_a_window = (length >= T) & (min(burn_in, T - 1) > 0)
    assert (~real[(window == last) & filled_a_window]).sum() >= np.unique(
        steps["id"].to_numpy()[filled_a_window]
    ).size
    assert real[::T].all(), "a window of filler alone"
    assert first.sum() == len(lengths) and (window[::T] == 0).sum() == len(lengths)
    np.testing.assert_array_equal(owner.entity_lengths, lengths)
    # Gaps are the events' own, also at the start of a later window.
    gaps = steps["t_diff"].dt.total_seconds().to_numpy() / 3600
    np.testing.assert_array_equal(gaps[real & (expected > 0)], expected[real & (expected > 0)] + 1)


@pytest.mark.parametrize("burn_in", [-1, 2.5])
def test_a_burn_in_that_is_no_count_of_events_is_refused(burn_in):
    owner = owner_of(4, windows=True, window_burn_in=burn_in)
    with pytest.raises(ValueError, match="window_burn_in must be a whole number of at least 0"):
        preprocess_df(owner, numbered_events([3, 9]), max_time_steps=4)
