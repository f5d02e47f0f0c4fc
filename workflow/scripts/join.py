# Joins one dump into results/NAME.joined, run by the workflow's join rule.
#
# The pipeline is the one the README gives: the fastest decompressor
# installed, when the file ends in .gz; grep for the lines that begin with
# a tag; keep.awk, when records without a CTG line are to be dropped; then
# tagjoin.  Output goes to a temporary name beside the result and takes the
# result's name only when every stage succeeded.  When tagjoin rejects a
# line, the log gets the file's name, tagjoin's message, and that line with
# the few before it, numbered as in the dump.

import os
import shutil
import subprocess
import sys
import tempfile

KEEP_AWK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keep.awk")
# tagjoin reads a line in pieces of at most this many bytes, the line feed
# included; each piece has a line number of its own.
PIECE = 20000
CONTEXT = 4                     # lines shown before the one at fault
SHOWN = 300                     # bytes shown of each line
C_LOCALE = dict(os.environ, LC_ALL="C")


def decompressor():
    for name in ("igzip", "pigz", "gzip"):
        if shutil.which(name):
            return name
    sys.exit("no gzip decompressor found (apt-get install isal)")


# The lines that tagjoin reads; -a, so that a NUL byte does not make grep
# print "binary file matches" in place of the lines.
GREP = ["grep", "-a", "-e", "^rs", "-e", "^SNP", "-e", "^VAL", "-e", "^CTG"]


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
        out.append(["awk", "-v", f"prefilter={int(prefilter and numbered)}",
                    "-v", f"drop_incomplete={int(drop_incomplete)}",
                    "-v", f"numbered={int(numbered)}", "-f", KEEP_AWK])
    return out


def start(commands, path, sink, errors):
    """Starts the commands as a pipeline from the file at path into sink;
    each one's standard error goes to its own file of errors."""
    procs = []
    prev = open(path, "rb")
    for argv, err in zip(commands, errors):
        p = subprocess.Popen(argv, stdin=prev, stderr=err, env=C_LOCALE,
                             stdout=sink if argv is commands[-1] else subprocess.PIPE)
        prev.close()
        prev = p.stdout
        procs.append(p)
    return procs


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
    with open(partial, "wb") as sink:
        procs = start(commands, path, sink, errors)
        for p in procs:
            p.wait()
    for err in errors:
        err.seek(0)
    said = [err.read() for err in errors]
    message = said[-1].decode(errors="replace")
    # tagjoin's failure comes first: the stages before it then die of the
    # pipe it left.  grep finding no line at all is no failure.
    tj = procs[-1]
    upstream = [p for p in procs[:-1]
                if p.returncode not in ((0, 1) if p.args[0] == "grep" else (0,))]
    with open(log_path, "wb") as log:
        log.writelines(said[:-1])
        if tj.returncode == 0 and not upstream:
            os.replace(partial, output)
            return 0
        os.unlink(partial)
        if tj.returncode == 0:
            culprit = upstream[0]
            log.write(f"{path}: {culprit.args[0]} failed with status "
                      f"{culprit.returncode}\n".encode())
            return 1
        log.write(f"{path}: {message}\n".encode())
        bad = line_number(message)
        if bad:
            show_context(path, prefilter, drop_incomplete, bad, log)
    return 1


if __name__ == "__main__":
    sm = snakemake  # noqa: F821 (set by Snakemake's script directive)
    sys.exit(join(str(sm.input[0]), str(sm.output[0]), str(sm.log[0]),
                  sm.params.prefilter, sm.params.drop_incomplete,
                  sm.params.tagjoin))
