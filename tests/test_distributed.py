"""Sharded sampling on a local Ray cluster: the same rows whatever the shards, whole shard
files only, and clear errors."""

import functools
import os
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from velora import cli, distributed, tables

ray = pytest.importorskip("ray")


@pytest.fixture(scope="module")
def model_file(tmp_path_factory):
    import tensorflow as tf

    from velora.complex.episode_forge import EventSynthesizer
    from velora.config import DeepStateConfig
    from velora.data import load_flights_sample

    tf.keras.utils.set_random_seed(0)
    flights = load_flights_sample()
    flights["time_hour"] = pd.to_datetime(flights["time_hour"])
    model = EventSynthesizer(
        flights, "tailnum", "time_hour", event_cols=["origin", "dest", "dep_delay"],
        const_cols=["carrier"], config=DeepStateConfig(max_time_steps=6),
    )  # fmt: skip
    model.learn(flights, epochs=1, steps_per_epoch=3)
    path = tmp_path_factory.mktemp("model") / "flights.velora"
    model.save(path)
    return path


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def test_the_same_rows_come_out_whatever_the_shards(model_file, cluster, tmp_path):
    tables = {}
    for shards in (1, 2, 4):
        output = tmp_path / f"shards-{shards}"
        files = distributed.sample(
            model_file, 9, shards=shards, seed=3, output=output, chunk_size=2
        )
        assert len(files) == shards and all(path.parent == output for path in files)
        tables[shards] = pd.concat(map(pd.read_parquet, files), ignore_index=True)
    assert tables[1]["tailnum"].nunique() == 9
    # Times in seconds: a process's own float32 sums may round them a few milliseconds apart.
    seconds = {
        k: t.assign(time_hour=t["time_hour"].astype("int64") / 1e9) for k, t in tables.items()
    }
    pd.testing.assert_frame_equal(seconds[1], seconds[2], rtol=1e-6, atol=1e-2)
    pd.testing.assert_frame_equal(seconds[1], seconds[4], rtol=1e-6, atol=1e-2)


@pytest.fixture(scope="module")
def fitted_file(model_file, tmp_path_factory) -> Path:
    """The model of `model_file` with the table layout that `python -m velora fit` keeps in
    its file: the flights' text times, which the raw model gives as date-times."""
    from velora.complex.episode_forge import EventSynthesizer
    from velora.data import load_flights_sample

    roles = tables.TableRoles("tailnum", "time_hour", ["origin", "dest", "dep_delay"], ["carrier"])
    codec = tables.TimeCodec(load_flights_sample()["time_hour"])
    model = EventSynthesizer.load(model_file)
    fitted = tables.FittedTable(model, roles, codec, tables.roles_columns(roles))
    return fitted.save(tmp_path_factory.mktemp("fitted") / "flights.velora")


def test_the_sample_command_on_workers_writes_the_table_of_one_process(
    fitted_file, cluster, tmp_path, monkeypatch, capsys
):
    # Chunks of two entities, so that five make three chunks: two shards on two workers.
    monkeypatch.setattr(tables, "SAMPLE_CHUNK", 2)
    sample = ["sample", fitted_file, "--entities", "5", "--seed", "4"]
    assert cli.main([str(a) for a in [*sample, "--output", tmp_path / "one.parquet"]]) == 0
    expected = pd.read_parquet(tmp_path / "one.parquet")
    for workers in (1, 2):
        output = tmp_path / f"workers-{workers}"
        args = [*sample, "--workers", workers, "--output", output]
        assert cli.main([str(a) for a in args]) == 0
        assert len(list(output.glob("part-*.parquet"))) == workers
        table = pd.read_parquet(output)
        assert table["tailnum"].nunique() == 5
        # Times on the hourly grid of the text they are written as, so float32 sums that
        # differ by milliseconds from process to process give the same text.
        pd.testing.assert_frame_equal(table, expected, rtol=1e-6, atol=1e-2)
    assert f"Synthetic table: {output}" in capsys.readouterr().out


def test_a_failing_shard_is_named_and_leaves_no_file(model_file, cluster, tmp_path):
    with pytest.raises(distributed.ShardError, match="shard 0 of 2 failed"):
        distributed.sample(
            tmp_path / "missing.velora", 4, shards=2, seed=1, output=tmp_path / "o", chunk_size=2
        )
    assert not list((tmp_path / "o").iterdir())


def test_no_entities_write_no_file(model_file, cluster, tmp_path):
    assert distributed.sample(model_file, 0, shards=3, seed=1, output=tmp_path) == []


@pytest.mark.parametrize("address", ["ray://127.0.0.1:1", "127.0.0.1:1"])
def test_an_unreachable_cluster_is_a_connection_error_at_once(tmp_path, address):
    # A fresh process, since one connected to a cluster already never connects again.
    script = (
        "from velora import distributed\n"
        "try:\n"
        f"    distributed.sample('m.velora', 1, shards=1, output='out', address={address!r})\n"
        "except ConnectionError as error:\n"
        "    print(error)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": str(Path(__file__).resolve().parents[1])},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"cannot reach the Ray cluster at '{address}'"), done.stdout
    assert "127.0.0.1:1" in done.stdout and "ray start --head" in done.stdout
    assert not (tmp_path / "out").exists()


def test_without_ray_the_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(ImportError, match=r"pip install 'velora\[ray\]'"):
        distributed.sample("m.velora", 1, shards=1, output="out")


def dying_shard_task(attempts: Path, deaths: int):
    """The shard task, but the worker process of each shard's first `deaths` attempts exits
    after writing the shard's first chunk, as a worker killed mid-shard."""

    # Defined here, not at module level, so that Ray ships it by value: the workers cannot
    # import the test module.
    def sample_shard(model_path, count, index, shards, *rest):
        log = attempts / f"shard-{index}"
        with log.open("a") as file:
            file.write("attempt\n")
        if len(log.read_text().splitlines()) <= deaths:
            write_chunks = tables.write_chunks

            def write_first_chunk_then_die(chunks, path):
                def first_then_exit():
                    yield next(chunks)
                    os._exit(1)

                return write_chunks(first_then_exit(), path)

            tables.write_chunks = write_first_chunk_then_die  # this worker is about to die
        return distributed.sample_shard(model_path, count, index, shards, *rest)

    return sample_shard


# Last of the tests on the cluster: each killed worker is one the next task must start afresh.
@pytest.mark.parametrize("deaths", [1, 2], ids=["once", "always"])
def test_a_worker_killed_mid_shard_leaves_the_whole_shard_or_none(
    model_file, cluster, tmp_path, monkeypatch, deaths
):
    # One retry is enough to show retries run out, and each death costs a worker start.
    monkeypatch.setattr(distributed, "SHARD_RETRIES", 1)
    attempts, output = tmp_path / "attempts", tmp_path / "out"
    attempts.mkdir()
    monkeypatch.setattr(distributed, "sample_shard", dying_shard_task(attempts, deaths))
    # Two chunks, so that the worker dies with the shard half written.
    run = functools.partial(
        distributed.sample, model_file, 4, shards=1, seed=5, output=output, chunk_size=2
    )
    if deaths > distributed.SHARD_RETRIES:
        with pytest.raises(distributed.ShardError, match="shard 0 of 1 failed"):
            run()
        assert not list(output.glob("part-*.parquet"))
        assert not list(output.iterdir()), "no temporary file is left either"
    else:
        files = run()
        assert sorted(output.iterdir()) == files, "the shard and no temporary file"
        assert pd.read_parquet(output)["tailnum"].nunique() == 4
    assert len((attempts / "shard-0").read_text().splitlines()) == 2, "killed, then retried"
