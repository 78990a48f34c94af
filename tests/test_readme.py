"""Every Python block of the README runs as written."""

import re
from pathlib import Path

import pytest

README = Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), flags=re.S | re.M)


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 7


@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_block_runs(number, tmp_path, monkeypatch, capsys):
    # Each block on its own, as a reader would paste it, in an empty directory for the files it writes.
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[number], f"README.md python block {number + 1}", "exec"), {"__name__": "__readme__"})
