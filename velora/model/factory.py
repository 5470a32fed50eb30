"""Creation of a frame's value models from its meta."""

from velora import kinds
from velora.config import ModelBuilderConfig
from velora.metadata import DataFrameMeta
from velora.metadata.base import ValueMeta
from velora.model import DataFrameModel
from velora.model.base import ValueModel


class ModelFactory:
    """Builds the unfitted value model of a frame: one child model per column meta."""

    def __init__(self, config: ModelBuilderConfig | None = None):
        self.config = config or ModelBuilderConfig()

    def __call__(self, df_meta: DataFrameMeta) -> DataFrameModel:
        return DataFrameModel(df_meta, [self.create_model(meta) for meta in df_meta.children])

    def create_model(self, meta: ValueMeta) -> ValueModel:
        """The value model of the column's kind (`velora.kinds`)."""
        return kinds.of_meta(meta, self.config).model(meta, self.config)
