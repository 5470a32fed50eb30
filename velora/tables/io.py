"""Reading and writing event tables: CSV and Parquet, whole or chunk by chunk, atomically."""

import csv
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

import pandas as pd

from velora.config import MetaFactoryConfig
from velora.files import atomic_write, check_writable
from velora.metadata.factory import has_zero_padded_codes
from velora.tables.errors import TableError
from velora.tables.times import is_numeric_column

READERS = {".csv": pd.read_csv, ".parquet": pd.read_parquet, ".pq": pd.read_parquet}


def read_table(path: str | Path) -> pd.DataFrame:
    """A CSV or Parquet file as a frame."""
    path = Path(path)
    reader = format_of(path, READERS)
    if not path.is_file():
        raise TableError(f"no such file: '{path}'")
    try:
        df = _read_csv(path) if reader is pd.read_csv else reader(path)
    except (OSError, ValueError, csv.Error) as error:  # pandas' parser errors are ValueErrors
        first_line = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise TableError(f"cannot read '{path}': {first_line}") from None
    repeated = df.columns[df.columns.duplicated()]
    if len(repeated):
        raise TableError(
            f"'{path}' has more than one column named '{repeated[0]}'; give each its own name"
        )
    return df


def _read_csv(path: Path) -> pd.DataFrame:
    """A CSV file as pandas reads it, except that repeated column names are kept as they are
    (pandas would rename them), zero-padded codes stay text and a column of many whole
    numbers beyond the 64-bit range holds floats, not Python integers no scaler takes."""
    with path.open(newline="", encoding="utf-8", errors="replace") as file:
        header = next(csv.reader(file), [])
    df = pd.read_csv(path)
    if len(set(header)) < len(header):
        df.columns = header
        return df
    for col in df.columns:
        # As for other numbers, few distinct values are codes (serial numbers, say), and
        # many are amounts.
        if _holds_big_integers(df[col]) and df[col].nunique() > MIN_DISTINCT_NUMBERS:
            df[col] = df[col].astype(float)
    numeric = [col for col in df.columns if is_numeric_column(df[col])]
    if numeric:
        text = pd.read_csv(path, dtype=str, usecols=numeric)
        for col in numeric:
            if has_zero_padded_codes(text[col].dropna()):
                df[col] = text[col]
    return df


# A numeric column with at most this many distinct values is a column of categories.
MIN_DISTINCT_NUMBERS = MetaFactoryConfig().min_num_unique


def _holds_big_integers(sr: pd.Series) -> bool:
    # pandas keeps integers too large for int64 as Python ints in an object column.
    if sr.dtype != object:
        return False
    present = sr.dropna()
    return len(present) > 0 and all(type(value) is int for value in present)


def write_table(df: pd.DataFrame, path: str | Path) -> Path:
    """Write a frame as CSV or Parquet, chosen by the file's extension.

    The file is written under a temporary name beside it and renamed when complete, so a
    failed write leaves no half-written table.
    """
    path = Path(path)
    format_of(path, READERS)
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
    format_of(path, READERS)
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


def format_of(path: Path, formats: dict[str, Callable]) -> Callable:
    try:
        return formats[path.suffix.lower()]
    except KeyError:
        known = ", ".join(formats)
        raise TableError(f"unknown extension '{path.suffix}' of '{path}' (use {known})") from None


def check_table_output(path: Path, inputs: Sequence[str]) -> None:
    """Fail before training on an output table that could not be written afterwards, or
    that is an input."""
    format_of(path, READERS)
    check_writable(path, folder=False, inputs=inputs)
