"""EventSynthesizer.synthesize with the compiled generation loop against the same loop run
eagerly, side by side on one trained model.

Trains a small synthesizer briefly on the bundled flights sample, then times `synthesize(n)`
(after one warm-up call each) with `transition_loop` compiled, as it runs by default, and with
every function run eagerly (`tf.config.run_functions_eagerly(True)`), and prints the ratio. The
target is the compiled loop at least 10x faster. Both modes sample from the same model, so
their output distributions must agree: for entities of the training length drawn in each
mode, a second table shows the per-entity mean and standard deviation of a numeric column and
the shares of a categorical one, real, compiled and eager, with their difference in standard
errors.

    python benchmarks/bench_generation.py [--n N] [--repeats R] [--train-steps S] [--quick]
"""

import argparse

import numpy as np
import pandas as pd
import tensorflow as tf
from _tables import FLIGHT_EVENTS, best_time, flights_sample, print_table

from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig

TARGET = 10.0
NUMERIC, CATEGORICAL = "dep_delay", "origin"


def trained_synthesizer(flights: pd.DataFrame, steps: int, seed: int) -> EventSynthesizer:
    tf.keras.utils.set_random_seed(seed)
    synthesizer = EventSynthesizer(
        flights, "tailnum", "time_hour", FLIGHT_EVENTS, const_cols=["carrier"],
        config=DeepStateConfig(),
    )  # fmt: skip
    synthesizer.learn(flights, epochs=1, steps_per_epoch=steps)
    return synthesizer


def timed_runs(synthesizer: EventSynthesizer, n: int, repeats: int) -> float:
    """The fastest of `repeats` calls of synthesize(n), after a warm-up call."""
    synthesizer.synthesize(n)
    return best_time(lambda: synthesizer.synthesize(n), repeats)


def entity_statistics(frames: list[pd.DataFrame], categories: list[str]) -> pd.DataFrame:
    """One row per entity: the mean and std of the numeric column, the categorical's shares."""
    rows = []
    for frame in frames:
        values = frame[NUMERIC].astype("float64")
        row = {f"{NUMERIC} mean": values.mean(), f"{NUMERIC} std": values.std()}
        for category in categories:
            row[f"{CATEGORICAL} {category} share"] = (frame[CATEGORICAL] == category).mean()
        row[f"{CATEGORICAL} missing share"] = frame[CATEGORICAL].isna().mean()
        rows.append(row)
    return pd.DataFrame(rows)


def sampled_entities(synthesizer: EventSynthesizer, n: int, entities: int) -> list[pd.DataFrame]:
    return [synthesizer.synthesize(n) for _ in range(entities)]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100, help="events per synthesised entity")
    parser.add_argument("--repeats", type=int, default=8, help="timed calls per mode")
    parser.add_argument("--train-steps", type=int, default=100, help="training steps first")
    parser.add_argument(
        "--entities", type=int, default=40, help="entities per mode for the distributions"
    )
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quick", action="store_true", help="tiny run, for a smoke test")
    args = parser.parse_args(argv)
    if args.quick:
        args.n, args.repeats, args.train_steps, args.entities = 10, 1, 2, 3

    flights = flights_sample()
    synthesizer = trained_synthesizer(flights, args.train_steps, args.seed)
    # Entities as long as the training ones, so that both modes are compared where the model
    # was trained.
    T = synthesizer.max_time_steps
    compiled = timed_runs(synthesizer, args.n, args.repeats)
    compiled_entities = sampled_entities(synthesizer, T, args.entities)
    tf.config.run_functions_eagerly(True)
    try:
        eager = timed_runs(synthesizer, args.n, args.repeats)
        eager_entities = sampled_entities(synthesizer, T, args.entities)
    finally:
        tf.config.run_functions_eagerly(False)

    print(
        f"synthesize({args.n}) on the flights sample after {args.train_steps} training steps, "
        f"best of {args.repeats} calls after a warm-up call"
    )
    ratio = eager / compiled
    print_table(
        ["transition_loop", "s per call", "ms per event"],
        [
            ["compiled", f"{compiled:.3f}", f"{compiled / args.n * 1e3:.2f}"],
            ["eager", f"{eager:.3f}", f"{eager / args.n * 1e3:.2f}"],
        ],
    )
    verdict = "met" if ratio >= TARGET else "MISSED"
    print(f"speed-up {ratio:.1f}x: target >= {TARGET:g}x {verdict}")
    if ratio < 2:
        print("(a ratio near 1 means transition_loop runs eagerly in this build)")

    categories = sorted(flights[CATEGORICAL].dropna().unique())
    real = [group for _, group in flights.groupby("tailnum")]
    real, ours, theirs = (
        entity_statistics([frame.head(T) for frame in frames], categories)
        for frames in (real, compiled_entities, eager_entities)
    )
    print(
        f"\noutput distributions: per-entity statistics, mean +- standard error over "
        f"{args.entities} entities of {T} events per mode; {len(real)} real aircraft, their "
        f"first {T} departures, unpadded"
    )
    # The difference in standard errors: sampling noise alone keeps it within about 3.
    noise = np.sqrt(ours.sem() ** 2 + theirs.sem() ** 2)
    difference = (ours.mean() - theirs.mean()) / noise.where(noise > 0)

    def cell(statistics: pd.DataFrame, name: str) -> str:
        return f"{statistics[name].mean():.3f} +- {statistics[name].sem():.3f}"

    print_table(
        ["statistic", "real", "compiled", "eager", "compiled-eager / se"],
        [
            [
                name,
                cell(real, name),
                cell(ours, name),
                cell(theirs, name),
                f"{difference[name]:.1f}",
            ]
            for name in ours.columns
        ],
    )


if __name__ == "__main__":
    main()
