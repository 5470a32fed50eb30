"""Prints the project's requirements: build, runtime and the given extras, as ranges.

pyproject.toml states them; the Makefile installs them under requirements.lock, the exact
versions, without build isolation so that native rebuilds stay fast and incremental.
"""

import sys
import tomllib
from pathlib import Path


def requirements(pyproject: Path, extras: list[str]) -> list[str]:
    config = tomllib.loads(pyproject.read_text())
    project = config["project"]
    found = list(config["build-system"]["requires"]) + list(project["dependencies"])
    for extra in extras:
        found += project["optional-dependencies"][extra]
    return found


if __name__ == "__main__":
    root = Path(__file__).resolve().parent.parent
    print("\n".join(requirements(root / "pyproject.toml", sys.argv[1:])))
