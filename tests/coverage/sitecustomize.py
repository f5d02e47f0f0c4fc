"""Starts coverage in each Python process that a test starts from this
repository's own files, where COVERAGE_PROCESS_START names its settings
(tests/CMakeLists.txt puts this folder on PYTHONPATH).  Snakemake,
cwltool and Toil run unmeasured, as tracing them would double their
time, and so do processes that may not write a file of any size.  The
scripts may run under a python3 of the user's own, without the coverage
module: Debian's python3-coverage is then taken from Debian's folder,
for the same minor version of Python."""

import os
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def ours():
    program = os.path.realpath(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return program.startswith(SOURCE + os.sep)


def may_save():
    """Whether the data can be written: a test that limits the size of
    files (a full disk played) would get coverage's complaint instead."""
    import resource
    return resource.getrlimit(resource.RLIMIT_FSIZE)[0] == resource.RLIM_INFINITY


if os.environ.get("COVERAGE_PROCESS_START") and ours() and may_save():
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
