#!/usr/bin/env python3
"""readme_test.py SOURCE BUILD: the README's commands that run from a
clone run as printed.  The workflow's command, in a folder laid out as a
clone after the Quick start's build (build/ holding tagjoin and tagpick),
on a plain listing and a gzipped dump; the Quick start's two commands are
those that .ci/run runs; the whole dump's pipeline is run by the
workflow test.  Exits 77, which ctest counts as skipped, where snakemake
is missing."""

import gzip
import os
import subprocess
import sys

from checks import Checks, read, scratch, shell_block, skip_without

SOURCE, BUILD = sys.argv[1], sys.argv[2]
check = Checks("readme")


def quick_start():
    """The two commands of the Quick start, each as .ci/run runs it."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        text = f.read()
    block = text[text.index("## Quick start"):]
    block = block[block.index("```sh\n") + 6:]
    commands = block[:block.index("```")].splitlines()
    ci = read(os.path.join(SOURCE, ".ci", "run")).decode().splitlines()
    check(len(commands) == 2 and all(c in ci for c in commands),
          f"the Quick start's commands are .ci/run's, word for word: {commands}")


def workflow(tmp):
    clone = os.path.join(tmp, "clone")
    os.makedirs(os.path.join(clone, "dumps"))
    for part in ("workflow", "config", "scripts", "examples"):
        os.symlink(os.path.join(SOURCE, part), os.path.join(clone, part))
    os.symlink(BUILD, os.path.join(clone, "build"))
    sample = read(os.path.join(SOURCE, "examples", "sample.txt"))
    dump = b"LISTING\n\n" + sample + b"LOC | x\n"
    with open(os.path.join(clone, "dumps", "sample.txt"), "wb") as f:
        f.write(sample)
    with open(os.path.join(clone, "dumps", "dump.txt.gz"), "wb") as f:
        f.write(gzip.compress(dump))
    command = shell_block(SOURCE, "README.md", "workflow")
    done = subprocess.run(["bash", "-c", command], cwd=clone, capture_output=True, text=True,
                          env=dict(os.environ, PATH="/usr/bin:/bin"))
    want = subprocess.run([os.path.join(BUILD, "tagjoin")], input=sample,
                          capture_output=True).stdout
    results = os.path.join(clone, "results")
    got = sorted(os.listdir(results)) if os.path.isdir(results) else []
    check(done.returncode == 0 and got == ["dump.txt.joined", "sample.txt.joined"] and
          all(read(os.path.join(results, n)) == want for n in got),
          f"README's workflow command: {done.returncode} {got}\n{done.stderr[-2000:]}")


def main():
    quick_start()
    if check.failed:
        return check.report()
    skip_without("snakemake")
    with scratch("readme") as tmp:
        workflow(tmp)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
