"""Column transformers: map a frame's columns to model inputs and back."""

from velora.transformer.base import SequentialTransformer, Transformer

__all__ = ["SequentialTransformer", "Transformer"]
