"""EventSynthesizer.preprocess_df against the grouped pandas definition, side by side.

Builds a synthetic event table (an id, a datetime, a categorical, a float with missing values
and an int; 1 to 60 events per entity), turns it into the time-step frame natively at each
size, and at the largest size also with the plain grouped pandas definition, checks the two
frames equal and prints the times and the ratio. The target is the native frame at least 30x
faster; the time per row at the different sizes shows that it grows linearly.

    python benchmarks/bench_preprocess.py [--entities N [N ...]] [--max-steps T] [--quick]
"""

import argparse
import time
from types import SimpleNamespace

import pandas as pd
from _tables import best_time, event_table, print_table, reference_steps

from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig

TARGET = 30.0
ID, TIME = "id", "t"


def native_steps(df: pd.DataFrame, max_steps: int) -> pd.DataFrame:
    # preprocess_df reads only these attributes of its model, so no model needs training.
    owner = SimpleNamespace(
        clusters={}, id_idx=ID, time_idx=TIME, max_time_steps=max_steps, config=DeepStateConfig()
    )
    return EventSynthesizer.preprocess_df(owner, df, max_time_steps=max_steps)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--entities", type=int, nargs="+", default=[10_000, 20_000], help="table sizes"
    )
    parser.add_argument("--max-events", type=int, default=60, help="most events of one entity")
    parser.add_argument("--max-steps", type=int, default=30, help="time steps per entity")
    parser.add_argument("--repeats", type=int, default=3, help="native runs; the best counts")
    parser.add_argument("--quick", action="store_true", help="small tables, for a smoke test")
    args = parser.parse_args(argv)
    sizes = [500, 1_000] if args.quick else sorted(args.entities)

    print(
        f"preprocess_df, up to {args.max_events} events per entity, max_time_steps "
        f"{args.max_steps}; native best of {args.repeats}, grouped pandas once at the largest size"
    )
    rows, ratio, per_row = [], None, []
    for entities in sizes:
        df = event_table(entities, max_events=args.max_events)
        native = best_time(lambda df=df: native_steps(df, args.max_steps), args.repeats)
        per_row.append(native / len(df))
        cells = [f"{entities:,}", f"{len(df):,}", f"{native:.3f}", f"{native / len(df) * 1e6:.2f}"]
        if entities == sizes[-1]:
            began = time.perf_counter()
            expected = reference_steps(df, ID, TIME, args.max_steps)
            reference = time.perf_counter() - began
            # Equal frames on the same input, else the ratio would mean nothing.
            pd.testing.assert_frame_equal(
                native_steps(df, args.max_steps), expected, check_index_type=False
            )
            ratio = reference / native
            cells += [f"{reference:.2f}", f"{ratio:.1f}x"]
        else:
            cells += ["-", "-"]
        rows.append(cells)
    print_table(["entities", "rows", "native s", "native us/row", "pandas s", "speed-up"], rows)
    print("frames equal (pd.testing.assert_frame_equal): yes")
    verdict = "met" if ratio >= TARGET else "MISSED"
    print(f"speed-up {ratio:.1f}x at {sizes[-1]:,} entities: target >= {TARGET:g}x {verdict}")
    if len(sizes) > 1:
        print(
            f"time per row, {sizes[-1]:,} vs {sizes[0]:,} entities: "
            f"{per_row[-1] / per_row[0]:.2f}x (1.00x is linear)"
        )


if __name__ == "__main__":
    main()
