"""Files of the command line: atomic replacement of outputs and the progress bar."""

from __future__ import annotations

import contextlib
import os
import tempfile
import time
from typing import IO, TextIO


class FileError(Exception):
    """A file that cannot be written; reported by the command line with exit status 1."""


def _new_file_mode(path: str) -> int:
    """The mode a plain open() would leave: the existing file's, else 0666 less the umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


class AtomicTarget:
    """A temporary file beside `path` that replaces `path` only on commit().

    The temporary file is created at once, so an unwritable directory is
    reported before any work is done. Until commit() nothing touches `path`;
    discard() removes the temporary file.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        directory = os.path.dirname(os.path.abspath(path))
        try:
            fd, self.temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
        except OSError as e:
            raise FileError(f"cannot write {path}: {e.strerror or e}") from None
        os.close(fd)
        self.mode = _new_file_mode(path)

    def commit(self) -> None:
        try:
            os.chmod(self.temp, self.mode)
            with open(self.temp, "rb") as f:
                os.fsync(f.fileno())
            os.replace(self.temp, self.path)
        except OSError as e:
            raise FileError(f"cannot write {self.path}: {e.strerror or e}") from None
        with contextlib.suppress(OSError):
            dir_fd = os.open(os.path.dirname(os.path.abspath(self.path)), os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)

    def discard(self) -> None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.temp)


class Progress:
    """A one-line progress bar on standard error, redrawn at most ten times a second.

    The position is the byte offset reached in the input file, against its size.
    """

    def __init__(self, stream: TextIO, source: IO[bytes], total_bytes: int, label: str) -> None:
        self.stream = stream
        self.source = source
        self.total = max(total_bytes, 1)
        self.label = label
        self.start = time.monotonic()
        self.last = self.start - 1.0

    def update(self, rows: int, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self.last < 0.1:
            return
        self.last = now
        fraction = min(self.source.tell() / self.total, 1.0)
        width = 30
        filled = int(fraction * width)
        bar = "#" * filled + "-" * (width - filled)
        rate = rows / max(now - self.start, 1e-9)
        self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%}  {rows:,} rows  {rate:,.0f} rows/s")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()
