"""The command line: its error paths, the time codec and a short real run."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from velora import cli

REPOSITORY = Path(__file__).resolve().parents[1]

FLIGHTS = pd.DataFrame(
    {
        "plane": ["A", "A", "A", "B", "B", "B"],
        "when": ["2013-01-01 10:00:00", "2013-01-01 12:00:00", "2013-01-02 08:00:00"] * 2,
        "dest": ["BOS", "ATL", "BOS", "ORD", "ORD", "ATL"],
        "delay": [1.0, 5.0, -2.0, 0.0, 3.0, 7.0],
        "carrier": ["X", "X", "X", "Y", "Y", "Y"],
    }
)
ROLES = ["--id", "plane", "--time", "when", "--constants", "carrier"]


@pytest.fixture
def flights_csv(tmp_path):
    path = tmp_path / "flights.csv"
    FLIGHTS.to_csv(path, index=False)
    return path


def run_failing(args, tmp_path, capsys):
    """Run the command line, expect a usage error; returns stderr. Nothing may be written."""
    before = set(tmp_path.rglob("*"))
    assert cli.main([str(a) for a in args]) == 2
    assert set(tmp_path.rglob("*")) == before
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("error: ")
    return err


@pytest.mark.parametrize(
    "input_name, extra, message",
    [
        ("flights.csv", ["--events", "nope"], "error: unknown column 'nope' in"),
        (
            "flights.csv",
            ["--events", "dest", "--constants", "dest"],
            "column 'dest' is given more than one role",
        ),
        ("flights.csv", ["--output", "out.json"], "unknown extension '.json'"),
        (
            "flights.csv",
            ["--time", "dest"],
            "time column 'dest' cannot be read as dates or numbers",
        ),
        ("missing.csv", [], "no such file:"),
        ("flights.txt", [], "unknown extension '.txt'"),
    ],
)
def test_synthesize_usage_errors(flights_csv, tmp_path, capsys, input_name, extra, message):
    (tmp_path / "flights.txt").write_text("x")
    extra = [tmp_path / a if a.endswith(".json") else a for a in extra]
    args = ["synthesize", tmp_path / input_name, *ROLES, "--output", tmp_path / "out.csv", *extra]
    assert message in run_failing(args, tmp_path, capsys)


@pytest.mark.parametrize(
    "swap, message",
    [
        (lambda r, s: (r, s.drop(columns="delay")), "unknown column 'delay' in"),
        (lambda r, s: (r, s.assign(when="tomorrow")), "time column 'when' cannot be read"),
    ],
)
def test_report_usage_errors(flights_csv, tmp_path, capsys, swap, message):
    real, synthetic = swap(FLIGHTS, FLIGHTS)
    synthetic.to_csv(tmp_path / "synthetic.csv", index=False)
    args = ["report", flights_csv, tmp_path / "synthetic.csv", *ROLES, "--output", tmp_path / "r"]
    assert message in run_failing(args, tmp_path, capsys)


def test_parquet_without_pyarrow_is_explained(tmp_path, capsys):
    if importlib.util.find_spec("pyarrow"):
        pytest.skip("pyarrow is installed here")
    (tmp_path / "t.parquet").write_bytes(b"PAR1")
    args = ["synthesize", tmp_path / "t.parquet", *ROLES, "--output", tmp_path / "o.csv"]
    assert "needs pyarrow, which velora does not install" in run_failing(args, tmp_path, capsys)


def test_report_writes_the_page_and_prints_the_summary(flights_csv, tmp_path, capsys):
    synthetic = FLIGHTS.assign(plane=FLIGHTS["plane"].map({"A": "s1", "B": "s2"}))
    synthetic.to_csv(tmp_path / "synthetic.csv", index=False)
    args = ["report", flights_csv, tmp_path / "synthetic.csv", *ROLES, "--output", tmp_path / "r"]
    assert cli.main([str(a) for a in args]) == 0
    out = capsys.readouterr().out
    assert f"Report: {tmp_path / 'r' / 'report.md'}" in out and "gap_ks" in out
    assert (tmp_path / "r" / "report.json").is_file()


def test_default_events_are_the_columns_without_a_role():
    roles = cli.TableRoles("plane", "when", const_cols=["carrier"])
    assert roles.with_default_events(FLIGHTS.columns).event_cols == ["dest", "delay"]


@pytest.mark.parametrize(
    "times",
    [
        FLIGHTS["when"],
        pd.to_datetime(FLIGHTS["when"]),
        pd.Series([10.5, 20.0, 1e6], name="t"),
        pd.Series([1.7e12, 1.7e12 + 5500.0], name="epoch_ms"),  # too large as seconds from 1970
    ],
)
def test_time_codec_gives_back_the_input_form(times):
    codec = cli.TimeCodec(times)
    assert pd.api.types.is_datetime64_any_dtype(codec.times.dtype)
    pd.testing.assert_series_equal(codec.decode(codec.times), times, check_dtype=False)


def test_synthesize_writes_entities_in_the_input_layout(flights_csv, tmp_path, capsys):
    output = tmp_path / "synthetic.csv"
    args = ["synthesize", flights_csv, *ROLES, "--steps", "2", "--entities", "3",
            "--events-per-entity", "4", "--output", output, "--report", tmp_path / "r"]  # fmt: skip
    assert cli.main([str(a) for a in args]) == 0
    synthetic = pd.read_csv(output)
    assert list(synthetic.columns) == list(FLIGHTS.columns)
    assert synthetic["plane"].tolist() == [f"synthetic-000{i}" for i in (1, 2, 3) for _ in range(4)]
    assert synthetic.groupby("plane")["carrier"].nunique().le(1).all()
    assert (tmp_path / "r" / "report.md").is_file()
    assert f"Synthetic table: {output}" in capsys.readouterr().out


def test_module_entry_point_shows_help():
    done = subprocess.run(
        [sys.executable, "-m", "velora", "synthesize", "--help"],
        capture_output=True,
        text=True,
        cwd=REPOSITORY,
    )
    assert done.returncode == 0
    assert "--events-per-entity" in done.stdout and "pyarrow" in done.stdout


@pytest.mark.parametrize(
    "real, synthetic, expected",
    [
        (["2013-01-01 05:00", "2013-01-01 06:00", "2013-01-02 17:00"],
         ["2013-01-01 07:29", "2013-01-03 01:31"],
         ["2013-01-01 07:00", "2013-01-03 02:00"]),
        (["1980-01-01 00:00", "1980-01-02 00:00", "1982-01-01 00:00"],
         ["1981-03-05 11:59", "1981-03-05 12:01"],
         ["1981-03-05", "1981-03-06"]),
    ],
    ids=["hourly", "daily"],
)  # fmt: skip
def test_synthetic_times_are_put_on_the_real_grid(real, synthetic, expected):
    codec = cli.TimeCodec(pd.Series(pd.to_datetime(real), name="t"))
    decoded = codec.decode(pd.Series(pd.to_datetime([*synthetic, None]), name="t"))
    assert decoded.name == "t" and pd.isna(decoded.iloc[-1])
    assert list(decoded.iloc[:-1]) == list(pd.to_datetime(expected))


@pytest.mark.parametrize(
    "times, resolution",
    [
        (pd.to_datetime(["2020-01-01 00:00", "2020-01-01 06:00", "2020-01-02 12:00"]), "6h"),
        (pd.to_datetime(["2020-01-01 00:00:00", "2020-01-01 00:00:01"]), "1s"),
        (pd.to_datetime(["2020-01-01", "2020-01-01"]), None),
        (pd.to_datetime([None, None]), None),
    ],
    ids=["six-hourly", "seconds", "one time", "none"],
)
def test_time_resolution_is_the_largest_common_step(times, resolution):
    found = cli.time_resolution(pd.Series(times))
    assert found == (None if resolution is None else pd.Timedelta(resolution))


def test_numeric_times_keep_their_grid():
    codec = cli.TimeCodec(pd.Series([0.0, 1.5, 3.0], name="t"))
    shifted = codec.times + pd.to_timedelta([0.2, 0.9, 0.1], unit="s")
    np.testing.assert_allclose(codec.decode(shifted), [0.0, 3.0, 3.0])
