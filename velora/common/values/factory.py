"""Creation of value groups from value models."""

from velora import kinds
from velora.common.values.base import Value
from velora.common.values.data_frame import DataFrameValue
from velora.common.values.missing import MissingValue
from velora.config import ValueFactoryConfig
from velora.model import DataFrameModel
from velora.model.base import ValueModel


class ValueExtractor:
    """Builds the value group of a value model: the child values of each column, in order.

    A column gives the values of the columns its frame transformer writes, as its kind
    (`velora.kinds`) says: a categorical column one `CategoricalValue`; a number, count or
    duration one `ContinuousValue`; a date a `ContinuousValue` for its number and, unless
    dates are continuous (`ValueFactoryConfig.dates_continuous`), a `CategoricalValue` for
    each of its hour, weekday, day and month; and a column that can be missing a
    `MissingValue` for its flag column last.
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
        """The child values of one column's model: its kind's (`velora.kinds`), then its
        missing flag."""
        values = kinds.of_model(model).values(model, config)
        if model.missing_column is not None:
            values.append(MissingValue(model.missing_column))
        return values
