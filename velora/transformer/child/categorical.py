"""Integer coding of a categorical column."""

import numpy as np
import pandas as pd
from pandas.api.extensions import take

from velora.transformer.base import Transformer


class CategoricalTransformer(Transformer):
    """Maps categories to codes 1..K, sorted by their string form, and back.

    Missing values (NaN, None, NaT, pd.NA) and categories unseen at fit take code 0,
    which maps back to a missing value. The inverse restores the column's dtype; a
    NumPy int or bool column with missing values comes back as float or object.
    Fitted state: `categories` and `dtype`.
    """

    nan_code = 0

    def __init__(self, name: str):
        super().__init__(name)
        self.categories = []
        self.dtype = None

    @property
    def num_categories(self) -> int:
        return len(self.categories) + 1

    def fit(self, df: pd.DataFrame, **kwargs) -> "CategoricalTransformer":
        column = df[self.name]
        uniques = pd.Index(column.dropna().unique())
        by_string = uniques.astype(str).argsort(kind="stable")
        self.categories = uniques.take(by_string).tolist()
        self.dtype = column.dtype
        return super().fit(df)

    def transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        positions = self._category_index().get_indexer(df[self.name])
        # Missing values are not in the index, so they share position -1 with unseen ones.
        df[self.name] = positions.astype(np.int64) + 1
        return df

    def inverse_transform(self, df: pd.DataFrame, **kwargs) -> pd.DataFrame:
        self._assert_fitted()
        codes = df[self.name].to_numpy(dtype=np.int64, na_value=self.nan_code)
        known = (codes >= 1) & (codes <= len(self.categories))
        positions = np.where(known, codes - 1, -1)
        df[self.name] = take(self._category_index().array, positions, allow_fill=True)
        return df

    def _category_index(self) -> pd.Index:
        return pd.Index(self.categories, dtype=self.dtype)
