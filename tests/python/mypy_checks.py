"""Reading mypy's verdicts, for test_typing.py and test_packaging.py."""

import re

# "path:line: error: message  [code]", mypy's default error format.
MYPY_ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")
# The marker that typed_mistakes.py puts on each line mypy must reject.
EXPECTED_ERROR = re.compile(r"#\s*expect-error:\s*(?P<code>[a-z-]+)\s*$")


def reported_errors(output):
    """The (line, code) pairs of the errors mypy printed."""
    found = set()
    for line in output.splitlines():
        match = MYPY_ERROR.match(line)
        if match:
            found.add((int(match["line"]), match["code"]))
    return found


def expected_errors(path):
    """The (line, code) pairs that the file's expect-error markers announce."""
    expected = set()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        match = EXPECTED_ERROR.search(line)
        if match:
            expected.add((number, match["code"]))
    return expected
