"""The command line: `python -m velora synthesize ...`, `fit`, `sample` and `report`.

`synthesize` trains an `EventSynthesizer` on an event table and writes synthetic entities in
the same layout; `report` compares a synthetic table with the real one. The work is done by
`velora.tables`; errors the user can fix (`TableError`) are one line on stderr and exit code
2, with nothing written.
"""

import argparse
import contextlib
import signal
import sys
import threading
import warnings
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

import pandas as pd

from velora import tables
from velora.evaluation import roles as evaluation_roles
from velora.files import UnwritablePathError, check_writable
from velora.quiet_start import import_tensorflow_quietly
from velora.tables.roles import MIN_ENTITIES_TO_HOLD_OUT
from velora.tables.times import is_numeric_column

# Seeds NumPy and TensorFlow both take.
MAX_SEED = 2**32 - 1

# Options of `sample` that the shards of --workers cannot take: each draws its entities from
# the model alone.
UNSHARDED_OPTIONS = (
    "constants_from",
    "exogenous_from",
    "events_per_entity",
    "exact_numbers",
    "beyond_time_range",
)


class UsageError(tables.TableError):
    """A mistake in the command's arguments or inputs, reported as one line."""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line, like every other error of ours."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"error: {self.prog}: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of `python -m velora`."""
    parser = _Parser(
        prog="python -m velora",
        description="Learn a generative model of an event table and synthesise new entities.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    synth = _training_command(
        commands,
        "synthesize",
        help="train on an event table and write synthetic entities",
        description="Train an EventSynthesizer on INPUT (one row per event) and write "
        "synthetic entities, with ids synthetic-0001, ..., in the same layout.",
        seeded="training and synthesis",
    )
    _add_sampling_arguments(synth, entities_default=tables.DEFAULT_ENTITIES)
    synth.add_argument(
        "--holdout",
        type=_share,
        default=tables.DEFAULT_HOLDOUT,
        metavar="SHARE",
        help="with --report: the share of real entities kept out of training, which the "
        f"report compares with (default {tables.DEFAULT_HOLDOUT}; none for tables of fewer than "
        f"{MIN_ENTITIES_TO_HOLD_OUT} entities)",
    )
    synth.add_argument(
        "--report", metavar="DIR", help="also write the evaluation report into this folder"
    )
    synth.add_argument("--model", metavar="FILE", help="also save the trained model to FILE")
    synth.set_defaults(run=_run_synthesize)

    fit = _training_command(
        commands,
        "fit",
        help="train on an event table and save the model",
        description="Train an EventSynthesizer on INPUT (one row per event) and save it to "
        "a model file, to sample from with 'python -m velora sample'.",
        seeded="training",
    )
    fit.add_argument("--model", required=True, metavar="FILE", help="where to save the model")
    fit.set_defaults(run=_run_fit)

    sample = commands.add_parser(
        "sample",
        help="write synthetic entities from a saved model",
        description="Write synthetic entities, with ids synthetic-0001, ..., drawn from a "
        "model saved by 'python -m velora fit', in the layout of the table it learned; with "
        "--workers, as a folder of Parquet shard files sampled on a Ray cluster.",
    )
    sample.add_argument("model", metavar="MODEL", help="the model file")
    _add_sampling_arguments(
        sample,
        entities_default=None,
        output_help="where to write the synthetic table, .csv or .parquet; with --workers, "
        "the folder of its Parquet shard files (read back whole with pandas.read_parquet)",
    )
    sample.add_argument(
        "--constants-from",
        metavar="TABLE",
        help="a table of constant columns: one synthetic entity per row (per entity where it "
        "has the id column), drawn given its values; sets the number of entities",
    )
    sample.add_argument(
        "--exogenous-from",
        metavar="TABLE",
        help="for a model with exogenous columns: the table each synthetic entity takes them "
        "from, from an entity drawn at random",
    )
    sample.add_argument(
        "--seed",
        type=_seed,
        default=0,
        metavar="N",
        help="random seed of sampling (default 0)",
    )
    sample.add_argument(
        "--workers",
        type=_positive,
        metavar="N",
        help="sample as N Ray tasks, each writing one Parquet shard file into the folder "
        "--output, on a local Ray cluster of N CPUs unless --address is given (needs pip "
        "install 'velora[ray]'); takes none of "
        + ", ".join(_option(name) for name in UNSHARDED_OPTIONS),
    )
    sample.add_argument(
        "--address",
        metavar="ADDR",
        help="with --workers: the Ray cluster to sample on ('auto', ray://HOST:10001 or "
        "HOST:PORT) instead of a local one",
    )
    sample.set_defaults(run=_run_sample)

    report = commands.add_parser(
        "report",
        help="compare a synthetic table with the real one",
        description="Write report.md, report.json and PNG plots comparing SYNTHETIC with REAL.",
    )
    report.add_argument("real", metavar="REAL", help="the real table, .csv or .parquet")
    report.add_argument("synthetic", metavar="SYNTHETIC", help="the synthetic table")
    _add_role_arguments(report)
    report.add_argument(
        "--training",
        metavar="TABLE",
        help="the real entities the synthetic table's generator was trained on (REAL then "
        "holds entities kept out of training); adds the privacy figures",
    )
    report.add_argument(
        "--seed",
        type=_seed,
        default=0,
        metavar="N",
        help="seed of the discriminator's folds (default 0)",
    )
    report.add_argument(
        "--output", required=True, metavar="DIR", help="folder to write the report into"
    )
    report.set_defaults(run=_run_report)
    return parser


def _training_command(
    commands: "argparse._SubParsersAction", name: str, *, help: str, description: str, seeded: str
) -> argparse.ArgumentParser:
    """A command that trains on the table INPUT, with the role and training options."""
    parser = commands.add_parser(name, help=help, description=description)
    parser.add_argument("input", metavar="INPUT", help="the real table, .csv or .parquet")
    _add_role_arguments(parser)
    parser.add_argument(
        "--exogenous",
        nargs="+",
        default=[],
        metavar="COL",
        help="columns given to the model at every step; each synthetic "
        "entity takes them from a real entity drawn at random",
    )
    parser.add_argument(
        "--sample",
        nargs="+",
        default=[],
        metavar="COL",
        help="columns whose values are clustered and drawn from their cluster",
    )
    parser.add_argument(
        "--steps",
        type=_positive,
        default=tables.DEFAULT_STEPS,
        metavar="N",
        help=f"training steps (default {tables.DEFAULT_STEPS})",
    )
    parser.add_argument(
        "--seed", type=_seed, default=0, metavar="N", help=f"random seed of {seeded} (default 0)"
    )
    return parser


def _add_sampling_arguments(
    parser: argparse.ArgumentParser,
    entities_default: int | None,
    output_help: str = "where to write the synthetic table, .csv or .parquet",
) -> None:
    parser.add_argument(
        "--entities",
        type=_positive,
        default=entities_default,
        metavar="N",
        help=f"synthetic entities to write (default {tables.DEFAULT_ENTITIES})",
    )
    parser.add_argument(
        "--events-per-entity",
        type=_positive,
        metavar="N",
        help="events of every synthetic entity (default: each entity ends where the "
        "model, which learns where real entities end, ends it; for tables of entities "
        "longer than 100 events, lengths are drawn from the real entities')",
    )
    parser.add_argument(
        "--exact-numbers",
        action="store_true",
        default=None,
        help="write numbers as the model draws them, not at the real columns' precision",
    )
    parser.add_argument(
        "--beyond-time-range",
        action="store_true",
        default=None,
        help="keep synthetic events after the real table's last time, where entities otherwise end",
    )
    parser.add_argument("--output", required=True, metavar="PATH", help=output_help)


def _add_role_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--id", required=True, metavar="COL", help="the entity id column")
    parser.add_argument(
        "--time",
        required=True,
        metavar="COL",
        help="the time column: date text, date-times or numbers",
    )
    parser.add_argument(
        "--events",
        nargs="+",
        default=[],
        metavar="COL",
        help="columns that change from event to event (default: every column "
        "not named in another role)",
    )
    parser.add_argument(
        "--constants",
        nargs="+",
        default=[],
        metavar="COL",
        help="columns that hold one value per entity",
    )


def _positive(text: str) -> int:
    return _whole_number(text, 1, None)


def _seed(text: str) -> int:
    return _whole_number(text, 0, MAX_SEED)


def _whole_number(text: str, least: int, most: int | None) -> int:
    value = int(text)
    if value < least or (most is not None and value > most):
        bounds = f"from {least} to {most}" if most is not None else f"at least {least}"
        raise argparse.ArgumentTypeError(f"must be {bounds}, not {value}")
    return value


def _share(text: str) -> float:
    value = float(text)
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 0 and below 1, not {value}")
    return value


def _roles_of(args: argparse.Namespace, real: pd.DataFrame) -> tables.TableRoles:
    roles = tables.TableRoles(
        args.id, args.time, args.events, args.constants, args.exogenous, args.sample
    ).with_default_events(real.columns)
    roles.check_against(real, args.input)
    return roles


def _run_fit(args: argparse.Namespace) -> None:
    real = tables.read_table(args.input)
    roles = _roles_of(args, real)
    check_writable(args.model, folder=False, inputs=[args.input])
    real = roles.check_values(real, args.input)
    fitted = tables.fit_table(real, roles, steps=args.steps, seed=args.seed)
    print(f"Model: {fitted.save(args.model)}")
    print(f"Sample from it with: python -m velora sample {args.model} --entities N --output OUT")


def _run_sample(args: argparse.Namespace) -> None:
    if args.workers is not None:
        _run_sample_on_workers(args)
        return
    if args.address is not None:
        raise UsageError("--address names the Ray cluster of --workers: give --workers N too")
    output = Path(args.output)
    inputs = [args.model, *filter(None, [args.constants_from, args.exogenous_from])]
    tables.check_table_output(output, inputs=inputs)
    fitted = tables.FittedTable.load(args.model)
    constants = None
    entities = args.entities
    if args.constants_from:
        constants = _constants_from(
            tables.read_table(args.constants_from), fitted, args.constants_from
        )
        if entities is not None and entities != len(constants):
            raise UsageError(
                f"--entities {entities} but '{args.constants_from}' gives constants for "
                f"{len(constants)} entities; leave --entities out"
            )
        entities = len(constants)
    entities = tables.DEFAULT_ENTITIES if entities is None else entities
    donors = tables.read_table(args.exogenous_from) if args.exogenous_from else None
    if donors is not None:
        for col in [fitted.roles.id_col, *fitted.roles.exog_cols]:
            if col not in donors.columns:
                raise UsageError(f"unknown column '{col}' in {args.exogenous_from}")
    chunks = tables.sample_tables(
        fitted,
        entities=entities,
        seed=args.seed,
        events_per_entity=args.events_per_entity,
        donors=donors,
        constants=constants,
        exact_numbers=bool(args.exact_numbers),
        beyond_time_range=bool(args.beyond_time_range),
    )
    written = tables.write_chunks(tables.with_progress(chunks, entities, fitted.roles), output)
    print(f"Synthetic table: {written}")


def _run_sample_on_workers(args: argparse.Namespace) -> None:
    from velora import distributed

    _check_shardable(args)
    output = Path(args.output)
    check_writable(output, folder=True, inputs=[args.model])
    _check_holds_no_shards(output)
    tables.FittedTable.load(args.model)  # a file that `fit` did not save fails here, in one line
    entities = tables.DEFAULT_ENTITIES if args.entities is None else args.entities
    with contextlib.ExitStack() as cluster:
        try:
            cluster.enter_context(distributed.connected(args.address, cpus=args.workers))
        except (ImportError, ConnectionError) as error:
            raise UsageError(str(error)) from None
        files = distributed.sample(
            args.model,
            entities,
            shards=args.workers,
            seed=args.seed,
            output=output,
            chunk_size=tables.SAMPLE_CHUNK,
        )
    print(f"Synthetic table: {output} (Parquet shard files: {len(files)})")


def _check_shardable(args: argparse.Namespace) -> None:
    for name in UNSHARDED_OPTIONS:
        if getattr(args, name) is not None:
            raise UsageError(
                f"{_option(name)} cannot be used with --workers: each shard draws its entities "
                f"from the model alone; leave out {_option(name)} or --workers"
            )
    if Path(args.output).suffix.lower() == ".csv":
        raise UsageError(
            f"--workers writes a folder of Parquet shard files, not the CSV file "
            f"'{args.output}': give --output a folder"
        )


def _check_holds_no_shards(output: Path) -> None:
    """Refuse a folder with shard files already: read back with the new ones, they would make
    one table."""
    shards = sorted(output.glob("part-*.parquet")) if output.is_dir() else []
    if shards:
        raise UsageError(
            f"'{output}' holds shard files already ({shards[0].name}, ...); remove them or "
            "give --output another folder"
        )


def _option(name: str) -> str:
    return "--" + name.replace("_", "-")


def _constants_from(table: pd.DataFrame, fitted: tables.FittedTable, name: str) -> pd.DataFrame:
    """One row of constants per wanted entity: the first row of each entity where the table
    has the id column, else every row."""
    roles = fitted.roles
    given = [col for col in roles.const_cols if col in table.columns]
    if not given:
        raise UsageError(
            f"'{name}' holds none of the model's constant columns ({', '.join(roles.const_cols)})"
            if roles.const_cols
            else "the model has no constant columns to give: leave --constants-from out"
        )
    if roles.id_col in table.columns:
        table = table.groupby(roles.id_col, sort=False).head(1)
    return table[given].reset_index(drop=True)


def _run_synthesize(args: argparse.Namespace) -> None:
    real = tables.read_table(args.input)
    roles = _roles_of(args, real)
    output = Path(args.output)
    tables.check_table_output(output, inputs=[args.input])
    if args.report:
        check_writable(args.report, folder=True, inputs=[args.input, args.output])
    if args.model:
        check_writable(args.model, folder=False, inputs=[args.input, args.output])
    real = roles.check_values(real, args.input)
    share = args.holdout if args.report else 0.0
    training, held_out = tables.hold_out(real, roles.id_col, share, seed=args.seed)
    fitted = tables.fit_table(training, roles, steps=args.steps, seed=args.seed)
    if args.model:
        print(f"Model: {fitted.save(args.model)}")
    synthetic = tables.sample_table(
        fitted,
        progress=True,
        entities=args.entities,
        seed=args.seed,
        events_per_entity=args.events_per_entity,
        donors=training,
        exact_numbers=bool(args.exact_numbers),
        beyond_time_range=bool(args.beyond_time_range),
    )
    print(f"Synthetic table: {tables.write_table(synthetic, output)}")
    if not args.report:
        return
    reference, trained_on = held_out, training
    if held_out is None:
        print("No real entity is kept out of training: the report compares with those trained on")
        reference, trained_on = training, None
    report = evaluation_roles.report_on(
        reference, synthetic, roles, args.report, training=trained_on, seed=args.seed
    )
    print(report.summary())


def _run_report(args: argparse.Namespace) -> None:
    real, synthetic = tables.read_table(args.real), tables.read_table(args.synthetic)
    training = tables.read_table(args.training) if args.training else None
    roles = tables.TableRoles(args.id, args.time, args.events, args.constants)
    roles.with_default_events(real.columns)
    inputs = {args.real: real, args.synthetic: synthetic}
    if training is not None:
        inputs[args.training] = training
    for name, table in inputs.items():
        roles.check_against(table, name)
        _check_kinds_match(real, table, roles, args.real, name)
    check_writable(args.output, folder=True, inputs=list(inputs))
    report = evaluation_roles.report_on(
        real, synthetic, roles, args.output, training=training, seed=args.seed
    )
    print(report.summary())


def _check_kinds_match(
    real: pd.DataFrame, other: pd.DataFrame, roles: tables.TableRoles, real_name: str, name: str
) -> None:
    for col in [*roles.event_cols, *roles.const_cols]:
        if is_numeric_column(real[col]) and not is_numeric_column(other[col]):
            raise UsageError(
                f"column '{col}' holds numbers in {real_name} but not in {name}; compare "
                "tables whose columns hold the same kinds of values"
            )


# The commands that train or run a model, and so load TensorFlow.
COMMANDS_OF_THE_MODEL = ("synthesize", "fit", "sample")


class Terminated(BaseException):
    """SIGTERM (what `timeout` and schedulers send) as an exception, so that the writes in
    progress remove their temporary files on the way out, as on Ctrl-C."""


# The exit codes of a command stopped by a signal: 128 plus the signal's number.
INTERRUPTED_EXIT = {KeyboardInterrupt: 128 + signal.SIGINT, Terminated: 128 + signal.SIGTERM}


def _terminate(signum: int, frame: object) -> NoReturn:
    raise Terminated


@contextlib.contextmanager
def _terminated_as_exception() -> Iterator[None]:
    # Only the main thread may set handlers; elsewhere SIGTERM keeps its own behaviour.
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code (2 for a usage error, 130 and 143 for a
    command stopped by Ctrl-C or SIGTERM, which write nothing)."""
    args = build_parser().parse_args(argv)
    try:
        with _terminated_as_exception():
            if args.command in COMMANDS_OF_THE_MODEL:
                import_tensorflow_quietly()
            args.run(args)
    except (tables.TableError, UnwritablePathError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (KeyboardInterrupt, Terminated) as stop:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED_EXIT[type(stop)]
    return 0


# Names that moved to `velora.tables` (and `velora.evaluation.roles`), found here for one
# release more.
_MOVED = {
    **{name: tables for name in tables.__all__},
    "evaluate_roles": "velora.evaluation.roles",
    "report_on": "velora.evaluation.roles",
    "parse_time": "velora.tables.times",
}


def __getattr__(name: str) -> Any:
    if name not in _MOVED:
        raise AttributeError(f"module 'velora.cli' has no attribute '{name}'")
    import importlib

    home = _MOVED[name]
    module = home if not isinstance(home, str) else importlib.import_module(home)
    warnings.warn(
        f"velora.cli.{name} has moved to {module.__name__}.{name}; import it from there",
        DeprecationWarning,
        stacklevel=2,
    )
    return getattr(module, name)
