#!/usr/bin/env python3
"""man_test.py PAGE TAGJOIN: the man page against the program.  The page
renders with every groff warning on and none given.  The program is run
to each kind of ending, and each message it prints matches one entry of
DIAGNOSTICS, each entry one message, and each status is one that EXIT
STATUS lists; the longest line the page states is accepted and one
character more is not; the examples run as printed, the PIPESTATUS
index naming tagjoin's stage of the pipeline shown."""

import gzip
import os
import re
import subprocess
import sys
import tempfile

from checks import Checks, tool_path

PAGE, TAGJOIN = sys.argv[1], sys.argv[2]
check = Checks("man page")

warnings = subprocess.run(["groff", "-man", "-ww", "-z", PAGE], capture_output=True, text=True)
check(warnings.returncode == 0 and not warnings.stderr, f"groff warns: {warnings.stderr}")
# Rendered as a reader sees it, on lines too long to break or hyphenate.
text = subprocess.run(["groff", "-man", "-Tascii", "-rLL=2000n", "-rHY=0", "-P-cbou", PAGE],
                      capture_output=True, text=True, check=True).stdout
sections = {}
for part in re.split(r"^(?=\S)", text, flags=re.M):
    head, _, body = part.partition("\n")
    sections[head] = body


def prose(section):
    return re.sub(r"\s+", " ", sections.get(section, ""))


# An entry's head is indented as the section's text and followed by its
# own text indented further.
heads = re.findall(r"^ {7}(\S.*)\n {14}\S", sections.get("DIAGNOSTICS", ""), re.M)
patterns = {h: re.compile(re.sub(r"\breason\b", "(.+)", re.sub(r"\bN\b", r"(\\d+)", re.escape(h)))
                          + r"\Z") for h in heads}
statuses = {int(s) for s in re.findall(r"^ {7}(\d+) ", sections.get("EXIT STATUS", ""), re.M)}
check(len(heads) >= 7, f"DIAGNOSTICS has {len(heads)} entries")


def run(data, stdin=None, stdout=subprocess.PIPE):
    p = subprocess.run([TAGJOIN], input=data, stdin=stdin, stdout=stdout,
                       stderr=subprocess.PIPE)
    return p.returncode, p.stderr.decode()


longest = re.search(r"A line of (\d+) characters is the longest accepted", prose("NOTES"))
check(longest is not None, "NOTES states the longest line")
longest = int(longest.group(1)) if longest else 19999
too_long = re.search(r"The line holds (\d+) characters or more", prose("DIAGNOSTICS"))
check(too_long and int(too_long.group(1)) == longest + 1,
      "DIAGNOSTICS: a line too long holds one character more than the longest")


def record(first):
    return first + b"\nSNP\nVAL\nCTG\n"


with tempfile.TemporaryDirectory() as tmp:
    ENDINGS = [  # what, input, where standard input and output go, line named
        ("joined", record(b"rs"), None, None, None),
        ("the longest line", record(b"rs" + b"x" * (longest - 2)), None, None, None),
        ("one character more", record(b"rs" + b"x" * (longest - 1)), None, None, 1),
        ("no rs line", b"SNP\n", None, None, 1),
        ("no SNP line", b"rs\nVAL\n", None, None, 2),
        ("no VAL line", b"rs\nSNP\nCTG\n", None, None, 3),
        ("no CTG line", b"rs\nSNP\nVAL\nrs\n", None, None, 4),
        ("input a directory", None, tmp, None, None),
        ("output full", record(b"rs"), None, "/dev/full", None),
    ]
    matched = {h: [] for h in heads}
    for what, data, stdin, stdout, line in ENDINGS:
        fin = os.open(stdin, os.O_RDONLY) if stdin else None
        fout = open(stdout, "wb") if stdout else subprocess.PIPE
        status, message = run(data, fin, fout)
        check(status in statuses, f"{what}: status {status}, not in EXIT STATUS {statuses}")
        if not message:
            check(status == 0, f"{what}: status {status} with no message")
            continue
        hits = [h for h, p in patterns.items() if p.match(message)]
        check(len(hits) == 1, f"{what}: {message!r} matches {len(hits)} entries of DIAGNOSTICS")
        for h in hits:
            matched[h].append(what)
            number = patterns[h].match(message).group(1)
            if line is not None:
                check(number == str(line), f"{what}: {message!r} names line {number}, not {line}")
    for h, whats in matched.items():
        check(len(whats) == 1, f"DIAGNOSTICS {h!r}: printed on {whats}, not on one ending")

    # The examples, as printed.
    examples = sections.get("EXAMPLES", "")
    shown = re.search(r"^ {7}\$ (printf .*\| tagjoin)\n {7}(.*)$", examples, re.M)
    check(shown is not None, "EXAMPLES: the printf example")
    if shown:
        env = dict(os.environ, PATH=tool_path(TAGJOIN))
        out = subprocess.run(["sh", "-c", shown.group(1)], capture_output=True, env=env).stdout
        check(out.decode() == shown.group(2) + "\n", f"EXAMPLES: {shown.group(1)} gives {out!r}")
    pipeline = re.search(r"^ {7}(\S.*\| tagjoin > records\.txt)$", examples, re.M)
    index = re.search(r"PIPESTATUS\[(\d+)\]", prose("EXAMPLES"))
    check(pipeline and index, "EXAMPLES: the dump's pipeline and its PIPESTATUS index")
    if pipeline and index:
        dump = os.path.join(tmp, "dump.gz")
        with gzip.open(dump, "wb") as f:
            f.write(b"HEADER\nrs1\nSNP\nVAL\nCTG\nrs2\nSNP\nOTHER\nrs3\n")
        command = pipeline.group(1).replace("dump.gz", dump).replace(
            "records.txt", os.path.join(tmp, "records.txt"))
        got = subprocess.run(["bash", "-c", command + '; echo "${PIPESTATUS[@]}"'], env=env,
                             capture_output=True, text=True)
        stages = got.stdout.split()
        k = int(index.group(1))
        check(len(stages) > k and stages[k] == "255" and stages.count("0") == len(stages) - 1,
              f"EXAMPLES: PIPESTATUS[{k}] on a dump that tagjoin refuses, of {stages} "
              f"({got.stderr.strip()!r})")

sys.exit(check.report())
