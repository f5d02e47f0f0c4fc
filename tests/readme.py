"""What the Python tests share: the shell blocks of README.md, which they
run as printed, and checks that are counted and reported."""

import re
import sys


def shell_block(source, marker):
    """The one fenced shell block of SOURCE/README.md that holds marker."""
    with open(f"{source}/README.md") as f:
        blocks = [b for b in re.findall(r"```sh\n(.*?)```", f.read(), re.S) if marker in b]
    if len(blocks) != 1:
        sys.exit(f"README.md: {len(blocks)} shell blocks hold {marker!r}, not one")
    return blocks[0]


class Checks:
    """check(ok, what) says what failed at once; report() ends the test."""

    def __init__(self, name):
        self.name, self.count, self.failed = name, 0, []

    def __call__(self, ok, what):
        self.count += 1
        if not ok:
            self.failed.append(what)
            print("FAILED:", what)

    def report(self):
        print(f"{self.name}: {self.count - len(self.failed)} checks passed, "
              f"{len(self.failed)} failed")
        return 1 if self.failed else 0
