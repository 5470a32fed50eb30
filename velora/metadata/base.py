"""Base classes of all metas: what the system knows about a frame, its columns and annotations."""

from __future__ import annotations

import copy
import inspect
from collections.abc import Iterator, Mapping, Sequence
from types import MappingProxyType
from typing import Any, Generic, TypeVar

import numpy as np
import pandas as pd

from .exceptions import UnknownMetaClassError

MetaType = TypeVar("MetaType", bound="Meta")

_REGISTRY: dict[str, type[Meta]] = {}

# Constructor parameters that to_dict handles itself rather than as plain attributes.
_STRUCTURAL_PARAMETERS = frozenset({"self", "name", "children"})


class Meta(Generic[MetaType]):
    """A named description of data, possibly made of child metas keyed by their names.

    Subclasses register themselves under their class name, so that `from_dict` can rebuild any
    meta from its `to_dict` form. Every attribute that `to_dict` keeps is a constructor parameter
    of the same name.
    """

    def __init__(self, name: str, children: Sequence[MetaType] | None = None) -> None:
        self.name = name
        self._children: dict[str, MetaType] = {child.name: child for child in children or ()}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        _REGISTRY[cls.__name__] = cls

    @staticmethod
    def get_registry() -> Mapping[str, type[Meta]]:
        """Every meta class defined so far, keyed by class name (a read-only live view)."""
        return MappingProxyType(_REGISTRY)

    def __getitem__(self, name: str) -> MetaType:
        try:
            return self._children[name]
        except KeyError:
            raise KeyError(name) from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._children)

    def __len__(self) -> int:
        return len(self._children)

    @property
    def children(self) -> list[MetaType]:
        """The child metas, in order."""
        return list(self._children.values())

    def items(self) -> list[tuple[str, MetaType]]:
        """(name, child) pairs, in order."""
        return list(self._children.items())

    def __repr__(self) -> str:
        if not self._children:
            return f"{type(self).__name__}(name={self.name})"
        return f"{type(self).__name__}(name={self.name}, children={list(self._children)})"

    def extract(self, df: pd.DataFrame) -> Meta:
        """Learn this meta afresh from a frame; returns self."""
        for child in self._children.values():
            child.extract(df)
        return self

    def update_meta(self, df: pd.DataFrame) -> Meta:
        """Widen what this meta has learned with a further frame; returns self."""
        for child in self._children.values():
            child.update_meta(df)
        return self

    @classmethod
    def _attribute_names(cls) -> list[str]:
        """Names of the constructor parameters kept as attributes, following **kwargs upwards."""
        names: list[str] = []
        for klass in cls.__mro__:
            init = klass.__dict__.get("__init__")
            if init is None:
                continue
            if not inspect.isfunction(init):
                # A compiled class writes its own fields into the dictionary form.
                break
            parameters = inspect.signature(init).parameters.values()
            names += [
                parameter.name
                for parameter in parameters
                if parameter.kind in (parameter.POSITIONAL_OR_KEYWORD, parameter.KEYWORD_ONLY)
                and parameter.name not in _STRUCTURAL_PARAMETERS
                and parameter.name not in names
            ]
            if all(parameter.kind is not parameter.VAR_KEYWORD for parameter in parameters):
                break
        return names

    def to_dict(self) -> dict[str, Any]:
        """This meta as nested plain data: name, class_name, attributes and children."""
        return {
            "name": self.name,
            "class_name": type(self).__name__,
            **{name: copy.deepcopy(getattr(self, name)) for name in self._attribute_names()},
            "children": {name: child.to_dict() for name, child in self._children.items()},
        }

    @classmethod
    def children_from_dict(cls, d: Mapping[str, Any]) -> list[Meta]:
        """Rebuild the child metas held in a `to_dict` form."""
        return [Meta.from_dict(child) for child in d.get("children", {}).values()]

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> Meta:
        """Rebuild a meta from its `to_dict` form, as the class the form names."""
        try:
            meta_class = _REGISTRY[d["class_name"]]
        except KeyError:
            raise UnknownMetaClassError(d["class_name"]) from None
        if not issubclass(meta_class, cls):
            raise TypeError(f"{d['class_name']} is not a {cls.__name__}.")
        attributes = {k: v for k, v in d.items() if k not in ("class_name", "children")}
        children = meta_class.children_from_dict(d)
        if children:
            attributes["children"] = children
        return meta_class(**attributes)


_REGISTRY[Meta.__name__] = Meta


class ValueMeta(Meta["ValueMeta"]):
    """What is known about one column: its dtype and how many of its values are missing.

    `extract` forgets and relearns; `update_meta` adds a further frame's values. Subclasses
    hook in through `_parse` (column to values, unparsable ones missing), `_absorb` (learn from
    the present values) and `_forget` (back to the unlearned state).
    """

    def __init__(
        self,
        name: str,
        children: Sequence[ValueMeta] | None = None,
        *,
        dtype: str | None = None,
        count: int = 0,
        num_missing: int = 0,
    ) -> None:
        super().__init__(name=name, children=children)
        self.dtype = dtype
        self.count = count
        self.num_missing = num_missing

    def __bool__(self) -> bool:
        # A column meta has no children, which must not make it falsy.
        return True

    @property
    def nan_freq(self) -> float | None:
        """Share of missing values among all values seen; None before any."""
        total = self.count + self.num_missing
        return self.num_missing / total if total else None

    def diagnostics(self) -> dict[str, Any]:
        """A short summary of what was learned."""
        return {"dtype": self.dtype, "count": self.count, "nan_freq": self.nan_freq}

    def create_index(self, df: pd.DataFrame) -> pd.Index:
        """The frame's column of this meta as an index named after it."""
        return pd.Index(df[self.name], name=self.name)

    def extract(self, df: pd.DataFrame) -> ValueMeta:
        """Learn afresh from `df[self.name]`; returns self."""
        self._forget()
        return self.update_meta(df)

    def update_meta(self, df: pd.DataFrame) -> ValueMeta:
        """Add what `df[self.name]` shows to what was learned; returns self."""
        column = df[self.name]
        present = self._parse(column).dropna()
        self.dtype = self.dtype or str(column.dtype)
        self.count += len(present)
        self.num_missing += len(column) - len(present)
        self._absorb(present)
        return self

    def _forget(self) -> None:
        self.dtype = None
        self.count = 0
        self.num_missing = 0

    def _parse(self, column: pd.Series) -> pd.Series:
        return column

    def _absorb(self, present: pd.Series) -> None:
        """Learn from the column's non-missing values."""


class Nominal(ValueMeta):
    """Values without order: the categories seen and how often each occurred.

    Categories keep the position they were first seen at, so widening never renumbers them.
    """

    def __init__(
        self, name: str, *, category_counts: dict[Any, int] | None = None, **summary: Any
    ) -> None:
        super().__init__(name=name, **summary)
        self.category_counts = dict(category_counts or {})

    @property
    def categories(self) -> list[Any]:
        """The categories, in order of first sight."""
        return list(self.category_counts)

    @property
    def probabilities(self) -> dict[Any, float]:
        """Frequency of each category among the non-missing values."""
        return {category: n / self.count for category, n in self.category_counts.items()}

    def diagnostics(self) -> dict[str, Any]:
        """The summary, with the number of categories actually seen."""
        seen = sum(n > 0 for n in self.category_counts.values())
        return super().diagnostics() | {"num_unique": seen}

    def _forget(self) -> None:
        super()._forget()
        self.category_counts = {}

    def _absorb(self, present: pd.Series) -> None:
        seen = present.value_counts(sort=False)
        merged = dict(self.category_counts)
        for category, n in zip(seen.index.tolist(), seen.tolist(), strict=True):
            merged[category] = merged.get(category, 0) + n
        self.category_counts = merged


class Affine(ValueMeta):
    """Ordered values whose differences mean something: the range seen."""

    def __init__(self, name: str, *, min: Any = None, max: Any = None, **summary: Any) -> None:
        super().__init__(name=name, **summary)
        self.min = min
        self.max = max

    def diagnostics(self) -> dict[str, Any]:
        """The summary, with the range."""
        return super().diagnostics() | {"min": self.min, "max": self.max}

    def _forget(self) -> None:
        super()._forget()
        self.min = None
        self.max = None

    def _parse(self, column: pd.Series) -> pd.Series:
        return pd.to_numeric(column, errors="coerce")

    def _scalar(self, value: Any) -> Any:
        """A value of the column as the plain type this meta keeps."""
        return value.item() if isinstance(value, np.generic) else value

    def _absorb(self, present: pd.Series) -> None:
        if present.empty:
            return
        low, high = self._scalar(present.min()), self._scalar(present.max())
        self.min = low if self.min is None else min(self.min, low)
        self.max = high if self.max is None else max(self.max, high)
