"""Fails when the sanitizer run left any report behind.

ASan, UBSan and LSan write to files under the given directory (log_path), one
per process that had something to say. The only line allowed is ASan's note
that it refused an allocation beyond its limit: the tests ask for exactly that
(allocator_may_return_null=1), so that malloc returns null and the module's own
"Failed to allocate memory!" path runs.
"""

import pathlib
import re
import sys

REFUSED_ALLOCATION = re.compile(r"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes")


def unexpected_lines(text):
    return [line for line in text.splitlines() if line.strip() and not REFUSED_ALLOCATION.fullmatch(line)]


def main(directory):
    files = sorted(pathlib.Path(directory).glob("*"))
    refused = 0
    bad = []
    for path in files:
        text = path.read_text(errors="replace")
        refused += len(REFUSED_ALLOCATION.findall(text))
        if unexpected_lines(text):
            bad.append((path, text))
    for path, text in bad:
        print(f"--- {path.name}", file=sys.stderr)
        print(text, file=sys.stderr)
    print(
        f"sanitizer reports: {len(bad)} with findings; "
        f"{refused} refused impossible allocations (expected by the tests)"
    )
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
