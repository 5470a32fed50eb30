"""The main job: learn the bundled flights table, synthesise aircraft and evaluate them.

Run with `make demo` (or `python -m velora.main_job` inside the set-up environment). Writes
`out/synthetic_flights.csv`, the evaluation report under `out/report/` and the trained model
`out/flights.velora`, to sample more aircraft from with `python -m velora sample`.
"""

import argparse
import time
from collections.abc import Sequence
from pathlib import Path

from velora.data import load_flights_sample
from velora.evaluation.roles import report_on
from velora.quiet_start import import_tensorflow_quietly
from velora.tables import (
    DEFAULT_HOLDOUT,
    TableRoles,
    fit_table,
    hold_out,
    sample_table,
    write_table,
)

FLIGHT_ROLES = TableRoles(
    id_col="tailnum",
    time_col="time_hour",
    event_cols=["origin", "dest", "dep_delay", "air_time", "distance"],
    const_cols=["carrier"],
)
# Measured to finish well inside ten minutes on two CPU cores (see the README).
DEFAULT_STEPS = 4000
DEFAULT_ENTITIES = 300


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m velora.main_job", description=__doc__)
    parser.add_argument(
        "--steps", type=int, default=DEFAULT_STEPS, help=f"training steps (default {DEFAULT_STEPS})"
    )
    parser.add_argument(
        "--entities",
        type=int,
        default=DEFAULT_ENTITIES,
        help=f"synthetic aircraft (default {DEFAULT_ENTITIES})",
    )
    parser.add_argument(
        "--output",
        type=Path,
        default=Path("out"),
        help="folder for the synthetic table and the report (default out)",
    )
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> None:
    """Train, synthesise, write the table and the report, and print the headline figures."""
    args = parse_args(argv)
    import_tensorflow_quietly()
    started = time.monotonic()
    flights = load_flights_sample()
    print(
        f"Real table: {len(flights)} departures of {flights[FLIGHT_ROLES.id_col].nunique()} "
        f"aircraft; training for {args.steps} steps"
    )
    training, held_out = hold_out(flights, FLIGHT_ROLES.id_col, DEFAULT_HOLDOUT, seed=args.seed)
    fitted = fit_table(training, FLIGHT_ROLES, steps=args.steps, seed=args.seed)
    model = fitted.save(args.output / "flights.velora")
    synthetic = sample_table(fitted, entities=args.entities, seed=args.seed, progress=True)
    table = write_table(synthetic, args.output / "synthetic_flights.csv")
    print(f"Synthetic table: {table} ({len(synthetic)} departures of {args.entities} aircraft)")
    report = report_on(
        held_out, synthetic, FLIGHT_ROLES, args.output / "report", training=training, seed=args.seed
    )
    print(report.summary())
    print(f"Model: {model}; sample more aircraft from it with")
    print(f"  python -m velora sample {model} --entities 1000 --output more_flights.csv")
    print(f"Done in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
