"""Column transformers: map a frame's columns to model inputs and back."""

from velora.transformer.base import SequentialTransformer, Transformer
from velora.transformer.data_frame import DataFrameTransformer

__all__ = ["DataFrameTransformer", "SequentialTransformer", "Transformer"]
