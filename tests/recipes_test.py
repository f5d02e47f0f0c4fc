#!/usr/bin/env python3
"""recipes_test.py SOURCE TAGJOIN local|slurm: runs the scripts for many
files as a user would, on a folder of listings among which one is bad,
one is empty, one is a gzipped whole dump and one has a space in its name.

local: scripts/join-files, on its own and with the output limited as on a
full disk; scripts/join-ssh with this machine as its one node; and
scripts/split-listing.  slurm: brings up scripts/slurm-one-node with a
MaxArraySize below the number of files, runs scripts/join-slurm, and the
workflow's Slurm profile as docs/many-files.md prints it, and stops the
cluster whatever happened.

Checks every good output byte for byte against tagjoin run by hand, the
exit status, the failed file's name and message, and that the failed file
left no output under the finished name and nothing half-written.  Exits
77, which ctest counts as skipped, where a tool is missing."""

import gzip
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from checks import (Checks, dump, kept, ran, record, shell_block, stand_in, start_slurm,
                    stop_slurm, tagjoin_on, tool_path)

SOURCE, TAGJOIN, PART = sys.argv[1], sys.argv[2], sys.argv[3]
SCRIPTS = os.path.join(SOURCE, "scripts")
BAD = 'dumps/d.txt: "VAL" expected at beginning of input line 3'
DUMP = dump([record(9)[:5] + [b"CTG | chr=7 | \0\xff", b"LOC | GENE", b""]])
LISTINGS = {
    "a.txt": b"rs1 a\nSNP b\nVAL c\nCTG d\nCTG e\nrs2 f\n",
    "b.txt": b"rs3\r\nSNP\r\nVAL\r\nCTG x \r\n",
    "c with space.txt": b"rs4 | x\nSNP | y\nVAL | z\nCTG | 1\nCTG | 2\n",
    "d.txt": b"rs5\nSNP\nCTG\n",
    "e.txt": b"",
    "f.txt.gz": gzip.compress(DUMP),
}
check = Checks(f"{PART} recipes")


def joined(data):
    """What tagjoin makes of a listing's lines that begin with a tag."""
    return tagjoin_on(TAGJOIN, kept(data, True, False)[0]).stdout


class Folder:
    """A folder with dumps/ holding the listings, where recipes run."""

    def __init__(self, tmp, name, listings=LISTINGS):
        self.path = os.path.join(tmp, name)
        self.listings = listings
        os.makedirs(os.path.join(self.path, "dumps"))
        for name, data in listings.items():
            with open(os.path.join(self.path, "dumps", name), "wb") as f:
                f.write(data)
        self.env = dict(os.environ, PATH=tool_path(TAGJOIN))

    def bash(self, script):
        run = subprocess.run(["bash", "-c", script], cwd=self.path, env=self.env,
                             capture_output=True, text=True, timeout=600)
        return run.returncode, run.stdout, run.stderr

    def read(self, *path):
        with open(os.path.join(self.path, *path), "rb") as f:
            return f.read()

    def check_outputs(self, recipe, result):
        """Good files joined as by hand under result(name), the bad one
        not at all, nothing half-written left in dumps/."""
        for name, data in self.listings.items():
            path = os.path.join(self.path, result(name.removesuffix(".gz")))
            if name == "d.txt":
                check(not os.path.exists(path), f"{recipe}: no output for the bad file")
                continue
            want = joined(gzip.decompress(data) if name.endswith(".gz") else data)
            check(os.path.exists(path) and self.read(path) == want,
                  f"{recipe}: {name} joined as by hand")
        left = [f for f in os.listdir(os.path.join(self.path, "dumps"))
                if f not in self.listings and not f.endswith(".joined")]
        check(not left, f"{recipe}: nothing half-written left: {left}")


def failures(err):
    """The lines of standard error that name a failed file."""
    return [l for l in err.splitlines() if l.startswith("dumps/")]


def local(tmp):
    if not shutil.which("parallel"):
        print("GNU parallel not found (apt-get install parallel, or bash .ci/deps)")
        return 77
    with open(os.path.join(tmp, "nodes"), "w") as f:
        f.write(":\n")
    for recipe, command in [("join-files", f"{SCRIPTS}/join-files -j 3"),
                            ("join-ssh", f"{SCRIPTS}/join-ssh {tmp}/nodes")]:
        folder = Folder(tmp, recipe)
        got, _, err = folder.bash(command + " --prefilter dumps/*")
        check(got == 1, f"{recipe}: exit status {got}, not 1")
        check(failures(err) == [BAD], f"{recipe}: the bad file's name and message: {err!r}")
        folder.check_outputs(recipe, lambda name: f"dumps/{name}.joined")
        # Again: its own outputs skipped with a word, the same result.
        got, _, err = folder.bash(command + " --prefilter dumps/*")
        skipped = [l for l in err.splitlines() if "skipped, as an earlier run made it" in l]
        check(got == 1 and failures(err) == [BAD] and len(skipped) == len(LISTINGS) - 1,
              f"{recipe}, run again: {got} {err!r}")
        folder.check_outputs(recipe + ", run again", lambda name: f"dumps/{name}.joined")
        check_clash(tmp, recipe, command)
        check_stop(tmp, recipe, command)

    # The output cannot grow past 16 KiB: a full disk, or a quota.
    full = Folder(tmp, "full", {"big.txt": b"rs1\nSNP\nVAL\n" + b"CTG 1234567\n" * 10000,
                                "a.txt": LISTINGS["a.txt"]})
    got, _, err = full.bash(f"ulimit -f 16\n{SCRIPTS}/join-files dumps/*")
    check(got == 1, f"join-files, output too large: exit status {got}, not 1")
    check(failures(err) == ["dumps/big.txt: tagjoin was killed by SIGXFSZ"],
          f"join-files, output too large: names the file: {err!r}")
    check(sorted(os.listdir(os.path.join(full.path, "dumps"))) ==
          ["a.txt", "a.txt.joined", "big.txt"], "join-files, output too large: leaves nothing")

    # Each line goes to tagjoin unless asked otherwise: a blank line is
    # rejected, a whole dump fails at its header.  join.py's options pass
    # through: a record without CTG dropped and counted.
    options = Folder(tmp, "options", {"gaps.txt": b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n",
                                      "blank.txt": b"rs1\nSNP\nVAL\nCTG\n\n"})
    got, _, err = options.bash(f"{SCRIPTS}/join-files --drop-incomplete dumps/gaps.txt")
    check(got == 0 and options.read("dumps", "gaps.txt.joined") == b"rs2 | SNP | VAL | CTG\n"
          and "records without a CTG line dropped: 1" in err, f"join-files --drop-incomplete: {err!r}")
    got, _, err = options.bash(f"{SCRIPTS}/join-files -- dumps/blank.txt")
    check(got == 1 and failures(err) == ['dumps/blank.txt: "rs" expected at beginning of input line 5'],
          f"join-files: the blank line rejected: {err!r}")

    for words in ("", "-j", "--bogus dumps/a.txt", "-j 0 dumps/a.txt", "-j x dumps/a.txt",
                  "--tagpick"):
        got, _, err = full.bash(f"{SCRIPTS}/join-files {words}")
        check(got == 2 and err.startswith("usage: join-files"),
              f"join-files {words}: a usage error: {got} {err!r}")
    for words in ("", f"{tmp}/nodes", f"--prefilter {tmp}/nodes dumps/a.txt"):
        got, _, err = full.bash(f"{SCRIPTS}/join-ssh {words}")
        check(got == 2 and err.startswith("usage: join-ssh"),
              f"join-ssh {words}: a usage error: {got} {err!r}")

    # Parts of whole records, named after their first lines, that join
    # into what the whole joins into.
    split = Folder(tmp, "split", {})
    listing = b"".join(b"rs%d\nSNP\nVAL x\n" % n + b"CTG\n" * (n % 3 + 1) for n in range(200))
    with open(os.path.join(split.path, "huge.txt"), "wb") as f:
        f.write(listing)
    got, _, err = split.bash(f"{SCRIPTS}/split-listing -n 100 huge.txt")
    parts = sorted(p for p in os.listdir(split.path) if p.startswith("part-"))
    check(got == 0 and len(parts) > 5, f"split-listing: {got} {err!r} {parts}")
    check(b"".join(split.read(p) for p in parts) == listing, "split-listing: every byte, in order")
    numbers = [int(p[5:17]) for p in parts]
    starts = [i + 1 for i, l in enumerate(listing.split(b"\n")) if l.startswith(b"rs")]
    check(set(numbers) <= set(starts) and numbers[0] == 1,
          f"split-listing: parts begin at rs lines and are named after them: {numbers}")
    check(b"".join(joined(split.read(p)) for p in parts) ==
          joined(listing), "split-listing: the parts join into what the whole joins into")
    # Again, over the parts of the first run: refused, the parts unchanged.
    got, _, err = split.bash(f"{SCRIPTS}/split-listing -n 70 huge.txt")
    check(got == 2 and "parts of an earlier run" in err and
          sorted(p for p in os.listdir(split.path) if p.startswith("part-")) == parts,
          f"split-listing over an earlier run's parts: {got} {err!r}")
    for words in ("-n abc huge.txt", "-n 0 huge.txt", "-n -5 huge.txt", "-n", "huge.txt more"):
        got, _, err = split.bash(f"{SCRIPTS}/split-listing {words}")
        check(got == 2 and err.startswith("usage: split-listing"),
              f"split-listing {words}: a usage error: {got} {err!r}")
    return 0


def check_clash(tmp, recipe, command):
    """Two files with one output name: refused before any work, both named."""
    clash = Folder(tmp, recipe + "-clash", {"x.txt": LISTINGS["a.txt"],
                                            "x.txt.gz": gzip.compress(LISTINGS["b.txt"]),
                                            "y.txt": LISTINGS["a.txt"]})
    got, _, err = clash.bash(command + " dumps/*")
    check(got == 2 and "dumps/x.txt and dumps/x.txt.gz would both be joined into "
          "dumps/x.txt.joined" in err, f"{recipe}, a clash: {got} {err!r}")
    check(sorted(os.listdir(os.path.join(clash.path, "dumps"))) == ["x.txt", "x.txt.gz", "y.txt"],
          f"{recipe}, a clash: nothing joined")
    got, _, err = clash.bash(command + " dumps/x.txt ./dumps/x.txt")
    check(got == 2 and "would both be joined" in err, f"{recipe}, one file twice: {got} {err!r}")


# A tagpick that waits before it starts, so that a signal lands mid-run.
SLOW = "#!/bin/sh\n# slow tagpick of the recipes test\nsleep 60\nexec tagpick \"$@\"\n"


def check_stop(tmp, recipe, command):
    """SIGTERM, SIGINT, SIGHUP mid-run: every job ended, no .partial left,
    the files not joined named, status 128 + the signal."""
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        folder = Folder(tmp, f"{recipe}-{sig.name}", {"a.txt": LISTINGS["a.txt"],
                                                      "b c.txt": LISTINGS["b.txt"]})
        slow = os.path.join(folder.path, "slow-tagpick")
        with open(slow, "w") as f:
            f.write(SLOW)
        os.chmod(slow, 0o755)
        run = subprocess.Popen(["bash", "-c", f"exec {command} --tagpick {slow} dumps/*"],
                               cwd=folder.path, env=folder.env, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
        partial = [os.path.join(folder.path, "dumps", n + ".joined.partial") for n in ("a.txt", "b c.txt")]
        for _ in range(300):
            if all(os.path.exists(p) for p in partial):
                break
            time.sleep(0.05)
        run.send_signal(sig)
        err = run.communicate(timeout=60)[1]
        left = subprocess.run(["pgrep", "-f", slow], capture_output=True, text=True).stdout
        what = f"{recipe} stopped by {sig.name}"
        check(run.returncode == 128 + sig and "Traceback" not in err,
              f"{what}: status {run.returncode}\n{err}")
        check(left == "", f"{what}: nothing left running: {left!r}")
        check(sorted(os.listdir(os.path.join(folder.path, "dumps"))) == ["a.txt", "b c.txt"],
              f"{what}: no output, nothing partial")
        check(sorted(l for l in err.splitlines() if "not joined" in l) ==
              [f"{os.path.basename(command.split()[0])}: not joined, as stopped by "
               f"{sig.name}: dumps/{n}" for n in ("a.txt", "b c.txt")], f"{what}: {err!r}")


def slurm(tmp):
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("slurmctld", "munged", "snakemake")):
        print("the Slurm tests need root, slurm-wlm, munge and snakemake "
              "(bash .ci/deps installs them)")
        return 77
    # The folders made below take os.environ, which then reaches the cluster.
    start_slurm(SOURCE, os.path.join(tmp, "slurm"), os.environ, len(LISTINGS) - 3)
    try:
        empty = Folder(tmp, "empty", {})
        got, _, err = empty.bash(f"{SCRIPTS}/join-slurm")
        check(got == 2 and "usage:" in err and not os.path.exists(os.path.join(empty.path, "logs")),
              f"join-slurm, no file: a usage error, no job: {got} {err!r}")

        # Six files, three tasks at the most: each task takes two.
        folder = Folder(tmp, "array")
        got, out, err = folder.bash(f"{SCRIPTS}/join-slurm --prefilter dumps/*")
        job = re.search(r"job (\d+)", err)
        check(got == 1 and job, f"join-slurm: fails, naming its job: {got} {out!r} {err!r}")
        logs = sorted(os.listdir(os.path.join(folder.path, "logs")))
        check(len(logs) == 3 and job and all(l.startswith(job[1] + "_") for l in logs),
              f"join-slurm: three tasks' logs and nothing else: {logs}")
        said = "".join(folder.read("logs", log).decode() for log in logs)
        check(failures(said) == [BAD], f"join-slurm: the logs name the bad file alone: {said!r}")
        folder.check_outputs("join-slurm", lambda name: f"dumps/{name}.joined")

        check_clash(tmp, "join-slurm", f"{SCRIPTS}/join-slurm")

        # Every option at once reaches the tasks, the programs' paths
        # with spaces and quotes.
        options = Folder(tmp, "slurm-options", {"gaps.txt.gz": gzip.compress(
            b"HEADER\nrs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n")})
        tools = os.path.join(options.path, "my 'odd\" tools")
        os.makedirs(tools)
        programs = [stand_in(tools, "-" + p, shutil.which(p, path=options.env["PATH"]))
                    for p in ("tagjoin", "tagpick")]
        got, _, err = options.bash(f"{SCRIPTS}/join-slurm --drop-incomplete --prefilter "
                                   + " ".join(f"--{p} {shlex.quote(path)}" for p, path in
                                              zip(("tagjoin", "tagpick"), programs))
                                   + " -- dumps/gaps.txt.gz")
        check(got == 0 and options.read("dumps", "gaps.txt.joined") == b"rs2 | SNP | VAL | CTG\n"
              and all(ran(p) for p in programs),
              f"join-slurm with every option: {got} {err!r}")

        # Stopped mid-run: the array cancelled and gone, its list file
        # removed, the job and the files not joined named; the task that
        # had started names its file in its log.  This node runs one task
        # at a time: the other is cancelled before it starts.
        stopped = Folder(tmp, "stopped", {"a.txt": LISTINGS["a.txt"], "b c.txt": LISTINGS["b.txt"]})
        slow = os.path.join(stopped.path, "slow-tagpick")
        with open(slow, "w") as f:
            f.write(SLOW)
        os.chmod(slow, 0o755)
        run = subprocess.Popen([f"{SCRIPTS}/join-slurm", "--tagpick", slow, "dumps/a.txt",
                                "dumps/b c.txt"], cwd=stopped.path, env=stopped.env,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
        partial = [os.path.join(stopped.path, "dumps", n + ".joined.partial") for n in ("a.txt", "b c.txt")]
        for _ in range(600):
            if any(os.path.exists(p) for p in partial):
                break
            time.sleep(0.1)
        run.send_signal(signal.SIGTERM)
        err = run.communicate(timeout=120)[1]
        job = re.search(r"job (\d+) cancelled", err)
        queued = subprocess.run(["squeue", "-h", "-j", job[1]], capture_output=True,
                                text=True).stdout if job else "?"
        check(run.returncode == 143 and job and queued == "",
              f"join-slurm stopped: {run.returncode} {err!r}, squeue: {queued!r}")
        check(sorted(l for l in err.splitlines() if "not joined" in l) ==
              [f"join-slurm: not joined, as stopped by SIGTERM: dumps/{n}" for n in ("a.txt", "b c.txt")],
              f"join-slurm stopped: the files named: {err!r}")
        logs = sorted(os.listdir(os.path.join(stopped.path, "logs")))
        said = "".join(stopped.read("logs", log).decode() for log in logs if not log.startswith("files."))
        check(not [l for l in logs if l.startswith("files.")], f"join-slurm stopped: list left: {logs}")
        check([l for l in said.splitlines() if "not joined" in l] ==
              ["join-slurm: not joined, as the task was stopped by SIGTERM (cancelled, or out of "
               "time): dumps/a.txt"], f"join-slurm stopped: the task's log: {said!r}")
        check(sorted(os.listdir(os.path.join(stopped.path, "dumps"))) == ["a.txt", "b c.txt"],
              "join-slurm stopped: no output, nothing partial")

        # The workflow's profile, from a folder laid out as the repository.
        flow = Folder(tmp, "snakemake")
        for part in ("workflow", "config"):
            os.symlink(os.path.join(SOURCE, part), os.path.join(flow.path, part))
        got, out, err = flow.bash(shell_block(SOURCE, "docs/many-files.md", "workflow-slurm"))
        check(got != 0, f"snakemake on Slurm: fails for the bad file: {got}")
        log = flow.read("logs", "d.txt.log").decode()
        check(log.startswith(BAD + "\n"), f"snakemake on Slurm: the log: {log!r}\n{err[-2000:]}")
        flow.check_outputs("snakemake on Slurm", lambda name: f"results/{name}.joined")
    finally:
        stop_slurm(SOURCE, os.environ)
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
