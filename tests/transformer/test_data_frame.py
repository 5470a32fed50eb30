import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.common.values import CategoricalValue, ValueExtractor
from velora.config import MetaTransformerConfig, ValueFactoryConfig
from velora.metadata import DataFrameMeta
from velora.metadata.factory import MetaExtractor
from velora.model import DataFrameModel
from velora.model.factory import ModelFactory
from velora.transformer import DataFrameTransformer, data_frame
from velora.transformer.base import SequentialTransformer
from velora.transformer.child.categorical import CategoricalTransformer
from velora.transformer.child.quantile import QuantileTransformer
from velora.transformer.child.standard_scaler import StandardScaler
from velora.transformer.column import DateColumnTransformer
from velora.transformer.exceptions import TransformerNotFitError

ENTITIES, T = 6, 4


def time_step_frame():
    """Entities of T steps: a start per entity, gaps missing on first and filler rows."""
    rng = np.random.default_rng(3)
    rows = ENTITIES * T
    starts = pd.Timestamp("2019-12-30") + pd.to_timedelta(rng.integers(0, 900, ENTITIES), "D")
    df = pd.DataFrame(
        {
            "id": np.repeat(np.arange(100, 100 + ENTITIES), T),
            "t_0": np.repeat(starts, T),
            "t_diff": pd.to_timedelta(rng.integers(1, 5000, rows), unit="min"),
            "kind": rng.choice(["a", "b", "c"], rows).astype(object),
            "amount": rng.normal(10.0, 3.0, rows),
            "count": rng.integers(0, 1000, rows),
        }
    )
    first, filler = df.index % T == 0, [7, 11, 23]
    df.loc[first, "t_diff"] = pd.NaT
    df.loc[filler, ["t_0", "t_diff", "kind", "amount"]] = [pd.NaT, pd.NaT, None, np.nan]
    df.loc[[2], "kind"] = None
    df.loc[[5], "amount"] = np.nan
    return df


@pytest.fixture
def frame():
    return time_step_frame()


@pytest.fixture
def model(frame):
    return ModelFactory()(MetaExtractor.extract(frame)).fit(frame)


def part(model, name, columns):
    result = DataFrameModel(DataFrameMeta(name=name))
    result.update({column: model[column] for column in columns})
    return result


@pytest.mark.parametrize(
    "column, quantile, encoder",
    [
        ("kind", False, CategoricalTransformer),
        ("amount", False, StandardScaler),
        ("amount", True, QuantileTransformer),
        ("t_0", False, DateColumnTransformer),
        ("t_diff", False, SequentialTransformer),
    ],
)
def test_each_column_gets_the_encoder_of_its_kind(model, column, quantile, encoder):
    config = MetaTransformerConfig(quantile=quantile)
    transformer = DataFrameTransformer.from_meta(model, config=config)
    assert type(next(t for t in transformer if t.name == column).encoder) is encoder


@pytest.mark.parametrize("continuous_only_dates", [False, True])
def test_out_columns_add_flags_and_calendar_parts(model, continuous_only_dates):
    config = MetaTransformerConfig(continuous_only_dates=continuous_only_dates)
    transformer = DataFrameTransformer.from_meta(model, config=config)
    calendar = [] if continuous_only_dates else ["t_0_hour", "t_0_dow", "t_0_day", "t_0_month"]
    assert transformer.in_columns == ["id", "t_0", "t_diff", "kind", "amount", "count"]
    assert transformer.out_columns == [
        "id", "t_0", *calendar, "t_0_nan", "t_diff", "t_diff_nan", "kind", "kind_nan",
        "amount", "amount_nan", "count",
    ]  # fmt: skip
    assert [t.out_columns[0] for t in transformer] == transformer.in_columns


def test_transformed_frame_is_numeric_with_missing_values_flagged(model, frame):
    scaled = MetaTransformerConfig(quantile=False)
    transformed = DataFrameTransformer.from_meta(model, scaled).fit_transform(frame)
    assert all(pd.api.types.is_numeric_dtype(dtype) for dtype in transformed.dtypes)
    for column in ("t_0", "t_diff", "kind", "amount"):
        missing = frame[column].isna().to_numpy()
        np.testing.assert_array_equal(transformed[column].isna(), missing)
        np.testing.assert_array_equal(transformed[f"{column}_nan"], missing * 1.0)
    assert transformed["amount"].mean() == pytest.approx(0.0, abs=1e-12)
    assert set(transformed["kind"].dropna()) == {1.0, 2.0, 3.0}


@pytest.mark.parametrize("quantile", [False, True])
@pytest.mark.parametrize("max_workers", [None, 1])
def test_inverse_restores_values_names_and_dtypes(model, frame, quantile, max_workers, monkeypatch):
    # Threads for every frame, so that the threaded path runs on this small one.
    monkeypatch.setattr(data_frame, "PARALLEL_MIN_ROWS", 0)
    transformer = DataFrameTransformer.from_meta(model, MetaTransformerConfig(quantile=quantile))
    transformed = transformer.fit_transform(frame, max_workers=max_workers)
    restored = transformer.inverse_transform(transformed, max_workers=max_workers)
    pd.testing.assert_frame_equal(restored, frame, check_exact=not quantile, rtol=1e-9)


def test_text_dates_come_back_as_text_in_their_format():
    df = pd.DataFrame({"on": ["03/01/2020", "29/02/2020", None, "31/12/2023"] * 3})
    model = ModelFactory()(MetaExtractor.extract(df)).fit(df)
    transformer = DataFrameTransformer.from_meta(model)
    restored = transformer.inverse_transform(transformer.fit_transform(df))
    assert restored["on"].tolist() == df["on"].tolist()
    unreadable = transformer.transform(pd.DataFrame({"on": ["someday"]}))
    assert unreadable["on_nan"].tolist() == [1.0]


def test_produce_nans_false_emits_values_where_flags_say_missing(model, frame):
    transformer = DataFrameTransformer.from_meta(model)
    transformed = transformer.fit_transform(frame)
    flagged = transformed.fillna({"amount": 0.0, "kind": 1.0})
    restored = transformer.inverse_transform(flagged, produce_nans=False)
    assert not restored[["kind", "amount", "t_0", "t_diff"]].isna().any().any()
    with_nans = transformer.inverse_transform(flagged, produce_nans=True)
    np.testing.assert_array_equal(with_nans["amount"].isna(), frame["amount"].isna())


def test_inplace_changes_the_callers_frame_only_when_asked(model, frame):
    transformer = DataFrameTransformer.from_meta(model)
    original = frame.copy()
    copied = transformer.fit_transform(frame, inplace=False)
    pd.testing.assert_frame_equal(frame, original)
    assert transformer.transform(frame, inplace=True) is frame
    pd.testing.assert_frame_equal(frame, copied)


def test_fitting_a_sum_fits_its_parts_on_shared_components(model, frame):
    id_part = DataFrameTransformer.from_meta(part(model, "id", ["id"]))
    const_part = DataFrameTransformer.from_meta(part(model, "const", ["t_0"]))
    series_part = DataFrameTransformer.from_meta(part(model, "time_series", ["kind", "t_diff"]))
    total = id_part + const_part + series_part
    assert list(total) == [*id_part, *const_part, *series_part]
    with pytest.raises(TransformerNotFitError):
        series_part.transform(frame)
    transformed = total.fit_transform(frame, max_workers=1)
    assert set(total.out_columns) <= set(transformed.columns)
    series_part._fitted = True
    alone = series_part.transform(frame)
    pd.testing.assert_frame_equal(
        alone[series_part.out_columns], transformed[series_part.out_columns]
    )


def test_frames_lacking_columns_are_transformed_for_the_columns_they_have(model, frame):
    scaled = MetaTransformerConfig(quantile=False)
    transformer = DataFrameTransformer.from_meta(model, scaled).fit(frame)
    one_id = transformer.transform(pd.DataFrame({"id": [102]}))
    assert list(one_id.columns) == ["id"] and one_id["id"].tolist() == [3]
    restored = transformer.inverse_transform(pd.DataFrame({"amount": [0.0]}))
    assert restored["amount"].tolist() == [pytest.approx(frame["amount"].mean())]


def test_model_layout_round_trips_through_values_and_transformers(frame):
    """Meta, model, values, transformer and back, as the synthesizer uses them."""
    model = ModelFactory()(MetaExtractor.extract(frame)).fit(frame)
    parts = {"id": ["id"], "const": ["t_0", "count"], "time_series": ["kind", "amount", "t_diff"]}
    models = {name: part(model, name, columns) for name, columns in parts.items()}
    series_config = ValueFactoryConfig(dates_as_continuous=True)
    values = {
        name: ValueExtractor.extract(
            df_meta=m, config=series_config if name == "time_series" else None
        )
        for name, m in models.items()
    }
    transformers = {name: DataFrameTransformer.from_meta(m) for name, m in models.items()}
    total = transformers["id"] + transformers["const"] + transformers["time_series"]
    transformed = total.fit_transform(frame.copy(), max_workers=None, inplace=True)
    series_columns = transformers["time_series"].out_columns
    batch = {
        column: np.reshape(transformed[column].to_numpy(), (-1, T))
        if column in series_columns
        else np.nanmin(np.reshape(transformed[column].to_numpy(), (-1, T)), -1, keepdims=True)
        for column in transformed.columns
    }
    series, const = values["time_series"], values["const"]
    assert series.unify_inputs(batch).shape == (ENTITIES, T, series.learned_input_size())
    assert const.unify_inputs(batch).shape == (ENTITIES, 1, const.learned_input_size())
    assert values["id"].unify_inputs(batch).shape == (
        ENTITIES,
        1,
        values["id"].learned_input_size(),
    )
    # The entity's start is its first present value, not a filler row's.
    assert batch["t_0_nan"].max() == 0.0
    y = tf.reshape(series.pass_inputs_to_y(transformed), [1, -1, series.learned_output_size()])
    losses = series.loss(tf.reshape(y, [ENTITIES, T, -1]), batch)
    assert all(loss.shape == (ENTITIES, T) for loss in losses.values())
    outputs = series.output_tensors(y, association_rules=None)
    decoded = pd.DataFrame({column: outputs[column].numpy() for column in series_columns})
    restored = transformers["time_series"].inverse_transform(decoded, produce_nans=True)
    pd.testing.assert_frame_equal(restored, frame[parts["time_series"]])
    const_y = tf.reshape(
        const.pass_inputs_to_y(transformed.iloc[::T]), [-1, 1, const.learned_output_size()]
    )
    const_outputs = const.output_tensors(const_y)
    const_frame = pd.DataFrame({key: const_outputs[key].numpy() for key in const._values})
    restored_const = transformers["const"].inverse_transform(const_frame)
    expected = frame[parts["const"]].iloc[::T].reset_index(drop=True)
    pd.testing.assert_frame_equal(restored_const, expected)


def test_category_frequencies_of_the_transformed_frame_match_the_model(model, frame):
    kind = ValueExtractor.extract(df_meta=model)["kind"]
    assert isinstance(kind, CategoricalValue)
    transformed = DataFrameTransformer.from_meta(model).fit_transform(frame)
    counts = transformed["kind"].value_counts(normalize=True)
    codes = counts.reindex(pd.RangeIndex(kind.num_categories_with_nan), fill_value=0.0)
    np.testing.assert_allclose(codes.to_numpy(), kind.frequencies.numpy(), rtol=1e-6)
    kind.frequencies.assign(codes.tolist())
