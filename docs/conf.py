"""Sphinx configuration of velora's documentation: `make docs` builds it into docs/_build."""

import inspect
import sys
from pathlib import Path

# The checkout, whose compiled modules the build placed beside their sources.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import velora  # noqa: E402
from velora.quiet_start import import_tensorflow_quietly  # noqa: E402

import_tensorflow_quietly()
# The compiled modules themselves, imported before autodoc would read their type stubs (which
# carry no docstrings) in their place.
import velora.complex.episode_forge  # noqa: E402, F401
import velora.metadata.frame_schema  # noqa: E402, F401
import velora.transformer.child.date  # noqa: E402, F401

project = "velora"
release = velora.__version__
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Keras' own members stay in Keras' documentation.
autodoc_default_options = {"members": True, "undoc-members": False}
napoleon_google_docstring = True
napoleon_numpy_docstring = True
napoleon_use_ivar = True


def native_class_signature(app, what, name, obj, options, signature, return_annotation):
    """The signature of a class whose `__init__` is one of velora's compiled functions, which
    autodoc reads as `(*args, **kwargs)` otherwise."""
    init = getattr(obj, "__dict__", {}).get("__init__")
    if what != "class" or type(init).__name__ != "native_function":
        return None
    parameters = list(inspect.signature(init).parameters.values())[1:]
    return str(inspect.Signature(parameters)), None


def setup(app):
    app.connect("autodoc-process-signature", native_class_signature)
