"""Loads a private extension module (tarn._alerts, ...) from the shared library of tarn.tarn.

The library carries one init function per feature module besides PyInit_tarn. Loading it
again under another name reuses the already loaded library, so the native classes share one
frame and one PanicException, and tarn.tarn keeps exactly its five public names.
"""

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

from . import tarn as _extension


def load(name: str) -> ModuleType:
    """Return the private extension module tarn.<name>, loading it on first use."""
    full = f"{__package__}.{name}"
    module = sys.modules.get(full)
    if module is not None:
        return module
    path = _extension.__file__
    loader = importlib.machinery.ExtensionFileLoader(full, path)
    spec = importlib.util.spec_from_file_location(full, path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[full] = module
    loader.exec_module(module)
    return module
