"""The lock file pins, within the ranges the package states, everything the ranges need."""

import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name

REPOSITORY = Path(__file__).resolve().parents[1]


def stated_requirements() -> list[Requirement]:
    config = tomllib.loads((REPOSITORY / "pyproject.toml").read_text())
    project = config["project"]
    texts = config["build-system"]["requires"] + project["dependencies"]
    texts += [text for extra in project["optional-dependencies"].values() for text in extra]
    return [Requirement(text) for text in texts]


def locked_versions() -> dict[str, str]:
    lines = (REPOSITORY / "requirements.lock").read_text().splitlines()
    pins = [line.split("==") for line in lines if line and not line.startswith("#")]
    return {canonicalize_name(name): version for name, version in pins}


@pytest.mark.parametrize("requirement", stated_requirements(), ids=str)
def test_the_lock_pins_every_requirement_within_its_range(requirement):
    locked = locked_versions()
    name = canonicalize_name(requirement.name)
    assert name in locked, f"requirements.lock pins no {name}: run make lock"
    assert requirement.specifier.contains(locked[name]), f"{name}=={locked[name]}: run make lock"
