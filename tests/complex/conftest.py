"""Fixtures shared by the model's tests."""

import pytest
import tensorflow as tf


@pytest.fixture
def eager():
    """Runs compiled generation step by step, so that a global seed replays every draw."""
    tf.config.run_functions_eagerly(True)
    yield
    tf.config.run_functions_eagerly(False)
