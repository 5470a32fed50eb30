"""Small hostile event tables through `synthesize`: a table or a one-line error, never a
traceback, never a changed input."""

import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velora import cli, tables
from velora.tables.times import is_numeric_column

NAMES = st.sampled_from(["user id", "événement", "a,b", 'say "hi"', "x.1", "when_diff", "Σ", "n"])
START = pd.Timestamp("2024-03-01 08:00")


@st.composite
def event_tables(draw) -> tuple[pd.DataFrame, str, str]:
    """A table of a few entities (some of one event, some rows repeated) with an id, a time
    column in one of several forms and up to three other columns of mixed kinds."""
    entities = draw(st.integers(1, 5))
    sizes = draw(st.lists(st.integers(1, 4), min_size=entities, max_size=entities))
    rows = sum(sizes)
    ids = np.repeat([f"e{i}" for i in range(entities)], sizes).astype(object)
    if draw(st.booleans()):
        ids[draw(st.integers(0, rows - 1))] = None
    hours = np.cumsum(draw(st.lists(st.integers(0, 48), min_size=rows, max_size=rows)))
    times = START + pd.to_timedelta(hours, unit="h")
    time_form = draw(st.sampled_from(["text", "utc", "offset", "numbers", "gaps"]))
    time = {
        "text": times.strftime("%Y-%m-%d %H:%M"),
        "utc": times.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "offset": [t.isoformat() for t in times.tz_localize("UTC").tz_convert("America/Chicago")],
        "numbers": hours.astype(float),
        "gaps": pd.Series(times.strftime("%d.%m.%Y %H:%M")).where(np.arange(rows) % 3 != 1),
    }[time_form]
    df = pd.DataFrame({"id": ids, "when": time})
    names = draw(st.lists(NAMES, max_size=3, unique=True))
    for name in names:
        df[name] = draw(_column(rows))
    if draw(st.booleans()):
        df = pd.concat([df, df.iloc[:1]], ignore_index=True)  # a repeated row
    order = draw(st.permutations(range(len(df))))
    return df.iloc[list(order)].reset_index(drop=True), "id", "when"


def _column(rows: int) -> st.SearchStrategy:
    cells = st.one_of(
        st.lists(st.integers(-5, 5), min_size=rows, max_size=rows),
        st.lists(st.one_of(st.none(), st.floats(-1e6, 1e6)), min_size=rows, max_size=rows),
        st.lists(st.sampled_from(["a", "b b", "", "00042", "1e3"]), min_size=rows, max_size=rows),
        st.lists(st.booleans(), min_size=rows, max_size=rows),
    )
    return cells.map(pd.Series)


@pytest.mark.slow
@settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.function_scoped_fixture,
    ],
)
@given(case=event_tables())
def test_synthesize_gives_a_table_or_one_line_error(case, capfd):
    df, id_col, time_col = case
    with tempfile.TemporaryDirectory() as folder:
        source, output = Path(folder) / "in.csv", Path(folder) / "out.csv"
        df.to_csv(source, index=False)
        before = source.read_bytes()
        code = cli.main(
            ["synthesize", str(source), "--id", id_col, "--time", time_col, "--steps", "1",
             "--entities", "2", "--output", str(output)]
        )  # fmt: skip
        err = capfd.readouterr().err
        assert source.read_bytes() == before
        if code == 2:
            errors = [line for line in err.splitlines() if line.startswith("error: ")]
            assert len(errors) == 1 and not output.exists()
            return
        assert code == 0
        real, synthetic = tables.read_table(source), tables.read_table(output)
        assert list(synthetic.columns) == list(real.columns)
        # A CSV carries no types: numeric columns must read as numbers again, and text ones
        # hold only texts the real column holds (which may happen all to look like numbers).
        real_text, synthetic_text = (pd.read_csv(path, dtype=str) for path in (source, output))
        for col in real.columns.drop([id_col, time_col]):
            if is_numeric_column(real[col]):
                assert synthetic[col].isna().all() or is_numeric_column(synthetic[col]), col
            else:
                assert synthetic_text[col].dropna().isin(real_text[col]).all(), col
