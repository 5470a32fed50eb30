"""The table-level library: event tables read and written, their column roles, their times,
the command line's training recipe, and synthesizers fitted on tables that sample in their
layout. The command line is a thin layer over it; errors are `TableError`s.

>>> from velora.tables import TableRoles, fit_table, sample_table
"""

from velora.tables.errors import TableError
from velora.tables.fitted import (
    DEFAULT_ENTITIES,
    SAMPLE_CHUNK,
    FittedTable,
    fit_table,
    number_grids,
    sample_table,
    sample_tables,
    synthesize_like,
    warn_of_timeless,
    with_progress,
)
from velora.tables.io import READERS, check_table_output, read_table, write_chunks, write_table
from velora.tables.recipe import DEFAULT_STEPS, MAX_TIME_STEPS, train_synthesizer, trains_on_windows
from velora.tables.roles import DEFAULT_HOLDOUT, TableRoles, hold_out, roles_columns
from velora.tables.times import TimeCodec, UnreadableTimeError, time_resolution

__all__ = [
    "DEFAULT_ENTITIES",
    "DEFAULT_HOLDOUT",
    "DEFAULT_STEPS",
    "MAX_TIME_STEPS",
    "READERS",
    "SAMPLE_CHUNK",
    "FittedTable",
    "TableError",
    "TableRoles",
    "TimeCodec",
    "UnreadableTimeError",
    "check_table_output",
    "fit_table",
    "hold_out",
    "number_grids",
    "read_table",
    "roles_columns",
    "sample_table",
    "sample_tables",
    "synthesize_like",
    "time_resolution",
    "train_synthesizer",
    "trains_on_windows",
    "warn_of_timeless",
    "with_progress",
    "write_chunks",
    "write_table",
]
