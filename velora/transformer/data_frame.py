"""Frame transformers: the column transformers of a value model, applied to whole frames."""

from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd

from velora import kinds
from velora.config import MetaTransformerConfig
from velora.model import DataFrameModel
from velora.transformer.base import CompositeTransformer, Transformer
from velora.transformer.column import fitted_of

# Below this many rows, starting threads costs more than the columns' work they would share.
PARALLEL_MIN_ROWS = 20_000


class ColumnTransformer(Transformer):
    """The transformer of one value-model column: its encoder and a flag of missing values.

    Missing values (and values the encoder cannot read) stay NaN in the encoded column, so
    that reductions over an entity's rows skip them. When the column can be missing,
    `missing_column` holds 1.0 where it is missing, else 0.0. The inverse makes a value
    missing where its flag exceeds 0.5 or its encoded value is NaN; with `produce_nans`
    False it emits the decoded value instead, the column's centre for a NaN (a categorical
    NaN, having no category to stand for, stays missing).
    """

    def __init__(self, encoder: Transformer, missing_column: str | None = None):
        super().__init__(encoder.name)
        self.encoder = encoder
        self.missing_column = missing_column

    _fitted = fitted_of("encoder")

    @property
    def out_columns(self) -> list[str]:
        flags = [self.missing_column] if self.missing_column is not None else []
        return [*self.encoder.out_columns, *flags]

    def fit(self, df: pd.DataFrame, **kwargs) -> "ColumnTransformer":
        self.encoder.fit(df)
        return self

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        missing = df[self.name].isna().to_numpy()
        df = self.encoder.transform(df)
        missing = missing | df[self.name].isna().to_numpy()
        df[self.name] = df[self.name].mask(missing)
        if self.missing_column is not None:
            df[self.missing_column] = missing.astype(np.float64)
        return df

    def inverse_transform(
        self, df: pd.DataFrame, produce_nans: bool = True, **kwargs
    ) -> pd.DataFrame:
        encoded = df[self.name].to_numpy(dtype=np.float64, na_value=np.nan)
        unreadable = np.isnan(encoded)
        missing = unreadable
        if self.missing_column in df.columns:
            missing = missing | (df.pop(self.missing_column).to_numpy(dtype=np.float64) > 0.5)
        # Not every encoder reads NaN back; 0 is the centre of every scaled encoding.
        df[self.name] = np.where(unreadable, 0.0, encoded)
        df = self.encoder.inverse_transform(df)
        if produce_nans and missing.any():
            df[self.name] = df[self.name].mask(missing)
        return df


class DataFrameTransformer(CompositeTransformer):
    """The column transformers of a value model, applied to the columns of whole frames.

    Built from a value model with `from_meta`; `a + b` transforms the columns of both and
    shares their column transformers, so fitting a sum fits its parts. Iterating yields the
    column transformers. `transform` and `inverse_transform` apply the transformers whose
    columns the frame has and pass other columns through; the encoded columns replace or
    join the frame's columns. With `max_workers` other than 1 the columns are transformed
    in threads, each on its own copy of its columns.
    """

    def __init__(self, name: str | None, transformers: Iterable[ColumnTransformer] = ()):
        super().__init__(name, transformers)

    @classmethod
    def from_meta(
        cls, model: DataFrameModel, config: MetaTransformerConfig | None = None
    ) -> "DataFrameTransformer":
        """The transformer of every column of a value model, each its kind's encoder
        (`velora.kinds`) with a flag of missing values where the column can be missing."""
        config = config or MetaTransformerConfig()
        transformers = [
            ColumnTransformer(kinds.of_model(child).encoder(child, config), child.missing_column)
            for child in model.children
        ]
        return cls(model.name, transformers)

    @property
    def in_columns(self) -> list[str]:
        return [column for transformer in self for column in transformer.in_columns]

    @property
    def out_columns(self) -> list[str]:
        return [column for transformer in self for column in transformer.out_columns]

    def fit(
        self, df: pd.DataFrame, max_workers: int | None = None, **kwargs
    ) -> "DataFrameTransformer":
        _run_each(
            lambda transformer, part: transformer.fit(part),
            self.transformers,
            lambda transformer: df[transformer.in_columns].copy(),
            max_workers,
            len(df),
        )
        return self

    def transform(
        self, df: pd.DataFrame, max_workers: int | None = None, inplace: bool = False, **kwargs
    ) -> pd.DataFrame:
        self._assert_fitted()
        applicable = [t for t in self.transformers if set(t.in_columns) <= set(df.columns)]
        parts = _run_each(
            lambda transformer, part: transformer.transform(part),
            applicable,
            lambda transformer: df[transformer.in_columns].copy(),
            max_workers,
            len(df),
        )
        result = df if inplace else df.copy()
        for transformer, part in zip(applicable, parts, strict=True):
            for column in transformer.out_columns:
                result[column] = part[column].array
        return result

    def fit_transform(
        self, df: pd.DataFrame, max_workers: int | None = None, inplace: bool = False, **kwargs
    ) -> pd.DataFrame:
        return self.fit(df, max_workers=max_workers).transform(
            df, max_workers=max_workers, inplace=inplace
        )

    def inverse_transform(
        self,
        df: pd.DataFrame,
        max_workers: int | None = None,
        produce_nans: bool = True,
        inplace: bool = False,
        **kwargs,
    ) -> pd.DataFrame:
        """Frames of encoded columns back to the columns, names and dtypes of the caller's.

        A transformer applies where the frame has its encoded column; its other output
        columns (flags, calendar parts) are used if present and dropped.
        """
        self._assert_fitted()
        applicable = [t for t in self.transformers if t.name in df.columns]
        parts = _run_each(
            lambda transformer, part: transformer.inverse_transform(
                part, produce_nans=produce_nans
            ),
            applicable,
            lambda transformer: df[_present(transformer.out_columns, df)].copy(),
            max_workers,
            len(df),
        )
        decoded = {
            transformer.name: part[transformer.name].array
            for transformer, part in zip(applicable, parts, strict=True)
        }
        extras = {column for t in applicable for column in t.out_columns if column != t.name}
        if inplace:
            df.drop(columns=_present(list(extras - decoded.keys()), df), inplace=True)
            for name, values in decoded.items():
                df[name] = values
            return df
        # One new frame: cheaper than dropping and setting columns one by one on a copy.
        kept = [column for column in df.columns if column in decoded or column not in extras]
        return pd.DataFrame(
            {column: decoded.get(column, df[column].array) for column in kept}, index=df.index
        )

    def __add__(self, other: "DataFrameTransformer") -> "DataFrameTransformer":
        return DataFrameTransformer(
            f"{self.name}+{other.name}", [*self.transformers, *other.transformers]
        )

    def __iter__(self) -> Iterator[ColumnTransformer]:
        return iter(self.transformers)

    def __len__(self) -> int:
        return len(self.transformers)

    def __repr__(self) -> str:
        return f'DataFrameTransformer(name="{self.name}", columns={self.in_columns})'


def _present(columns: Sequence[str], df: pd.DataFrame) -> list[str]:
    return [column for column in columns if column in df.columns]


def _run_each(
    work: Callable[[Transformer, pd.DataFrame], Any],
    transformers: Sequence[Transformer],
    part_of: Callable[[Transformer], pd.DataFrame],
    max_workers: int | None,
    rows: int,
) -> list[Any]:
    """`work(transformer, part_of(transformer))` for each transformer, in order.

    The parts are cut in the calling thread; pandas makes no promise for concurrent reads.
    Threads are used for frames of `PARALLEL_MIN_ROWS` rows or more.
    """
    jobs = ((transformer, part_of(transformer)) for transformer in transformers)
    if max_workers == 1 or len(transformers) < 2 or rows < PARALLEL_MIN_ROWS:
        return [work(transformer, part) for transformer, part in jobs]
    with ThreadPoolExecutor(max_workers=max_workers) as pool:
        return list(pool.map(lambda job: work(*job), jobs))
