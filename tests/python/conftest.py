import os
import subprocess
import sys
import textwrap

import pytest

import halvorn

TENSOR_CLASSES = {
    "int16": halvorn.TensorInt16,
    "int32": halvorn.TensorInt32,
    "float32": halvorn.TensorFloat32,
    "float64": halvorn.TensorFloat64,
}
ELEMENT_TYPES = list(TENSOR_CLASSES)
FLOAT_TYPES = ["float32", "float64"]


@pytest.fixture(params=ELEMENT_TYPES)
def element_type(request):
    return request.param


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter that imports the same halvorn build.

    For paths that end the process: the caller checks the exact stderr bytes and
    the exit status."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        timeout=timeout,
        env=dict(os.environ),
    )


def assert_process_ends(code, message):
    result = run_python(code)
    assert result.stderr == message
    assert result.returncode == 1
    assert result.stdout == b""
