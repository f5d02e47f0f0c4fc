#!/usr/bin/env python3
"""cwl_test.py SOURCE TAGJOIN TAGPICK cwltool|toil|toil-slurm: runs the CWL
descriptions, cwl/tagjoin.cwl and cwl/join-dumps.cwl, with a runner: the
lines of docs/cwl.md that run it, as printed, and others on a folder
holding a plain listing whose name has a space, a gzipped whole dump and
a dump with a bad line; and checks: each output byte for byte against the
README's pipeline; the runner's status; the bad file's message in the
runner's log; nothing for the bad file, nor anything partial, in the
output folder; two dumps of one output refused before any job; and
scripts/cwl-run with a folder in the way of an output, with an earlier
output of a file that fails, and stopped mid-run.  cwltool also validates
both files; toil-slurm runs the page's line for Slurm on the one-node
Slurm (as root).  Exits 77, which ctest counts as skipped, where the
runner is missing."""

import concurrent.futures
import gzip
import json
import os
import shutil
import signal
import subprocess
import sys
import time

from checks import (Checks, dump, programs_path, ran, read, record, run_shown, scratch,
                    shell_block, skip_without, stand_in, start_slurm, stop_slurm, write)

SOURCE, TAGJOIN, TAGPICK, RUNNER = sys.argv[1:5]
TOOL = os.path.join(SOURCE, "cwl", "tagjoin.cwl")
WORKFLOW = os.path.join(SOURCE, "cwl", "join-dumps.cwl")
CWL_RUN = os.path.join(SOURCE, "scripts", "cwl-run")
check = Checks(f"cwl, {RUNNER}")

LISTING = b"rs1 a\nSNP b\nVAL c \r\nCTG d\nCTG e\nrs2 f\nSNP g\nVAL h\nCTG i\n"
DUMP = dump([record(9)[:5] + [b"CTG | chr=7 | \0\xff", b"LOC | GENE", b""], record(10)])
BAD = b"LISTING\n\nrs1 | a\nSNP | b\nval | c\nCTG | d\n\n"
BAD_MESSAGE = 'bad.txt.gz: "VAL" expected at beginning of input line 3'
FILES = {"a listing.txt": LISTING, "whole.txt.gz": DUMP, "bad.txt.gz": BAD}
PIPELINE = shell_block(SOURCE, "README.md", "whole-dump")
# The lines of docs/cwl.md: the test of each runner runs those that run
# it, and the lines that write their job file before them.
PAGE = (shell_block(SOURCE, "docs/cwl.md", "cwl-runners")
        + shell_block(SOURCE, "docs/cwl.md", "cwl-run")).splitlines()
# The page's dumps, and the outputs that each description makes of them,
# each with the bytes it is joined from.
PAGE_DUMPS = {"chr1.txt": LISTING, "chr1.txt.gz": DUMP, "chr2.txt.gz": LISTING}
PAGE_OUTPUTS = {"cwl/join-dumps.cwl": {"chr1.txt.joined": DUMP, "chr2.txt.joined": LISTING},
                "cwl/tagjoin.cwl": {"chr1.txt.joined": LISTING}}
ENV = dict(os.environ, PATH=programs_path(TAGJOIN, TAGPICK))


def runner(tmp, name, outdir=True):
    """The command that runs a description, its outputs into tmp/name
    unless outdir is false."""
    out = os.path.join(tmp, name)
    command = ["--outdir", out] if outdir else []
    if RUNNER == "cwltool":
        return ["cwltool", "--no-container", "--quiet", "--relax-path-checks"] + command, out
    command += ["--no-container", "--retryCount", "0", "--relax-path-checks",
                "--jobStore", os.path.join(tmp, name + ".jobstore"), "--workDir", tmp]
    if RUNNER == "toil-slurm":
        command += ["--batchSystem", "slurm", "--statePollingWait", "1"]
    return ["toil-cwl-runner"] + command, out


def run(tmp, name, description, job, wrapped=False, env=ENV):
    """Runs the description on the job's inputs (a YAML file's text), through
    cwl-run if wrapped; returns the status, the log, and the files in the
    output folder."""
    with open(os.path.join(tmp, name + ".yml"), "w") as f:
        f.write(job)
    command, out = runner(tmp, name, outdir=not wrapped)
    command = [CWL_RUN, out] + command if wrapped else command
    done = subprocess.run(command + [description, os.path.join(tmp, name + ".yml")],
                          cwd=tmp, env=env, capture_output=True, text=True, timeout=900)
    left = sorted(os.listdir(out)) if os.path.isdir(out) else []
    return done.returncode, done.stdout + done.stderr, left


def files(*names):
    return "".join(f"  - {{class: File, path: '{os.path.join('dumps', n)}'}}\n" for n in names)


def check_full_outdir(tmp, want):
    """scripts/cwl-run into an output folder too small for one output
    (a tmpfs of 1 MiB): nothing cut short under a final name, nothing of
    the runner's left behind."""
    full = os.path.join(tmp, "full")
    os.makedirs(full)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "none", full],
                      capture_output=True).returncode != 0:
        print("cannot mount a small tmpfs (needs root): the full output folder was not tried")
        return
    try:
        big = b"".join(b"rs%d x\nSNP y\nVAL z\nCTG %s\n" % (n, b"c" * 40) for n in range(30000))
        with open(os.path.join(tmp, "dumps", "big.txt"), "wb") as f:
            f.write(big)
        scratch = os.path.join(tmp, "scratch")
        os.makedirs(scratch)
        job = os.path.join(tmp, "full.yml")
        with open(job, "w") as f:
            f.write("dumps:\n" + files("a listing.txt", "big.txt"))
        command, _ = runner(tmp, "full-run", outdir=False)
        outdir = os.path.join(full, "out")
        done = subprocess.run([CWL_RUN, outdir] + command + [WORKFLOW, job],
                              cwd=tmp, env=dict(ENV, TMPDIR=scratch),
                              capture_output=True, text=True, timeout=900)
        left = sorted(os.listdir(outdir))
        check(done.returncode != 0, f"cwl-run, full: status {done.returncode}")
        check(all(read(os.path.join(outdir, n)) == want.get(n) for n in left),
              f"cwl-run, full: only whole outputs under their names: {left}\n{done.stderr[-2000:]}")
        if RUNNER == "cwltool":
            check(os.listdir(scratch) == [], f"cwl-run, full: cwltool's folders left: {os.listdir(scratch)}")
    finally:
        subprocess.run(["umount", full])


def tested_by(line):
    """The test that runs a line of the page that runs a description: its
    runner's, whether run itself or through cwl-run, and Toil on Slurm's
    for Toil submitting there."""
    words = line.split()
    runner = words[2] if words[0].endswith("cwl-run") else words[0]
    if runner == "toil-cwl-runner":
        return "toil-slurm" if "slurm" in words else "toil"
    return runner


def check_page(tmp):
    """docs/cwl.md's lines as printed, in a folder laid out as a clone's
    that holds the page's dumps: the lines that write the job file, then
    each line of this runner into an empty results/, which it fills with
    its description's outputs, joined as the README's pipeline joins
    their dumps; through cwl-run, its report names each where it is.
    Every line that runs a description is one of the tests'."""
    page, results = os.path.join(tmp, "page"), os.path.join(tmp, "page", "results")
    os.makedirs(os.path.join(page, "dumps"))
    for part in ("cwl", "scripts"):
        os.symlink(os.path.join(SOURCE, part), os.path.join(page, part))
    for name, data in PAGE_DUMPS.items():
        write(os.path.join(page, "dumps", name),
              gzip.compress(data) if name.endswith(".gz") else data)
    runs = [line for line in PAGE if any(w.endswith(".cwl") for w in line.split())]
    unrun = [line for line in runs if tested_by(line) not in ("cwltool", "toil", "toil-slurm")]
    check(not unrun, f"docs/cwl.md: lines that no runner's test runs: {unrun}")
    shell = ["bash", "-e", "-o", "pipefail", "-c"]
    subprocess.run(shell + ["".join(line + "\n" for line in PAGE if line not in runs)],
                   cwd=page, env=ENV, check=True)
    for line in (line for line in runs if tested_by(line) == RUNNER):
        shutil.rmtree(results, ignore_errors=True)
        done = subprocess.run(shell + [line], cwd=page, env=ENV, capture_output=True, text=True,
                              timeout=900)
        left = sorted(os.listdir(results)) if os.path.isdir(results) else []
        want = PAGE_OUTPUTS[next(w for w in line.split() if w.endswith(".cwl"))]
        check(done.returncode == 0 and left == sorted(want) and all(
            read(os.path.join(results, n)) == run_shown(PIPELINE, want[n], tmp, (TAGJOIN, TAGPICK))
            for n in left), f"docs/cwl.md: {line}: {done.returncode} {left}\n{done.stderr[-2000:]}")
        if line.split()[0].endswith("cwl-run"):
            reported = [f["path"] for f in json.loads(done.stdout or "{}").get("joined", [])]
            check(sorted(reported) == [os.path.join(results, n) for n in left],
                  f"docs/cwl.md: {line}: the report names each output where it is: {reported}")


def running():
    """The pid, parent's pid and session of each process still running."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            state, ppid, _, session = read(f"/proc/{pid}/stat").rsplit(b")", 1)[1].split()[:4]
        except OSError:
            continue
        if state != b"Z":  # a zombie has ended
            yield int(pid), int(ppid), int(session)


def check_stopped(tmp):
    """cwl-run stopped by SIGTERM while a job runs (SIGHUP, ignored when it
    starts, as under nohup, stays ignored): status 143 and its word, nothing
    left of the runner's session nor of the job's, nor in OUTDIR or TMPDIR."""
    slow, out, tmpdir = (os.path.join(tmp, n) for n in ("slow", "stopped", "stopped-tmp"))
    for folder in (slow, out, tmpdir):
        os.makedirs(folder)
    started = os.path.join(slow, "started")
    stand_in(slow, "tagjoin", body=f"echo $$ > {slow}/new && mv {slow}/new {started}\n"
             "exec sleep 600")
    write(os.path.join(tmp, "stopped.yml"), ("dumps:\n" + files("a listing.txt")).encode())
    command, _ = runner(tmp, "stopped-run", outdir=False)
    hup = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    with open(os.path.join(tmp, "stopped.log"), "w") as log:
        cwl_run = subprocess.Popen([CWL_RUN, out] + command + [WORKFLOW, "stopped.yml"], cwd=tmp,
                                   env=dict(ENV, PATH=programs_path(started, TAGPICK),
                                            TMPDIR=tmpdir), stdout=subprocess.DEVNULL, stderr=log)
    signal.signal(signal.SIGHUP, hup)
    while not os.path.exists(started) and cwl_run.poll() is None:
        time.sleep(0.1)
    job = int(read(started)) if os.path.exists(started) else None
    sessions = {s for p, parent, s in running() if p == job or parent == cwl_run.pid}
    for sig in (signal.SIGHUP, signal.SIGTERM):
        cwl_run.send_signal(sig)
    cwl_run.wait(timeout=300)
    said = read(log.name).decode()
    left = [p for p, _, s in running() if s in sessions] + os.listdir(out) + os.listdir(tmpdir)
    check(cwl_run.returncode == 143 and job and left == [] and said.endswith(
        f"cwl-run: nothing delivered into {out}, as stopped by SIGTERM\n"),
          f"cwl-run stopped: {cwl_run.returncode} {job} {left}\n{said[-2000:]}")


def check_programs(tmp):
    """The tagjoin and tagpick inputs of both descriptions reach the job:
    a program of a name other than the default's is the one that runs."""
    shims = os.path.join(tmp, "shims")
    os.makedirs(shims)
    for program in ("tagjoin", "tagpick"):
        # tagjoin's stand-in is tagjoin, noted when it runs; tagpick's
        # gives what tagjoin refuses.
        shim = (stand_in(shims, "my tagjoin", TAGJOIN) if program == "tagjoin" else
                stand_in(shims, "my tagpick", body="cat > /dev/null\necho 'by my tagpick'"))
        for description, job in ((TOOL, f"listing: {files('a listing.txt')[4:]}"),
                                 (WORKFLOW, "dumps:\n" + files("a listing.txt"))):
            name = f"{program}-{os.path.basename(description)}"
            status, log, left = run(tmp, name, description, f"{program}: '{shim}'\n" + job)
            got = read(os.path.join(tmp, name, left[0])) if left else b""
            want = subprocess.run([TAGJOIN], input=LISTING, capture_output=True).stdout
            check(status != 0 if program == "tagpick" else status == 0 and got == want and ran(shim),
                  f"{description}: {program} given, used: {status} {left} {got!r}\n{log[-1500:]}")


def check_unwhole_report(tmp):
    """cwl-run keeps out an output that the runner reports but that is not
    what it reports, here of the size reported but other bytes; and removes
    the earlier outputs of the job file's inputs that it did not deliver,
    each input named by location (%-escaped), path or basename (or by
    the runner, for a File of given contents), and none with the inputs
    given as options or in a job file that cannot be read.  A runner not found, or not runnable,
    fails as in a shell, the earlier outputs removed as for any failure."""
    # It fails where cwl-run leaves the stops blocked for it.
    fake = stand_in(tmp, "fake-runner", body="""out=$2
[ $((0x$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status) & 0x4003)) = 0 ] || exit 3
printf 'rs1 | SNP' > "$out/cut.joined"
printf 'rs2 | SNP | VAL | CTG\\n' > "$out/whole.joined"
cat <<END
{"joined": [{"class": "File", "basename": "cut.joined", "path": "$out/cut.joined",
  "size": 9, "checksum": "sha1\\$0000000000000000000000000000000000000000"},
 {"class": "File", "basename": "whole.joined", "path": "$out/whole.joined",
  "size": 22, "checksum": "sha1\\$$(sha1sum < "$out/whole.joined" | cut -d' ' -f1)"}]}
END""")
    job = os.path.join(tmp, "fake.json")
    write(job, json.dumps({"dumps": [{"class": "File", "location": "d/c%75t.gz"},
                                     {"class": "File", "path": "whole"},
                                     {"class": "File", "path": "d/first.gz", "basename": "renamed"},
                                     {"class": "File", "contents": "named by the runner"}]
                           }).encode())
    earlier = {"cut.joined", "first.joined", "notes", "renamed.joined"}
    missing, unrunnable = os.path.join(tmp, "no-runner"), os.path.join(tmp, "fake.json")
    ROWS = [  # the runner, the arguments after it, the status, what it says
              # first, the earlier outputs removed, the whole one delivered
        (missing, ["description.cwl", job], 127, f"cannot run {missing}: No such file or directory",
         ["cut.joined", "renamed.joined"], False),
        (unrunnable, ["description", job], 126, f"cannot run {unrunnable}: Permission denied",
         [], False),
        (fake, ["description", job], 1, "cut.joined: not delivered whole", [], True),
        (fake, ["description.cwl", "missing.json"], 1, "cut.joined: not delivered whole", [], True),
        (fake, ["description.cwl", job], 1, "cut.joined: not delivered whole",
         ["cut.joined", "renamed.joined"], True),
    ]
    for i, (fake_runner, args, status, said, removed, delivered) in enumerate(ROWS):
        out = os.path.join(tmp, f"fake-out{i}")
        os.makedirs(out)
        for name in earlier:
            write(os.path.join(out, name), b"earlier\n")
        done = subprocess.run([CWL_RUN, out, fake_runner] + args, capture_output=True, text=True)
        check(done.returncode == status and sorted(os.listdir(out)) == sorted(
            earlier - set(removed) | ({"whole.joined"} if delivered else set())) and
              done.stderr.endswith(f"cwl-run: {said}{' into ' + out if delivered else ''}\n"
                                   + "".join(f"cwl-run: {n}, joined by an earlier run, removed\n"
                                             for n in removed)),
              f"cwl-run {fake_runner} {args}: a reported output not whole is kept out, earlier "
              f"ones removed: {done.returncode} {os.listdir(out)} {done.stderr!r}")
    # The report names where the whole one now is, and not the other.
    whole = json.loads(done.stdout)["joined"]
    final = os.path.join(os.path.abspath(out), "whole.joined")
    check([(f["path"], f.get("location")) for f in whole] == [(final, "file://" + final)],
          f"cwl-run: the report names the delivered file where it is: {done.stdout}")


def check_stopped_twice(tmp):
    """cwl-run stopped by two signals that come together, while it is
    held stopped: the first obeyed, its cleanup whole all the same."""
    ready, out = os.path.join(tmp, "sleeping.ready"), os.path.join(tmp, "twice-out")
    sleeping = stand_in(tmp, "sleeping-runner", body=f"touch {ready}; exec sleep 600")
    cwl_run = subprocess.Popen([CWL_RUN, out, sleeping, "description"], stderr=subprocess.PIPE)
    while not os.path.exists(ready) and cwl_run.poll() is None:
        time.sleep(0.1)
    for sig in (signal.SIGSTOP, signal.SIGTERM, signal.SIGHUP, signal.SIGCONT):
        cwl_run.send_signal(sig)
    err = cwl_run.communicate(timeout=60)[1].decode()
    check(cwl_run.returncode in (128 + signal.SIGHUP, 128 + signal.SIGTERM) and
          os.listdir(out) == [] and err.startswith(f"cwl-run: nothing delivered into {out}"),
          f"cwl-run stopped twice at once: {cwl_run.returncode} {os.listdir(out)} {err!r}")


def joined_all(tmp):
    """Both descriptions, through the runner and through cwl-run, on the
    folder of dumps, with each input given and with the programs chosen."""
    os.makedirs(os.path.join(tmp, "dumps"))
    for name, data in FILES.items():
        with open(os.path.join(tmp, "dumps", name), "wb") as f:
            f.write(gzip.compress(data) if name.endswith(".gz") else data)
    want = {name: run_shown(PIPELINE, data, tmp, (TAGJOIN, TAGPICK)) for name, data in
            [("a listing.txt.joined", LISTING), ("whole.txt.joined", DUMP)]}

    if RUNNER == "cwltool":
        for description in (TOOL, WORKFLOW):
            done = subprocess.run(["cwltool", "--validate", description], capture_output=True,
                                  text=True)
            check(done.returncode == 0 and "is valid CWL" in done.stdout,
                  f"cwltool --validate {description}: {done.stdout}{done.stderr}")

    check_page(tmp)
    if RUNNER == "toil-slurm":
        return

    # With the bad file: a failure, its message, nothing of it kept.
    status, log, left = run(tmp, "bad", WORKFLOW, "dumps:\n" + files(*FILES))
    check(status != 0, f"join-dumps.cwl with a bad file: status {status}")
    check(BAD_MESSAGE in log, f"join-dumps.cwl with a bad file: its message\n{log[-3000:]}")
    check(not [f for f in left if f.startswith("bad") or f.endswith(".partial")],
          f"join-dumps.cwl with a bad file: nothing of it in the output folder: {left}")

    # Through cwl-run, the bad file, with its output of an earlier run
    # (given by location) and another file's: the first removed and named.
    out = os.path.join(tmp, "earlier")
    os.makedirs(out)
    for name in ("bad.txt.joined", "whole.txt.joined"):
        write(os.path.join(out, name), want["whole.txt.joined"])
    status, log, left = run(tmp, "earlier", WORKFLOW,
                            "dumps:\n  - {class: File, location: dumps/bad.txt.gz}\n", True)
    check(status != 0 and BAD_MESSAGE in log and left == ["whole.txt.joined"] and log.endswith(
        "cwl-run: bad.txt.joined, joined by an earlier run, removed\n"),
          f"cwl-run, a file that fails: its earlier output removed: {status} {left}\n{log[-2000:]}")

    check_full_outdir(tmp, want)
    check_stopped(tmp)

    # Through cwl-run, a folder in the way of one output: the other
    # delivered over an earlier one, the one named, status 1, a report of
    # what is there, and a file of no input's left alone.
    out = os.path.join(tmp, "in-the-way")
    os.makedirs(os.path.join(out, "whole.txt.joined"))
    for name in ("a listing.txt.joined", "notes"):
        write(os.path.join(out, name), b"earlier\n")
    status, log, left = run(tmp, "in-the-way", WORKFLOW, "dumps:\n" + files(*list(FILES)[:2]), True)
    report = json.JSONDecoder().raw_decode(log)[0] if log.startswith("{") else {}
    delivered = os.path.join(out, "a listing.txt.joined")
    check(status == 1 and "Traceback" not in log and log.endswith(
        f"cwl-run: whole.txt.joined: not delivered into {out}: Is a directory\n") and
          [f["path"] for f in report.get("joined", [])] == [delivered] and
          read(delivered) == want["a listing.txt.joined"] and
          left == ["a listing.txt.joined", "notes", "whole.txt.joined"],
          f"cwl-run, a folder in the way: {status} {left}\n{log[-2000:]}")

    # Two dumps of one output's name: refused before any job, by the
    # runner alone and through cwl-run (Toil knows them by name alone).
    os.makedirs(os.path.join(tmp, "dumps", "again"))
    write(os.path.join(tmp, "dumps", "again", "whole.txt"), DUMP)
    pair = ([f"{tmp}/dumps/whole.txt.gz", f"{tmp}/dumps/again/whole.txt"] if RUNNER == "cwltool"
            else ["whole.txt.gz", "whole.txt"])
    noted = stand_in(tmp, "tagjoin", program=TAGJOIN)
    for wrapped in (False, True):
        status, log, left = run(tmp, f"clash{wrapped}", WORKFLOW,
                                "dumps:\n" + files("whole.txt.gz", "again/whole.txt"), wrapped,
                                dict(ENV, PATH=programs_path(noted, TAGPICK)))
        check(status != 0 and f"{pair[0]} and {pair[1]} would both be joined into "
              "whole.txt.joined; nothing joined" in log and left == [] and not ran(noted),
              f"join-dumps.cwl, cwl-run {wrapped}: a clash refused: {status} {left}\n{log[-3000:]}")

    if RUNNER == "cwltool":
        # The tool alone joins a whole dump as the README's pipeline does
        # (a listing: the page's line).
        status, log, left = run(tmp, "tool-dump", TOOL, f"listing: {files('whole.txt.gz')[4:]}")
        check(status == 0 and left == ["whole.txt.joined"] and
              read(os.path.join(tmp, "tool-dump", left[0])) == want["whole.txt.joined"],
              f"tagjoin.cwl: a whole dump joined as the README's pipeline joins it: "
              f"{status} {left}\n{log[-2000:]}")
        # Each input given a value other than its default changes
        # what the description makes (tagjoin and tagpick below).
        gaps = b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n"
        with open(os.path.join(tmp, "dumps", "gaps.txt"), "wb") as f:
            f.write(gaps)
        dropped = "records without a CTG line dropped: 1"
        INPUTS = [  # description, its inputs, the output's bytes or None, said in the log
            (TOOL, f"prefilter: false\nlisting: {files('whole.txt.gz')[4:]}", None,
             'whole.txt.gz: "rs" expected at beginning of input line 1'),
            (TOOL, f"drop_incomplete: true\nlisting: {files('gaps.txt')[4:]}",
             b"rs2 | SNP | VAL | CTG\n", dropped),
            (TOOL, f"listing: {files('gaps.txt')[4:]}", None,
             'gaps.txt: "CTG" expected at beginning of input line 4'),
            (WORKFLOW, "prefilter: false\ndumps:\n" + files("whole.txt.gz"), None,
             'whole.txt.gz: "rs" expected at beginning of input line 1'),
            (WORKFLOW, "drop_incomplete: true\ndumps:\n" + files("gaps.txt"),
             b"rs2 | SNP | VAL | CTG\n", dropped),
        ]
        # Three at a time: most of a run is cwltool starting.
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            done = list(pool.map(lambda c: run(tmp, f"input{c[0]}", c[1][0], c[1][1]),
                                 enumerate(INPUTS)))
        for i, ((description, job, joined, says), (status, log, left)) in enumerate(
                zip(INPUTS, done)):
            got = read(os.path.join(tmp, f"input{i}", left[0])) if left else None
            check((status == 0) == (joined is not None) and got == joined and says in log,
                  f"{os.path.basename(description)} {job.splitlines()[0]}: {status} {left} "
                  f"{got!r}\n{log[-2000:]}")
        check_programs(tmp)
        check_unwhole_report(tmp)
        check_stopped_twice(tmp)


def main():
    skip_without("toil-cwl-runner" if RUNNER.startswith("toil") else "cwltool")
    if RUNNER == "toil-slurm":
        skip_without("slurmctld", "munged", root=True)
    with scratch(RUNNER) as tmp:
        if RUNNER == "toil-slurm":
            start_slurm(SOURCE, os.path.join(tmp, "slurm"), ENV)
        try:
            joined_all(tmp)
        finally:
            if RUNNER == "toil-slurm":
                stop_slurm(SOURCE, ENV)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
