"""The package builds as an sdist and a wheel, and works from a fresh virtual
environment: importable from outside the source tree, with its metadata, its
license and a type stub that mypy finds."""

import email.parser
import json
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import tempfile
import textwrap
import tomllib
import zipfile

import pytest

from mypy_checks import expected_errors, reported_errors

# The wheel's tests share one build, so they stay on one worker (./dev test
# runs pytest-xdist with --dist loadgroup).
pytestmark = pytest.mark.xdist_group("wheel")

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
STUB = CHECKOUT / "src" / "module" / "halvorn.pyi"
EXAMPLES = CHECKOUT / "examples"
VERSION = "0.1.0"
SUMMARY = "Small n-dimensional tensors for CPython 3.14, one 16-byte SSE packet per element"
WHEEL_NAME = f"halvorn-{VERSION}-cp314-cp314-linux_x86_64.whl"
MODULE_FILE = "halvorn.cpython-314-x86_64-linux-gnu.so"


def outside_env():
    """An environment in which nothing of the checkout or its build is visible."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """One `python -m build`: the sdist, then the wheel built from that sdist,
    so a file missing from the sdist breaks the wheel."""
    out = tmp_path_factory.mktemp("dist")
    # The sdist unpacks below the checkout's build/ and the wheel builds two
    # levels below its sources, as ./dev's own build does: under the compiler
    # cache that ./dev sets up, the same sources with the same flags (warnings
    # as errors included) then compile once for both.
    (CHECKOUT / "build").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CHECKOUT / "build", prefix="sdist-") as unpacked:
        # No isolation: the build backend and pybind11 come from this
        # environment, so the check needs no network.
        result = subprocess.run(
            [sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out),
             "--config-setting=build-dir=build/{wheel_tag}",
             "--config-setting=cmake.define.HALVORN_WERROR=ON", str(CHECKOUT)],
            capture_output=True,
            text=True,
            env={**os.environ, "TMPDIR": unpacked},
        )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return out


@pytest.fixture(scope="module")
def wheel(dist):
    (built,) = dist.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def sdist(dist):
    (built,) = dist.glob("*.tar.gz")
    return built


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A fresh virtual environment with only the wheel installed."""
    path = tmp_path_factory.mktemp("venv") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True, capture_output=True)
    python = path / "bin" / "python"
    result = subprocess.run(
        [str(python), "-m", "pip", "install", "--no-index", "--no-deps", "--quiet", str(wheel)],
        capture_output=True,
        text=True,
        env=outside_env(),
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return path


def venv_python(venv):
    return str(venv / "bin" / "python")


def wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return email.parser.Parser().parsestr(archive.read(f"halvorn-{VERSION}.dist-info/METADATA").decode())


def test_wheel_is_tagged_for_cpython_314_on_x86_64_linux(wheel):
    assert wheel.name == WHEEL_NAME
    with zipfile.ZipFile(wheel) as archive:
        tags = email.parser.Parser().parsestr(archive.read(f"halvorn-{VERSION}.dist-info/WHEEL").decode())
    assert tags.get_all("Tag") == ["cp314-cp314-linux_x86_64"]
    assert tags["Root-Is-Purelib"] == "false"


def test_wheel_holds_the_module_its_stubs_and_license(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        assert names == {
            MODULE_FILE,
            "halvorn.pyi",
            "halvorn-stubs/__init__.pyi",
            f"halvorn-{VERSION}.dist-info/METADATA",
            f"halvorn-{VERSION}.dist-info/WHEEL",
            f"halvorn-{VERSION}.dist-info/RECORD",
            f"halvorn-{VERSION}.dist-info/licenses/LICENSE",
        }
        assert archive.read("halvorn.pyi") == STUB.read_bytes()
        assert archive.read("halvorn-stubs/__init__.pyi") == STUB.read_bytes()
        assert archive.read(f"halvorn-{VERSION}.dist-info/licenses/LICENSE") == (CHECKOUT / "LICENSE").read_bytes()


def test_license_file_is_mit_for_the_project():
    text = (CHECKOUT / "LICENSE").read_text()
    assert text.startswith("MIT License\n\nCopyright (c) 2026 The halvorn developers\n")


def check_core_metadata(metadata):
    assert metadata["Name"] == "halvorn"
    assert metadata["Version"] == VERSION
    assert metadata["Summary"] == SUMMARY
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    assert metadata["Requires-Python"] == "==3.14.*"
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (CHECKOUT / "README.md").read_text().strip()


def test_wheel_metadata(wheel):
    metadata = wheel_metadata(wheel)
    check_core_metadata(metadata)
    assert metadata["Metadata-Version"] in ("2.4", "2.5")


def test_readme_states_the_requirements_the_build_has():
    # The front page's requirements are the build's: the instruction set every
    # unit is compiled for, with a check of the processor that works, and the
    # Python versions the metadata allows.
    readme = (CHECKOUT / "README.md").read_text()
    requirements = readme.split("\nRequirements: ", 1)[1].split("\n\n", 1)[0]
    check, prints = re.search(r"\(`(grep [^`]+)` prints `([^`]+)`", requirements).groups()
    found = subprocess.run(check, shell=True, capture_output=True, text=True, check=True).stdout
    assert (found, "x86-64" in requirements, "**SSE4.1**" in requirements) == (prints + "\n", True, True)
    assert "-msse4.1 " in (CHECKOUT / "CMakeLists.txt").read_text()
    requires = tomllib.loads((CHECKOUT / "pyproject.toml").read_text())["project"]["requires-python"]
    assert f"`{requires}`" in requirements


def test_sdist_holds_the_sources_and_no_build_output(sdist):
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        pkg_info = archive.extractfile(f"halvorn-{VERSION}/PKG-INFO").read().decode()
    needed = {
        str(path.relative_to(CHECKOUT))
        for path in (CHECKOUT / "src").rglob("*")
        if path.is_file() and "__pycache__" not in path.parts
    }
    needed |= {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE"}
    assert "src/module/halvorn.pyi" in needed
    missing = needed - names
    assert not missing, f"missing from the sdist: {sorted(missing)}"
    assert not [name for name in names if name.startswith(("build/", "dist/", ".ci/", "tools/"))]
    assert not [name for name in names if name.endswith(".so")]
    check_core_metadata(email.parser.Parser().parsestr(pkg_info))


SMOKE = textwrap.dedent(
    """
    import importlib.metadata
    import json
    import pathlib
    import sys

    import halvorn
    import halvorn.dask

    try:
        halvorn.dask.add([1.0], [2.0])
    except ImportError as missing:
        dask_missing = str(missing)
    module = pathlib.Path(halvorn.__file__)
    a = halvorn.quorva_full_float64([2, 3], 1.5)
    b = halvorn.quorva_ones_float64([2, 3])
    m = halvorn.quorva_full_int32([2, 2], 3)
    v = halvorn.quorva_full_int16([2], 2)
    metadata = importlib.metadata.metadata("halvorn")
    print(json.dumps({
        "module": str(module),
        "prefix": sys.prefix,
        "doc": halvorn.__doc__,
        "dask_missing": dask_missing,
        "stub_beside": (module.parent / "halvorn.pyi").is_file(),
        "stub_package": (module.parent / "halvorn-stubs" / "__init__.pyi").is_file(),
        "sum": (a + b).to_list(),
        "quotient": a.__divide__(b).to_list(),
        "dot": halvorn.quorva_dot_int32(m, m).to_list(),
        "vector_matrix": halvorn.quorva_dot_int16(v, halvorn.quorva_ones_int16([2, 3])).shape,
        "random": halvorn.quorva_rand_float32([4]).shape,
        "repr": repr(halvorn.quorva_zeros_int16([2])),
        "version": importlib.metadata.version("halvorn"),
        "module_version": halvorn.__version__,
        "license": metadata["License-Expression"],
        "requires_python": metadata["Requires-Python"],
    }))
    """
)


def test_installed_wheel_works_from_outside_the_tree(venv, tmp_path):
    script = tmp_path / "smoke.py"
    script.write_text(SMOKE)
    result = subprocess.run(
        [venv_python(venv), str(script)],
        cwd=tmp_path,
        env=outside_env(),
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    assert pathlib.Path(found["module"]).name == MODULE_FILE
    assert found["module"].startswith(str(venv) + "/lib/python3.14/site-packages/")
    assert found["prefix"] == str(venv)
    assert found["doc"] == "Tensor operations"
    assert found["dask_missing"].endswith("install it with: pip install 'halvorn[dask]'")
    assert found["stub_beside"] and found["stub_package"]
    assert found["sum"] == [2.5] * 6
    assert found["quotient"] == [1.5] * 6
    assert found["dot"] == [18, 18, 18, 18]
    assert found["vector_matrix"] == [3]
    assert found["random"] == [4]
    assert found["repr"] == "tensor([2]\n[0, 0]\n)"
    assert found["version"] == found["module_version"] == VERSION
    assert found["license"] == "MIT"
    assert found["requires_python"] == "==3.14.*"


def run_mypy_against_venv(venv, example, tmp_path):
    # A copy outside the tree, and mypy told to use the venv's site-packages:
    # the only halvorn types within reach are the ones the wheel installed.
    copy = tmp_path / example
    copy.write_text((EXAMPLES / example).read_text())
    return subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-color-output",
            "--python-executable", venv_python(venv),
            "--cache-dir", str(tmp_path / "mypy-cache"),
            str(copy),
        ],
        cwd=tmp_path,
        env=outside_env(),
        capture_output=True,
        text=True,
    )


def test_mypy_strict_accepts_typed_example_against_installed_wheel(venv, tmp_path):
    result = run_mypy_against_venv(venv, "typed_example.py", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")


def test_mypy_rejects_type_mistakes_against_installed_wheel(venv, tmp_path):
    result = run_mypy_against_venv(venv, "typed_mistakes.py", tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    # Every error is one of the deliberate ones; none is a missing module.
    assert "import-not-found" not in result.stdout
    assert "import-untyped" not in result.stdout
    assert reported_errors(result.stdout) == expected_errors(EXAMPLES / "typed_mistakes.py"), result.stdout


def test_typed_example_runs_against_installed_wheel(venv, tmp_path):
    copy = tmp_path / "typed_example.py"
    copy.write_text((EXAMPLES / "typed_example.py").read_text())
    result = subprocess.run(
        [venv_python(venv), str(copy)], cwd=tmp_path, env=outside_env(), capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert "affine: [2] [2.5, 2.5]" in result.stdout
