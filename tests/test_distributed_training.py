"""Training one model on several replicas: two logical CPUs of one process, two worker
processes of one cluster, and Ray Train; a model trained so loads and samples in a plain
process."""

import json
import os
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[1]

# Run in fresh processes: logical devices and a cluster must be set before TensorFlow starts.
COMMON = """
import json, sys
import pandas as pd
import tensorflow as tf
from velora.config import DeepStateConfig
from velora.data import load_flights_sample

flights = load_flights_sample()
flights["time_hour"] = pd.to_datetime(flights["time_hour"])
ROLES = dict(id_idx="tailnum", time_idx="time_hour", event_cols=["origin", "dest", "dep_delay"],
             const_cols=["carrier"])
CONFIG = DeepStateConfig(max_time_steps=6, batch_size=16)
"""

MIRRORED = """
from velora.complex.episode_forge import EventSynthesizer

cpu = tf.config.list_physical_devices("CPU")[0]
tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * 2)
tf.keras.utils.set_random_seed(0)
strategy = tf.distribute.MirroredStrategy(["/cpu:0", "/cpu:1"])
refusals = []
for config, scoped in ((DeepStateConfig(max_time_steps=6, batch_size=15), True), (CONFIG, False)):
    if scoped:
        with strategy.scope():
            model = EventSynthesizer(flights, config=config, **ROLES)
    else:
        model = EventSynthesizer(flights, config=config, **ROLES)
    try:
        model.learn(flights, epochs=1, steps_per_epoch=1, strategy=strategy)
    except ValueError as error:
        refusals.append(str(error))
with strategy.scope():
    model = EventSynthesizer(flights, config=CONFIG, **ROLES)
# Built under the scope, the model trains under the strategy without being told.
history = model.learn(flights, epochs=4, steps_per_epoch=15)
model.save(sys.argv[1])
losses = [float(tf.reduce_mean(loss)) for loss in history.history["total_loss"]]
replicated = type(model.trainable_variables[0].value).__name__
print(json.dumps({"losses": losses, "refusals": refusals, "variable": replicated}))
"""

# The workers stream the table from Parquet, each its share of every batch.
WORKER = """
from velora.distributed import learn_on_this_worker
from velora.streaming import ParquetEvents

events = ParquetEvents(sys.argv[2], id_idx="tailnum", rows_per_chunk=200)
path = learn_on_this_worker(events, sys.argv[1], roles=ROLES, config=CONFIG, epochs=1,
                            steps_per_epoch=20)
print(json.dumps({"saved": None if path is None else str(path)}))
"""


def run_script(body: str, *arguments: str, env: dict | None = None) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(COMMON) + textwrap.dedent(body), *arguments],
        cwd=ROOT, env={**os.environ, "PYTHONPATH": str(ROOT), **(env or {})},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip


def result_of(process: subprocess.Popen) -> dict:
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err[-3000:]
    return json.loads(out.strip().splitlines()[-1])


def loaded_sample(path: Path) -> pd.DataFrame:
    from velora.complex.episode_forge import EventSynthesizer

    return EventSynthesizer.load(path).sample(5, seed=2)


def test_mirrored_over_two_logical_cpus_trains_and_loads_in_a_plain_process(tmp_path):
    path = tmp_path / "mirrored.velora"
    result = result_of(run_script(MIRRORED, str(path)))
    first, *_, last = result["losses"]
    assert last < first
    assert result["variable"] == "MirroredVariable"
    batch_refusal, scope_refusal = result["refusals"]
    assert "batch_size 15 must be a multiple of the strategy's 2 replicas" in batch_refusal
    assert "was not created under the strategy's scope" in scope_refusal
    assert loaded_sample(path)["tailnum"].nunique() == 5


def free_ports(count: int) -> list[int]:
    sockets = [socket.socket() for _ in range(count)]
    for probe in sockets:
        probe.bind(("localhost", 0))
    ports = [probe.getsockname()[1] for probe in sockets]
    for probe in sockets:
        probe.close()
    return ports


def test_two_worker_processes_train_one_model_that_the_chief_saves(tmp_path):
    from velora.data import load_flights_sample

    path, table = tmp_path / "workers.velora", tmp_path / "flights.parquet"
    flights = load_flights_sample().sort_values(["tailnum", "time_hour"], kind="stable")
    flights.assign(time_hour=pd.to_datetime(flights["time_hour"])).to_parquet(table)
    cluster = {"worker": [f"localhost:{port}" for port in free_ports(2)]}
    workers = [
        run_script(
            WORKER,
            str(path),
            str(table),
            env={
                "TF_CONFIG": json.dumps(
                    {"cluster": cluster, "task": {"type": "worker", "index": i}}
                )
            },
        )  # fmt: skip
        for i in range(2)
    ]
    results = [result_of(worker) for worker in workers]
    assert [result["saved"] for result in results] == [str(path), None]
    assert loaded_sample(path)["tailnum"].nunique() == 5


@pytest.mark.slow
def test_ray_train_trains_on_two_workers(tmp_path):
    ray = pytest.importorskip("ray")
    from velora import distributed
    from velora.config import DeepStateConfig
    from velora.data import load_flights_sample

    flights = load_flights_sample()
    flights["time_hour"] = pd.to_datetime(flights["time_hour"])
    roles = dict(id_idx="tailnum", time_idx="time_hour", event_cols=["origin", "dest"])
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        path = distributed.learn(
            flights, tmp_path / "ray.velora", workers=2, roles=roles,
            config=DeepStateConfig(max_time_steps=6, batch_size=16), epochs=1, steps_per_epoch=5,
        )  # fmt: skip
        with pytest.raises(RuntimeError, match="training on 2 workers failed"):
            distributed.learn(
                flights, tmp_path / "odd.velora", workers=2, roles=roles,
                config=DeepStateConfig(batch_size=3), epochs=1, steps_per_epoch=1,
            )  # fmt: skip
    finally:
        ray.shutdown()
    assert loaded_sample(path)["tailnum"].nunique() == 5
    assert not (tmp_path / "odd.velora").exists()
