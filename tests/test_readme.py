"""Every Python block of the README runs as written."""

import os
import re
from pathlib import Path

import pytest

README = Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 7


def spark_available():
    try:
        import pyspark  # noqa: F401
    except ImportError:
        if os.environ.get("TARN_REQUIRE_EXTRAS") == "1":
            raise  # CI's first stage installs the spark extra
        return False
    return True


def marks(block):
    """A block that uses Spark is a Spark test: skipped without the spark extra."""
    if "pyspark" not in block:
        return ()
    return (pytest.mark.spark, pytest.mark.skipif(not spark_available(), reason="needs the spark extra"))


@pytest.mark.parametrize("number", [pytest.param(i, marks=marks(block)) for i, block in enumerate(BLOCKS)])
def test_readme_block_runs(number, tmp_path, monkeypatch, capsys):
    # Each block on its own, as a reader would paste it, in an empty directory for the files it writes.
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[number], f"README.md python block {number + 1}", "exec"), {"__name__": "__readme__"})
