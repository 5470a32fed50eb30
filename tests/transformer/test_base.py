import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velora.config import QuantileTransformerConfig
from velora.transformer import SequentialTransformer, Transformer
from velora.transformer.child import CategoricalTransformer, QuantileTransformer, StandardScaler
from velora.transformer.exceptions import TransformerNotFitError


class AffineStep(Transformer):
    """Maps x to x * scale + offset and records the column it was fitted on."""

    def __init__(self, name, scale, offset):
        super().__init__(name)
        self.scale, self.offset = scale, offset

    def fit(self, df, **kwargs):
        self.seen = df[self.name].tolist()
        return super().fit(df)

    def transform(self, df, **kwargs):
        self._assert_fitted()
        df[self.name] = df[self.name] * self.scale + self.offset
        return df

    def inverse_transform(self, df, **kwargs):
        self._assert_fitted()
        df[self.name] = (df[self.name] - self.offset) / self.scale
        return df


LEAVES = {
    "categorical": CategoricalTransformer,
    "scaler": StandardScaler,
    "quantile": QuantileTransformer,
    "uniform": lambda name: QuantileTransformer(
        name, QuantileTransformerConfig(output_distribution="uniform")
    ),
}
ALL = {
    **LEAVES,
    "base": Transformer,
    "sequential": lambda name: SequentialTransformer(
        name, [StandardScaler(name), Transformer(name)]
    ),
}
NUMERIC = ["scaler", "quantile", "uniform"]


def frame():
    return pd.DataFrame({"x": [3.0, np.nan, 1.0, 2.0], "other": ["a", "b", "c", "d"]})


def affine_chain():
    return SequentialTransformer("x", [AffineStep("x", 2.0, 0.0), AffineStep("x", 1.0, 10.0)])


@pytest.mark.parametrize("make", ALL.values(), ids=ALL.keys())
@pytest.mark.parametrize("method", ["transform", "inverse_transform"])
def test_use_before_fit_raises_naming_the_transformer(make, method):
    transformer = make("x")
    with pytest.raises(TransformerNotFitError) as info:
        getattr(transformer, method)(frame())
    assert str(info.value) == (
        f"{transformer!r} was used before it was fitted: "
        "call its fit(df) or fit_transform(df) first."
    )


@pytest.mark.parametrize("make", LEAVES.values(), ids=LEAVES.keys())
def test_missing_column_raises_key_error_and_keeps_frame(make):
    transformer = make("x").fit(frame())
    df = frame().drop(columns="x")
    for method in (make("x").fit, transformer.transform, transformer.inverse_transform):
        with pytest.raises(KeyError):
            method(df)
        pd.testing.assert_frame_equal(df, frame().drop(columns="x"))


@pytest.mark.parametrize("make", LEAVES.values(), ids=LEAVES.keys())
def test_extra_kwargs_ignored_and_state_kept(make):
    transformer = make("x")
    out = transformer.fit_transform(frame(), verbose=True)
    state = pickle.dumps(transformer)
    pd.testing.assert_frame_equal(out, make("x").fit_transform(frame()))
    transformer.inverse_transform(transformer.transform(frame(), verbose=True), verbose=True)
    assert pickle.dumps(transformer) == state


@pytest.mark.parametrize(
    "transformer, expected",
    [
        (Transformer("x"), [3.0, np.nan, 1.0, 2.0]),
        (StandardScaler("x"), [3.0, np.nan, 1.0, 2.0]),
        (CategoricalTransformer("x"), [0, 0, 0, 0]),
        (SequentialTransformer("x", [AffineStep("x", 2.0, 0.0)]), [6.0, np.nan, 2.0, 4.0]),
    ],
)
def test_fitted_flag_set_from_outside_enables_transform(transformer, expected):
    transformer._fitted = True
    assert transformer.transform(frame())["x"].tolist() == pytest.approx(expected, nan_ok=True)


def test_sequential_fits_each_child_on_output_of_earlier_ones():
    chain = affine_chain()
    df = frame()
    chain.fit(df)
    pd.testing.assert_frame_equal(df, frame())
    assert chain[0].seen == pytest.approx([3.0, np.nan, 1.0, 2.0], nan_ok=True)
    assert chain[1].seen == pytest.approx([6.0, np.nan, 2.0, 4.0], nan_ok=True)


def test_sequential_transforms_in_order_and_inverts_in_reverse():
    chain = affine_chain().fit(frame())
    out = chain.transform(frame())
    assert out["x"].tolist() == pytest.approx([16.0, np.nan, 12.0, 14.0], nan_ok=True)
    pd.testing.assert_frame_equal(chain.inverse_transform(out), frame())


def test_sequential_with_unfitted_child_leaves_frame_untouched():
    chain = affine_chain().fit(frame())
    chain[1]._fitted = False
    df = frame()
    with pytest.raises(TransformerNotFitError):
        chain.transform(df)
    pd.testing.assert_frame_equal(df, frame())


def test_sequential_container_and_columns():
    encoder = Transformer("when")
    encoder.out_columns = ["when", "when_hour"]
    chain = SequentialTransformer("when", [encoder, Transformer("when_hour")])
    assert (len(chain), chain[0], list(chain)) == (2, encoder, chain.transformers)
    assert chain.in_columns == ["when"]
    assert chain.out_columns == ["when", "when_hour"]
    assert list(encoder) == [encoder]
    assert repr(chain) == (
        'SequentialTransformer(name="when", '
        'transformers=[Transformer(name="when"), Transformer(name="when_hour")])'
    )
    with pytest.raises(ValueError):
        SequentialTransformer("when", [])


numeric_values = st.lists(
    st.one_of(st.floats(-1e6, 1e6), st.just(np.nan)), min_size=1, max_size=60
).filter(lambda values: not np.isnan(values).all())


@pytest.mark.parametrize("kind", NUMERIC)
@given(values=numeric_values)
def test_numeric_round_trip_keeps_floats_and_nans(kind, values):
    df = pd.DataFrame({"x": values})
    transformer = LEAVES[kind]("x")
    out = transformer.fit_transform(df.copy())
    assert np.isfinite(out["x"]).sum() == np.isfinite(df["x"]).sum()
    spread = np.nanmax(values) - np.nanmin(values)
    back = transformer.inverse_transform(out)["x"]
    np.testing.assert_allclose(back, values, rtol=0, atol=1e-7 * (spread + 1))


@pytest.mark.parametrize("kind", NUMERIC)
@pytest.mark.parametrize("dtype", ["int64", "int32", "bool", "Int64", "float32"])
@given(values=st.lists(st.integers(-(10**6), 10**6), min_size=1, max_size=40))
def test_numeric_round_trip_restores_dtype(kind, dtype, values):
    column = pd.Series(values)
    column = column > 0 if dtype == "bool" else column.astype(dtype)
    transformer = LEAVES[kind]("x")
    back = transformer.inverse_transform(transformer.fit_transform(pd.DataFrame({"x": column})))
    pd.testing.assert_series_equal(back["x"], column, check_names=False)


@pytest.mark.parametrize("kind", NUMERIC)
def test_numeric_rejects_text(kind):
    with pytest.raises(TypeError):
        LEAVES[kind]("x").fit(pd.DataFrame({"x": ["a", "b"]}))


@pytest.mark.parametrize("kind", NUMERIC)
def test_numeric_column_without_finite_values_fits_and_stays_missing(kind):
    transformer = LEAVES[kind]("x").fit(pd.DataFrame({"x": [np.nan, np.nan]}))
    back = transformer.inverse_transform(transformer.transform(pd.DataFrame({"x": [np.nan]})))
    assert back["x"].isna().all()


@pytest.mark.parametrize("kind", NUMERIC)
@pytest.mark.parametrize(
    "dtype, expected",
    [
        ("int64", pd.Series([np.nan, 3.0])),
        ("Int64", pd.Series([pd.NA, 3], dtype="Int64")),
        ("float32", pd.Series([np.nan, 3.0], dtype="float32")),
    ],
)
def test_numeric_inverse_of_nan_keeps_it_missing(kind, dtype, expected):
    transformer = LEAVES[kind]("x").fit(pd.DataFrame({"x": pd.Series([1, 3], dtype=dtype)}))
    out = transformer.transform(pd.DataFrame({"x": [np.nan, 3.0]}))
    pd.testing.assert_series_equal(
        transformer.inverse_transform(out)["x"], expected, check_names=False
    )
