"""The package builds as a wheel and works from a fresh virtual environment."""

import os
import pathlib
import subprocess
import sys

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    # No isolation: the build backend and pybind11 come from this environment,
    # so the check needs no network.
    subprocess.run(
        [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(out), str(CHECKOUT)],
        check=True,
        capture_output=True,
    )
    (built,) = out.glob("halvorn-*.whl")
    return built


def test_wheel_is_tagged_for_cpython_314_x86_64(wheel):
    assert wheel.name.startswith("halvorn-0.1.0-cp314-cp314-")
    assert wheel.name.endswith("x86_64.whl")


def test_wheel_installs_and_imports_in_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, capture_output=True)
    python = str(venv / "bin" / "python")
    subprocess.run(
        [python, "-m", "pip", "install", "--no-index", "--no-deps", "--quiet", str(wheel)],
        check=True,
        capture_output=True,
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    result = subprocess.run(
        [python, "-c", "import halvorn; print(halvorn.__file__); print(halvorn.__doc__); halvorn.TensorFloat64([2])"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    location, doc = result.stdout.splitlines()
    assert location.startswith(str(venv))
    assert doc == "Tensor operations"
