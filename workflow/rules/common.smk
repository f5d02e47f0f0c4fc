# The dumps the workflow joins.

import functools
import os

from snakemake.exceptions import WorkflowError
from snakemake.logging import logger


@functools.cache
def dumps():
    """Each file of the folder, by the name its result takes.  Read when the
    jobs are planned, so that --lint needs no folder.  Subfolders are not
    joined: their files could take the names of the folder's own."""
    folder = config["dumps"]
    if not os.path.isdir(folder):
        raise WorkflowError(f"no folder {folder!r} of dumps to join: "
                            "name one with --config dumps=FOLDER")
    files, skipped = {}, []
    for entry in sorted(os.listdir(folder)):
        if entry.startswith("."):
            continue
        if not os.path.isfile(os.path.join(folder, entry)):
            skipped.append(os.path.join(folder, entry))
            continue
        name = entry.removesuffix(".gz")
        if name in files:
            raise WorkflowError(f"{folder}: {files[name]} and {entry} would both be "
                             f"joined into results/{name}.joined")
        files[name] = entry
    if skipped:
        logger.warning(f"not joined, as not a file: {', '.join(skipped)}")
    return files
