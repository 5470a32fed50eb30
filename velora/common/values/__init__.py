"""Value groups: how the columns of a transformed frame enter and leave the model."""

from velora.common.values.base import Value
from velora.common.values.categorical import CategoricalValue
from velora.common.values.continuous import ContinuousValue
from velora.common.values.data_frame import DataFrameValue
from velora.common.values.factory import ValueExtractor
from velora.common.values.missing import MissingValue

__all__ = [
    "CategoricalValue",
    "ContinuousValue",
    "DataFrameValue",
    "MissingValue",
    "Value",
    "ValueExtractor",
]
