#!/usr/bin/env python3
"""readme_test.py SOURCE BUILD: the commands that README.md and docs/*.md
tell a user to type run as printed, from where each page says: in a
folder laid out as a clone after the Quick start's build (build/ holding
tagjoin and tagpick), or with a build of its own for the blocks that
build and install, on small dumps made here; each is checked for its
status and what it makes, byte for byte against tagjoin run by hand.
The blocks that cannot run here have their words checked against what
.ci/run or the release test runs, and every sh block of the pages must
be named and run by this test or another.  A block whose tools are
missing is named and left out, and the test then exits 77, which ctest
counts as skipped."""

import concurrent.futures
import glob
import gzip
import itertools
import os
import re
import shlex
import shutil
import subprocess
import sys

from checks import (Checks, project_version, read, scratch, shell_block, stand_in, start_slurm,
                    stop_slurm, write)

SOURCE, BUILD = sys.argv[1], sys.argv[2]
check = Checks("readme")
SAMPLE = read(os.path.join(SOURCE, "examples", "sample.txt"))
JOINED = subprocess.run([os.path.join(BUILD, "tagjoin")], input=SAMPLE, capture_output=True).stdout
DUMP = gzip.compress(b"LISTING\n\n" + SAMPLE + b"LOC | x\n")
DUMPS = {"dumps/sample.txt": SAMPLE, "dumps/dump.txt.gz": DUMP}
RESULTS = {"results/sample.txt.joined": JOINED, "results/dump.txt.joined": JOINED}
IN_PLACE = {"dumps/sample.txt.joined": JOINED, "dumps/dump.txt.joined": JOINED}
INSTALLED = dict.fromkeys(["home/.local/bin/tagjoin", "home/.local/bin/tagpick",
                           "home/.local/share/man/man1/tagjoin.1.gz"])
VERSION = project_version(SOURCE)
DEB = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                     text=True).stdout.strip()
PACKAGES = {f"build/tagjoin_{VERSION}+local_{DEB}.deb": None,
            f"build/tagjoin-{VERSION}+local-linux-{os.uname().machine}.tar.gz": None}
PARTS = ("CMakeLists.txt", "LICENSE", "README.md", "bench", "cmake", "config", "cwl", "docs",
         "examples", "scripts", "src", "tests", "workflow")
SLURM = ("slurmctld", "munged", "root", "cluster")     # the test's one-node Slurm
ENV = dict(os.environ)


def runs(want, needs=(), layout="clone", files=DUMPS, installed=True, fill=(), after=""):
    """Runs the block, each line required to succeed, in the page's folder
    (folder()) holding files, with fill's words replaced, tagjoin and
    tagpick on PATH if installed, HOME in the folder, and the test's
    cluster in the environment only if it needs it; then after, which
    undoes what a block that failed midway left running.  want: each path
    (or stdout) with its bytes, a pattern they hold, or None: just there."""
    def run(doc, command, tmp):
        where = folder(tmp, doc, layout)
        for path, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(where, path)), exist_ok=True)
            write(os.path.join(where, path), data)
        for path in want:
            if os.path.lexists(os.path.join(where, path)):
                os.unlink(os.path.join(where, path))
        for word, value in fill:
            command = command.replace(word, value)
        path = (BUILD + ":" if installed else "") + os.path.join(tmp, "bin")
        env = dict(ENV if "cluster" in needs else os.environ, HOME=os.path.join(where, "home"),
                   PATH=path + ":/usr/sbin:/usr/bin:/sbin:/bin")
        done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=where, env=env,
                              capture_output=True)
        subprocess.run(["bash", "-c", after], cwd=where, env=env, capture_output=True)
        wrong = [path for path, data in want.items() if not holds(
            done.stdout if path == "stdout" else os.path.exists(os.path.join(where, path)) and
            read(os.path.join(where, path)), data)]
        said = done.stderr[-2000:].decode(errors="replace")
        return (done.returncode == 0 and not wrong,
                f"status {done.returncode}, wrong: {wrong}\n{said}")
    return run, needs


def folder(tmp, doc, layout):
    """The page's folder of the layout: "clone", a clone after the Quick
    start's build, build/ the build under test; "source", a clone with a
    build of its own, configured without the tests, which only the Quick
    start's test command builds; "bare", empty."""
    # One source build for every page that builds: the second build only
    # checks that nothing changed.
    where = os.path.join(tmp, layout, "" if layout == "source" else os.path.basename(doc))
    if not os.path.exists(where):
        os.makedirs(os.path.join(where, "home"))
        for part in PARTS if layout != "bare" else ():
            os.symlink(os.path.join(SOURCE, part), os.path.join(where, part))
        if layout == "clone":
            os.symlink(BUILD, os.path.join(where, "build"))
        if layout == "source":
            subprocess.run(["cmake", "-S", where, "-B", os.path.join(where, "build"),
                            "-DTAGJOIN_TESTS=OFF"], stdout=subprocess.DEVNULL, check=True)
    return where


def holds(got, data):
    """Whether got (False: no such file) is data, holds the pattern data,
    or, with data None, is there."""
    if got is False or data is None:
        return got is not False
    return data.search(got) is not None if isinstance(data, re.Pattern) else got == data


def commands(text):
    """Each command of shell text as its words: continued lines joined,
    comments dropped, cut at newlines, &&, ;, | and parentheses."""
    found = []
    for line in text.replace("\\\n", " ").splitlines():
        lex = shlex.shlex(line, posix=True, punctuation_chars=True)
        lex.whitespace_split = True
        try:
            found += [list(c) for cut, c in itertools.groupby(
                lex, lambda w: w in ("&&", "||", ";", "|", "(", ")")) if not cut]
        except ValueError:      # a quote that spans lines
            pass
    return found


def words(file, programs=("cmake", "ctest")):
    """Each command of the block that runs one of the programs (or each,
    with None) is one that the file runs, with other options too, and
    paths there from elsewhere."""
    def same(doc, command, tmp):
        ran = commands(read(os.path.join(SOURCE, file)).decode())
        shown = [c for c in commands(command) if not programs or
                 ([w for w in c if "=" not in w] + [""])[0] in programs]
        left = [c for c in shown if not any(within(c, r) for r in ran)]
        return shown and not left, f"not run by {file}: {left or 'nothing to compare'}"
    return same, ()


def within(shown, ran):
    rest = iter(ran)
    return all(any(w == v or w.endswith("/" + v) for w in rest) for v in shown)


def release_names(doc, command, tmp):
    """The packages it names are the release's, of this version."""
    made = [f"tagjoin-{VERSION}-linux-{a}.tar.gz" for a in ("x86_64", "aarch64")] + \
        [f"tagjoin_{VERSION}_{a}.deb" for a in ("amd64", "arm64")]
    named = re.findall(r"tagjoin[-_][\w.+-]*?(?:\.tar\.gz|\.deb)", command)
    return named and set(named) <= set(made), f"{named} are not among the release's {made}"


def files_there(doc, command, tmp):
    named = re.findall(r"/usr/\S+", command)
    return named and all(map(os.path.exists, named)), f"missing: {named}"


# Each block, and how it is checked.  Left out, their words checked
# instead: README's install and install.md's tarball (a .deb installed
# system-wide, and the release's tarball, which takes minutes to make and
# the release test checks); the Quick start (its second line runs this
# suite, and .ci/run runs both); install.md's release, cross.md's
# emulated and development.md's fuzz (minutes of builds, which the
# release test and .ci/run run as the pages say); cross.md's binfmt (it
# changes how the whole machine starts foreign programs).  A block that
# another test runs, taking it with shell_block, is left to that test:
# cwl.md's lines that run the runners, each runner's by its cwl test.
# ssh reaches the named nodes through a stand-in that runs the command
# here.
TABLE = [
    ("README.md", "install", (release_names, ())),
    ("README.md", "from-source", runs(INSTALLED, layout="source", files={})),
    ("README.md", "quick-start", words(".ci/run", None)),
    ("README.md", "workflow", runs(RESULTS, ("snakemake",), installed=False)),
    ("docs/dumps.md", "igzip -dc", runs({"records.txt": JOINED}, ("igzip",),
                                        files={"dump.gz": DUMP})),
    ("docs/dumps.md", "workflow", runs(RESULTS, ("snakemake",), installed=False)),
    ("docs/dumps.md", "snakemake -s", runs(
        {"work/" + p: d for p, d in RESULTS.items()}, ("snakemake",), layout="bare",
        files={"work/" + p: d for p, d in DUMPS.items()},
        fill=(("~/tagjoin", shlex.quote(SOURCE)), ("WORKDIR", "work"), ("...", "--cores 2 -k")))),
    ("docs/many-files.md", "join-files", runs(IN_PLACE, ("parallel",))),
    ("docs/many-files.md", "join-ssh", runs(IN_PLACE, ("parallel",))),
    ("docs/many-files.md", "slurm-one-node", runs(
        {"stdout": re.compile(rb"^main\* +up +infinite +1 +idle +localhost$", re.M)}, SLURM[:3],
        after="scripts/slurm-one-node stop")),
    ("docs/many-files.md", "join-slurm", runs(IN_PLACE, SLURM)),
    ("docs/many-files.md", "split-listing", runs({"part-000000000001.txt": SAMPLE},
                                                  files={"huge.txt": SAMPLE})),
    ("docs/cross.md", "cross-aarch64", runs({"stdout": re.compile(re.escape(JOINED) + rb"\Z")},
                                            ("aarch64-linux-gnu-g++", "qemu-aarch64-static"))),
    ("docs/cross.md", "emulated", words(".ci/run")),
    ("docs/cross.md", "binfmt", (files_there, ("qemu-aarch64-static",))),
    ("docs/install.md", "tarball", (release_names, ())),
    ("docs/install.md", "from-source", runs(dict(INSTALLED, **PACKAGES), layout="source",
                                            files={})),
    ("docs/install.md", "release", words("tests/release_test.sh")),
    ("docs/development.md", "fuzz", words(".ci/run")),
]


def shown(doc, name):
    """The block of doc named name, or else the command beginning with
    name that doc shows indented by four spaces or in backquotes."""
    if " " not in name:
        return shell_block(SOURCE, doc, name)
    found = re.search(rf"^    ({re.escape(name)}.*)$|`({re.escape(name)}[^`]*)`",
                      read(os.path.join(SOURCE, doc)).decode(), re.M)
    return (found[1] or found[2]) if found else ""


def every_block_named():
    """Every sh block of the pages is one that this test or another runs."""
    others = "".join(read(t).decode() for t in
                     glob.glob(os.path.join(SOURCE, "tests", "*_test.py")))
    for doc in ["README.md"] + sorted(f"docs/{os.path.basename(d)}" for d in
                                      glob.glob(os.path.join(SOURCE, "docs", "*.md"))):
        for name in re.findall(r"^```sh(.*)$", read(os.path.join(SOURCE, doc)).decode(), re.M):
            check(name.strip() and ((doc, name.strip()) in [r[:2] for r in TABLE] or
                                    f'shell_block(SOURCE, "{doc}", "{name.strip()}")' in others),
                  f"{doc}: the sh block {name.strip()!r} is run by no test")


def main():
    every_block_named()
    skipped = []
    with scratch("readme") as tmp:
        os.makedirs(os.path.join(tmp, "bin"))
        stand_in(os.path.join(tmp, "bin"), "sudo", body='exec "$@"')  # as root, where needed
        stand_in(os.path.join(tmp, "bin"), "ssh", body=(
            "while [ $# -gt 0 ]; do case $1 in -l | -p | -o) shift 2 ;; --) shift; break ;; "
            '*) shift ;; esac; done\nSHELL=/bin/sh; export SHELL\nexec sh -c "$*"'))
        runnable = []
        for doc, name, (how, needs) in TABLE:
            missing = [t for t in needs if t not in ("root", "cluster") and not shutil.which(t)]
            missing += ["root"] if "root" in needs and os.geteuid() != 0 else []
            if missing:
                skipped.append(f"{doc} {name} ({', '.join(missing)} missing)")
            else:
                runnable.append((doc, name, how, needs))
        cluster = any("cluster" in needs for *_, needs in runnable)
        if cluster:
            # Ports of its own, apart from the default ones that the
            # page's block takes and other tests' clusters.
            port = 12000 + os.getpid() % 2000 * 2
            ENV.update(TAGJOIN_SLURM_CTLD_PORT=str(port), TAGJOIN_SLURM_SLURMD_PORT=str(port + 1))
            start_slurm(SOURCE, os.path.join(tmp, "slurm"), ENV)

        def run_in_turn(rows):
            for doc, name, how, _ in rows:
                command = shown(doc, name)
                ok, what = how(doc, command, tmp) if command else (False, "not on the page")
                check(ok, f"{doc}, {name}: {command.strip()}\n{what}")
        # Each page's blocks in turn, in the page's folder, beside the other
        # pages'; the blocks that build share one build.
        pages = {}
        for row in runnable:
            pages.setdefault("build" if row[1] == "from-source" else row[0], []).append(row)
        try:
            with concurrent.futures.ThreadPoolExecutor(3) as pool:
                for done in [pool.submit(run_in_turn, rows) for rows in pages.values()]:
                    done.result()
        finally:
            if cluster:
                stop_slurm(SOURCE, ENV)
    if skipped and not check.failed:
        print("not run:", "; ".join(skipped), "(bash .ci/deps installs the tools; Slurm needs root)")
        check.report()
        return 77
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
