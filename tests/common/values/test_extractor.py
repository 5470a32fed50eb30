import numpy as np
import pandas as pd
import pytest

from velora.common.values import (
    CategoricalValue,
    ContinuousValue,
    DataFrameValue,
    MissingValue,
    ValueExtractor,
)
from velora.config import ValueFactoryConfig
from velora.metadata.factory import MetaExtractor
from velora.model.factory import ModelFactory

ROWS = 24


@pytest.fixture
def model():
    rng = np.random.default_rng(2)
    df = pd.DataFrame(
        {
            "kind": rng.choice(["x", "y"], ROWS).astype(object),
            "amount": rng.normal(size=ROWS),
            "day": pd.date_range("2021-01-01", periods=ROWS, freq="D"),
            "wait": pd.to_timedelta(rng.integers(1, 100, ROWS), unit="h"),
        }
    )
    df.loc[[1], "amount"] = np.nan
    df.loc[[3], "wait"] = pd.NaT
    return ModelFactory()(MetaExtractor.extract(df)).fit(df)


@pytest.mark.parametrize(
    "dates_as_continuous, day_columns",
    [(True, ["day"]), (False, ["day", "day_hour", "day_dow", "day_day", "day_month"])],
)
def test_values_follow_the_columns_the_transformer_writes(model, dates_as_continuous, day_columns):
    config = ValueFactoryConfig(dates_as_continuous=dates_as_continuous)
    group = ValueExtractor.extract(df_meta=model, config=config)
    assert isinstance(group, DataFrameValue)
    assert list(group._values) == ["kind", "amount", "amount_nan", *day_columns, "wait", "wait_nan"]
    kinds = {name: type(value) for name, value in group.items()}
    assert kinds["kind"] is CategoricalValue and kinds["amount"] is ContinuousValue
    assert kinds["amount_nan"] is MissingValue and kinds["wait"] is ContinuousValue
    assert all(kinds[column] is CategoricalValue for column in day_columns[1:])


def test_categorical_values_carry_the_model_categories_and_frequencies(model):
    kind = ValueExtractor.extract(df_meta=model)["kind"]
    assert kind.categories == ["x", "y"] and kind.num_categories_with_nan == 3
    np.testing.assert_allclose(kind.frequencies.numpy(), model["kind"].code_frequencies())
    day_of_week = ValueExtractor.extract(df_meta=model)["day_dow"]
    assert day_of_week.num_categories_with_nan == 8


def test_embeddings_are_capped_by_the_configuration(model):
    config = ValueFactoryConfig(max_embedding_size=2)
    group = ValueExtractor.extract(df_meta=model, config=config)
    assert group["kind"].learned_input_size() == 2 and group["day_day"].learned_input_size() == 2
    assert group["kind"].learned_output_size() == 3
