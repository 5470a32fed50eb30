import dataclasses

import pytest

from velora.config import (
    DateTransformerConfig,
    DeepStateConfig,
    MetaFactoryConfig,
    MetaTransformerConfig,
    ModelBuilderConfig,
    QuantileTransformerConfig,
    StandardScalerConfig,
    ValueFactoryConfig,
)


@pytest.mark.parametrize(
    "config, expected",
    [
        (QuantileTransformerConfig(), {"n_quantiles": 1000, "output_distribution": "normal"}),
        (StandardScalerConfig(), {"with_mean": True, "with_std": True}),
        (
            DateTransformerConfig(),
            {"continuous_only_dates": False, "quantile": False, "unit": "days"},
        ),
        (MetaTransformerConfig(), {"continuous_only_dates": False, "quantile": True}),
    ],
    ids=lambda value: type(value).__name__,
)
def test_defaults(config, expected):
    assert {name: getattr(config, name) for name in expected} == expected


@pytest.mark.parametrize(
    "make, path",
    [
        (DateTransformerConfig, ("quantile_transformer_config", "n_quantiles")),
        (DateTransformerConfig, ("standard_scaler_transformer_config", "with_std")),
        (MetaTransformerConfig, ("date_transformer_config", "unit")),
    ],
)
def test_nested_defaults_are_not_shared(make, path):
    first, second = make(), make()
    nested, attribute = path
    setattr(getattr(first, nested), attribute, "changed")
    assert getattr(getattr(second, nested), attribute) != "changed"


def test_deep_state_config_defaults_suit_a_small_machine():
    config = DeepStateConfig()
    assert (config.capacity, config.latent_size, config.batch_size) == (64, 16, 32)
    assert config.max_time_steps == 20 and config.codes == 50
    assert not config.low_memory and config.shuffle
    assert isinstance(config.meta_factory_config, MetaFactoryConfig)
    assert isinstance(config.model_builder_config, ModelBuilderConfig)
    assert isinstance(config.value_factory_config, ValueFactoryConfig)
    assert isinstance(config.meta_transformer_config, MetaTransformerConfig)
    assert not config.value_factory_config.dates_as_continuous
    assert not config.meta_transformer_config.continuous_only_dates


def test_every_deep_state_field_is_a_keyword():
    changed = {field.name: f"changed {field.name}" for field in dataclasses.fields(DeepStateConfig)}
    config = DeepStateConfig(**changed)
    assert dataclasses.asdict(config) == changed
