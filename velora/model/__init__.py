"""Value models: what is known of each column of a frame, fitted from its values."""

from collections.abc import Iterable, Iterator, Mapping

import pandas as pd

from velora.metadata import DataFrameMeta
from velora.model.base import ValueModel


class DataFrameModel(Mapping[str, ValueModel]):
    """The value models of a frame's columns, keyed by column name, in column order.

    It wraps the frame's `DataFrameMeta` and keeps it in step: children added with `update`
    are added to the meta too, so a model built around an empty meta describes exactly
    the columns it was given.
    """

    def __init__(self, meta: DataFrameMeta, children: Iterable[ValueModel] = ()):
        self.meta = meta
        self._children: dict[str, ValueModel] = {}
        self.update({child.name: child for child in children})

    @property
    def name(self) -> str | None:
        return self.meta.name

    @property
    def children(self) -> list[ValueModel]:
        return list(self._children.values())

    def update(self, mapping: Mapping[str, ValueModel]) -> None:
        """Add (or replace) child models, keyed by column name, in the mapping's order."""
        for name, child in mapping.items():
            self._children[name] = child
            if name not in self.meta:
                self.meta[name] = child.meta

    def fit(self, df: pd.DataFrame) -> "DataFrameModel":
        """Fit every child on its column of `df`; returns self."""
        for child in self._children.values():
            child.fit(df)
        return self

    def __getitem__(self, name: str) -> ValueModel:
        return self._children[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._children)

    def __len__(self) -> int:
        return len(self._children)

    def __repr__(self) -> str:
        return f"DataFrameModel(name={self.name}, children={list(self._children)})"


__all__ = ["DataFrameModel", "ValueModel"]
