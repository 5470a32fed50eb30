"""The examples run end to end, briefly trained."""

import importlib
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def test_flights_prints_real_and_synthetic_aircraft_and_compares_them(monkeypatch, capsys):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    importlib.import_module("flights").main(["--steps", "5", "--entities", "2"])
    out = capsys.readouterr().out
    real = out.index("Real aircraft")
    synthetic = out.index("Synthetic aircraft")
    assert "N0EGMQ" in out[real:synthetic]
    assert "new-1" in out[synthetic:] and "new-2" in out[synthetic:]
    for column in ("time_hour", "carrier", "origin", "dest", "dep_delay"):
        assert column in out[synthetic:]
    assert "Departures per aircraft" in out
    assert "Origin shares, real:" in out and "Origin shares, synthetic:" in out
