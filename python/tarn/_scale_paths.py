"""Private hook for tests and benchmarks: the paths MStream's decay can take.

Scaling an array of decayed counts by a factor has a plain loop (the
reference, slow on processors that take a microcoded path for subnormal
numbers), a portable path and, on x86-64, AVX2 and AVX-512F paths
chosen at run time. All give the same bits; these functions let tests run
each path against the plain product and benchmarks time them side by side.
Not part of the public API.
"""

import contextlib
import ctypes
from typing import Any, Iterator

from . import tarn as _extension

PATHS = {"automatic": -1, "plain": 0, "portable": 1, "avx2": 2, "avx512": 3}

_lib = ctypes.CDLL(_extension.__file__)
_lib.tarn_scale_array.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double, ctypes.c_int]
_lib.tarn_scale_path_available.argtypes = [ctypes.c_int]
_lib.tarn_scale_path_force.argtypes = [ctypes.c_int]


def available() -> list[str]:
    """The named paths this processor can run (automatic aside)."""
    return [name for name, n in PATHS.items() if n >= 0 and _lib.tarn_scale_path_available(n)]


def scale(values: Any, factor: float, path: str) -> None:
    """values *= factor in place through `path`; values is a contiguous float64 numpy array."""
    if values.dtype.str != "<f8" or not values.flags.c_contiguous or not values.flags.writeable:
        raise ValueError("values must be a writeable contiguous float64 array")
    if not _lib.tarn_scale_array(values.ctypes.data, values.size, float(factor), PATHS[path]):
        raise RuntimeError(f"the {path} path is not available on this processor")


@contextlib.contextmanager
def forced(path: str) -> Iterator[None]:
    """Every decay in the process takes `path` inside the block (and for the plain and portable
    paths, MStream's other vector arithmetic takes its two-lane paths)."""
    if not _lib.tarn_scale_path_force(PATHS[path]):
        raise RuntimeError(f"the {path} path is not available on this processor")
    try:
        yield
    finally:
        _lib.tarn_scale_path_force(PATHS["automatic"])
