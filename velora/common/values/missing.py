"""Missing-value indicators."""

import tensorflow as tf

from velora.common import randomness
from velora.common.values.base import CERTAIN_LOGIT, Columns, Value


class MissingValue(Value):
    """The flag column (1.0 = missing) of a column that can be missing, as a Bernoulli value.

    Its output is the logit of the probability of a missing value; decoding samples the
    flag. An absent or NaN flag counts as missing.
    """

    def _flag(self, columns: Columns) -> tf.Tensor:
        flag = columns[self.name]
        return tf.where(tf.math.is_nan(flag), 1.0, tf.cast(flag > 0.5, tf.float32))

    def encode(self, columns: Columns) -> tf.Tensor:
        return self._flag(columns)[..., tf.newaxis]

    def as_output(self, columns: Columns) -> tf.Tensor:
        return (2.0 * self.encode(columns) - 1.0) * CERTAIN_LOGIT

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        return tf.nn.sigmoid_cross_entropy_with_logits(labels=self._flag(columns), logits=y[..., 0])

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        probability = tf.sigmoid(y[:, 0])
        return tf.cast(randomness.uniform(tf.shape(probability)) < probability, tf.float32)
