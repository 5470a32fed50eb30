"""The Markov-chain baseline of the peer benchmark (benchmarks/markov_baseline.py)."""

import numpy as np
import pandas as pd
import pytest

from benchmarks.markov_baseline import MarkovBaseline

EVENTS = ["kind", "amount"]


def table(rows: list[tuple]) -> pd.DataFrame:
    frame = pd.DataFrame(rows, columns=["id", "t", "group", "kind", "amount"])
    frame["t"] = pd.Timestamp("2024-01-01") + pd.to_timedelta(frame["t"], unit="h")
    return frame


# Group "x" cycles a -> b -> c -> a, group "y" stays on d; each kind has its own amount and gap.
CYCLE = table(
    [("e1", 0, "x", "a", 1.0), ("e1", 1, "x", "b", 2.0), ("e1", 3, "x", "c", 3.0),
     ("e1", 4, "x", "a", 1.0), ("e1", 5, "x", "b", 2.0),
     ("e2", 10, "x", "a", 1.0), ("e2", 11, "x", "b", 2.0), ("e2", 13, "x", "c", 3.0),
     ("e3", 2, "y", "d", 4.0), ("e3", 7, "y", "d", 4.0), ("e3", 12, "y", "d", 4.0)]
)  # fmt: skip


def fitted(df: pd.DataFrame = CYCLE, seed: int = 0) -> MarkovBaseline:
    return MarkovBaseline("id", "t", EVENTS, ["group"], seed=seed).fit(df)


def test_sample_has_the_columns_dtypes_and_lengths_asked_for():
    out = fitted().sample(lengths=[4, 1, 0, 7], ids=["s1", "s2", "s3", "s4"])
    assert list(out.columns) == list(CYCLE.columns)
    assert out.dtypes.to_dict() == CYCLE.dtypes.to_dict()
    assert out.groupby("id").size().to_dict() == {"s1": 4, "s2": 1, "s4": 7}


def test_entity_count_draws_lengths_from_the_real_ones():
    out = fitted().sample(200)
    sizes = out.groupby("id").size()
    assert len(sizes) == 200 and set(sizes) == {3, 5}
    assert sorted(out["id"].unique()) == list(range(200))


def test_only_observed_transitions_and_starts_given_the_constants():
    out = fitted().sample(300)
    follows = {"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"d"}}
    for _, entity in out.groupby("id"):
        kinds = entity["kind"].tolist()
        assert entity["group"].nunique() == 1
        assert kinds[0] == ("a" if entity["group"].iloc[0] == "x" else "d")
        assert all(b in follows[a] for a, b in zip(kinds, kinds[1:], strict=False))


def test_numbers_and_gaps_follow_the_state():
    out = fitted().sample(300)
    amounts = {"a": 1.0, "b": 2.0, "c": 3.0, "d": 4.0}
    assert (out["amount"] == out["kind"].map(amounts)).all()
    gaps = out.groupby("id")["t"].diff() / pd.Timedelta(hours=1)
    later = gaps.notna()
    observed = {"b": {1.0}, "c": {2.0}, "a": {1.0}, "d": {5.0}}
    for kind, gap in zip(out["kind"][later], gaps[later], strict=True):
        assert gap in observed[kind]


def test_first_times_and_constants_come_from_one_real_entity():
    out = fitted().sample(300)
    firsts = out.groupby("id").first()
    real = {("x", pd.Timestamp("2024-01-01 00:00")), ("x", pd.Timestamp("2024-01-01 10:00")),
            ("y", pd.Timestamp("2024-01-01 02:00"))}  # fmt: skip
    assert set(zip(firsts["group"], firsts["t"], strict=True)) == real


def test_a_state_never_followed_falls_back_to_all_states():
    # "z" is only ever last, so what follows it is drawn from every observed state.
    df = table([("e1", 0, "x", "a", 1.0), ("e1", 1, "x", "z", 2.0), ("e2", 0, "x", "a", 1.0)])
    out = fitted(df).sample(lengths=[3] * 100)
    after_z = out.groupby("id")["kind"].shift(-1)[out["kind"] == "z"].dropna()
    assert set(after_z) <= {"a", "z"} and len(after_z) > 0


def test_missing_values_are_a_state_and_numbers_keep_theirs():
    df = table([("e1", 0, "x", "a", np.nan), ("e1", 1, "x", None, 2.0),
                ("e1", 2, "x", "a", np.nan), ("e1", 3, "x", None, 2.0)])  # fmt: skip
    out = fitted(df).sample(lengths=[4] * 20)
    assert out["kind"].isna().sum() == 40
    assert out["amount"][out["kind"].isna()].eq(2.0).all()
    assert out["amount"][out["kind"].notna()].isna().all()


def test_numeric_times_and_no_categorical_columns():
    df = pd.DataFrame({"id": [1, 1, 1, 2, 2], "t": [0.0, 2.0, 3.0, 5.0, 7.0],
                       "v": [1, 2, 3, 4, 5]})  # fmt: skip
    out = MarkovBaseline("id", "t", ["v"], seed=1).fit(df).sample(lengths=[5, 2])
    assert out.dtypes.to_dict() == df.dtypes.to_dict()
    assert set(out["v"]) <= {1, 2, 3, 4, 5}
    assert set(out.groupby("id")["t"].diff().dropna()) <= {1.0, 2.0}


def test_same_seed_same_sample_and_another_seed_differs():
    first, again, other = (fitted(seed=s).sample(50) for s in (3, 3, 4))
    pd.testing.assert_frame_equal(first, again)
    assert not first.equals(other)


def test_flights_sample_end_to_end():
    from velora.data import load_flights_sample

    flights = load_flights_sample()
    flights["time_hour"] = pd.to_datetime(flights["time_hour"])
    events = ["origin", "dest", "dep_delay", "air_time", "distance"]
    model = MarkovBaseline("tailnum", "time_hour", events, ["carrier"]).fit(flights)
    out = model.sample(100)
    assert out["tailnum"].nunique() == 100
    # Ids are new (0, 1, ...); every other column keeps its dtype.
    assert out.dtypes.drop("tailnum").to_dict() == flights.dtypes.drop("tailnum").to_dict()
    assert (out.groupby("tailnum")["time_hour"].diff().dropna() >= pd.Timedelta(0)).all()
    # A route's distance is a property of the route.
    routes = flights.groupby(["origin", "dest"])["distance"].unique().map(set)
    for (origin, dest), distances in out.groupby(["origin", "dest"])["distance"]:
        assert set(distances) <= routes[(origin, dest)]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.sample(), "number of entities or their lengths"),
        (lambda m: m.sample(lengths=[2, -1]), "must not be negative"),
        (lambda m: m.sample(lengths=[2, 3], ids=["a"]), "one id per entity"),
    ],
)
def test_bad_requests_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call(fitted())


def test_refuses_to_sample_before_fit_or_fit_on_nothing():
    model = MarkovBaseline("id", "t", EVENTS)
    with pytest.raises(ValueError, match="fit the Markov chain"):
        model.sample(3)
    with pytest.raises(ValueError, match="empty table"):
        model.fit(CYCLE.iloc[:0])
