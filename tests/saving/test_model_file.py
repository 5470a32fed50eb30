"""Model files: a saved synthesizer samples as the trained one did, and bad files are refused."""

import io
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.complex.episode_forge import EventSynthesizer
from velora.config import DeepStateConfig
from velora.saving.model_file import ModelFileError
from velora.transformer.exceptions import TransformerNotFitError

REPOSITORY = Path(__file__).resolve().parents[2]


def zoned_table() -> pd.DataFrame:
    rng = np.random.default_rng(0)
    rows = []
    for entity in range(8):
        start = pd.Timestamp("2024-03-01", tz="Europe/Paris") + pd.Timedelta(days=entity)
        for step in range(2 + entity % 3):
            rows.append(
                {
                    "user": f"u{entity}",
                    "at": start + pd.Timedelta(hours=3 * step),
                    "page": rng.choice(["home", "cart"]),
                    "clicks": int(rng.integers(0, 9)),
                    "plan": ["free", "paid"][entity % 2],
                }
            )
    return pd.DataFrame(rows)


@pytest.fixture(scope="module")
def trained() -> EventSynthesizer:
    tf.keras.utils.set_random_seed(0)
    table = zoned_table()
    config = DeepStateConfig(
        capacity=8,
        latent_size=4,
        max_time_steps=4,
        batch_size=4,
        learning_rate=tf.keras.optimizers.schedules.CosineDecay(0.02, decay_steps=30),
        learn_entity_end=True,
        id_codes_from_training=True,
    )
    model = EventSynthesizer(table, "user", "at", ["page", "clicks"], ["plan"], config=config)
    model.learn(table, epochs=1, steps_per_epoch=30)
    return model


@pytest.fixture(scope="module")
def model_file(trained, tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("model") / "users.velora"
    trained.save(path)
    return path


def test_a_loaded_model_samples_what_the_saved_one_does_in_a_fresh_process(
    trained, model_file, tmp_path
):
    expected = trained.sample(6, seed=4, chunk_size=4)
    assert str(expected["at"].dtype) == str(zoned_table()["at"].dtype)
    output = tmp_path / "sampled.parquet"
    script = (
        "import sys; from velora.complex.episode_forge import EventSynthesizer as E; "
        "E.load(sys.argv[1]).sample(6, seed=4, chunk_size=4).to_parquet(sys.argv[2])"
    )
    environment = {**os.environ, "PYTHONPATH": str(REPOSITORY)}
    subprocess.run([sys.executable, "-c", script, model_file, output], check=True, env=environment)
    pd.testing.assert_frame_equal(pd.read_parquet(output), expected)


def test_saving_an_untrained_model_is_refused(tmp_path):
    model = EventSynthesizer(zoned_table(), "user", "at", ["page"])
    with pytest.raises(TransformerNotFitError, match="call learn"):
        model.save(tmp_path / "untrained.velora")
    assert not list(tmp_path.iterdir())


def rewritten(model_file: Path, path: Path, *, description=None, weights=None) -> Path:
    """A copy of the model file with its description or weights changed."""
    with zipfile.ZipFile(model_file) as archive:
        text = archive.read("model.json").decode()
        with np.load(io.BytesIO(archive.read("weights.npz"))) as npz:
            arrays = dict(npz)
    if description:
        text = json.dumps(description(json.loads(text)))
    if weights:
        weights(arrays)
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("model.json", text)
        archive.writestr("weights.npz", buffer.getvalue())
    return path


def written(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


def without(key):
    return lambda d: {k: v for k, v in d.items() if k != key}


def widened(arrays):
    arrays["w0000"] = np.zeros(tuple(n + 1 for n in arrays["w0000"].shape), np.float32)


def foreign_class(d):
    d["kept"]["config"]["class"] = "os:system"
    return d


@pytest.mark.parametrize(
    "make, problem",
    [
        (lambda src, p: p, "no such file"),
        (lambda src, p: written(p, b""), "not a velora model file"),
        (lambda src, p: written(p, os.urandom(2048)), "not a velora model file"),
        (lambda src, p: written(p, src.read_bytes()[:3000]), "not a velora model"),
        (lambda src, p: rewritten(src, p, description=without("kept")), "lacks kept"),
        (lambda src, p: rewritten(src, p, description=lambda d: {**d, "format": "x"}), "another"),
        (
            lambda src, p: rewritten(src, p, description=lambda d: {**d, "format_version": 9}),
            r"newer velora \(format version 9",
        ),
        (lambda src, p: rewritten(src, p, weights=widened), "weight 0 .* has shape"),
        (lambda src, p: rewritten(src, p, description=foreign_class), "not a class of velora's"),
    ],
)
def test_files_that_are_not_models_are_refused_naming_the_file(model_file, tmp_path, make, problem):
    path = make(model_file, tmp_path / "bad.velora")
    with pytest.raises(ModelFileError, match=problem) as refused:
        EventSynthesizer.load(path)
    assert str(path) in str(refused.value)


def test_constants_given_to_a_model_with_training_codes_are_kept_whatever_the_chunks(trained):
    # Such a model draws each entity from a training entity's code chosen by how well its
    # decoded constants match the given ones.
    given = pd.DataFrame({"plan": ["paid", "free", "paid", "paid", "free"]})
    by_chunk = [trained.sample(5, seed=1, df_const=given, chunk_size=size) for size in (2, 5)]
    pd.testing.assert_frame_equal(by_chunk[0], by_chunk[1], rtol=1e-5)
    assert by_chunk[0].groupby("user", sort=True)["plan"].unique().map(list).tolist() == [
        [plan] for plan in given["plan"]
    ]
