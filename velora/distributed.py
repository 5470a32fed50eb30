"""Beyond one process: training one model on several workers (Ray Train, or any cluster
named by `TF_CONFIG`) and sampling from a saved model on a Ray cluster, one shard per task,
straight to Parquet.

Ray is an optional extra (`pip install velora[ray]`); nothing else in velora imports it.
"""

import contextlib
import os
import random
import socket
import tempfile
import urllib.parse
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import pandas as pd

from velora.files import remove_temporaries
from velora.streaming import ParquetEvents

# A task whose worker dies is run again this many times before the run fails.
SHARD_RETRIES = 2
# A shard task holds one CPU of the cluster, so its TensorFlow runs one thread: left to
# itself it would spread over every core of the machine and crowd the machine's other tasks.
ONE_CPU_TASK = {
    "env_vars": {
        "TF_NUM_INTRAOP_THREADS": "1",
        "TF_NUM_INTEROP_THREADS": "1",
        "OMP_NUM_THREADS": "1",
    }
}
# Seconds a failed run waits for its other tasks to stop before removing their files.
CANCEL_WAIT_S = 10.0
# Seconds to wait for a cluster's port to answer before calling the cluster unreachable.
REACH_TIMEOUT_S = 5.0
# The port of a ray:// address that names none.
RAY_CLIENT_PORT = 10001


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
    chunk by chunk, under a temporary name until it is complete; a model saved by `python -m
    velora fit` writes them in the layout of the table it learned."""
    from velora.complex.episode_forge import EventSynthesizer
    from velora.saving.model_file import load_with_extra
    from velora.tables import FittedTable, write_chunks

    model, extra = load_with_extra(EventSynthesizer, model_path)
    chunks = model.sample_chunks(count, seed=seed, chunk_size=chunk_size, shard=(index, shards))
    fitted = FittedTable.from_extra(model, extra)
    if fitted is not None:
        chunks = fitted.in_layout(chunks)
    path = shard_path(Path(output), index, shards)
    # An earlier attempt whose worker died left its half-written file.
    remove_temporaries(path)
    return str(write_chunks(chunks, path))


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
    Parquet file into `output`; the driver never holds the table. A failed run stops its
    other tasks and leaves none of its shard files.

    Parameters
    ----------
    model_path : str or Path
        A model saved by `EventSynthesizer.save`, or by `python -m velora fit`, whose shards
        then come out in the layout of the table it learned (as `python -m velora sample`
        writes it); every worker must be able to read it.
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
        The cluster at `address` cannot be reached (nothing answers at its port within
        `REACH_TIMEOUT_S`).
    ShardError
        A shard failed (raised an error, or lost its worker more often than it is retried);
        the message names it.
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
    _connect(ray, address)
    output.mkdir(parents=True, exist_ok=True)
    task = ray.remote(max_retries=SHARD_RETRIES, num_cpus=1, runtime_env=ONE_CPU_TASK)(sample_shard)
    pending = [
        task.remote(str(model_path), count, index, shards, seed, str(output), chunk_size)
        for index in range(shards)
    ]
    try:
        return [Path(path) for path in _results(ray, pending)]
    except ShardError:
        _abandon(ray, pending, output, shards)
        raise


def learn_on_this_worker(
    table: pd.DataFrame | str | Path,
    model_path: str | Path,
    *,
    roles: dict[str, Any],
    config: Any = None,
    epochs: int = 10,
    steps_per_epoch: int = 1000,
    seed: int = 0,
) -> Path | None:
    """One worker of a multi-worker training run, the cluster named by `TF_CONFIG` (which
    Ray Train sets, or the caller by hand): every worker trains its share of each batch and
    the chief saves the model.

    Parameters
    ----------
    table : pd.DataFrame, ParquetEvents, str or Path
        The training table; Parquet files every worker can read, streamed (the model is
        built from their sample); or a Parquet or CSV file every worker can read whole.
    model_path : str or Path
        Where the chief saves the trained model.
    roles : dict
        The `EventSynthesizer` arguments naming the columns: `id_idx`, `time_idx`,
        `event_cols` and optionally `const_cols`, `exog_cols`.
    config : DeepStateConfig, optional
        Its `batch_size` is the batch of all workers together.
    epochs, steps_per_epoch : int
        As for `learn`.
    seed : int
        Every worker starts from the same seed, so their preprocessing agrees.

    Returns
    -------
    Path or None
        The saved model on the chief, None on the other workers.
    """
    import tensorflow as tf

    from velora.complex.episode_forge import EventSynthesizer
    from velora.tables import read_table

    tf.keras.utils.set_random_seed(seed)
    if isinstance(table, ParquetEvents):
        frame, source = table.sample_frame(), table
    else:
        frame = table if isinstance(table, pd.DataFrame) else read_table(table)
        source = frame
    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    with strategy.scope():
        model = EventSynthesizer(frame, config=config, **roles)
    model.learn(source, epochs=epochs, steps_per_epoch=steps_per_epoch, strategy=strategy)
    resolver = strategy.cluster_resolver
    if resolver.task_type not in (None, "chief") and not (
        resolver.task_type == "worker" and resolver.task_id == 0
    ):
        return None
    model.save(model_path)
    return Path(model_path)


def learn(
    table: pd.DataFrame | str | Path,
    model_path: str | Path,
    *,
    workers: int,
    roles: dict[str, Any],
    config: Any = None,
    epochs: int = 10,
    steps_per_epoch: int = 1000,
    seed: int = 0,
    address: str | None = None,
) -> Path:
    """Train one model on `workers` Ray workers through Ray Train's TensorFlow trainer, which
    sets up the multi-worker strategy, and save it where `sample` (or any process) loads it.

    Parameters
    ----------
    table, model_path, roles, config, epochs, steps_per_epoch, seed
        As for `learn_on_this_worker`.
    workers : int
        Training processes, one CPU each; `config.batch_size` must be a multiple of them.
    address : str, optional
        The Ray cluster to join, as for `sample`.

    Returns
    -------
    Path
        The saved model.

    Raises
    ------
    ImportError
        Ray Train is not installed.
    ConnectionError
        The cluster at `address` cannot be reached.
    RuntimeError
        Training failed on a worker; the message carries the worker's error.
    """
    ray = _ray()
    if workers < 1:
        raise ValueError(f"velora.distributed.learn needs workers >= 1, got {workers}")
    from ray.train import RunConfig, ScalingConfig
    from ray.train.tensorflow import TensorflowTrainer

    _connect(ray, address)
    model_path = Path(model_path).resolve()
    settings = {
        "table": table
        if isinstance(table, pd.DataFrame | ParquetEvents)
        else str(Path(table).resolve()),
        "model_path": str(model_path),
        "roles": roles,
        "config": config,
        "epochs": epochs,
        "steps_per_epoch": steps_per_epoch,
        "seed": seed,
    }
    # Ray Train keeps its run's records in a storage folder; velora reports no checkpoints.
    with tempfile.TemporaryDirectory(prefix="velora-train-") as storage:
        trainer = TensorflowTrainer(
            _train_loop,
            train_loop_config=settings,
            scaling_config=ScalingConfig(num_workers=workers, use_gpu=False),
            run_config=RunConfig(storage_path=storage),
        )
        try:
            trainer.fit()
        except Exception as error:
            raise RuntimeError(
                f"velora.distributed.learn: training on {workers} workers failed: {error}"
            ) from error
    return model_path


def _train_loop(settings: dict[str, Any]) -> None:
    learn_on_this_worker(**settings)


def _results(ray: Any, pending: Sequence[Any]) -> list[str]:
    results = []
    for index, reference in enumerate(pending):
        try:
            results.append(ray.get(reference))
        except Exception as error:  # a task error, or the worker lost for good
            raise ShardError(
                f"shard {index} of {len(pending)} failed: {error} (a shard whose worker is "
                f"lost is run again up to {SHARD_RETRIES} times; an error it raises is not)"
            ) from error
    return results


def _abandon(ray: Any, pending: Sequence[Any], output: Path, shards: int) -> None:
    """Stop a failed run's tasks and remove the shards they wrote, whole or in part: read as
    one table, the rest would pass for all of it."""
    for reference in pending:
        ray.cancel(reference, force=True)  # finished tasks are left as they are
    ray.wait(list(pending), num_returns=len(pending), timeout=CANCEL_WAIT_S)
    for index in range(shards):
        path = shard_path(output, index, shards)
        path.unlink(missing_ok=True)
        remove_temporaries(path)


@contextlib.contextmanager
def connected(address: str | None = None, *, cpus: int | None = None) -> Iterator[None]:
    """This process connected to the Ray cluster at `address` for the block, or without one to
    a new local cluster (of `cpus` CPUs, else all of them), shut down afterwards. A connection
    the process holds already is used and left open.

    Raises
    ------
    ImportError
        Ray is not installed.
    ConnectionError
        The cluster at `address` cannot be reached.
    """
    ray = _ray()
    if ray.is_initialized():
        yield
        return
    _connect(ray, address or "local", cpus=None if address else cpus)
    try:
        yield
    finally:
        ray.shutdown()


def _connect(ray: Any, address: str | None, *, cpus: int | None = None) -> None:
    if ray.is_initialized():
        return
    _check_reachable(address)
    try:
        ray.init(address=address, num_cpus=cpus, ignore_reinit_error=True, log_to_driver=False)
    except (ConnectionError, TimeoutError) as error:
        raise ConnectionError(
            f"cannot reach the Ray cluster at {address!r}: {error}; start it (ray start --head) "
            "or give the address it prints"
        ) from None


def _check_reachable(address: str | None) -> None:
    """Raise `ConnectionError` unless something answers at the port of a cluster's address,
    which Ray itself would wait on for half a minute (ray://) or for good (host:port)."""
    if address in (None, "auto"):
        address = os.environ.get("RAY_ADDRESS") or address
    if address in (None, "auto", "local"):
        return  # found or started locally, and Ray says at once when there is none
    scheme, _, location = address.rpartition("://")
    if scheme not in ("", "ray"):
        return
    try:
        parts = urllib.parse.urlsplit(f"//{location}")
        host, port = parts.hostname, parts.port or (RAY_CLIENT_PORT if scheme else None)
    except ValueError:
        return  # Ray names the malformed address itself
    if host is None or port is None:
        return
    try:
        socket.create_connection((host, port), timeout=REACH_TIMEOUT_S).close()
    except OSError as error:
        raise ConnectionError(
            f"cannot reach the Ray cluster at {address!r}: nothing answers at {host}:{port} "
            f"({error}); start it (ray start --head) or give the address it prints"
        ) from None


def _ray() -> Any:
    try:
        import ray
    except ImportError:
        raise ImportError("velora.distributed needs Ray: pip install 'velora[ray]'") from None
    return ray
