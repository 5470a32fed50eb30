"""DateTransformer against plain NumPy computing the same numbers, side by side.

For the calendar and the business-day encoder, times `fit`, `transform` and
`inverse_transform` of the date pipeline (day numbers and a standard scaler) and the
vectorised NumPy computation of the same values, and prints each step's ratio. The target
is `transform` within 3x of NumPy for both encoders.

    python benchmarks/bench_date.py [--rows N] [--repeats R]
"""

import argparse
import time
from collections.abc import Callable

import numpy as np
import pandas as pd

from velora.config import DateTransformerConfig
from velora.transformer.child.date import DateTransformer

HOURS_MIN, HOURS_MAX = 9, 17
TARGET = 3.0


def sample_dates(rows: int) -> np.ndarray:
    rng = np.random.default_rng(0)
    seconds = rng.integers(0, 3 * 365 * 86400, size=rows)
    return np.datetime64("2020-01-06T09:00:00", "ns") + seconds.astype("m8[s]")


# --- the same numbers in plain NumPy --------------------------------------------------------


def calendar_days(values: np.ndarray, start: np.datetime64) -> np.ndarray:
    return (values - start) / np.timedelta64(1, "s") / 86400


def calendar_dates(numbers: np.ndarray, start: np.datetime64) -> np.ndarray:
    return start + np.round(numbers * 86400e6).astype("m8[us]")


def window(start: np.datetime64) -> tuple[np.datetime64, int, int]:
    start_day = start.astype("M8[D]")
    start_seconds = int((start - start_day) / np.timedelta64(1, "s"))
    return start_day, start_seconds - HOURS_MIN * 3600, (HOURS_MAX - HOURS_MIN) * 3600


def business_days(values: np.ndarray, start: np.datetime64) -> np.ndarray:
    start_day, offset, length = window(start)
    days = values.astype("M8[D]")
    time_of_day = (values - days) / np.timedelta64(1, "s")
    return np.busday_count(start_day, days) + (time_of_day - HOURS_MIN * 3600 - offset) / length


def business_dates(numbers: np.ndarray, start: np.datetime64) -> np.ndarray:
    start_day, offset, length = window(start)
    shifted = numbers + offset / length
    days = np.floor(shifted).astype(np.int64)
    seconds = ((shifted - days) * length + HOURS_MIN * 3600).astype("m8[s]")
    return np.busday_offset(start_day, days, roll="forward").astype("M8[s]") + seconds


ENCODERS = {
    "calendar": (False, calendar_days, calendar_dates),
    "business": (True, business_days, business_dates),
}


# --- timing ---------------------------------------------------------------------------------


def best_time(step: Callable[..., object], repeats: int, setup=None) -> float:
    """The fastest of `repeats` runs of step(), or of step(setup()) with setup not timed."""
    best = float("inf")
    for _ in range(repeats):
        arguments = (setup(),) if setup else ()
        began = time.perf_counter()
        step(*arguments)
        best = min(best, time.perf_counter() - began)
    return best


def bench_encoder(label: str, values: np.ndarray, repeats: int) -> list[tuple[str, float, float]]:
    business_dates_only, encode, decode = ENCODERS[label]
    config = DateTransformerConfig(continuous_only_dates=True)

    def pipeline() -> DateTransformer:
        return DateTransformer(
            "d",
            config=config,
            business_dates_only=business_dates_only,
            hours_min=HOURS_MIN,
            hours_max=HOURS_MAX,
        )

    df = pd.DataFrame({"d": values})
    fitted = pipeline().fit(df)
    encoded = fitted.transform(df.copy())
    start = values.min()

    def numpy_fit():
        numbers = encode(values, values.min())
        return numbers.mean(), numbers.std()

    mean, std = numpy_fit()

    def numpy_inverse():
        text = np.datetime_as_string(decode(encoded["d"].to_numpy() * std + mean, start), "s")
        return np.char.replace(text, "T", " ")

    return [
        ("fit", best_time(lambda: pipeline().fit(df), repeats), best_time(numpy_fit, repeats)),
        (
            "transform",
            best_time(fitted.transform, repeats, setup=df.copy),
            best_time(lambda: (encode(values, start) - mean) / std, repeats),
        ),
        (
            "inverse_transform",
            best_time(fitted.inverse_transform, repeats, setup=encoded.copy),
            best_time(numpy_inverse, repeats),
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="date-times per column")
    parser.add_argument("--repeats", type=int, default=3, help="runs per step; the best counts")
    args = parser.parse_args()

    values = sample_dates(args.rows)
    print(f"DateTransformer on {args.rows:,} date-times, best of {args.repeats}")
    print(f"{'encoder':<10} {'step':<18} {'velora s':>9} {'numpy s':>9} {'ratio':>7}")
    for label in ENCODERS:
        for step, ours, theirs in bench_encoder(label, values, args.repeats):
            ratio = ours / theirs
            flag = ""
            if step == "transform":
                flag = "  ABOVE TARGET" if ratio > TARGET else f"  (target <= {TARGET:g}x)"
            print(f"{label:<10} {step:<18} {ours:>9.4f} {theirs:>9.4f} {ratio:>6.2f}x{flag}")


if __name__ == "__main__":
    main()
