"""Creation of value groups from value models."""

from velora.common.values.base import Value
from velora.common.values.categorical import CategoricalValue
from velora.common.values.continuous import ContinuousValue
from velora.common.values.data_frame import DataFrameValue
from velora.common.values.missing import MissingValue
from velora.config import ValueFactoryConfig
from velora.model import DataFrameModel
from velora.model.base import ValueModel
from velora.model.categorical import CategoricalModel
from velora.model.continuous import ContinuousModel
from velora.model.datetime import DateTimeModel


class ValueExtractor:
    """Builds the value group of a value model: the child values of each column, in order.

    A column gives the values of the columns its frame transformer writes: a categorical
    column one `CategoricalValue`; a continuous or duration column one `ContinuousValue`; a
    date column a `ContinuousValue` for its number and, unless `dates_as_continuous`, a
    `CategoricalValue` for each of its hour, weekday, day and month; and a column that can
    be missing a `MissingValue` for its flag column last.
    """

    @classmethod
    def extract(
        cls, df_meta: DataFrameModel, config: ValueFactoryConfig | None = None
    ) -> DataFrameValue:
        config = config or ValueFactoryConfig()
        values = [value for model in df_meta.values() for value in cls.values_of(model, config)]
        return DataFrameValue(name=df_meta.name, values=values)

    @classmethod
    def values_of(cls, model: ValueModel, config: ValueFactoryConfig) -> list[Value]:
        """The child values of one column's model."""
        flag = model.missing_column
        values: list[Value]
        if isinstance(model, CategoricalModel):
            values = [
                CategoricalValue(
                    model.name,
                    model.categories,
                    frequencies=model.code_frequencies(),
                    missing_column=flag,
                    max_embedding_size=config.max_embedding_size,
                )
            ]
        elif isinstance(model, DateTimeModel):
            values = [ContinuousValue(model.name, missing_column=flag)]
            if not config.dates_as_continuous:
                values += [
                    CategoricalValue(
                        column, categories, max_embedding_size=config.max_embedding_size
                    )
                    for column, categories in model.calendar_categories.items()
                ]
        elif isinstance(model, ContinuousModel):
            values = [ContinuousValue(model.name, missing_column=flag)]
        else:
            raise TypeError(f"No value for the model {model!r}")
        if flag is not None:
            values.append(MissingValue(flag))
        return values
