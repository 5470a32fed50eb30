"""The transformer protocol, chains of transformers, and the base of numeric leaves."""

from collections.abc import Iterable, Iterator
from functools import cached_property

import numpy as np
import pandas as pd
from pandas.api.extensions import ExtensionDtype
from pandas.api.types import is_numeric_dtype

from velora.transformer.exceptions import TransformerNotFitError


class Transformer:
    """Maps the column `name` of a frame to model inputs and back.

    The base is the identity: `fit` only marks the transformer fitted. Subclasses keep
    their fitted state in plain attributes, change the frame passed to `transform` and
    `inverse_transform` in place and return it, and accept (and ignore) keyword
    arguments they do not use.
    """

    # A class-level default rather than an instance attribute so that composites can
    # replace it with a property derived from their children.
    _fitted: bool = False

    def __init__(self, name: str):
        self.name = name

    # Non-data descriptors: a subclass may override them with a property or assign
    # its own lists to the instance.
    @cached_property
    def in_columns(self) -> list[str]:
        return [self.name]

    @cached_property
    def out_columns(self) -> list[str]:
        return [self.name]

    @property
    def fitted(self) -> bool:
        """Whether `fit` has run (for a chain: on every transformer in it)."""
        return bool(self._fitted)

    def fit(self, df: pd.DataFrame, **kwargs) -> "Transformer":
        self._fitted = True
        return self

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        return df

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        return df

    def fit_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        return self.fit(df, **kwargs).transform(df, **kwargs)

    def _assert_fitted(self) -> None:
        if not self._fitted:
            raise TransformerNotFitError(self)

    def __iter__(self) -> Iterator["Transformer"]:
        yield self

    def __repr__(self) -> str:
        return f'{type(self).__name__}(name="{self.name}")'


class CompositeTransformer(Transformer):
    """A transformer made of others: it is fitted when all of them are."""

    def __init__(self, name: str | None, transformers: Iterable[Transformer]):
        super().__init__(name)
        self.transformers = list(transformers)

    @property
    def _fitted(self) -> bool:
        return all(transformer._fitted for transformer in self.transformers)

    @_fitted.setter
    def _fitted(self, fitted: bool) -> None:
        for transformer in self.transformers:
            transformer._fitted = fitted


class SequentialTransformer(CompositeTransformer):
    """Chains transformers of one column: each sees the output of those before it."""

    def __init__(self, name: str, transformers: Iterable[Transformer]):
        super().__init__(name, transformers)
        if not self.transformers:
            raise ValueError(f'SequentialTransformer(name="{name}") needs at least one transformer')

    @property
    def in_columns(self) -> list[str]:
        return self.transformers[0].in_columns

    @property
    def out_columns(self) -> list[str]:
        produced = [column for child in self.transformers for column in child.out_columns]
        return list(dict.fromkeys(produced))

    def fit(self, df: pd.DataFrame, **kwargs) -> "SequentialTransformer":
        # Later children fit on what earlier ones produce; the copy keeps the caller's frame.
        df = df.copy()
        *leading, last = self.transformers
        for transformer in leading:
            df = transformer.fit_transform(df, **kwargs)
        last.fit(df, **kwargs)
        return self

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        # Checked up front so an unfitted later child cannot leave the frame half transformed.
        self._assert_fitted()
        for transformer in self.transformers:
            df = transformer.transform(df, **kwargs)
        return df

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        for transformer in reversed(self.transformers):
            df = transformer.inverse_transform(df, **kwargs)
        return df

    def __getitem__(self, index: int) -> Transformer:
        return self.transformers[index]

    def __len__(self) -> int:
        return len(self.transformers)

    def __iter__(self) -> Iterator[Transformer]:
        return iter(self.transformers)

    def __repr__(self) -> str:
        children = ", ".join(map(repr, self.transformers))
        return f'{type(self).__name__}(name="{self.name}", transformers=[{children}])'


class NumericTransformer(Transformer):
    """Base of leaves mapping a numeric column elementwise to floats and back.

    Subclasses learn from the column's finite values in `_fit_values` and supply the
    elementwise maps `_forward` and `_backward` on float arrays. NaN stays NaN both ways,
    and the inverse returns the column's original dtype (whole numbers for ints and bools).
    """

    def __init__(self, name: str):
        super().__init__(name)
        # Float until fitted, so a transformer marked fitted from outside can still invert.
        self.dtype = np.dtype(np.float64)

    def fit(self, df: pd.DataFrame, **kwargs) -> "NumericTransformer":
        column = df[self.name]
        if not is_numeric_dtype(column.dtype):
            raise TypeError(f"{self!r} needs a numeric column, got dtype {column.dtype}")
        values = _as_float(column)
        finite = values[np.isfinite(values)]
        # A column with nothing to learn from (the gaps of entities of one event each) is
        # fitted as if it held 0: its missing flag carries all there is.
        self._fit_values(finite if finite.size else np.zeros(1))
        self.dtype = column.dtype
        return super().fit(df)

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        df[self.name] = self._forward(_as_float(df[self.name]))
        return df

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        df[self.name] = _restore_dtype(self._backward(_as_float(df[self.name])), self.dtype)
        return df

    def _fit_values(self, values: np.ndarray) -> None:
        raise NotImplementedError

    def _forward(self, values: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def _backward(self, values: np.ndarray) -> np.ndarray:
        raise NotImplementedError


def _as_float(column: pd.Series) -> np.ndarray:
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


def _restore_dtype(values: np.ndarray, dtype: np.dtype | ExtensionDtype):
    if dtype.kind in "iub":
        values = np.round(values)
        # NumPy ints and bools cannot hold NaN, so such a column stays float.
        if not isinstance(dtype, ExtensionDtype) and np.isnan(values).any():
            return values
    return pd.array(values, dtype=dtype)
