"""Creation of a frame's value models from its meta."""

from velora.config import ModelBuilderConfig
from velora.metadata import DataFrameMeta
from velora.metadata.base import Affine, Nominal, ValueMeta
from velora.metadata.value import DateTime, TimeDelta
from velora.model import DataFrameModel
from velora.model.base import ValueModel
from velora.model.categorical import CategoricalModel
from velora.model.continuous import ContinuousModel, TimeDeltaModel
from velora.model.datetime import DateTimeModel


class ModelFactory:
    """Builds the unfitted value model of a frame: one child model per column meta."""

    def __init__(self, config: ModelBuilderConfig | None = None):
        self.config = config or ModelBuilderConfig()

    def __call__(self, df_meta: DataFrameMeta) -> DataFrameModel:
        return DataFrameModel(df_meta, [self.create_model(meta) for meta in df_meta.children])

    def create_model(self, meta: ValueMeta) -> ValueModel:
        """The value model of the kind the column's meta calls for."""
        # Subclasses before their bases: dates and durations are affine too.
        if isinstance(meta, DateTime):
            return DateTimeModel(meta)
        if isinstance(meta, TimeDelta):
            return TimeDeltaModel(meta, quantile_levels=self.config.quantile_levels)
        if isinstance(meta, Affine):
            return ContinuousModel(meta, quantile_levels=self.config.quantile_levels)
        if isinstance(meta, Nominal):
            return CategoricalModel(meta)
        raise TypeError(f"No value model for the meta {meta!r} of type {type(meta).__name__}")
