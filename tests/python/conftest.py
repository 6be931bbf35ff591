import collections
import ctypes
import os
import subprocess
import sys
import textwrap

# The sanitizer run (`./dev sanitize`) sets HALVORN_SANITIZED and runs this
# whole suite against the ASan and UBSan build.
SANITIZED = os.environ.get("HALVORN_SANITIZED") == "1"

if SANITIZED:
    # NumPy's import makes the interpreter allocate two 24-byte blocks that it
    # never frees; the interpreter is stripped, so no LeakSanitizer
    # suppression can name the function. Leak tracking pauses for that import
    # alone (NumPy is only the tests' oracle) and halvorn is imported after it.
    _sanitizer = ctypes.CDLL(None)
    _sanitizer.__lsan_disable()
    try:
        import numpy  # noqa: F401
    finally:
        _sanitizer.__lsan_enable()

import hypothesis
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


# A few tests do not apply to the sanitizer run; each says why, and the
# summary lists them as skipped.
NOT_UNDER_SANITIZERS_FILES = {
    "test_packaging.py": "the wheel is an ordinary build, and the compilers it runs would run "
    "under the preloaded ASan runtime; the plain run checks it",
    "test_bench.py": "the benchmark times NumPy beside halvorn in a child process, and "
    "NumPy's import leaks a few bytes of CPython's own that LeakSanitizer cannot tell "
    "from ours there; the plain run checks the harness",
    "test_workers.py": "Dask's and loky's worker processes are ended by their engines, not "
    "left to exit, and LeakSanitizer reports the interpreter frames they still held; the "
    "operations the workers run are tested under the sanitizers in process",
    "test_tour.py": "the tour runs NumPy in a child process, whose import leaks a few bytes "
    "of CPython's own that LeakSanitizer cannot tell from ours there; every operation "
    "the tour shows is tested under the sanitizers elsewhere",
}


# The debug interpreter run (python3.14-dbg, CPython's own assertions and
# reference counting checks) covers the module's behaviour; these files check
# builds, other interpreters and timings, which the plain run covers.
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
# The tests that ./dev test runs after the others, one at a time, rather than
# beside them on every core: they measure the process or time themselves.
# Single tests that fork are marked "alone" where they stand.
RUN_ALONE_FILES = {
    "test_memory.py": "resident sizes, and blocks given back after a second idle",
    "test_bench.py": "the benchmark harness times what it runs",
}

NOT_UNDER_DEBUG_INTERPRETER_FILES = {
    name: "it checks the release build, other interpreters or timings; the plain run covers it"
    for name in ("test_packaging.py", "test_bench.py", "test_tour.py", "test_version_guard.py")
}


# HALVORN_TEST_KERNELS=sse4.1 (or avx2, avx512) caps the instruction set of
# halvorn's run-time dispatched kernels for this run; ./dev test runs the tests
# marked "kernels" once more for each narrower set the machine has.
KERNEL_CAP = os.environ.get("HALVORN_TEST_KERNELS")
if KERNEL_CAP:
    import halvorn_testing

    if halvorn_testing.cap_kernels(KERNEL_CAP) != KERNEL_CAP:
        raise pytest.UsageError(f"HALVORN_TEST_KERNELS={KERNEL_CAP}: this CPU does not run it")


def pytest_report_header():
    import halvorn_testing

    return f"halvorn kernels: {halvorn_testing.chosen_kernels()} (this CPU runs {', '.join(halvorn_testing.instruction_sets())})"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_sanitizers(reason): skipped in the ASan and UBSan run, for the reason given"
    )
    config.addinivalue_line(
        "markers",
        "kernels: reaches the run-time dispatched kernels, so runs again capped at each narrower set",
    )
    config.addinivalue_line("markers", "alone: run after the others, one at a time (RUN_ALONE_FILES)")
    # pytest-xdist's own, named here for the runs without it.
    config.addinivalue_line("markers", "xdist_group(name): run on one worker with the rest of its group")
    if config.pluginmanager.hasplugin("xdist"):
        config.pluginmanager.register(GatheredCounts())


# The tests that take longest, started first so that the short ones even out
# the cores' loads at the end (last, one of them held one core for a minute and
# a half while the other idled): the wheel's build, and the properties that
# draw thousands of values each.
LONGEST_FIRST = ("test_packaging.py", "test_properties.py")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if item.path.name in RUN_ALONE_FILES:
            item.add_marker(pytest.mark.alone)
    items.sort(key=lambda item: item.path.name not in LONGEST_FIRST)
    if DEBUG_INTERPRETER:
        for item in items:
            reason = NOT_UNDER_DEBUG_INTERPRETER_FILES.get(item.path.name)
            if reason:
                item.add_marker(pytest.mark.skip(reason=f"under the debug interpreter: {reason}"))
    if not SANITIZED:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_sanitizers")
        reason = marker.args[0] if marker else NOT_UNDER_SANITIZERS_FILES.get(item.path.name)
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"under sanitizers: {reason}"))


# Counts that the reliability suites keep (hypothesis examples run, hostile
# calls made, ...), printed at the end of the run.
COUNTS = collections.Counter()


class GatheredCounts:
    """With pytest-xdist, the counts of every worker, added up in the controller."""

    @pytest.hookimpl
    def pytest_testnodedown(self, node, error):
        COUNTS.update(getattr(node, "workeroutput", {}).get("halvorn_counts", {}))


def pytest_sessionfinish(session):
    workeroutput = getattr(session.config, "workeroutput", None)
    if workeroutput is not None:
        workeroutput["halvorn_counts"] = dict(COUNTS)


def pytest_terminal_summary(terminalreporter):
    if COUNTS:
        terminalreporter.section("reliability counts")
        for name, count in sorted(COUNTS.items()):
            terminalreporter.write_line(f"{name}: {count}")


# Hypothesis: derandomized and bounded, so every run tries the same examples
# in about the same time. HALVORN_HYPOTHESIS_PROFILE=thorough draws fresh
# examples, ten times as many, for a longer hunt by hand.
hypothesis.settings.register_profile(
    "ci",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=60,
    print_blob=True,
    suppress_health_check=[hypothesis.HealthCheck.too_slow, hypothesis.HealthCheck.data_too_large],
)
hypothesis.settings.register_profile(
    "thorough",
    derandomize=False,
    database=None,
    deadline=None,
    max_examples=600,
    print_blob=True,
    suppress_health_check=[hypothesis.HealthCheck.too_slow, hypothesis.HealthCheck.data_too_large],
)
hypothesis.settings.load_profile(os.environ.get("HALVORN_HYPOTHESIS_PROFILE", "ci"))
