"""Entities longer than the unrolled length: are the events beyond each entity's first T as
good as its first T?

A table of long entities (150 to 1,500 events; T = `velora.tables.MAX_TIME_STEPS`) is drawn from
a known process: a sticky chain of kinds whose transitions depend on the entity's segment,
amounts that follow their previous amount, and gaps whose scale follows the kind. Its entities
are split once into train and test. Three methods are fitted on train and scored against test
by `velora.evaluation.evaluate`, on each entity's first T events and on the rest apart:

- "windows": what `python -m velora synthesize` does with such a table, training on every
  event in windows;
- "first T": the same without windows, which trains on each entity's first T events and
  samples no more than T (so it has no figures beyond T);
- "markov": the first-order chain of benchmarks/markov_baseline.py.

    make bench-long BENCH_LONG_ARGS="--quick"
    python benchmarks/bench_long_entities.py [--quick] [--steps S] [--entities N] [--seed S]
"""

import argparse
import math
from collections.abc import Sequence
from unittest import mock

import numpy as np
import pandas as pd
from _tables import cell, note, print_table, split_by_entity, timed
from bench_fidelity import summary
from markov_baseline import MarkovBaseline

from velora import tables
from velora.evaluation.roles import evaluate_roles
from velora.tables import TableRoles, recipe

ROLES = TableRoles("user", "time", event_cols=["kind", "amount"], const_cols=["segment"])
KINDS = np.array(["browse", "search", "basket", "pay"])
FIGURES = ("mean_marginal", "mean_transition", "gap_ks", "discriminator_auc")
DEFAULT_STEPS, DEFAULT_ENTITIES = 2500, 200
QUICK_STEPS, QUICK_ENTITIES, QUICK_LENGTHS = 20, 16, (110, 160)


def transition_matrix(segment: int, rng: np.random.Generator) -> np.ndarray:
    """A sticky chain: each kind mostly repeats, otherwise moves on by the segment's taste."""
    matrix = rng.dirichlet(np.ones(len(KINDS)) * (1 + segment), size=len(KINDS))
    matrix = 0.4 * matrix + 0.6 * np.eye(len(KINDS))
    return matrix / matrix.sum(axis=1, keepdims=True)


def long_entities(
    entities: int, lengths: tuple[int, int] = (150, 1500), seed: int = 0
) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    matrices = [transition_matrix(segment, rng) for segment in range(3)]
    frames = []
    for entity in range(entities):
        segment = entity % 3
        n = int(rng.integers(*lengths))
        kinds = np.empty(n, dtype=np.int64)
        kinds[0] = rng.integers(len(KINDS))
        amounts = np.empty(n)
        amounts[0] = rng.normal(50, 10)
        for step in range(1, n):
            kinds[step] = rng.choice(len(KINDS), p=matrices[segment][kinds[step - 1]])
            amounts[step] = 0.8 * amounts[step - 1] + 0.2 * 50 + rng.normal(0, 4)
        hours = rng.exponential(1.0 + kinds)
        frames.append(
            pd.DataFrame(
                {
                    "user": f"u{entity:05d}",
                    "time": pd.Timestamp("2025-01-01")
                    + pd.to_timedelta(np.cumsum(hours), unit="h"),
                    "kind": KINDS[kinds],
                    "amount": amounts.round(2),
                    "segment": f"s{segment}",
                }
            )  # fmt: skip
        )
    return pd.concat(frames, ignore_index=True)


def parts(table: pd.DataFrame, T: int) -> dict[str, pd.DataFrame]:
    """Each entity's first T events, and the rest."""
    step = table.groupby(ROLES.id_col, sort=False).cumcount()
    return {"first T": table[step < T], "beyond T": table[step >= T]}


def run_velora(train: pd.DataFrame, entities: int, steps: int, seed: int, windows: bool):
    with mock.patch.object(recipe, "trains_on_windows", lambda longest: windows):
        return timed(
            lambda: tables.synthesize_like(train, ROLES, entities=entities, steps=steps, seed=seed)
        )


def run_markov(train: pd.DataFrame, entities: int, seed: int):
    chain = MarkovBaseline(ROLES.id_col, ROLES.time_col, ROLES.event_cols, ROLES.const_cols,
                           seed=seed)  # fmt: skip
    return timed(lambda: chain.fit(train).sample(n_entities=entities))


def scores(test: pd.DataFrame, synthetic: pd.DataFrame, train: pd.DataFrame, T: int, seed: int):
    real, fake, seen = parts(test, T), parts(synthetic, T), parts(train, T)
    figures = {}
    for part in real:
        if fake[part][ROLES.id_col].nunique() < 2:
            figures[part] = dict.fromkeys(FIGURES, math.nan)
            continue
        report = evaluate_roles(real[part], fake[part], ROLES, training=seen[part], seed=seed)
        figures[part] = summary(dict(report.figures))
    return figures


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few entities and steps")
    parser.add_argument("--steps", type=int, default=DEFAULT_STEPS)
    parser.add_argument("--entities", type=int, default=DEFAULT_ENTITIES)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if args.quick:
        args.steps, args.entities = QUICK_STEPS, QUICK_ENTITIES
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    lengths = QUICK_LENGTHS if args.quick else (150, 1500)
    table = long_entities(args.entities, lengths, seed=args.seed)
    train, test = split_by_entity(table, ROLES.id_col, 0.25, args.seed)
    T = tables.MAX_TIME_STEPS
    entities = train[ROLES.id_col].nunique()
    print(
        f"{len(table):,} events of {table[ROLES.id_col].nunique()} entities ({lengths[0]} to "
        f"{lengths[1]} events each), T = {T}, {args.steps} training steps"
    )
    results, seconds, events = {}, {}, {}
    for method, run in (
        ("windows", lambda: run_velora(train, entities, args.steps, args.seed, True)),
        ("first T", lambda: run_velora(train, entities, args.steps, args.seed, False)),
        ("markov", lambda: run_markov(train, entities, args.seed)),
    ):
        note(f"{method}: fitting and sampling")
        synthetic, seconds[method] = run()
        events[method] = synthetic.groupby(ROLES.id_col).size()
        results[method] = scores(test, synthetic, train, T, args.seed)
    headers = ["figure"] + [f"{m}, {p}" for m in results for p in ("first T", "beyond T")]
    rows = [
        [figure] + [cell(results[m][p][figure]) for m in results for p in ("first T", "beyond T")]
        for figure in FIGURES
    ]
    print_table(headers, rows)
    real_events = test.groupby(ROLES.id_col).size()
    print_table(
        ["method", "seconds", "mean events", "longest"],
        [["test (real)", "", f"{real_events.mean():.0f}", str(real_events.max())]]
        + [
            [m, f"{seconds[m]:.0f}", f"{events[m].mean():.0f}", str(events[m].max())]
            for m in results
        ],
    )


if __name__ == "__main__":
    main()
