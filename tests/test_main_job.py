"""The main job runs end to end on the bundled table, briefly trained."""

import json

import pandas as pd

from velora import main_job
from velora.data import load_flights_sample


def test_bundled_sample_is_the_documented_table():
    flights = load_flights_sample()
    assert len(flights) == 930 and flights["tailnum"].nunique() == 60
    assert flights.groupby("tailnum").size().between(3, 30).all()


def test_main_job_writes_the_table_and_the_report(tmp_path, capsys):
    main_job.main(["--steps", "3", "--entities", "3", "--output", str(tmp_path)])
    synthetic = pd.read_csv(tmp_path / "synthetic_flights.csv")
    assert list(synthetic.columns) == list(load_flights_sample().columns)
    assert sorted(synthetic["tailnum"].unique()) == ["synthetic-0001", "synthetic-0002",
                                                     "synthetic-0003"]  # fmt: skip
    # The model ends each aircraft's departures: at least one, at most the longest real one.
    longest = load_flights_sample().groupby("tailnum").size().max()
    assert synthetic.groupby("tailnum").size().between(1, longest).all()
    figures = json.loads((tmp_path / "report" / "report.json").read_text())
    assert {
        "discriminator_auc",
        "gap_ks",
        "transition_tvd/dest",
        "membership_auc",
    } <= figures.keys()
    out = capsys.readouterr().out
    assert f"Synthetic table: {tmp_path / 'synthetic_flights.csv'}" in out
    assert f"Report: {tmp_path / 'report' / 'report.md'}" in out
    assert "discriminator_auc" in out and "Done in" in out
    assert "real entities kept out of training" in out
