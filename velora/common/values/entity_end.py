"""Where an entity ends: the step after its last event, learned as a Bernoulli value."""

import tensorflow as tf

from velora.common.values.base import CERTAIN_LOGIT, Columns
from velora.common.values.missing import MissingValue

# The name of the end flag among a group's values and decoded columns; no frame column has it,
# since its values are derived from which rows hold events.
ENTITY_END = "_entity_end"


class EntityEndValue(MissingValue):
    """The flag (1.0 = the entity has ended) of every time step, derived from filler rows.

    A step is filler when every value of the group is missing: the padding after an entity's
    last event. The value's output is the logit of the hazard, the probability that the entity
    ends at this step given that it lasted until the step before; so the loss counts the steps
    up to and including the first filler step, and none after it. It adds no input: a
    generated entity stops where its flag is first drawn.
    """

    def __init__(self):
        super().__init__(ENTITY_END)

    def learned_input_size(self) -> int:
        return 0

    def encode(self, columns: Columns) -> tf.Tensor:
        return tf.zeros(tf.concat([tf.shape(columns[self.name]), [0]], axis=0))

    def as_output(self, columns: Columns) -> tf.Tensor:
        return (2.0 * self._flag(columns) - 1.0)[..., tf.newaxis] * CERTAIN_LOGIT

    def loss(self, y: tf.Tensor, columns: Columns) -> tf.Tensor:
        ended = self._flag(columns)
        lasted_until_before = tf.concat(
            [tf.ones_like(ended[..., :1]), 1.0 - ended[..., :-1]], axis=-1
        )
        return super().loss(y, columns) * lasted_until_before
