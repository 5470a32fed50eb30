"""Sampling whole entities in chunks against one `synthesize` call per entity, side by side on
one trained flights model; the save, load and sample round trip; and the peak memory of
sampling a million entities.

Trains the flights sample as the command line does (briefly: speed hardly depends on how well
the model learned), then times, after a warm-up of each:

- `synthesize(n)` called once per entity for E entities, against `sample(E)` (target: 20x);
- `sample_table` of E entities in the table's layout with the recipe's mixture outputs, spread
  point masses, precision and time range, against a model trained with one Gaussian per
  column and written as drawn (target: not slower);
- saving the model, loading it and sampling E entities from the loaded one (target: 5 s);
- in a fresh process, streaming `sample_chunks` for M entities (default 1,000,000) into a
  Parquet file, with the process's peak resident memory above that after loading the model
  (target: 2 GB).

    python benchmarks/bench_sampling.py [--entities E] [--million M] [--train-steps S] [--quick]
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path
from unittest import mock

from _tables import flights_sample, note, print_table, timed

from velora.tables import TableRoles, fit_table, recipe, sample_table

SPEED_TARGET, ROUND_TRIP_TARGET_S, MEMORY_TARGET_GB = 20.0, 5.0, 2.0
ROLES = TableRoles(
    "tailnum", "time_hour", ["origin", "dest", "dep_delay", "air_time", "distance"], ["carrier"]
)
# Run in a fresh process, so that its peak memory is the sampling's alone.
STREAMING = """
import resource, sys, time
import pyarrow as pa, pyarrow.parquet as pq
from velora.complex.episode_forge import EventSynthesizer
model = EventSynthesizer.load(sys.argv[1])
model.sample(16, seed=0)
with open("/proc/self/statm") as statm:  # resident pages now, the model loaded
    loaded = int(statm.read().split()[1]) * resource.getpagesize() // 1024
began, rows, writer = time.perf_counter(), 0, None
for chunk in model.sample_chunks(int(sys.argv[3]), seed=1, chunk_size=4096):
    table = pa.Table.from_pandas(chunk, schema=writer.schema if writer else None,
                                 preserve_index=False)
    writer = writer or pq.ParquetWriter(sys.argv[2], table.schema)
    writer.write_table(table)
    rows += len(chunk)
writer.close()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(rows, time.perf_counter() - began, loaded, peak)
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entities", type=int, default=1000, help="entities timed (1000)")
    parser.add_argument("--million", type=int, default=1_000_000, help="entities streamed")
    parser.add_argument("--train-steps", type=int, default=300, help="training steps (300)")
    parser.add_argument("--quick", action="store_true", help="a small run, for the tests")
    args = parser.parse_args(argv)
    if args.quick:
        args.entities, args.million, args.train_steps = 40, 2000, 20
    return args


def compare_recipes(fitted, args) -> None:
    """Entities per second in the table's layout, the recipe's outputs and writing against
    one Gaussian per column written as drawn, side by side."""
    note(f"training the flights model with one Gaussian per column for {args.train_steps} steps")
    with (
        mock.patch.object(recipe, "CONTINUOUS_COMPONENTS", 1),
        mock.patch.object(recipe, "SPREAD_TIES", False),
    ):
        plain = fit_table(flights_sample(), ROLES, steps=args.train_steps, seed=0)
    runs = {
        "one Gaussian, as drawn": lambda seed: sample_table(
            plain, entities=args.entities, seed=seed, exact_numbers=True, beyond_time_range=True
        ),
        "recipe's outputs, precision and range": lambda seed: sample_table(
            fitted, entities=args.entities, seed=seed
        ),
    }
    seconds = {}
    for label, run in runs.items():
        run(0)  # traces the compiled loop
        # The best of a few, as the two differ by less than the machine's noise.
        seconds[label] = min(timed(lambda run=run, seed=seed: run(seed))[1] for seed in (1, 2, 3))
    print_table(
        ["sample_table", "seconds", "entities/s"],
        [[label, f"{s:.2f}", f"{args.entities / s:.0f}"] for label, s in seconds.items()],
    )
    before, after = seconds.values()
    print(f"the recipe's sampling at {before / after:.2f}x the speed of one Gaussian's")


def main(argv=None) -> None:
    args = parse_args(argv)
    note(f"training the flights model for {args.train_steps} steps")
    fitted = fit_table(flights_sample(), ROLES, steps=args.train_steps, seed=0)
    model = fitted.synthesizer
    n = model.max_time_steps
    # Each is timed after a call of the same size, which traces its compiled loop.
    model.synthesize(n)
    model.sample(args.entities, seed=0)
    note(f"{args.entities} synthesize calls")
    _, per_call = timed(lambda: [model.synthesize(n) for _ in range(args.entities)])
    note(f"sample({args.entities})")
    batched, in_chunks = timed(lambda: model.sample(args.entities, seed=1))
    print(f"Sampling {args.entities} flights entities (events: {len(batched)})")
    print_table(
        ["method", "seconds", "entities/s"],
        [
            ["synthesize per entity", f"{per_call:.2f}", f"{args.entities / per_call:.0f}"],
            ["sample in chunks", f"{in_chunks:.2f}", f"{args.entities / in_chunks:.0f}"],
        ],
    )
    print(f"speed-up: {per_call / in_chunks:.1f}x (target {SPEED_TARGET:.0f}x)")
    compare_recipes(fitted, args)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "flights.velora"

        def round_trip():
            model.save(path)
            return type(model).load(path).sample(args.entities, seed=1)

        _, seconds = timed(round_trip)
        size = path.stat().st_size / 2**20
        print(
            f"save + load + sample({args.entities}): {seconds:.2f} s "
            f"(target {ROUND_TRIP_TARGET_S:.0f} s); model file {size:.1f} MiB"
        )
        note(f"streaming {args.million:,} entities in a fresh process")
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                STREAMING,
                path,
                Path(folder) / "out.parquet",
                str(args.million),
            ],
            check=True,
            capture_output=True,
            text=True,
        )
    rows, seconds, loaded, peak = done.stdout.split()[-4:]
    # KiB: resident memory with the model loaded, and the process's peak (ru_maxrss),
    # which counts loading too, so the difference is at most what sampling added.
    above_gb, loaded_gb = (int(peak) - int(loaded)) / 2**20, int(loaded) / 2**20
    print(
        f"{args.million:,} entities ({int(rows):,} events) streamed to Parquet in "
        f"{float(seconds):.0f} s: peak memory {above_gb:.2f} GB above the loaded model's "
        f"{loaded_gb:.2f} GB (target {MEMORY_TARGET_GB:.0f} GB)"
    )


if __name__ == "__main__":
    main()
