"""Runs a script under valgrind memcheck and judges halvorn's part of the report.

    python3.14 valgrind_check.py --work-dir DIR SCRIPT

The script runs in python3.14 with PYTHONMALLOC=malloc, so every Python object
comes from malloc where memcheck sees it. The check fails when

- a block is definitely or indirectly lost and its allocation stack passes
  through halvorn (the module, the test companion, or their pybind11 code),
- memcheck reports any other error (invalid read or write, use of an
  uninitialised value, bad free, ...), wherever it is,
- or the script itself fails.

Losses whose stacks stay inside CPython are CPython's own; they are counted and
shown, never judged. The full XML report stays in DIR.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

LOSSES = {"Leak_DefinitelyLost", "Leak_IndirectlyLost"}
OTHER_LEAKS = {"Leak_PossiblyLost", "Leak_StillReachable"}


def frames(error):
    for frame in error.iter("frame"):
        yield {field: (frame.findtext(field) or "") for field in ("obj", "fn", "file", "line")}


def is_ours(frame):
    return "halvorn" in pathlib.Path(frame["obj"]).name or "halvorn::" in frame["fn"]


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for frame in frames(error):
        where = f"{frame['file']}:{frame['line']}" if frame["file"] else pathlib.Path(frame["obj"]).name
        lines.append(f"    {frame['fn'] or '???'} ({where})")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work-dir", required=True, type=pathlib.Path)
    parser.add_argument("script")
    options = parser.parse_args()

    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind is not installed (tools/sid-packages.txt brings it into the dev root)", file=sys.stderr)
        return 1
    options.work_dir.mkdir(parents=True, exist_ok=True)
    report = options.work_dir / "memcheck.xml"
    command = [
        valgrind,
        "--tool=memcheck",
        "--leak-check=full",
        "--show-leak-kinds=definite,indirect",
        "--track-origins=no",
        "--num-callers=50",
        "--xml=yes",
        f"--xml-file={report}",
        sys.executable,
        options.script,
    ]
    env = dict(os.environ, PYTHONMALLOC="malloc")
    run = subprocess.run(command, env=env, capture_output=True, text=True)
    (options.work_dir / "output.txt").write_text(run.stdout + run.stderr)
    if run.returncode != 0:
        print(run.stdout + run.stderr[-4000:], file=sys.stderr)
        print(f"leak check: the script failed under valgrind (status {run.returncode})", file=sys.stderr)
        return 1
    print(run.stdout.strip())

    root = ElementTree.parse(report).getroot()
    ours, cpython_bytes, cpython_records = [], 0, 0
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind in OTHER_LEAKS:
            continue
        mine = any(is_ours(frame) for frame in frames(error))
        if kind in LOSSES:
            lost = int(error.findtext("xwhat/leakedbytes") or 0)
            if mine:
                ours.append(describe(error))
            else:
                cpython_bytes += lost
                cpython_records += 1
        else:
            # Any other memcheck error fails the check, in halvorn's frames or
            # not: CPython itself runs clean under memcheck with
            # PYTHONMALLOC=malloc, so an error there is worth a look too.
            ours.append(describe(error))
    for text in ours:
        print(text, file=sys.stderr)
    print(
        f"valgrind memcheck: {len(ours)} findings (losses in halvorn's frames, or errors); CPython's own: "
        f"{cpython_bytes} bytes definitely or indirectly lost in {cpython_records} records "
        f"(report: {report})"
    )
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
