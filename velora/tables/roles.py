"""The roles of a table's columns (id, time, events, constants, ...) and the entities held out."""

from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from velora.tables.errors import TableError, warn
from velora.tables.times import is_numeric_column

# Real entities kept out of training for the report to compare with, and the fewest a table
# needs for any to be kept out.
DEFAULT_HOLDOUT = 0.2

MIN_ENTITIES_TO_HOLD_OUT = 5


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
        """Raise `TableError` for a column the table lacks or one given two roles."""
        named = [self.id_col, self.time_col, *self.event_cols, *self.const_cols, *self.exog_cols]
        for col in [*named, *self.sample_cols]:
            if col not in df.columns:
                raise TableError(f"unknown column '{col}' in {table} (it has: {', '.join(df)})")
        repeated = sorted({col for col in named if named.count(col) > 1})
        if repeated:
            raise TableError(f"column '{repeated[0]}' is given more than one role")
        for derived in (f"{self.time_col}_0", f"{self.time_col}_diff"):
            if derived in named:
                raise TableError(
                    f"column '{derived}' clashes with a name derived from the time column "
                    f"'{self.time_col}'; rename it, or leave it out by naming --events"
                )

    def check_values(self, df: pd.DataFrame, table: str) -> pd.DataFrame:
        """The rows of a table the synthesizer can learn from, after checking its values.

        Rows without an id are left out with a warning. Raises `TableError` for a table with
        no id at all, infinite numbers, or a constant column that varies within an entity.
        """
        ids = df[self.id_col]
        if ids.isna().all():
            raise TableError(f"the id column '{self.id_col}' of {table} holds no values")
        if ids.isna().any():
            warn(f"{int(ids.isna().sum())} rows of {table} without an id are left out")
            df = df[ids.notna()]
        for col in roles_columns(self):
            values = df[col]
            if is_numeric_column(values) and np.isinf(values.to_numpy(float)).any():
                raise TableError(
                    f"column '{col}' of {table} holds infinite values; replace them with "
                    "numbers or leave them empty"
                )
        for col in self.const_cols:
            distinct = df.groupby(self.id_col, sort=False)[col].nunique(dropna=False)
            if (distinct > 1).any():
                raise TableError(
                    f"column '{col}' of {table} is given as constant but varies within "
                    f"entities (entity '{distinct.idxmax()}' has {distinct.max()} values); "
                    "leave it out of --constants"
                )
        return df


def roles_columns(roles: TableRoles) -> list[str]:
    """Every column named in a role, each once, id and time first."""
    named = [roles.id_col, roles.time_col, *roles.event_cols, *roles.const_cols, *roles.exog_cols]
    return list(dict.fromkeys(named))


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
