import numpy as np
import pandas as pd
import pytest
from scipy.special import ndtri

from velora.config import QuantileTransformerConfig
from velora.transformer.child.quantile import QuantileTransformer


def transformed(fit_values, values, **config):
    transformer = QuantileTransformer("x", QuantileTransformerConfig(**config))
    transformer.fit(pd.DataFrame({"x": fit_values}))
    return transformer.transform(pd.DataFrame({"x": values}))["x"].to_numpy()


@pytest.mark.parametrize("distribution", ["normal", "uniform"])
def test_skewed_column_maps_to_target_distribution(distribution):
    sample = np.random.default_rng(1).exponential(size=20_000)
    out = transformed(sample, sample, output_distribution=distribution)
    low, high = (-5.2, 5.2) if distribution == "normal" else (0.0, 1.0)
    assert low <= out.min() and out.max() <= high
    # A fitted sample must map onto the target's own quantiles.
    reference = np.random.default_rng(2).normal(size=20_000)
    if distribution == "uniform":
        reference = np.random.default_rng(2).uniform(size=20_000)
    probes = np.linspace(0.05, 0.95, 10)
    np.testing.assert_allclose(np.quantile(out, probes), np.quantile(reference, probes), atol=0.05)


@pytest.mark.parametrize(
    "distribution, expected",
    [("normal", [-5.2, 5.2, 0.0, np.nan]), ("uniform", [0.0, 1.0, 0.5, np.nan])],
)
def test_out_of_range_clips_and_constant_maps_to_middle(distribution, expected):
    out = transformed([4.0, 4.0, 4.0], [-1e9, 1e9, 4.0, np.nan], output_distribution=distribution)
    np.testing.assert_allclose(out, expected, atol=1e-3)


def test_noise_spreads_repeated_values_reproducibly():
    ties = pd.DataFrame({"x": np.repeat([0.0, 1.0], 500)})
    config = QuantileTransformerConfig(noise=0.01)
    jittered = [QuantileTransformer("x", config).fit(ties).quantiles for _ in range(2)]
    plain = QuantileTransformer("x").fit(ties).quantiles
    assert np.unique(plain).size == 2
    assert np.unique(jittered[0]).size > 100
    np.testing.assert_array_equal(jittered[0], jittered[1])


@pytest.mark.parametrize("spread", [False, True])
def test_ties_map_to_the_middle_of_their_share_or_spread_over_it(spread):
    # A quarter zeros, the rest distinct: the zeros hold probabilities 0 to 1/4.
    values = np.concatenate([np.zeros(250), np.linspace(1.0, 10.0, 750)])
    config = QuantileTransformerConfig(output_distribution="uniform", spread_ties=spread)
    transformer = QuantileTransformer("x", config).fit(pd.DataFrame({"x": values}))
    out = transformer.transform(pd.DataFrame({"x": values.copy()}))["x"].to_numpy()
    zeros, others = out[:250], out[250:]
    if spread:  # uniform within the share, the same again for the same column
        assert zeros.min() < 0.02 and 0.23 < zeros.max() <= 0.25
        assert abs(zeros.mean() - 0.125) < 0.01
        again = transformer.transform(pd.DataFrame({"x": values.copy()}))["x"].to_numpy()
        np.testing.assert_array_equal(out, again)
    else:
        np.testing.assert_allclose(zeros, 0.125, atol=1e-3)
    # Distinct values map as they did, and every zero maps back to zero.
    plain = QuantileTransformer("x", QuantileTransformerConfig(output_distribution="uniform"))
    plain.fit(pd.DataFrame({"x": values}))
    np.testing.assert_array_equal(
        others, plain.transform(pd.DataFrame({"x": values[250:].copy()}))["x"].to_numpy()
    )
    back = transformer.inverse_transform(pd.DataFrame({"x": zeros}))["x"].to_numpy()
    np.testing.assert_allclose(back, 0.0, atol=1e-9)


@pytest.mark.parametrize(
    "config", [{"output_distribution": "cauchy"}, {"n_quantiles": 1}], ids=["distribution", "n"]
)
def test_invalid_config_rejected(config):
    with pytest.raises(ValueError):
        QuantileTransformer("x", QuantileTransformerConfig(**config))


def inverse(fit_values, normal_scores, **config):
    transformer = QuantileTransformer("x", QuantileTransformerConfig(**config))
    transformer.fit(pd.DataFrame({"x": fit_values}))
    return transformer.inverse_transform(pd.DataFrame({"x": normal_scores}))["x"].to_numpy()


DAYS = np.repeat([365.0, 366.0], [30, 10])
MANY = np.random.default_rng(0).normal(size=500)


@pytest.mark.parametrize(
    "fitted, max_levels, on_grid",
    [(DAYS, 32, True), (DAYS, 2, True), (DAYS, 1, False), (DAYS, 0, False), (MANY, 32, False)],
    ids=["32 levels", "2 levels", "too few levels", "off", "many values"],
)
def test_few_distinct_values_map_back_onto_themselves(fitted, max_levels, on_grid):
    scores = ndtri(np.linspace(0.01, 0.99, 99))  # every probability, so some fall between
    out = inverse(fitted, np.append(scores, np.nan), max_levels=max_levels)
    assert np.isnan(out[-1])
    assert np.isin(out[:-1], np.unique(fitted)).all() == on_grid
    assert (np.diff(out[:-1]) >= 0).all()  # still monotone
