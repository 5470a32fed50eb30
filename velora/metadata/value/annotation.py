"""Annotations: metas that fold several columns of a frame into one."""

from collections.abc import Sequence
from typing import Any

import pandas as pd

from ..base import Meta, ValueMeta
from ..exceptions import MetaNotExtractedError


class Compound(ValueMeta):
    """Several columns taken as one, whose values are tuples of the children's values.

    It learns through its children, so it is extracted from frames that hold their columns.
    Its column stands where its first child's column stood, the children's columns where it
    stood, in child order.
    """

    def __init__(self, name: str, children: Sequence[ValueMeta]) -> None:
        if not children:
            raise ValueError(f"Annotation {name} needs at least one child.")
        super().__init__(name=name, children=children)

    def extract(self, df: pd.DataFrame) -> "Compound":
        """Learn each child afresh from its column; returns self."""
        Meta.extract(self, df)
        return self

    def update_meta(self, df: pd.DataFrame) -> "Compound":
        """Widen each child with its column of a further frame; returns self."""
        Meta.update_meta(self, df)
        return self

    def diagnostics(self) -> dict[str, Any]:
        """The children's summaries, keyed by their names."""
        return {"dtype": "object", "children": {n: c.diagnostics() for n, c in self.items()}}

    def revert_df_from_children(self, df: pd.DataFrame) -> None:
        """Replace, in place, the children's columns of a frame with this meta's tuple column."""
        self._require_extracted()
        names = list(self._children)
        position = min(df.columns.get_loc(name) for name in names)
        columns = [df[name] for name in names]
        tuples = pd.Series(list(zip(*columns, strict=True)), index=df.index, dtype=object)
        df.drop(columns=names, inplace=True)
        df.insert(position, self.name, tuples)

    def convert_df_for_children(self, df: pd.DataFrame) -> None:
        """Replace, in place, this meta's tuple column with the children's columns and dtypes."""
        self._require_extracted()
        position = df.columns.get_loc(self.name)
        tuples = df.pop(self.name)
        split = pd.DataFrame(tuples.tolist(), index=df.index, columns=list(self._children))
        for offset, child in enumerate(self._children.values()):
            df.insert(position + offset, child.name, split[child.name].astype(child.dtype))

    def _require_extracted(self) -> None:
        # The children's dtypes are what lets their columns come back as they were.
        unextracted = [child.name for child in self._children.values() if child.dtype is None]
        if unextracted:
            raise MetaNotExtractedError(f"{self} needs its children extracted: {unextracted}.")
