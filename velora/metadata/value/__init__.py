"""Metas of single columns and of annotations over several columns."""

from .annotation import Compound
from .categorical import Bool, Categorical, String
from .continuous import Float, Integer
from .datetime import BusDateTime, DateTime
from .timedelta import TimeDelta

__all__ = [
    "Bool",
    "BusDateTime",
    "Categorical",
    "Compound",
    "DateTime",
    "Float",
    "Integer",
    "String",
    "TimeDelta",
]
