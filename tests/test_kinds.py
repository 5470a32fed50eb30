"""Each column kind carries its columns through the whole framework and back unchanged."""

import numpy as np
import pandas as pd
import pytest

from velora import kinds
from velora.common.values import ValueExtractor
from velora.config import DeepStateConfig, ModelBuilderConfig, ValueFactoryConfig
from velora.metadata.base import ValueMeta
from velora.metadata.factory import MetaExtractor
from velora.model.factory import ModelFactory
from velora.transformer import DataFrameTransformer

ROWS = 60


def mixed_frame() -> pd.DataFrame:
    rng = np.random.default_rng(1)
    visits = rng.poisson(30, ROWS).astype(float)
    visits[::7] = np.nan  # a missing value makes a column of counts float
    return pd.DataFrame(
        {
            "plan": rng.choice(["basic", "plus", "pro"], ROWS),
            "spend": rng.gamma(2.0, 10.0, ROWS),
            "visits": visits,
            "rating": rng.integers(0, 500, ROWS),
            "joined": pd.Timestamp("2024-01-01")
            + pd.to_timedelta(rng.integers(0, 10**6, ROWS), "s"),
            "session": pd.to_timedelta(rng.integers(1, 10**4, ROWS), "s"),
        }
    )


@pytest.fixture(scope="module")
def round_trip():
    """The mixed frame, its value models, and the frame decoded from certain outputs."""
    df = mixed_frame()
    model = ModelFactory(ModelBuilderConfig(integer_counts=True))(MetaExtractor.extract(df))
    model = model.fit(df)
    group = ValueExtractor.extract(model, ValueFactoryConfig())
    transformer = DataFrameTransformer.from_meta(model)
    encoded = transformer.fit_transform(df)
    columns = {column: encoded[column].to_numpy(np.float32) for column in encoded.columns}
    outputs = group.output_tensors(group.pass_inputs_to_y(columns))
    decoded = pd.DataFrame({name: tensor.numpy() for name, tensor in outputs.items()})
    return df, model, transformer.inverse_transform(decoded)


@pytest.mark.parametrize(
    "column, kind",
    [
        ("plan", "categorical"),
        ("spend", "continuous"),
        ("visits", "count"),
        ("rating", "count"),
        ("joined", "date-time"),
        ("session", "time delta"),
    ],
)
def test_every_kind_comes_back_as_it_went_in(round_trip, column, kind):
    df, model, decoded = round_trip
    assert kinds.of_model(model[column]).name == kind
    if kind == "continuous":
        np.testing.assert_allclose(decoded[column], df[column], rtol=1e-3)
    elif kind == "date-time":
        assert (decoded[column] - df[column]).abs().max() < pd.Timedelta(seconds=1)
    else:
        pd.testing.assert_series_equal(decoded[column], df[column], check_dtype=kind != "count")


def test_counts_are_whole_numbers_within_their_range(round_trip):
    _, model, _ = round_trip
    transformer = DataFrameTransformer.from_meta(model)
    df = mixed_frame()
    transformer.fit(df)
    spread = pd.DataFrame({"rating": np.linspace(-8.0, 8.0, 41), "visits": np.linspace(-8, 8, 41)})
    decoded = transformer.inverse_transform(spread)
    for column in ("rating", "visits"):
        values = decoded[column].to_numpy(dtype=float)
        assert (values % 1 == 0).all()
        assert values.min() == df[column].min() and values.max() == df[column].max()


def test_counts_are_continuous_unless_asked_for():
    df = mixed_frame()
    model = ModelFactory()(MetaExtractor.extract(df))
    assert {kinds.of_model(model[c]).name for c in ("visits", "rating")} == {"continuous"}


def test_a_column_no_kind_claims_is_named():
    class Unheard(ValueMeta):
        pass

    with pytest.raises(TypeError, match='No column kind claims the column "odd", whose meta is'):
        ModelFactory().create_model(Unheard("odd"))


@pytest.mark.parametrize("only_numbers", [False, True])
def test_value_groups_follow_the_transformers_on_dates(only_numbers):
    config = DeepStateConfig()
    config.meta_transformer_config.continuous_only_dates = only_numbers
    df = mixed_frame()[["joined"]]
    model = ModelFactory()(MetaExtractor.extract(df)).fit(df)
    group = ValueExtractor.extract(model, config.value_factory_config)
    transformer = DataFrameTransformer.from_meta(model, config.meta_transformer_config)
    assert set(group) == set(transformer.out_columns)
    assert (len(group) == 1) == only_numbers


def test_two_date_flags_that_disagree_are_refused():
    with pytest.raises(ValueError, match="Set only meta_transformer_config.continuous_only_dates"):
        DeepStateConfig(value_factory_config=ValueFactoryConfig(dates_as_continuous=True))
