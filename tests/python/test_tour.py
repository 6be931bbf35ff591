"""The tour that ./dev demo runs goes through to the end and shows what it says."""

import os
import pathlib
import re
import subprocess
import sys

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


def run_dev(*arguments):
    # As a user runs it: none of the sanitizer run's preloads and settings.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH") and not name.endswith("SAN_OPTIONS")}
    return subprocess.run([str(CHECKOUT / "dev"), *arguments], env=environment, capture_output=True, text=True,
                          timeout=600)


def test_dev_says_one_line_a_phase_and_leaves_stdout_to_the_command():
    demo = run_dev("demo")
    assert (demo.returncode, demo.stdout.startswith("\n1. Four tensor classes")) == (0, True)
    assert re.fullmatch(r"dev: building the module…\ndev: built in \d+ s\n", demo.stderr)
    shell = run_dev("shell", "python3.14", "-c", "print('its own')")
    assert (shell.returncode, shell.stdout) == (0, "its own\n")


def test_tour_runs_to_the_end(tmp_path):
    result = subprocess.run(
        [sys.executable, str(CHECKOUT / "examples" / "tour.py")],
        cwd=tmp_path,
        env=dict(os.environ),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = result.stdout
    for number in range(1, 11):
        assert f"\n{number}. " in out
    # The process-ending mistakes run in children; the tour reports their
    # messages and that nothing after the call ran.
    for message in (
        "quorva add() : Shape doesn't match!",
        "quorva div() : cannot divide by zero!",
        "quorva dot() : Shape doesn't match!",
        "Failed to allocate memory!",
    ):
        assert f"stderr: {message}\n    exit status 1; nothing after the call ran\n" in out
    assert "int32 -2147483648 / -1: [-2147483648]" in out
    assert "int32 a / b  (true division; integers divide with __divide__): TypeError" in out
    assert "back and forth, every bit kept: True" in out or "NumPy is not installed" in out
    assert "ratio = halvorn time / NumPy time" in out or "NumPy is not installed" in out
