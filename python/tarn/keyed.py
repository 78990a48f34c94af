"""One detector per key: `DetectorPool`, with an embedded SQLite store.

Only the standard library is used. The pool keeps at most `max_resident`
detectors in memory; the others live in the store as their `to_bytes()`
state and are read back (`from_bytes`) when their key returns.

    pool = DetectorPool(make_detector, store="states.db", max_resident=10_000)
    s = pool.update_and_score("host-17", [0.93])
    pool.close()                                  # flush and close

Store layout (a schema version in SQLite's `user_version`):

    detectors(key PRIMARY KEY, class TEXT, state BLOB)   one row per key

Keys keep their SQLite type (TEXT for `str`, BLOB for `bytes`, INTEGER for
`int`), so `1`, `"1"` and `b"1"` are three keys, as in a dict. Other per-key
state that a later version keeps next to the detector goes into tables of its
own keyed the same way and is written in the same flush transaction.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import sqlite3
from collections import OrderedDict
from collections.abc import Callable, Iterator
from typing import Any, Union

__all__ = ["DetectorPool", "Key", "key_seed"]

Key = Union[str, bytes, int]

_SCHEMA_VERSION = 1
_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1


def key_seed(key: Key, seed: int = 0) -> int:
    """A 64-bit seed derived from `key` and a base `seed`, the same in every process.

    Use it in `make_detector` so that a replay of the same stream gives the same
    scores: ``lambda key: tarn.Forest(1, seed=key_seed(key))``. Python's own
    `hash()` differs between processes and must not be used for this.
    """
    data = _key_bytes(_checked_key(key))
    if not 0 <= seed <= 2**64 - 1:
        raise ValueError(f"seed must be in [0, 2**64 - 1], got {seed}")
    digest = hashlib.blake2b(data, digest_size=8, key=seed.to_bytes(8, "little")).digest()
    return int.from_bytes(digest, "little")


def _checked_key(key: object) -> Key:
    if isinstance(key, (str, bytes)):
        return key
    if isinstance(key, int):
        if not _I64_MIN <= key <= _I64_MAX:
            raise OverflowError(f"an integer key must fit in 64 bits (signed), got {key}")
        return int(key)  # bool becomes int, as it does as a dict key
    raise TypeError(f"a pool key is a str, bytes or int, not {type(key).__name__}")


def _key_bytes(key: Key) -> bytes:
    # A type tag keeps 1, "1" and b"1" apart.
    if isinstance(key, str):
        return b"s" + key.encode("utf-8", "surrogatepass")
    if isinstance(key, bytes):
        return b"b" + key
    return b"i" + key.to_bytes(8, "little", signed=True)


class _Resident:
    __slots__ = ("detector", "dirty")

    def __init__(self, detector: Any, dirty: bool) -> None:
        self.detector = detector
        self.dirty = dirty


class DetectorPool:
    """One detector per key, at most `max_resident` of them in memory.

    `make_detector(key)` builds the detector of a key seen for the first time
    (derive its seed from the key with `key_seed` so a replay scores the
    same). Every detector of a pool is of one class, which must have
    `to_bytes()` and `from_bytes()`.

    `store` is the path of an SQLite database (created when missing, WAL
    journal) or None to keep everything in this process. The least recently
    used detector beyond `max_resident` is written to the store and dropped,
    and read back when its key returns, continuing bit for bit.

    `flush()` writes every detector changed since the last flush in one
    transaction; until then nothing of this run is committed, so after a
    crash the store holds the last completed flush for every key. `close()`
    flushes and closes; used as a context manager, the pool is closed on
    exit and flushed only when the block did not raise.

    Not thread-safe: use a pool from one thread at a time (the detectors it
    returns follow their own threading rules). One pool at a time opens a
    store file: it holds the file's write lock until it is closed, and a
    second pool on the same file is refused.
    """

    def __init__(
        self,
        make_detector: Callable[[Key], Any],
        store: str | os.PathLike[str] | None = None,
        max_resident: int = 10_000,
    ) -> None:
        if not callable(make_detector):
            raise TypeError("make_detector must be callable")
        if isinstance(max_resident, bool) or not isinstance(max_resident, int):
            raise TypeError(f"max_resident must be an int, not {type(max_resident).__name__}")
        if max_resident < 1:
            raise ValueError(f"max_resident must be at least 1, got {max_resident}")
        self._make = make_detector
        self._max_resident = max_resident
        self._resident: OrderedDict[Key, _Resident] = OrderedDict()
        self._unstored: set[Key] = set()  # resident keys without a row in the store
        self._class: Any = None  # the class make_detector builds
        self._pending_evictions = False  # the open transaction holds evicted states or deletes
        self._store_name = ":memory:" if store is None else os.fspath(store)
        self._db: sqlite3.Connection | None = _open_store(self._store_name)

    # -- forwarding -----------------------------------------------------------

    def update(self, key: Key, *args: Any, **kwargs: Any) -> None:
        """The key's detector's `update(*args, **kwargs)`."""
        self._call(key, "update", True, args, kwargs)

    def score(self, key: Key, *args: Any, **kwargs: Any) -> float:
        """The key's detector's `score(*args, **kwargs)` (a new key gets its detector)."""
        return self._call(key, "score", False, args, kwargs)  # type: ignore[no-any-return]

    def update_and_score(self, key: Key, *args: Any, **kwargs: Any) -> float:
        """The key's detector's `update_and_score(*args, **kwargs)`."""
        return self._call(key, "update_and_score", True, args, kwargs)  # type: ignore[no-any-return]

    def update_many(self, key: Key, *args: Any, **kwargs: Any) -> None:
        """The key's detector's `update_many(*args, **kwargs)`."""
        self._call(key, "update_many", True, args, kwargs)

    def score_many(self, key: Key, *args: Any, **kwargs: Any) -> Any:
        """The key's detector's `score_many(*args, **kwargs)`: an `array('d')`."""
        return self._call(key, "score_many", False, args, kwargs)

    def update_and_score_many(self, key: Key, *args: Any, **kwargs: Any) -> Any:
        """The key's detector's `update_and_score_many(*args, **kwargs)`: an `array('d')`."""
        return self._call(key, "update_and_score_many", True, args, kwargs)

    def _call(self, key: Key, method: str, changes: bool, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        if key.__class__ is not str:  # the common case skips the checks
            key = _checked_key(key)
        entry = self._resident.get(key)
        if entry is not None:
            self._resident.move_to_end(key)
            result = getattr(entry.detector, method)(*args, **kwargs)
            if changes:
                entry.dirty = True
            return result
        detector, stored = self._load(key)
        new = detector is None
        if new:
            detector = self._build(key)
        # A failed call leaves the detector as it was, and a new key out of the pool.
        result = getattr(detector, method)(*args, **kwargs)
        self._admit(key, detector, dirty=changes or new, stored=stored)
        return result

    # -- the mapping ----------------------------------------------------------

    def get(self, key: Key) -> Any:
        """The key's live detector, or None for a key the pool does not hold.

        The pool counts the detector as changed (it is written at the next
        flush). The object stays the key's detector only while it is resident:
        do not keep it across other calls of the pool.
        """
        key = _checked_key(key)
        entry = self._resident.get(key)
        if entry is not None:
            self._resident.move_to_end(key)
            entry.dirty = True
            return entry.detector
        detector, stored = self._load(key)
        if detector is None:
            return None
        self._admit(key, detector, dirty=True, stored=stored)
        return detector

    def discard(self, key: Key) -> None:
        """Forget the key and its detector (removed from the store at the next flush)."""
        key = _checked_key(key)
        self._resident.pop(key, None)
        if key in self._unstored:
            self._unstored.discard(key)
            return
        self._begin(self._open()).execute("DELETE FROM detectors WHERE key = ?", (key,))
        self._pending_evictions = True

    def keys(self) -> list[Key]:
        """Every key the pool holds: those in the store, then those only in memory."""
        db = self._open()
        stored: list[Key] = [row[0] for row in db.execute("SELECT key FROM detectors")]
        return stored + [k for k in self._resident if k in self._unstored]

    def __iter__(self) -> Iterator[Key]:
        return iter(self.keys())

    def __len__(self) -> int:
        db = self._open()
        (count,) = db.execute("SELECT COUNT(*) FROM detectors").fetchone()
        return int(count) + len(self._unstored)

    def __contains__(self, key: object) -> bool:
        try:
            key = _checked_key(key)
        except (TypeError, OverflowError):
            return False
        if key in self._resident:
            return True
        db = self._open()
        return db.execute("SELECT 1 FROM detectors WHERE key = ?", (key,)).fetchone() is not None

    @property
    def max_resident(self) -> int:
        """The most detectors kept in memory at once."""
        return self._max_resident

    def resident(self) -> int:
        """How many detectors are in memory now."""
        return len(self._resident)

    # -- persistence ----------------------------------------------------------

    def flush(self) -> None:
        """Write every detector changed since the last flush, in one transaction."""
        db = self._open()
        self._begin(db)
        try:
            for key, entry in self._resident.items():
                if entry.dirty:
                    self._store_state(db, key, entry.detector)
            db.execute("COMMIT")
        except BaseException:
            # Still open, the transaction keeps every write so far and a later
            # flush can finish it. Lost (SQLite rolled it back), it took the
            # evicted detectors with it, which are no longer in memory either.
            if not db.in_transaction and self._pending_evictions:
                self._close_lost()
            raise
        self._pending_evictions = False
        for entry in self._resident.values():
            entry.dirty = False
        self._unstored.clear()
        with contextlib.suppress(sqlite3.OperationalError):
            self._begin(db)  # keep the write lock (when another process took it, the next write waits)

    def close(self, flush: bool = True) -> None:
        """Flush (unless `flush` is False: then every change since the last flush is dropped) and close.

        Closing a closed pool does nothing.
        """
        db = self._db
        if db is None:
            return
        try:
            if flush:
                self.flush()
        finally:
            self._db = None
            self._resident.clear()
            self._unstored.clear()
            if db.in_transaction:
                db.execute("ROLLBACK")
            db.close()

    @property
    def closed(self) -> bool:
        return self._db is None

    def __enter__(self) -> DetectorPool:
        self._open()
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        self.close(flush=exc_type is None)

    def __repr__(self) -> str:
        where = "memory" if self._store_name == ":memory:" else repr(self._store_name)
        state = "closed" if self._db is None else f"{len(self._resident)} resident"
        return f"<DetectorPool store={where} max_resident={self._max_resident} {state}>"

    # -- internals ------------------------------------------------------------

    def _open(self) -> sqlite3.Connection:
        if self._db is None:
            raise ValueError("the pool is closed")
        return self._db

    def _build(self, key: Key) -> Any:
        detector = self._make(key)
        cls = type(detector)
        if self._class is None:
            for name in ("to_bytes", "from_bytes"):
                if not callable(getattr(cls, name, None)):
                    raise TypeError(f"make_detector({key!r}) built a {cls.__name__}, which has no {name}()")
            self._class = cls
        elif cls is not self._class:
            raise TypeError(
                f"make_detector({key!r}) built a {cls.__name__}, but this pool holds {self._class.__name__} detectors"
            )
        return detector

    def _load(self, key: Key) -> tuple[Any, bool]:
        """The key's detector from the store (None when absent), and whether the store has it."""
        db = self._open()
        row = db.execute("SELECT class, state FROM detectors WHERE key = ?", (key,)).fetchone()
        if row is None:
            return None, False
        class_name, state = row
        if self._class is None:
            # The class make_detector builds, learnt once from a throwaway detector.
            self._build(key)
        assert self._class is not None
        if class_name != self._class.__name__:
            raise ValueError(
                f"key {key!r}: the store holds a {class_name} state, but make_detector builds {self._class.__name__}"
            )
        try:
            return self._class.from_bytes(state), True
        except ValueError as e:
            raise ValueError(f"key {key!r}: cannot restore its {class_name} from the store: {e}") from e

    def _admit(self, key: Key, detector: Any, dirty: bool, stored: bool) -> None:
        self._resident[key] = _Resident(detector, dirty)
        if not stored:
            self._unstored.add(key)
        while len(self._resident) > self._max_resident:
            old_key, old = self._resident.popitem(last=False)
            if old.dirty:
                try:
                    self._store_state(self._begin(self._open()), old_key, old.detector)
                    self._pending_evictions = True
                except BaseException:
                    self._resident[old_key] = old
                    self._resident.move_to_end(old_key, last=False)
                    raise
            self._unstored.discard(old_key)

    def _begin(self, db: sqlite3.Connection) -> sqlite3.Connection:
        # Writes between two flushes share one open transaction, committed by
        # flush(): an evicted detector reaches the file only with the others.
        # The transaction is open from the start, so a second pool on the same
        # file is refused instead of overwriting this one's keys.
        if not db.in_transaction:
            db.execute("BEGIN IMMEDIATE")
        return db

    def _store_state(self, db: sqlite3.Connection, key: Key, detector: Any) -> None:
        db.execute(
            "INSERT INTO detectors (key, class, state) VALUES (?, ?, ?) "
            "ON CONFLICT (key) DO UPDATE SET class = excluded.class, state = excluded.state",
            (key, type(detector).__name__, detector.to_bytes()),
        )

    def _close_lost(self) -> None:
        # Continuing would silently restart some keys from their last flush.
        db, self._db = self._db, None
        self._resident.clear()
        self._unstored.clear()
        if db is not None:
            db.close()


def _open_store(name: str) -> sqlite3.Connection:
    db = sqlite3.connect(name, isolation_level=None, check_same_thread=False)
    try:
        (version,) = db.execute("PRAGMA user_version").fetchone()
        if version > _SCHEMA_VERSION:
            raise ValueError(f"{name}: a detector store of a newer version ({version}); this tarn reads version 1")
        if name != ":memory:":
            db.execute("PRAGMA journal_mode = WAL")
            # Each flush reaches the disk before it returns.
            db.execute("PRAGMA synchronous = FULL")
        tables = {row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if version == 0 and tables:
            raise ValueError(f"{name}: not a detector store (an SQLite database of something else)")
        if version == 0:
            db.execute("BEGIN IMMEDIATE")
            db.execute("CREATE TABLE detectors (key PRIMARY KEY NOT NULL, class TEXT NOT NULL, state BLOB NOT NULL)")
            db.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")
            db.execute("COMMIT")
        elif "detectors" not in tables:
            raise ValueError(f"{name}: not a detector store (no table 'detectors')")
        db.execute("PRAGMA busy_timeout = 200")  # another pool keeps its lock: do not wait long
        try:
            db.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError as e:
            raise ValueError(f"{name}: the store is in use by another pool ({e})") from None
        db.execute("PRAGMA busy_timeout = 5000")
    except sqlite3.DatabaseError as e:
        db.close()
        raise ValueError(f"{name}: not a detector store: {e}") from None
    except BaseException:
        db.close()
        raise
    return db
