"""The framework's fitted objects as plain data, and back, without running foreign code.

`to_state` turns metas (by their `to_dict` form), configurations, learning-rate schedules,
dtypes and the fitted objects of our own framework (value models, transformers, clusters:
their attributes) into dictionaries tagged `OBJECT_TAG`, leaving every other value to
`plain_data`. `from_state` rebuilds only classes of the `velora` package that derive from
`SAVED_BASES`, or Keras' own schedules, and runs none of their constructors.
"""

import dataclasses
import importlib
from typing import Any

import keras
import numpy as np
import pandas as pd
from pandas.api.extensions import ExtensionDtype

from velora.complex.latent_dynamics import Cluster
from velora.metadata.base import Meta
from velora.model import DataFrameModel
from velora.model.base import ValueModel
from velora.transformer.base import Transformer

OBJECT_TAG = "__velora_object__"
SAVED_BASES = (Transformer, ValueModel, DataFrameModel, Cluster)
_PACKAGE = "velora."
_SCHEDULES = keras.optimizers.schedules


class UnreadableStateError(ValueError):
    """Saved state that does not describe an object this velora can rebuild."""


def to_state(value: Any) -> Any:
    """`value` with every framework object replaced by its tagged state."""
    if isinstance(value, Meta):
        return {OBJECT_TAG: "meta", "form": value.to_dict()}
    if isinstance(value, (np.dtype, ExtensionDtype)):
        return {OBJECT_TAG: "dtype", "name": str(value)}
    if isinstance(value, _SCHEDULES.LearningRateSchedule):
        return {OBJECT_TAG: "schedule", "class": type(value).__name__, "config": value.get_config()}
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        fields = {f.name: to_state(getattr(value, f.name)) for f in dataclasses.fields(value)}
        return {OBJECT_TAG: "config", "class": _class_name(value), "fields": fields}
    if isinstance(value, SAVED_BASES):
        state = {name: to_state(item) for name, item in vars(value).items()}
        return {OBJECT_TAG: "object", "class": _class_name(value), "state": state}
    if isinstance(value, list):
        return [to_state(item) for item in value]
    if isinstance(value, tuple):
        return tuple(to_state(item) for item in value)
    if isinstance(value, dict):
        return {key: to_state(item) for key, item in value.items()}
    return value


def from_state(data: Any) -> Any:
    """The value `to_state` turned into `data` (after a round trip through `plain_data`)."""
    if isinstance(data, list):
        return [from_state(item) for item in data]
    if isinstance(data, tuple):
        return tuple(from_state(item) for item in data)
    if not isinstance(data, dict):
        return data
    if OBJECT_TAG not in data:
        return {key: from_state(item) for key, item in data.items()}
    kind = data[OBJECT_TAG]
    if kind == "meta":
        return Meta.from_dict(data["form"])
    if kind == "dtype":
        return pd.api.types.pandas_dtype(data["name"])
    if kind == "schedule":
        return _schedule(data["class"]).from_config(data["config"])
    if kind == "config":
        cls = _framework_class(data["class"], dataclass=True)
        return cls(**{name: from_state(item) for name, item in data["fields"].items()})
    if kind == "object":
        cls = _framework_class(data["class"], dataclass=False)
        obj = cls.__new__(cls)
        obj.__dict__.update({name: from_state(item) for name, item in data["state"].items()})
        return obj
    raise UnreadableStateError(f"unknown kind of saved object {kind!r}")


def _class_name(value: Any) -> str:
    cls = type(value)
    return f"{cls.__module__}:{cls.__qualname__}"


def _framework_class(name: str, *, dataclass: bool) -> type:
    """The class `module:qualname` names, if it is one of ours that may be rebuilt."""
    module_name, _, qualname = name.partition(":")
    if not module_name.startswith(_PACKAGE):
        raise UnreadableStateError(f"{name!r} is not a class of velora's")
    try:
        found: Any = importlib.import_module(module_name)
        for part in qualname.split("."):
            found = getattr(found, part)
    except (ImportError, AttributeError):
        raise UnreadableStateError(f"this velora has no class {name!r}") from None
    allowed = (
        dataclasses.is_dataclass(found)
        if dataclass
        else isinstance(found, type) and issubclass(found, SAVED_BASES)
    )
    if not isinstance(found, type) or not allowed:
        raise UnreadableStateError(f"{name!r} is not a kind of object a model file may hold")
    return found


def _schedule(name: str) -> type:
    found = getattr(_SCHEDULES, name, None)
    if not (isinstance(found, type) and issubclass(found, _SCHEDULES.LearningRateSchedule)):
        raise UnreadableStateError(f"{name!r} is not a learning-rate schedule of Keras")
    return found
