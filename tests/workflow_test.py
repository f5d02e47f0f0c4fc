#!/usr/bin/env python3
"""workflow_test.py SOURCE TAGJOIN: runs the Snakemake workflow on a folder
of small dumps and checks what it leaves: each joined file byte for byte
against the README's pipeline run by hand on the same dump, the exit
status, each failed file's log (its name, tagjoin's message, the line at
fault with its number in the dump) and that no failed file has a result.
Exits 77, which ctest counts as skipped, where snakemake is missing."""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

from readme import Checks, shell_block

SOURCE, TAGJOIN = sys.argv[1], sys.argv[2]
check = Checks("workflow")


def record(n, ctg=2, val=b"VAL | validated=YES | min_prob=? | max_prob=? | notwithdrawn"):
    """A record as a whole dump holds it, with lines of other kinds."""
    lines = [b"rs%d | human | 9606 | snp | genotype=NO | submitterlink=YES" % n,
             b"ss%d | LABX | LABX-%d | orient=+ | ss_pick=YES" % (n * 7, n),
             b"SNP | alleles='A/G' | het=? | se(het)=?  \r", val,
             b"GMAF | allele=G | count=311 | MAF=0.0621"]
    for k in range(ctg):
        lines += [b"CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=%d | orient=+" % (n * 10 + k),
                  b"LOC | GENE812 | locus_id=40417 | fxn-class=intron-variant"]
    return lines + [b"SEQ | 212998034 | source-db=remap | seq-pos=377", b""]


def dump(records):
    header = [b"LISTING (FULL)", b"CREATED ON: 2016-11-17 08:55", b""]
    return b"\n".join(header + [line for r in records for line in r]) + b"\n"


# The README's pipeline for a whole dump, and its command that finds line N.
PIPELINE = shell_block(SOURCE, "| tagjoin > records.txt")
FIND_LINE = shell_block(SOURCE, "grep -a -n")


def find_line(data, n, tmp):
    """What the README's command prints for line n of the dump's bytes."""
    gz = os.path.join(tmp, "find.gz")
    with gzip.open(gz, "wb") as f:
        f.write(data)
    command = FIND_LINE.replace("dump.gz", gz)
    return subprocess.run(["bash", "-c", command], env=dict(os.environ, N=str(n)),
                          capture_output=True, check=True).stdout


def by_hand(data, tmp):
    """What the README's pipeline makes of the dump's bytes."""
    gz = os.path.join(tmp, "by-hand.gz")
    with gzip.open(gz, "wb") as f:
        f.write(data)
    out = os.path.join(tmp, "by-hand.txt")
    command = PIPELINE.replace("dump.gz", gz).replace("records.txt", out)
    env = dict(os.environ, PATH=os.path.dirname(TAGJOIN) + os.pathsep + os.environ["PATH"])
    subprocess.run(["bash", "-o", "pipefail", "-c", command], env=env, check=True)
    with open(out, "rb") as f:
        return f.read()


def snakemake(work, dumps, *config):
    run = subprocess.run(
        ["snakemake", "-s", os.path.join(SOURCE, "workflow", "Snakefile"),
         "-d", work, "--cores", "2", "-k", "--config", f"dumps={dumps}",
         f"tagjoin={TAGJOIN}", *config], capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    if not shutil.which("snakemake"):
        print("snakemake not found (apt-get install snakemake, or bash .ci/deps): "
              "the workflow tests did not run")
        return 77
    tmp = tempfile.mkdtemp(prefix="tagjoin-workflow-")
    try:
        work = os.path.join(tmp, "work")
        folder = os.path.join(work, "dumps")
        os.makedirs(folder)

        plain = b"".join(b"rs%d\nSNP\nVAL\nCTG a\nCTG b\n" % n for n in range(50))
        # A NUL byte and a high byte: kept as they are, not taken for a
        # binary file.
        whole = dump([record(n) for n in range(1, 40)] +
                     [record(40)[:5] + [b"CTG | x\0y \xff", b""]])
        # A lower-case VAL line is not kept: the CTG line after it is the
        # one at fault.
        bad = dump([record(n) for n in range(1, 6)] +
                   [record(6, val=b"val | validated=NO")] + [record(7)])
        bad_at = bad.split(b"\n").index(b"CTG | assembly=GRCh37.p13 | chr=7 | chr-pos=60 | orient=+") + 1
        # A line of 20000 bytes and more, its end white space, counts twice
        # in tagjoin's numbering: its second piece, a blank line, is the
        # line at fault.
        long_ctg = b"CTG | long" + b" " * 25000
        wide = dump([record(n) for n in range(1, 4)] +
                    [record(4)[:5] + [long_ctg, b""]] + [record(5)])
        wide_at = wide.split(b"\n").index(long_ctg) + 1
        incomplete = dump([record(1), record(2, ctg=0), record(3)])
        files = {"plain listing.txt": plain, "whole.txt.gz": whole, "bad.txt.gz": bad,
                 "wide.txt": wide, "incomplete.txt.gz": incomplete}
        for name, data in files.items():
            with (gzip.open if name.endswith(".gz") else open)(
                    os.path.join(folder, name), "wb") as f:
                f.write(data)

        status, said = snakemake(work, "dumps")
        check(status != 0, "snakemake exits non-zero when a file failed")
        # A name with a space in it joins like any other.
        for name in ("plain listing.txt", "whole.txt"):
            got = os.path.join(work, "results", name + ".joined")
            check(os.path.exists(got) and read(got) == by_hand(files.get(name) or
                  files[name + ".gz"], tmp), f"{name}: joined as by hand\n{said}")
        for name in ("bad.txt", "wide.txt", "incomplete.txt"):
            check(not os.path.exists(os.path.join(work, "results", name + ".joined")),
                  f"{name}: no result for a failed file")
        check(not [f for f in os.listdir(os.path.join(work, "results"))
                   if not f.endswith(".joined")], "nothing half-written is left")

        def log(name):
            return read(os.path.join(work, "logs", name + ".log")).decode(errors="replace")

        lines = log("bad.txt")
        said = re.search(r'^dumps/bad\.txt\.gz: "VAL" expected at beginning of input line (\d+)$',
                         lines, re.M)
        check(said, f"bad.txt: name and message\n{lines}")
        check(said and find_line(bad, int(said[1]), tmp).startswith(b"%d:CTG" % bad_at),
              "bad.txt: the README's command finds the line at fault")
        check(re.search(rf"^> +{bad_at}  CTG \| assembly=GRCh37\.p13 \| chr=7 \| chr-pos=60 ",
                        lines, re.M), f"bad.txt: the line at fault, line {bad_at}\n{lines}")
        check(len(re.findall(r"^  +\d+  ", lines, re.M)) == 4, f"bad.txt: four lines before it\n{lines}")
        lines = log("wide.txt")
        check(re.search(r'^dumps/wide\.txt: "rs" expected at beginning of input line \d+$',
                        lines, re.M), f"wide.txt: name and message\n{lines}")
        check(re.search(rf"is line {wide_at} of dumps/wide\.txt \(its piece 2,", lines)
              and re.search(rf"^> +{wide_at}  CTG \| long", lines, re.M),
              f"wide.txt: the long line, {wide_at}, and its piece\n{lines}")
        lines = log("incomplete.txt")
        check('"CTG" expected at beginning of input line' in lines,
              f"incomplete.txt: a record without CTG fails\n{lines}")

        # drop_incomplete: the record goes, its count to the log, and the
        # rest joins as the README's pipeline joins the dump without it.
        os.remove(os.path.join(folder, "bad.txt.gz"))
        os.remove(os.path.join(folder, "wide.txt"))
        status, said = snakemake(work, "dumps", "drop_incomplete=True")
        check(status == 0, f"snakemake exits 0 when every file joined\n{said}")
        got = os.path.join(work, "results", "incomplete.txt.joined")
        check(os.path.exists(got) and
              read(got) == by_hand(dump([record(1), record(3)]), tmp),
              "incomplete.txt: joined without the record that lacks CTG")
        check("records without a CTG line dropped: 1" in log("incomplete.txt"),
              "incomplete.txt: the count of dropped records in the log")

        # Off, every line goes to tagjoin: the dump's header is at fault,
        # under its own line number.
        status, said = snakemake(work, "dumps", "prefilter=False", "drop_incomplete=False")
        check(status != 0, "prefilter off: a whole dump fails")
        check('dumps/whole.txt.gz: "rs" expected at beginning of input line 1\n'
              in log("whole.txt"), "prefilter off: the header is line 1")
        check(read(os.path.join(work, "results", "plain listing.txt.joined")) == by_hand(plain, tmp),
              "prefilter off: a plain listing joins")
    finally:
        shutil.rmtree(tmp)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
