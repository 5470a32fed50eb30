"""Training callbacks: progress reporting and early stopping on the training loss."""

import sys
from typing import TextIO

import numpy as np
import tensorflow as tf
from tqdm import tqdm


class SimpleManager(tf.keras.callbacks.Callback):
    """Reports the loss of each training step and optionally stops a stalled training.

    After every batch it reads `logs[loss_name]` (a number, tensor or array such as a
    [bs, T] loss; its mean is the step's loss), appends it to `history` and advances a
    progress bar of `steps` steps that shows the smoothed loss, the steps done and the
    time left. The smoothed loss is an exponential moving average with weight `smoothing`
    on the past. With `patience` set, training stops once the smoothed loss has not fallen
    by more than `min_delta` below its best for `patience` consecutive steps. With
    `verbose` false nothing is written; the bar goes to `file` (stderr by default).
    """

    def __init__(
        self,
        loss_name: str = "total_loss",
        steps: int | None = None,
        verbose: bool = True,
        patience: int | None = None,
        min_delta: float = 0.0,
        smoothing: float = 0.9,
        file: TextIO | None = None,
    ):
        super().__init__()
        if patience is not None and patience < 1:
            raise ValueError(f"patience must be at least 1 or None, got {patience}")
        if not 0.0 <= smoothing < 1.0:
            raise ValueError(f"smoothing must lie in [0, 1), got {smoothing}")
        self.loss_name = loss_name
        self.steps = steps
        self.verbose = verbose
        self.patience = patience
        self.min_delta = min_delta
        self.smoothing = smoothing
        self.file = file
        self._reset()

    def _reset(self) -> None:
        self.history: list[float] = []
        self.smoothed_loss: float | None = None
        self._best = np.inf
        self._steps_without_improvement = 0
        self._bar = None

    def on_train_begin(self, logs=None):
        self._reset()
        self._bar = tqdm(
            total=self.steps,
            desc="training",
            unit="step",
            file=self.file if self.file is not None else sys.stderr,
            disable=not self.verbose,
        )

    def on_train_batch_end(self, batch, logs=None):
        loss = float(np.mean(np.asarray((logs or {})[self.loss_name])))
        self.history.append(loss)
        self._smooth(loss)
        if self._bar is not None:
            self._bar.set_postfix({self.loss_name: f"{self.smoothed_loss:.4g}"}, refresh=False)
            self._bar.update(1)
        if self._stalled():
            self.model.stop_training = True

    def on_train_end(self, logs=None):
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def _smooth(self, loss: float) -> None:
        if self.smoothed_loss is None:
            self.smoothed_loss = loss
        else:
            self.smoothed_loss = self.smoothing * self.smoothed_loss + (1 - self.smoothing) * loss

    def _stalled(self) -> bool:
        if self.smoothed_loss < self._best - self.min_delta:
            self._best = self.smoothed_loss
            self._steps_without_improvement = 0
            return False
        self._steps_without_improvement += 1
        return self.patience is not None and self._steps_without_improvement >= self.patience
