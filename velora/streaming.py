"""Event tables larger than memory: Parquet files read a few whole entities at a time, and
the training examples they give kept on disk, from which training draws its batches.

    events = ParquetEvents("events/", id_idx="user")
    model = EventSynthesizer(events.sample_frame(), "user", "time", event_cols=[...])
    model.learn(events, epochs=1, steps_per_epoch=10_000)

`learn` fits the transformers and clusters on `sample_frame()`, then preprocesses and encodes
the table chunk by chunk into a folder of examples, so memory holds one chunk and the model.
"""

import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

# Rows read at a time: a chunk's frames, preprocessed and encoded, stay well under a gigabyte.
ROWS_PER_CHUNK = 250_000
# Entities of the sample that the model is built from and its encoders are fitted on.
SAMPLE_ENTITIES = 20_000


class EntityOrderError(ValueError):
    """An entity whose events are not in consecutive rows of the files."""


class ParquetEvents:
    """An event table in one Parquet file or a folder of them, read in chunks of whole
    entities. Every entity's events must be in consecutive rows (the files in name order).

    Parameters
    ----------
    path : str or Path
        A Parquet file, or a folder of Parquet files that together hold the table.
    id_idx : str
        The id column.
    columns : sequence of str, optional
        The columns to read; all when None.
    rows_per_chunk : int
        Rows read at a time; a chunk holds whole entities, so it may hold a few more.
    sample_entities : int
        Entities of `sample_frame`.
    """

    def __init__(
        self,
        path: str | Path,
        *,
        id_idx: str,
        columns: Sequence[str] | None = None,
        rows_per_chunk: int = ROWS_PER_CHUNK,
        sample_entities: int = SAMPLE_ENTITIES,
    ) -> None:
        import pyarrow.dataset as ds

        self.path = Path(path)
        if not self.path.exists():
            raise FileNotFoundError(f"ParquetEvents: no such file or folder: '{self.path}'")
        self.dataset = ds.dataset(str(self.path), format="parquet")
        names = self.dataset.schema.names
        wanted = [id_idx, *(columns or [])]
        unknown = [name for name in wanted if name not in names]
        if unknown:
            raise ValueError(
                f"ParquetEvents: {unknown} not among the columns of '{self.path}': {names}"
            )
        self.id_idx = id_idx
        self.columns = list(dict.fromkeys(wanted)) if columns else None
        self.rows_per_chunk = rows_per_chunk
        self.sample_entities = sample_entities

    # Sent to other processes (cluster workers) as its settings; each opens the files anew.
    def __getstate__(self) -> dict[str, Any]:
        return {name: value for name, value in vars(self).items() if name != "dataset"}

    def __setstate__(self, state: dict[str, Any]) -> None:
        import pyarrow.dataset as ds

        vars(self).update(state)
        self.dataset = ds.dataset(str(self.path), format="parquet")

    def entity_chunks(self) -> Iterator[pd.DataFrame]:
        """The table as frames of whole entities, about `rows_per_chunk` rows each, in file
        order.

        Raises
        ------
        EntityOrderError
            An entity's events are not in consecutive rows.
        """
        finished: set[Any] = set()
        carried = None
        for batch in self.dataset.to_batches(columns=self.columns, batch_size=self.rows_per_chunk):
            frame = batch.to_pandas()
            if carried is not None:
                frame = pd.concat([carried, frame], ignore_index=True)
            # The last entity may go on in the next batch: it waits for it.
            ids = frame[self.id_idx]
            last_run = (ids != ids.shift()).cumsum()
            whole = last_run < last_run.iloc[-1]
            carried = frame[~whole]
            if whole.any():
                yield self._checked(frame[whole].reset_index(drop=True), finished)
        if carried is not None and len(carried):
            yield self._checked(carried.reset_index(drop=True), finished)

    def sample_frame(self) -> pd.DataFrame:
        """The first `sample_entities` entities of the files, whole: the frame to build the
        model from, and the one `learn` fits its encoders and clusters on."""
        frames, entities = [], 0
        for chunk in self.entity_chunks():
            ids = chunk[self.id_idx]
            wanted = self.sample_entities - entities
            kept = ids.isin(pd.unique(ids)[:wanted])
            frames.append(chunk[kept])
            entities += min(wanted, ids.nunique())
            if entities >= self.sample_entities:
                break
        return pd.concat(frames, ignore_index=True)

    def _checked(self, chunk: pd.DataFrame, finished: set[Any]) -> pd.DataFrame:
        ids = chunk[self.id_idx]
        runs = ids[ids != ids.shift()]
        again = runs[runs.duplicated() | runs.isin(finished)]
        if len(again):
            raise EntityOrderError(
                f"ParquetEvents: the events of entity {again.iloc[0]!r} in '{self.path}' are not "
                "in consecutive rows; sort the table by its id column before writing it, e.g. "
                f"df.sort_values('{self.id_idx}', kind='stable').to_parquet(...)"
            )
        finished.update(runs)
        return chunk


def is_stream(table: object) -> bool:
    """Whether `learn` reads `table` chunk by chunk rather than as one frame."""
    return isinstance(table, ParquetEvents)


class ExampleStore:
    """Training examples, appended chunk by chunk to one file per input in a temporary folder,
    read back as memory maps of float32; the folder goes when the store's block ends.

        with ExampleStore() as store:
            store.append(examples)
            arrays = store.arrays()
    """

    def __init__(self) -> None:
        self._folder = tempfile.TemporaryDirectory(prefix="velora-examples-")
        self.folder = Path(self._folder.name)
        self.rows = 0
        self.shapes: dict[str, tuple[int, ...]] = {}
        self.files: dict[str, Path] = {}

    def __enter__(self) -> "ExampleStore":
        return self

    def __exit__(self, *exception: object) -> None:
        self._folder.cleanup()

    def append(self, examples: dict[str, np.ndarray]) -> None:
        rows = {len(values) for values in examples.values()}
        if len(rows) != 1 or (self.shapes and set(examples) != set(self.shapes)):
            raise ValueError(
                f"ExampleStore: a chunk needs the inputs {sorted(self.shapes)} with one row "
                f"count each, got {sorted(examples)} with {sorted(rows)} rows"
            )
        for name, values in examples.items():
            values = np.ascontiguousarray(values, dtype=np.float32)
            if self.shapes.setdefault(name, values.shape[1:]) != values.shape[1:]:
                raise ValueError(
                    f"ExampleStore: input {name!r} has rows of shape {values.shape[1:]}, "
                    f"earlier chunks {self.shapes[name]}"
                )
            path = self.files.setdefault(name, self.folder / f"input-{len(self.files)}.f32")
            with open(path, "ab") as file:
                values.tofile(file)
        self.rows += rows.pop()

    def arrays(self) -> dict[str, np.ndarray]:
        return {
            name: np.memmap(self.files[name], np.float32, "r", shape=(self.rows, *shape))
            for name, shape in self.shapes.items()
        }


def batches(arrays: dict[str, np.ndarray], batch_size: int, shuffle: bool) -> Any:
    """An endless `tf.data` stream of batches of `batch_size` rows drawn from `arrays` (one
    row per entity or window, the same rows in every array), shuffled when asked."""
    import tensorflow as tf

    names = list(arrays)
    rows = len(arrays[names[0]])

    def gather(indices: np.ndarray) -> list[np.ndarray]:
        # Reads in file order are the fast ones; the order within a batch does not matter.
        ordered = np.sort(indices)
        return [np.asarray(arrays[name][ordered]) for name in names]

    def as_inputs(indices: Any) -> dict[str, Any]:
        columns = tf.numpy_function(gather, [indices], [tf.float32] * len(names))
        for column, name in zip(columns, names, strict=True):
            column.set_shape((batch_size, *arrays[name].shape[1:]))
        return dict(zip(names, columns, strict=True))

    stream = tf.data.Dataset.range(rows).repeat()
    if shuffle and rows > batch_size:
        stream = stream.shuffle(rows)
    return stream.batch(batch_size).map(as_inputs).prefetch(2)
