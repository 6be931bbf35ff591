"""The module refuses interpreters it was not built for, and sub-interpreters
that enforce extension compatibility."""

import json
import os
import shutil
import subprocess
import sys

import halvorn
import pytest

from conftest import SANITIZED, run_python

# Loads the very file this suite tests, by path, whatever the interpreter.
LOAD_BY_PATH = """
import importlib.machinery, importlib.util, json, sys
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("halvorn", path)
spec = importlib.util.spec_from_file_location("halvorn", path, loader=loader)
try:
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
except BaseException as error:
    print(json.dumps([type(error).__name__, str(error), sys.version, "halvorn" in sys.modules]))
else:
    print(json.dumps(["loaded", module.__doc__, sys.version, True]))
"""


@pytest.mark.parametrize("python", ["python3.13", "python3.15"])
def test_other_interpreter_versions_refuse_the_module(python):
    interpreter = shutil.which(python)
    if interpreter is None:
        pytest.skip(f"{python} is not installed (tools/sid-packages.txt brings it into the dev root)")
    env = dict(os.environ)
    if SANITIZED:
        # CPython 3.13 leaks thousands of blocks at exit on its own, even
        # running `pass`. The module allocates nothing in another interpreter:
        # its entry reads the version string and raises. The rest of ASan stays on.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    result = subprocess.run(
        [interpreter, "-c", LOAD_BY_PATH, halvorn.__file__], capture_output=True, timeout=60, env=env
    )
    assert result.returncode == 0, result.stderr
    kind, message, version, registered = json.loads(result.stdout)
    assert not version.startswith("3.14")
    assert kind == "ImportError"
    assert message == (
        "Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert not registered


def test_the_same_loader_loads_it_into_python_3_14():
    # The loader above is sound: the interpreter the module is built for takes it.
    result = run_python(LOAD_BY_PATH.replace("sys.argv[1]", repr(halvorn.__file__)))
    assert result.returncode == 0, result.stderr
    kind, doc, version, _ = json.loads(result.stdout)
    assert (kind, doc) == ("loaded", "Tensor operations")
    assert version.startswith("3.14.")


SUBINTERPRETER = """
import _interpreters, json
import halvorn
interpreter = _interpreters.create(_interpreters.new_config({config!r}))
failure = _interpreters.exec(interpreter, {code!r})
other = _interpreters.exec(interpreter, "import math; assert math.sqrt(4) == 2")
_interpreters.destroy(interpreter)
print(json.dumps([failure and [failure.type.__name__, failure.msg], other and other.msg,
                  halvorn.quorva_ones_int16([2]).to_list()]))
"""

USE_IT = """
import halvorn
a = halvorn.quorva_full_float64([2, 3], 1.5)
assert halvorn.quorva_dot_float64(a, halvorn.quorva_ones_float64([3])).to_list() == [4.5, 4.5]
assert repr(halvorn.quorva_full_int16([], -7)) == 'tensor([]\\n-7)'
"""


@pytest.mark.parametrize("config", ["isolated", "default"])
def test_enforcing_subinterpreters_refuse_the_module(config):
    result = run_python(SUBINTERPRETER.format(config=config, code="import halvorn"))
    assert result.returncode == 0, result.stderr
    failure, other, main = json.loads(result.stdout)
    assert failure == ["ImportError", "module halvorn does not support loading in subinterpreters"]
    # The refusal harms neither the sub-interpreter nor the main one.
    assert other is None
    assert main == [1, 1]


def test_legacy_subinterpreter_that_does_not_enforce_may_use_it():
    # A sub-interpreter created without the compatibility check is allowed to
    # load it; it must then work there and leave the main interpreter working.
    env = dict(os.environ)
    if SANITIZED:
        # pybind11 does not free its internal state for a sub-interpreter when
        # that interpreter is destroyed, so LeakSanitizer would report
        # pybind11's own allocations at exit. The rest of ASan stays on for
        # this process.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER.format(config="legacy", code=USE_IT)],
        capture_output=True, timeout=60, env=env,
    )
    assert result.returncode == 0, result.stderr
    failure, other, main = json.loads(result.stdout)
    assert failure is None and other is None
    assert main == [1, 1]
