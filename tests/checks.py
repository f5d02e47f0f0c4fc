"""What the Python tests share: the commands that the docs show, which
they run as printed, and checks that are counted and reported."""

import re
import sys


def shell_block(source, doc, name):
    """The fenced shell block of SOURCE/doc whose info string is "sh name":
    a doc marks each command that a test runs so, and the test runs the
    command whatever its words."""
    with open(f"{source}/{doc}") as f:
        blocks = re.findall(rf"^```sh {re.escape(name)}\n(.*?)^```$", f.read(), re.S | re.M)
    if len(blocks) != 1:
        sys.exit(f"{doc}: {len(blocks)} shell blocks named {name!r}, not one")
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
