"""The base of child values: how one transformed column enters and leaves the model."""

import re
from collections.abc import Mapping

import keras
import tensorflow as tf

# Logit magnitude that makes sampling from a given output deterministic in float32.
CERTAIN_LOGIT = 1e4

Columns = Mapping[str, tf.Tensor]

# Characters Keras refuses in layer and variable names ("user id", "time, local").
_NOT_IN_LAYER_NAMES = re.compile(r"[^A-Za-z0-9_.>-]")


def layer_name(name: object) -> str:
    """A Keras layer name for a column: its text with every character Keras refuses as "_"."""
    return _NOT_IN_LAYER_NAMES.sub("_", str(name))


class Value(keras.layers.Layer):
    """One column of a transformed frame as the model sees it.

    Methods work on `columns`, a mapping from column name to float32 tensor that holds NaN
    where a value is missing; any shape works as long as the columns agree. Each value
    reads its own column (and `missing_column`, the flag of its missing values, if any):

    - `encode(columns)`: its input features, shape [..., learned_input_size()];
    - `as_output(columns)`: its column in the output layout, shape [..., learned_output_size()];
    - `loss(y, columns)`: its reconstruction loss per element, shape [...], from `y` of shape
      [..., learned_output_size()];
    - `decode(y)`: one value per row of `y`, of shape [rows, learned_output_size()], in the
      transformed frame's encoding.
    """

    def __init__(self, name: str, missing_column: str | None = None):
        super().__init__(name=layer_name(name))
        # Keras restricts layer names; the column name is kept exactly.
        self.name = name
        self.missing_column = missing_column

    def add_weight(self, *args, **kwargs) -> keras.Variable:
        # Keras names a weight after the layer's name at creation, and its optimiser's slots
        # after that; both refuse what column names may hold.
        column, self.name = self.name, layer_name(self.name)
        try:
            return super().add_weight(*args, **kwargs)
        finally:
            self.name = column

    @property
    def regularization_losses(self) -> list[tf.Variable]:
        """Weights of this value to penalise."""
        return []

    def learned_input_size(self) -> int:
        return 1

    def learned_output_size(self) -> int:
        return 1

    def is_missing(self, columns: Columns) -> tf.Tensor:
        """True where the value is NaN or its flag column marks it missing."""
        missing = tf.math.is_nan(columns[self.name])
        if self.missing_column in columns:
            missing |= columns[self.missing_column] > 0.5
        return missing

    def encode(self, columns: Columns) -> tf.Tensor:
        raise NotImplementedError

    def as_output(self, columns: Columns) -> tf.Tensor:
        raise NotImplementedError

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        raise NotImplementedError

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        raise NotImplementedError
