"""Model files: a trained `EventSynthesizer` in one file, and back.

A model file is a ZIP archive of two entries:

- `model.json`, plain data (see `plain_data`): the format and its version, the velora version
  that wrote it, the synthesizer's configuration, column roles, metas, value models, clusters
  and fitted transformers (see `object_state`), the names and shapes of its weights, and any
  extra plain data the caller keeps with the model (the command line keeps its table layout);
- `weights.npz`, NumPy's array container: the network weights in the model's order and the
  id codes of the training entities. It is read with `allow_pickle=False`.

Nothing in a model file is executed or unpickled on loading, so a file from someone else is
safe to load; the ZIP entries' checksums catch a damaged file.
"""

import dataclasses
import io
import zipfile
import zlib
from collections.abc import Mapping
from os import PathLike
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
import tensorflow as tf

import velora
from velora.files import atomic_write
from velora.saving import plain_data
from velora.saving.object_state import UnreadableStateError, from_state, to_state
from velora.transformer.exceptions import check_is_fitted

if TYPE_CHECKING:
    from velora.complex.episode_forge import EventSynthesizer

FORMAT = "velora-model"
FORMAT_VERSION = 1
MODEL_ENTRY, WEIGHTS_ENTRY = "model.json", "weights.npz"
# What the synthesizer learned beside its transformers and weights, by attribute.
KEPT = (
    "config",
    "nested_flags_as_given",
    "id_idx",
    "time_idx",
    "event_cols",
    "const_cols",
    "exog_cols",
    "sample_cols",
    "columns",
    "clusters",
    "df_meta",
    "df_model",
    "max_time_steps",
    "entity_lengths",
)
TRANSFORMERS = (
    "df_transformer_id",
    "df_transformer_const",
    "df_transformer_time_series",
    "df_transformer_exog",
)
ID_CODES = ("training_id_mu", "training_id_sigma")


class ModelFileError(ValueError):
    """A file that is not a model file this velora can load."""

    def __init__(self, path: str | PathLike, problem: str):
        super().__init__(f"cannot load the model file '{path}': {problem}")


def save(synthesizer: "EventSynthesizer", path: str | PathLike, extra: Any = None) -> Path:
    """Write a trained synthesizer (and `extra` plain data) to `path`, atomically."""
    check_is_fitted(synthesizer, "save", synthesizer.df_transformer_time_series)
    weights = synthesizer.weights
    arrays = {f"w{i:04d}": np.asarray(weight.numpy()) for i, weight in enumerate(weights)}
    codes = getattr(synthesizer, "training_id_codes", None)
    if codes is not None:
        arrays.update(zip(ID_CODES, (np.asarray(code) for code in codes), strict=True))
    description = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "velora_version": velora.__version__,
        "kept": to_state(_kept(synthesizer)),
        "transformers": to_state({part: getattr(synthesizer, part) for part in TRANSFORMERS}),
        "weights": [{"path": w.path, "shape": list(w.shape)} for w in weights],
        "extra": extra,
    }
    text = plain_data.dumps(description)
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)
    path = Path(path)
    with atomic_write(path) as temporary:
        with zipfile.ZipFile(temporary, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(MODEL_ENTRY, text)
            archive.writestr(WEIGHTS_ENTRY, buffer.getvalue())
    return path


def _kept(synthesizer: "EventSynthesizer") -> dict[str, Any]:
    kept = {name: getattr(synthesizer, name) for name in KEPT}
    kept["config"] = _config_as_given(synthesizer.config, synthesizer.nested_flags_as_given)
    kept["column_dtypes"] = dict(synthesizer._column_dtypes.items())
    return kept


def _config_as_given(config: Any, flags: tuple[bool, bool]) -> Any:
    """The configuration before the model set its two nested flags in place."""
    dates_as_continuous, continuous_only_dates = flags
    return dataclasses.replace(
        config,
        value_factory_config=dataclasses.replace(
            config.value_factory_config, dates_as_continuous=dates_as_continuous
        ),
        meta_transformer_config=dataclasses.replace(
            config.meta_transformer_config, continuous_only_dates=continuous_only_dates
        ),
    )


def load(cls: type["EventSynthesizer"], path: str | PathLike) -> "EventSynthesizer":
    """The synthesizer saved to `path`; raises `ModelFileError` naming the problem."""
    return load_with_extra(cls, path)[0]


def load_with_extra(
    cls: type["EventSynthesizer"], path: str | PathLike
) -> tuple["EventSynthesizer", Any]:
    """The synthesizer saved to `path` and the extra plain data saved with it."""
    description, arrays = _read(path)
    try:
        synthesizer = _rebuild(cls, description)
        _set_weights(synthesizer, description["weights"], arrays)
    except ModelFileError:
        raise
    except (KeyError, TypeError, ValueError, AttributeError, IndexError) as error:
        raise ModelFileError(path, f"its content does not make a model ({error!r})") from None
    if all(name in arrays for name in ID_CODES):
        codes = tuple(tf.constant(arrays[name]) for name in ID_CODES)
        object.__setattr__(synthesizer, "training_id_codes", codes)
    return synthesizer, description.get("extra")


def _read(path: str | PathLike) -> tuple[dict[str, Any], Mapping[str, np.ndarray]]:
    if not Path(path).is_file():
        raise ModelFileError(path, "no such file")
    try:
        with zipfile.ZipFile(path) as archive:
            names = set(archive.namelist())
            for entry in (MODEL_ENTRY, WEIGHTS_ENTRY):
                if entry not in names:
                    raise ModelFileError(path, f"it holds no {entry}; it is not a velora model")
            text = archive.read(MODEL_ENTRY).decode("utf-8")
            weights = archive.read(WEIGHTS_ENTRY)
    except (zipfile.BadZipFile, EOFError, zlib.error, UnicodeDecodeError, OSError) as error:
        problem = f"it is not a velora model file, or it is damaged ({error})"
        raise ModelFileError(path, problem) from None
    try:
        description = plain_data.loads(text)
    except plain_data.UnreadablePlainDataError as error:
        raise ModelFileError(path, f"{MODEL_ENTRY} is unreadable ({error})") from None
    _check_format(path, description)
    try:
        with np.load(io.BytesIO(weights), allow_pickle=False) as npz:
            arrays = {name: npz[name] for name in npz.files}
    except (ValueError, OSError, zipfile.BadZipFile, EOFError, zlib.error) as error:
        raise ModelFileError(path, f"{WEIGHTS_ENTRY} is unreadable ({error})") from None
    return description, arrays


def _check_format(path: str | PathLike, description: Any) -> None:
    if not isinstance(description, dict) or description.get("format") != FORMAT:
        raise ModelFileError(path, "it is a file of another format, not a velora model")
    version = description.get("format_version")
    if not isinstance(version, int):
        raise ModelFileError(path, "it names no format version")
    if version > FORMAT_VERSION:
        raise ModelFileError(
            path,
            f"it was written by a newer velora (format version {version}; this velora "
            f"{velora.__version__} reads up to {FORMAT_VERSION}): upgrade velora to load it",
        )
    missing = [key for key in ("kept", "transformers", "weights") if key not in description]
    if missing:
        raise ModelFileError(path, f"{MODEL_ENTRY} lacks {', '.join(missing)}")


def _rebuild(cls: type["EventSynthesizer"], description: dict[str, Any]) -> "EventSynthesizer":
    try:
        kept = from_state(description["kept"])
        transformers = from_state(description["transformers"])
    except UnreadableStateError as error:
        raise ValueError(str(error)) from None
    kept["_column_dtypes"] = pd.Series(kept.pop("column_dtypes"), dtype=object)
    synthesizer = cls._restore(kept, transformers)
    synthesizer.build([synthesizer.bs, synthesizer.max_time_steps, None])
    return synthesizer


def _set_weights(
    synthesizer: "EventSynthesizer", saved: list[dict], arrays: Mapping[str, np.ndarray]
) -> None:
    weights = synthesizer.weights
    if len(saved) != len(weights):
        raise ValueError(f"the file holds {len(saved)} weights where the model has {len(weights)}")
    for i, (weight, entry) in enumerate(zip(weights, saved, strict=True)):
        array = arrays.get(f"w{i:04d}")
        if array is None:
            raise ValueError(f"{WEIGHTS_ENTRY} lacks weight {i} ({entry['path']})")
        if tuple(array.shape) != tuple(weight.shape) or list(entry["shape"]) != list(array.shape):
            raise ValueError(
                f"weight {i} ({entry['path']}) has shape {tuple(array.shape)} where the model "
                f"needs {tuple(weight.shape)}"
            )
    for i, weight in enumerate(weights):
        weight.assign(arrays[f"w{i:04d}"])
