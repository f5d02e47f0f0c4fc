#!/usr/bin/env python3
"""bench_test.py SOURCE BUILD: the benchmark checked on itself, on inputs
of a megabyte, with the programs of BUILD.  Its judgement of a slower
floor on given times: a tie within the noise is no slower floor, three
slower rounds of four are.  Its processor line, from this machine's
/proc/cpuinfo and from made-up ones, under a hypervisor or not.  A whole
run: the report names the processor and judges every target; with a
floor slowed on purpose, the run fails and judges nothing against it."""

import os
import re
import subprocess
import sys
import tempfile

from checks import Checks

SOURCE, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
RUN = os.path.join(SOURCE, "bench", "run.py")
sys.path.insert(0, os.path.dirname(RUN))
import run as bench  # noqa: E402 (the benchmark's functions, without running it)
check = Checks("bench")

# Floor times against tagjoin times, in rounds, and whether the floor is
# slower.
SLOWER = [
    ("a tie within the noise", [1.03, 0.98, 1.04, 0.99], False),
    ("slower by the noise's width in every round", [1.05] * 4, False),
    ("slower in three rounds of four", [1.2, 1.3, 0.9, 1.1], True),
    ("slower in two rounds of four", [1.2, 1.3, 0.9, 0.95], False),
    ("one round, a tie", [1.02], False),
    ("one round, slower", [1.5], True),
    ("twenty times slower", [20.0] * 5, True),
    ("faster", [0.8] * 5, False),
]
for what, ratios, want in SLOWER:
    tagjoin = [0.5 + i / 10 for i in range(len(ratios))]
    got = bench.slower([r * t for r, t in zip(ratios, tagjoin)], tagjoin)
    check(got == want, f"slower: {what}: {got}, not {want}")


# The table of pipelines on given times: each figure the median of its
# runs, each target the ratio of the medians it names.
KEYS = ["igzip", "tagpick", "tagpick drop", "tagpick progress", "tagpick alone", "old igzip",
        "old pigz", "tagpick release", "tagpick zlib", "old gzip", "gaps tagpick", "gaps old",
        "text tagpick", "text grep", "listing tagpick", "listing grep", "tagjoin alone",
        "igzip 1 CPU", "tagpick 1 CPU", "tagpick before 1 CPU"]
pipes = [{"key": k, "name": k, "times": [0.5 + i, 2.0 + i, 100.0], "cpu": [0.5 + i, 0.1, 99.0],
          "rss": [1024, 2048 * (i + 1)], "size": 10**9, "gz": 2 * 10**8}
         for i, k in enumerate(KEYS)]


class Runs:
    runs = 3


table = "\n".join(bench.pipeline_table(pipes, Runs, "a processor"))
# wall medians are 2 + i, CPU medians 0.5 + i; igzip is 0, tagpick 1, ...
WANTED = [
    "| tagpick | 3.00 | 1.50 | 333 | 4,096 |",
    "| tagpick \\| tagjoin / igzip -dc alone, wall | ≤ 1.05 | 1.50 | no |",
    "| the same, CPU seconds | ≤ 1.4 | 3.00 | no |",
    "| tagpick alone / igzip -dc alone, wall | ≤ 1.02 | 3.00 | no |",
    "| on one CPU: tagpick \\| tagjoin / the same with --baseline-tagpick, wall | ≤ 1.02 | 0.95 | yes |",
    "| the release's tagpick \\| tagjoin / the source build's, wall | ≤ 1.05 | 3.00 | no |",
    "| with --drop-incomplete / without, wall | ≤ 1.05 | 1.33 | no |",
    "| plain text: grep / tagpick, the dump's text | ≥ 3 | 1.07 | no |",
    "| tagpick peak RSS, MiB | ≤ 8 | 22.00 | no |",
    "takes 3.50 times the decompressor's wall time and 11.00 times its CPU time",
]
for line in WANTED:
    check(line in table, f"the table of pipelines lacks {line!r}:\n{table}")


def cpuinfo(tmp, flags):
    path = os.path.join(tmp, "cpuinfo")
    with open(path, "w") as f:
        # The first processor is named; the second runs at another clock.
        for n, mhz in enumerate(("2096.061", "1500.000")):
            f.write(f"processor\t: {n}\nvendor_id\t: AuthenticAMD\ncpu family\t: 26\n"
                    f"model\t\t: 2\nmodel name\t: AMD EPYC 9B45\nstepping\t: 1\n"
                    f"cpu MHz\t\t: {mhz}\nflags\t\t: fpu sse2 {flags}\n\n")
    return path


with tempfile.TemporaryDirectory() as tmp:
    PROCESSORS = [  # flags, what lscpu says, the end of the processor line
        ("avx2 hypervisor", "Vendor ID: AuthenticAMD\n", "under a hypervisor)"),
        ("avx2", "Vendor ID: AuthenticAMD\n", "no hypervisor)"),
        ("hypervisor avx2", "Hypervisor vendor:   KVM\nVirtualization type: full\n",
         "under KVM)"),
    ]
    for flags, lscpu, end in PROCESSORS:
        got = bench.processor(cpuinfo(tmp, flags), lscpu)
        want = f"AMD EPYC 9B45 (family 26, model 2, stepping 1, 2096 MHz, {end}"
        check(got == want, f"processor with flags {flags!r}: {got!r}, not {want!r}")

    # This machine's first processor, read here by other means.
    with open("/proc/cpuinfo") as f:
        first = f.read().split("\n\n")[0]
    fields = dict(re.findall(r"^(cpu family|model|model name)\s*: (.*)$", first, re.M))
    here = bench.processor()
    check(here.startswith(f"{fields.get('model name', 'unknown processor')} (family "
                          f"{fields.get('cpu family', '?')}, model {fields.get('model', '?')},"),
          f"this machine's processor: {here!r}, from {fields}")
    guest = " hypervisor " in f" {re.search(r'^flags.*$', first, re.M).group(0)} "
    check(guest == ("no hypervisor" not in here),
          f"this machine's processor: {here!r}, its flags say hypervisor: {guest}")

    def bench_run(name, *options):
        out = os.path.join(tmp, name)
        run = subprocess.run([sys.executable, RUN, "--programs", BUILD, "--size-mb", "1",
                              "--minimal-mb", "1", "--dump-mb", "1", "--runs", "4",
                              "--out", out, *options], capture_output=True, text=True)
        path = os.path.join(out, "benchmarks.md")
        report = open(path).read() if os.path.exists(path) else ""
        return run.returncode, report, run.stderr

    # A run with baselines, tagjoin and tagpick themselves, beside them, on
    # inputs large enough for the floor to be faster than tagjoin beyond
    # the noise.
    status, report, err = bench_run("usual", "--baseline", os.path.join(BUILD, "tagjoin"),
                                    "--baseline-tagpick", os.path.join(BUILD, "tagpick"),
                                    "--size-mb", "20", "--minimal-mb", "10")
    check("|---|" in report and here in report, f"a usual run's report: {report[:300]!r} {err}")
    targets = re.findall(r"^\| .* \| (yes|no|not judged: no floor) \|$", report, re.M)
    check(len(targets) == 20, f"a usual run judges 20 targets, not {len(targets)}")
    check("| the same with the tagpick of --baseline-tagpick |" in report,
          f"a run with a baseline tagpick reports it: {report}")
    check(report.count("baseline") >= 4, "a run with a baseline reports it")
    # On a megabyte the floor may tie tagjoin; only a slower floor fails.
    fired = "it is no floor" in report
    check(status == (1 if fired else 0), f"a usual run exits {status}: {err}")

    slow = os.path.join(tmp, "slow-floor")
    with open(slow, "w") as f:
        f.write(f"#!/bin/sh\nsleep 0.2\nexec {os.path.join(BUILD, 'bench', 'floor')}\n")
    os.chmod(slow, 0o755)
    status, report, err = bench_run("slow", "--floor", slow, "--dump-mb", "0")
    check(status == 1 and "floor program ran slower" in err,
          f"a slow floor: status {status}, {err[-300:]!r}")
    check("**The floor program ran slower than tagjoin (realistic, realistic through cat, "
          "minimal, minimal through cat)" in report, "a slow floor: the report says so")
    check(report.count("| not judged: no floor |") == 2,
          "a slow floor: the two targets against it are not judged")

    check("From a gzipped whole dump" not in report, "--dump-mb 0: no pipelines")

    # Programs that fail, or give other bytes than tagjoin, end the run
    # before anything is timed.
    def program(name, text):
        path = os.path.join(tmp, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + text + "\n")
        os.chmod(path, 0o755)
        return path
    wrong = program("wrong", "tr a b")
    failing = program("failing", "cat > /dev/null; exit 3")
    # A build folder whose tagpick changes a letter of what it keeps.
    fake = os.path.join(tmp, "fake-build")
    os.makedirs(os.path.join(fake, "bench"))
    for name in ("tagjoin", "bench/floor", "bench/textbook", "bench/make_listing"):
        os.symlink(os.path.join(BUILD, name), os.path.join(fake, name))
    os.rename(program("changed", f"{os.path.join(BUILD, 'tagpick')} \"$@\" | tr a b"),
              os.path.join(fake, "tagpick"))
    WRONG = [  # what, options, what the run says
        ("a baseline that differs", ["--baseline", wrong, "--dump-mb", "0"],
         f"{wrong} differs from tagjoin on"),
        ("a floor that fails", ["--floor", failing, "--dump-mb", "0"], f"{failing} failed with 3"),
        ("a tagpick that changes what it keeps", ["--programs", fake], "old igzip: differs from tagpick"),
    ]
    for what, options, says in WRONG:
        status, report, err = bench_run(what, *options)
        check(status == 1 and says in err and not report,
              f"{what}: status {status}, {err[-300:]!r}, a report {len(report)} long")

sys.exit(check.report())
