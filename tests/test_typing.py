"""The type stubs: they pass mypy --strict on an example and agree with the extension."""

import ast
import inspect
import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

import tarn

PACKAGE = Path(tarn.__file__).parent
EXAMPLE = Path(__file__).with_name("typing_example.py")
CLASSES = ["Forest", "OnlineIForest", "MStream", "FeatureSketch"]


def _stub_classes():
    tree = ast.parse((PACKAGE / "tarn.pyi").read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def _mypy_env():
    """Environment for a mypy run that finds this tarn package, installed or in a source tree."""
    env = dict(os.environ)
    parent = str(PACKAGE.parent)
    installed = {str(Path(p)) for p in [*site.getsitepackages(), site.getusersitepackages()]}
    if parent not in installed:
        env["MYPYPATH"] = parent
    return env


def _run_mypy(request, *targets):
    # pytest's cache directory keeps mypy's cache between runs (a cold run takes seconds).
    store = getattr(request.config, "cache", None)
    cache = store.mkdir("mypy") if store is not None else request.getfixturevalue("tmp_path_factory").mktemp("mypy")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, targets)],
        capture_output=True, text=True, env=_mypy_env(), check=False)


def test_packaged_files():
    for name in ["py.typed", "tarn.pyi", "__init__.pyi", "__main__.py", "_cli.py", "_demo.py", "_metrics.py", "keyed.py", "spark.py"]:
        assert (PACKAGE / name).is_file(), name


def test_mypy_strict_accepts_example(request):
    result = _run_mypy(request, EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_accepts_package(request):
    # The command-line modules ship in the typed package, so they are checked too.
    result = _run_mypy(request, "-p", "tarn")
    assert result.returncode == 0, result.stdout + result.stderr
    # Every module of the package: a .pyi stub stands for the .py or extension beside it.
    modules = {p.stem for p in PACKAGE.iterdir() if p.suffix in (".py", ".pyi")}
    assert result.stdout == f"Success: no issues found in {len(modules)} source files\n"


def test_stubtest_agrees_with_extension():
    # mypy's stubtest imports tarn.tarn and compares every stub definition
    # (names, parameter kinds, defaults, static methods) with the runtime.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "tarn.tarn"],
                            capture_output=True, text=True, env=_mypy_env(), check=False)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_reports_a_wrong_result_type(request, tmp_path):
    # The check above only means something if mypy sees the stubs at all.
    bad = tmp_path / "bad.py"
    bad.write_text("import tarn\nx: str = tarn.Forest(1).score([1.0])\n", encoding="utf-8")
    result = _run_mypy(request, bad)
    assert result.returncode == 1
    assert 'Incompatible types in assignment (expression has type "float", variable has type "str")' in result.stdout


def test_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "typing example ran\n"


def test_stub_exports_match_module():
    tree = ast.parse((PACKAGE / "tarn.pyi").read_text(encoding="utf-8"))
    (stub_all,) = [ast.literal_eval(n.value) for n in tree.body
                   if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert stub_all == tarn.tarn.__all__
    assert sorted(_stub_classes()) == sorted(CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_stub_matches_runtime_class(name):
    cls = getattr(tarn, name)
    stub = _stub_classes()[name]
    assert ast.get_docstring(stub) == cls.__doc__

    functions = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    runtime = {m for m in vars(cls) if not m.startswith("__") or m in {
        "__copy__", "__deepcopy__", "__getstate__", "__setstate__", "__getnewargs__"}}
    assert set(functions) - {"__new__"} == runtime

    for method, node in functions.items():
        target = cls if method == "__new__" else getattr(cls, method)
        params = inspect.signature(target).parameters
        expected = [(p.name, p.default) for p in params.values() if p.name != "self"]
        args = node.args.args
        if args and args[0].arg in ("self", "cls"):
            args = args[1:]
        defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults)) + [
            ast.literal_eval(d) for d in node.args.defaults]
        assert [(a.arg, d) for a, d in zip(args, defaults)] == expected, method
        is_static = isinstance(inspect.getattr_static(cls, method), staticmethod)
        assert any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list) == is_static
        if method != "__new__":
            assert (ast.get_docstring(node) or "") == (target.__doc__ or ""), method
