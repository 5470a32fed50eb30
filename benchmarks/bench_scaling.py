"""How velora's costs grow with the table, and what a second Ray worker adds to sampling.

Training: for tables of 10^5, 10^6 and 10^7 events made by make_event_table.py (Parquet),
each in a fresh process, a model is built from the files' sample and trained on every event
through `velora.streaming.ParquetEvents` in windows: the seconds to read, preprocess and
encode the table (per event), the training steps' throughput, and the process's peak memory.

Sampling: 100,000 entities of a saved model drawn by `velora.distributed.sample` on a local
Ray cluster of two CPUs, as one shard on one worker and as two shards on two.

    make bench-scaling BENCH_SCALING_ARGS="--quick"
    python benchmarks/bench_scaling.py [--quick] [--sizes N ...] [--steps S] [--entities N]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path

from _tables import cell, flights_sample, note, print_table, timed

HERE = Path(__file__).resolve().parent
# The columns of make_event_table.py's tables.
ROLES = dict(
    id_idx="user_id",
    time_idx="timestamp",
    event_cols=["event_type", "category", "channel", "amount", "quantity"],
    const_cols=["country", "age"],
)
DEFAULT_SIZES = (100_000, 1_000_000, 10_000_000)
QUICK_SIZES = (20_000, 60_000)
# Entities per event: a few hundred thousand at 10^7 events.
EVENTS_PER_ENTITY = 30
DEFAULT_STEPS, QUICK_STEPS = 200, 10
DEFAULT_SAMPLED, QUICK_SAMPLED = 100_000, 2_000
PEAK_TARGET_GB, COST_RATIO_TARGET, WORKER_TARGET = 4.0, 1.5, 1.6


def make_table(events: int, path: Path) -> Path:
    subprocess.run(
        [sys.executable, str(HERE / "make_event_table.py"), "--events", str(events),
         "--entities", str(max(10, events // EVENTS_PER_ENTITY)), "--output", str(path),
         "--seed", "0"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )  # fmt: skip
    return path


def train_on_files(path: str, steps: int) -> dict:
    """One size, in this process: what `--one-size` prints as JSON."""
    import tensorflow as tf

    from velora.complex.episode_forge import EventSynthesizer
    from velora.config import DeepStateConfig
    from velora.streaming import ParquetEvents

    tf.keras.utils.set_random_seed(0)
    events = ParquetEvents(path, id_idx=ROLES["id_idx"])
    config = DeepStateConfig(windows=True, batch_size=64)
    model = EventSynthesizer(events.sample_frame(), config=config, **ROLES)
    _, preparing = timed(lambda: model.learn(events, epochs=0, steps_per_epoch=0))
    _, both = timed(lambda: model.learn(events, epochs=1, steps_per_epoch=steps))
    training = max(both - preparing, 1e-9)
    events_count = events.dataset.count_rows()
    peak_gb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    return {
        "events": events_count,
        "prepare_us_per_event": preparing / events_count * 1e6,
        "step_events_per_s": steps * config.batch_size * model.max_time_steps / training,
        "peak_gb": peak_gb,
    }


def training_rows(sizes: Sequence[int], steps: int) -> list[dict]:
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for size in sizes:
            note(f"{size:,} events: making the table")
            path = make_table(size, Path(scratch) / f"events-{size}.parquet")
            note(f"{size:,} events: training in a fresh process")
            out = subprocess.run(
                [sys.executable, __file__, "--one-size", str(path), "--steps", str(steps)],
                check=True, capture_output=True, text=True,
                env={**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE), *sys.path])},
            )  # fmt: skip
            rows.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return rows


def sampling_rows(entities: int) -> dict[int, float]:
    import ray

    from velora import distributed
    from velora.main_job import FLIGHT_ROLES
    from velora.tables import fit_table

    seconds = {}
    with tempfile.TemporaryDirectory() as scratch:
        model_path = Path(scratch) / "flights.velora"
        fit_table(flights_sample(), FLIGHT_ROLES, steps=20, seed=0).synthesizer.save(model_path)
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        try:
            # Each worker loads the model and traces its loop once: a warm-up run pays for the
            # cluster's start, and the timed runs for their own workers' loads.
            distributed.sample(model_path, 2048, shards=2, seed=0, output=Path(scratch) / "w")
            for workers in (1, 2):
                note(f"sampling {entities:,} entities on {workers} worker(s)")
                start = time.perf_counter()
                distributed.sample(model_path, entities, shards=workers, seed=1,
                                   output=Path(scratch) / f"out-{workers}")  # fmt: skip
                seconds[workers] = time.perf_counter() - start
        finally:
            ray.shutdown()
    return seconds


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small tables, few steps")
    parser.add_argument("--sizes", type=int, nargs="+", default=list(DEFAULT_SIZES))
    parser.add_argument("--steps", type=int, default=DEFAULT_STEPS)
    parser.add_argument("--entities", type=int, default=DEFAULT_SAMPLED)
    parser.add_argument("--one-size", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        args.sizes, args.steps, args.entities = list(QUICK_SIZES), QUICK_STEPS, QUICK_SAMPLED
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    if args.one_size:
        print(json.dumps(train_on_files(args.one_size, args.steps)))
        return
    rows = training_rows(args.sizes, args.steps)
    smallest = rows[0]["prepare_us_per_event"]
    print(f"Training on Parquet files in windows ({args.steps} steps; CPU only)")
    print_table(
        ["events", "prepare µs/event", "vs smallest", "training events/s", "peak GB"],
        [
            [f"{row['events']:,}", cell(row["prepare_us_per_event"], ".3g"),
             cell(row["prepare_us_per_event"] / smallest, ".2f"),
             cell(row["step_events_per_s"], ".3g"), cell(row["peak_gb"], ".2f")]
            for row in rows
        ],
    )  # fmt: skip
    print(f"targets: peak <= {PEAK_TARGET_GB} GB, cost per event within "
          f"{COST_RATIO_TARGET}x of the smallest table's")  # fmt: skip
    seconds = sampling_rows(args.entities)
    print(f"Sampling {args.entities:,} flights entities on a local Ray cluster (2 CPUs)")
    print_table(
        ["workers", "seconds", "entities/s"],
        [[str(w), f"{s:.1f}", f"{args.entities / s:.0f}"] for w, s in seconds.items()],
    )
    print(f"2 workers / 1 worker: {seconds[1] / seconds[2]:.2f}x (target {WORKER_TARGET}x)")


if __name__ == "__main__":
    main()
