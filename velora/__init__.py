"""Deep generative models of panel and event data.

Importing the package is cheap: the heavy modules (pandas, TensorFlow) load with the
subpackages that need them, and the names below load on first use.

>>> from velora import EventSynthesizer, evaluate, fit_table, sample_table, TableRoles
"""

import importlib
from typing import Any

__version__ = "0.1.0"

# The names most callers need first, and the modules they live in.
_FACE = {
    "EventSynthesizer": "velora.complex.episode_forge",
    "DeepStateConfig": "velora.config",
    "evaluate": "velora.evaluation",
    "EvaluationReport": "velora.evaluation",
    "TableRoles": "velora.tables",
    "TableError": "velora.tables",
    "fit_table": "velora.tables",
    "sample_table": "velora.tables",
    "sample_tables": "velora.tables",
    "read_table": "velora.tables",
    "write_table": "velora.tables",
}

__all__ = ["__version__", *_FACE]


def __getattr__(name: str) -> Any:
    if name not in _FACE:
        raise AttributeError(f"module 'velora' has no attribute '{name}'")
    return getattr(importlib.import_module(_FACE[name]), name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_FACE])
