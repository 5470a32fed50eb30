"""Sampling from a saved model on a Ray cluster, one shard per task, straight to Parquet.

Ray is an optional extra (`pip install velora[ray]`); nothing else in velora imports it.
"""

import random
from collections.abc import Sequence
from pathlib import Path
from typing import Any

# A task whose worker dies is run again this many times before the run fails.
SHARD_RETRIES = 2


class ShardError(RuntimeError):
    """A shard that could not be sampled; its message names the shard."""


def shard_path(output: Path, index: int, shards: int) -> Path:
    """Where shard `index` of `shards` is written: part-00000-of-00004.parquet, ..."""
    width = max(5, len(str(shards)))
    return output / f"part-{index:0{width}d}-of-{shards:0{width}d}.parquet"


def sample_shard(
    model_path: str, count: int, index: int, shards: int, seed: int, output: str, chunk_size: int
) -> str:
    """Load the model once and write shard `index` of `count` entities as one Parquet file,
    chunk by chunk, under a temporary name until it is complete."""
    from velora.cli import write_chunks
    from velora.complex.episode_forge import EventSynthesizer

    model = EventSynthesizer.load(model_path)
    chunks = model.sample_chunks(count, seed=seed, chunk_size=chunk_size, shard=(index, shards))
    return str(write_chunks(chunks, shard_path(Path(output), index, shards)))


def sample(
    model_path: str | Path,
    count: int,
    *,
    shards: int,
    seed: int | None = None,
    output: str | Path,
    chunk_size: int = 1024,
    address: str | None = None,
) -> list[Path]:
    """Sample `count` entities from a saved model as `shards` Ray tasks, each writing its own
    Parquet file into `output`; the driver never holds the table.

    Parameters
    ----------
    model_path : str or Path
        A model saved by `EventSynthesizer.save` (or `python -m velora fit`); every worker
        must be able to read it.
    count : int
        Entities in all.
    shards : int
        Tasks, each drawing an equal share of the chunks (no more tasks than chunks; 0
        entities write no file).
    seed : int, optional
        The same seed gives the same rows whatever the number of shards or workers; drawn
        once for the run when None.
    output : str or Path
        The folder of the shard files, read back whole with `pd.read_parquet(output)`.
    chunk_size : int
        Entities a worker draws together.
    address : str, optional
        The Ray cluster to join ("auto", "ray://host:10001"); without one, Ray's own default:
        the running cluster of this process, else a local one.

    Returns
    -------
    list of Path
        The shard files, in entity order.

    Raises
    ------
    ImportError
        Ray is not installed.
    ConnectionError
        The cluster at `address` cannot be reached.
    ShardError
        A shard failed after its retries; the message names it.
    """
    ray = _ray()
    if shards < 1 or count < 0:
        raise ValueError(
            f"velora.distributed.sample needs count >= 0 and shards >= 1, got {count} and {shards}"
        )
    # A shard holds whole chunks: more shards than chunks would be empty.
    shards = min(shards, -(-count // chunk_size))
    seed = random.randrange(2**32) if seed is None else seed
    output = Path(output)
    output.mkdir(parents=True, exist_ok=True)
    _connect(ray, address)
    task = ray.remote(max_retries=SHARD_RETRIES)(sample_shard)
    pending = [
        task.remote(str(model_path), count, index, shards, seed, str(output), chunk_size)
        for index in range(shards)
    ]
    return [Path(path) for path in _results(ray, pending)]


def _results(ray: Any, pending: Sequence[Any]) -> list[str]:
    results = []
    for index, reference in enumerate(pending):
        try:
            results.append(ray.get(reference))
        except Exception as error:  # a task error, or the worker lost for good
            raise ShardError(
                f"shard {index} of {len(pending)} failed after {SHARD_RETRIES} retries: {error}"
            ) from error
    return results


def _connect(ray: Any, address: str | None) -> None:
    if ray.is_initialized():
        return
    try:
        ray.init(address=address, ignore_reinit_error=True, log_to_driver=False)
    except (ConnectionError, TimeoutError) as error:
        raise ConnectionError(
            f"cannot reach the Ray cluster at {address!r}: {error}; start it (ray start --head) "
            "or give the address it prints"
        ) from None


def _ray() -> Any:
    try:
        import ray
    except ImportError:
        raise ImportError("velora.distributed needs Ray: pip install 'velora[ray]'") from None
    return ray
