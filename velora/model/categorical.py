"""Value model of a column of categories."""

from typing import Any

import numpy as np
import pandas as pd

from velora.model.base import ValueModel


def ordered_categories(present: pd.Series) -> list[Any]:
    """The distinct values in the order `CategoricalTransformer` codes them: by string form."""
    uniques = pd.Index(present.unique())
    return uniques.take(uniques.astype(str).argsort(kind="stable")).tolist()


class CategoricalModel(ValueModel):
    """A column of categories: the categories seen, in code order, and their frequencies.

    Codes follow `CategoricalTransformer`: code 0 stands for a missing or unknown value,
    codes 1..K for `categories` in order. A constant column has one category, an all-missing
    column none.
    """

    def __init__(self, meta):
        super().__init__(meta)
        self.categories: list[Any] = []
        self.frequencies: list[float] = []

    @property
    def num_categories(self) -> int:
        return len(self.categories)

    def _fit_present(self, present: pd.Series) -> None:
        self.categories = ordered_categories(present)
        counts = present.value_counts(sort=False).reindex(self.categories)
        self.frequencies = (counts / max(len(present), 1)).tolist()

    def code_frequencies(self) -> np.ndarray:
        """Frequency of each code 0..K among the present values; code 0 never occurs."""
        return np.array([0.0, *self.frequencies])

    def summary(self) -> dict[str, Any]:
        return super().summary() | dict(zip(self.categories, self.frequencies, strict=True))
