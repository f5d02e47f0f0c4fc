#!/usr/bin/env python3
"""recipes_test.py SOURCE TAGJOIN local|slurm: runs the README's recipes for
many files exactly as the README prints them, read out of README.md, on a
folder of listings among which one is bad and one has a space in its name.

local: the xargs and parallel recipes.  slurm: brings up the one-node
Slurm (tests/slurm-one-node.sh, MaxArraySize below the number of files),
runs the job array recipe, with no file and with the files, and the
workflow's Slurm profile, and stops the cluster, whatever happened.

Checks every good output byte for byte against tagjoin run by hand, the
exit status, the failed file's name and message, and that the failed file
left no output under the finished name and nothing half-written.  Exits
77, which ctest counts as skipped, where a tool is missing."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from readme import Checks, shell_block

SOURCE, TAGJOIN, PART = sys.argv[1], sys.argv[2], sys.argv[3]
BAD = 'dumps/d.txt: "VAL" expected at beginning of input line 3'
LISTINGS = {
    "a.txt": b"rs1 a\nSNP b\nVAL c\nCTG d\nCTG e\nrs2 f\n",
    "b.txt": b"rs3\r\nSNP\r\nVAL\r\nCTG x \r\n",
    "c with space.txt": b"rs4 | x\nSNP | y\nVAL | z\nCTG | 1\nCTG | 2\n",
    "d.txt": b"rs5\nSNP\nCTG\n",
    "e.txt": b"",
}
check = Checks(f"{PART} recipes")


class Folder:
    """A folder with dumps/ holding the listings, where recipes run."""

    def __init__(self, tmp, name):
        self.path = os.path.join(tmp, name)
        os.makedirs(os.path.join(self.path, "dumps"))
        for name, data in LISTINGS.items():
            with open(os.path.join(self.path, "dumps", name), "wb") as f:
                f.write(data)
        self.env = dict(os.environ, PATH=os.path.dirname(TAGJOIN) + os.pathsep +
                        os.environ["PATH"])

    def bash(self, script):
        run = subprocess.run(["bash", "-c", script], cwd=self.path, env=self.env,
                             capture_output=True, text=True, timeout=600)
        return run.returncode, run.stdout, run.stderr

    def read(self, *path):
        with open(os.path.join(self.path, *path), "rb") as f:
            return f.read()

    def check_outputs(self, recipe, joined):
        """Good files joined as by hand under joined(name), the bad one
        not at all, nothing half-written left in dumps/."""
        for name, data in LISTINGS.items():
            path = os.path.join(self.path, joined(name))
            if name == "d.txt":
                check(not os.path.exists(path), f"{recipe}: no output for the bad file")
                continue
            want = subprocess.run([TAGJOIN], input=data, capture_output=True).stdout
            check(os.path.exists(path) and self.read(path) == want,
                  f"{recipe}: {name} joined as by hand")
        left = [f for f in os.listdir(os.path.join(self.path, "dumps"))
                if f not in LISTINGS and not f.endswith(".joined")]
        check(not left, f"{recipe}: nothing half-written left: {left}")


def local(tmp):
    if not shutil.which("parallel"):
        print("GNU parallel not found (apt-get install parallel, or bash .ci/deps)")
        return 77
    function = shell_block(SOURCE, "join_one() {")
    # recipe, its line, its status when one file fails and when two do
    for recipe, line, status, status2 in [("xargs", "xargs -0", 123, 123),
                                          ("parallel", "parallel join_one", 1, 2)]:
        folder = Folder(tmp, recipe)
        command = next(l for l in shell_block(SOURCE, "xargs -0").splitlines() if line in l)
        got, _, err = folder.bash(function + command)
        check(got == status, f"{recipe}: exit status {got}, not {status}")
        check(err == BAD + "\n", f"{recipe}: the bad file's name and message: {err!r}")
        folder.check_outputs(recipe, lambda name: f"dumps/{name}.joined")
        # The output cannot grow past 16 KiB: a full disk, or a quota.
        full = Folder(tmp, recipe + "-full")
        big = os.path.join(full.path, "dumps", "big.txt")
        with open(big, "wb") as f:
            f.write(b"rs1\nSNP\nVAL\n" + b"CTG 1234567\n" * 10000)
        got, _, err = full.bash("ulimit -f 16\n" + function + command)
        check(got == status2, f"{recipe}, output too large: exit status {got}, not {status2}")
        check(any(l.startswith("dumps/big.txt: ") for l in err.splitlines()),
              f"{recipe}, output too large: names the file: {err!r}")
        left = [f for f in os.listdir(os.path.join(full.path, "dumps")) if f.startswith("big")]
        check(left == ["big.txt"], f"{recipe}, output too large: leaves nothing: {left}")
    return 0


def slurm(tmp):
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("slurmctld", "munged", "snakemake")):
        print("the Slurm tests need root, slurm-wlm, munge and snakemake "
              "(bash .ci/deps installs them)")
        return 77
    cluster = os.path.join(SOURCE, "tests", "slurm-one-node.sh")
    env = dict(os.environ, TAGJOIN_SLURM=os.path.join(tmp, "slurm"))
    subprocess.run(["bash", cluster, "start", str(len(LISTINGS) - 2)], env=env, check=True)
    try:
        os.environ.update(SLURM_CONF=os.path.join(tmp, "slurm", "slurm.conf"))
        folder = Folder(tmp, "array")
        with open(os.path.join(folder.path, "join.sbatch"), "w") as f:
            f.write(shell_block(SOURCE, "#SBATCH --job-name=tagjoin"))
        submit = shell_block(SOURCE, "sbatch --wait --parsable")

        # No file: a message, no job, no log.
        empty = Folder(tmp, "empty")
        shutil.rmtree(os.path.join(empty.path, "dumps"))
        os.mkdir(os.path.join(empty.path, "dumps"))
        shutil.copy(os.path.join(folder.path, "join.sbatch"), empty.path)
        got, out, err = empty.bash(submit)
        check(got != 0 and "no listing in dumps/ to join" in err and
              not os.path.exists(os.path.join(empty.path, "logs")),
              f"array, no file: {got} {out!r} {err!r}")

        # Five files, three tasks at the most: one task takes two.
        got, out, err = folder.bash(submit + '\nstatus=$?; echo "job=$job"; exit $status')
        job = re.search(r"job=(\d+)", out)
        check(got != 0 and job, f"array: fails, and gives its job id: {got} {out!r} {err!r}")
        logs = sorted(os.listdir(os.path.join(folder.path, "logs")))
        check(len(logs) == 3, f"array: three tasks: {logs}")
        said = b"".join(folder.read("logs", log) for log in logs).decode()
        check(said == BAD + "\n", f"array: the logs hold the bad file alone: {said!r}")
        folder.check_outputs("array", lambda name: f"dumps/{name}.joined")

        # The workflow's profile, from a folder laid out as the repository.
        flow = Folder(tmp, "snakemake")
        for part in ("workflow", "config"):
            os.symlink(os.path.join(SOURCE, part), os.path.join(flow.path, part))
        got, out, err = flow.bash(shell_block(SOURCE, "--profile workflow/profiles/slurm"))
        check(got != 0, f"snakemake on Slurm: fails for the bad file: {got}")
        log = flow.read("logs", "d.txt.log").decode()
        check(log.startswith(BAD + "\n"), f"snakemake on Slurm: the log: {log!r}\n{err[-2000:]}")
        flow.check_outputs("snakemake on Slurm", lambda name: f"results/{name}.joined")
    finally:
        subprocess.run(["bash", cluster, "stop"], env=env, check=True)
    return 0


def main():
    tmp = tempfile.mkdtemp(prefix=f"tagjoin-{PART}-")
    try:
        status = {"local": local, "slurm": slurm}[PART](tmp)
    finally:
        shutil.rmtree(tmp)
    if status == 77:
        return 77
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
