import pytest

from velora.config import (
    DateTransformerConfig,
    MetaTransformerConfig,
    QuantileTransformerConfig,
    StandardScalerConfig,
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
        (MetaTransformerConfig(), {"continuous_only_dates": False, "quantile": False}),
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
