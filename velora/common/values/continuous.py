"""Continuous values: scaled numbers, dates and durations."""

import tensorflow as tf

from velora.common.values.base import Columns, Value


class ContinuousValue(Value):
    """A scaled number: input and output are the number itself.

    A missing value enters as 0 and its reconstruction is not penalised; whether it is
    missing is the business of the column's `MissingValue`. The loss is the squared error of
    a unit-variance Gaussian, halved.
    """

    def _present(self, columns: Columns) -> tf.Tensor:
        return tf.where(self.is_missing(columns), 0.0, columns[self.name])

    def encode(self, columns: Columns) -> tf.Tensor:
        return self._present(columns)[..., tf.newaxis]

    def as_output(self, columns: Columns) -> tf.Tensor:
        return self.encode(columns)

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        error = 0.5 * tf.square(y[..., 0] - self._present(columns))
        return tf.where(self.is_missing(columns), 0.0, error)

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        return y[:, 0]
