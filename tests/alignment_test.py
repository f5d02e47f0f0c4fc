#!/usr/bin/env python3
"""alignment_test.py PROGRAM: runs the program under strace on a listing of
many blocks, with lines of many lengths, from a file and from a pipe fed
in uneven chunks, and checks the address of every read(2) of standard
input and every write(2) of standard output: each read's destination must
lie on a 64-byte boundary, and each write must start a page, unless it
writes the rest of a short write.  The kernel copies fastest to and from
such addresses.  Exits 77, which ctest counts as skipped, where strace is
missing or may not trace."""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

PROGRAM = sys.argv[1]
PAGE = os.sysconf("SC_PAGE_SIZE")
CALL = re.compile(r"^(read|write)\((\w+), (\w+), (\w+)\)\s+= (-?\w+)")


def listing(size):
    """Records whose lines run from a few bytes to thousands, some with
    CR LF or trailing blanks, so that a block ends anywhere in a line."""
    rng = random.Random(18)
    out, total = [], 0
    while total < size:
        lines = [b"rs%d" % rng.randrange(10**9), b"SNP " + b"s" * rng.randrange(80),
                 b"VAL" + b" v" * rng.randrange(40)]
        for _ in range(rng.randrange(1, 5)):
            n = rng.choice([0, 1, 7, 30, 31, 32, 33, 63, 64, 65, 200, 1500, 19990])
            lines.append(b"CTG" + b"c" * n + rng.choice([b"", b" ", b"\r", b" \t "]))
        record = b"\n".join(lines) + b"\n"
        out.append(record)
        total += len(record)
    return b"".join(out)


def calls(log):
    """Each read of fd 0 and write of fd 1: (name, address, count, result)."""
    found = []
    with open(log) as f:
        for line in f:
            m = CALL.match(line)
            if m and (m[1], int(m[2], 0)) in (("read", 0), ("write", 1)):
                result = int(m[5], 0)
                found.append((m[1], int(m[3], 0), int(m[4], 0), result))
    return found


def check(calls_made, what):
    """The faults among the calls, as lines to print."""
    faults = []
    rest = None                 # where the rest of a short write starts
    for name, address, count, result in calls_made:
        if name == "read" and address % 64:
            faults.append(f"{what}: read into {address:#x}, {address % 64} past a 64-byte boundary")
        if name == "write":
            if address % PAGE and address != rest:
                faults.append(f"{what}: write from {address:#x}, {address % PAGE} into a page")
            rest = address + result if 0 <= result < count else None
    return faults


def main():
    if not shutil.which("strace"):
        print("strace not found (apt-get install strace, or bash .ci/deps): not run")
        return 77
    if subprocess.run(["strace", "-o", os.devnull, "true"], capture_output=True).returncode:
        print("strace may not trace here (no ptrace): not run")
        return 77
    tmp = tempfile.mkdtemp(prefix="tagjoin-alignment-")
    try:
        data = listing(3 << 20)
        path = os.path.join(tmp, "listing")
        with open(path, "wb") as f:
            f.write(data)
        want = subprocess.run([PROGRAM], input=data, capture_output=True).stdout
        strace = ["strace", "-e", "trace=read,write", "-e", "raw=read,write", "-o"]
        # LeakSanitizer, in a sanitized build, cannot run under ptrace.
        os.environ["ASAN_OPTIONS"] = "detect_leaks=0"
        faults, counts = [], []
        for how in ("file", "pipe"):
            log = os.path.join(tmp, how + ".strace")
            if how == "file":
                with open(path, "rb") as f:
                    run = subprocess.run(strace + [log, PROGRAM], stdin=f, capture_output=True)
            else:
                # Chunks of uneven, prime sizes: reads return what has
                # come, so the piece left over has every length.
                p = subprocess.Popen(strace + [log, PROGRAM], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
                writer = subprocess.Popen(
                    ["python3", "-c", "import sys, os\n"
                     "d = sys.stdin.buffer.read(); i = 0; sizes = [4099, 65521, 7, 131071, 997]\n"
                     "while i < len(d):\n"
                     "    n = sizes[i % 5]; os.write(1, d[i:i + n]); i += n\n"],
                    stdin=open(path, "rb"), stdout=p.stdin)
                p.stdin.close()
                out = p.stdout.read()
                writer.wait()
                run = subprocess.CompletedProcess(p.args, p.wait(), out, b"")
            if run.returncode != 0 or run.stdout != want:
                faults.append(f"{how}: status {run.returncode}, or not the bytes joined without strace")
            made = calls(log)
            counts.append(f"{how}: {sum(c[0] == 'read' for c in made)} reads, "
                          f"{sum(c[0] == 'write' for c in made)} writes")
            if sum(c[0] == "read" for c in made) < 10 or not any(c[0] == "write" for c in made):
                faults.append(f"{how}: too few calls seen to judge: {counts[-1]}")
            faults += check(made, how)
    finally:
        shutil.rmtree(tmp)
    for f in faults[:20]:
        print("FAILED:", f)
    print(f"alignment: {'; '.join(counts)}; {len(faults)} misplaced or wrong")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
