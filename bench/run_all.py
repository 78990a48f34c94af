"""Runs every throughput benchmark in this folder, one after another.

Each prints the median per call (or MB/s for state texts) after warm-up.
Run from the repository root with the extension importable, e.g.
    scripts/dev-build && PYTHONPATH=python python bench/run_all.py
"""
import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent
ORDER = ["forest", "forest_queries", "onlineiforest", "mstream", "featuresketch", "persistence", "binary_state", "alerts"]

if __name__ == "__main__":
    only = set(sys.argv[1:])
    for name in ORDER:
        if only and name not in only:
            continue
        print(f"== {name}", flush=True)
        sys.argv = [str(HERE / f"{name}.py")]
        runpy.run_path(str(HERE / f"{name}.py"), run_name="__main__")
