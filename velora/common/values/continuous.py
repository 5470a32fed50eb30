"""Continuous values: scaled numbers, dates and durations."""

import tensorflow as tf

from velora.common import randomness
from velora.common.values.base import CERTAIN_LOGIT, Columns, Value

# Floor of the standard deviation in training, in scaled units: it keeps the loss bounded
# when a value is reconstructed exactly.
MIN_STDDEV = 1e-2


class ContinuousValue(Value):
    """A scaled number, modelled as a Gaussian whose mean and spread the model emits.

    The input is the number itself; the output is its mean and a raw scale, whose softplus
    is the standard deviation. Decoding samples from that Gaussian, so that the spread of
    generated values is learned rather than left to the latent noise alone (which makes a
    mean-only model emit values bunched round their conditional mean). The loss is the
    Gaussian's negative log-likelihood with the standard deviation floored at `MIN_STDDEV`;
    sampling leaves the floor out, so a certain output (as `as_output` gives) decodes to its
    mean. A missing value enters as 0 and its reconstruction is not penalised; whether it is
    missing is the business of the column's `MissingValue`.
    """

    def learned_output_size(self) -> int:
        return 2

    def _present(self, columns: Columns) -> tf.Tensor:
        return tf.where(self.is_missing(columns), 0.0, columns[self.name])

    def encode(self, columns: Columns) -> tf.Tensor:
        return self._present(columns)[..., tf.newaxis]

    def as_output(self, columns: Columns) -> tf.Tensor:
        mean = self._present(columns)
        return tf.stack([mean, tf.fill(tf.shape(mean), -CERTAIN_LOGIT)], axis=-1)

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        stddev = tf.nn.softplus(y[..., 1]) + MIN_STDDEV
        error = 0.5 * tf.square((y[..., 0] - self._present(columns)) / stddev)
        return tf.where(self.is_missing(columns), 0.0, error + tf.math.log(stddev))

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        stddev = tf.nn.softplus(y[:, 1])
        return y[:, 0] + stddev * randomness.normal(tf.shape(stddev))
