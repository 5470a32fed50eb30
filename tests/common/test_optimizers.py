import numpy as np
import pytest
import tensorflow as tf

from velora.common.optimizers import Optimizers

TARGETS = tf.constant(np.random.default_rng(0).normal(size=(4, 6, 2)), tf.float32)


def quadratic(weights):
    """A loss of shape [bs, T], minimal where the weights equal the targets' mean."""
    return tf.reduce_sum(tf.square(weights - TARGETS), axis=-1)


@pytest.mark.parametrize("name", ["adam", "sgd", "rmsprop", "Adam"])
def test_minimize_with_tape_reduces_a_per_step_loss(name):
    weights = tf.Variable([3.0, -3.0])
    optimizer = Optimizers.optimizer(name)(learning_rate=0.02, clipnorm=10.0)
    initial = float(tf.reduce_mean(quadratic(weights)))
    for _ in range(300):
        with tf.GradientTape() as tape:
            loss = quadratic(weights)
        optimizer.minimize(loss, [weights], tape=tape)
    np.testing.assert_allclose(weights, tf.reduce_mean(TARGETS, axis=(0, 1)), atol=0.3)
    assert float(tf.reduce_mean(quadratic(weights))) < initial / 5


@pytest.mark.parametrize("with_tape", [True, False], ids=["tape", "callable"])
def test_step_follows_the_gradient_of_the_summed_loss(with_tape):
    weight = tf.Variable(1.0)
    scales = tf.constant([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    optimizer = Optimizers.optimizer("sgd")(learning_rate=0.1, clipnorm=None)
    if with_tape:
        with tf.GradientTape() as tape:
            loss = weight * scales
        optimizer.minimize(loss, [weight], tape=tape)
    else:
        optimizer.minimize(lambda: weight * scales, [weight])
    assert float(weight) == pytest.approx(1.0 - 0.1 * 21.0)


@pytest.mark.parametrize("clipnorm", [0.5, 2.0])
def test_clipnorm_bounds_the_step(clipnorm):
    weights = tf.Variable([100.0, -100.0])
    optimizer = Optimizers.optimizer("sgd")(learning_rate=1.0, clipnorm=clipnorm)
    with tf.GradientTape() as tape:
        loss = quadratic(weights)
    optimizer.minimize(loss, [weights], tape=tape)
    step = np.linalg.norm(weights.numpy() - [100.0, -100.0])
    assert step == pytest.approx(clipnorm, rel=1e-5)


def test_tensor_loss_without_tape_is_refused():
    weight = tf.Variable(1.0)
    with pytest.raises(ValueError, match="tape"):
        Optimizers.optimizer("adam")(learning_rate=0.1).minimize(weight * 2.0, [weight])


def test_unknown_name_lists_the_known_ones():
    with pytest.raises(ValueError, match="adam, adagrad|adagrad, adam") as error:
        Optimizers.optimizer("lbfgs")
    assert all(name in str(error.value) for name in ["sgd", "rmsprop", "lbfgs"])


class QuadraticModel(tf.keras.Model):
    """Fits two weights with a training step that minimises a [bs, T] loss."""

    def __init__(self):
        super().__init__()
        self.weights_to_fit = self.add_weight(
            shape=(2,), initializer=tf.keras.initializers.Constant(5.0)
        )

    def train_step(self, data):
        with tf.GradientTape() as tape:
            loss = tf.reduce_sum(tf.square(self.weights_to_fit - data), axis=-1)
        self.optimizer.minimize(loss, self.trainable_variables, tape=tape)
        return {"quadratic_loss": tf.reduce_mean(loss)}


def test_minimize_inside_a_compiled_training_step():
    model = QuadraticModel()
    model.compile(Optimizers.optimizer("adam")(learning_rate=0.1, clipnorm=1.0))
    data = tf.data.Dataset.from_tensors(TARGETS).repeat()
    history = model.fit(data, epochs=4, steps_per_epoch=25, verbose=0, shuffle=False)
    losses = history.history["quadratic_loss"]
    assert losses[-1] < losses[0] / 2
    np.testing.assert_allclose(model.weights_to_fit, tf.reduce_mean(TARGETS, axis=(0, 1)), atol=0.2)
