# The dumps the workflow joins.

import functools
import os

from snakemake.exceptions import WorkflowError


@functools.cache
def dumps():
    """Each file of the folder, by the name its result takes.  Read when the
    jobs are planned, so that --lint needs no folder."""
    folder = config["dumps"]
    if not os.path.isdir(folder):
        raise WorkflowError(f"no folder {folder!r} of dumps to join: "
                            "name one with --config dumps=FOLDER")
    files = {}
    for entry in sorted(os.listdir(folder)):
        if entry.startswith(".") or not os.path.isfile(os.path.join(folder, entry)):
            continue
        name = entry.removesuffix(".gz")
        if name in files:
            raise WorkflowError(f"{folder}: {files[name]} and {entry} would both be "
                             f"joined into results/{name}.joined")
        files[name] = entry
    return files
