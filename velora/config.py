"""Configuration objects: plain attribute holders read by the model, extractors and transformers."""

from dataclasses import dataclass, field


@dataclass
class MetaFactoryConfig:
    """How `MetaExtractor` infers a column's meta from its values.

    Attributes:
        categorical_threshold_log_multiplier: a column with at most this many times
            log(rows) distinct values is categorical.
        parsing_nan_fraction_threshold: text is taken as dates or numbers when at most
            this share of its values fails to parse.
        min_num_unique: a numeric column with at most this many distinct values is always
            categorical.
    """

    categorical_threshold_log_multiplier: float = 2.5
    parsing_nan_fraction_threshold: float = 0.25
    min_num_unique: int = 10


@dataclass
class QuantileTransformerConfig:
    """How `QuantileTransformer` maps a numeric column through its empirical quantiles.

    Attributes:
        n_quantiles: most quantiles estimated from the fitted values (fewer for short columns).
        output_distribution: "normal" or "uniform", the distribution the values are mapped to.
        noise: standard deviation, as a share of the column's standard deviation, of the
            jitter added to the values before their quantiles are estimated; it spreads
            heavily repeated values. 0 disables it.
    """

    n_quantiles: int = 1000
    output_distribution: str = "normal"
    noise: float = 0.0


@dataclass
class StandardScalerConfig:
    """How `StandardScaler` standardises a numeric column.

    Attributes:
        with_mean: subtract the column's mean.
        with_std: divide by the column's standard deviation.
    """

    with_mean: bool = True
    with_std: bool = True


@dataclass
class DateTransformerConfig:
    """How a date column is encoded.

    Attributes:
        continuous_only_dates: encode the date only as a number, without hour, weekday,
            day and month categories.
        quantile: scale the date number with `QuantileTransformer` instead of `StandardScaler`.
        unit: pandas timedelta unit the date number counts (e.g. "days", "hours").
        quantile_transformer_config: used when `quantile` is set.
        standard_scaler_transformer_config: used when `quantile` is not set.
    """

    continuous_only_dates: bool = False
    quantile: bool = False
    unit: str = "days"
    quantile_transformer_config: QuantileTransformerConfig = field(
        default_factory=QuantileTransformerConfig
    )
    standard_scaler_transformer_config: StandardScalerConfig = field(
        default_factory=StandardScalerConfig
    )


@dataclass
class MetaTransformerConfig:
    """How a frame transformer picks the transformers of its columns.

    Attributes:
        continuous_only_dates: encode every date column only as a number.
        date_transformer_config: how date columns are encoded.
        quantile: scale continuous columns with `QuantileTransformer` instead of
            `StandardScaler`.
        n_quantiles: most quantiles a `QuantileTransformer` of a continuous column estimates.
    """

    continuous_only_dates: bool = False
    date_transformer_config: DateTransformerConfig = field(default_factory=DateTransformerConfig)
    quantile: bool = False
    n_quantiles: int = 1000
