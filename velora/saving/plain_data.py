"""What the model learned as JSON text, and back exactly.

The dictionary forms of metas, value models and transformers hold values JSON has no form for:
pandas indexes, NumPy date-times and durations, time stamps with a zone, non-finite floats,
dictionaries keyed by numbers. Each becomes a small JSON object tagged with its kind, so that
`loads(dumps(value))` gives back equal values of the same types. Nothing but these known
kinds is ever built on reading: no pickle, no code runs.
"""

import json
import math
from collections.abc import Callable
from datetime import UTC, timedelta, timezone
from typing import Any

import numpy as np
import pandas as pd

TAG = "__velora_type__"


class UnreadablePlainDataError(ValueError):
    """JSON text that is not a form `dumps` writes."""


def dumps(value: Any) -> str:
    """`value` as JSON text; raises `TypeError` naming where a value of no known kind is."""
    return json.dumps(to_plain(value), allow_nan=False, ensure_ascii=False)


def loads(text: str) -> Any:
    """The value `dumps` wrote; raises `UnreadablePlainDataError` for any other text."""
    try:
        return from_plain(json.loads(text))
    except UnreadablePlainDataError:
        raise
    except (KeyError, TypeError, ValueError) as error:  # JSONDecodeError is a ValueError
        raise UnreadablePlainDataError(f"not velora's plain data: {error!r}") from None


def to_plain(value: Any, where: str = "the value") -> Any:
    """`value` as lists, string-keyed dictionaries, strings, numbers, booleans and None."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else {TAG: "float", "value": repr(value)}
    for kind, (test, encode, _) in _KINDS.items():
        if test(value):
            return {TAG: kind, **encode(value, where)}
    if isinstance(value, list):
        return [to_plain(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if isinstance(value, dict):
        if all(isinstance(key, str) for key in value) and TAG not in value:
            return {key: to_plain(item, f"{where}[{key!r}]") for key, item in value.items()}
        items = [[to_plain(k, where), to_plain(v, f"{where}[{k!r}]")] for k, v in value.items()]
        return {TAG: "dict", "items": items}
    raise TypeError(f"{where} is a {type(value).__qualname__}, which cannot be saved")


def from_plain(data: Any) -> Any:
    """The value that `to_plain` turned into `data`."""
    if isinstance(data, list):
        return [from_plain(item) for item in data]
    if not isinstance(data, dict):
        return data
    if TAG not in data:
        return {key: from_plain(item) for key, item in data.items()}
    kind = data[TAG]
    if kind == "float":
        return float(data["value"])
    if kind == "dict":
        return {from_plain(key): from_plain(item) for key, item in data["items"]}
    if kind not in _KINDS:
        raise UnreadablePlainDataError(f"unknown kind of value {kind!r}")
    return _KINDS[kind][2](data)


# --- the tagged kinds: how each is recognised, written and read ---------------------------


def _ticks(value: np.datetime64 | np.timedelta64) -> dict:
    unit, _ = np.datetime_data(value.dtype)
    return {"unit": unit, "ticks": None if np.isnat(value) else int(value.astype(np.int64))}


def _from_ticks(kind: str) -> Callable[[dict], Any]:
    def read(data: dict) -> Any:
        ticks = "NaT" if data["ticks"] is None else int(data["ticks"])
        return getattr(np, kind)(ticks, data["unit"])

    return read


def _zone(tz: Any) -> str | float | None:
    """A zone by its name (IANA key, "UTC"), or a fixed one by its offset in seconds."""
    if tz is None:
        return None
    name = getattr(tz, "key", None) or getattr(tz, "zone", None)
    if name is None and tz is not UTC:
        return tz.utcoffset(None).total_seconds()
    return name or "UTC"


def _from_zone(zone: str | float | None) -> Any:
    return timezone(timedelta(seconds=zone)) if isinstance(zone, (int, float)) else zone


def _write_timestamp(value: pd.Timestamp, where: str) -> dict:
    return {"unit": value.unit, "ticks": int(value.asm8.astype(np.int64)), "zone": _zone(value.tz)}


def _read_timestamp(data: dict) -> pd.Timestamp:
    naive = pd.Timestamp(np.datetime64(int(data["ticks"]), data["unit"]))
    zone = _from_zone(data["zone"])
    return naive if zone is None else naive.tz_localize("UTC").tz_convert(zone)


def _write_array(values: np.ndarray | pd.Index | pd.Series, where: str) -> dict:
    items = values if isinstance(values, np.ndarray) else pd.Index(values)
    # Zoned date-times are written as UTC instants with their zone, other kinds item by item.
    zone = _zone(getattr(items.dtype, "tz", None))
    if zone is not None:
        items = items.tz_convert("UTC").tz_localize(None)
    array = np.asarray(items)
    listed = array.tolist() if array.dtype.kind in "biuf" else list(items)
    return {
        "dtype": str(items.dtype),
        "zone": zone,
        "values": [to_plain(item, f"{where}[{i}]") for i, item in enumerate(listed)],
    }


def _read_values(data: dict) -> list:
    return [from_plain(item) for item in data["values"]]


def _zoned(index: pd.Index, zone: Any) -> pd.Index:
    return index if zone is None else index.tz_localize("UTC").tz_convert(_from_zone(zone))


def _read_index(data: dict) -> pd.Index:
    index = pd.Index(_read_values(data), dtype=data["dtype"], name=from_plain(data["name"]))
    return _zoned(index, data["zone"])


def _read_series(data: dict) -> pd.Series:
    values = _zoned(pd.Index(_read_values(data), dtype=data["dtype"]), data["zone"])
    return pd.Series(values, index=from_plain(data["index"]), name=from_plain(data["name"]))


def _read_array(data: dict) -> np.ndarray:
    return np.array(_read_values(data), dtype=data["dtype"]).reshape(data["shape"])


def _is_plain_index(value: Any) -> bool:
    return isinstance(value, pd.Index) and not isinstance(value, pd.MultiIndex)


_KINDS: dict[str, tuple[Callable[[Any], bool], Callable[[Any, str], dict], Callable]] = {
    "nat": (lambda v: v is pd.NaT, lambda v, w: {}, lambda d: pd.NaT),
    "timestamp": (lambda v: isinstance(v, pd.Timestamp), _write_timestamp, _read_timestamp),
    "timedelta": (
        lambda v: isinstance(v, pd.Timedelta),
        lambda v, w: _ticks(v.to_timedelta64()),
        lambda d: pd.Timedelta(_from_ticks("timedelta64")(d)),
    ),
    "datetime64": (
        lambda v: isinstance(v, np.datetime64),
        lambda v, w: _ticks(v),
        _from_ticks("datetime64"),
    ),
    "timedelta64": (
        lambda v: isinstance(v, np.timedelta64),
        lambda v, w: _ticks(v),
        _from_ticks("timedelta64"),
    ),
    "numpy": (
        lambda v: isinstance(v, (np.bool_, np.integer, np.floating)),
        lambda v, w: {"dtype": str(v.dtype), "value": to_plain(v.item(), w)},
        lambda d: np.dtype(d["dtype"]).type(from_plain(d["value"])),
    ),
    "tuple": (
        lambda v: isinstance(v, tuple),
        lambda v, w: {"values": [to_plain(item, f"{w}[{i}]") for i, item in enumerate(v)]},
        lambda d: tuple(_read_values(d)),
    ),
    "index": (
        _is_plain_index,
        lambda v, w: {**_write_array(v, w), "name": to_plain(v.name, w)},
        _read_index,
    ),
    "series": (
        lambda v: isinstance(v, pd.Series),
        lambda v, w: {
            **_write_array(v, w),
            "name": to_plain(v.name, w),
            "index": to_plain(v.index, f"{w}.index"),
        },
        _read_series,
    ),
    "ndarray": (
        lambda v: isinstance(v, np.ndarray),
        lambda v, w: {**_write_array(v.ravel(), w), "shape": list(v.shape)},
        _read_array,
    ),
}
