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
        max_levels: a column with at most this many distinct values maps back to the nearest
            of them (its grid), not to values in between. 0 disables it.
        spread_ties: a value repeated across several quantiles (a point mass, such as zero
            gaps) maps to a probability drawn uniformly within its share rather than to the
            middle of it, so that the mapped column is as Gaussian as its quantiles allow;
            it still maps back to the value.
    """

    n_quantiles: int = 1000
    output_distribution: str = "normal"
    noise: float = 0.0
    max_levels: int = 0
    spread_ties: bool = False


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
            `StandardScaler`. On by default: skewed columns (delays, gaps between events)
            become Gaussian, which the model's Gaussian outputs fit, and decoded values stay
            within the fitted range, so non-negative gaps stay non-negative.
        n_quantiles: most quantiles a `QuantileTransformer` of a continuous column estimates.
        max_levels: a continuous column fitted on at most this many distinct values decodes
            to the nearest of them (see `QuantileTransformerConfig`); values a caller imposes
            are then snapped too. 0 decodes every value as it is.
        spread_ties: a continuous column's point masses map to a spread of probabilities
            (see `QuantileTransformerConfig`).
    """

    continuous_only_dates: bool = False
    date_transformer_config: DateTransformerConfig = field(default_factory=DateTransformerConfig)
    quantile: bool = True
    n_quantiles: int = 1000
    max_levels: int = 0
    spread_ties: bool = False


@dataclass
class ModelBuilderConfig:
    """How `ModelFactory` summarises each column of a frame.

    Attributes:
        quantile_levels: the probabilities at which a continuous column's quantiles are kept.
        integer_counts: columns of whole numbers (an `Integer` meta) are counts, decoded as
            whole numbers within their fitted range; off, they are continuous like any other
            number.
    """

    quantile_levels: tuple[float, ...] = (0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99)
    integer_counts: bool = False


@dataclass
class ValueFactoryConfig:
    """How `ValueExtractor` turns value models into the model's inputs and outputs.

    Attributes:
        dates_as_continuous: a date column is only its number; otherwise also its hour,
            weekday, day and month categories. Leave it None: it then follows the
            `continuous_only_dates` of the frame transformers the values read, which
            `DeepStateConfig` pairs with its own (unpaired, None counts as False). Set, it
            overrides them.
        max_embedding_size: widest embedding of a categorical input; columns with fewer
            categories get one dimension per category.
        continuous_components: Gaussians in the output of every continuous column (numbers,
            dates, gaps); 1 is one Gaussian, more a mixture that can hold a point mass beside
            a spread and heavier tails.
    """

    dates_as_continuous: bool | None = None
    max_embedding_size: int = 16
    continuous_components: int = 1

    def pair_with(self, transformers: "MetaTransformerConfig") -> None:
        """Follow `transformers.continuous_only_dates` while `dates_as_continuous` is None."""
        # Not a field: a copy or a saved configuration is paired again by its owner.
        self._paired_transformers = transformers

    def dates_continuous(self) -> bool:
        """Whether a date column is its number alone, as set or as the paired transformers
        encode dates."""
        if self.dates_as_continuous is not None:
            return bool(self.dates_as_continuous)
        paired = getattr(self, "_paired_transformers", None)
        return bool(paired is not None and paired.continuous_only_dates)


@dataclass
class DeepStateConfig:
    """Settings of the deep state-space model, sized by default for a small CPU machine.

    Attributes:
        codes: number of clusters a sampled column's values are grouped into.
        capacity: width of every hidden layer and recurrent state.
        dropout_rate: probability that a whole time step of the transition input is dropped.
        latent_size: width of the latent state and of the entity's id code.
        regularization_weight: factor of the L2 penalty on the penalised weights.
        max_time_steps: time steps per entity; longer entities are cut, shorter ones padded.
        batch_size: entities per training batch.
        learning_rate: step size of the Adam optimiser.
        clipnorm: largest gradient norm the optimiser applies.
        low_memory: transform frames with one worker instead of several.
        shuffle: shuffle the entities between training batches.
        learn_entity_end: learn, at every time step, whether the entity has ended (the filler
            rows after its last event say where), and end a synthetic entity where the model
            draws its end. Off, every synthetic entity has as many events as asked for.
        stop_at_entity_end: with `learn_entity_end`, `synthesize(n)` ends the entity where
            the model draws its end (n events at most); False gives exactly n. Read on every
            call, so it may be changed after training.
        emission_reads_state: the emission network reads the transition's recurrent state
            beside the latent state, so each output sees the entity's history directly and
            not only through the noisy latent draw. Off, it reads the latent state alone.
        kl_free_bits: nats per time step of divergence of the posterior from the prior that
            are not penalised (the loss counts at least this much), which keeps the posterior
            from collapsing onto the prior. 0 counts the divergence as it is.
        id_kl_free_bits: the same for the id code, in nats per entity: room for the id code
            to carry the entity's constant attributes, which the recurrence then sees.
            Drawing random codes from the training entities (`id_codes_from_training`) suits
            it, since the id posteriors then stray from the prior.
        prior_reconstruction_weight: weight of a second reconstruction of the time series,
            from latent states drawn from the prior (as generation draws them) instead of the
            posterior; it adds the loss "prior_reconstruction_loss". 0 leaves it out.
        id_codes_from_training: after training, keep the id posterior of every training
            entity, and draw a random entity's id code from the posterior of a training
            entity chosen at random instead of from the standard normal prior.
        outputs_as_fed_back: generation returns, for every step, the event it decoded and
            fed back to the recurrence (in output layout, certain), so that decoding the
            returned outputs gives the events that later steps were conditioned on. Off, it
            returns the emission's draw, which decoding samples afresh, so that consecutive
            events come out nearly independent of each other.
        windows: train on every event of entities longer than `max_time_steps`, in windows
            of `max_time_steps` steps, each window after an entity's first opening with
            `window_burn_in` events counted in the window before, which bring the recurrent
            state up to speed and count in no loss (the entity's id and constants count in
            its first window only); sampling then generates entities as long as the longest
            training entity. Off, training sees each entity's first `max_time_steps` events.
        window_burn_in: events at the start of every window but an entity's first that only
            lead up to the rest (at most `max_time_steps` - 1).
        carry_window_state: with `windows`, every window after an entity's first starts from
            the recurrent state its predecessor ended in when it was last trained (the
            initial network's until then), as generation carries its state on, instead of
            a fresh one; windows then abut and `window_burn_in` is not used. The states
            (windows x 2 x `capacity` floats) are kept while training only.
        lengths_from_training: `sample` draws every entity's length from the training
            entities' lengths even where the model learned where entities end, which
            counting a thousand steps ahead does poorly; read on every call. The lengths then
            do not follow the entity's attributes.
        lengths_follow_id_codes: with `id_codes_from_training`, where lengths come from the
            training entities (`lengths_from_training`, or no learned end), each entity takes
            the length of the training entity whose id posterior its code was drawn from, so
            that its length goes with its start and constants (an entity that starts late in
            a table cut at its last date is short); read on every call.
        meta_factory_config: how column metas are inferred.
        model_builder_config: how the value models summarise columns.
        value_factory_config: how value groups encode and decode columns.
        meta_transformer_config: how frame transformers encode columns; its
            `continuous_only_dates` also decides the value groups' `dates_as_continuous`.
    """

    codes: int = 50
    capacity: int = 64
    dropout_rate: float = 0.1
    latent_size: int = 16
    regularization_weight: float = 1e-4
    max_time_steps: int = 20
    batch_size: int = 32
    learning_rate: float = 1e-3
    clipnorm: float = 1.0
    low_memory: bool = False
    shuffle: bool = True
    learn_entity_end: bool = False
    stop_at_entity_end: bool = True
    emission_reads_state: bool = False
    kl_free_bits: float = 0.0
    id_kl_free_bits: float = 0.0
    prior_reconstruction_weight: float = 0.0
    id_codes_from_training: bool = False
    outputs_as_fed_back: bool = False
    windows: bool = False
    window_burn_in: int = 4
    carry_window_state: bool = False
    lengths_from_training: bool = False
    lengths_follow_id_codes: bool = False
    meta_factory_config: MetaFactoryConfig = field(default_factory=MetaFactoryConfig)
    model_builder_config: ModelBuilderConfig = field(default_factory=ModelBuilderConfig)
    value_factory_config: ValueFactoryConfig = field(default_factory=ValueFactoryConfig)
    meta_transformer_config: MetaTransformerConfig = field(default_factory=MetaTransformerConfig)

    def __post_init__(self) -> None:
        nested = self._date_configs()
        if nested is not None and nested[0].dates_as_continuous not in (
            None,
            nested[1].continuous_only_dates,
        ):
            raise ValueError(
                "DeepStateConfig: value_factory_config.dates_as_continuous is "
                f"{nested[0].dates_as_continuous} but meta_transformer_config."
                f"continuous_only_dates is {nested[1].continuous_only_dates}. Set only "
                "meta_transformer_config.continuous_only_dates; the value groups follow it."
            )

    def __setattr__(self, name: str, value: object) -> None:
        super().__setattr__(name, value)
        # Which columns a date becomes is one decision: the transformers make the columns
        # that the value groups read, so the value groups follow the transformers, also
        # when either nested configuration is replaced.
        if name not in ("value_factory_config", "meta_transformer_config"):
            return
        nested = self._date_configs()
        if nested is not None:
            nested[0].pair_with(nested[1])

    def _date_configs(self) -> "tuple[ValueFactoryConfig, MetaTransformerConfig] | None":
        values = getattr(self, "value_factory_config", None)
        transformers = getattr(self, "meta_transformer_config", None)
        if isinstance(values, ValueFactoryConfig) and isinstance(
            transformers, MetaTransformerConfig
        ):
            return values, transformers
        return None
