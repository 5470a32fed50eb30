"""Prints every pinned requirement of the project (build, runtime and the given extras).

pyproject.toml is the one place where versions are pinned; the Makefile installs from here so
that the native build can run without build isolation (fast, incremental rebuilds).
"""

import sys
import tomllib
from pathlib import Path


def pinned_requirements(pyproject: Path, extras: list[str]) -> list[str]:
    config = tomllib.loads(pyproject.read_text())
    project = config["project"]
    requirements = list(config["build-system"]["requires"]) + list(project["dependencies"])
    for extra in extras:
        requirements += project["optional-dependencies"][extra]
    return requirements


if __name__ == "__main__":
    root = Path(__file__).resolve().parent.parent
    print("\n".join(pinned_requirements(root / "pyproject.toml", sys.argv[1:])))
