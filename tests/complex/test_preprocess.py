"""The time-step frame of an event table, compared with the grouped pandas definition."""

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.complex.episode_forge import EventSynthesizer

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


def steps_of(df: pd.DataFrame, max_steps: int, clusters=None, id_idx="id", time_idx="t"):
    owner = SimpleNamespace(
        clusters=clusters or {}, id_idx=id_idx, time_idx=time_idx, max_time_steps=max_steps
    )
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
