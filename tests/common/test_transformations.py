import numpy as np
import pytest
import tensorflow as tf

from velora.common.transformations import (
    MIN_STDDEV,
    DenseTransformation,
    GaussianEncoder,
    ResnetTransformation,
)

# Each layer as the model constructs it, with its output width and number of kernels.
LAYERS = {
    "dense": (lambda: DenseTransformation(name="id_init", input_size=3, output_size=5), 5, 1),
    # Two blocks of two layers plus the projection from 3 to 4 features.
    "resnet": (lambda: ResnetTransformation(input_size=3, layer_sizes=[4, 4], depths=2), 4, 5),
    "gaussian": (
        lambda: GaussianEncoder(input_size=3, output_size=5, capacity=8, num_layers=2),
        5,
        4,
    ),
}


def outputs_of(layer, inputs):
    outputs = layer(inputs)
    return list(outputs) if isinstance(layer, GaussianEncoder) else [outputs]


@pytest.mark.parametrize("kind", LAYERS)
@pytest.mark.parametrize("leading", [(4, 7), (4, 1)], ids=["sequence", "one_step"])
def test_outputs_keep_leading_axes_and_are_float32(kind, leading):
    make, width, _ = LAYERS[kind]
    outputs = outputs_of(make(), np.random.default_rng(0).normal(size=(*leading, 3)))
    assert [tuple(output.shape) for output in outputs] == [(*leading, width)] * len(outputs)
    assert all(output.dtype == tf.float32 for output in outputs)


@pytest.mark.parametrize("kind", LAYERS)
def test_regularization_losses_are_the_kernels(kind):
    make, _, kernel_count = LAYERS[kind]
    layer = make()
    layer.build(3)
    kernels = layer.regularization_losses
    trainable = {id(variable) for variable in layer.trainable_variables}
    assert len(kernels) == kernel_count
    assert all(id(kernel) in trainable and len(kernel.shape) == 2 for kernel in kernels)


@pytest.mark.parametrize("shape", [3, (None, 3), [None, None, 3], tf.TensorShape([None, 3])])
@pytest.mark.parametrize("kind", LAYERS)
def test_build_takes_width_or_shape_and_overrides_input_size(kind, shape):
    make, width, _ = LAYERS[kind]
    layer = make()
    layer.input_size = 99  # the width passed to build wins
    layer.build(shape)
    assert layer.built and layer.regularization_losses[0].shape[0] == 3
    assert outputs_of(layer, tf.zeros((2, 1, 3)))[0].shape == (2, 1, width)


def test_stddev_stays_positive_for_huge_negative_preactivations():
    encoder = GaussianEncoder(input_size=3, output_size=8, capacity=16)
    inputs = np.random.default_rng(1).choice([-1e6, 1e6], size=(32, 4, 3))
    _, stddev = encoder(inputs)
    # Huge pre-activations of both signs: softplus underflows to 0 for some, and the floor
    # is what keeps them positive and their logarithm finite.
    assert np.isclose(np.min(stddev), MIN_STDDEV)
    assert np.all(np.isfinite(np.log(stddev)))


@pytest.mark.parametrize(
    "layer_sizes, activation, expected",
    [([3], "none", lambda x: x), ([3], "relu", lambda x: np.maximum(x, 0)), ([5], "none", None)],
    ids=["identity", "relu", "projected"],
)
def test_resnet_blocks_add_their_input(layer_sizes, activation, expected):
    layer = ResnetTransformation(input_size=3, layer_sizes=layer_sizes, activation=activation)
    layer.build(3)
    for variable in layer.trainable_variables:
        variable.assign(tf.zeros_like(variable))
    inputs = np.random.default_rng(2).normal(size=(2, 4, 3)).astype("float32")
    # With zero dense weights only the skip path is left: the input itself, or its zero
    # projection where the block's width differs.
    want = np.zeros((2, 4, 5)) if expected is None else expected(inputs)
    np.testing.assert_allclose(layer(inputs), want, atol=1e-6)


def test_batch_norm_normalises_sequences_in_training():
    layer = DenseTransformation(input_size=3, output_size=4, batch_norm=True)
    inputs = np.random.default_rng(3).normal(5.0, 3.0, size=(16, 10, 3))
    outputs = layer(inputs, training=True).numpy()
    np.testing.assert_allclose(outputs.mean(axis=(0, 1)), 0.0, atol=1e-3)
    np.testing.assert_allclose(outputs.std(axis=(0, 1)), 1.0, atol=1e-2)


@pytest.mark.parametrize(
    "make",
    [
        lambda: DenseTransformation(output_size=2, activation="tanh"),
        lambda: ResnetTransformation(layer_sizes=[4, 4], depths=[2]),
        lambda: ResnetTransformation(layer_sizes=[4], depths=0),
    ],
    ids=["activation", "depth_per_block", "zero_depth"],
)
def test_invalid_construction_is_refused(make):
    with pytest.raises(ValueError):
        make()
