# Joins one dump or listing: the job of each file in the workflow, in the
# scripts for many files and clusters, and in the CWL descriptions.
#
#   python3 join.py [--no-prefilter] [--drop-incomplete] [--tagjoin PATH] DUMP [OUTPUT [LOG]]
#
# OUTPUT is DUMP less a final .gz, with .joined; LOG, where messages go, is
# standard error unless named ("-" names it too).  The pipeline is the
# fastest decompressor installed, when the file ends in .gz; grep for the
# lines that begin with a tag (unless --no-prefilter); keep.awk, when
# records without a CTG line are to be dropped; then tagjoin.  Output goes
# to a temporary name beside OUTPUT and takes its name only when every
# stage succeeded, so that OUTPUT exists exactly when DUMP was joined
# whole.  The log names each stage that failed, with its status or the
# signal that killed it; when tagjoin rejects a line, it gets tagjoin's
# message, and that line with the few before it, numbered as in the dump.
# Exits 0 when OUTPUT was written, 1 when not.

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

KEEP_AWK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keep.awk")
# tagjoin reads a line in pieces of at most this many bytes, the line feed
# included; each piece has a line number of its own.
PIECE = 20000
CONTEXT = 4                     # lines shown before the one at fault
SHOWN = 300                     # bytes shown of each line


def decompressor():
    for name in ("igzip", "pigz", "gzip"):
        if shutil.which(name):
            return name
    sys.exit("no gzip decompressor found (apt-get install isal)")


# The lines that tagjoin reads, those that begin with a tag; grep with -a,
# so that a NUL byte does not make it print "binary file matches" in place
# of the lines.
TAGS = ("rs", "SNP", "VAL", "CTG")
GREP = ["grep", "-a"] + [w for t in TAGS for w in ("-e", "^" + t)]
TAGS_REGEX = "^(" + "|".join(TAGS) + ")"


def stages(path, prefilter, drop_incomplete, numbered=False):
    """The commands that turn the dump, on standard input, into the lines
    that tagjoin reads.  Numbered, each line comes with its number in the
    dump, from keep.awk alone; otherwise grep, which is faster, picks the
    lines and keep.awk drops records from what is left."""
    out = []
    if path.endswith(".gz"):
        out.append([decompressor(), "-dc"])
    if prefilter and not numbered:
        out.append(GREP)
    if drop_incomplete or numbered:
        out.append(["awk", "-v", f"tags={TAGS_REGEX}",
                    "-v", f"prefilter={int(prefilter and numbered)}",
                    "-v", f"drop_incomplete={int(drop_incomplete)}",
                    "-v", f"numbered={int(numbered)}", "-f", KEEP_AWK])
    return out


def start(commands, path, sink, errors):
    """Starts the commands as a pipeline from the file at path into sink;
    each one's standard error goes to its own file of errors.  In the C
    locale every byte is a character."""
    procs = []
    prev = open(path, "rb")
    env = dict(os.environ, LC_ALL="C")
    try:
        for argv, err in zip(commands, errors):
            p = subprocess.Popen(argv, stdin=prev, stderr=err, env=env,
                                 stdout=sink if argv is commands[-1] else subprocess.PIPE)
            prev.close()
            prev = p.stdout
            procs.append(p)
    except OSError as e:
        for p in procs:
            p.kill()
            p.wait()
        sys.exit(f"{path}: cannot run {argv[0]}: {e.strerror}")
    return procs


def succeeded(p):
    # grep finding no line at all is no failure.
    return p.returncode in ((0, 1) if p.args[0] == "grep" else (0,))


def failures(procs, said):
    """What to say of each stage that failed, in the pipeline's order.  A
    stage that a later failed stage left writing to a closed pipe died of
    that, not of a fault of its own, and is not named."""
    out, later_failed = [], False
    for p, err in reversed(list(zip(procs, said))):
        if succeeded(p):
            continue
        name = os.path.basename(p.args[0])
        last = (err.decode(errors="replace").strip().splitlines() or [""])[-1]
        if p.returncode < 0:
            if not (later_failed and p.returncode == -signal.SIGPIPE):
                out.append(f"{name} was killed by {signal.Signals(-p.returncode).name}")
        elif p is procs[-1] and p.returncode == 255 and last:
            out.append(last)            # tagjoin's own message says it all
        else:
            out.append(f"{name} failed with status {p.returncode}"
                       + (f": {last}" if last else ""))
        later_failed = True
    return out[::-1]


def line_number(message):
    """The line that a message of tagjoin's names, if any."""
    words = message.split()
    for i, w in enumerate(words[:-1]):
        if w == "line" and words[i + 1].isdigit():
            return int(words[i + 1])
    return None


def show_context(path, prefilter, drop_incomplete, bad, log):
    """Writes the line that holds tagjoin's line bad, and the few before it,
    each with its number in the dump, as tagjoin saw them."""
    commands = stages(path, prefilter, drop_incomplete, numbered=True)
    procs = start(commands, path, subprocess.PIPE,
                  [subprocess.DEVNULL] * len(commands))
    recent, pieces, found = [], 0, None
    for record in procs[-1].stdout:
        number, _, text = record.rstrip(b"\n").partition(b"\t")
        first = pieces + 1
        pieces += (len(text) + PIECE) // PIECE
        recent = (recent + [(int(number), text)])[-(CONTEXT + 1):]
        if pieces >= bad:
            found = (int(number), bad - first + 1, first == pieces)
            break
    for p in procs:
        p.kill()
        p.wait()
    if found is None:
        return
    number, piece, whole = found
    where = "" if whole else f" (its piece {piece}, of {PIECE} bytes each)"
    log.write(f"input line {bad} is line {number} of {path}{where}; "
              "it and the lines before it, as tagjoin saw them:\n".encode())
    for n, text in recent:
        shown = text[:SHOWN] + (b" ..." if len(text) > SHOWN else b"")
        log.write(b"%s %9d  %s\n" % (b">" if n == number else b" ", n, shown))


def join(path, output, log_path, prefilter, drop_incomplete, tagjoin):
    """Returns 0 when the dump was joined into output, 1 when not."""
    commands = stages(path, prefilter, drop_incomplete) + [[tagjoin]]
    partial = output + ".partial"
    errors = [tempfile.TemporaryFile() for _ in commands]
    try:
        with open(partial, "wb") as sink:
            procs = start(commands, path, sink, errors)
            for p in procs:
                p.wait()
        for err in errors:
            err.seek(0)
        said = [err.read() for err in errors]
        failed = failures(procs, said)
        if not failed:
            os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    with open(log_path, "wb") if log_path != "-" else os.fdopen(2, "wb", closefd=False) as log:
        # What the stages that succeeded said: keep.awk's count of dropped
        # records, a decompressor's warnings.
        log.writelines(err for p, err in zip(procs, said) if succeeded(p))
        for what in failed:
            log.write(f"{path}: {what}\n".encode())
        bad = procs[-1].returncode == 255 and line_number(failed[-1])
        if bad:
            show_context(path, prefilter, drop_incomplete, bad, log)
    return 1 if failed else 0


def main():
    """The join rule's job, or the same from the command line."""
    if "snakemake" in globals():
        sm = snakemake  # noqa: F821 (set by Snakemake's script directive)
        return join(str(sm.input[0]), str(sm.output[0]), str(sm.log[0]),
                    sm.params.prefilter, sm.params.drop_incomplete, sm.params.tagjoin)
    parser = argparse.ArgumentParser(description="Joins one dump or listing into DUMP.joined.")
    parser.add_argument("--prefilter", action=argparse.BooleanOptionalAction, default=True,
                        help="join only the lines that begin with a tag (the default)")
    parser.add_argument("--drop-incomplete", action="store_true",
                        help="drop the records that have no CTG line, and count them")
    parser.add_argument("--tagjoin", default="tagjoin", help="the program (default: on PATH)")
    parser.add_argument("dump")
    parser.add_argument("output", nargs="?")
    parser.add_argument("log", nargs="?", default="-")
    a = parser.parse_args()
    output = a.output or a.dump.removesuffix(".gz") + ".joined"
    return join(a.dump, output, a.log, a.prefilter, a.drop_incomplete, a.tagjoin)


if __name__ == "__main__":
    sys.exit(main())
