"""Writing output files safely: checked before the work that produces them, and replaced
whole or not at all."""

import contextlib
import glob
import os
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path


class UnwritablePathError(ValueError):
    """An output path that cannot be written, or must not be (it is an input)."""


@contextlib.contextmanager
def atomic_write(path: str | Path) -> Iterator[Path]:
    """A temporary path beside `path` to write to; it becomes `path` when the block ends.

    The rename is atomic, so a failure or an interruption while writing leaves no file under
    the final name (and any earlier file there as it was); the temporary file is removed.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    handle, temporary = tempfile.mkstemp(
        dir=path.parent, prefix=_temporary_prefix(path), suffix=_TEMPORARY_SUFFIX
    )
    os.close(handle)
    try:
        yield Path(temporary)
        os.replace(temporary, path)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def remove_temporaries(path: str | Path) -> None:
    """Remove the temporary files of `atomic_write`s of `path` that never ended: a process
    killed while writing cannot remove its own."""
    path = Path(path)
    pattern = f"{glob.escape(_temporary_prefix(path))}*{_TEMPORARY_SUFFIX}"
    for temporary in path.parent.glob(pattern):
        with contextlib.suppress(FileNotFoundError):
            temporary.unlink()


_TEMPORARY_SUFFIX = ".tmp"


def _temporary_prefix(path: Path) -> str:
    # Hidden, so that a folder read as one table (Parquet shards) skips it.
    return f".{path.name}."


def check_writable(path: str | Path, *, folder: bool, inputs: Sequence[str | Path] = ()) -> None:
    """Raise `UnwritablePathError` unless `path` can be written as a file (or as a folder of
    files when `folder`), leaving nothing behind (a probe file is removed at once).

    Refused: a path that is one of `inputs`, a file where a folder is wanted or the other way
    round, a file on the way to it, and a folder that cannot be written.
    """
    path = Path(path)
    target = path.resolve()
    for source in inputs:
        if target == Path(source).resolve():
            raise UnwritablePathError(f"'{path}' is an input; write the output elsewhere")
    if path.exists() and path.is_dir() != folder:
        found, wanted = ("a file", "folder") if folder else ("a folder", "file")
        raise UnwritablePathError(f"'{path}' is {found}; give the path of a {wanted}")
    # Where writing starts: the folder itself, or the nearest folder on the way that exists.
    start = target if folder else target.parent
    existing = next(p for p in [start, *start.parents] if p.exists())
    if not existing.is_dir():
        raise UnwritablePathError(f"cannot write '{path}': '{existing}' is a file, not a folder")
    try:
        with tempfile.TemporaryFile(dir=existing):
            pass
    except OSError as error:
        raise UnwritablePathError(
            f"cannot write '{path}': folder '{existing}' is not writable ({error.strerror})"
        ) from None
