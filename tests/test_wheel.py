"""The binary wheel installs into a fresh environment with no compiler and synthesises."""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pandas as pd
import pytest

REPOSITORY = Path(__file__).resolve().parents[1]


@pytest.mark.slow
def test_the_wheel_installs_without_a_compiler_and_synthesises(tmp_path):
    subprocess.run(["make", "wheel"], cwd=REPOSITORY, check=True, capture_output=True)
    (wheel,) = (REPOSITORY / "dist").glob("velora-*-manylinux_*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert any(
        name.startswith("velora/complex/episode_forge.") and name.endswith(".so") for name in names
    )
    assert not [name for name in names if name.endswith((".cpp", ".hpp"))]

    subprocess.run([sys.executable, "-m", "venv", tmp_path / "env"], check=True)
    bin_dir = tmp_path / "env" / "bin"
    # Only the environment's own programs: no compiler, no CMake.
    bare = {**os.environ, "PATH": str(bin_dir), "CC": "false", "CXX": "false"}
    bare.pop("PYTHONPATH", None)
    install = [bin_dir / "python", "-m", "pip", "install", "--quiet", "--only-binary", ":all:"]
    constraints = ["--constraint", REPOSITORY / "requirements.lock"]
    subprocess.run([*install, *constraints, wheel], env=bare, check=True, cwd=tmp_path)

    table, output = tmp_path / "flights.csv", tmp_path / "synthetic.csv"
    load = "from velora.data import load_flights_sample; load_flights_sample().to_csv"
    subprocess.run(
        [bin_dir / "python", "-c", f"{load}({str(table)!r}, index=False)"],
        env=bare, check=True, cwd=tmp_path,
    )  # fmt: skip
    roles = ["--id", "tailnum", "--time", "time_hour", "--constants", "carrier"]
    done = subprocess.run(
        [bin_dir / "python", "-m", "velora", "synthesize", table, *roles,
         "--steps", "5", "--entities", "3", "--output", output],
        env=bare, cwd=tmp_path, capture_output=True, text=True,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    synthetic = pd.read_csv(output)
    assert list(synthetic.columns) == list(pd.read_csv(table, nrows=1).columns)
    assert synthetic["tailnum"].nunique() == 3
    located = subprocess.run(
        [bin_dir / "python", "-c", "import velora; print(velora.__file__)"],
        env=bare, cwd=tmp_path, capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert located.stdout.startswith(str(tmp_path / "env"))
