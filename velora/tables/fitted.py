"""A synthesizer fitted on a table, and synthetic entities in that table's layout."""

import dataclasses
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from tqdm import tqdm

from velora.tables.errors import TableError, warn
from velora.tables.precision import NumberGrid
from velora.tables.recipe import train_synthesizer
from velora.tables.roles import TableRoles, roles_columns
from velora.tables.times import TimeCodec, is_numeric_column

if TYPE_CHECKING:
    from velora.complex.episode_forge import EventSynthesizer


DEFAULT_ENTITIES = 100

# Entities sampled together: memory grows with it, time per entity falls.
SAMPLE_CHUNK = 1024


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
        """The fitted table saved to a model file by `fit`; raises `TableError`."""
        from velora.complex.episode_forge import EventSynthesizer
        from velora.saving.model_file import ModelFileError, load_with_extra

        not_fitted = TableError(
            f"'{path}' was not saved by 'python -m velora fit': it holds no table layout"
        )
        try:
            fitted = cls.from_extra(*load_with_extra(EventSynthesizer, path))
        except ModelFileError as error:
            raise TableError(str(error)) from None
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
    TableError
        The request cannot be met (no donors for exogenous columns, unknown constants).
    """
    roles = fitted.roles
    lengths = None if events_per_entity is None else [events_per_entity] * entities
    exogenous = None
    if roles.exog_cols:
        if donors is None:
            raise TableError("the model has exogenous columns: give a table to take them from")
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
        raise TableError(str(error).removeprefix("EventSynthesizer.sample: ")) from None
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
