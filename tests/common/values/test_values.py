import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.common.rules import Association
from velora.common.values import (
    CategoricalValue,
    ContinuousValue,
    DataFrameValue,
    MissingValue,
)
from velora.common.values.continuous import MIN_STDDEV
from velora.config import QuantileTransformerConfig
from velora.transformer.child.quantile import QuantileTransformer

BS, T = 3, 4
CATEGORIES = ["a", "b", "c"]


def make_group():
    return DataFrameValue(
        "time_series",
        [
            CategoricalValue("c", CATEGORIES, [0.0, 0.5, 0.3, 0.2], missing_column="c_nan"),
            MissingValue("c_nan"),
            ContinuousValue("x", missing_column="x_nan"),
            MissingValue("x_nan"),
        ],
    )


def make_inputs(shape=(BS, T), seed=0):
    rng = np.random.default_rng(seed)
    codes = rng.integers(1, 4, shape).astype(np.float64)
    x = rng.normal(size=shape)
    c_nan, x_nan = rng.random(shape) < 0.3, rng.random(shape) < 0.3
    codes[c_nan], x[x_nan] = np.nan, np.nan
    return {"c": codes, "c_nan": c_nan * 1.0, "x": x, "x_nan": x_nan * 1.0}


@pytest.fixture
def group():
    return make_group()


def test_sizes_add_up_over_the_children(group):
    # Embedding of 4 codes, one flag, one number, one flag; 4 logits, a flag logit, the
    # number's mean and scale, a flag logit.
    assert group.learned_input_size() == 4 + 1 + 1 + 1
    assert group.learned_output_size() == 4 + 1 + 2 + 1
    assert list(group._values) == ["c", "c_nan", "x", "x_nan"]
    assert [value.learned_output_size() for _, value in group.items()] == [4, 1, 2, 1]


@pytest.mark.parametrize("shape", [(BS, T), (BS, 1), (5,)], ids=["time", "entity", "rows"])
def test_unify_inputs_appends_the_feature_axis(group, shape):
    x = group.unify_inputs(make_inputs(shape))
    assert x.shape == (*shape, group.learned_input_size()) and x.dtype == tf.float32
    assert np.isfinite(x.numpy()).all()


def test_unify_inputs_reads_frames_and_treats_absent_columns_as_missing(group):
    frame = pd.DataFrame(make_inputs((6,)))
    assert group.unify_inputs(frame).shape == (6, group.learned_input_size())
    partial = group.unify_inputs(frame[["c", "c_nan"]]).numpy()
    # x enters as 0 and its flag as missing.
    np.testing.assert_array_equal(partial[:, -2:], np.tile([0.0, 1.0], (6, 1)))


def test_missing_values_enter_as_zero_with_their_flag(group):
    inputs = make_inputs()
    # A sampled value that its flag marks missing enters like a NaN.
    inputs["x"] = np.nan_to_num(inputs["x"], nan=5.0)
    x = group.unify_inputs(inputs).numpy()
    x_missing = inputs["x_nan"] == 1.0
    np.testing.assert_array_equal(x[..., 5][x_missing], 0.0)
    np.testing.assert_array_equal(x[..., 6], inputs["x_nan"])
    # A missing category enters as the embedding of code 0.
    assert np.allclose(x[..., :4][inputs["c_nan"] == 1.0], group["c"].embedding.numpy()[0])


@pytest.mark.parametrize("shape", [(BS, T), (BS, 1), (1, 7)])
def test_output_tensors_round_trip_pass_inputs_to_y(group, shape):
    inputs = make_inputs(shape)
    y = group.pass_inputs_to_y(inputs)
    assert y.shape == (*shape, group.learned_output_size())
    outputs = group.output_tensors(y)
    rows = int(np.prod(shape))
    assert all(tensor.shape == (rows,) for tensor in outputs.values())
    for name in ("c_nan", "x_nan"):
        np.testing.assert_array_equal(outputs[name].numpy(), inputs[name].ravel())
    present = inputs["c_nan"].ravel() == 0.0
    np.testing.assert_array_equal(outputs["c"].numpy()[present], inputs["c"].ravel()[present])
    x = np.nan_to_num(inputs["x"].ravel())
    np.testing.assert_allclose(outputs["x"].numpy(), x, rtol=1e-6)


@pytest.mark.parametrize("shape", [(BS, T), (BS, 1)], ids=["time-series", "constant"])
def test_loss_entries_have_the_shape_of_the_columns_and_stay_finite(group, shape):
    inputs = make_inputs(shape)
    y = tf.random.normal([*shape, group.learned_output_size()])
    losses = group.loss(y, inputs)
    assert list(losses) == [f"{name}_reconstruction_loss" for name in group._values]
    for loss in losses.values():
        assert loss.shape == shape and np.isfinite(loss.numpy()).all()


def test_perfect_prediction_costs_less_than_a_wrong_one(group):
    inputs = make_inputs()
    perfect = group.loss(group.pass_inputs_to_y(inputs), inputs)
    wrong = group.loss(group.pass_inputs_to_y(make_inputs(seed=1)), inputs)
    for name in perfect:
        assert tf.reduce_sum(perfect[name]) < tf.reduce_sum(wrong[name]), name


def test_missing_values_are_not_reconstructed_but_their_flags_are(group):
    inputs = make_inputs()
    losses = group.loss(tf.random.normal([BS, T, group.learned_output_size()]), inputs)
    np.testing.assert_array_equal(losses["x_reconstruction_loss"].numpy()[inputs["x_nan"] == 1], 0)
    np.testing.assert_array_equal(losses["c_reconstruction_loss"].numpy()[inputs["c_nan"] == 1], 0)
    filled = (inputs["c_nan"] == 0) | (inputs["x_nan"] == 0)
    assert (losses["x_nan_reconstruction_loss"].numpy()[filled] > 0).all()


def test_rows_with_every_value_missing_add_no_loss(group):
    # Filler rows after an entity's last event: a model that learned them would emit them.
    inputs = make_inputs()
    empty = (inputs["c_nan"] == 1) & (inputs["x_nan"] == 1)
    assert empty.any() and not empty.all()
    losses = group.loss(tf.random.normal([BS, T, group.learned_output_size()]), inputs)
    for name, loss in losses.items():
        np.testing.assert_array_equal(loss.numpy()[empty], 0, err_msg=name)
        assert (loss.numpy()[~empty] != 0).any(), name


def test_numbers_are_sampled_with_their_learned_spread():
    value = ContinuousValue("x")
    # Mean 2, raw scale log(e - 1): a standard deviation of softplus = 1.
    y = tf.constant([[2.0, np.log(np.e - 1.0)]] * 20000)
    draws = value.decode(y).numpy()
    assert draws.mean() == pytest.approx(2.0, abs=0.05)
    assert draws.std() == pytest.approx(1.0, abs=0.05)
    # The loss is the Gaussian's negative log-likelihood: lowest at the true spread.
    columns = {"x": tf.constant(draws)}
    nll = [
        float(tf.reduce_mean(value.loss(tf.constant([[2.0, np.log(np.expm1(spread))]]), columns)))
        for spread in (0.3, 1.0, 3.0)
    ]
    assert nll[1] < nll[0] and nll[1] < nll[2]


def test_categories_are_sampled_from_the_softmax_of_logits_and_prior():
    value = CategoricalValue("c", CATEGORIES, frequencies=[0.0, 0.25, 0.25, 0.5])
    y = tf.constant([[0.0, np.log(2.0), 0.0, 0.0]] * 20000)
    codes = value.decode(y).numpy()
    # Prior 1/4, 1/4, 1/2 times the softmax's 2:1:1 gives 2:1:2; code 0 is never drawn.
    np.testing.assert_allclose(
        np.bincount(codes.astype(int), minlength=4) / 20000, [0.0, 0.4, 0.2, 0.4], atol=0.02
    )


def test_frequencies_are_a_variable_of_all_codes():
    value = CategoricalValue("c", CATEGORIES)
    assert value.num_categories_with_nan == 4 and value.frequencies.shape == (4,)
    value.frequencies.assign([0.0, 0.0, 0.0, 1.0])
    assert set(value.decode(tf.zeros([50, 4])).numpy()) == {3.0}
    assert value.code_of("b") == 2
    with pytest.raises(KeyError):
        value.code_of("z")


def test_a_column_without_categories_decodes_its_missing_code():
    value = CategoricalValue("empty", [])
    assert value.num_categories_with_nan == 1
    np.testing.assert_array_equal(value.decode(tf.zeros([3, 1])).numpy(), 0.0)


def test_out_of_range_codes_read_as_unknown():
    value = CategoricalValue("c", CATEGORIES)
    codes = value.codes({"c": tf.constant([2.0, 7.0, -1.0, np.nan])})
    np.testing.assert_array_equal(codes.numpy(), [2, 0, 0, 0])


def test_weights_are_tracked_penalised_and_trained_through_inputs(group):
    class Holder(tf.keras.Model):
        def __init__(self):
            super().__init__()
            self.group = group

    holder = Holder()
    embedding = group["c"].embedding
    assert [v.path for v in holder.trainable_variables] == [embedding.path]
    assert len(holder.non_trainable_variables) == 1
    assert group["c"].regularization_losses == [embedding]
    assert group["x"].regularization_losses == [] == group["x_nan"].regularization_losses
    with tf.GradientTape() as tape:
        total = tf.reduce_sum(group.unify_inputs(make_inputs()))
    assert tape.gradient(total, embedding) is not None
    group.build(None)
    group.build([BS, T, None])
    assert group.built


def test_association_rules_sample_only_allowed_combinations():
    group = DataFrameValue(
        "ts", [CategoricalValue("c", CATEGORIES), CategoricalValue("d", ["u", "v"])]
    )
    rule = Association(columns=["c", "d"], allowed=[("a", "v"), ("c", "u")])
    # The logits favour ("b", "u"), which the rule forbids.
    y = tf.constant([[0.0, 0.0, 5.0, 0.0, 0.0, 5.0, 0.0]] * 2000)
    outputs = group.output_tensors(y, association_rules=[rule])
    pairs = set(zip(outputs["c"].numpy(), outputs["d"].numpy(), strict=True))
    assert pairs == {(1.0, 2.0), (3.0, 1.0)}
    with pytest.raises(ValueError, match="z"):
        group.output_tensors(y, association_rules=[Association(["c", "d"], [("z", "u")])])


def test_loss_and_decoding_run_in_a_compiled_step(group):
    @tf.function
    def step(inputs, y_0):
        x_0 = group.unify_inputs(group.output_tensors(y_0))
        return x_0, tf.add_n(list(group.loss(tf.zeros([BS, T, width]), inputs).values()))

    width = group.learned_output_size()
    x_0, total = step(
        {k: tf.constant(v) for k, v in make_inputs().items()}, tf.zeros([BS, 1, width])
    )
    assert x_0.shape == (BS, 7) and total.shape == (BS, T)


@pytest.mark.parametrize("components", [1, 3])
def test_a_certain_output_decodes_to_its_value_whatever_the_components(components):
    value = ContinuousValue("x", components=components)
    columns = {"x": tf.constant([[-1.5, 0.0, 2.25]])}
    y = value.as_output(columns)
    assert y.shape == (1, 3, value.learned_output_size())
    np.testing.assert_allclose(value.decode(tf.reshape(y, [3, -1])).numpy(), [-1.5, 0.0, 2.25])


def test_one_component_is_the_gaussian_negative_log_likelihood():
    x, mean, scale = np.float32([-2.0, 0.3, 4.0]), np.float32(0.5), np.float32(0.2)
    loss = ContinuousValue("x").loss(tf.constant([[[mean, scale]] * 3]), {"x": tf.constant([x])})
    stddev = tf.nn.softplus(scale).numpy() + np.float32(MIN_STDDEV)
    expected = np.float32(0.5) * np.square((mean - x) / stddev) + np.log(stddev)
    np.testing.assert_array_equal(loss.numpy()[0], expected)


def test_a_mixture_of_equal_components_has_the_loss_of_one_gaussian():
    single, mixture = ContinuousValue("x"), ContinuousValue("x", components=3)
    columns = {"x": tf.constant([[-2.0, 0.3, 4.0]])}
    mean, scale = 0.5, 0.2
    y_single = tf.constant([[[mean, scale]] * 3])
    y_mixture = tf.constant([[[mean] * 3 + [scale] * 3 + [0.7, 0.7, 0.7]] * 3])
    np.testing.assert_allclose(
        mixture.loss(y_mixture, columns).numpy(), single.loss(y_single, columns).numpy(), rtol=1e-5
    )


def test_a_mixture_draws_each_component_by_its_weight():
    value = ContinuousValue("x", components=2)
    # A near point mass at -3 weighing 1/4 beside a unit Gaussian at 2 weighing 3/4.
    spread = np.log(np.e - 1.0)
    y = tf.constant([[-3.0, 2.0, -20.0, spread, 0.0, np.log(3.0)]] * 20000)
    draws = value.decode(y).numpy()
    at_mass = np.abs(draws + 3.0) < 1e-3
    assert at_mass.mean() == pytest.approx(0.25, abs=0.015)
    assert draws[~at_mass].mean() == pytest.approx(2.0, abs=0.05)
    assert draws[~at_mass].std() == pytest.approx(1.0, abs=0.05)


def test_a_mixture_needs_a_component():
    with pytest.raises(ValueError, match='ContinuousValue\\(name="x"\\): components must be'):
        ContinuousValue("x", components=0)


@pytest.mark.parametrize("components", [1, 3])
def test_a_heavy_tailed_gap_with_zeros_comes_back_with_its_tails_and_zeros(components):
    # A quarter of the gaps are zero (events of one sitting), the rest log-normal pauses.
    rng = np.random.default_rng(1)
    gaps = np.where(rng.random(20000) < 0.25, 0.0, rng.lognormal(0.0, 1.0, 20000))
    config = QuantileTransformerConfig(spread_ties=True)
    scaler = QuantileTransformer("gap", config).fit(pd.DataFrame({"gap": gaps}))
    scores = tf.constant(scaler.transform(pd.DataFrame({"gap": gaps}))["gap"], tf.float32)
    value = ContinuousValue("gap", components=components)
    # Separated starting means, as a trained network's differing outputs give.
    start = np.zeros(value.learned_output_size(), np.float32)
    start[:components] = np.linspace(-1.0, 1.0, components)
    y = tf.Variable(start)
    optimizer = tf.keras.optimizers.Adam(0.05)

    @tf.function
    def step():
        with tf.GradientTape() as tape:
            rows = tf.broadcast_to(y, [20000, y.shape[0]])
            loss = tf.reduce_mean(value.loss(rows, {"gap": scores}))
        optimizer.apply_gradients([(tape.gradient(loss, y), y)])

    for _ in range(500):
        step()
    drawn = value.decode(tf.broadcast_to(y, [20000, y.shape[0]])).numpy()
    synthetic = scaler.inverse_transform(pd.DataFrame({"gap": drawn}))["gap"].to_numpy()
    assert (synthetic == 0).mean() == pytest.approx((gaps == 0).mean(), abs=0.02)
    # Both tails of the pauses: their 1st and 99th percentiles.
    tails = [np.quantile(sample[sample > 0], [0.01, 0.99]) for sample in (synthetic, gaps)]
    np.testing.assert_allclose(*tails, rtol=0.1)
