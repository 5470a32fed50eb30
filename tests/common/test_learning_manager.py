import io

import numpy as np
import pytest
import tensorflow as tf

from velora.common.learning_manager import SimpleManager

STEP_LOSS = tf.constant([[1.0, 2.0], [3.0, 4.0]])  # a [bs, T] loss of mean 2.5


class FixedLossModel(tf.keras.Model):
    """Reports the same [bs, T] loss on every step, as the model's training step does."""

    def train_step(self, data):
        return {"kl_loss": tf.zeros_like(STEP_LOSS), "total_loss": STEP_LOSS}


def fit(manager, steps=6):
    model = FixedLossModel()
    model.compile()
    data = tf.data.Dataset.from_tensors(tf.zeros(1)).repeat()
    model.fit(
        data, epochs=2, steps_per_epoch=steps // 2, verbose=0, shuffle=False, callbacks=[manager]
    )


@pytest.mark.parametrize("verbose", [True, False])
def test_bar_reports_the_mean_loss_only_when_verbose(verbose, capsys):
    out = io.StringIO()
    manager = SimpleManager("total_loss", steps=6, verbose=verbose, file=out)
    fit(manager)
    assert manager.history == [2.5] * 6
    if verbose:
        assert "6/6" in out.getvalue() and "total_loss=2.5" in out.getvalue()
    else:
        assert out.getvalue() == ""
    assert capsys.readouterr().err == ""


def test_bar_writes_to_stderr_by_default(capsys):
    fit(SimpleManager("total_loss", steps=6))
    assert "total_loss=2.5" in capsys.readouterr().err


def test_flat_loss_stops_training_after_patience():
    manager = SimpleManager("total_loss", steps=100, verbose=False, patience=3)
    fit(manager, steps=100)
    # The first step sets the best loss; three more without improvement stop the loop.
    assert len(manager.history) == 4


@pytest.mark.parametrize(
    "losses, patience, min_delta, stops_after",
    [
        (np.linspace(10.0, 1.0, 20), 2, 0.0, None),
        (1.0 - 0.001 * np.arange(20), 3, 0.01, 4),
        ([5.0, 4.0, 3.0, 3.0, 3.0, 3.0, 3.0], 3, 0.0, None),
        (np.r_[np.linspace(5.0, 1.0, 10), np.full(30, 9.0)], 5, 0.0, 15),
    ],
    ids=["falling", "below_min_delta", "short_plateau", "rising"],
)
def test_stopping_tracks_the_smoothed_loss(losses, patience, min_delta, stops_after):
    manager = SimpleManager(verbose=False, patience=patience, min_delta=min_delta, smoothing=0.5)
    model = tf.keras.Sequential()
    model.stop_training = False
    manager.set_model(model)
    manager.on_train_begin()
    stopped = None
    for step, loss in enumerate(losses, start=1):
        manager.on_train_batch_end(step, {"total_loss": np.full((2, 3), loss)})
        if model.stop_training and stopped is None:
            stopped = step
    assert stopped == stops_after
