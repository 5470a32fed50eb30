"""Write a large synthetic event table as Parquet, to benchmark velora on data of a realistic
size and shape.

Each entity (a shopper) has one row per event, in time order, its rows together:

- `user_id` (integer) and `timestamp` (date-times, strictly increasing within an entity);
- `event_type`, `category` and `channel`: text of skewed frequencies, each a Markov chain
  over the entity's events (a shopping funnel, a sticky product category, a sticky channel);
- `amount` (float, a price that depends on the category) and `quantity` (an integer count
  that depends on the event type);
- `country` (text) and `age` (integer), constant within an entity.

Entity lengths are heavy-tailed: most entities have a few events, some thousands. The table
is drawn and written in row groups of about `ROW_GROUP_EVENTS` events, so memory stays small
whatever its size; the same arguments and seed give the same file.

    python benchmarks/make_event_table.py --output events.parquet [--events N]
        [--entities N] [--seed N]
"""

import argparse
from collections.abc import Iterator, Sequence
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from tqdm import tqdm

from velora.files import atomic_write

DEFAULT_EVENTS = 10_000_000
DEFAULT_ENTITIES = 300_000
# Events per row group: each is drawn whole in memory.
ROW_GROUP_EVENTS = 500_000
# Shape of the Lomax (Pareto II) weights that share the events among entities: below 2, the
# variance of the lengths is unbounded.
LENGTH_TAIL = 1.3
# Entities' first events fall in this year; each entity spans a typical month, at most a year.
FIRST_DAY = np.datetime64("2023-01-01T00:00:00", "s")
YEAR_S = 365 * 86400
TYPICAL_SPAN_S = 30 * 86400

EVENT_TYPES = ["view", "search", "cart", "purchase", "return", "support"]
# Where a shopper goes next from each event type: the funnel view -> cart -> purchase.
EVENT_TRANSITIONS = np.array(
    [
        [0.60, 0.20, 0.12, 0.03, 0.01, 0.04],
        [0.70, 0.20, 0.05, 0.02, 0.01, 0.02],
        [0.40, 0.10, 0.20, 0.27, 0.01, 0.02],
        [0.55, 0.25, 0.05, 0.05, 0.05, 0.05],
        [0.50, 0.20, 0.05, 0.05, 0.05, 0.15],
        [0.50, 0.20, 0.05, 0.05, 0.10, 0.10],
    ]
)
FIRST_EVENT_TYPE = np.array([0.55, 0.40, 0.02, 0.01, 0.01, 0.01])
# Expected quantity of each event type (view and search carry none).
QUANTITY_RATES = np.array([0.0, 0.0, 1.5, 1.8, 1.0, 0.0])

CATEGORIES = [f"category-{number:02d}" for number in range(25)]
CATEGORY_STAY = 0.75
CHANNELS = ["web", "app", "email"]
CHANNEL_STAY = 0.9
COUNTRIES = ["US", "GB", "DE", "FR", "ES", "IT", "NL", "PL", "SE", "BR", "IN", "JP"]


def main(argv: Sequence[str] | None = None) -> Path:
    """Run the command line; returns the table's path."""
    args = parse_args(argv)
    write_event_table(args.output, events=args.events, entities=args.entities, seed=args.seed)
    print(f"Event table: {args.output} ({args.events:,} events of {args.entities:,} entities)")
    return args.output


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--events", type=int, default=DEFAULT_EVENTS, help=f"rows (default {DEFAULT_EVENTS:,})"
    )
    parser.add_argument(
        "--entities",
        type=int,
        default=DEFAULT_ENTITIES,
        help=f"entities, at most one per event (default {DEFAULT_ENTITIES:,})",
    )
    parser.add_argument(
        "--output", type=Path, required=True, help="the Parquet file to write (.parquet)"
    )
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    args = parser.parse_args(argv)
    if not 1 <= args.entities <= args.events:
        parser.error(
            f"--entities must be from 1 to --events ({args.events:,}), not {args.entities:,}: "
            "every entity has an event"
        )
    if args.output.suffix.lower() != ".parquet":
        parser.error(f"--output must name a .parquet file, not '{args.output}'")
    if args.seed < 0:
        parser.error(f"--seed must be at least 0, not {args.seed}")
    return args


def write_event_table(
    path: str | Path,
    *,
    events: int,
    entities: int,
    seed: int = 0,
    row_group_events: int = ROW_GROUP_EVENTS,
) -> Path:
    """Write the table (see the module's description) to a Parquet file, a row group at a
    time under a temporary name, with a progress bar counting events."""
    path = Path(path)
    with atomic_write(path) as temporary, tqdm(total=events, unit="events") as bar:
        writer = None
        try:
            for table in event_table_chunks(events, entities, seed, row_group_events):
                writer = writer or pq.ParquetWriter(temporary, table.schema)
                writer.write_table(table)
                bar.update(table.num_rows)
        finally:
            if writer:
                writer.close()
    return path


def event_table_chunks(
    events: int, entities: int, seed: int, row_group_events: int = ROW_GROUP_EVENTS
) -> Iterator[pa.Table]:
    """The table in chunks of whole entities, of about `row_group_events` events each."""
    rng = np.random.default_rng(seed)
    lengths = entity_lengths(events, entities, rng)
    country = rng.choice(len(COUNTRIES), size=entities, p=_zipf_shares(len(COUNTRIES), 1.2))
    age = np.clip(np.round(rng.normal(38, 12, size=entities)), 18, 90).astype(np.int64)
    first_s = rng.integers(0, YEAR_S, size=entities)
    span_s = np.minimum(rng.lognormal(np.log(TYPICAL_SPAN_S), 1.0, size=entities), YEAR_S)
    bounds = _chunk_bounds(lengths, row_group_events)
    for number, (begin, end) in enumerate(zip(bounds[:-1], bounds[1:], strict=True)):
        # A generator of its own per chunk: the same chunks come out whatever was drawn before.
        chunk_rng = np.random.default_rng([seed, number])
        owner = np.repeat(np.arange(begin, end), lengths[begin:end])
        yield _chunk(chunk_rng, owner, lengths[begin:end], country, age, first_s, span_s)


def entity_lengths(events: int, entities: int, rng: np.random.Generator) -> np.ndarray:
    """Events per entity, each at least one, `events` in all, shared out by heavy-tailed
    weights."""
    weights = rng.pareto(LENGTH_TAIL, size=entities)
    return 1 + rng.multinomial(events - entities, weights / weights.sum())


def _chunk(
    rng: np.random.Generator,
    owner: np.ndarray,
    lengths: np.ndarray,
    country: np.ndarray,
    age: np.ndarray,
    first_s: np.ndarray,
    span_s: np.ndarray,
) -> pa.Table:
    rows = len(owner)
    starts = np.zeros(rows, dtype=bool)
    starts[np.cumsum(lengths) - lengths] = True
    event_type = markov_chains(rng, starts, FIRST_EVENT_TYPE, EVENT_TRANSITIONS)
    category_shares = _zipf_shares(len(CATEGORIES), 1.1)
    category = markov_chains(rng, starts, category_shares, _sticky(category_shares, CATEGORY_STAY))
    channel_shares = np.array([0.6, 0.3, 0.1])
    channel = markov_chains(rng, starts, channel_shares, _sticky(channel_shares, CHANNEL_STAY))
    # Prices by category: the first categories are the dearest.
    price_level = np.linspace(5.0, 2.5, len(CATEGORIES))
    amount = np.round(rng.lognormal(price_level[category], 0.6), 2)
    quantity = rng.poisson(QUANTITY_RATES[event_type]).astype(np.int64)
    return pa.table(
        {
            "user_id": pa.array(owner + 1, pa.int64()),
            "timestamp": pa.array(_timestamps(rng, owner, starts, first_s, span_s, lengths)),
            "event_type": _text(EVENT_TYPES, event_type),
            "category": _text(CATEGORIES, category),
            "channel": _text(CHANNELS, channel),
            "amount": pa.array(amount, pa.float64()),
            "quantity": pa.array(quantity, pa.int64()),
            "country": _text(COUNTRIES, country[owner]),
            "age": pa.array(age[owner], pa.int64()),
        }
    )


def markov_chains(
    rng: np.random.Generator, starts: np.ndarray, first: np.ndarray, transitions: np.ndarray
) -> np.ndarray:
    """States of Markov chains laid end to end, a chain beginning where `starts` is true: its
    first state drawn from `first`, each next one from the row of `transitions` of the state
    before.

    Each step is a random map from the state before to the next, all states' draws sharing
    one uniform number, so that the maps of a few steps in a row send every state to the same
    one. Composing each step's map with those before it, twice as many at every pass (pointer
    doubling), gives every step's state in a few vectorised passes; a chain's first step,
    which forgets the state before, bounds the passes by the log of the longest chain.
    """
    rows, states = len(starts), len(first)
    cumulative = np.cumsum(transitions, axis=1)
    uniform = rng.random(rows)
    # maps[i, s]: the state after step i from state s.
    maps = np.empty((rows, states), dtype=np.int16)
    for state in range(states):
        maps[:, state] = np.searchsorted(cumulative[state], uniform, side="right")
    # Rounding may leave a row's sum just below 1.
    np.minimum(maps, states - 1, out=maps)
    maps[starts] = rng.choice(states, size=int(starts.sum()), p=first)[:, None]
    pending, span = np.flatnonzero((maps != maps[:, :1]).any(axis=1)), 1
    while pending.size:
        # The maps of `span` steps ending at each pending step never reach back past its
        # chain's start (they would be constant), so the ones before it are of its chain.
        maps[pending] = np.take_along_axis(maps[pending], maps[pending - span], axis=1)
        pending = pending[(maps[pending] != maps[pending, :1]).any(axis=1)]
        span *= 2
    return maps[:, 0]


def _timestamps(
    rng: np.random.Generator,
    owner: np.ndarray,
    starts: np.ndarray,
    first_s: np.ndarray,
    span_s: np.ndarray,
    lengths: np.ndarray,
) -> np.ndarray:
    """Each entity's first event at its first time, then gaps of a second or more, bursts of
    many short ones between a few long ones, that add up to about the entity's span."""
    long_gap = rng.random(len(owner)) < 0.1
    shares = rng.exponential(np.where(long_gap, 5.5, 0.5))
    shares[starts] = 0
    totals = np.add.reduceat(shares, np.flatnonzero(starts))
    # Seconds per unit of share; an entity of one event has no gaps to scale.
    scale = np.divide(span_s[owner[starts]], totals, out=np.zeros_like(totals), where=totals > 0)
    gaps = 1 + (shares * np.repeat(scale, lengths)).astype(np.int64)
    gaps[starts] = 0
    elapsed = np.cumsum(gaps)
    since_first = elapsed - np.repeat(elapsed[starts], lengths)
    return FIRST_DAY + (first_s[owner] + since_first).astype("m8[s]")


def _chunk_bounds(lengths: np.ndarray, row_group_events: int) -> np.ndarray:
    """Entity numbers where chunks begin (and the last ends): each chunk ends with the first
    entity that brings it to `row_group_events` events or more."""
    ends = np.cumsum(lengths)
    cuts = np.searchsorted(ends, np.arange(row_group_events, ends[-1], row_group_events)) + 1
    return np.unique(np.concatenate([[0], cuts, [len(lengths)]]))


def _zipf_shares(count: int, exponent: float) -> np.ndarray:
    shares = 1.0 / np.arange(1, count + 1) ** exponent
    return shares / shares.sum()


def _sticky(shares: np.ndarray, stay: float) -> np.ndarray:
    """Transitions that keep the state with probability `stay`, else draw it afresh."""
    return stay * np.eye(len(shares)) + (1 - stay) * shares


def _text(values: Sequence[str], codes: np.ndarray) -> pa.Array:
    return pa.array(values, pa.string()).take(pa.array(codes))


if __name__ == "__main__":
    main()
