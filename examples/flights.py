"""Learns the departures of New York aircraft and synthesises new aircraft.

Trains an EventSynthesizer on the bundled flights sample: one entity per aircraft (`tailnum`),
one event per departure (`time_hour`) with its origin and destination airports, departure
delay, air time and distance, and the carrier as the aircraft's constant attribute. Then it
synthesises a few new aircraft, prints their first departures beside those of a few real ones
and compares the two tables on events per aircraft and on the share of each origin airport.

    python examples/flights.py [--steps S] [--entities N] [--seed SEED]
"""

import argparse
import os

# Before TensorFlow is first imported, so its start-up chatter stays off the output.
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import pandas as pd  # noqa: E402
import tensorflow as tf  # noqa: E402

from velora.complex.episode_forge import EventSynthesizer  # noqa: E402
from velora.config import DeepStateConfig  # noqa: E402
from velora.data import load_flights_sample  # noqa: E402

ID, TIME = "tailnum", "time_hour"
EVENTS = ["origin", "dest", "dep_delay", "air_time", "distance"]
CONSTANTS = ["carrier"]
SHOWN_ENTITIES, SHOWN_EVENTS = 3, 6


def show(title: str, frame: pd.DataFrame) -> None:
    print(f"\n{title}")
    shown = frame.copy()
    shown[TIME] = shown[TIME].dt.round("min")
    with pd.option_context("display.width", 120, "display.float_format", "{:.1f}".format):
        print(shown.to_string(index=False))


def origin_shares(origins: pd.Series, airports: list[str]) -> str:
    shares = origins.value_counts(normalize=True)
    return "  ".join(f"{airport} {shares.get(airport, 0.0):.0%}" for airport in airports)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=300, help="training steps")
    parser.add_argument("--entities", type=int, default=10, help="aircraft to synthesise")
    parser.add_argument("--seed", type=int, default=0, help="seed of every random draw")
    args = parser.parse_args(argv)

    flights = load_flights_sample()
    flights[TIME] = pd.to_datetime(flights[TIME])
    print(f"Training on {len(flights)} departures of {flights[ID].nunique()} aircraft")
    tf.keras.utils.set_random_seed(args.seed)
    config = DeepStateConfig()
    synthesizer = EventSynthesizer(flights, ID, TIME, EVENTS, const_cols=CONSTANTS, config=config)
    synthesizer.learn(flights, epochs=1, steps_per_epoch=args.steps)

    # Each call generates one new aircraft of max_time_steps departures, without a tail number.
    T = config.max_time_steps
    synthetic = pd.concat(
        [synthesizer.synthesize(T).assign(aircraft=f"new-{k + 1}") for k in range(args.entities)],
        ignore_index=True,
    )
    synthetic = synthetic[["aircraft", *flights.columns.drop(ID)]]

    real = flights.groupby(ID, sort=False).head(T)
    shown_real = real[real[ID].isin(real[ID].unique()[:SHOWN_ENTITIES])]
    show(
        f"Real aircraft, first {SHOWN_EVENTS} departures each:",
        shown_real.groupby(ID, sort=False).head(SHOWN_EVENTS),
    )
    shown_synthetic = synthetic[
        synthetic["aircraft"].isin([f"new-{k + 1}" for k in range(SHOWN_ENTITIES)])
    ]
    show(
        f"Synthetic aircraft, first {SHOWN_EVENTS} departures each:",
        shown_synthetic.groupby("aircraft", sort=False).head(SHOWN_EVENTS),
    )

    # A generated step is a departure when it has an origin; missing steps stand for the
    # padding of aircraft with fewer than T departures.
    real_events = real.groupby(ID).size().mean()
    synthetic_events = synthetic["origin"].notna().groupby(synthetic["aircraft"]).sum().mean()
    airports = sorted(flights["origin"].dropna().unique())
    print(f"\nDepartures per aircraft (of the first {T}): real {real_events:.1f}, ", end="")
    print(f"synthetic {synthetic_events:.1f} ({args.entities} aircraft)")
    print(f"Origin shares, real:      {origin_shares(real['origin'], airports)}")
    print(f"Origin shares, synthetic: {origin_shares(synthetic['origin'], airports)}")


if __name__ == "__main__":
    main()
