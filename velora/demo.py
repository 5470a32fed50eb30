"""Describes the bundled flights table: its extracted schema, dictionary form and round trip.

Run with `make demo` (or `python -m velora.demo` inside the set-up environment).
"""

import pprint
import reprlib

from velora.data import load_flights_sample
from velora.metadata import DataFrameMeta
from velora.metadata.factory import MetaExtractor


def main() -> None:
    flights = load_flights_sample()
    print(f"Sample table: {len(flights)} flights of {flights['tailnum'].nunique()} aircraft")
    print(flights.head().to_string(index=False), end="\n\n")

    meta = MetaExtractor.extract(flights)
    print(meta)
    for name, child in meta.items():
        print(f"  {name:<10} {child!r}")
    print("\nDictionary form (each child's entry shortened):")
    form = meta.to_dict()
    pprint.pprint({k: v for k, v in form.items() if k != "children"}, sort_dicts=False, width=100)
    shorten = reprlib.Repr()
    shorten.maxdict, shorten.maxlevel = 4, 3
    for name, child_form in form["children"].items():
        print(f"  children[{name!r}] = {shorten.repr(child_form)}")

    rebuilt = DataFrameMeta.from_dict(form)
    same = rebuilt.to_dict()["children"] == form["children"] and list(rebuilt) == list(meta)
    print(f"\nRound trip through from_dict: {rebuilt} -> {'identical' if same else 'DIFFERENT'}")
    if not same:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
