"""Categorical values."""

from collections.abc import Sequence
from typing import Any

import keras
import numpy as np
import tensorflow as tf

from velora.common import randomness
from velora.common.values.base import CERTAIN_LOGIT, Columns, Value

# Smallest frequency the log prior uses, so that a code never seen keeps a finite loss.
MIN_FREQUENCY = 1e-6


class CategoricalValue(Value):
    """A column of category codes: code 0 for a missing or unknown value, 1..K for `categories`.

    Input: an embedding of the code (code 0 for missing values and for codes out of range).
    Output: one logit per code, offset by the log of `frequencies`, so that an untrained
    network already predicts the column's marginal distribution; the loss is the softmax
    cross-entropy, not penalised where the value is missing. Decoding samples a known
    category (code 0 only when none is known); missingness is the `MissingValue`'s to say.
    `frequencies`, a non-trainable variable of length `num_categories_with_nan`, may be
    reassigned after construction.
    """

    def __init__(
        self,
        name: str,
        categories: Sequence[Any],
        frequencies: Sequence[float] | None = None,
        missing_column: str | None = None,
        max_embedding_size: int = 16,
    ):
        super().__init__(name, missing_column)
        self.categories = list(categories)
        self.num_categories_with_nan = len(self.categories) + 1
        self.embedding_size = min(self.num_categories_with_nan, max_embedding_size)
        self._codes = {category: code for code, category in enumerate(self.categories, 1)}
        self.embedding = self.add_weight(
            shape=(self.num_categories_with_nan, self.embedding_size),
            initializer=keras.initializers.RandomNormal(stddev=self.embedding_size**-0.5),
            name="embedding",
        )
        self.frequencies = self.add_weight(
            shape=(self.num_categories_with_nan,),
            initializer="ones",
            trainable=False,
            name="frequencies",
        )
        if frequencies is not None:
            self.frequencies.assign(np.asarray(frequencies, dtype=np.float32))
        # Keeps sampling off code 0, unless it is the only code there is.
        self._sampling_bias = np.zeros(self.num_categories_with_nan, dtype=np.float32)
        self._sampling_bias[0] = -CERTAIN_LOGIT if self.categories else 0.0

    @property
    def regularization_losses(self) -> list[tf.Variable]:
        return [self.embedding]

    def learned_input_size(self) -> int:
        return self.embedding_size

    def learned_output_size(self) -> int:
        return self.num_categories_with_nan

    def code_of(self, category: Any) -> int:
        """The code of a known category; `KeyError` for any other value."""
        return self._codes[category]

    def codes(self, columns: Columns) -> tf.Tensor:
        """The column's codes as int32, 0 where missing or out of range."""
        codes = tf.where(self.is_missing(columns), 0.0, tf.round(columns[self.name]))
        in_range = (codes >= 0) & (codes < self.num_categories_with_nan)
        return tf.cast(tf.where(in_range, codes, 0.0), tf.int32)

    def logits(self, y: tf.Tensor) -> tf.Tensor:
        """The output's logits, with the log prior of the frequencies added."""
        frequencies = tf.convert_to_tensor(self.frequencies)
        return y + tf.math.log(tf.maximum(frequencies, MIN_FREQUENCY))

    def sampling_logits(self, y: tf.Tensor) -> tf.Tensor:
        return self.logits(y) + self._sampling_bias

    def encode(self, columns: Columns) -> tf.Tensor:
        return tf.gather(tf.convert_to_tensor(self.embedding), self.codes(columns))

    def as_output(self, columns: Columns) -> tf.Tensor:
        # Large enough that the prior and the sampling bias cannot change the sampled code.
        # A missing value gets even logits: any category may stand in for it.
        one_hot = tf.one_hot(self.codes(columns), self.num_categories_with_nan)
        present = tf.cast(~self.is_missing(columns), tf.float32)[..., tf.newaxis]
        return (one_hot - 1.0) * CERTAIN_LOGIT * present

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        cross_entropy = tf.nn.sparse_softmax_cross_entropy_with_logits(
            labels=self.codes(columns), logits=self.logits(y)
        )
        return tf.where(self.is_missing(columns), 0.0, cross_entropy)

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        return tf.cast(randomness.categorical(self.sampling_logits(y)), tf.float32)
