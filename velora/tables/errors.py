"""What goes wrong with a table: one error class that library callers catch, and warnings."""

import sys


class TableError(ValueError):
    """A table, its roles or a request on it that cannot be used; the message says what
    failed and what to do."""


def warn(message: str) -> None:
    """A warning the user should see, one line on stderr."""
    print(f"warning: {message}", file=sys.stderr)
