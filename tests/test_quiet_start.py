"""velora's entry points start without TensorFlow's start-up notices, unless asked for."""

import os
import subprocess
import sys

import pytest

SCRIPT = (
    "import sys\n"
    "from velora.quiet_start import import_tensorflow_quietly\n"
    "import_tensorflow_quietly()\n"
    "import tensorflow as tf\n"
    "print(float(tf.constant(1.0) * 2), file=sys.stderr)\n"
)


@pytest.mark.parametrize("users_level", [None, "0"])
def test_the_start_up_notices_go_unless_the_user_set_the_log_level(users_level):
    env = {k: v for k, v in os.environ.items() if k != "TF_CPP_MIN_LOG_LEVEL"}
    if users_level is not None:
        env["TF_CPP_MIN_LOG_LEVEL"] = users_level
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True
    )
    assert done.stderr.endswith("2.0\n")
    assert (done.stderr == "2.0\n") == (users_level is None), done.stderr
