"""Continuous values: scaled numbers, dates and durations."""

import tensorflow as tf

from velora.common import randomness
from velora.common.values.base import CERTAIN_LOGIT, Columns, Value

# Floor of the standard deviation in training, in scaled units: it keeps the loss bounded
# when a value is reconstructed exactly.
MIN_STDDEV = 1e-2


class ContinuousValue(Value):
    """A scaled number, modelled as a Gaussian, or a mixture of `components` Gaussians, whose
    means, spreads (and weights) the model emits.

    The input is the number itself; the output is, per component, its mean and a raw scale,
    whose softplus is the standard deviation, and with several components their logits.
    Decoding samples from that distribution, so that the spread of generated values is
    learned rather than left to the latent noise alone (which makes a mean-only model emit
    values bunched round their conditional mean). Several components let one step's value
    be bimodal (a point mass of zero gaps beside a spread of pauses) and heavy-tailed, which
    one Gaussian cannot. The loss is the negative log-likelihood with every standard
    deviation floored at `MIN_STDDEV`; sampling leaves the floor out, so a certain output (as
    `as_output` gives) decodes to its mean. A missing value enters as 0 and its
    reconstruction is not penalised; whether it is missing is the business of the column's
    `MissingValue`.
    """

    def __init__(self, name: str, missing_column: str | None = None, components: int = 1):
        super().__init__(name, missing_column)
        if components < 1:
            raise ValueError(
                f'ContinuousValue(name="{name}"): components must be at least 1, got {components}'
            )
        self.components = components

    def learned_output_size(self) -> int:
        return 2 if self.components == 1 else 3 * self.components

    def _present(self, columns: Columns) -> tf.Tensor:
        return tf.where(self.is_missing(columns), 0.0, columns[self.name])

    def _split(self, y: tf.Tensor) -> tuple[tf.Tensor, tf.Tensor, tf.Tensor | None]:
        """Means, raw scales and (with several components) logits, each [..., components]."""
        k = self.components
        if k == 1:
            return y[..., :1], y[..., 1:2], None
        return y[..., :k], y[..., k : 2 * k], y[..., 2 * k :]

    def encode(self, columns: Columns) -> tf.Tensor:
        return self._present(columns)[..., tf.newaxis]

    def as_output(self, columns: Columns) -> tf.Tensor:
        mean = self._present(columns)[..., tf.newaxis]
        means = tf.repeat(mean, self.components, axis=-1)
        scales = tf.fill(tf.shape(means), -CERTAIN_LOGIT)
        if self.components == 1:
            return tf.concat([means, scales], axis=-1)
        # The first component, certain and at the value.
        first = tf.one_hot(0, self.components, on_value=CERTAIN_LOGIT, off_value=0.0)
        logits = tf.zeros_like(means) + first
        return tf.concat([means, scales, logits], axis=-1)

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        means, scales, logits = self._split(y)
        stddev = tf.nn.softplus(scales) + MIN_STDDEV
        value = self._present(columns)[..., tf.newaxis]
        nll = 0.5 * tf.square((means - value) / stddev) + tf.math.log(stddev)
        if logits is None:
            nll = nll[..., 0]
        else:
            nll = -tf.reduce_logsumexp(tf.nn.log_softmax(logits) - nll, axis=-1)
        return tf.where(self.is_missing(columns), 0.0, nll)

    def decode(self, y: tf.Tensor) -> tf.Tensor:
        means, scales, logits = self._split(y)
        if logits is None:
            mean, scale = means[:, 0], scales[:, 0]
        else:
            chosen = randomness.categorical(logits)[:, tf.newaxis]
            mean = tf.gather(means, chosen, batch_dims=1)[:, 0]
            scale = tf.gather(scales, chosen, batch_dims=1)[:, 0]
        stddev = tf.nn.softplus(scale)
        return mean + stddev * randomness.normal(tf.shape(stddev))
