"""Column kinds: everything the framework does with one kind of column, in one entry.

A kind claims the columns whose meta it stands for and supplies, for such a column, the value
model that summarises it, the values that carry it into and out of the network, and the
encoder of its frame transformer. The meta, model, value and transformer factories all ask
this registry, so a new kind is one `ColumnKind` in `KINDS`, placed before any kind it
specialises: the first kind that claims a column gets it.
"""

import dataclasses
from collections.abc import Callable
from dataclasses import dataclass

import pandas as pd
from pandas.api.types import is_bool_dtype, is_datetime64_any_dtype, is_timedelta64_dtype

from velora.common.values.base import Value
from velora.common.values.categorical import CategoricalValue
from velora.common.values.continuous import ContinuousValue
from velora.config import MetaTransformerConfig, ModelBuilderConfig, ValueFactoryConfig
from velora.metadata.base import Affine, Nominal, ValueMeta
from velora.metadata.value import Bool, Categorical, DateTime, Integer, TimeDelta
from velora.model.base import ValueModel
from velora.model.categorical import CategoricalModel
from velora.model.continuous import ContinuousModel, CountModel, TimeDeltaModel
from velora.model.datetime import DateTimeModel
from velora.transformer.base import SequentialTransformer, Transformer
from velora.transformer.child.categorical import CategoricalTransformer
from velora.transformer.child.date import DateTransformer
from velora.transformer.column import (
    DateColumnTransformer,
    TimeDeltaToSecondsTransformer,
    WholeNumberTransformer,
    scaler,
)

# What a dtype alone decides: the meta of a column of that dtype, whatever its values.
DtypeMeta = tuple[Callable[[object], bool], type[ValueMeta]]


@dataclass(frozen=True)
class ColumnKind:
    """One kind of column.

    Attributes:
        name: what the kind is called in messages.
        claims: whether a column of this meta is of this kind, given the model configuration.
        model: the unfitted value model of a claimed column.
        model_type: the class of the models `model` builds; it finds a fitted model's kind.
        values: the values of a fitted model's column, its missing flag left out.
        encoder: the transformer that encodes a fitted model's column.
        dtype_metas: dtypes whose columns get a meta of this kind without looking at values.
    """

    name: str
    claims: Callable[[ValueMeta, ModelBuilderConfig], bool]
    model: Callable[[ValueMeta, ModelBuilderConfig], ValueModel]
    model_type: type[ValueModel]
    values: Callable[[ValueModel, ValueFactoryConfig], list[Value]]
    encoder: Callable[[ValueModel, MetaTransformerConfig], Transformer]
    dtype_metas: tuple[DtypeMeta, ...] = ()


def _categorical_values(model: CategoricalModel, config: ValueFactoryConfig) -> list[Value]:
    return [
        CategoricalValue(
            model.name,
            model.categories,
            frequencies=model.code_frequencies(),
            missing_column=model.missing_column,
            max_embedding_size=config.max_embedding_size,
        )
    ]


def _number_values(model: ValueModel, config: ValueFactoryConfig) -> list[Value]:
    return [
        ContinuousValue(
            model.name,
            missing_column=model.missing_column,
            components=config.continuous_components,
        )
    ]


def _date_values(model: DateTimeModel, config: ValueFactoryConfig) -> list[Value]:
    calendar = [] if config.dates_continuous() else model.calendar_categories.items()
    return _number_values(model, config) + [
        CategoricalValue(column, categories, max_embedding_size=config.max_embedding_size)
        for column, categories in calendar
    ]


def _date_encoder(model: DateTimeModel, config: MetaTransformerConfig) -> Transformer:
    date_config = dataclasses.replace(
        config.date_transformer_config, continuous_only_dates=config.continuous_only_dates
    )
    return DateColumnTransformer(DateTransformer.from_meta(model.meta, config=date_config))


def _quantiles(model_type: type[ContinuousModel]) -> Callable:
    return lambda meta, config: model_type(meta, quantile_levels=config.quantile_levels)


def _after(first: Callable[[str], Transformer]) -> Callable:
    """The encoder that runs `first` on the column, then its scaler."""
    return lambda model, config: SequentialTransformer(
        model.name, [first(model.name), scaler(model.name, config)]
    )


KINDS: tuple[ColumnKind, ...] = (
    ColumnKind(
        "categorical",
        claims=lambda meta, config: isinstance(meta, Nominal),
        model=lambda meta, config: CategoricalModel(meta),
        model_type=CategoricalModel,
        values=_categorical_values,
        encoder=lambda model, config: CategoricalTransformer(model.name),
        dtype_metas=(
            (lambda dtype: isinstance(dtype, pd.CategoricalDtype), Categorical),
            (is_bool_dtype, Bool),
        ),
    ),
    ColumnKind(
        "date-time",
        claims=lambda meta, config: isinstance(meta, DateTime),
        model=lambda meta, config: DateTimeModel(meta),
        model_type=DateTimeModel,
        values=_date_values,
        encoder=_date_encoder,
        dtype_metas=((is_datetime64_any_dtype, DateTime),),
    ),
    ColumnKind(
        "time delta",
        claims=lambda meta, config: isinstance(meta, TimeDelta),
        model=_quantiles(TimeDeltaModel),
        model_type=TimeDeltaModel,
        values=_number_values,
        encoder=_after(TimeDeltaToSecondsTransformer),
        dtype_metas=((is_timedelta64_dtype, TimeDelta),),
    ),
    ColumnKind(
        "count",
        claims=lambda meta, config: config.integer_counts and isinstance(meta, Integer),
        model=_quantiles(CountModel),
        model_type=CountModel,
        values=_number_values,
        encoder=_after(WholeNumberTransformer),
    ),
    ColumnKind(
        "continuous",
        claims=lambda meta, config: isinstance(meta, Affine),
        model=_quantiles(ContinuousModel),
        model_type=ContinuousModel,
        values=_number_values,
        encoder=lambda model, config: scaler(model.name, config),
    ),
)


def of_meta(meta: ValueMeta, config: ModelBuilderConfig) -> ColumnKind:
    """The kind of the column `meta` describes; a `TypeError` names a column no kind claims."""
    for kind in KINDS:
        if kind.claims(meta, config):
            return kind
    raise TypeError(
        f'No column kind claims the column "{meta.name}", whose meta is a '
        f"{type(meta).__name__}: give it a meta of a known kind, or add a ColumnKind for it "
        "to velora.kinds.KINDS."
    )


def of_model(model: ValueModel) -> ColumnKind:
    """The kind whose value model `model` is."""
    for kind in KINDS:
        if isinstance(model, kind.model_type):
            return kind
    raise TypeError(
        f'No column kind has the value model {model!r} of the column "{model.name}": build '
        "value models with velora.model.factory.ModelFactory, or add a ColumnKind for it to "
        "velora.kinds.KINDS."
    )


def meta_of_dtype(sr: pd.Series) -> ValueMeta | None:
    """The meta the series' dtype alone decides, or None where its values must decide."""
    for kind in KINDS:
        for matches, meta_type in kind.dtype_metas:
            if matches(sr.dtype):
                return meta_type(sr.name)
    return None
