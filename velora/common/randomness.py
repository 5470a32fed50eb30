"""Random draws, either TensorFlow's own or drawn per entity from a key.

Every draw of the model and its values goes through `normal`, `uniform` and `categorical`.
Outside `keyed` they are TensorFlow's global random ops. Inside, the first axis of every draw
is the entity axis (or several rows per entity, entity by entity), and row b's numbers are a
function of entity b's key, the phase (the generation step) and the draw's place in that
phase alone: an entity comes out the same whichever other entities share its batch.
"""

import contextlib
from collections.abc import Iterator

import numpy as np
import tensorflow as tf

# Odd constants of the 32-bit integer hash below (a Murmur3-style finaliser).
_MIX_1, _MIX_2 = 0x85EBCA6B, 0xC2B2AE35
_GOLDEN = 0x9E3779B9
_PHASE_STRIDE, _SITE_STRIDE = 0x632BE5AB, 0x27D4EB2F
# Uniform numbers carry 24 bits, all that float32 holds in (0, 1).
_UNIFORM_BITS = 24


def _mix(x: tf.Tensor) -> tf.Tensor:
    x = tf.bitwise.bitwise_xor(x, tf.bitwise.right_shift(x, np.uint32(16)))
    x = x * np.uint32(_MIX_1)
    x = tf.bitwise.bitwise_xor(x, tf.bitwise.right_shift(x, np.uint32(13)))
    x = x * np.uint32(_MIX_2)
    return tf.bitwise.bitwise_xor(x, tf.bitwise.right_shift(x, np.uint32(16)))


class EntityNoise:
    """Uniform numbers keyed by entity: `keys` holds two uint32 words per entity."""

    def __init__(self, keys: tf.Tensor):
        self.keys = tf.convert_to_tensor(keys, dtype=tf.uint32)
        self._phase: tf.Tensor = tf.constant(0, tf.uint32)
        self._site = 0

    @contextlib.contextmanager
    def phase(self, phase: int | tf.Tensor) -> Iterator[None]:
        """Draws within are numbered from 0 again, apart from those of every other phase."""
        saved = self._phase, self._site
        self._phase, self._site = tf.cast(phase, tf.uint32), 0
        try:
            yield
        finally:
            self._phase, self._site = saved

    def uniform(self, shape) -> tf.Tensor:
        shape = tf.cast(shape, tf.int32)
        rows, per_row = shape[0], tf.reduce_prod(shape[1:])
        entities = tf.shape(self.keys)[0]
        rows_per_entity = rows // entities
        keys = tf.repeat(self.keys, rows_per_entity, axis=0)
        site = np.uint32((self._site * _SITE_STRIDE) & 0xFFFFFFFF)
        self._site += 1
        stream = _mix(keys[:, 0] ^ _mix(keys[:, 1] + self._phase * np.uint32(_PHASE_STRIDE) + site))
        row_in_entity = tf.cast(tf.range(rows) % rows_per_entity, tf.uint32)
        counter = row_in_entity[:, tf.newaxis] * tf.cast(per_row, tf.uint32) + tf.cast(
            tf.range(per_row), tf.uint32
        )
        bits = _mix(stream[:, tf.newaxis] ^ _mix(counter * np.uint32(_GOLDEN) + np.uint32(1)))
        top = tf.cast(tf.bitwise.right_shift(bits, np.uint32(32 - _UNIFORM_BITS)), tf.float32)
        return tf.reshape((top + 0.5) / float(2**_UNIFORM_BITS), shape)


_active: list[EntityNoise] = []


@contextlib.contextmanager
def keyed(keys: tf.Tensor) -> Iterator[EntityNoise]:
    """Draws within are keyed by entity (see the module's docstring)."""
    noise = EntityNoise(keys)
    _active.append(noise)
    try:
        yield noise
    finally:
        _active.pop()


@contextlib.contextmanager
def phase(phase: int | tf.Tensor) -> Iterator[None]:
    """Within `keyed`, a new phase of draws (see `EntityNoise.phase`); elsewhere nothing."""
    if not _active:
        yield
        return
    with _active[-1].phase(phase):
        yield


def uniform(shape) -> tf.Tensor:
    """Uniform float32 numbers in (0, 1)."""
    return _active[-1].uniform(shape) if _active else tf.random.uniform(shape)


def normal(shape) -> tf.Tensor:
    """Standard normal float32 numbers."""
    if not _active:
        return tf.random.normal(shape, dtype=tf.float32)
    return tf.math.ndtri(_active[-1].uniform(shape))


def categorical(logits: tf.Tensor) -> tf.Tensor:
    """One category (int64) per row of `logits`, drawn with the softmax's probabilities."""
    if not _active:
        return tf.random.categorical(logits, 1)[:, 0]
    gumbel = -tf.math.log(-tf.math.log(_active[-1].uniform(tf.shape(logits))))
    return tf.argmax(logits + gumbel, axis=-1)


def entity_keys(seed: int, numbers: np.ndarray) -> np.ndarray:
    """The keys ([len(numbers), 2] uint32) of the numbered entities of a seeded draw.

    SplitMix64 of the seed and the entity's number: the same in every process, and as far
    apart for neighbouring entities as for any two.
    """
    numbers = np.asarray(numbers, dtype=np.uint64)
    with np.errstate(over="ignore"):
        x = np.uint64(seed) * np.uint64(0x9E3779B97F4A7C15) + numbers
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        x = x ^ (x >> np.uint64(31))
    return np.stack([x >> np.uint64(32), x & np.uint64(0xFFFFFFFF)], axis=1).astype(np.uint32)


def integers(count: int, bound: int) -> tf.Tensor:
    """`count` int32 numbers drawn uniformly from 0 .. bound - 1."""
    if not _active:
        return tf.random.uniform((count,), maxval=bound, dtype=tf.int32)
    drawn = tf.cast(_active[-1].uniform((count,)) * bound, tf.int32)
    return tf.minimum(drawn, bound - 1)


# Phases of the draws that are not generation steps (which are numbered from 0).
ID_PHASE = 2**32 - 1
DECODING_PHASE = 2**32 - 2
