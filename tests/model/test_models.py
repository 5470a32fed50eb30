import numpy as np
import pandas as pd
import pytest

from velora.metadata import DataFrameMeta
from velora.metadata.factory import MetaExtractor
from velora.metadata.value import TimeDelta
from velora.model import DataFrameModel
from velora.model.categorical import CategoricalModel
from velora.model.continuous import ContinuousModel, TimeDeltaModel
from velora.model.datetime import DateTimeModel
from velora.model.factory import ModelFactory

ROWS = 30


@pytest.fixture
def frame():
    rng = np.random.default_rng(1)
    df = pd.DataFrame(
        {
            "colour": rng.choice(["red", "green", "blue"], ROWS, p=[0.5, 0.3, 0.2]).astype(object),
            "price": rng.normal(5.0, 2.0, ROWS),
            "when": pd.date_range("2020-01-06 09:00", periods=ROWS, freq="25h"),
            "gap": pd.to_timedelta(rng.integers(1, 1000, ROWS), unit="s"),
        }
    )
    df.loc[[0, 4], "colour"] = None
    df.loc[[2], "when"] = pd.NaT
    df.loc[[5, 6], "gap"] = pd.NaT
    return df


@pytest.fixture
def model(frame):
    return ModelFactory()(MetaExtractor.extract(frame)).fit(frame)


@pytest.mark.parametrize(
    "column, kind, missing",
    [
        ("colour", CategoricalModel, 2),
        ("price", ContinuousModel, 0),
        ("when", DateTimeModel, 1),
        ("gap", TimeDeltaModel, 2),
    ],
)
def test_one_model_per_column_of_the_meta_kind(model, column, kind, missing):
    child = model[column]
    assert type(child) is kind and child.name == column
    assert child.num_missing == missing
    assert child.missing_column == (f"{column}_nan" if missing else None)


def test_categorical_model_orders_categories_as_codes_and_counts_them(model, frame):
    colour = model["colour"]
    assert colour.categories == ["blue", "green", "red"]
    counts = frame["colour"].value_counts(normalize=True)
    assert colour.frequencies == pytest.approx(counts[colour.categories].tolist())
    assert colour.code_frequencies()[0] == 0.0 and colour.code_frequencies().sum() == 1.0


def test_continuous_and_duration_summaries(model, frame):
    price, gap = model["price"], model["gap"]
    assert price.mean == pytest.approx(frame["price"].mean())
    assert (price.min, price.max) == (frame["price"].min(), frame["price"].max())
    assert price.quantiles[0.5] == pytest.approx(frame["price"].median())
    assert (gap.min, gap.max) == (frame["gap"].min(), frame["gap"].max())
    assert gap.quantiles[0.5] == frame["gap"].median()


def test_date_model_keeps_range_format_and_calendar_values(model, frame):
    when = model["when"]
    assert (when.min, when.max) == (frame["when"].min(), frame["when"].max())
    assert when.date_format == "%Y-%m-%d %H:%M:%S"
    assert when.calendar_categories["when_dow"] == list(range(7))
    assert set(when.calendar_categories) == {
        f"when_{part}" for part in ("hour", "dow", "day", "month")
    }


@pytest.mark.parametrize(
    "values, kind",
    [
        ([7, 7, 7, 7], CategoricalModel),
        ([np.nan] * 4, CategoricalModel),
        ([None] * 4, CategoricalModel),
    ],
    ids=["constant", "all-nan", "all-none"],
)
def test_constant_and_empty_columns(values, kind):
    df = pd.DataFrame({"c": values})
    child = ModelFactory()(MetaExtractor.extract(df)).fit(df)["c"]
    assert type(child) is kind
    assert len(child.categories) == (1 if values[0] == 7 else 0)
    assert child.can_be_missing == (values[0] != 7)


def test_model_mapping_and_fit_returns_the_model(frame):
    meta = MetaExtractor.extract(frame)
    model = ModelFactory()(meta)
    assert model.fit(frame) is model
    assert model.name == meta.name and list(model) == list(frame.columns)
    assert [child.name for child in model.children] == list(frame.columns)
    assert dict(model.items())["gap"] is model["gap"] and len(model) == 4
    with pytest.raises(KeyError):
        model["absent"]


def test_empty_model_grows_in_update_order_with_its_meta(model):
    part = DataFrameModel(DataFrameMeta(name="time_series"))
    assert len(part) == 0 and part.name == "time_series"
    part.update({"gap": model["gap"]})
    part.update({"colour": model["colour"]})
    assert list(part) == ["gap", "colour"] and part.children[0] is model["gap"]
    assert list(part.meta) == ["gap", "colour"]


def test_meta_extractor_describes_durations_as_timedelta(frame):
    meta = MetaExtractor.extract(frame)["gap"]
    assert isinstance(meta, TimeDelta)
    assert meta.min == np.timedelta64(frame["gap"].min()) and isinstance(meta.max, np.timedelta64)
    assert meta.num_missing == 2
