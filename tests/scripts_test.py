#!/usr/bin/env python3
"""scripts_test.py SOURCE TAGJOIN TAGPICK: the scripts for many files,
and join-one, the job each runs for a file, on tables of cases.  Each
option of join-one alone and combined, and none, through join-one,
join-files, join-ssh (this machine its one node) and join-slurm.sbatch
alone with given task ids; the output name for each kind of input name;
the status for no, one and many failed files; files an earlier run made;
each usage error of every script, with status 2 and its usage line; the
number of jobs at a time; split-listing's parts.  Nothing on standard
output, nothing left in TMPDIR.  Then the files made from join-one's
options: as make-interface makes them, and each hand edit of them seen.
Every argument that names a file or a program is given, somewhere, with
a space, quotes and a leading "-".  Exits 77, which ctest counts as
skipped, where GNU parallel is missing."""

import concurrent.futures
import fcntl
import gzip
import itertools
import os
import shlex
import signal
import subprocess
import sys
import time

from checks import (Checks, copy_of_repository, prefilter_off_by_default, programs_path, ran,
                    read, scratch, skip_without, stand_in, write)

SOURCE, TAGJOIN, TAGPICK = (os.path.abspath(a) for a in sys.argv[1:4])
UMASK = os.umask(0o022)
os.umask(UMASK)
SCRIPTS = os.path.join(SOURCE, "scripts")
check = Checks("scripts")

GOOD = b"rs1 a\nSNP b\nVAL c\nCTG d\n"
GOOD_JOINED = b"rs1 a | SNP b | VAL c | CTG d\n"
GAPS = b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n"
GAPS_JOINED = b"rs2 | SNP | VAL | CTG\n"
BAD = b"rs1\nSNP\nCTG\n"
BAD_SAYS = '"VAL" expected at beginning of input line 3'
BLANK = b"rs1\nSNP\nVAL\nCTG\n\nrs2\nSNP\nVAL\nCTG\n"
BLANK_JOINED = b"rs1 | SNP | VAL | CTG\nrs2 | SNP | VAL | CTG\n"
STOPS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)     # each ends a run


def main():
    skip_without("parallel")
    with scratch("scripts") as tmp:
        env = dict(os.environ, PATH=programs_path(TAGJOIN, TAGPICK))
        odd = os.path.join(tmp, "my tools 'a\" b")
        os.makedirs(odd)
        nodes = os.path.join(odd, "-nodes of mine")
        write(nodes, b":\n")
        tables(tmp, odd, nodes, env)
    return check.report()


def tables(tmp, odd, nodes, env):
    # A job's list for join-slurm.sbatch, and join-one in a folder with
    # an odd name, as the copy of the repository on a cluster could be.
    odd_one = os.path.join(odd, "-join-one")
    os.symlink(os.path.join(SCRIPTS, "join-one"), odd_one)

    def sbatch(task, count):
        def run(cwd, args):
            options, files = split_files(args)
            listing = os.path.join(cwd, "-list of 'files'")
            write(listing, b"".join(os.fsencode(f) + b"\0" for f in files))
            return [os.path.join(SCRIPTS, "join-slurm.sbatch"), listing, odd_one, *options], \
                dict(SLURM_ARRAY_TASK_ID=str(task), SLURM_ARRAY_TASK_COUNT=str(count))
        return run

    def plain(*command):
        return lambda cwd, args: ([*command, *args], {})

    RUNNERS = [  # name, how it is run on options and files, whether it takes many files
        ("join-one", plain(os.path.join(SCRIPTS, "join-one")), False),
        ("join-files", plain(os.path.join(SCRIPTS, "join-files")), True),
        ("join-ssh", plain(os.path.join(SCRIPTS, "join-ssh"), nodes), True),
        ("join-slurm.sbatch", sbatch(0, 1), True),
    ]
    cases = itertools.count()

    def folder(files):
        path = os.path.join(tmp, f"case{next(cases)}")
        os.makedirs(path)
        for name, data in files.items():
            write(os.path.join(path, name), data)
        return path

    def run(runner, cwd, args):
        """The status and standard error of a run in cwd, whose standard
        output must be empty, and which must leave nothing in its TMPDIR."""
        argv, extra = runner(cwd, args)
        tmpdir = cwd + ".tmp"
        os.makedirs(tmpdir, exist_ok=True)
        p = subprocess.run(argv, cwd=cwd, env=dict(env, TMPDIR=tmpdir, **extra),
                           capture_output=True, timeout=120)
        check(p.stdout == b"" and os.listdir(tmpdir) == [],
              f"{' '.join(argv)}: nothing on standard output, nothing left in TMPDIR: "
              f"{p.stdout!r} {os.listdir(tmpdir)}")
        return p.returncode, p.stderr.decode(errors="surrogateescape")

    header = b"LISTING\n\n"

    def runner_tables(index, name, runner, _):
        programs = os.path.join(odd, str(index))
        os.makedirs(programs)
        tagjoin = stand_in(programs, "-tagjoin", TAGJOIN)
        tagpick = stand_in(programs, "-tagpick", TAGPICK)
        options_table(name, runner, tagjoin, tagpick)
        names_table(name, runner)

    def options_table(name, runner, tagjoin, tagpick):
        # Each form of each option through every runner, and the order
        # of two forms kept; join-one alone takes the rest.
        OPTIONS = [  # options, the file's lines, its output or None, whether every runner
            ([], GOOD, GOOD_JOINED, True),
            ([], header + GOOD, GOOD_JOINED, True),
            (["--prefilter"], header + GOOD, GOOD_JOINED, False),
            (["--no-prefilter"], header + GOOD, None, True),
            (["--no-prefilter"], GOOD, GOOD_JOINED, False),
            (["--prefilter", "--no-prefilter"], header + GOOD, None, False),
            (["--no-prefilter", "--prefilter"], header + GOOD, GOOD_JOINED, True),
            ([], BLANK, BLANK_JOINED, False),
            (["--no-prefilter"], BLANK, None, False),
            (["--drop-incomplete"], GAPS, GAPS_JOINED, True),
            ([], GAPS, None, True),
            (["--no-drop-incomplete"], GAPS, None, False),
            (["--drop-incomplete", "--no-drop-incomplete"], GAPS, None, True),
            (["--no-drop-incomplete", "--drop-incomplete"], GAPS, GAPS_JOINED, False),
            (["--no-prefilter", "--drop-incomplete"], GAPS, GAPS_JOINED, False),
            (["--drop-incomplete"], header + GAPS, GAPS_JOINED, False),
            (["--tagjoin", tagjoin], GOOD, GOOD_JOINED, True),
            (["--tagpick", tagpick], GOOD, GOOD_JOINED, True),
            (["--drop-incomplete", "--tagpick", tagpick, "--no-prefilter", "--tagjoin", tagjoin],
             GAPS, GAPS_JOINED, True),
        ]
        for options, data, want, everywhere in OPTIONS:
            if not everywhere and name != "join-one":
                continue
            cwd = folder({"in.txt.gz": gzip.compress(data)})
            status, err = run(runner, cwd, options + ["--", "in.txt.gz"])
            out = os.path.join(cwd, "in.txt.joined")
            got = read(out) if os.path.exists(out) else None
            what = f"{name} {' '.join(options)}"
            check(status == (0 if want else 1) and got == want,
                  f"{what}: status {status}, output {got!r}, not {want!r}: {err!r}")
            ran_tagjoin, ran_tagpick = ran(tagjoin), ran(tagpick)
            check(ran_tagjoin == (tagjoin in options) and ran_tagpick == (tagpick in options),
                  f"{what}: the programs given ran, and only they")
            check(sorted(os.listdir(cwd)) == sorted(["in.txt.gz"] + (["in.txt.joined"] if want
                                                                  else []) +
                                                    (["-list of 'files'"] if "sbatch" in name
                                                     else [])),
                  f"{what}: nothing else made: {os.listdir(cwd)}")
            dropping = [o for o in options if o.endswith("drop-incomplete")][-1:] == [
                "--drop-incomplete"]
            check(("in.txt.gz: records without a CTG line dropped: 1\n" in err) == dropping,
                  f"{what}: the dropped record counted, the file named: {err!r}")
            if data == BLANK and want is None:
                check(err.startswith('in.txt.gz: "rs" expected at beginning of input line 5\n'),
                      f"{what}: the blank line at fault: {err!r}")

    def names_table(name, runner):
        NAMES = {  # an input's name, its output's
            "x": "x.joined",
            "x.txt": "x.txt.joined",
            "x.gz": "x.joined",
            "x.listing.gz": "x.listing.joined",
            "seg.gz": "seg.joined",
            "a.gz.gz": "a.gz.joined",
            "gz": "gz.joined",
            "my 'odd\" name.txt": "my 'odd\" name.txt.joined",
            "-lead.gz": "-lead.joined",
            "-": "-.joined",
            "chr=1.txt": "chr=1.txt.joined",
            os.fsdecode(b"\xe9t\xe9.gz"): os.fsdecode(b"\xe9t\xe9.joined"),   # Latin-1
        }
        for given, output in NAMES.items():
            data = gzip.compress(GOOD) if given.endswith(".gz") else GOOD
            cwd = folder({given: data})
            status, err = run(runner, cwd, ["--", given])
            check(status == 0 and sorted(os.listdir(cwd)) ==
                  sorted([given, output] + (["-list of 'files'"] if "sbatch" in name else [])),
                  f"{name} {given!r}: joined into {output!r}: {os.listdir(cwd)} {err!r}")
            if os.path.exists(os.path.join(cwd, output)):
                check(read(os.path.join(cwd, output)) == GOOD_JOINED, f"{name} {given!r}: its bytes")

    def join_one_says():
        # join-one may be given its output's name and a log.
        cwd = folder({"in.gz": gzip.compress(BAD)})
        status, err = run(RUNNERS[0][1], cwd, ["in.gz", "-out put", "-a log"])
        check(status == 1 and read(os.path.join(cwd, "-a log")).decode().startswith(
            f"in.gz: {BAD_SAYS}\n") and sorted(os.listdir(cwd)) == ["-a log", "in.gz"] and not err,
              f"join-one DUMP OUTPUT LOG, a bad dump: {status} {os.listdir(cwd)} {err!r}")
        cwd = folder({"in.gz": gzip.compress(GOOD)})
        status, err = run(RUNNERS[0][1], cwd, ["in.gz", "-out put", "-"])
        check(status == 0 and read(os.path.join(cwd, "-out put")) == GOOD_JOINED and not err,
              f"join-one DUMP OUTPUT -: {status} {os.listdir(cwd)} {err!r}")

        # What join-one says of a file that failed, and only that.
        silent = stand_in(odd, "tagjoin-full", body="echo 'error writing output: No space left on "
                          "device' >&2\nexit 255")
        past = stand_in(odd, "tagjoin-past", body="cat > /dev/null\n"
                        "printf '\"rs\" expected at beginning of input line 99' >&2\nexit 255")
        realtime = stand_in(odd, "tagjoin-realtime", body="cat > /dev/null\nkill -40 $$")
        unended = stand_in(odd, "tagpick-unended", body="printf 'rs1\\nSNP\\nVAL\\nCTG x'")
        short = stand_in(odd, "tagjoin-short", body="cat > /dev/null; echo")
        latin = os.fsdecode(b"caf\xe9.txt")
        big = gzip.compress(BAD + b"rs2 " + b"x" * 100 + b"\nSNP\nVAL\nCTG\n" * 1000000, 1)
        JOIN_ONE = [  # what, files, arguments, status, all it says
            ("a Latin-1 name", {latin: BAD}, [latin], 1,
             f"{latin}: {BAD_SAYS}\ninput line 3 is line 3 of {latin}; it and the lines before "
             "it, as tagjoin saw them:\n          1  rs1\n          2  SNP\n>         3  CTG\n"),
            ("lines kept and numbered as in the dump", {"x.txt": b"H\n\n" + BAD}, ["--prefilter", "x.txt"],
             1, f"x.txt: {BAD_SAYS}\ninput line 3 is line 5 of x.txt; it and the lines before it, "
             "as tagjoin saw them:\n          3  rs1\n          4  SNP\n>         5  CTG\n"),
            ("tagpick ended by tagjoin's failure", {"big.gz": big}, ["big.gz"], 1,
             f"big.gz: {BAD_SAYS}\ninput line 3 is line 3 of big.gz; it and the lines before it, "
             "as tagjoin saw them:\n          1  rs1\n          2  SNP\n>         3  CTG\n"),
            ("tagjoin's message without a line", {"x.txt": GOOD}, ["--tagjoin", silent, "x.txt"], 1,
             "x.txt: error writing output: No space left on device\n"),
            ("a line named past the end of the file", {"x.txt": GOOD}, ["--tagjoin", past, "x.txt"],
             1, 'x.txt: "rs" expected at beginning of input line 99\n'),
            ("a signal with no name", {"x.txt": GOOD}, ["--tagjoin", realtime, "x.txt"], 1,
             "x.txt: tagjoin-realtime was killed by signal 40\n"),
            ("a last line without its line feed", {"x.txt": GOOD}, ["--tagpick", unended, "x.txt"],
             1, "x.txt: the joined records do not end with the line that closes them: is "
             "tagpick-unended tagpick, and tagjoin tagjoin?\n"),
            ("output shorter than the closing line", {"x.txt": GOOD}, ["--tagjoin", short, "x.txt"],
             1, "x.txt: the joined records do not end with the line that closes them: is "
             "tagpick tagpick, and tagjoin-short tagjoin?\n"),
            ("a log that cannot be written", {"x.txt": GOOD}, ["x.txt", "out", "no/log"], 1,
             "join-one: no/log: cannot write the log: No such file or directory\n"),
            ("a tagpick that cannot run", {"x.txt": GOOD}, ["--tagpick", "./-none", "x.txt"], 1,
             "x.txt: cannot run ./-none: No such file or directory\n"),
            ("a file that is not there", {}, ["none.txt"], 1,
             "none.txt: tagpick failed with status 2: tagpick: none.txt: No such file or directory\n"),
            ("a file that is not there, every line", {}, ["--no-prefilter", "none.txt.gz", "-"], 1,
             "none.txt.gz: tagpick failed with status 2: tagpick: none.txt.gz: "
             "No such file or directory\n"),
            ("records dropped, counted under the file's name", {"gaps.txt": b"rs1\nSNP\n" + GOOD},
             ["--drop-incomplete", "gaps.txt"], 0,
             "gaps.txt: records without a CTG line dropped: 1\n"),
            ("the last record cut, dropped", {"x.txt": GOOD + b"rs2\nSNP\n"},
             ["--drop-incomplete", "x.txt"], 0, "x.txt: records without a CTG line dropped: 1\n"),
            ("the last record without CTG", {"x.txt": b"H\n" + GOOD + b"rs2\nSNP\nVAL\n"}, ["x.txt"],
             1, 'x.txt: "CTG" expected at beginning of input line 8\ninput line 8 is past the end '
             "of x.txt, which ends inside a record; the lines before it, as tagjoin saw them:\n"
             "          4  VAL c\n          5  CTG d\n          6  rs2\n          7  SNP\n"
             "          8  VAL\n"),
            ("cut after an rs line", {"x.txt": GOOD + b"rs2\n"}, ["x.txt"], 1,
             'x.txt: "SNP" expected at beginning of input line 6\ninput line 6 is past the end '
             "of x.txt, which ends inside a record; the lines before it, as tagjoin saw them:\n"
             "          1  rs1 a\n          2  SNP b\n          3  VAL c\n          4  CTG d\n"
             "          5  rs2\n"),
            ("no record: an earlier output removed", {"x.txt": b"<html>\n", "x.txt.joined": b"old"},
             ["x.txt"], 1, "x.txt: no record found\nx.txt: x.txt.joined, joined by an earlier run, "
             "removed\n"),
            ("no record, every line", {"x.gz": gzip.compress(b"")}, ["--no-prefilter", "x.gz"], 1,
             "x.gz: no record found\n"),
            ("an earlier output replaced", {"x.txt": GOOD, "x.txt.joined": b"old"}, ["x.txt"], 0, ""),
            ("a line of 19999 bytes before the one at fault: one piece",
             {"x.txt": b"rs1\nSNP\nVAL " + b"v" * 19995 + b"\nCTG\nrs2\nCTG\n"}, ["x.txt"], 1,
             'x.txt: "SNP" expected at beginning of input line 6\ninput line 6 is line 6 of x.txt; '
             "it and the lines before it, as tagjoin saw them:\n          2  SNP\n          3  VAL "
             + "v" * 296 + " ...\n          4  CTG\n          5  rs2\n>         6  CTG\n"),
            ("a dump named -", {"-": GOOD}, ["--", "-"], 0, ""),
            ("the output is the dump", {"x.gz": b""}, ["x.gz", "x.gz"], 2,
             "join-one: the output x.gz is the dump x.gz; nothing joined\n"),
            ("the output is the dump by another name", {"x.txt": GOOD}, ["x.txt", "./d/../x.txt"], 2,
             "join-one: the output ./d/../x.txt is the dump x.txt; nothing joined\n"),
            ("the log is the dump", {"x.txt": GOOD}, ["x.txt", "out", "x.txt"], 2,
             "join-one: the log x.txt is the dump x.txt; nothing joined\n"),
            ("the log is the output", {"x.txt": GOOD}, ["x.txt", "out", "./out"], 2,
             "join-one: the log ./out is the output out; nothing joined\n"),
        ]
        for what, files, args, want_status, want in JOIN_ONE:
            cwd = folder(files)
            os.makedirs(os.path.join(cwd, "d"))
            status, err = run(RUNNERS[0][1], cwd, args)
            check(status == want_status and err == want,
                  f"join-one, {what}: status {status}, said {err!r}, not {want!r}")
            # The dumps, and the output of each when joined; no other.
            dumps = [n for n in files if not n.endswith(".joined")]
            made = sorted(dumps + ["d"] + ([n.removesuffix(".gz") + ".joined" for n in dumps]
                                           if want_status == 0 else []))
            check(sorted(os.listdir(cwd)) == made, f"join-one, {what}: {os.listdir(cwd)}")
            for name in made:
                if name.endswith(".joined"):
                    # Readable as any file the user makes, not private.
                    mode = os.stat(os.path.join(cwd, name)).st_mode & 0o777
                    check(read(os.path.join(cwd, name)) == GOOD_JOINED and mode == 0o666 & ~UMASK,
                          f"join-one, {what}: {name}, mode {mode:o}")

        # A bad line of 60 MB, shown in a process that may map 100 MB in
        # all: only what is shown of it is held.
        cwd = folder({"wide.txt": b"rs1\nSNP\nVAL " + b"v" * 60_000_000 + b"\nCTG\n"})
        status, err = run(plain("bash", "-c", 'ulimit -v 100000; exec "$0" "$@"',
                                os.path.join(SCRIPTS, "join-one")), cwd, ["wide.txt"])
        check(status == 1 and err == "wide.txt: input line 3 is too long\ninput line 3 is line 3 "
              "of wide.txt (its piece 1, of 20000 bytes each); it and the lines before it, as "
              "tagjoin saw them:\n          1  rs1\n          2  SNP\n>         3  VAL "
              + "v" * 296 + " ...\n", f"join-one, a wide bad line: {status} {err[:300]!r}")

        # Stopped by each signal while its programs run: nothing of its own
        # left, an earlier output as it was, the signal's status.
        waiting = stand_in(odd, "tagpick-waiting-one", body="touch \"$0.ready\"; exec sleep 60")
        for sig in STOPS:
            cwd = folder({"x.txt": GOOD, "x.txt.joined": b"earlier"})
            # With a log of its own on SIGHUP, as in a workflow's job.
            log = ["x.txt.joined", "x.log"] if sig == signal.SIGHUP else []
            one = subprocess.Popen([os.path.join(SCRIPTS, "join-one"), "--tagpick", waiting, "x.txt",
                                    *log], cwd=cwd, env=env, stderr=subprocess.PIPE)
            for _ in range(600):
                if os.path.exists(waiting + ".ready"):
                    break
                time.sleep(0.05)
            os.unlink(waiting + ".ready")
            one.send_signal(sig)
            err = one.communicate(timeout=60)[1]
            check(one.returncode == 128 + sig and not err and
                  sorted(os.listdir(cwd)) == sorted(["x.txt", "x.txt.joined"] + log[1:]) and
                  read(os.path.join(cwd, "x.txt.joined")) == b"earlier" and
                  (not log or read(os.path.join(cwd, "x.log")) ==
                   b"x.txt: stopped by SIGHUP; not joined\n"),
                  f"join-one stopped by {sig.name}: {one.returncode} {err!r} {os.listdir(cwd)}")

        # Stopped before its job began, while it opens its log, a FIFO
        # that no one reads: its lock removed all the same, the status the
        # signal's.
        cwd = folder({"x.txt": GOOD})
        os.mkfifo(os.path.join(cwd, "x.log"))
        one = subprocess.Popen([os.path.join(SCRIPTS, "join-one"), "x.txt", "x.txt.joined",
                                "x.log"], cwd=cwd, env=env, stderr=subprocess.PIPE)
        for _ in range(600):
            if os.path.exists(os.path.join(cwd, "x.txt.joined.lock")):
                break
            time.sleep(0.05)
        one.send_signal(signal.SIGTERM)
        err = one.communicate(timeout=60)[1]
        check(one.returncode == 128 + signal.SIGTERM and sorted(os.listdir(cwd)) == ["x.log", "x.txt"],
              f"join-one stopped opening its log: {one.returncode} {err!r} {os.listdir(cwd)}")

        # Stopped by each signal while it takes its lock, here a FIFO whose
        # open waits for a writer: the stop waits until the lock can be
        # removed, and is then obeyed.
        for sig in STOPS:
            cwd = folder({"x.txt": GOOD})
            lock = os.path.join(cwd, "x.txt.joined.lock")
            os.mkfifo(lock)
            one = subprocess.Popen([os.path.join(SCRIPTS, "join-one"), "x.txt"], cwd=cwd,
                                   env=env, stderr=subprocess.PIPE)
            for _ in range(600):
                with open(f"/proc/{one.pid}/wchan") as f:
                    if f.read() in ("wait_for_partner", "fifo_open"):
                        break
                time.sleep(0.05)
            one.send_signal(sig)
            os.close(os.open(lock, os.O_WRONLY))
            err = one.communicate(timeout=60)[1]
            check(one.returncode == 128 + sig and sorted(os.listdir(cwd)) == ["x.txt"],
                  f"join-one stopped by {sig.name} taking its lock: {one.returncode} {err!r} "
                  f"{os.listdir(cwd)}")

        # Stopped just as its temporary file is made, or as making it fails
        # on a full disk: nothing of its own left, the earlier output kept.
        stopping = """import os, runpy, signal, sys, tempfile
how = sys.argv.pop(2)
made = tempfile.mkstemp
def mkstemp(*args, **kwargs):
    got = made(*args, **kwargs) if how == "made" else None
    os.kill(os.getpid(), signal.SIGTERM)
    if how == "not made":
        raise OSError(28, "No space left on device")
    return got
tempfile.mkstemp = mkstemp
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""
        for how in ("made", "not made"):
            cwd = folder({"x.txt": GOOD, "x.txt.joined": b"earlier"})
            status, err = run(plain(sys.executable, "-c", stopping, os.path.join(SCRIPTS, "join-one"),
                                    how), cwd, ["x.txt"])
            check(status == 128 + signal.SIGTERM and not err and
                  sorted(os.listdir(cwd)) == ["x.txt", "x.txt.joined"] and
                  read(os.path.join(cwd, "x.txt.joined")) == b"earlier",
                  f"join-one stopped as its temporary file is {how}: {status} {err!r} "
                  f"{os.listdir(cwd)}")

        # Another run of the same output under way: refused at once, its
        # output left as it is; once it has ended, its lock left behind
        # by a kill is no hindrance.
        cwd = folder({"x.txt": GOOD, "x.txt.joined": b"the other run's"})
        lock = os.open(os.path.join(cwd, "x.txt.joined.lock"), os.O_RDONLY | os.O_CREAT)
        fcntl.flock(lock, fcntl.LOCK_EX)
        status, err = run(RUNNERS[0][1], cwd, ["x.txt"])
        check(status == 1 and err == "join-one: x.txt.joined is being joined by another run; "
              "x.txt not joined\n" and read(os.path.join(cwd, "x.txt.joined")) == b"the other run's",
              f"join-one while another run holds the output: {status} {err!r}")
        os.close(lock)
        status, err = run(RUNNERS[0][1], cwd, ["x.txt"])
        check(status == 0 and sorted(os.listdir(cwd)) == ["x.txt", "x.txt.joined"] and
              read(os.path.join(cwd, "x.txt.joined")) == GOOD_JOINED,
              f"join-one after a run killed with its lock: {status} {err!r} {os.listdir(cwd)}")

    def earlier_runs_and_clashes():
        # What an earlier run made or left is skipped with a word, the file
        # joined again; only that: nothing to do, and no failure.
        for name, runner, many in RUNNERS:
            if many and "sbatch" not in name:
                skipped = (f"{name}: skipped, as an earlier run made it: a.txt.joined\n"
                           f"{name}: skipped, as an earlier run made it: b.txt.joined.partial\n"
                           f"{name}: skipped, as an earlier run made it: c.joined.lock\n")
                cwd = folder({"a.txt": GOOD, "a.txt.joined": b"old", "b.txt.joined.partial": b"",
                              "c.joined.lock": b""})
                status, err = run(runner, cwd, ["a.txt", "a.txt.joined", "b.txt.joined.partial",
                                                "c.joined.lock"])
                check(status == 0 and err == skipped and
                      read(os.path.join(cwd, "a.txt.joined")) == GOOD_JOINED,
                      f"{name} run again: {status} {err!r}")
                cwd = folder({"a.txt.joined": GOOD_JOINED, "b.txt.joined.partial": b"",
                              "c.joined.lock": b""})
                status, err = run(runner, cwd, ["a.txt.joined", "b.txt.joined.partial",
                                                "c.joined.lock"])
                check(status == 0 and err == skipped + f"{name}: no file to join\n",
                      f"{name} on its own outputs: {status} {err!r}")

        # Two files with one output: refused before any work, both named;
        # join-slurm before it asks anything of Slurm.
        CLASHES = [  # files, arguments, the pair named, their output
            (["x.txt", "x.txt.gz", "y.txt"], ["x.txt", "x.txt.gz", "y.txt"], "x.txt and x.txt.gz",
             "x.txt.joined"),
            (["x.txt"], ["x.txt", "./x.txt"], "x.txt and ./x.txt", "./x.txt.joined"),
            (["d/-a b.gz", "d/-a b"], ["--", "d/-a b", "./d/../d/-a b.gz"],
             "d/-a b and ./d/../d/-a b.gz", "./d/../d/-a b.joined"),
        ]
        for name, runner, many in RUNNERS + [("join-slurm", plain(os.path.join(SCRIPTS, "join-slurm")),
                                              True)]:
            for names, args, pair, output in CLASHES if many and "sbatch" not in name else []:
                cwd = folder({})
                for n in names:
                    os.makedirs(os.path.dirname(os.path.join(cwd, n)), exist_ok=True)
                    write(os.path.join(cwd, n), gzip.compress(GOOD) if n.endswith(".gz") else GOOD)
                status, err = run(runner, cwd, args)
                made = sorted(os.path.relpath(os.path.join(d, f), cwd)
                              for d, _, fs in os.walk(cwd) for f in fs)
                check(status == 2 and err == f"{name}: {pair} would both be joined into {output}; "
                      "nothing joined\n" and made == sorted(names),
                      f"{name} {args}: a clash refused: {status} {err!r} {made}")

        # A TMPDIR that is not there: stopped before any job, the folder
        # named.
        for name, runner, many in RUNNERS:
            if many and "sbatch" not in name:
                cwd = folder({"a.txt": GOOD})
                argv, _ = runner(cwd, ["a.txt"])
                p = subprocess.run(argv, cwd=cwd, env=dict(env, TMPDIR=cwd + "/none"),
                                   capture_output=True, text=True)
                check(p.returncode == 1 and p.stderr == f"{name}: cannot write the list of files "
                      f"in TMPDIR, {cwd}/none: No such file or directory\n" and
                      os.listdir(cwd) == ["a.txt"],
                      f"{name} with no TMPDIR: {p.returncode} {p.stderr!r}")

        # Two runs of one file at once, as from two terminals: the second
        # is refused for it at once, naming the output, and the first
        # joins it whole.
        cwd = folder({"a.txt": GOOD * 1000, "b.txt": GOOD})
        gate = os.path.join(cwd, "gate")
        waiting = stand_in(odd, "tagpick-waiting", body=f"""touch {shlex.quote(gate)}.ready
while [ ! -e {shlex.quote(gate)} ]; do sleep 0.05; done
exec {shlex.quote(TAGPICK)} "$@"
""")
        join_files = os.path.join(SCRIPTS, "join-files")
        first = subprocess.Popen([join_files, "--tagpick", waiting, "a.txt"], cwd=cwd,
                                 env=dict(env, TMPDIR=cwd), stderr=subprocess.PIPE)
        for _ in range(600):
            if os.path.exists(gate + ".ready"):
                break
            time.sleep(0.05)
        partial = sorted(f for f in os.listdir(cwd) if f.startswith("a.txt.joined."))
        check(len(partial) == 2 and "a.txt.joined.lock" in partial and
              any(f.endswith(".partial") for f in partial),
              f"join-files: the output written beside it, under a name of the run's own: {partial}")
        status, err = run(plain(join_files), cwd, ["a.txt", "b.txt"])
        write(gate, b"")
        first_err = first.communicate(timeout=60)[1]
        check(status == 1 and err == "join-one: a.txt.joined is being joined by another run; "
              "a.txt not joined\n" and first.returncode == 0 and not first_err and
              read(os.path.join(cwd, "a.txt.joined")) == GOOD_JOINED * 1000 and
              read(os.path.join(cwd, "b.txt.joined")) == GOOD_JOINED,
              f"join-files twice at once: {status} {err!r}, the first {first.returncode} "
              f"{first_err!r}")

    def failures_and_tasks():
        FAILED = [  # the files, how many fail
            ({"a.txt": GOOD, "b.txt": GOOD}, 0),
            ({"a.txt": GOOD, "b.txt": BAD}, 1),
            ({"a.txt": BAD, "b.txt": BAD, "c.txt": BAD, "d.txt": GOOD}, 3),
        ]
        for name, runner, many in RUNNERS + [
                ("join-files -j 1", plain(os.path.join(SCRIPTS, "join-files"), "-j", "1"), True)]:
            if not many:
                continue
            for files, failed in FAILED:
                cwd = folder(files)
                status, err = run(runner, cwd, ["--", *sorted(files)])
                named = sorted(l for l in err.splitlines() if l.endswith(BAD_SAYS))
                check(status == (1 if failed else 0) and len(named) == failed,
                      f"{name}, {failed} of {len(files)} failed: status {status}, named {named}")
        # Each task of a job array joins its share of the list: files i,
        # i + n, ... of task i of n.
        files = {f"f{i}.txt": GOOD for i in range(5)}
        for task, count, joined in [(0, 2, [0, 2, 4]), (1, 2, [1, 3]), (2, 3, [2]), (4, 5, [4]),
                                    (0, 3, [0, 3])]:
            cwd = folder(files)
            status, err = run(sbatch(task, count), cwd, ["--", *sorted(files)])
            got = sorted(int(f[1]) for f in os.listdir(cwd) if f.endswith(".joined"))
            check(status == 0 and got == joined,
                  f"join-slurm.sbatch task {task} of {count}: joined {got}, not {joined}: {err!r}")

    def usage_errors():
        USAGE = [  # script, arguments
            ("join-one", []), ("join-one", ["--bogus", "x"]), ("join-one", ["a", "b", "c", "d"]),
            ("join-one", ["--tagjoin"]), ("join-one", ["--prefilter=yes", "a"]),
            ("join-files", []), ("join-files", ["-j"]), ("join-files", ["-j", "0", "a"]),
            ("join-files", ["-j", "x", "a"]), ("join-files", ["-j", "-1", "a"]),
            ("join-files", ["--bogus", "a"]), ("join-files", ["-j", "1", "--bogus", "a"]),
            ("join-files", ["--tagpick"]), ("join-files", ["--tagjoin"]),
            ("join-files", ["--prefilter"]), ("join-files", ["--no-drop-incomplete", "--"]),
            ("join-files", ["-j", "2"]),
            ("join-ssh", []), ("join-ssh", [nodes]), ("join-ssh", ["-x", "a"]),
            ("join-ssh", ["--prefilter", nodes, "a"]),
            ("join-ssh", [nodes, "--bogus", "a"]), ("join-ssh", [nodes, "--tagjoin"]),
            ("join-slurm", []), ("join-slurm", ["--bogus", "a"]), ("join-slurm", ["--tagpick"]),
            ("join-slurm", ["--no-prefilter"]),
            ("make-interface", ["--bogus"]), ("make-interface", ["--check", "x"]),
            ("split-listing", []), ("split-listing", ["-n"]), ("split-listing", ["-n", "0", "a"]),
            ("split-listing", ["-n", "-5", "a"]), ("split-listing", ["-n", "x", "a"]),
            ("split-listing", ["a", "b"]),
            ("slurm-one-node", []), ("slurm-one-node", ["begin"]),
            ("slurm-one-node", ["start", "x"]), ("slurm-one-node", ["start", "0"]),
            ("slurm-one-node", ["stop", "now"]), ("slurm-one-node", ["start", "5", "6"]),
            ("cwl-run", []), ("cwl-run", ["out", "cwltool"]),
        ]
        for script, args in USAGE:
            cwd = folder({"a": GOOD})
            status, err = run(plain(os.path.join(SCRIPTS, script)), cwd, args)
            check(status == 2 and err.startswith(f"usage: {script} ") and
                  sorted(os.listdir(cwd)) == ["a"],
                  f"{script} {' '.join(args)}: a usage error: {status} {err!r}")

    def jobs_at_a_time():
        # JOBS at a time: each file's tagpick waits, a while at the most,
        # until JOBS of them run, and notes how many ran then and a moment
        # later; at no time more than JOBS, and JOBS at some time.
        files = {f"j{i}.txt": GOOD for i in range(3)}
        for jobs in (1, 3):
            cwd = folder(files)
            running = cwd + ".running"
            os.makedirs(running)
            q = shlex.quote
            counting = stand_in(odd, f"tagpick-counting-{jobs}", body=f"""touch {q(running)}/$$
    n=0
    while [ "$(ls {q(running)} | wc -l)" -lt {jobs} ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    ls {q(running)} | wc -l >> {q(running)}.seen
    sleep 0.2
    ls {q(running)} | wc -l >> {q(running)}.seen
    rm {q(running)}/$$
    exec {q(TAGPICK)} "$@"
    """)
            status, err = run(plain(os.path.join(SCRIPTS, "join-files"), "-j", str(jobs)), cwd,
                              ["--tagpick", counting, "--", *sorted(files)])
            seen = [int(n) for n in read(running + ".seen").split()]
            check(status == 0 and len(seen) == 6 and max(seen) == jobs,
                  f"join-files -j {jobs}: {jobs} at a time, no more: saw {seen} {err!r}")

    def split_listing():
        # split-listing on listings whose names could be taken for an
        # option, standard input or an awk assignment: parts of whole
        # records, with every byte; lines that hold a tag past their
        # start cut nothing.
        listing = b"".join(b"rs%d\nSNP rs\nVAL\nCTG\n" % i for i in range(30))
        for name in ["./-my 'list\" x", "-lead", "chr=1.txt", "-"]:
            cwd = folder({name.removeprefix("./"): listing})
            status, err = run(plain(os.path.join(SCRIPTS, "split-listing"), "-n", "8"), cwd,
                              [name])
            parts = sorted(f for f in os.listdir(cwd) if f.startswith("part-"))
            check(status == 0 and len(parts) == 15 and
                  b"".join(read(os.path.join(cwd, p)) for p in parts) == listing,
                  f"split-listing -n 8 {name!r}: {status} {parts} {err!r}")

        # A full disk, or a quota, met in the third part: that part named
        # and removed, the two before it whole, status 1.
        small = b"".join(b"rs%d\nSNP\nVAL\nCTG\n" % i for i in range(20))
        cwd = folder({"huge.txt": small + b"rs99\nSNP\nVAL\nCTG " + b"x" * 10000 + b"\n"})
        status, err = run(plain("bash", "-c", 'ulimit -f 8; exec "$0" "$@"',
                                os.path.join(SCRIPTS, "split-listing"), "-n", "40"), cwd,
                          ["huge.txt"])
        parts = sorted(f for f in os.listdir(cwd) if f.startswith("part-"))
        check(status == 1 and parts == ["part-000000000001.txt", "part-000000000041.txt"] and
              err.endswith("split-listing: ./huge.txt not split whole; part-000000000081.txt not "
                           "finished, removed\n") and
              b"".join(read(os.path.join(cwd, p)) for p in parts) == small,
              f"split-listing on a full disk: {status} {parts} {err!r}")

        # Stopped mid-part, as from a terminal, its listing not yet at an
        # end: the parts it finished whole, none cut short.
        cwd = folder({})
        os.mkfifo(os.path.join(cwd, "listing"))
        split = subprocess.Popen([os.path.join(SCRIPTS, "split-listing"), "-n", "4", "listing"],
                                 cwd=cwd, env=env, stderr=subprocess.PIPE, start_new_session=True)
        into = os.open(os.path.join(cwd, "listing"), os.O_WRONLY)
        data = b"".join(b"rs%d\nSNP\nVAL\nCTG\n" % i for i in range(5000))
        os.write(into, data)
        for _ in range(600):
            if any(f.endswith(".partial") for f in os.listdir(cwd)):
                break
            time.sleep(0.05)
        os.killpg(split.pid, signal.SIGTERM)
        err = split.communicate(timeout=60)[1]
        os.close(into)
        parts = sorted(f for f in os.listdir(cwd) if f != "listing")
        whole = b"".join(read(os.path.join(cwd, p)) for p in parts)
        check(split.returncode == 143 and parts and all(p.endswith(".txt") for p in parts) and
              whole == data[:len(whole)] and len(whole) < len(data),
              f"split-listing stopped: {split.returncode} {parts[-3:]} {err!r}")

        # Parts begin at rs lines, are named after their first lines, and
        # join into what the whole joins into; a second run over them is
        # refused, and they are left as they were.
        listing = b"".join(b"rs%d\nSNP\nVAL x\n" % n + b"CTG\n" * (n % 3 + 1) for n in range(200))
        cwd = folder({"huge.txt": listing})
        split = plain(os.path.join(SCRIPTS, "split-listing"))
        status, err = run(split, cwd, ["-n", "100", "huge.txt"])
        parts = sorted(p for p in os.listdir(cwd) if p.startswith("part-"))
        numbers = [int(p[5:17]) for p in parts]
        starts = [i + 1 for i, l in enumerate(listing.split(b"\n")) if l.startswith(b"rs")]
        check(status == 0 and len(parts) > 5 and numbers[0] == 1 and set(numbers) <= set(starts),
              f"split-listing: parts begin at rs lines and are named after them: {numbers} {err!r}")

        def tagjoin(data):
            return subprocess.run([TAGJOIN], input=data, capture_output=True, check=True).stdout
        texts = [read(os.path.join(cwd, p)) for p in parts]
        check(b"".join(texts) == listing and b"".join(map(tagjoin, texts)) == tagjoin(listing),
              "split-listing: every byte, in order; the parts join into what the whole joins into")
        status, err = run(split, cwd, ["-n", "70", "huge.txt"])
        check(status == 2 and "parts of an earlier run" in err and
              [read(os.path.join(cwd, p)) for p in parts] == texts and
              sorted(p for p in os.listdir(cwd) if p.startswith("part-")) == parts,
              f"split-listing over an earlier run's parts: {status} {err!r}")
        cwd = folder({"huge.txt": listing, "part-000000000001.txt.partial": b"rs1\n"})
        status, err = run(split, cwd, ["huge.txt"])
        check(status == 2 and "parts of an earlier run" in err and
              sorted(os.listdir(cwd)) == ["huge.txt", "part-000000000001.txt.partial"],
              f"split-listing over an earlier run's part cut short: {status} {err!r}")

    # Every table in a thread of its own, each runner's with stand-ins of
    # its own, and the made files beside them: most of the time goes in
    # starting Python, GNU parallel and the shell.
    sections = [join_one_says, earlier_runs_and_clashes, failures_and_tasks, usage_errors,
                jobs_at_a_time, split_listing, lambda: check_interface(tmp)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        running = ([pool.submit(runner_tables, i, *r) for i, r in enumerate(RUNNERS)]
                   + [pool.submit(section) for section in sections])
        for done in running:
            done.result()


# What make-interface makes from join-one's options, each file's made
# parts marked, or the second line when none is: the usage line.
MADE = ["config/config.yaml", "workflow/schemas/config.schema.yaml", "workflow/rules/common.smk",
        "config/README.md",
        "cwl/tagjoin.cwl", "cwl/join-dumps.cwl", "scripts/join-options.bash",
        "scripts/join-one", "scripts/join-files", "scripts/join-ssh", "scripts/join-slurm",
        "scripts/cwl-run"]
MARK = b"made by scripts/make-interface"
END_MARK = b"end of what scripts/make-interface makes"


def check_interface(tmp):
    """The files made from join-one's options are as make-interface makes
    them; in a copy, a hand edit of any made part is named by --check, and
    a default changed in the table and made again reaches every file."""
    def check_made(repo, *args):
        p = subprocess.run([os.path.join(repo, "scripts", "make-interface"), *args],
                           capture_output=True, text=True)
        return p.returncode, p.stderr
    status, err = check_made(SOURCE, "--check")
    check(status == 0 and err == "", f"make-interface --check: as made: {status} {err!r}")
    copy = copy_of_repository(SOURCE, os.path.join(tmp, "a copy"))
    for path in MADE:
        # A line of each made part edited by hand: named by --check, and
        # made again as it was.
        full = os.path.join(copy, path)
        text = read(full)
        lines = text.splitlines(keepends=True)
        marks = [i + 1 for i, l in enumerate(lines) if MARK in l] or [1]
        for at in marks:
            edited = lines[:at] + [lines[at].replace(b"\n", b" \n")] + lines[at + 1:]
            write(full, b"".join(edited))
            status, err = check_made(copy, "--check")
            check(status == 1 and err == f"make-interface: {path} differs from what join-one "
                  "--describe makes\n", f"{path}, line {at + 1} edited by hand: {status} {err!r}")
            check(check_made(copy) == (0, "") and read(full) == text,
                  f"{path}, line {at + 1} edited by hand, then made again")
        # Every made part emptied, as a new one starts, or the whole file
        # gone with its folder: made again as it was.
        if END_MARK in text:
            kept, inside = [], False
            for line in lines:
                inside = (inside or MARK in line) and END_MARK not in line
                if not inside or MARK in line:
                    kept.append(line)
            write(full, b"".join(kept))
        elif MARK in lines[0]:
            os.unlink(full)
            if "schemas" in path:
                os.rmdir(os.path.dirname(full))
        else:
            continue
        check(check_made(copy) == (0, "") and read(full) == text,
              f"{path}, its made parts emptied or the file gone, then made again")
        os.makedirs(os.path.dirname(full), exist_ok=True)
        write(full, text)
    # A made part's end mark lost: refused, not a file rewritten past it.
    full = os.path.join(copy, "cwl", "join-dumps.cwl")
    text = read(full)
    write(full, b"".join(l for l in text.splitlines(keepends=True)
                         if END_MARK not in l))
    made = subprocess.run([os.path.join(copy, "scripts", "make-interface")], capture_output=True,
                          text=True)
    check(made.returncode != 0 and made.stderr == "make-interface: cwl/join-dumps.cwl: a made "
          "part without the line that ends it, or one part too many\n" and read(full) != text,
          f"a made part without its end: {made.returncode} {made.stderr!r}")
    write(full, text)
    # Every line of a dump by default, in the copy.
    made = prefilter_off_by_default(copy)
    status, err = check_made(copy)
    changed = sorted(p for p in MADE if read(os.path.join(copy, p)) != read(os.path.join(SOURCE, p)))
    check(made == 0 and status == 0 and
          changed == sorted(set(MADE) - {"scripts/join-options.bash", "workflow/rules/common.smk",
                                         "scripts/join-files", "scripts/cwl-run",
                                         "scripts/join-ssh", "scripts/join-slurm"}),
          f"a default changed and made again: the files that say it changed: {changed} {err!r}")
    FOLLOW = [  # a made file, what it says of prefilter now
        ("config/config.yaml", b"\nprefilter: false\n"),
        ("workflow/schemas/config.schema.yaml", b"  prefilter:\n    type: boolean\n    default: false\n"),
        ("config/README.md", b"| `prefilter` | `--prefilter` / `--no-prefilter` | `false` |"),
        ("cwl/tagjoin.cwl", b"  prefilter:\n    type: boolean\n    default: false\n"),
        ("cwl/join-dumps.cwl", b"  prefilter:\n    type: boolean\n    default: false\n"),
    ]
    for path, says in FOLLOW:
        check(says in read(os.path.join(copy, path)), f"{path}: the new default: {says!r}")
    out = subprocess.run([os.path.join(copy, "scripts", "join-one"), "--describe"], capture_output=True, text=True).stdout
    check('"default": false' in out.split('"name": "prefilter"')[1].split("}")[0],
          f"join-one --describe: the new default: {out[:300]!r}")


def split_files(args):
    """The options before "--" and the files after it."""
    i = args.index("--")
    return args[:i], args[i + 1:]


if __name__ == "__main__":
    sys.exit(main())
