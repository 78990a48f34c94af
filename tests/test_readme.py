"""Every Python block of the README runs as written."""

import importlib.util
import os
import re
import tomllib
from pathlib import Path

import pytest

README = Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def _extras_modules():
    """Import names of the packages the optional extras install (a name as its distribution's)."""
    project = tomllib.loads((README.parent / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    requirements = [r for reqs in project.get("optional-dependencies", {}).values() for r in reqs]
    return {re.match(r"[A-Za-z0-9_.-]+", r).group(0).lower().replace("-", "_") for r in requirements}


def _skip_without_imports(block):
    """A block using a package that is not installed is skipped, unless CI installed the extras
    and the package is one of theirs."""
    for name in re.findall(r"^(?:import|from) ([A-Za-z_]\w*)", block, flags=re.M):
        if importlib.util.find_spec(name) is None:
            if os.environ.get("TARN_REQUIRE_EXTRAS") == "1" and name.lower() in _extras_modules():
                pytest.fail(f"{name} is missing although the extras are installed")
            pytest.skip(f"needs {name}")


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 7


def marks(block):
    """A block that uses Spark is a Spark test (the sanitizer stage leaves those out)."""
    return (pytest.mark.spark,) if "pyspark" in block else ()


@pytest.mark.parametrize("number", [pytest.param(i, marks=marks(block)) for i, block in enumerate(BLOCKS)])
def test_readme_block_runs(number, tmp_path, monkeypatch, capsys):
    # Each block on its own, as a reader would paste it, in an empty directory for the files it writes.
    monkeypatch.chdir(tmp_path)
    _skip_without_imports(BLOCKS[number])
    exec(compile(BLOCKS[number], f"README.md python block {number + 1}", "exec"), {"__name__": "__readme__"})
