"""What the Python tests share: the commands that the docs show, which
they run as printed; dumps made as whole dumps are; a plain model of
which lines of a dump reach tagjoin; programs on PATH and stand-ins for
them; the one-node Slurm; and checks that are counted and reported."""

import contextlib
import gzip
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

TAGS = (b"rs", b"SNP", b"VAL", b"CTG")


def copy_of_repository(source, folder):
    """A copy in folder of what the entry points run: the scripts, the
    workflow with its config, and the CWL descriptions."""
    for part in ("scripts", "config", "cwl", "workflow"):
        shutil.copytree(os.path.join(source, part), os.path.join(folder, part), symlinks=True)
    return folder


def prefilter_off_by_default(repo):
    """Changes a default in the repository at repo as its developers do:
    the table of join-one edited, then make-interface run."""
    join_one = os.path.join(repo, "scripts", "join-one")
    write(join_one, read(join_one).replace(
        b'"name": "prefilter", "type": "boolean", "default": True',
        b'"name": "prefilter", "type": "boolean", "default": False'))
    return subprocess.run([os.path.join(repo, "scripts", "make-interface")]).returncode


def shell_block(source, doc, name):
    """The fenced shell block of SOURCE/doc whose info string is "sh name":
    a doc marks each command that a test runs so, and the test runs the
    command whatever its words."""
    with open(f"{source}/{doc}") as f:
        blocks = re.findall(rf"^```sh {re.escape(name)}\n(.*?)^```$", f.read(), re.S | re.M)
    if len(blocks) != 1:
        sys.exit(f"{doc}: {len(blocks)} shell blocks named {name!r}, not one")
    return blocks[0]


def project_version(source):
    """The version that SOURCE/CMakeLists.txt gives the project."""
    return re.search(r"^project\(tagjoin VERSION ([0-9.]+)",
                     read(os.path.join(source, "CMakeLists.txt")).decode(), re.M)[1]


def programs_path(*programs):
    """PATH with the folders of the programs given (tagjoin and tagpick,
    as each test is given them) before the rest, as a user who installed
    them has it."""
    return os.pathsep.join([os.path.dirname(p) for p in programs] + [os.environ["PATH"]])


@contextlib.contextmanager
def scratch(name):
    """A folder of the test's own, removed afterwards whatever happened."""
    tmp = tempfile.mkdtemp(prefix=f"tagjoin-{name}-")
    try:
        yield tmp
    finally:
        shutil.rmtree(tmp)


def skip_without(*tools, root=False):
    """Ends the test with status 77, which ctest counts as skipped, saying
    why, when a tool is missing, or when root is asked for and this is
    not root."""
    missing = [t for t in tools if not shutil.which(t)] + (
        ["root"] if root and os.geteuid() != 0 else [])
    if missing:
        print(f"not run: {', '.join(missing)} missing (bash .ci/deps installs the tools)")
        sys.exit(77)


def stand_in(folder, name, program=None, body=None):
    """An executable named name in folder: with program, one that runs it
    and notes each run in name.ran, so that a test sees which program a
    command ran (ran() tells); with body, a shell script of that body."""
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + (body if body is not None else
                                 f"echo ran >> {shlex.quote(path + '.ran')}\n"
                                 f"exec {shlex.quote(program)} \"$@\"") + "\n")
    os.chmod(path, 0o755)
    return path


def ran(program):
    """Whether the stand-in program ran, since it was made or last asked."""
    if not os.path.exists(program + ".ran"):
        return False
    os.unlink(program + ".ran")
    return True


def start_slurm(source, folder, env, max_array=None):
    """Brings up the one-node Slurm of scripts/slurm-one-node in folder,
    with MaxArraySize max_array if given; env, and so whatever it is
    given to, then reaches that cluster.  stop_slurm(source, env) ends
    it."""
    env.update(TAGJOIN_SLURM=folder, SLURM_CONF=os.path.join(folder, "slurm.conf"))
    subprocess.run([os.path.join(source, "scripts", "slurm-one-node"), "start"]
                   + ([str(max_array)] if max_array else []), env=env, check=True)


def stop_slurm(source, env):
    subprocess.run([os.path.join(source, "scripts", "slurm-one-node"), "stop"], env=env,
                   check=True)


def run_shown(command, data, tmp, programs, **env):
    """Runs a command that a doc shows on the bytes of a dump, given to it
    gzipped as dump.gz, with programs (tagjoin and tagpick) on PATH and
    under pipefail; returns
    what it writes to records.txt, or else to standard output."""
    gz, out = os.path.join(tmp, "shown.gz"), os.path.join(tmp, "shown.txt")
    with gzip.open(gz, "wb") as f:
        f.write(data)
    env = dict(os.environ, PATH=programs_path(*programs), **env)
    run = subprocess.run(["bash", "-o", "pipefail", "-c",
                          command.replace("dump.gz", gz).replace("records.txt", out)],
                         env=env, capture_output=True, check=True)
    return read(out) if "records.txt" in command else run.stdout


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


def kept(data, prefilter, drop_incomplete):
    """The dump's lines that reach tagjoin, each with its number in the
    dump, and how many records were dropped for want of a CTG line."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    lines = [(n, l) for n, l in enumerate(lines, 1) if not prefilter or l.startswith(TAGS)]
    if not drop_incomplete:
        return lines, 0
    records = [[]]                      # what comes before the first rs line, then records
    for n, l in lines:
        if l.startswith(b"rs"):
            records.append([])
        records[-1].append((n, l))
    whole = [r for r in records[1:] if any(l.startswith(b"CTG") for _, l in r)]
    return records[0] + [line for r in whole for line in r], len(records) - 1 - len(whole)


def tagjoin_on(tagjoin, lines):
    """tagjoin run on lines, such as kept() gives, each with its number."""
    return subprocess.run([tagjoin], input=b"".join(l + b"\n" for _, l in lines),
                          capture_output=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class Checks:
    """check(ok, what) says what failed at once; report() ends the test."""

    def __init__(self, name):
        self.name, self.count, self.failed = name, 0, []

    def __call__(self, ok, what):
        self.count += 1
        if not ok:
            self.failed.append(what)
            print("FAILED:", what)

    def report(self):
        print(f"{self.name}: {self.count - len(self.failed)} checks passed, "
              f"{len(self.failed)} failed")
        return 1 if self.failed else 0
