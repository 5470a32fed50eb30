"""Sharded sampling on a local Ray cluster: the same rows whatever the shards, whole shard
files only, and clear errors."""

import sys

import pandas as pd
import pytest

from velora import distributed

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


def test_a_failing_shard_is_named_and_leaves_no_file(model_file, cluster, tmp_path):
    with pytest.raises(distributed.ShardError, match="shard 0 of 2 failed"):
        distributed.sample(
            tmp_path / "missing.velora", 4, shards=2, seed=1, output=tmp_path / "o", chunk_size=2
        )
    assert not list((tmp_path / "o").iterdir())


def test_no_entities_write_no_file(model_file, cluster, tmp_path):
    assert distributed.sample(model_file, 0, shards=3, seed=1, output=tmp_path) == []


def test_without_ray_the_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(ImportError, match=r"pip install 'velora\[ray\]'"):
        distributed.sample("m.velora", 1, shards=1, output="out")
