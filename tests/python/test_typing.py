"""The checked-in type stub matches the built module, and mypy uses it.

The wheel's copy of the stub is checked in test_packaging.py; here the build
tree's module and stub are used, as ./dev shell and the README's typed example
use them.
"""

import difflib
import os
import pathlib
import subprocess
import sys

import pytest

import halvorn
from mypy_checks import expected_errors, reported_errors

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
STUB = CHECKOUT / "src" / "module" / "halvorn.pyi"
EXAMPLES = CHECKOUT / "examples"
MODULE_DIR = pathlib.Path(halvorn.__file__).resolve().parent


def tool_env(**extra):
    """The environment for a tool that must see exactly the module under test.

    Inherited PYTHONPATH and MYPYPATH entries could hold another halvorn build
    or stub, so both are replaced, not extended."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env["PYTHONPATH"] = str(MODULE_DIR)
    env.update(extra)
    return env


def test_checked_in_stub_matches_regenerated_stub(tmp_path):
    # Compared byte for byte: pybind11-stubgen's output is deterministic for a
    # given module, so any difference means the module changed and the stub
    # must be regenerated.
    result = subprocess.run(
        [sys.executable, "-m", "pybind11_stubgen", "--exit-code", "-o", str(tmp_path), "halvorn"],
        cwd=tmp_path,
        env=tool_env(),
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    generated = (tmp_path / "halvorn.pyi").read_bytes()
    checked_in = STUB.read_bytes()
    if generated != checked_in:
        diff = "".join(
            difflib.unified_diff(
                checked_in.decode().splitlines(keepends=True),
                generated.decode().splitlines(keepends=True),
                "src/module/halvorn.pyi (checked in)",
                "halvorn.pyi (from the built module)",
            )
        )
        pytest.fail("the type stub is out of date; run ./dev stubs and commit it\n" + diff)


def test_stub_declares_every_public_name_of_the_module():
    # An independent check on the stub's coverage, not relying on the
    # generator: every public attribute of the module appears in __all__.
    namespace: dict = {}
    exec(compile(STUB.read_text(), str(STUB), "exec"), namespace)
    public = sorted(name for name in vars(halvorn) if not name.startswith("_"))
    assert sorted(namespace["__all__"]) == public
    assert len([name for name in public if name.startswith("quorva_")]) == 34 + 4  # with quorva_array_*


def test_build_places_the_stub_beside_the_module():
    beside = MODULE_DIR / "halvorn.pyi"
    assert beside.read_bytes() == STUB.read_bytes()


def run_mypy(path, cache_dir, cwd):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(cache_dir), str(path)],
        cwd=cwd,
        # mypy ignores PYTHONPATH; MYPYPATH points it at the stub beside the module.
        env=tool_env(MYPYPATH=str(MODULE_DIR)),
        capture_output=True,
        text=True,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def test_typed_example_passes_mypy_strict(mypy_cache, tmp_path):
    result = run_mypy(EXAMPLES / "typed_example.py", mypy_cache, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")


def test_typed_example_runs(tmp_path):
    # The example asserts its own results, so it fails when the module and the
    # types the stub promises disagree at run time.
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "typed_example.py")],
        cwd=tmp_path,
        env=tool_env(),
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert "affine: [2] [2.5, 2.5]" in result.stdout


def test_mypy_catches_each_deliberate_mistake(mypy_cache, tmp_path):
    mistakes = EXAMPLES / "typed_mistakes.py"
    expected = expected_errors(mistakes)
    assert len(expected) >= 8, "the mistakes example lost its expect-error markers"
    result = run_mypy(mistakes, mypy_cache, tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    assert reported_errors(result.stdout) == expected, result.stdout


def test_mypy_without_the_stub_cannot_type_the_module(mypy_cache, tmp_path):
    # The control for the two tests above: with no stub in reach, mypy knows
    # nothing of halvorn, so their results come from the stub.
    copy = tmp_path / "typed_example.py"
    copy.write_text((EXAMPLES / "typed_example.py").read_text())
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(mypy_cache), str(copy)],
        cwd=tmp_path,
        env=tool_env(),
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1
    assert "[import-not-found]" in result.stdout
