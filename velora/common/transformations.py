"""Network building blocks: dense maps, residual stacks and Gaussian encoders.

Every layer maps the last axis and keeps all leading ones, so the same network serves
inputs of one time step ([bs, 1, in]) and of whole sequences ([bs, T, in]). Weights are
float32 and created by `build`, which takes the input width as an int or as a shape, or
lazily on the first call.
"""

from collections.abc import Sequence
from numbers import Integral

import tensorflow as tf

ACTIVATIONS = {"none": None, "relu": tf.nn.relu}

# Keeps the standard deviation away from 0 even where softplus underflows, so the
# log-variances and the divisions of the KL terms stay finite.
MIN_STDDEV = 1e-4


def _input_width(input_shape, default: int | None = None) -> int:
    """The width of the last axis given an int, a shape (tuple, list, TensorShape) or None."""
    if isinstance(input_shape, Integral):
        return int(input_shape)
    width = default if input_shape is None else tf.TensorShape(input_shape)[-1]
    if width is None:
        raise ValueError(f"cannot infer the input width from the shape {input_shape!r}")
    return int(width)


def _activation(name: str):
    try:
        return ACTIVATIONS[name]
    except KeyError:
        raise ValueError(
            f"unknown activation {name!r}; expected one of {sorted(ACTIVATIONS)}"
        ) from None


class DenseTransformation(tf.keras.layers.Layer):
    """A dense map of the last axis from `input_size` to `output_size` features.

    Batch normalisation (over all leading axes) and the activation ("none" or "relu")
    follow when asked for.
    """

    def __init__(
        self,
        output_size: int,
        input_size: int | None = None,
        batch_norm: bool = False,
        activation: str = "none",
        name: str | None = None,
        **kwargs,
    ):
        super().__init__(name=name, dtype="float32", **kwargs)
        self.input_size = input_size
        self.output_size = output_size
        self.batch_norm = batch_norm
        self.activation = activation
        self._activation = _activation(activation)
        # Batch norm recentres the output, which makes a bias redundant.
        self._dense = tf.keras.layers.Dense(output_size, use_bias=not batch_norm, dtype="float32")
        self._norm = tf.keras.layers.BatchNormalization(dtype="float32") if batch_norm else None

    def build(self, input_shape=None):
        self._dense.build((None, _input_width(input_shape, self.input_size)))
        if self._norm is not None:
            self._norm.build((None, self.output_size))

    def call(self, inputs, training=None):
        outputs = self._dense(inputs)
        if self._norm is not None:
            # Normalise over all leading axes (batch and time alike) whatever the rank.
            flat = tf.reshape(outputs, [-1, self.output_size])
            outputs = tf.reshape(self._norm(flat, training=training), tf.shape(outputs))
        if self._activation is not None:
            outputs = self._activation(outputs)
        return outputs

    @property
    def regularization_losses(self) -> list:
        """The kernel: the weight an L2 penalty applies to (the bias is left free)."""
        return [self._dense.kernel]


class _ResidualBlock(tf.keras.layers.Layer):
    """`depth` dense layers of one width whose output is added to the block's input."""

    def __init__(self, width: int, depth: int, batch_norm: bool, activation: str, **kwargs):
        super().__init__(dtype="float32", **kwargs)
        self.width = width
        self._activation = _activation(activation)
        # The last layer stays linear: the activation follows the residual sum.
        self._dense_layers = [
            DenseTransformation(
                width, batch_norm=batch_norm, activation=activation if i < depth - 1 else "none"
            )
            for i in range(depth)
        ]
        self._projection = None

    def build(self, input_shape):
        width = _input_width(input_shape)
        if width != self.width:
            self._projection = DenseTransformation(self.width)
            self._projection.build(width)
        for layer in self._dense_layers:
            layer.build(width)
            width = self.width

    def call(self, inputs, training=None):
        outputs = inputs
        for layer in self._dense_layers:
            outputs = layer(outputs, training=training)
        outputs += inputs if self._projection is None else self._projection(inputs)
        return outputs if self._activation is None else self._activation(outputs)

    @property
    def regularization_losses(self) -> list:
        layers = self._dense_layers + ([] if self._projection is None else [self._projection])
        return [kernel for layer in layers for kernel in layer.regularization_losses]


class ResnetTransformation(tf.keras.layers.Layer):
    """Residual blocks, one per entry of `layer_sizes`, each of `depths` dense layers.

    A block adds its input to the output of its dense layers (through a linear projection
    where the widths differ) and applies the activation to the sum. `depths` is one int for
    all blocks or one int per block. The output width is `layer_sizes[-1]`.
    """

    def __init__(
        self,
        layer_sizes: Sequence[int],
        input_size: int | None = None,
        depths: int | Sequence[int] = 2,
        batch_norm: bool = False,
        activation: str = "relu",
        name: str | None = None,
        **kwargs,
    ):
        super().__init__(name=name, dtype="float32", **kwargs)
        depths = [depths] * len(layer_sizes) if isinstance(depths, Integral) else list(depths)
        if not layer_sizes or len(depths) != len(layer_sizes) or min(depths) < 1:
            raise ValueError(
                f"need at least one block and one depth >= 1 per block, got layer_sizes="
                f"{list(layer_sizes)} and depths={depths}"
            )
        self.input_size = input_size
        self.layer_sizes = list(layer_sizes)
        self.depths = depths
        self.output_size = self.layer_sizes[-1]
        self._blocks = [
            _ResidualBlock(width, depth, batch_norm, activation)
            for width, depth in zip(self.layer_sizes, depths, strict=True)
        ]

    def build(self, input_shape=None):
        width = _input_width(input_shape, self.input_size)
        for block in self._blocks:
            block.build(width)
            width = block.width

    def call(self, inputs, training=None):
        outputs = inputs
        for block in self._blocks:
            outputs = block(outputs, training=training)
        return outputs

    @property
    def regularization_losses(self) -> list:
        """The kernels of every dense layer, projections included."""
        return [kernel for block in self._blocks for kernel in block.regularization_losses]


class GaussianEncoder(tf.keras.layers.Layer):
    """Maps inputs to the mean and standard deviation of a diagonal Gaussian.

    `num_layers` hidden relu layers of width `capacity` feed two linear heads of width
    `output_size`; the standard deviation passes through softplus and is floored at
    `MIN_STDDEV`, so it is strictly positive for any input. Calling the layer returns
    the pair (mean, stddev).
    """

    def __init__(
        self,
        output_size: int,
        input_size: int | None = None,
        capacity: int = 128,
        num_layers: int = 1,
        batch_norm: bool = False,
        name: str | None = None,
        **kwargs,
    ):
        super().__init__(name=name, dtype="float32", **kwargs)
        self.input_size = input_size
        self.output_size = output_size
        self.capacity = capacity
        self.num_layers = num_layers
        self._hidden = [
            DenseTransformation(capacity, batch_norm=batch_norm, activation="relu")
            for _ in range(num_layers)
        ]
        self._mean = DenseTransformation(output_size)
        self._stddev = DenseTransformation(output_size)

    def build(self, input_shape=None):
        width = _input_width(input_shape, self.input_size)
        for layer in self._hidden:
            layer.build(width)
            width = self.capacity
        self._mean.build(width)
        self._stddev.build(width)

    def call(self, inputs, training=None):
        hidden = inputs
        for layer in self._hidden:
            hidden = layer(hidden, training=training)
        stddev = tf.nn.softplus(self._stddev(hidden)) + MIN_STDDEV
        return self._mean(hidden), stddev

    @property
    def regularization_losses(self) -> list:
        """The kernels of the hidden layers and of both heads."""
        layers = [*self._hidden, self._mean, self._stddev]
        return [kernel for layer in layers for kernel in layer.regularization_losses]
