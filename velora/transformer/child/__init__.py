"""Leaf transformers of a single column."""

from velora.transformer.child.categorical import CategoricalTransformer
from velora.transformer.child.quantile import QuantileTransformer
from velora.transformer.child.standard_scaler import StandardScaler

__all__ = ["CategoricalTransformer", "QuantileTransformer", "StandardScaler"]
