"""Column metas for numbers."""

from typing import Any

from ..base import Affine


class Integer(Affine):
    """A column of whole numbers (or text that reads as them); min and max are ints."""

    def _scalar(self, value: Any) -> int:
        return int(value)


class Float(Affine):
    """A column of real numbers (or text that reads as them); min and max are floats."""

    def _scalar(self, value: Any) -> float:
        return float(value)
