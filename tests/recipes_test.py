#!/usr/bin/env python3
"""recipes_test.py SOURCE TAGJOIN TAGPICK local|slurm: runs the scripts
for many files as a user would, with what scripts_test.py cannot stand in
for: GNU parallel, ssh, Slurm and signals, on a folder of listings among
which one is bad, one is empty, one is a gzipped whole dump and one has a
space in its name.

local: scripts/join-files and scripts/join-ssh, with this machine as its
one node and over ssh to this machine, each stopped mid-run by each
signal; join-files with the output limited as on a full disk.  slurm:
brings up scripts/slurm-one-node with a MaxArraySize below the number of
files, runs scripts/join-slurm, stopped and not, and the workflow's Slurm
profile as docs/many-files.md prints it; then every entry point (the
workflow, join-files, join-ssh, join-slurm, and both CWL descriptions
through scripts/cwl-run) on one folder with no option given, from the
repository and from a copy of it whose default was changed with
make-interface; and stops the cluster whatever happened.

Checks every good output byte for byte against tagjoin run by hand, the
exit status, the failed file's name and message, and that the failed file
left no output under the finished name and nothing half-written.  Exits
77, which ctest counts as skipped, where a tool is missing."""

import concurrent.futures
import glob
import gzip
import os
import re
import shlex
import signal
import subprocess
import sys
import time

from checks import (Checks, copy_of_repository, dump, kept, prefilter_off_by_default,
                    programs_path, ran, read, record, scratch, shell_block, skip_without,
                    stand_in, start_slurm, stop_slurm, tagjoin_on, write)

SOURCE, TAGJOIN, TAGPICK, PART = sys.argv[1:5]
SCRIPTS = os.path.join(SOURCE, "scripts")
# What each file that fails says first: a bad line, a last record cut
# short, no record at all.
BAD = {"a.txt": 'dumps/a.txt: "SNP" expected at beginning of input line 7',
       "d.txt": 'dumps/d.txt: "VAL" expected at beginning of input line 3',
       "e.txt": "dumps/e.txt: no record found"}
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
        self.env = dict(os.environ, PATH=programs_path(TAGJOIN, TAGPICK))

    def bash(self, script):
        run = subprocess.run(["bash", "-c", script], cwd=self.path, env=self.env,
                             capture_output=True, text=True, timeout=600)
        return run.returncode, run.stdout, run.stderr

    def read(self, *path):
        return read(os.path.join(self.path, *path))

    def check_outputs(self, recipe, result):
        """Good files joined as by hand under result(name), the bad one
        not at all, nothing half-written left in dumps/."""
        for name, data in self.listings.items():
            path = os.path.join(self.path, result(name.removesuffix(".gz")))
            if name in BAD:
                check(not os.path.exists(path), f"{recipe}: no output for the bad file {name}")
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
    skip_without("parallel", "ssh")
    with open(os.path.join(tmp, "nodes"), "w") as f:
        f.write(":\n")
    # ssh to this machine as a node: a stand-in ssh that runs the command
    # it is given in a shell started in another folder, as a login starts
    # in the home folder, with SHELL set, as sshd sets it from the login:
    # GNU parallel's remote jobs run in $SHELL, and CI's environment has
    # none to pass on.
    home = os.path.join(tmp, "home")
    os.makedirs(home)
    fake_ssh = stand_in(tmp, "ssh", body=f"""while [ $# -gt 0 ]; do
  case $1 in -l | -p | -o) shift 2 ;; --) shift; break ;; *) shift ;; esac
done
SHELL=/bin/sh
export SHELL
cd {shlex.quote(home)} && exec sh -c "$*"
""")
    with open(os.path.join(tmp, "remote-nodes"), "w") as f:
        f.write("1/me@node1\n1/me@node2\n")
    for recipe, command in [("join-files", f"{SCRIPTS}/join-files -j 3"),
                            ("join-ssh", f"{SCRIPTS}/join-ssh {tmp}/nodes"),
                            ("join-ssh over ssh", f"PARALLEL_SSH={fake_ssh} "
                             f"{SCRIPTS}/join-ssh {tmp}/remote-nodes")]:
        folder = Folder(tmp, recipe)
        got, _, err = folder.bash(command + " dumps/*")
        check(got == 1, f"{recipe}: exit status {got}, not 1: {err!r}")
        check(sorted(failures(err)) == sorted(BAD.values()),
              f"{recipe}: the bad files' names and messages: {err!r}")
        folder.check_outputs(recipe, lambda name: f"dumps/{name}.joined")
        check(os.listdir(home) == [], f"{recipe}: nothing made in the nodes' home folder")
        if "over ssh" not in recipe:
            check_stop(tmp, recipe, command)

    # The output cannot grow past 16 KiB: a full disk, or a quota.
    full = Folder(tmp, "full", {"big.txt": b"rs1\nSNP\nVAL\n" + b"CTG 1234567\n" * 10000,
                                "b.txt": LISTINGS["b.txt"]})
    got, _, err = full.bash(f"ulimit -f 16\n{SCRIPTS}/join-files dumps/*")
    check(got == 1, f"join-files, output too large: exit status {got}, not 1")
    check(failures(err) == ["dumps/big.txt: tagjoin was killed by SIGXFSZ"],
          f"join-files, output too large: names the file: {err!r}")
    check(sorted(os.listdir(os.path.join(full.path, "dumps"))) ==
          ["b.txt", "b.txt.joined", "big.txt"], "join-files, output too large: leaves nothing")
    return 0


# A tagpick that waits before it starts, so that a signal lands mid-run.
SLOW = "# slow tagpick of the recipes test\nsleep 60\nexec tagpick \"$@\""


def signals_default():
    """The signals a script is stopped by, as a terminal's shell gives them:
    a shell that ignored them when it started, as one run in the
    background of another does, could not take them."""
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def check_stop(tmp, recipe, command):
    """SIGTERM, SIGINT, SIGHUP mid-run: every job ended, no .partial left,
    an earlier output left as it was, the files not joined named, status
    128 + the signal."""
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        folder = Folder(tmp, f"{recipe}-{sig.name}", {"a.txt.gz": gzip.compress(LISTINGS["a.txt"]),
                                                      "b c.txt": LISTINGS["b.txt"],
                                                      "b c.txt.joined": b"earlier"})
        slow = stand_in(folder.path, "slow-tagpick", body=SLOW)
        run = subprocess.Popen(["bash", "-c", f"exec {command} --tagpick {slow} dumps/*"],
                               cwd=folder.path, env=folder.env, stderr=subprocess.PIPE,
                               text=True, start_new_session=True, preexec_fn=signals_default)
        partial = [os.path.join(folder.path, "dumps", n + ".joined.*.partial") for n in ("a.txt", "b c.txt")]
        for _ in range(300):
            if all(glob.glob(p) for p in partial):
                break
            time.sleep(0.05)
        run.send_signal(sig)
        err = run.communicate(timeout=60)[1]
        left = subprocess.run(["pgrep", "-f", slow], capture_output=True, text=True).stdout
        what = f"{recipe} stopped by {sig.name}"
        check(run.returncode == 128 + sig and "Traceback" not in err,
              f"{what}: status {run.returncode}\n{err}")
        check(left == "", f"{what}: nothing left running: {left!r}")
        listed = sorted(os.listdir(os.path.join(folder.path, "dumps")))
        check(listed == ["a.txt.gz", "b c.txt", "b c.txt.joined"] and
              folder.read("dumps", "b c.txt.joined") == b"earlier",
              f"{what}: no output, nothing partial, the earlier output as it was: {listed}")
        # The files not joined, and nothing else of the script's own.
        script = os.path.basename(command.split()[0])
        check(sorted(l for l in err.splitlines() if not l.startswith("parallel: ")) ==
              [f"{script}: not joined, as stopped by {sig.name}: dumps/{n}"
               for n in ("a.txt.gz", "b c.txt")] +
              [f"{script}: skipped, as an earlier run made it: dumps/b c.txt.joined"],
              f"{what}: {err!r}")


def slurm(tmp):
    skip_without("slurmctld", "munged", "snakemake", "cwltool", "parallel", root=True)
    # The folders made below take os.environ, which then reaches the cluster.
    start_slurm(SOURCE, os.path.join(tmp, "slurm"), os.environ, len(LISTINGS) - 3)
    try:
        # Six files, three tasks at the most: each task takes two.
        folder = Folder(tmp, "array")
        got, out, err = folder.bash(f"{SCRIPTS}/join-slurm dumps/*")
        job = re.search(r"job (\d+)", err)
        check(got == 1 and job, f"join-slurm: fails, naming its job: {got} {out!r} {err!r}")
        logs = sorted(os.listdir(os.path.join(folder.path, "logs")))
        check(len(logs) == 3 and job and all(l.startswith(job[1] + "_") for l in logs),
              f"join-slurm: three tasks' logs and nothing else: {logs}")
        said = "".join(folder.read("logs", log).decode() for log in logs)
        check(sorted(failures(said)) == sorted(BAD.values()),
              f"join-slurm: the logs name the bad files alone: {said!r}")
        folder.check_outputs("join-slurm", lambda name: f"dumps/{name}.joined")

        # Every option at once reaches the tasks, the programs' paths
        # with spaces and quotes.
        options = Folder(tmp, "slurm-options", {"gaps.txt.gz": gzip.compress(
            b"HEADER\nrs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n")})
        tools = os.path.join(options.path, "my 'odd\" tools")
        os.makedirs(tools)
        programs = [stand_in(tools, "-tagjoin", TAGJOIN), stand_in(tools, "-tagpick", TAGPICK)]
        got, out, err = options.bash(f"{SCRIPTS}/join-slurm --drop-incomplete --prefilter "
                                   + " ".join(f"--{p} {shlex.quote(path)}" for p, path in
                                              zip(("tagjoin", "tagpick"), programs))
                                   + " -- dumps/gaps.txt.gz")
        check(got == 0 and options.read("dumps", "gaps.txt.joined") == b"rs2 | SNP | VAL | CTG\n"
              and all(ran(p) for p in programs) and re.fullmatch(r"join-slurm: job \d+: every "
                                                                  r"file joined\n", out),
              f"join-slurm with every option: {got} {out!r} {err!r}")

        # Stopped mid-run: the array cancelled and gone, its list file
        # removed, the job and the files not joined named; the task that
        # had started names its file in its log.  This node runs one task
        # at a time: the other is cancelled before it starts.
        stopped = Folder(tmp, "stopped", {"a.txt": LISTINGS["a.txt"], "b c.txt": LISTINGS["b.txt"]})
        slow = stand_in(stopped.path, "slow-tagpick", body=SLOW)
        run = subprocess.Popen([f"{SCRIPTS}/join-slurm", "--tagpick", slow, "dumps/a.txt",
                                "dumps/b c.txt"], cwd=stopped.path, env=stopped.env,
                               stderr=subprocess.PIPE, text=True, start_new_session=True,
                               preexec_fn=signals_default)
        partial = [os.path.join(stopped.path, "dumps", n + ".joined.*.partial") for n in ("a.txt", "b c.txt")]
        for _ in range(600):
            if any(glob.glob(p) for p in partial):
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
        said = "".join(stopped.read("logs", log).decode() for log in logs)
        check(all(l.endswith(".log") for l in logs), f"join-slurm stopped: list left: {logs}")
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
        check(log.startswith(BAD["d.txt"] + "\n"),
              f"snakemake on Slurm: the log: {log!r}\n{err[-2000:]}")
        flow.check_outputs("snakemake on Slurm", lambda name: f"results/{name}.joined")

        check_entry_points(tmp)
    finally:
        stop_slurm(SOURCE, os.environ)
    return 0


# A folder of dumps for every entry point: a whole dump, which joins only
# when prefiltered; listings, which join either way, under names that
# could be taken for something else; a record without a CTG line, in the
# middle and at the end, refused unless dropped; a bad line; no record;
# what an earlier run made, which no entry point takes for a dump.
SAME = {"whole.txt.gz": gzip.compress(DUMP), "c with space.txt": LISTINGS["c with space.txt"],
        "-": LISTINGS["b.txt"], "chr=1.txt": LISTINGS["b.txt"],
        "gaps.txt": b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n", "cut.txt": LISTINGS["a.txt"],
        "d.txt": LISTINGS["d.txt"], "page.txt": b"<html>\n", "old.txt.joined": LISTINGS["b.txt"]}


def every_entry_point(tmp, repo, name):
    """Each entry point of the repository at repo, run with no option on
    a folder of SAME: what each makes of each file, its bytes or None."""
    scripts = shlex.quote(os.path.join(repo, "scripts"))
    with open(os.path.join(tmp, "nodes"), "w") as f:
        f.write(":\n")
    got = {}

    def outputs(folder, where):
        made = {n: os.path.join(folder.path, where, n.removesuffix(".gz") + ".joined") for n in SAME}
        return {n: read(path) if os.path.exists(path) else None for n, path in made.items()}
    for entry, command in [("join-files", f"{scripts}/join-files dumps/*"),
                           ("join-ssh", f"{scripts}/join-ssh {tmp}/nodes dumps/*"),
                           ("join-slurm", f"{scripts}/join-slurm dumps/*")]:
        folder = Folder(tmp, f"{name} {entry}", SAME)
        folder.bash(command)
        got[entry] = outputs(folder, "dumps")
    # The workflow from a working directory of its own, as docs/dumps.md
    # runs it: its defaults are the repository's.
    folder = Folder(tmp, f"{name} workflow", SAME)
    folder.bash(f"snakemake -s {shlex.quote(os.path.join(repo, 'workflow', 'Snakefile'))} "
                "--cores 2 -k")
    got["workflow"] = outputs(folder, "results")

    # The CWL descriptions, one run a file, so that a failed file does
    # not keep the others' outputs back; three at a time.
    def cwl(description, file):
        folder = Folder(tmp, f"{name} {description} {file}", {file: SAME[file]})
        key = "dumps" if description == "join-dumps.cwl" else "listing"
        path = f"{{class: File, path: 'dumps/{file}'}}"
        write(os.path.join(folder.path, "job.yml"),
              (f"{key}: [{path}]\n" if key == "dumps" else f"{key}: {path}\n").encode())
        folder.bash(f"{scripts}/cwl-run dumps cwltool --no-container --quiet --relax-path-checks "
                    f"{shlex.quote(os.path.join(repo, 'cwl', description))} job.yml")
        return outputs(folder, "dumps")[file]
    runs = [(d, n) for d in ("tagjoin.cwl", "join-dumps.cwl") for n in SAME
            if not n.endswith(".joined")]
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        done = list(pool.map(lambda r: cwl(*r), runs))
    for (description, file), result in zip(runs, done):
        got.setdefault(description, {})[file] = result
    return got


def check_entry_points(tmp):
    """Every entry point with no option gives the same records for the same
    folder, or the same refusal; and follows a default changed in a copy
    of the repository with make-interface."""
    copy = copy_of_repository(SOURCE, os.path.join(tmp, "a copy"))
    check(prefilter_off_by_default(copy) == 0, "make-interface in the copy")
    whole = joined(DUMP)
    for repo, name, want in [(SOURCE, "repository", whole), (copy, "copy", None)]:
        got = every_entry_point(tmp, repo, name)
        wanted = dict({n: None for n in SAME}, **{
            "whole.txt.gz": want, "c with space.txt": joined(SAME["c with space.txt"]),
            "-": joined(SAME["-"]), "chr=1.txt": joined(SAME["-"])})
        for entry, made in got.items():
            if "cwl" in entry:
                wanted.pop("old.txt.joined", None)
            check(made == wanted, f"{name}, {entry} with no option: "
                  f"{ {n: (m if m is None else len(m)) for n, m in made.items()} }")


def main():
    with scratch(PART) as tmp:
        {"local": local, "slurm": slurm}[PART](tmp)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
