"""The names a user reaches first: `from velora import EventSynthesizer, evaluate, ...`."""

import subprocess
import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[1]


def test_the_package_face_loads_its_names_on_first_use():
    # A fresh interpreter: importing velora loads neither pandas nor TensorFlow, and each
    # name of the face is the one of its own module.
    script = (
        "import sys, velora\n"
        "assert 'tensorflow' not in sys.modules and 'pandas' not in sys.modules\n"
        "from velora import TableRoles, evaluate\n"
        "from velora.evaluation import evaluate as home\n"
        "assert evaluate is home and TableRoles.__module__ == 'velora.tables.roles'\n"
        "assert 'tensorflow' not in sys.modules\n"
        "assert set(velora.__all__) <= set(dir(velora))\n"
        "try:\n    velora.nothing\nexcept AttributeError as error:\n    print(error)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, cwd=REPOSITORY
    )
    assert done.returncode == 0, done.stderr
    assert "module 'velora' has no attribute 'nothing'" in done.stdout
