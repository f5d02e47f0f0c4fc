"""Starts coverage in each Python process that a test starts, where
COVERAGE_PROCESS_START names its settings (tests/CMakeLists.txt puts this
folder on PYTHONPATH).  The scripts may run under a python3 of the user's
own, without the coverage module: Debian's python3-coverage is then taken
from Debian's folder, for the same minor version of Python."""

import os
import sys

if os.environ.get("COVERAGE_PROCESS_START"):
    try:
        import coverage
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import coverage
        except ImportError:
            coverage = None
    if coverage:
        coverage.process_startup()
