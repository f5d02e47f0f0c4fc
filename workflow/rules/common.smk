# The dumps the workflow joins.

import functools
import os

from snakemake.exceptions import WorkflowError
from snakemake.logging import logger

# How the names of what a job makes end: no dumps, left out as the
# scripts leave them out.
# made by scripts/make-interface from join-one --describe: edit there.
MADE = (".joined", ".partial", ".lock")
# end of what scripts/make-interface makes.


@functools.cache
def dumps():
    """Each file of the folder, by the name its result takes.  Read when the
    jobs are planned, so that --lint needs no folder.  Subfolders are not
    joined: their files could take the names of the folder's own.  Files
    named as a job's outputs are, what join-files leaves beside the
    dumps, are no dumps either."""
    folder = config["dumps"]
    if not os.path.isdir(folder):
        raise WorkflowError(f"no folder {folder!r} of dumps to join: "
                            "name one with --config dumps=FOLDER")
    files, skipped, unnamable, made = {}, [], [], []
    for entry in sorted(os.listdir(folder)):
        if entry.startswith("."):
            continue
        if entry.endswith(MADE):
            made.append(os.path.join(folder, entry))
            continue
        if not os.path.isfile(os.path.join(folder, entry)):
            skipped.append(os.path.join(folder, entry))
            continue
        if not nameable(entry):
            unnamable.append(shown(os.path.join(folder, entry)))
            continue
        name = entry.removesuffix(".gz")
        if name in files:
            raise WorkflowError(f"{folder}: {files[name]} and {entry} would both be "
                             f"joined into results/{name}.joined")
        files[name] = entry
    if made:
        logger.warning(f"not joined, as an earlier run made it: {', '.join(made)}")
    if skipped:
        logger.warning(f"not joined, as not a file: {', '.join(skipped)}")
    for name in unnamable:
        logger.warning(f"not joined, as its name is not UTF-8 or holds braces or "
                       f"control characters, which Snakemake cannot carry: {name}")
    return files


def nameable(name):
    """Whether Snakemake can carry the name in a wildcard and a file name:
    UTF-8, without braces, which it takes for wildcards, and without line
    feeds or other control characters."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return not any(c in "{}" or ord(c) < 0x20 or ord(c) == 0x7f for c in name)


def shown(path):
    """The path with each byte that is not printable ASCII as \\xNN."""
    return "".join(chr(b) if 0x20 <= b < 0x7f and b != 0x5c else f"\\x{b:02x}"
                   for b in os.fsencode(path))


def job_options():
    """The config's options of the job, all but dumps, as its command line
    takes them: a boolean NAME as --NAME or --no-NAME, any other as
    --NAME VALUE."""
    words = []
    for name, value in config.items():
        if name == "dumps":
            continue
        flag = name.replace("_", "-")
        words += ([f"--{flag}" if value else f"--no-{flag}"] if isinstance(value, bool)
                  else [f"--{flag}", value])
    return words
