"""Column metas for values without order."""

from ..base import Nominal


class Categorical(Nominal):
    """A column of few distinct values of any kind, or of pandas category dtype."""


class String(Categorical):
    """A column of text taken as categories."""


class Bool(Nominal):
    """A column of truth values."""
