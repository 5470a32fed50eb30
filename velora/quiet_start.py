"""TensorFlow imported without its start-up log lines, for velora's own entry points.

Importing TensorFlow writes notices (absl's pre-initialisation warning, oneDNN, CPU features)
straight to file descriptor 2, before Python can filter them; `TF_CPP_MIN_LOG_LEVEL` does not
silence all of them. The command line and the main job import it here first: the notices are
dropped and anything else written meanwhile is passed on. A user who has set
`TF_CPP_MIN_LOG_LEVEL` gets TensorFlow's own behaviour.
"""

import os
import re
import sys
import tempfile

STARTUP_NOTICE = re.compile(
    r"WARNING: All log messages before absl::InitializeLog\(\)"
    r"|^[IW]\d{4} [\d:.]+\s+\d+ (port|cpu_feature_guard)\.cc:\d+\]"
    r"|^To enable the following instructions:"
)


def import_tensorflow_quietly() -> None:
    """Import TensorFlow once, its start-up notices left out of standard error."""
    if "tensorflow" in sys.modules or "TF_CPP_MIN_LOG_LEVEL" in os.environ:
        import tensorflow  # noqa: F401

        return
    os.environ["TF_CPP_MIN_LOG_LEVEL"] = "2"
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as caught:
        os.dup2(caught.fileno(), 2)
        try:
            import tensorflow  # noqa: F401
        finally:
            del os.environ["TF_CPP_MIN_LOG_LEVEL"]
            os.dup2(saved, 2)
            os.close(saved)
            caught.seek(0)
            passed_on = [
                line
                for line in caught.read().decode(errors="replace").splitlines(keepends=True)
                if not STARTUP_NOTICE.search(line)
            ]
            sys.stderr.write("".join(passed_on))
