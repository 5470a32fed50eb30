"""The command line: `python -m velora synthesize ...` and `python -m velora report ...`.

`synthesize` trains an `EventSynthesizer` on an event table and writes synthetic entities in
the same layout; `report` compares a synthetic table with the real one. Errors the user can
fix are one line on stderr and exit code 2, with nothing written.
"""

import argparse
import contextlib
import csv
import dataclasses
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np
import pandas as pd
from tqdm import tqdm

from velora.common.precision import NumberGrid
from velora.evaluation import EvaluationReport, evaluate
from velora.evaluation.columns import (
    UnreadableTimeError,
    date_format_of,
    is_numeric_column,
    parse_time,
    zone_suffix_of,
)
from velora.files import UnwritablePathError, atomic_write, check_writable
from velora.metadata.factory import has_zero_padded_codes
from velora.quiet_start import import_tensorflow_quietly

if TYPE_CHECKING:
    from velora.complex.episode_forge import EventSynthesizer

READERS = {".csv": pd.read_csv, ".parquet": pd.read_parquet, ".pq": pd.read_parquet}
DEFAULT_STEPS = 2500
# The training step size, and the share of it that is left at the last step.
LEARNING_RATE = 3e-3
FINAL_LEARNING_RATE_SHARE = 0.05
# Nats of the id code's divergence from its prior that cost nothing.
ID_KL_FREE_BITS = 3.0
DEFAULT_ENTITIES = 100
# Real entities kept out of training for the report to compare with, and the fewest a table
# needs for any to be kept out.
DEFAULT_HOLDOUT = 0.2
MIN_ENTITIES_TO_HOLD_OUT = 5
# Clusters of a sample column's values, fewer where the column has fewer distinct values.
SAMPLE_CLUSTERS = 50
# Seeds NumPy and TensorFlow both take.
MAX_SEED = 2**32 - 1
# Longer entities are cut when training; this bounds the model's unrolled length.
MAX_TIME_STEPS = 100
# Gaussians in the output of each continuous column.
CONTINUOUS_COMPONENTS = 3
# Entities sampled together: memory grows with it, time per entity falls.
SAMPLE_CHUNK = 1024
# Options of `sample` that the shards of --workers cannot take: each draws its entities from
# the model alone.
UNSHARDED_OPTIONS = (
    "constants_from",
    "exogenous_from",
    "events_per_entity",
    "exact_numbers",
    "beyond_time_range",
)
# Numeric times are trained as seconds after this origin and turned back afterwards.
NUMERIC_TIME_ORIGIN = pd.Timestamp(0)


class UsageError(Exception):
    """A mistake in the command's arguments or inputs, reported as one line."""


@dataclass
class TableRoles:
    """What each column of an event table is to the synthesizer.

    Attributes:
        id_col: the column that tells entities apart.
        time_col: the time of each event.
        event_cols: the columns that change from event to event; by default (empty) every
            column in no other role (`with_default_events`).
        const_cols: the columns constant within an entity.
        exog_cols: columns the caller supplies when training and when sampling.
        sample_cols: columns of many values, sampled within clusters the model learns.
    """

    id_col: str
    time_col: str
    event_cols: list[str] = field(default_factory=list)
    const_cols: list[str] = field(default_factory=list)
    exog_cols: list[str] = field(default_factory=list)
    sample_cols: list[str] = field(default_factory=list)

    def with_default_events(self, columns: Sequence[str]) -> "TableRoles":
        """These roles, with every column not named in another role as an event column."""
        if self.event_cols:
            return self
        taken = {self.id_col, self.time_col, *self.const_cols, *self.exog_cols}
        self.event_cols = [col for col in columns if col not in taken]
        return self

    def check_against(self, df: pd.DataFrame, table: str) -> None:
        """Raise `UsageError` for a column the table lacks or one given two roles."""
        named = [self.id_col, self.time_col, *self.event_cols, *self.const_cols, *self.exog_cols]
        for col in [*named, *self.sample_cols]:
            if col not in df.columns:
                raise UsageError(f"unknown column '{col}' in {table} (it has: {', '.join(df)})")
        repeated = sorted({col for col in named if named.count(col) > 1})
        if repeated:
            raise UsageError(f"column '{repeated[0]}' is given more than one role")
        for derived in (f"{self.time_col}_0", f"{self.time_col}_diff"):
            if derived in named:
                raise UsageError(
                    f"column '{derived}' clashes with a name derived from the time column "
                    f"'{self.time_col}'; rename it, or leave it out by naming --events"
                )

    def check_values(self, df: pd.DataFrame, table: str) -> pd.DataFrame:
        """The rows of a table the synthesizer can learn from, after checking its values.

        Rows without an id are left out with a warning. Raises `UsageError` for a table with
        no id at all, infinite numbers, or a constant column that varies within an entity.
        """
        ids = df[self.id_col]
        if ids.isna().all():
            raise UsageError(f"the id column '{self.id_col}' of {table} holds no values")
        if ids.isna().any():
            warn(f"{int(ids.isna().sum())} rows of {table} without an id are left out")
            df = df[ids.notna()]
        for col in roles_columns(self):
            values = df[col]
            if is_numeric_column(values) and np.isinf(values.to_numpy(float)).any():
                raise UsageError(
                    f"column '{col}' of {table} holds infinite values; replace them with "
                    "numbers or leave them empty"
                )
        for col in self.const_cols:
            distinct = df.groupby(self.id_col, sort=False)[col].nunique(dropna=False)
            if (distinct > 1).any():
                raise UsageError(
                    f"column '{col}' of {table} is given as constant but varies within "
                    f"entities (entity '{distinct.idxmax()}' has {distinct.max()} values); "
                    "leave it out of --constants"
                )
        return df


def read_table(path: str | Path) -> pd.DataFrame:
    """A CSV or Parquet file as a frame."""
    path = Path(path)
    reader = _format_of(path, READERS)
    if not path.is_file():
        raise UsageError(f"no such file: '{path}'")
    try:
        df = _read_csv(path) if reader is pd.read_csv else reader(path)
    except (OSError, ValueError, csv.Error) as error:  # pandas' parser errors are ValueErrors
        first_line = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UsageError(f"cannot read '{path}': {first_line}") from None
    repeated = df.columns[df.columns.duplicated()]
    if len(repeated):
        raise UsageError(
            f"'{path}' has more than one column named '{repeated[0]}'; give each its own name"
        )
    return df


def _read_csv(path: Path) -> pd.DataFrame:
    """A CSV file as pandas reads it, except that repeated column names are kept as they are
    (pandas would rename them) and zero-padded codes stay text."""
    with path.open(newline="", encoding="utf-8", errors="replace") as file:
        header = next(csv.reader(file), [])
    df = pd.read_csv(path)
    if len(set(header)) < len(header):
        df.columns = header
        return df
    numeric = [col for col in df.columns if is_numeric_column(df[col])]
    if numeric:
        text = pd.read_csv(path, dtype=str, usecols=numeric)
        for col in numeric:
            if has_zero_padded_codes(text[col].dropna()):
                df[col] = text[col]
    return df


def write_table(df: pd.DataFrame, path: str | Path) -> Path:
    """Write a frame as CSV or Parquet, chosen by the file's extension.

    The file is written under a temporary name beside it and renamed when complete, so a
    failed write leaves no half-written table.
    """
    path = Path(path)
    _format_of(path, READERS)
    with atomic_write(path) as temporary:
        if path.suffix.lower() == ".csv":
            df.to_csv(temporary, index=False)
        else:
            df.to_parquet(temporary, index=False)
    return path


def write_chunks(chunks: Iterator[pd.DataFrame], path: str | Path) -> Path:
    """Write frames of the same columns one after another as one CSV or Parquet table,
    never holding more than one; atomically, as `write_table` writes."""
    path = Path(path)
    _format_of(path, READERS)
    with atomic_write(path) as temporary:
        if path.suffix.lower() == ".csv":
            with open(temporary, "w", newline="", encoding="utf-8") as file:
                for number, chunk in enumerate(chunks):
                    chunk.to_csv(file, index=False, header=number == 0)
        else:
            _write_parquet_chunks(chunks, temporary)
    return path


def _write_parquet_chunks(chunks: Iterator[pd.DataFrame], path: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    writer = None
    try:
        for chunk in chunks:
            # Later chunks take the first one's types: a chunk may hold missing values
            # (nullable integers) where the first had none.
            schema = writer.schema if writer else None
            table = pa.Table.from_pandas(chunk, schema=schema, preserve_index=False)
            writer = writer or pq.ParquetWriter(path, table.schema)
            writer.write_table(table)
    finally:
        if writer:
            writer.close()


def _format_of(path: Path, formats: dict[str, Callable]) -> Callable:
    try:
        return formats[path.suffix.lower()]
    except KeyError:
        known = ", ".join(formats)
        raise UsageError(f"unknown extension '{path.suffix}' of '{path}' (use {known})") from None


def _check_table_output(path: Path, inputs: Sequence[str]) -> None:
    """Fail before training on an output table that could not be written afterwards, or
    that is an input."""
    _format_of(path, READERS)
    check_writable(path, folder=False, inputs=inputs)


class TimeCodec:
    """Turns a time column into date-times for the synthesizer and synthetic ones back.

    Text keeps its own date format and numbers stay numbers, so the output has the input's
    layout. Times with a zone are modelled in UTC: zoned date-times come back in their zone,
    zoned text in UTC, written the input's way ("...Z" or "...+00:00").
    """

    def __init__(self, sr: pd.Series, ids: pd.Series | None = None) -> None:
        """Raises `UnreadableTimeError` for a column of neither dates nor numbers, and
        `UsageError` for dates outside the range the model handles (`_OUT_OF_RANGE`).

        With the entities' `ids`, synthetic times may run on past the last real one by half
        the median gap between an entity's events (`latest`): a schedule of five-yearly
        events that drifts by a day stays whole, an entity that runs on for years does not.
        """
        try:
            times = parse_time(sr)
        except (OverflowError, pd.errors.OutOfBoundsDatetime):
            raise UsageError(_OUT_OF_RANGE.format(name=sr.name)) from None
        self.name = sr.name
        self.is_numeric = not pd.api.types.is_datetime64_any_dtype(times.dtype)
        self.text_format = date_format_of(sr)
        self.zone_suffix = zone_suffix_of(sr)
        # Date-times come back in their dtype: zone and unit.
        self.dtype = sr.dtype if pd.api.types.is_datetime64_any_dtype(sr.dtype) else None
        if not self.is_numeric:
            self._check_range(times)
        # Numbers count seconds from their minimum, so large ones (e.g. epoch milliseconds)
        # stay within the range of date-times.
        self.offset = times.min() if self.is_numeric else 0.0
        self.times = self._numbers_to_dates(times) if self.is_numeric else times
        self.origin = self.times.min()
        self.resolution = time_resolution(self.times)
        self.latest = self._latest(ids)

    # What `decode` needs, kept in a model file: plain data apart from the dtype's name.
    _DECODING = (
        "name",
        "is_numeric",
        "text_format",
        "zone_suffix",
        "offset",
        "origin",
        "resolution",
    )

    def to_plain(self) -> dict:
        """What decoding needs, as plain data (see `velora.saving.plain_data`)."""
        state = {attribute: getattr(self, attribute) for attribute in self._DECODING}
        dtype = None if self.dtype is None else str(self.dtype)
        return state | {"dtype": dtype, "latest": self.latest}

    @classmethod
    def from_plain(cls, state: dict) -> "TimeCodec":
        """A codec that decodes as the one `to_plain` described (it encodes nothing)."""
        codec = cls.__new__(cls)
        for attribute in cls._DECODING:
            setattr(codec, attribute, state[attribute])
        dtype = state["dtype"]
        codec.dtype = None if dtype is None else pd.api.types.pandas_dtype(dtype)
        # Files saved before the latest time was kept know no end.
        codec.latest = state.get("latest")
        return codec

    def _check_range(self, times: pd.Series) -> None:
        present = times.dropna()
        if len(present) and (present.min() < _EARLIEST or present.max() > _LATEST):
            raise UsageError(_OUT_OF_RANGE.format(name=self.name))

    def _numbers_to_dates(self, numbers: pd.Series) -> pd.Series:
        try:
            return NUMERIC_TIME_ORIGIN + pd.to_timedelta(numbers - self.offset, unit="s")
        except (OverflowError, pd.errors.OutOfBoundsTimedelta):
            raise UsageError(f"time column '{self.name}' spans too wide a range") from None

    def encode(self, df: pd.DataFrame) -> pd.DataFrame:
        """The table with its time column as date-times."""
        return df.assign(**{str(self.name): self.times})

    def decode(self, times: pd.Series) -> pd.Series:
        """Synthetic date-times in the input column's form (text format or numbers), on the
        real times' grid: the origin plus whole multiples of their resolution."""
        times = self._on_grid(times)
        if self.is_numeric:
            return (times - NUMERIC_TIME_ORIGIN) / pd.Timedelta(seconds=1) + self.offset
        if self.text_format:
            return times.dt.strftime(self.text_format) + (self.zone_suffix or "")
        if self.dtype is None:
            return times
        if getattr(self.dtype, "tz", None) is not None:
            times = times.dt.tz_localize("UTC")
        return times.astype(self.dtype)

    def _latest(self, ids: pd.Series | None) -> pd.Timestamp | None:
        last = self.times.max()
        if pd.isna(last):
            return None
        if ids is None:
            return last
        gaps = self.times.groupby(ids.to_numpy(), sort=False).diff().dropna()
        return last + gaps.median() / 2 if len(gaps) else last

    def within_range(self, times: pd.Series) -> pd.Series:
        """Whether each synthetic date-time, on the real grid, is at or before `latest`
        (True where missing or where no latest time is known)."""
        if self.latest is None:
            return pd.Series(True, index=times.index)
        return self._on_grid(times).le(self.latest) | times.isna()

    def _on_grid(self, times: pd.Series) -> pd.Series:
        # Rounding is monotone, so times in order stay in order.
        if self.resolution is None:
            return times
        step = self.resolution.value
        ticks = _ticks_since(times, self.origin)
        rounded = (ticks + step // 2) // step * step
        on_grid = pd.Series(
            self.origin + pd.to_timedelta(rounded, unit="ns"), index=times.index, name=times.name
        )
        return on_grid.where(times.notna())


# Date-times the model handles: those of nanosecond resolution, a margin kept for the
# gaps added to them.
_EARLIEST = pd.Timestamp.min + pd.Timedelta(days=1)
_LATEST = pd.Timestamp.max - pd.Timedelta(days=366)
_OUT_OF_RANGE = (
    f"time column '{{name}}' holds dates outside {_EARLIEST:%Y-%m-%d} to {_LATEST:%Y-%m-%d}, "
    "which velora cannot model; shift them into that range"
)


def _ticks_since(times: pd.Series, origin: pd.Timestamp) -> np.ndarray:
    """Nanoseconds from `origin`, 0 where a time is missing."""
    elapsed = (times - origin).fillna(pd.Timedelta(0))
    return elapsed.to_numpy().astype("timedelta64[ns]").astype(np.int64)


def time_resolution(times: pd.Series) -> pd.Timedelta | None:
    """The largest step that every time is a whole multiple of, counted from the earliest.

    Hourly times give an hour, dates a day; None when there is no step (one time only).
    """
    present = times.dropna()
    if present.empty:
        return None
    step = int(np.gcd.reduce(_ticks_since(present, present.min())))
    return pd.Timedelta(step, unit="ns") if step > 1 else None


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
    _add_sampling_arguments(synth, entities_default=DEFAULT_ENTITIES)
    synth.add_argument(
        "--holdout",
        type=_share,
        default=DEFAULT_HOLDOUT,
        metavar="SHARE",
        help="with --report: the share of real entities kept out of training, which the "
        f"report compares with (default {DEFAULT_HOLDOUT}; none for tables of fewer than "
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
        default=DEFAULT_STEPS,
        metavar="N",
        help=f"training steps (default {DEFAULT_STEPS})",
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
        help=f"synthetic entities to write (default {DEFAULT_ENTITIES})",
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


def roles_columns(roles: TableRoles) -> list[str]:
    """Every column named in a role, each once, id and time first."""
    named = [roles.id_col, roles.time_col, *roles.event_cols, *roles.const_cols, *roles.exog_cols]
    return list(dict.fromkeys(named))


def trains_on_windows(longest: int) -> bool:
    """Whether a table whose longest entity has `longest` events trains in windows: where it is
    longer than the unrolled length, so that every event teaches the model, not only each
    entity's first `MAX_TIME_STEPS`."""
    return bool(longest > MAX_TIME_STEPS)


def train_synthesizer(
    table: pd.DataFrame, roles: TableRoles, *, steps: int, seed: int
) -> "EventSynthesizer":
    """An `EventSynthesizer` trained on a table whose time column holds date-times.

    It learns where entities end, which is where `sample` ends them unless told their lengths
    (for tables of entities longer than `MAX_TIME_STEPS`, which train in windows, `sample`
    draws the real entities' lengths instead).
    """
    import tensorflow as tf  # loaded only when training: it takes seconds

    from velora.complex.episode_forge import EventSynthesizer
    from velora.config import (
        DateTransformerConfig,
        DeepStateConfig,
        MetaTransformerConfig,
        ModelBuilderConfig,
        ValueFactoryConfig,
    )

    tf.keras.utils.set_random_seed(seed)
    longest = table.groupby(roles.id_col, sort=False).size().max()
    long_entities = trains_on_windows(longest)
    config = DeepStateConfig(
        max_time_steps=int(min(longest, MAX_TIME_STEPS)),
        batch_size=16,
        capacity=128,
        # Every input step counts when the emission reads the recurrent state. The step size
        # falls from a large one, which learns a table of a few thousand entities in as many
        # steps, to a small one, which settles its distributions.
        dropout_rate=0.0,
        learning_rate=tf.keras.optimizers.schedules.CosineDecay(
            LEARNING_RATE, decay_steps=max(1, steps), alpha=FINAL_LEARNING_RATE_SHARE
        ),
        learn_entity_end=True,
        # Entities longer than the unrolled length train on every event, and their lengths
        # come from the real ones, which the end flag would have to count up to.
        windows=long_entities,
        lengths_from_training=long_entities,
        # A length drawn with the entity: a late start in a table cut at its last date
        # comes with the short length of the training entity it was drawn from.
        lengths_follow_id_codes=True,
        emission_reads_state=True,
        outputs_as_fed_back=True,
        # Room for the id code to carry an entity's constants, and random codes drawn like
        # the training entities' own.
        id_kl_free_bits=ID_KL_FREE_BITS,
        id_codes_from_training=True,
        # Whole numbers (wind in knots, minutes of delay) come back whole and in range.
        model_builder_config=ModelBuilderConfig(integer_counts=True),
        # A mixture per number holds a point mass (zero gaps) beside a spread, and the tails.
        value_factory_config=ValueFactoryConfig(continuous_components=CONTINUOUS_COMPONENTS),
        # Start dates stay within the real range, and gaps of a few distinct lengths (yearly
        # panels) keep them; a point mass (zero gaps) spreads over its share of the normal
        # scale, so that the scaled column is Gaussian and its tails where they belong.
        meta_transformer_config=MetaTransformerConfig(
            max_levels=32,
            spread_ties=True,
            date_transformer_config=DateTransformerConfig(quantile=True),
        ),
        # k-means needs as many distinct values as clusters.
        codes=min([SAMPLE_CLUSTERS, *(table[col].nunique() for col in roles.sample_cols)]),
    )
    synthesizer = EventSynthesizer(
        table,
        id_idx=roles.id_col,
        time_idx=roles.time_col,
        event_cols=roles.event_cols,
        const_cols=roles.const_cols,
        exog_cols=roles.exog_cols,
        sample_cols=roles.sample_cols,
        config=config,
    )
    synthesizer.learn(table, epochs=1, steps_per_epoch=steps)
    return synthesizer


@dataclass
class FittedTable:
    """A synthesizer trained on a table, and what it needs to write entities in its layout.

    Attributes:
        synthesizer: the trained `EventSynthesizer`.
        roles: the table's column roles.
        codec: how the table's times were turned into date-times, and back.
        columns: the table's columns that the synthetic tables have, in its order.
        grids: the precision of each numeric column whose values lie on a grid (decimals or
            a coarser step), at which synthetic values are written.
    """

    synthesizer: "EventSynthesizer"
    roles: TableRoles
    codec: "TimeCodec"
    columns: list[str]
    grids: dict[str, NumberGrid] = field(default_factory=dict)

    def to_plain(self) -> dict:
        """What a model file keeps beside the synthesizer for the command line."""
        return {
            "roles": dataclasses.asdict(self.roles),
            "codec": self.codec.to_plain(),
            "columns": self.columns,
            "grids": {col: grid.to_plain() for col, grid in self.grids.items()},
        }

    @classmethod
    def load(cls, path: str | Path) -> "FittedTable":
        """The fitted table saved to a model file by `fit`; raises `UsageError`."""
        from velora.complex.episode_forge import EventSynthesizer
        from velora.saving.model_file import ModelFileError, load_with_extra

        not_fitted = UsageError(
            f"'{path}' was not saved by 'python -m velora fit': it holds no table layout"
        )
        try:
            fitted = cls.from_extra(*load_with_extra(EventSynthesizer, path))
        except ModelFileError as error:
            raise UsageError(str(error)) from None
        except (KeyError, TypeError, ValueError):
            raise not_fitted from None
        if fitted is None:
            raise not_fitted
        return fitted

    @classmethod
    def from_extra(cls, synthesizer: "EventSynthesizer", extra: Any) -> "FittedTable | None":
        """The synthesizer with the layout kept in its model file's extra data by `save`;
        None where the file holds none (it was saved by `EventSynthesizer.save`)."""
        if not isinstance(extra, dict) or "command_line" not in extra:
            return None
        layout = extra["command_line"]
        roles = TableRoles(**layout["roles"])
        # Files saved before grids were learned have none: their numbers come back exact.
        grids = {col: NumberGrid.from_plain(grid) for col, grid in layout.get("grids", {}).items()}
        codec = TimeCodec.from_plain(layout["codec"])
        return cls(synthesizer, roles, codec, layout["columns"], grids)

    def in_layout(
        self,
        chunks: Iterator[pd.DataFrame],
        *,
        exact_numbers: bool = False,
        beyond_time_range: bool = False,
    ) -> Iterator[pd.DataFrame]:
        """Synthetic chunks with the table's times and columns, numbers at the real
        columns' precision unless `exact_numbers`, and no event after the real table's last
        time (give or take half a typical gap: `TimeCodec.latest`) unless
        `beyond_time_range`: the real table is cut there, so synthetic entities are too."""
        time_col = self.roles.time_col
        for chunk in chunks:
            if not beyond_time_range:
                chunk = chunk[self.codec.within_range(chunk[time_col])].reset_index(drop=True)
            chunk[time_col] = self.codec.decode(chunk[time_col])
            if not exact_numbers:
                for col, grid in self.grids.items():
                    if col in chunk.columns:
                        chunk[col] = grid.apply(chunk[col])
            yield chunk[[col for col in self.columns if col in chunk.columns]]

    def save(self, path: str | Path) -> Path:
        from velora.saving.model_file import save

        return save(self.synthesizer, path, extra={"command_line": self.to_plain()})


def fit_table(real: pd.DataFrame, roles: TableRoles, *, steps: int, seed: int = 0) -> FittedTable:
    """Train an `EventSynthesizer` on the columns of a real table named in `roles`.

    Parameters
    ----------
    real : pd.DataFrame
        The table, one row per event; its times may be date-times, date text or numbers.
    roles : TableRoles
        What each column is; columns in no role are left out.
    steps : int
        Training steps, each a batch of entities.
    seed : int
        Seeds TensorFlow, NumPy and Python before training.

    Returns
    -------
    FittedTable
        The trained synthesizer with the table's layout, to sample from or `save`.
    """
    codec = TimeCodec(real[roles.time_col], real[roles.id_col])
    table = codec.encode(real[roles_columns(roles)])
    synthesizer = train_synthesizer(table, roles, steps=steps, seed=seed)
    columns = [col for col in real.columns if col in table]
    return FittedTable(synthesizer, roles, codec, columns, number_grids(table, roles))


def number_grids(table: pd.DataFrame, roles: TableRoles) -> dict[str, NumberGrid]:
    """The grid of every numeric event, constant and exogenous column that lies on one."""
    numeric = [
        col
        for col in dict.fromkeys([*roles.event_cols, *roles.const_cols, *roles.exog_cols])
        if is_numeric_column(table[col])
    ]
    grids = {col: NumberGrid.of(table[col]) for col in numeric}
    return {col: grid for col, grid in grids.items() if grid is not None}


def sample_tables(
    fitted: FittedTable,
    *,
    entities: int,
    seed: int = 0,
    events_per_entity: int | None = None,
    donors: pd.DataFrame | None = None,
    constants: pd.DataFrame | None = None,
    chunk_size: int = SAMPLE_CHUNK,
    exact_numbers: bool = False,
    beyond_time_range: bool = False,
) -> Iterator[pd.DataFrame]:
    """Synthetic entities in the real table's layout, one frame per chunk.

    Parameters
    ----------
    fitted : FittedTable
        The trained synthesizer and the table's layout.
    entities : int
        How many entities to draw.
    seed : int
        Each entity's draws derive from the seed and its number alone.
    events_per_entity : int, optional
        Events of every entity; by default each ends where the model draws its end.
    donors : pd.DataFrame, optional
        A table to take the exogenous columns from, a random donor entity per synthetic
        one; required when the model has exogenous columns.
    constants : pd.DataFrame, optional
        One row per entity of constant columns, each entity drawn given its row.
    chunk_size : int
        Entities drawn together.
    exact_numbers : bool
        Write numbers as the model draws them; by default each numeric column is written at
        the precision of the real one (its decimals, or the coarser step its values lie on).
    beyond_time_range : bool
        Keep events after the real table's last time; by default entities end there (give
        or take half the median gap between events), as the real ones were cut there.

    Returns
    -------
    Iterator[pd.DataFrame]
        One frame per chunk, ids `synthetic-0001`, `synthetic-0002`, ... across chunks.

    Raises
    ------
    UsageError
        The request cannot be met (no donors for exogenous columns, unknown constants).
    """
    roles = fitted.roles
    lengths = None if events_per_entity is None else [events_per_entity] * entities
    exogenous = None
    if roles.exog_cols:
        if donors is None:
            raise UsageError("the model has exogenous columns: give a table to take them from")
        steps = events_per_entity or fitted.synthesizer.max_time_steps
        exogenous = _donated_rows(donors, roles, entities, seed, steps)
    try:
        chunks = fitted.synthesizer.sample_chunks(
            entities,
            seed=seed,
            df_const=constants,
            lengths=lengths,
            df_exogenous=exogenous,
            chunk_size=chunk_size,
        )
    except ValueError as error:  # the request is checked before any entity is drawn
        raise UsageError(str(error).removeprefix("EventSynthesizer.sample: ")) from None
    if entities == 0:
        chunks = iter([fitted.synthesizer.sample(0, df_exogenous=exogenous)])
    return fitted.in_layout(
        chunks, exact_numbers=exact_numbers, beyond_time_range=beyond_time_range
    )


def _donated_rows(
    donors: pd.DataFrame, roles: TableRoles, entities: int, seed: int, n: int
) -> list[pd.DataFrame]:
    """For each synthetic entity the exogenous rows of a real entity drawn at random,
    repeated in order to n rows, as many as it may have events."""
    by_entity = donors.groupby(roles.id_col, sort=False)
    chosen = np.random.default_rng(seed).choice(list(by_entity.groups), size=entities)
    rows = {donor: by_entity.get_group(donor)[roles.exog_cols] for donor in set(chosen)}
    return [_cycled(rows[donor], n) for donor in chosen]


def _cycled(rows: pd.DataFrame, n: int) -> pd.DataFrame:
    """n rows, repeating the given ones in order as often as needed."""
    return rows.iloc[np.arange(n) % len(rows)].reset_index(drop=True)


def warn_of_timeless(synthetic: pd.DataFrame, roles: TableRoles) -> None:
    """Warn of synthetic entities without any time: the model drew no start for them."""
    entities = synthetic.groupby(roles.id_col, sort=False)[roles.time_col]
    timeless = int((entities.count() == 0).sum())
    if timeless:
        warn(
            f"{timeless} of {entities.ngroups} synthetic entities have no times: the model "
            "drew no start time for them; train longer (--steps)"
        )


def synthesize_like(
    real: pd.DataFrame,
    roles: TableRoles,
    *,
    entities: int,
    steps: int,
    events_per_entity: int | None = None,
    seed: int = 0,
) -> pd.DataFrame:
    """Train an `EventSynthesizer` on a real table and synthesise entities in its layout.

    Parameters
    ----------
    real : pd.DataFrame
        The table, one row per event.
    roles : TableRoles
        What each column is; only the columns named are learned and written.
    entities, events_per_entity, seed
        As for `sample_tables`.
    steps : int
        Training steps.

    Returns
    -------
    pd.DataFrame
        The synthetic entities, one frame.
    """
    fitted = fit_table(real, roles, steps=steps, seed=seed)
    return sample_table(
        fitted, entities=entities, seed=seed, events_per_entity=events_per_entity, donors=real
    )


def sample_table(fitted: FittedTable, *, progress: bool = False, **options) -> pd.DataFrame:
    """The entities of `sample_tables` as one frame.

    Parameters
    ----------
    fitted : FittedTable
        The trained synthesizer and the table's layout.
    progress : bool
        Show a progress bar counting entities.
    **options
        The options of `sample_tables`; `entities` is required.

    Returns
    -------
    pd.DataFrame
        The synthetic entities in the real table's layout.
    """
    chunks = sample_tables(fitted, **options)
    counted = with_progress(chunks, options["entities"], fitted.roles, shown=progress)
    return pd.concat(list(counted), ignore_index=True)


def with_progress(
    chunks: Iterator[pd.DataFrame], total: int, roles: TableRoles, *, shown: bool = True
) -> Iterator[pd.DataFrame]:
    """The chunks, counted in entities on a progress bar, with a warning for entities
    without times."""
    with tqdm(total=total, unit="entities", desc="sampling", disable=not shown) as bar:
        for chunk in chunks:
            warn_of_timeless(chunk, roles)
            bar.update(chunk[roles.id_col].nunique())
            yield chunk


def _roles_of(args: argparse.Namespace, real: pd.DataFrame) -> TableRoles:
    roles = TableRoles(
        args.id, args.time, args.events, args.constants, args.exogenous, args.sample
    ).with_default_events(real.columns)
    roles.check_against(real, args.input)
    return roles


def _run_fit(args: argparse.Namespace) -> None:
    real = read_table(args.input)
    roles = _roles_of(args, real)
    check_writable(args.model, folder=False, inputs=[args.input])
    real = roles.check_values(real, args.input)
    fitted = fit_table(real, roles, steps=args.steps, seed=args.seed)
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
    _check_table_output(output, inputs=inputs)
    fitted = FittedTable.load(args.model)
    constants = None
    entities = args.entities
    if args.constants_from:
        constants = _constants_from(read_table(args.constants_from), fitted, args.constants_from)
        if entities is not None and entities != len(constants):
            raise UsageError(
                f"--entities {entities} but '{args.constants_from}' gives constants for "
                f"{len(constants)} entities; leave --entities out"
            )
        entities = len(constants)
    entities = DEFAULT_ENTITIES if entities is None else entities
    donors = read_table(args.exogenous_from) if args.exogenous_from else None
    if donors is not None:
        for col in [fitted.roles.id_col, *fitted.roles.exog_cols]:
            if col not in donors.columns:
                raise UsageError(f"unknown column '{col}' in {args.exogenous_from}")
    chunks = sample_tables(
        fitted,
        entities=entities,
        seed=args.seed,
        events_per_entity=args.events_per_entity,
        donors=donors,
        constants=constants,
        exact_numbers=bool(args.exact_numbers),
        beyond_time_range=bool(args.beyond_time_range),
    )
    written = write_chunks(with_progress(chunks, entities, fitted.roles), output)
    print(f"Synthetic table: {written}")


def _run_sample_on_workers(args: argparse.Namespace) -> None:
    from velora import distributed

    _check_shardable(args)
    output = Path(args.output)
    check_writable(output, folder=True, inputs=[args.model])
    _check_holds_no_shards(output)
    FittedTable.load(args.model)  # a file that `fit` did not save fails here, in one line
    entities = DEFAULT_ENTITIES if args.entities is None else args.entities
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
            chunk_size=SAMPLE_CHUNK,
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


def _constants_from(table: pd.DataFrame, fitted: FittedTable, name: str) -> pd.DataFrame:
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
    real = read_table(args.input)
    roles = _roles_of(args, real)
    output = Path(args.output)
    _check_table_output(output, inputs=[args.input])
    if args.report:
        check_writable(args.report, folder=True, inputs=[args.input, args.output])
    if args.model:
        check_writable(args.model, folder=False, inputs=[args.input, args.output])
    real = roles.check_values(real, args.input)
    share = args.holdout if args.report else 0.0
    training, held_out = hold_out(real, roles.id_col, share, seed=args.seed)
    fitted = fit_table(training, roles, steps=args.steps, seed=args.seed)
    if args.model:
        print(f"Model: {fitted.save(args.model)}")
    synthetic = sample_table(
        fitted,
        progress=True,
        entities=args.entities,
        seed=args.seed,
        events_per_entity=args.events_per_entity,
        donors=training,
        exact_numbers=bool(args.exact_numbers),
        beyond_time_range=bool(args.beyond_time_range),
    )
    print(f"Synthetic table: {write_table(synthetic, output)}")
    if not args.report:
        return
    reference, trained_on = held_out, training
    if held_out is None:
        print("No real entity is kept out of training: the report compares with those trained on")
        reference, trained_on = training, None
    report = report_on(
        reference, synthetic, roles, args.report, training=trained_on, seed=args.seed
    )
    print(report.summary())


def hold_out(
    real: pd.DataFrame, id_col: str, share: float, *, seed: int = 0
) -> tuple[pd.DataFrame, pd.DataFrame | None]:
    """The rows of the entities to train on, and those of a random `share` of entities kept
    out for the report (None when the share is 0 or the table has too few entities)."""
    ids = real[id_col].unique()
    kept_out = round(share * len(ids)) if len(ids) >= MIN_ENTITIES_TO_HOLD_OUT else 0
    if kept_out == 0:
        return real, None
    chosen = np.random.default_rng(seed).choice(len(ids), size=kept_out, replace=False)
    is_held_out = real[id_col].isin(ids[chosen])
    return real[~is_held_out], real[is_held_out]


def _run_report(args: argparse.Namespace) -> None:
    real, synthetic = read_table(args.real), read_table(args.synthetic)
    training = read_table(args.training) if args.training else None
    roles = TableRoles(args.id, args.time, args.events, args.constants).with_default_events(
        real.columns
    )
    tables = {args.real: real, args.synthetic: synthetic}
    if training is not None:
        tables[args.training] = training
    for name, table in tables.items():
        roles.check_against(table, name)
        _check_kinds_match(real, table, roles, args.real, name)
    check_writable(args.output, folder=True, inputs=list(tables))
    report = report_on(real, synthetic, roles, args.output, training=training, seed=args.seed)
    print(report.summary())


def _check_kinds_match(
    real: pd.DataFrame, other: pd.DataFrame, roles: TableRoles, real_name: str, name: str
) -> None:
    for col in [*roles.event_cols, *roles.const_cols]:
        if is_numeric_column(real[col]) and not is_numeric_column(other[col]):
            raise UsageError(
                f"column '{col}' holds numbers in {real_name} but not in {name}; compare "
                "tables whose columns hold the same kinds of values"
            )


def report_on(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    roles: TableRoles,
    directory: str | Path,
    *,
    training: pd.DataFrame | None = None,
    seed: int = 0,
) -> EvaluationReport:
    """Evaluate a synthetic table against the real one and write the report into a folder,
    saying what it compares with. With `training`, `real` holds entities kept out of
    training, and the report adds the privacy figures."""
    report = evaluate_roles(real, synthetic, roles, training=training, seed=seed)
    compared = f"Report compares with {real[roles.id_col].nunique()} real entities"
    if training is not None:
        compared += f" kept out of training (trained on {training[roles.id_col].nunique()})"
    print(compared)
    print(f"Report: {report.write(directory)}")
    return report


def evaluate_roles(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    roles: TableRoles,
    *,
    training: pd.DataFrame | None = None,
    seed: int = 0,
) -> EvaluationReport:
    """The evaluation report of a synthetic table against the real one, by their roles."""
    return evaluate(
        real,
        synthetic,
        id_col=roles.id_col,
        time_col=roles.time_col,
        event_cols=roles.event_cols,
        const_cols=roles.const_cols,
        seed=seed,
        training=training,
    )


def warn(message: str) -> None:
    """A warning the user should see, one line on stderr."""
    print(f"warning: {message}", file=sys.stderr)


# The commands that train or run a model, and so load TensorFlow.
COMMANDS_OF_THE_MODEL = ("synthesize", "fit", "sample")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code (2 for a usage error)."""
    args = build_parser().parse_args(argv)
    if args.command in COMMANDS_OF_THE_MODEL:
        import_tensorflow_quietly()
    try:
        args.run(args)
    except (UsageError, UnreadableTimeError, UnwritablePathError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return 0
