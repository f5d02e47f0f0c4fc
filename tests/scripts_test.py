#!/usr/bin/env python3
"""scripts_test.py SOURCE TAGJOIN: the scripts for many files, and
join-one, the job each runs for a file, on tables of cases.  Each option
of join-one alone and combined, through join-one, join-files, join-ssh
(this machine its one node) and join-slurm.sbatch alone with given task
ids; the output name for each kind of input name; the status for no, one
and many failed files; each usage error of every script, with status 2
and its usage line.  Every argument that names a file or a program is
given, somewhere, with a space, quotes and a leading "-".  Exits 77,
which ctest counts as skipped, where GNU parallel is missing."""

import concurrent.futures
import gzip
import itertools
import os
import shutil
import subprocess
import sys
import tempfile

from checks import Checks, ran, read, stand_in, tool_path, write

SOURCE, TAGJOIN = (os.path.abspath(a) for a in sys.argv[1:3])
SCRIPTS = os.path.join(SOURCE, "scripts")
check = Checks("scripts")

GOOD = b"rs1 a\nSNP b\nVAL c\nCTG d\n"
GOOD_JOINED = b"rs1 a | SNP b | VAL c | CTG d\n"
GAPS = b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n"
GAPS_JOINED = b"rs2 | SNP | VAL | CTG\n"
BAD = b"rs1\nSNP\nCTG\n"
BAD_SAYS = '"VAL" expected at beginning of input line 3'


def main():
    if not shutil.which("parallel"):
        print("GNU parallel not found (apt-get install parallel, or bash .ci/deps)")
        return 77
    tmp = tempfile.mkdtemp(prefix="tagjoin-scripts-")
    try:
        env = dict(os.environ, PATH=tool_path(TAGJOIN))
        odd = os.path.join(tmp, "my tools 'a\" b")
        os.makedirs(odd)
        nodes = os.path.join(odd, "-nodes of mine")
        write(nodes, b":\n")
        tables(tmp, odd, nodes, env)
    finally:
        shutil.rmtree(tmp)
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
        argv, extra = runner(cwd, args)
        p = subprocess.run(argv, cwd=cwd, env=dict(env, **extra), capture_output=True,
                           timeout=120)
        return p.returncode, p.stderr.decode(errors="surrogateescape")

    header = b"LISTING\n\n"

    # Each runner's tables in a thread of their own, with stand-ins of
    # their own: most of the time goes in starting Python.
    def runner_tables(index, name, runner, _):
        programs = os.path.join(odd, str(index))
        os.makedirs(programs)
        tagjoin = stand_in(programs, "-tagjoin", TAGJOIN)
        tagpick = stand_in(programs, "-tagpick", shutil.which("tagpick", path=env["PATH"]))
        options_table(name, runner, tagjoin, tagpick)
        names_table(name, runner)

    def options_table(name, runner, tagjoin, tagpick):
        OPTIONS = [  # options, the file's lines, its output or None when it fails
            ([], GOOD, GOOD_JOINED),
            ([], header + GOOD, None),
            (["--prefilter"], header + GOOD, GOOD_JOINED),
            (["--no-prefilter"], header + GOOD, None),
            (["--prefilter", "--no-prefilter"], header + GOOD, None),
            (["--no-prefilter", "--prefilter"], header + GOOD, GOOD_JOINED),
            (["--drop-incomplete"], GAPS, GAPS_JOINED),
            ([], GAPS, None),
            (["--prefilter", "--drop-incomplete"], header + GAPS, GAPS_JOINED),
            (["--tagjoin", tagjoin], GOOD, GOOD_JOINED),
            (["--tagpick", tagpick], GOOD, GOOD_JOINED),
            (["--drop-incomplete", "--tagpick", tagpick, "--prefilter", "--tagjoin", tagjoin],
             header + GAPS, GAPS_JOINED),
        ]
        for options, data, want in OPTIONS:
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
            if "--drop-incomplete" in options:
                check("in.txt.gz: records without a CTG line dropped: 1\n" in err,
                      f"{what}: the dropped record counted, the file named: {err!r}")

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

    with concurrent.futures.ThreadPoolExecutor(len(RUNNERS)) as pool:
        list(pool.map(lambda r: runner_tables(r[0], *r[1]), enumerate(RUNNERS)))

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
    silent = stand_in(odd, "tagjoin-full", os.path.join(odd, "full"))
    write(os.path.join(odd, "full"),
          b"#!/bin/sh\necho 'error writing output: No space left on device' >&2\nexit 255\n")
    os.chmod(os.path.join(odd, "full"), 0o755)
    past = os.path.join(odd, "tagjoin-past")
    write(past, b"#!/bin/sh\ncat > /dev/null\n"
          b"printf '\"rs\" expected at beginning of input line 99' >&2\nexit 255\n")
    realtime = os.path.join(odd, "tagjoin-realtime")
    write(realtime, b"#!/bin/sh\ncat > /dev/null\nkill -40 $$\n")
    for program in (past, realtime):
        os.chmod(program, 0o755)
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
        ("a log that cannot be written", {"x.txt": GOOD}, ["x.txt", "out", "no/log"], 1,
         "join-one: no/log: cannot write the log: No such file or directory\n"),
        ("a tagpick that cannot run", {"x.txt": GOOD}, ["--tagpick", "./-none", "x.txt"], 1,
         "x.txt: cannot run ./-none: No such file or directory\n"),
        ("a file that is not there", {}, ["none.txt"], 1,
         "none.txt: tagpick failed with status 2: tagpick: none.txt: No such file or directory\n"),
        ("a file that is not there, prefiltered", {}, ["--prefilter", "none.txt.gz", "-"], 1,
         "none.txt.gz: tagpick failed with status 2: tagpick: none.txt.gz: "
         "No such file or directory\n"),
        ("records dropped, counted under the file's name", {"gaps.txt": b"rs1\nSNP\n" + GOOD},
         ["--drop-incomplete", "gaps.txt"], 0,
         "gaps.txt: records without a CTG line dropped: 1\n"),
    ]
    for what, files, args, want_status, want in JOIN_ONE:
        cwd = folder(files)
        status, err = run(RUNNERS[0][1], cwd, args)
        check(status == want_status and err == want,
              f"join-one, {what}: status {status}, said {err!r}, not {want!r}")
        made = sorted(files) + (["gaps.txt.joined"] if want_status == 0 else [])
        check(sorted(os.listdir(cwd)) == made, f"join-one, {what}: {os.listdir(cwd)}")

    # Only what an earlier run made: nothing to do, and no failure.
    for name, runner, many in RUNNERS:
        if many and "sbatch" not in name:
            cwd = folder({"a.txt.joined": GOOD_JOINED, "b.txt.joined.partial": b""})
            status, err = run(runner, cwd, ["a.txt.joined", "b.txt.joined.partial"])
            check(status == 0 and err.endswith(f"{name}: no file to join\n") and
                  err.count("skipped, as an earlier run made it") == 2,
                  f"{name} on its own outputs: {status} {err!r}")

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

    USAGE = [  # script, arguments
        ("join-one", []), ("join-one", ["--bogus", "x"]), ("join-one", ["a", "b", "c", "d"]),
        ("join-one", ["--tagjoin"]),
        ("join-files", []), ("join-files", ["-j"]), ("join-files", ["-j", "0", "a"]),
        ("join-files", ["-j", "x", "a"]), ("join-files", ["--bogus", "a"]),
        ("join-files", ["--tagpick"]), ("join-files", ["--tagjoin"]),
        ("join-files", ["--prefilter"]), ("join-files", ["-j", "2"]),
        ("join-ssh", []), ("join-ssh", [nodes]), ("join-ssh", ["-x", "a"]),
        ("join-ssh", [nodes, "--bogus", "a"]), ("join-ssh", [nodes, "--tagjoin"]),
        ("join-slurm", []), ("join-slurm", ["--bogus", "a"]), ("join-slurm", ["--tagpick"]),
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

    # split-listing on a listing whose name has a space, quotes and a
    # leading "-": parts of whole records, with every byte.
    listing = b"".join(b"rs%d\nSNP\nVAL\nCTG\n" % i for i in range(30))
    cwd = folder({"-my 'list\" x": listing})
    status, err = run(plain(os.path.join(SCRIPTS, "split-listing"), "-n", "8"), cwd,
                      ["./-my 'list\" x"])
    parts = sorted(f for f in os.listdir(cwd) if f.startswith("part-"))
    check(status == 0 and len(parts) == 15 and
          b"".join(read(os.path.join(cwd, p)) for p in parts) == listing,
          f"split-listing -n 8 an odd name: {status} {parts} {err!r}")


def split_files(args):
    """The options before "--" and the files after it."""
    i = args.index("--")
    return args[:i], args[i + 1:]


if __name__ == "__main__":
    sys.exit(main())
