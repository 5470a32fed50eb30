"""The command line: its error paths, the time codec and a short real run."""

import contextlib
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from velora import cli, tables
from velora.tables.times import parse_time

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


def test_parquet_keeps_zoned_times_in_their_zone(tmp_path):
    source, output = tmp_path / "in.parquet", tmp_path / "out.parquet"
    zoned = pd.to_datetime(FLIGHTS["when"]).dt.tz_localize("America/New_York")
    FLIGHTS.assign(when=zoned).to_parquet(source)
    args = ["synthesize", source, *ROLES, "--steps", "2", "--entities", "2", "--output", output]
    assert cli.main([str(a) for a in args]) == 0
    synthetic = pd.read_parquet(output)
    assert synthetic["when"].dtype == zoned.dtype
    assert synthetic["delay"].dtype == FLIGHTS["delay"].dtype


def test_report_writes_the_page_and_prints_the_summary(flights_csv, tmp_path, capsys):
    synthetic = FLIGHTS.assign(plane=FLIGHTS["plane"].map({"A": "s1", "B": "s2"}))
    synthetic.to_csv(tmp_path / "synthetic.csv", index=False)
    args = ["report", flights_csv, tmp_path / "synthetic.csv", *ROLES, "--output", tmp_path / "r"]
    assert cli.main([str(a) for a in args]) == 0
    out = capsys.readouterr().out
    assert f"Report: {tmp_path / 'r' / 'report.md'}" in out and "gap_ks" in out
    assert (tmp_path / "r" / "report.json").is_file()


def test_default_events_are_the_columns_without_a_role():
    roles = tables.TableRoles("plane", "when", const_cols=["carrier"])
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
    codec = tables.TimeCodec(times)
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
    assert "--events-per-entity" in done.stdout and ".parquet" in done.stdout


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
    codec = tables.TimeCodec(pd.Series(pd.to_datetime(real), name="t"))
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
    found = tables.time_resolution(pd.Series(times))
    assert found == (None if resolution is None else pd.Timedelta(resolution))


@pytest.mark.parametrize(
    "real, drawn, written",
    [
        # Five-yearly waves of a panel: a time drifted by days goes back to its wave.
        (["1952-07-01", "1957-07-01", "1962-07-02"] * 4,
         ["1952-06-29", "1957-07-03", "1962-07-04", None],
         ["1952-07-01", "1957-07-01", "1962-07-02", None]),
        # Times of their own (one event each) are no calendar: only the daily grid holds.
        (["1952-07-01", "1957-07-01", "1962-07-02"],
         ["1952-06-29", "1957-07-03", "1962-07-04", None],
         ["1952-06-29", "1957-07-03", "1962-07-04", None]),
    ],
    ids=["panel", "no panel"],
)  # fmt: skip
def test_a_panel_of_a_few_dates_writes_synthetic_times_on_them(real, drawn, written):
    from velora.saving import plain_data

    codec = tables.TimeCodec(pd.Series(pd.to_datetime(real), name="t"))
    # As a model file keeps it.
    codec = tables.TimeCodec.from_plain(plain_data.loads(plain_data.dumps(codec.to_plain())))
    decoded = codec.decode(pd.Series(pd.to_datetime(drawn), name="t"))
    assert decoded.tolist() == pd.to_datetime(written).tolist()


def test_numeric_times_keep_their_grid():
    codec = tables.TimeCodec(pd.Series([0.0, 1.5, 3.0], name="t"))
    shifted = codec.times + pd.to_timedelta([0.2, 0.9, 0.1], unit="s")
    np.testing.assert_allclose(codec.decode(shifted), [0.0, 3.0, 3.0])


def table_case(name: str) -> tuple[pd.DataFrame | str, list[str]]:
    """An input table a real export might hold (or its CSV text), and the role arguments."""
    when = pd.to_datetime(FLIGHTS["when"])
    cases = {
        "newest first": (FLIGHTS.iloc[::-1], ROLES),
        "punctuated names": (
            FLIGHTS.rename(columns={"plane": "plane id", "when": "time, local"}),
            ["--id", "plane id", "--time", "time, local", "--constants", "carrier"],
        ),
        "utc times": (FLIGHTS.assign(when=when.dt.strftime("%Y-%m-%dT%H:%M:%SZ")), ROLES),
        "offset times": (
            FLIGHTS.assign(when=[t.isoformat() for t in when.dt.tz_localize("Asia/Tokyo")]),
            ROLES,
        ),
        "one event": (FLIGHTS.iloc[:1], ROLES),
        "clustered": (FLIGHTS, [*ROLES, "--sample", "dest"]),
        "codes and integers": (FLIGHTS.assign(gate=["007", "012", "007", "101", "012", "030"],
                                              seats=[120, 180, 150, 90, 200, 75]), ROLES),
        "huge integers": (FLIGHTS.assign(serial=[str(2**70 + i) for i in range(6)]), ROLES),
        # Enough distinct values to be numbers, each beyond the 64-bit range.
        "huge whole numbers": (
            pd.DataFrame({"plane": list("AAAAAABBBBBB"), "big": [10**20 * k for k in range(1, 13)],
                          "when": pd.date_range("2013-01-01", periods=12, freq="h")}),
            ["--id", "plane", "--time", "when"],
        ),
        "mixed formats": (FLIGHTS.assign(when=["13/01/2013 10:00", *FLIGHTS["when"][1:]]), ROLES),
        "varying constant": (FLIGHTS.assign(carrier=list("XYXYXY")), ROLES),
        "derived name": (FLIGHTS.assign(when_diff=1.0), ROLES),
        "no ids": (FLIGHTS.assign(plane=np.nan), ROLES),
        "year 9999": (FLIGHTS.assign(when=(when + pd.DateOffset(years=7980)).astype(str)), ROLES),
        "infinite": (FLIGHTS.assign(delay=[1.0, np.inf, 0.0, 2.0, 3.0, 4.0]), ROLES),
        "repeated names": (FLIGHTS.to_csv(index=False).replace("carrier", "dest", 1), ROLES),
    }  # fmt: skip
    return cases[name]


def write_case(name: str, path: Path) -> list[str]:
    table, roles = table_case(name)
    if isinstance(table, str):
        path.write_text(table)
    else:
        table.to_csv(path, index=False)
    return roles


@pytest.mark.parametrize(
    "name",
    ["newest first", "punctuated names", "utc times", "offset times", "one event", "clustered",
     "codes and integers", "huge integers", "huge whole numbers"],
)  # fmt: skip
def test_awkward_tables_give_synthetic_tables_in_their_own_layout(tmp_path, capsys, name):
    source = tmp_path / "in.csv"
    roles = write_case(name, source)
    before = source.read_bytes()
    output = tmp_path / "out.csv"
    args = ["synthesize", source, *roles, "--steps", "2", "--entities", "2", "--output", output]
    assert cli.main([str(a) for a in args]) == 0
    assert source.read_bytes() == before
    real, synthetic = pd.read_csv(source, dtype=str), pd.read_csv(output, dtype=str)
    assert list(synthetic.columns) == list(real.columns)
    time_col = roles[3]
    for col in real.columns.drop([roles[1], time_col]):
        if name == "huge whole numbers":  # numbers now, written as floats, within the range
            numbers, bounds = synthetic[col].astype(float), real[col].astype(float)
            assert numbers.between(bounds.min(), bounds.max()).all()
            continue
        # Codes keep their zeros and integers stay whole: each value is one the column holds.
        assert synthetic[col].dropna().isin(real[col]).all(), col
    suffix = {"utc times": "Z", "offset times": "+00:00"}.get(name, "")
    assert synthetic[time_col].dropna().str.endswith(suffix).all()
    parsed = parse_time(synthetic[time_col])
    assert (parsed.groupby(synthetic[roles[1]]).diff().dropna() >= pd.Timedelta(0)).all()


def failing_case(name: str, tmp_path: Path) -> list:
    """The arguments of a command that must fail before writing anything."""
    source = tmp_path / "in.csv"
    if name.startswith("table: "):
        roles = write_case(name.removeprefix("table: "), source)
        return ["synthesize", source, *roles, "--output", tmp_path / "out.csv"]
    FLIGHTS.to_csv(source, index=False)
    (tmp_path / "taken.csv").mkdir()
    (tmp_path / "notes.txt").write_text("x")
    FLIGHTS.assign(delay="late").to_csv(tmp_path / "text.csv", index=False)
    synthesize = ["synthesize", source, *ROLES]
    return {
        "output is the input": [*synthesize, "--output", source],
        "report into the input": [*synthesize, "--output", tmp_path / "o.csv", "--report", source],
        "report into a file": [*synthesize, "--output", tmp_path / "o.csv", "--report",
                               tmp_path / "notes.txt"],
        "output under a file": [*synthesize, "--output", tmp_path / "notes.txt" / "o.csv"],
        "output is a folder": [*synthesize, "--output", tmp_path / "taken.csv"],
        "unwritable folder": [*synthesize, "--output", "/proc/velora/o.csv"],
        "negative seed": [*synthesize, "--output", tmp_path / "o.csv", "--seed", "-1"],
        "huge seed": [*synthesize, "--output", tmp_path / "o.csv", "--seed", str(2**40)],
        "time as event": [*synthesize, "--events", "when", "--output", tmp_path / "o.csv"],
        "report of text for numbers": ["report", source, tmp_path / "text.csv", *ROLES,
                                       "--output", tmp_path / "r"],
    }[name]  # fmt: skip


@pytest.mark.parametrize(
    "name, message",
    [
        ("output is the input", "is an input; write the output elsewhere"),
        ("report into the input", "is an input; write the output elsewhere"),
        ("report into a file", "is a file; give the path of a folder"),
        ("output under a file", "is a file, not a folder"),
        ("output is a folder", "is a folder; give the path of a file"),
        ("unwritable folder", "is not writable"),
        ("negative seed", "argument --seed: must be from 0 to 4294967295, not -1"),
        ("huge seed", "argument --seed: must be from 0 to 4294967295"),
        ("time as event", "column 'when' is given more than one role"),
        ("report of text for numbers", "column 'delay' holds numbers in"),
        ("table: mixed formats", "time column 'when' mixes date formats: '13/01/2013 10:00'"),
        ("table: varying constant", "column 'carrier' of"),
        ("table: derived name", "column 'when_diff' clashes with a name derived from"),
        ("table: no ids", "the id column 'plane' of"),
        ("table: year 9999", "holds dates outside 1677-09-22 to 2261-04-10"),
        ("table: infinite", "column 'delay' of"),
        ("table: repeated names", "more than one column named 'dest'"),
    ],
)
def test_unusable_commands_fail_in_one_line_before_writing(tmp_path, capsys, name, message):
    args = failing_case(name, tmp_path)
    before = {p: p.is_file() and p.read_bytes() for p in tmp_path.rglob("*")}
    with pytest.raises(SystemExit) if "seed" in name else contextlib.nullcontext() as exited:
        assert cli.main([str(a) for a in args]) == 2
    assert exited is None or exited.value.code == 2
    assert {p: p.is_file() and p.read_bytes() for p in tmp_path.rglob("*")} == before
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("error: ") and message in err


def test_a_failed_write_leaves_no_file_under_the_final_name(tmp_path, monkeypatch):
    output = tmp_path / "out.csv"
    output.write_text("the previous table\n")

    def fail_midway(self, path, **kwargs):
        Path(path).write_text("user,time\nhalf")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pd.DataFrame, "to_csv", fail_midway)
    with pytest.raises(OSError, match="No space left"):
        tables.write_table(FLIGHTS, output)
    assert output.read_text() == "the previous table\n"
    assert list(tmp_path.iterdir()) == [output]


@pytest.fixture(scope="module")
def model_file(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("fitted")
    FLIGHTS.to_csv(folder / "flights.csv", index=False)
    args = ["fit", folder / "flights.csv", *ROLES, "--steps", "2", "--model", folder / "m.velora"]
    assert cli.main([str(a) for a in args]) == 0
    return folder / "m.velora"


@pytest.mark.parametrize(
    "output_name, options, carriers",
    [
        ("more.csv", ["--entities", "3", "--events-per-entity", "2"], None),
        ("more.parquet", ["--constants-from", "constants.csv"], ["Y", "X", "Y"]),
    ],
)
def test_sample_writes_entities_of_a_fitted_model_in_the_input_layout(
    model_file, tmp_path, capsys, output_name, options, carriers
):
    pd.DataFrame({"carrier": ["Y", "X", "Y"]}).to_csv(tmp_path / "constants.csv", index=False)
    output = tmp_path / output_name
    options = [tmp_path / o if o.endswith(".csv") else o for o in options]
    assert cli.main([str(a) for a in ["sample", model_file, "--output", output, *options]]) == 0
    synthetic = tables.read_table(output)
    assert list(synthetic.columns) == list(FLIGHTS.columns)
    assert synthetic["plane"].unique().tolist() == ["synthetic-0001", "synthetic-0002",
                                                    "synthetic-0003"]  # fmt: skip
    by_plane = synthetic.groupby("plane", sort=True)
    if carriers:
        assert by_plane["carrier"].first().tolist() == carriers
    else:
        assert by_plane.size().tolist() == [2, 2, 2]
    assert parse_time(synthetic["when"]).notna().any()
    assert f"Synthetic table: {output}" in capsys.readouterr().out


@pytest.mark.parametrize(
    "options, message",
    [
        (["--model", "notes.txt"], "cannot load the model file"),
        (["--constants-from", "unseen.csv"], "never saw: ['Z']"),
        (["--constants-from", "unseen.csv", "--entities", "5"], "leave --entities out"),
        (["--constants-from", "notes.csv"], "holds none of the model's constant columns"),
        (["--workers", "2"], "--workers writes a folder of Parquet shard files, not the CSV"),
        (["--workers", "2", "--constants-from", "unseen.csv"],
         "--constants-from cannot be used with --workers"),
        (["--workers", "2", "--exogenous-from", "notes.csv"],
         "--exogenous-from cannot be used with --workers"),
        (["--workers", "2", "--events-per-entity", "3"],
         "--events-per-entity cannot be used with --workers"),
        (["--address", "auto"], "--address names the Ray cluster of --workers"),
    ],
)  # fmt: skip
def test_unusable_sample_commands_fail_in_one_line(model_file, tmp_path, capsys, options, message):
    (tmp_path / "notes.txt").write_text("x")
    pd.DataFrame({"carrier": ["Z", "X"]}).to_csv(tmp_path / "unseen.csv", index=False)
    pd.DataFrame({"note": ["x"]}).to_csv(tmp_path / "notes.csv", index=False)
    model = tmp_path / options[1] if options[0] == "--model" else model_file
    options = options[2:] if options[0] == "--model" else options
    options = [tmp_path / o if o.endswith(".csv") else o for o in options]
    args = ["sample", model, "--output", tmp_path / "out.csv", *options]
    assert message in run_failing(args, tmp_path, capsys)


@pytest.mark.parametrize(
    "case, message",
    [
        ("without ray", "needs Ray: pip install 'velora[ray]'"),
        ("folder of shards", "holds shard files already (part-00000-of-00002.parquet, ...)"),
    ],
)
def test_sample_on_workers_fails_in_one_line_before_sampling(
    model_file, tmp_path, capsys, monkeypatch, case, message
):
    output = tmp_path / "out"
    if case == "without ray":
        # A None entry makes the import fail as if the package were not installed.
        monkeypatch.setitem(sys.modules, "ray", None)
    else:
        output.mkdir()
        (output / "part-00000-of-00002.parquet").write_bytes(b"a shard of an earlier run")
    args = ["sample", model_file, "--workers", "2", "--output", output]
    assert message in run_failing(args, tmp_path, capsys)


def synthetic_chunk() -> pd.DataFrame:
    """Drawn events as the synthesizer gives them: date-times and numbers off the grid (the
    real times are three, shared by both planes, the last at 2013-01-02 08:00, gaps 11 hours
    at the median, so times may run on to 13:30)."""
    when = pd.to_datetime(["2013-01-01 09:10", "2013-01-02 12:20", "2013-01-02 14:00", None])
    return pd.DataFrame(
        {"plane": ["s1"] * 4, "when": when, "dest": ["BOS"] * 4,
         "delay": [1.2345, -0.4, 7.77, 3.0], "carrier": ["X"] * 4}
    )  # fmt: skip


@pytest.mark.parametrize(
    "options, times, delays",
    [
        ({}, ["2013-01-01 10:00:00", "2013-01-02 08:00:00", None], [1.0, 0.0, 3.0]),
        ({"exact_numbers": True}, ["2013-01-01 10:00:00", "2013-01-02 08:00:00", None],
         [1.2345, -0.4, 3.0]),
        ({"beyond_time_range": True},
         ["2013-01-01 10:00:00", "2013-01-02 08:00:00", "2013-01-02 08:00:00", None],
         [1.0, 0.0, 8.0, 3.0]),
    ],
    ids=["default", "exact numbers", "beyond the range"],
)  # fmt: skip
def test_synthetic_events_end_with_the_real_table_and_take_its_precision(options, times, delays):
    real = FLIGHTS.assign(delay=FLIGHTS["delay"] + 0.0)
    roles = tables.TableRoles("plane", "when", ["dest", "delay"], ["carrier"])
    codec = tables.TimeCodec(real["when"], real["plane"])
    assert codec.latest == pd.Timestamp("2013-01-02 13:30")
    fitted = tables.FittedTable(
        None, roles, codec, list(real.columns), tables.number_grids(real, roles)
    )
    (chunk,) = fitted.in_layout(iter([synthetic_chunk()]), **options)
    assert list(chunk.columns) == list(FLIGHTS.columns)
    assert chunk["when"].tolist() == [t if t else np.nan for t in times]
    np.testing.assert_allclose(chunk["delay"], delays)


def test_a_model_file_from_before_grids_and_last_times_samples_as_it_did():
    roles = tables.TableRoles("plane", "when", ["dest", "delay"], ["carrier"])
    layout = tables.FittedTable(
        None, roles, tables.TimeCodec(FLIGHTS["when"]), list(FLIGHTS)
    ).to_plain()
    del layout["grids"], layout["codec"]["latest"]
    fitted = tables.FittedTable.from_extra(None, {"command_line": layout})
    assert fitted.grids == {} and fitted.codec.latest is None
    (chunk,) = fitted.in_layout(iter([synthetic_chunk()]))
    assert chunk["delay"].tolist()[:3] == [1.2345, -0.4, 7.77] and chunk["when"].notna().sum() == 3


def test_sampled_entities_of_a_table_that_ends_on_one_date_end_there(model_file, tmp_path):
    # The real entities all end at 2013-01-02 08:00; their median gap is 11 hours.
    output = tmp_path / "more.csv"
    args = ["sample", model_file, "--entities", "40", "--seed", "3", "--output", output]
    assert cli.main([str(a) for a in args]) == 0
    times = pd.to_datetime(tables.read_table(output)["when"])
    assert times.notna().any() and times.max() <= pd.Timestamp("2013-01-02 13:30:00")


@pytest.mark.parametrize(
    "name, home",
    [("TimeCodec", "velora.tables"), ("fit_table", "velora.tables"),
     ("report_on", "velora.evaluation.roles"), ("parse_time", "velora.tables.times")],
)  # fmt: skip
def test_names_moved_to_the_table_layer_still_load_from_the_command_line_with_a_warning(name, home):
    import importlib

    with pytest.warns(DeprecationWarning, match=f"velora.cli.{name} has moved to {home}"):
        found = getattr(cli, name)
    assert found is getattr(importlib.import_module(home), name)
    with pytest.raises(AttributeError, match="has no attribute 'no_such_name'"):
        cli.no_such_name  # noqa: B018


@pytest.mark.parametrize(
    "stop, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["ctrl-c", "sigterm"]
)
def test_an_interrupted_command_says_so_in_one_line_and_leaves_no_file(
    model_file, tmp_path, stop, code
):
    output = tmp_path / "many.parquet"
    command = [sys.executable, "-m", "velora", "sample", str(model_file), "--entities", "200000",
               "--output", str(output)]  # fmt: skip
    # A shell's background job ignores SIGINT, and Python then leaves it ignored: the
    # command gets the disposition a terminal gives it.
    running = subprocess.Popen(
        command,
        cwd=REPOSITORY,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    # Stopped while it writes: once its temporary file is there.
    deadline = time.monotonic() + 120
    while not list(tmp_path.glob(".many.parquet.*.tmp")) and time.monotonic() < deadline:
        assert running.poll() is None, running.communicate()
        time.sleep(0.1)
    running.send_signal(stop)
    _, stderr = running.communicate(timeout=60)
    assert running.returncode == code
    assert stderr.strip().splitlines()[-1] == "interrupted" and "Traceback" not in stderr
    assert list(tmp_path.iterdir()) == []
