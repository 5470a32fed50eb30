"""Draws keyed by entity: each row's numbers follow from its own key alone."""

import numpy as np
import pytest
import tensorflow as tf

from velora.common import randomness


def keyed_draws(numbers, draw):
    keys = randomness.entity_keys(7, np.asarray(numbers))
    with randomness.keyed(keys), randomness.phase(3):
        return draw(len(numbers)).numpy()


@pytest.mark.parametrize(
    "draw",
    [
        lambda rows: randomness.uniform((rows, 5)),
        lambda rows: randomness.normal((rows, 2, 3)),
        lambda rows: randomness.categorical(tf.zeros((rows, 4))),
        lambda rows: randomness.integers(rows, 9),
    ],
)
def test_a_row_depends_on_its_key_not_on_its_batch(draw):
    together = keyed_draws([0, 1, 2, 3], draw)
    apart = np.concatenate([keyed_draws([2, 0], draw)[[1, 0]], keyed_draws([1, 3], draw)])
    np.testing.assert_array_equal(together, apart[[0, 2, 1, 3]])
    assert len(np.unique(together.reshape(4, -1), axis=0)) > 1


def test_keyed_numbers_are_uniform_and_phases_and_places_differ():
    keys = randomness.entity_keys(1, np.arange(2000))
    with randomness.keyed(keys):
        with randomness.phase(0):
            first, second = randomness.uniform((2000, 8)), randomness.uniform((2000, 8))
        with randomness.phase(1):
            other_phase = randomness.uniform((2000, 8))
    values = first.numpy().ravel()
    assert 0 < values.min() and values.max() < 1
    assert np.histogram(values, bins=10, range=(0, 1))[0].min() > 1400  # 1600 expected
    for other in (second, other_phase):
        assert abs(np.corrcoef(values, other.numpy().ravel())[0, 1]) < 0.02


def test_outside_keyed_draws_are_tensorflows_own():
    tf.random.set_seed(3)
    ours = randomness.normal((4,))
    tf.random.set_seed(3)
    np.testing.assert_array_equal(ours, tf.random.normal((4,)))
