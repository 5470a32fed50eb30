"""Keras optimisers by name, with the tape-based `minimize` of Keras 2."""

from collections.abc import Callable

import tensorflow as tf


class TapeMinimizer:
    """Adds `minimize(loss, var_list, tape=None)` to a Keras 3 optimiser.

    Keras 3 optimisers dropped `minimize(..., tape=...)`; they only apply gradients that
    the caller computed. This mixin restores the Keras 2 call: with a tape, the gradient
    of the sum of all elements of `loss` (a tensor of any shape, e.g. [bs, T]) is taken
    with that tape; a callable loss is evaluated under the tape (a fresh one when none is
    given). The gradients then go through the optimiser's own `apply_gradients`, so its
    `clipnorm`, `clipvalue` and `global_clipnorm` apply. It works eagerly and inside a
    `tf.function`, such as the `train_step` of a `tf.keras.Model` compiled with it.
    """

    def minimize(self, loss, var_list, tape: tf.GradientTape | None = None):
        if callable(loss):
            tape = tape if tape is not None else tf.GradientTape()
            with tape:
                loss = loss()
        elif tape is None:
            raise ValueError("minimize needs the tape that recorded a tensor loss")
        var_list = list(var_list)
        # The tape has stopped recording, so the loss cannot be summed here first; a
        # non-scalar target gives the gradient of the sum of its elements by itself.
        gradients = tape.gradient(loss, var_list)
        return self.apply_gradients(zip(gradients, var_list, strict=True))


def _with_tape_minimize(base: type) -> type:
    doc = f"Keras's `{base.__name__}` with the Keras 2 `minimize` of `TapeMinimizer`."
    return type(base.__name__, (TapeMinimizer, base), {"__module__": __name__, "__doc__": doc})


Adam = _with_tape_minimize(tf.keras.optimizers.Adam)
SGD = _with_tape_minimize(tf.keras.optimizers.SGD)
RMSprop = _with_tape_minimize(tf.keras.optimizers.RMSprop)
Adagrad = _with_tape_minimize(tf.keras.optimizers.Adagrad)
Nadam = _with_tape_minimize(tf.keras.optimizers.Nadam)


class Optimizers:
    """The registry of optimisers by name.

    `Optimizers.optimizer("adam")` returns a factory; calling it with the Keras keyword
    arguments (`learning_rate=`, `clipnorm=`, ...) returns a Keras optimiser that also
    offers `minimize(loss, var_list, tape=tape)` (see `TapeMinimizer`).
    """

    _factories: dict[str, Callable[..., tf.keras.optimizers.Optimizer]] = {
        "adam": Adam,
        "sgd": SGD,
        "rmsprop": RMSprop,
        "adagrad": Adagrad,
        "nadam": Nadam,
    }

    @classmethod
    def names(cls) -> list[str]:
        return sorted(cls._factories)

    @classmethod
    def optimizer(cls, name: str) -> Callable[..., tf.keras.optimizers.Optimizer]:
        try:
            return cls._factories[name.lower()]
        except KeyError:
            raise ValueError(
                f"unknown optimizer {name!r}; known optimizers: {', '.join(cls.names())}"
            ) from None
