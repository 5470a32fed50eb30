"""Tables read from Parquet a chunk of whole entities at a time: chunks that cut no entity,
the order they need, and training that comes out as it does from the frame in memory."""

import pickle

import numpy as np
import pandas as pd
import pytest
import tensorflow as tf

from velora.streaming import EntityOrderError, ExampleStore, ParquetEvents, batches

from .complex.test_episode_forge import event_table, synthesizer, tiny_config


def write_parts(df: pd.DataFrame, folder, parts: int = 3) -> None:
    folder.mkdir(exist_ok=True)
    for number, rows in enumerate(np.array_split(np.arange(len(df)), parts)):
        df.iloc[rows].to_parquet(folder / f"part-{number}.parquet")


@pytest.fixture(scope="module")
def table() -> pd.DataFrame:
    # Files hold entities in the order the frame's preprocessing takes them: by id.
    return event_table(30).sort_values(["user", "time"], kind="stable").reset_index(drop=True)


@pytest.fixture(scope="module")
def folder(table, tmp_path_factory):
    folder = tmp_path_factory.mktemp("events")
    write_parts(table, folder)
    return folder


@pytest.mark.parametrize("sent", [False, True], ids=["here", "pickled"])
@pytest.mark.parametrize("rows_per_chunk", [1, 7, 10_000])
def test_chunks_hold_whole_entities_and_together_the_table(table, folder, rows_per_chunk, sent):
    events = ParquetEvents(folder, id_idx="user", rows_per_chunk=rows_per_chunk)
    # A cluster's workers get the files' settings and open them anew.
    chunks = list((pickle.loads(pickle.dumps(events)) if sent else events).entity_chunks())
    pd.testing.assert_frame_equal(pd.concat(chunks, ignore_index=True), table)
    ids = [set(chunk["user"]) for chunk in chunks]
    assert sum(map(len, ids)) == table["user"].nunique()
    assert len(chunks) <= table["user"].nunique()


def test_the_sample_is_the_first_entities_whole(table, folder):
    sample = ParquetEvents(folder, id_idx="user", rows_per_chunk=4, sample_entities=5)
    first = table["user"].unique()[:5]
    pd.testing.assert_frame_equal(sample.sample_frame(), table[table["user"].isin(first)])


@pytest.mark.parametrize("rows_per_chunk", [3, 10_000], ids=["across chunks", "in a chunk"])
def test_an_entity_in_rows_apart_is_refused_with_the_fix(table, tmp_path, rows_per_chunk):
    shuffled = pd.concat([table.iloc[:4], table.iloc[20:], table.iloc[4:20]], ignore_index=True)
    write_parts(shuffled, tmp_path, parts=2)
    events = ParquetEvents(tmp_path, id_idx="user", rows_per_chunk=rows_per_chunk)
    with pytest.raises(EntityOrderError, match=r"not in consecutive rows; sort the table"):
        list(events.entity_chunks())


@pytest.mark.parametrize(
    "path, columns, error",
    [("missing", None, FileNotFoundError), ("events", ["nope"], ValueError)],
)
def test_unreadable_sources_are_named(folder, tmp_path, path, columns, error):
    where = folder if path == "events" else tmp_path / path
    with pytest.raises(error, match="ParquetEvents: "):
        ParquetEvents(where, id_idx="user", columns=columns)


@pytest.mark.parametrize("fields", [{}, {"windows": True, "window_burn_in": 1}])
def test_streamed_training_is_the_training_in_memory(table, folder, fields):
    trained = {}
    for source in ("memory", "stream"):
        tf.keras.utils.set_random_seed(0)
        model = synthesizer(table, config=tiny_config(shuffle=False, max_time_steps=4, **fields))
        events = ParquetEvents(folder, id_idx="user", rows_per_chunk=9)
        history = model.learn(table if source == "memory" else events, epochs=1, steps_per_epoch=4)
        trained[source] = (history.history["total_loss"], model.get_weights(), model.entity_lengths)
    (memory_loss, memory_weights, memory_lengths), (loss, weights, lengths) = trained.values()
    np.testing.assert_allclose(np.ravel(loss), np.ravel(memory_loss), rtol=1e-5)
    for streamed, in_memory in zip(weights, memory_weights, strict=True):
        np.testing.assert_allclose(streamed, in_memory, rtol=1e-4, atol=1e-6)
    np.testing.assert_array_equal(lengths, memory_lengths)


def test_stored_examples_come_back_as_written_and_in_batches_of_every_row():
    with ExampleStore() as store:
        parts = [np.arange(n * 6, dtype=np.float32).reshape(n, 2, 3) for n in (3, 4)]
        for part in parts:
            store.append({"x": part, "w": part[:, :1, 0]})
        arrays = store.arrays()
        np.testing.assert_array_equal(arrays["x"], np.concatenate(parts))
        with pytest.raises(ValueError, match="input 'x' has rows of shape"):
            store.append({"x": np.zeros((1, 3)), "w": np.zeros((1, 1))})
        stream = iter(batches(arrays, batch_size=7, shuffle=True))
        rows = next(stream)["x"].numpy()
        assert rows.shape == (7, 2, 3)
        assert sorted(rows[:, 0, 0]) == sorted(arrays["x"][:, 0, 0])
        folder = store.folder
    assert not folder.exists()
