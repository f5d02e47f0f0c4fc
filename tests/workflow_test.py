#!/usr/bin/env python3
"""workflow_test.py SOURCE TAGJOIN TAGPICK: runs the Snakemake workflow on a folder
of small dumps, with each pair of its options, and checks what every job
leaves against what a plain model of the pipeline says it should: the
joined file byte for byte, or no result at all, and the log line for line,
down to the line at fault with its number in the dump.  Then runs one job
(scripts/join-one) alone with tagpick and tagjoin each failing, killed,
speaking and then killed, or unable to write, and checks that none of
them passes for success.  Exits 77, which ctest
counts as skipped, where snakemake is missing."""

import gzip
import json
import os
import re
import resource
import shutil
import subprocess
import sys

from checks import (Checks, dump, kept, ran, read, record, run_shown, scratch, shell_block,
                    skip_without,
                    stand_in, tagjoin_on, write)

SOURCE, TAGJOIN, TAGPICK = sys.argv[1], sys.argv[2], sys.argv[3]
JOIN_ONE = os.path.join(SOURCE, "scripts", "join-one")
check = Checks("workflow")

# What the pipeline should make of a dump, worked out without it
# (checks.kept).

def expected(data, prefilter, drop_incomplete):
    """What the job for the dump should leave: the result's bytes, or None
    for no result, as when tagjoin fails, no record is left, or the last
    record has no CTG line."""
    lines = kept(data, prefilter, drop_incomplete)[0]
    run = tagjoin_on(TAGJOIN, lines)
    starts = [i for i, (_, l) in enumerate(lines) if l.startswith(b"rs")]
    last = [l for _, l in lines[starts[-1]:]] if starts else []
    whole = any(l.startswith(b"CTG") for l in last)
    return run.stdout if run.returncode == 0 and whole else None


# Dumps.

def with_line(line, before=3):
    """A dump whose record number before + 1 ends in line; its number."""
    data = dump([record(n) for n in range(1, before + 1)] +
                [record(before + 1)[:5] + [line, b""], record(before + 2)])
    return data, data.split(b"\n").index(line) + 1


PLAIN = b"".join(b"rs%d\nSNP\nVAL\nCTG a\nCTG b\n" % n for n in range(50))
# A NUL byte and a high byte: kept as they are, not taken for a binary file.
WHOLE = dump([record(n) for n in range(1, 40)] + [record(40)[:5] + [b"CTG | x\0y \xff", b""]])
# A lower-case VAL line is not kept: the CTG line after it is at fault.
BAD = dump([record(n) for n in range(1, 6)] + [record(6, val=b"val | validated=NO")] + [record(7)])
BAD_AT = BAD.split(b"\n").index(b"CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=60 | orient=+") + 1
# A line of 20000 bytes and more that ends in white space counts twice:
# its second piece, a blank line, is at fault.
WIDE, WIDE_AT = with_line(b"CTG | long" + b" " * 25000)
# Too long, named by its first piece; the second, with white space at the
# cut and text after it.
LONG, LONG_AT = with_line(b"CTG | " + b"x" * 29994)
CUT, CUT_AT = with_line(b"CTG " + b"y" * 19995 + b" z")
# A blank line: gone with the other kinds, at fault without them.
BLANK = b"rs1\nSNP\nVAL\nCTG\n\nrs2\nSNP\nVAL\nCTG\n"
# Records without a CTG line first, in the middle, two in a row, and last.
INCOMPLETE = dump([record(1, ctg=0), record(2), record(3, ctg=0), record(4, ctg=0),
                   record(5), record(6, ctg=0)])
LAST_INCOMPLETE = dump([record(1), record(2), record(3, ctg=0)])

# name: (bytes, the line at fault with the default options and its piece)
FILES = {
    "plain listing.txt": (PLAIN, None),
    "whole.txt.gz": (WHOLE, None),
    "bad.txt.gz": (BAD, (BAD_AT, "")),
    "wide.txt": (WIDE, (WIDE_AT, " (its piece 2,")),
    "long.txt.gz": (LONG, (LONG_AT, " (its piece 1,")),
    "cut.txt": (CUT, (CUT_AT, " (its piece 1,")),
    "blank.txt": (BLANK, None),
    "incomplete.gz": (INCOMPLETE, (INCOMPLETE.split(b"\n").index(record(2)[0]) + 1, "")),
    "last-incomplete.txt": (LAST_INCOMPLETE, None),
    "empty.txt": (b"", None),
}
# Files that tagpick cannot read whole: no option makes them join.
UNREADABLE = {
    "not-gzip.txt.gz": b"rs1\nSNP\nVAL\nCTG\n",
    "truncated.txt.gz": gzip.compress(WHOLE)[:600],
}


# What the log of each file that fails says after the count of records
# dropped, for each prefilter and drop_incomplete: the message, then the
# line at fault and up to four lines before it, as tagjoin saw them, each
# with its number in the dump; {path} is the file's.
AT_HEADER = ('{path}: "rs" expected at beginning of input line 1\n'
             "input line 1 is line 1 of {path}; it and the lines before it, as tagjoin saw them:\n"
             ">         1  LISTING (FULL)\n")
BEFORE_42 = ("         33  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=31 | orient=+\n"
             "         37  rs4 | human | 9606 | snp | genotype=NO | submitterlink=YES\n"
             "         39  SNP | alleles='A/G' | het=? | se(het)=?  \r\n"
             "         40  VAL | validated=YES | min_prob=? | max_prob=? | notwithdrawn\n")
PIECE = "; it and the lines before it, as tagjoin saw them:\n"
FAILED_LOGS = {
    **{(name, False, drop): AT_HEADER for drop in (False, True) for name in (
        "whole.txt.gz", "bad.txt.gz", "wide.txt", "long.txt.gz", "cut.txt", "incomplete.gz",
        "last-incomplete.txt")},
    **{("blank.txt", False, drop): (
        '{path}: "rs" expected at beginning of input line 5\n'
        "input line 5 is line 5 of {path}; it and the lines before it, as tagjoin saw them:\n"
        "          1  rs1\n          2  SNP\n          3  VAL\n          4  CTG\n>         5  \n")
       for drop in (False, True)},
    **{("bad.txt.gz", True, drop): (
        '{path}: "VAL" expected at beginning of input line 28\n'
        "input line 28 is line 64 of {path}; it and the lines before it, as tagjoin saw them:\n"
        "         53  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=50 | orient=+\n"
        "         55  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=51 | orient=+\n"
        "         59  rs6 | human | 9606 | snp | genotype=NO | submitterlink=YES\n"
        "         61  SNP | alleles='A/G' | het=? | se(het)=?  \r\n"
        ">        64  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=60 | orient=+\n")
       for drop in (False, True)},
    **{("wide.txt", True, drop): (
        '{path}: "rs" expected at beginning of input line 20\n'
        "input line 20 is line 42 of {path} (its piece 2, of 20000 bytes each)" + PIECE
        + BEFORE_42 + ">        42  CTG | long" + " " * 290 + " ...\n") for drop in (False, True)},
    **{("long.txt.gz", True, drop): (
        "{path}: input line 19 is too long\n"
        "input line 19 is line 42 of {path} (its piece 1, of 20000 bytes each)" + PIECE
        + BEFORE_42 + ">        42  CTG | " + "x" * 294 + " ...\n") for drop in (False, True)},
    **{("cut.txt", True, drop): (
        "{path}: input line 19 is too long\n"
        "input line 19 is line 42 of {path} (its piece 1, of 20000 bytes each)" + PIECE
        + BEFORE_42 + ">        42  CTG " + "y" * 296 + " ...\n") for drop in (False, True)},
    ("incomplete.gz", True, False): (
        '{path}: "CTG" expected at beginning of input line 4\n'
        "input line 4 is line 11 of {path}; it and the lines before it, as tagjoin saw them:\n"
        "          4  rs1 | human | 9606 | snp | genotype=NO | submitterlink=YES\n"
        "          6  SNP | alleles='A/G' | het=? | se(het)=?  \r\n"
        "          7  VAL | validated=YES | min_prob=? | max_prob=? | notwithdrawn\n"
        ">        11  rs2 | human | 9606 | snp | genotype=NO | submitterlink=YES\n"),
}
# A record cut short by the end of the file, and a file with no record.
FAILED_LOGS.update({
    ("last-incomplete.txt", True, False): (
        '{path}: "CTG" expected at beginning of input line 14\n'
        "input line 14 is past the end of {path}, which ends inside a record; the lines before "
        "it, as tagjoin saw them:\n"
        "         20  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=20 | orient=+\n"
        "         22  CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=21 | orient=+\n"
        "         26  rs3 | human | 9606 | snp | genotype=NO | submitterlink=YES\n"
        "         28  SNP | alleles='A/G' | het=? | se(het)=?  \r\n"
        "         29  VAL | validated=YES | min_prob=? | max_prob=? | notwithdrawn\n"),
    **{("empty.txt", prefilter, drop): "{path}: no record found\n"
       for prefilter in (False, True) for drop in (False, True)}})
# How many records without a CTG line each file holds.
DROPPED = {"incomplete.gz": 4, "last-incomplete.txt": 1}


def expected_log(path, name, prefilter, drop_incomplete):
    """The log that the job for the file name at path should leave."""
    count = (f"{path}: records without a CTG line dropped: {DROPPED.get(name, 0)}\n"
             if drop_incomplete else "")
    failed = FAILED_LOGS.get((name, prefilter, drop_incomplete), "")
    return (count + failed.format(path=path)).encode()


def write_dumps(folder):
    os.makedirs(os.path.join(folder, "sub"))
    with open(os.path.join(folder, "sub", "inner.txt"), "wb") as f:
        f.write(PLAIN)
    for name, (data, _) in FILES.items():
        with (gzip.open if name.endswith(".gz") else open)(os.path.join(folder, name), "wb") as f:
            f.write(data)
    for name, data in UNREADABLE.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# The README's pipeline for a whole dump, and its command that finds line N.
PIPELINE = shell_block(SOURCE, "README.md", "whole-dump")
FIND_LINE = shell_block(SOURCE, "docs/dumps.md", "find-line")


def run_workflow(work, *args, env=None):
    """Runs the workflow in work, a working directory of its own, as
    docs/dumps.md runs it; its status and what it said."""
    run = subprocess.run(["snakemake", "-s", os.path.join(SOURCE, "workflow", "Snakefile"),
                          "-d", work, "--cores", "2", *args], env=env, capture_output=True,
                         text=True)
    return run.returncode, run.stdout + run.stderr


def snakemake(work, *config):
    """Runs the workflow in work on work/dumps.  Snakemake would remove a
    failed job's output itself: --keep-incomplete leaves that to the job."""
    return run_workflow(work, "-k", "--keep-incomplete", "--config", "dumps=dumps",
                        f"tagjoin={TAGJOIN}", f"tagpick={TAGPICK}", *config)


def check_options(tmp, folder):
    """Every file with each pair of options, against the model."""
    for prefilter in (True, False):
        for drop in (False, True):
            options = f"prefilter={prefilter} drop_incomplete={drop}"
            work = os.path.join(tmp, f"work-{prefilter}-{drop}")
            os.makedirs(work)
            os.symlink(folder, os.path.join(work, "dumps"))
            status, said = snakemake(work, f"prefilter={prefilter}", f"drop_incomplete={drop}")
            check(status != 0, f"{options}: snakemake exits non-zero when a file failed")
            check("not joined, as not a file: dumps/sub" in said,
                  f"{options}: the subfolder is named as not joined\n{said}")
            joined = []
            for name, (data, fault) in FILES.items():
                base = name.removesuffix(".gz")
                result = os.path.join(work, "results", base + ".joined")
                want = expected(data, prefilter, drop)
                log = expected_log(f"dumps/{name}", name, prefilter, drop)
                check((want is None) == ((name, prefilter, drop) in FAILED_LOGS),
                      f"{options}: {name}: the model and the logs written out agree")
                got = read(os.path.join(work, "logs", base + ".log"))
                check(got == log, f"{options}: {name}: the log\n{got!r}\nnot\n{log!r}")
                if want is None:
                    check(not os.path.exists(result), f"{options}: {name}: no result")
                else:
                    joined.append(base + ".joined")
                    check(os.path.exists(result) and read(result) == want,
                          f"{options}: {name}: joined as the model says")
                if fault and prefilter and not drop:
                    line, piece = fault
                    check(f"is line {line} of dumps/{name}{piece}".encode() in log,
                          f"the model: {name} fails at line {line}{piece}\n{log!r}")
            for name in UNREADABLE:
                base = name.removesuffix(".gz")
                log = read(os.path.join(work, "logs", base + ".log")).decode(errors="replace")
                check(re.search(rf"^dumps/{name}: tagpick failed with status 1: "
                                rf"tagpick: dumps/{name}: .", log, re.M),
                      f"{options}: {name}: tagpick's failure\n{log}")
                check(not os.path.exists(os.path.join(work, "results", base + ".joined")),
                      f"{options}: {name}: no result")
            left = sorted(os.listdir(os.path.join(work, "results")))
            check(left == sorted(joined), f"{options}: nothing else in results/: {left}")


def check_readme(tmp):
    """The model joins as the README's pipeline does, and the README's
    command finds the line that a message names."""
    for name, (data, _) in FILES.items():
        want = expected(data, True, False)
        if want is not None:
            check(run_shown(PIPELINE, data, tmp, (TAGJOIN, TAGPICK)) == want, f"{name}: the model joins as the README")
    # With --drop-incomplete too, where the records dropped before the
    # line at fault shift its number.
    gaps = dump([record(1, ctg=0), record(2, ctg=0)]) + BAD
    at = BAD_AT + gaps.count(b"\n") - BAD.count(b"\n")
    for data, options, line in [(BAD, "", BAD_AT), (gaps, "--drop-incomplete", at)]:
        said = tagjoin_on(TAGJOIN, kept(data, True, bool(options))[0]).stderr
        n = re.search(rb"line (\d+)", said)[1]
        found = run_shown(FIND_LINE, data, tmp, (TAGJOIN, TAGPICK), N=n.decode(), OPTIONS=options)
        check(found.startswith(b"%d\tCTG" % line),
              f"the command of docs/dumps.md finds the line at fault with {options!r}: {found!r}")


# A program that fails: it does its work, or part of it, then fails as said.
FAIL = 'echo "{name}: something went wrong" >&2; exit 3'
KILLED = "kill -9 $$"
# More than a pipe holds, so that tagpick, before a tagjoin that stops
# reading, dies of the closed pipe, which is not a failure of its own.
BIG = dump([record(n) for n in range(1, 2000)])
# tagpick says what went wrong and then, its reader gone, dies of SIGPIPE
# at its next write: the wait makes sure tagjoin has gone by then.
SPOKE = ('printf "xx\\n"; echo "tagpick: {name}: unexpected end of file" >&2; '
         'sleep 0.5; exec cat /dev/zero')
STAGES = [  # program, options, what it does, the dump, the failures the log names
    ("tagpick", [], FAIL, "whole.txt.gz", ["tagpick failed with status 3: tagpick: something went wrong"]),
    ("tagpick", [], f'{{real}} "$@" | head -c 2000; {KILLED}', "big.txt.gz",
     ["tagpick was killed by SIGKILL"]),
    ("tagpick", [], f'{{real}} "$@"; {FAIL}', "bad.txt.gz",
     ["tagpick failed with status 3: tagpick: something went wrong",
      # five records of five tagged lines, then rs, SNP and CTG
      f'"VAL" expected at beginning of input line {5 * 5 + 3}']),
    ("tagpick", [], SPOKE, "whole.txt.gz",
     ["tagpick was killed by SIGPIPE after: tagpick: tagpick: unexpected end of file",
      '"rs" expected at beginning of input line 1']),
    ("tagpick", ["--drop-incomplete", "--no-prefilter"], f'{{real}} "$@" | head -c 200; {KILLED}',
     "plain listing.txt",
     ["tagpick was killed by SIGKILL after: records without a CTG line dropped: 0"]),
    ("tagjoin", [], f'head -c 2000 | {TAGJOIN}; {KILLED}', "big.txt.gz", ["tagjoin was killed by SIGKILL"]),
    ("tagjoin", [], f'{TAGJOIN}; exit 4', "whole.txt.gz", ["tagjoin failed with status 4"]),
    # The result cannot grow past 4 KiB: a full disk, or a quota.
    ("write", [], None, "whole.txt.gz", ["tagjoin was killed by SIGXFSZ"]),
]


def check_stages(tmp, folder):
    """join-one alone, without Snakemake to clean up after it: each program
    failing in turn, and the write of the result."""
    shims = os.path.join(tmp, "shims")
    os.makedirs(shims)
    with gzip.open(os.path.join(tmp, "big.txt.gz"), "wb") as f:
        f.write(BIG)
    out, log = os.path.join(tmp, "out.joined"), os.path.join(tmp, "out.log")
    programs = ["--tagjoin", TAGJOIN, "--tagpick", TAGPICK]
    run = subprocess.run([JOIN_ONE, "--prefilter", *programs,
                          os.path.join(folder, "whole.txt.gz"), out, log])
    check(run.returncode == 0 and read(out) == expected(WHOLE, True, False)
          and read(log) == b"", "join-one alone joins a dump")
    os.unlink(out)
    for stage, options, body, name, says in STAGES:
        shim = stand_in(shims, stage, body=body.format(real=TAGPICK, name=stage)) if body else None
        path = os.path.join(tmp if name == "big.txt.gz" else folder, name)
        run = subprocess.run(
            [JOIN_ONE, "--prefilter", *options, *programs, f"--{stage}", shim, path, out, log]
            if body else [JOIN_ONE, "--prefilter", *programs, path, out, log],
            capture_output=True,
            preexec_fn=None if body else lambda: resource.setrlimit(
                resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY)))
        what = f"{says[0]} ({' '.join(options)} {name})"
        check(run.returncode == 1, f"{what}: join-one exits 1, not {run.returncode} {run.stderr!r}")
        check(not os.path.exists(out) and not os.path.exists(out + ".partial"),
              f"{what}: no result, nothing partial")
        said = read(log).decode(errors="replace").splitlines()
        named = [l[len(path) + 2:] for l in said if l.startswith(path + ": ")]
        check(named == says, f"{what}: the log names {named}")
        if says[-1].startswith('"') and "{real}" in body:
            context = expected_log(path, name, "--no-prefilter" not in options,
                                   "--drop-incomplete" in options)
            check(read(log).endswith(context), f"{what}: the line at fault in the log")
    # A program that cannot start: said in the log and on standard error.
    missing = os.path.join(tmp, "no-such-tagpick")
    run = subprocess.run([JOIN_ONE, "--tagpick", missing, "--tagjoin", TAGJOIN,
                          os.path.join(folder, "whole.txt.gz"), out, log],
                         capture_output=True, text=True)
    says = f"{folder}/whole.txt.gz: cannot run {missing}: No such file or directory\n"
    check(run.returncode == 1 and read(log).decode() == says and run.stderr == says,
          f"a program that cannot start: {run.returncode} {read(log)!r} {run.stderr!r}")
    # An output that cannot be written: said in the log too, no traceback.
    nowhere = os.path.join(tmp, "no-such-folder", "out.joined")
    run = subprocess.run([JOIN_ONE, *programs, os.path.join(folder, "whole.txt.gz"), nowhere, log],
                         capture_output=True, text=True)
    says = f"{folder}/whole.txt.gz: No such file or directory: {nowhere}\n"
    check(run.returncode == 1 and read(log).decode() == says and run.stderr == says,
          f"an output that cannot be written: {run.returncode} {read(log)!r} {run.stderr!r}")


def check_schema(tmp, folder):
    """Options of the wrong type, or unknown, stop the run before any job."""
    work = os.path.join(tmp, "work-schema")
    os.makedirs(work)
    os.symlink(folder, os.path.join(work, "dumps"))
    for option, says in [("prefilter=maybe", "'maybe' is not of type 'boolean'"),
                         ("drop_incomplete=1", "1 is not of type 'boolean'"),
                         ("prefiltre=False", "'prefiltre' was unexpected")]:
        status, said = snakemake(work, option)
        check(status != 0 and says in said and not os.path.exists(os.path.join(work, "results")),
              f"{option}: refused before any job, saying {says}\n{said[-1500:]}")


def check_names(tmp):
    """Names that Snakemake cannot carry are each named in a warning, and
    the other files joined; a program that cannot start is said in the
    file's log, not only on Snakemake's standard error."""
    work = os.path.join(tmp, "work-names")
    folder = os.path.join(work, "dumps")
    os.makedirs(folder)
    odd = [b"\xff\xfe.txt.gz", b"b{x}.txt", b"c\nd.txt", b"e}.txt"]
    for name in odd + [b"good name.txt"]:
        with open(os.path.join(os.fsencode(folder), name), "wb") as f:
            f.write(gzip.compress(PLAIN) if name.endswith(b".gz") else PLAIN)
    status, said = snakemake(work)
    shown = ["dumps/\\xff\\xfe.txt.gz", "dumps/b{x}.txt", "dumps/c\\x0ad.txt", "dumps/e}.txt"]
    check(status == 0 and "Traceback" not in said and
          all(f"which Snakemake cannot carry: {n}\n" in said for n in shown),
          f"odd names: each named, no traceback: {status}\n{said[-2000:]}")
    check(os.listdir(os.path.join(work, "results")) == ["good name.txt.joined"] and
          read(os.path.join(work, "results", "good name.txt.joined")) ==
          subprocess.run([TAGJOIN], input=PLAIN, capture_output=True).stdout,
          "odd names: the other file joined")
    # tagjoin not to be found: the log says so.
    shutil.rmtree(os.path.join(work, "results"))
    for name in odd:
        os.unlink(os.path.join(os.fsencode(folder), name))
    missing = os.path.join(tmp, "no-such-tagjoin")
    status, said = snakemake(work, f"tagjoin={missing}")
    log = read(os.path.join(work, "logs", "good name.txt.log")).decode()
    check(status != 0 and log == f"dumps/good name.txt: cannot run {missing}: "
          "No such file or directory\n", f"no tagjoin: the log says why: {log!r}")


HEADED = b"LISTING\n\n" + PLAIN[:PLAIN.index(b"rs8\n")]
GAPS = b"rs1\nSNP\nVAL\nrs2\nSNP\nVAL\nCTG\n"


def check_config(tmp):
    """Each option's default, with tagjoin and tagpick found by name on
    PATH; every option changed from --config, and from a config file;
    values of the wrong type refused before any job from either; files
    whose names begin with a dot left alone; two files with one result's
    name refused."""
    tools = os.path.join(tmp, "tools on PATH")
    odd = os.path.join(tmp, "my 'odd\" tools")
    for folder in (tools, odd):
        os.makedirs(folder)
    on_path = [stand_in(tools, n, p) for n, p in (("tagjoin", TAGJOIN), ("tagpick", TAGPICK))]
    given = [stand_in(odd, n, p) for n, p in (("-tagjoin", TAGJOIN), ("-tagpick", TAGPICK))]
    env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
    n = 0

    def run(folder, *args, config=None):
        """The workflow in a working directory of its own, with config as
        its config/config.yaml if given."""
        nonlocal n
        n += 1
        work = os.path.join(tmp, f"work-config{n}")
        os.makedirs(os.path.join(work, folder))
        if config:
            os.makedirs(os.path.join(work, "config"))
            write(os.path.join(work, "config", "config.yaml"), read(config))
        for name, data in (("headed.txt.gz", gzip.compress(HEADED)), ("gaps.txt", GAPS),
                           (".hidden.txt", PLAIN), ("old.joined", PLAIN), ("x.joined.lock", b""),
                           ("x.joined.3kq9.partial", PLAIN)):
            write(os.path.join(work, folder, name), data)
        status, said = run_workflow(work, "-k", *args, env=env)
        results = os.path.join(work, "results")
        return work, status, said, sorted(
            os.listdir(results)) if os.path.isdir(results) else None

    headed = tagjoin_on(TAGJOIN, kept(HEADED, True, False)[0]).stdout
    work, status, said, results = run("dumps")
    check(status != 0 and results == ["headed.txt.joined"] and
          read(os.path.join(work, "results", "headed.txt.joined")) == headed,
          f"the defaults: the dump prefiltered, the gaps refused: {results}\n{said[-1500:]}")
    check(all(ran(p) for p in on_path), "the defaults: tagjoin and tagpick found on PATH")
    check(not os.path.exists(os.path.join(work, "logs", ".hidden.txt.log")),
          "the defaults: a dot file left alone")
    check("not joined, as an earlier run made it: dumps/old.joined, dumps/x.joined.3kq9.partial, "
          "dumps/x.joined.lock" in said, f"the defaults: what a run made left alone: {said[:1500]}")

    changed = {"dumps": "my dumps", "prefilter": False, "drop_incomplete": True,
               "tagjoin": given[0], "tagpick": given[1]}
    config_file = os.path.join(tmp, "my config.yaml")
    write(config_file, "".join(f"{k}: {json.dumps(v)}\n" for k, v in changed.items()).encode())
    for how, args, config in [
            ("--config", ["--config"] + [f"{k}={v}" for k, v in changed.items()], None),
            ("a config file", ["--configfile", config_file], None),
            ("the working directory's config/config.yaml", [], config_file)]:
        work, status, said, results = run("my dumps", *args, config=config)
        check(status != 0 and results == ["gaps.txt.joined"] and
              read(os.path.join(work, "results", "gaps.txt.joined")) == b"rs2 | SNP | VAL | CTG\n"
              and read(os.path.join(work, "logs", "gaps.txt.log")) ==
              b"my dumps/gaps.txt: records without a CTG line dropped: 1\n",
              f"every option from {how}: {results}\n{said[-1500:]}")
        check(all(ran(p) for p in given) and not any(ran(p) for p in on_path),
              f"every option from {how}: the programs given ran, and only they")

    WRONG = [  # option, value in a config file, what Snakemake says
        ("drop_incomplete", '"false"', "'false' is not of type 'boolean'"),
        ("prefilter", "yes please", "'yes please' is not of type 'boolean'"),
        ("tagjoin", "5", "5 is not of type 'string'"),
        ("tagpick", '""', "'' is too short"),
        ("dumps", "[a, b]", "['a', 'b'] is not of type 'string'"),
    ]
    for option, value, says in WRONG:
        write(config_file, f"{option}: {value}\n".encode())
        work, status, said, results = run("dumps", "--configfile", config_file)
        check(status != 0 and says in said and results is None and
              not os.path.exists(os.path.join(work, "logs")),
              f"{option}: {value} in a config file: refused before any job\n{said[-1500:]}")

    work, status, said, results = run("dumps", "--config", "tagjoin=")
    check(status != 0 and "None is not of type 'string'" in said and results is None,
          f"--config tagjoin= : refused before any job\n{said[-1500:]}")
    write(os.path.join(work, "dumps", "headed.txt"), HEADED)
    status, said = run_workflow(work, env=env)
    check(status != 0 and "dumps: headed.txt and headed.txt.gz would both be joined into "
          "results/headed.txt.joined" in said and not os.path.exists(os.path.join(work, "results")),
          f"two files, one result: refused before any job\n{said[-1500:]}")


def main():
    skip_without("snakemake")
    with scratch("workflow") as tmp:
        folder = os.path.join(tmp, "dumps")
        write_dumps(folder)
        check_readme(tmp)
        check_stages(tmp, folder)
        check_options(tmp, folder)
        check_schema(tmp, folder)
        check_names(tmp)
        check_config(tmp)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
