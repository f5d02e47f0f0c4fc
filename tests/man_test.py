#!/usr/bin/env python3
"""man_test.py PAGE PROGRAM: a man page against its program, tagjoin or
tagpick.  The page renders with every groff warning on and none given.
The program is run to each kind of ending: each message it prints
matches an entry of DIAGNOSTICS, each entry is printed on some ending
(for tagjoin, each message matches one entry and each entry one
ending), and the statuses are those that EXIT STATUS lists; for tagpick
a message whose entry leaves words open (errno's, a folder's) is compared
whole, each status is the one whose words in EXIT STATUS name its ending, and each option does
what OPTIONS says (the lines kept are those that DESCRIPTION's grep
keeps, the count of records dropped reads as shown).  For tagjoin,
the longest line the page states is accepted and one character more is
not, and the examples run as printed, the PIPESTATUS index naming
tagjoin's stage of the pipeline shown."""

import errno
import gzip
import os
import re
import socket
import subprocess
import sys
import tempfile

from checks import Checks, kept, programs_path, read, write

PAGE, PROGRAM = sys.argv[1], sys.argv[2]
TAGPICK = os.path.basename(PROGRAM).startswith("tagpick")
check = Checks("man page " + os.path.basename(PAGE))

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


def entry_heads(section):
    """The heads of a section's entries: the lines indented as the
    section's text that its own text, indented further, follows."""
    heads, run = [], []
    for line in sections.get(section, "").splitlines():
        if re.match(r" {7}\S", line):
            run.append(line[7:])
        else:
            if re.match(r" {14}\S", line):
                heads += run
            run = []
    return heads


def pattern(head):
    """The messages an entry's head stands for: N a number, reason, option
    and folder any words, name and file leading a message any name."""
    p = re.escape(head)
    p = re.sub(r"^(name|file):", "(.+?):", p)
    p = re.sub(r"\bN\b", r"(\\d+)", p)
    p = re.sub(r"\b(reason|option|folder)\b", "(.+)", p)
    return re.compile(p + r"\Z")


heads = entry_heads("DIAGNOSTICS")
patterns = {h: pattern(h) for h in heads}
statuses = {int(s) for s in re.findall(r"^ {7}(\d+) ", sections.get("EXIT STATUS", ""), re.M)}
exits = {int(s): t for s, t in re.findall(r"^ {7}(\d+) +(.*)$", sections.get("EXIT STATUS", ""),
                                          re.M)}
check(len(heads) >= 7, f"DIAGNOSTICS has {len(heads)} entries")


def run(args=(), data=b"", stdin=None, stdout=subprocess.PIPE, env=None):
    p = subprocess.run([PROGRAM, *args], input=None if stdin is not None else data,
                       stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, env=env)
    run.last = p
    message = p.stderr.decode(errors="replace").split("\n")[0]
    if TAGPICK:
        check(not message or message.startswith("tagpick: "),
              f"{args}: {message!r} is not headed by the program's name")
        message = message.removeprefix("tagpick: ")
    return p.returncode, message


def check_endings(endings, exact):
    """Runs each ending (what, run's arguments, the line its message names
    or None, and for tagpick the whole message and the words of EXIT
    STATUS that give its status) against DIAGNOSTICS and EXIT STATUS."""
    matched = {h: [] for h in patterns}
    seen = set()
    for what, kwargs, line, *told in endings:
        status, message = run(**kwargs)
        seen.add(status)
        check(status in statuses, f"{what}: status {status}, not in EXIT STATUS {statuses}")
        if told:
            said, words = told
            check(said is None or message == said, f"{what}: {message!r}, not {said!r}")
            given = [s for s, text in exits.items() if words in text]
            check(given == [status], f"{what}: status {status}; EXIT STATUS gives {given} "
                  f"to {words!r}")
            check(status != 2 or not run.last.stdout, f"{what}: output, though nothing is read")
        if not message:
            check(status == 0, f"{what}: status {status} with no message")
            continue
        hits = [h for h, p in patterns.items() if p.match(message)]
        check(len(hits) == 1 if exact else hits,
              f"{what}: {message!r} matches {len(hits)} entries of DIAGNOSTICS")
        for h in hits:
            matched[h].append(what)
            number = patterns[h].match(message).group(1)
            if line is not None:
                check(number == str(line), f"{what}: {message!r} names line {number}, not {line}")
    for h, whats in matched.items():
        check(len(whats) == 1 if exact else whats,
              f"DIAGNOSTICS {h!r}: printed on {whats}")
    check(seen == statuses, f"EXIT STATUS lists {statuses}; the program ended with {seen}")


def record(first):
    return first + b"\nSNP\nVAL\nCTG\n"


def check_tagjoin(tmp):
    longest = re.search(r"A line of (\d+) characters is the longest accepted", prose("NOTES"))
    check(longest is not None, "NOTES states the longest line")
    longest = int(longest.group(1)) if longest else 19999
    too_long = re.search(r"The line holds (\d+) characters or more", prose("DIAGNOSTICS"))
    check(too_long and int(too_long.group(1)) == longest + 1,
          "DIAGNOSTICS: a line too long holds one character more than the longest")
    check_endings([  # what, how it is run, the line its message names
        ("joined", dict(data=record(b"rs")), None),
        ("the longest line", dict(data=record(b"rs" + b"x" * (longest - 2))), None),
        ("one character more", dict(data=record(b"rs" + b"x" * (longest - 1))), 1),
        ("no rs line", dict(data=b"SNP\n"), 1),
        ("no SNP line", dict(data=b"rs\nVAL\n"), 2),
        ("no VAL line", dict(data=b"rs\nSNP\nCTG\n"), 3),
        ("no CTG line", dict(data=b"rs\nSNP\nVAL\nrs\n"), 4),
        ("input a directory", dict(stdin=os.open(tmp, os.O_RDONLY)), None),
        ("output full", dict(data=record(b"rs"), stdout=open("/dev/full", "wb")), None),
    ], exact=True)

    # The examples, as printed.
    examples = sections.get("EXAMPLES", "")
    env = dict(os.environ, PATH=programs_path(PROGRAM))
    shown = re.search(r"^ {7}\$ (printf .*\| tagjoin)\n {7}(.*)$", examples, re.M)
    check(shown is not None, "EXAMPLES: the printf example")
    if shown:
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


def check_tagpick(tmp):
    def file(name, data):
        write(os.path.join(tmp, name), data)
        return os.path.join(tmp, name)
    gz = gzip.compress(record(b"rs1"), mtime=0)
    crc = bytearray(gz)
    crc[-8] ^= 1
    block = bytearray(gz)
    block[10] = 0x07                    # a final block of the reserved type
    # A record held in memory up to the size the page states, and past it
    # in a temporary file, which TMPDIR keeps from being made.
    size = re.search(r"no more than [\d.]+ MiB \((\d+) bytes\) as written", prose("OPTIONS"))
    check(size is not None, "OPTIONS states how much of a record is held in memory")
    size = int(size.group(1)) if size else 1 << 20
    no_tmp = dict(os.environ, TMPDIR=os.path.join(tmp, "none"))

    def held(n):
        return b"rs1 " + b"x" * (n - 5) + b"\n" + b"CTG\n"
    for n, status in ((size, 0), (size + 1, 1)):
        got = subprocess.run([PROGRAM, "--drop-incomplete", file("held.txt", held(n))],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=no_tmp)
        check(got.returncode == status, f"a record of {n} bytes with no temporary folder: "
              f"status {got.returncode}, not {status}")

    def header(flags, method=8):
        return b"\x1f\x8b" + bytes([method, flags]) + bytes(6) + gz[10:]
    named = b"\x1f\x8b\x08\x0a" + bytes(6) + b"dump\0" + b"\0\0" + gz[10:]
    sock, none, out = (os.path.join(tmp, n) for n in ("socket", "none.gz", "out.txt"))
    socket.socket(socket.AF_UNIX).bind(sock)
    valued = re.search(r"named in full before it: (option \S+ takes no value: (\S+))\. ",
                       prose("DIAGNOSTICS"))
    check(valued is not None, "DIAGNOSTICS: an option given a value, as it is named")
    said, given = valued.groups() if valued else ("", "--drop=yes")
    version = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True).stdout
    zlib = "zlib" in version
    # The words of EXIT STATUS for each ending (R: read, U: usage, W:
    # written), and its whole message where its entry leaves words open
    # (None: the entry's alone).
    R, U, W = "An input could not be", "is wrong", "the output could not be written"
    endings = [
        ("kept", dict(args=[file("good.gz", gz)]), None, "", "Every input was read whole"),
        ("cut short", dict(args=[file("short.gz", gz[:-12])]), None, None, R),
        ("cut short, standard input", dict(data=gz[:-12]), None,
         "(standard input): unexpected end of file: the gzip data is cut short", R),
        ("garbage after", dict(args=[file("garbage.gz", gz + b"garbage!!")]), None, None, R),
        ("plain text named .gz", dict(args=[file("plain.gz", b"rs1\n")]), None, None, R),
        ("empty, named .gz", dict(args=[file("empty.gz", b"")]), None, None, R),
        ("a directory", dict(args=[tmp]), None,
         f"{tmp}: read error: {os.strerror(errno.EISDIR)}", R),
        ("a socket", dict(args=[sock]), None, f"{sock}: read error: {os.strerror(errno.ENXIO)}",
         R),
        ("a file not there", dict(args=[none]), None, f"{none}: {os.strerror(errno.ENOENT)}",
         "names a file that is not there"),
        ("an unknown option", dict(args=["--bogus"]), None, None, U),
        ("an option given a value", dict(args=[given]), None, said, U),
        ("output full", dict(args=[file("good.gz", gz)], stdout=open("/dev/full", "wb")), None,
         "error writing output: " + os.strerror(errno.ENOSPC), W),
        ("a record not held", dict(args=["--drop-incomplete", file("held.txt", held(size + 1))],
                                   env=no_tmp), None, f"cannot hold a record in "
         f"{no_tmp['TMPDIR']}: {os.strerror(errno.ENOENT)}", W),
        ("the output as input", dict(args=[file("out.txt", b"rs1\n")], stdout=open(out, "ab")),
         None, None, "an input is the output"),
        ("a method not deflate", dict(args=[file("method.gz", header(0, 7))]), None, None, R),
        ("a reserved flag", dict(args=[file("flag.gz", header(0x20))]), None, None, R),
        ("a wrong header CRC", dict(args=[file("hcrc.gz", named)]), None, None, R),
        ("a wrong CRC-32", dict(args=[file("crc.gz", bytes(crc))]), None,
         f"{tmp}/crc.gz: incorrect data check" if zlib else None, R),
        ("a damaged block", dict(args=[file("block.gz", bytes(block))]), None,
         f"{tmp}/block.gz: invalid block type" if zlib else None, R),
    ]
    if zlib:
        # zlib's build says these in zlib's words, as the page says.
        for h in ("name: invalid deflate block", "name: wrong CRC-32 or length in the trailer"):
            patterns.pop(h, None)
    check_endings(endings, exact=False)
    check(read(out) == b"rs1\n", "the output as input: the file was written")
    help_text = subprocess.run([PROGRAM, "--help"], capture_output=True).stdout
    for option in set(re.findall(r"--[a-z-]+", sections.get("SYNOPSIS", ""))):
        check(option.encode() in help_text, f"--help sums up no {option}")
    for args in (["--bogus"], [none]):
        got = subprocess.run([PROGRAM, *args], capture_output=True).stderr.split(b"\n")
        check(got[1:] == [help_text.split(b"\n")[0], b""], f"{args}: no usage line after {got}")
    th = re.search(r'^\.TH .* "tagjoin (\S+)"', read(PAGE).decode(), re.M)
    check(th and re.fullmatch(rf"tagpick {re.escape(th.group(1))}, inflating with "
                              r"(ISA-L|zlib) [\d.]+\n", version), f"--version says {version!r}")

    # Lines kept as the page's grep keeps them (bytes of every kind, a long
    # line, a last line without a line feed), from a file and from two
    # gzip members under a name not .gz; numbered from 1 in each input;
    # every line kept; records dropped, counted as the page shows (three
    # here), and a record held past memory in a file that has no name.
    texts = [b"head\nVAL\0 \xff\r\nrs1\nSNP x\nrs2\nLOC\nCTG\nrs3\nVAL last",
             b"CTG before\nrs4\nSNP " + b"s" * (3 * size) + b"\nSNPs\n"]
    inputs = [file("a.txt", texts[0]), file("b", gzip.compress(texts[1][:9]) +
                                            gzip.compress(texts[1][9:]))]
    grep = re.search(r"kept exactly as (LC_ALL=C grep .*?'\^CTG') keeps it", prose("DESCRIPTION"))
    counted = re.search(r"end of the run: (records without a CTG line dropped: 3)\. ",
                        prose("OPTIONS"))
    check(grep and counted, "DESCRIPTION's grep, OPTIONS' count of records dropped")
    tmpdir = os.path.join(tmp, "tmpdir")
    os.mkdir(tmpdir)
    for options in ([], ["--numbered"], ["--all-lines"], ["--drop-incomplete"]):
        got = subprocess.run([PROGRAM, *options, *inputs], capture_output=True,
                             env=dict(os.environ, TMPDIR=tmpdir))
        picked = [kept(t, "--all-lines" not in options, "--drop-incomplete" in options)
                  for t in texts]
        want = b"".join((b"%d\t" % n if options == ["--numbered"] else b"") + line + b"\n"
                        for lines, _ in picked for n, line in lines)
        if not options and grep:
            want = b"".join(subprocess.run(["sh", "-c", grep.group(1) + ' "$0"', file("g", t)],
                                           capture_output=True).stdout for t in texts)
        count = counted.group(1).encode() + b"\n" if counted and options == ["--drop-incomplete"] \
            and sum(n for _, n in picked) == 3 else b""
        check((got.stdout, got.stderr, got.returncode) == (want, count, 0),
              f"{options}: {got.stdout[:200]!r} {got.stderr!r}, not {want[:200]!r} {count!r}")
    check(os.listdir(tmpdir) == [], f"a record held: {os.listdir(tmpdir)} left in TMPDIR")
    # --progress in a log: a line for each input read whole, of its size,
    # compressed for a gzip file, shaped as the page shows it.
    shown = re.search(r"read whole: name: \d+\.\d MB read in \d+:\d\d\. ", prose("OPTIONS"))
    got = subprocess.run([PROGRAM, "--progress", *inputs], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True).stderr
    check(shown and re.fullmatch("".join(rf"{re.escape(p)}: {os.path.getsize(p) / 1e6:.1f} MB "
                                         r"read in \d+:\d\d\n" for p in inputs), got),
          f"--progress in a log: {got!r}")


with tempfile.TemporaryDirectory() as tmp:
    (check_tagpick if TAGPICK else check_tagjoin)(tmp)

sys.exit(check.report())
