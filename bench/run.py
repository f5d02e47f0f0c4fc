#!/usr/bin/env python3
"""Measures tagjoin against the floor program, with cat, an awk one-liner
and a textbook build for context.

The floor program (bench/floor.cpp) does only what any one-thread joiner
must: read in tagjoin's blocks, find the line feeds, visit each, copy and
write.  tagjoin's targets are stated against it, run in the same rounds.

    python3 bench/run.py [--size-mb 1000] [--minimal-mb 200] [--runs 5]
                         [--baseline PROGRAM] [--baseline-tagpick PROGRAM]
                         [--update-docs]
                         [--programs BUILD] [--floor PROGRAM] [--out DIR]

Builds the Release binaries into build-bench/ (the portable line feed
search into build-bench-portable/, the static release build, with ISA-L
built by cmake/static-isal.sh, into build-bench-static/, tagpick with
zlib into build-bench-zlib/), writes the listings into a temporary
folder, checks that every contender gives the same bytes, runs the
commands in turn (alternating, --runs times each) and writes
benchmarks.md and benchmarks.png into build-bench/results/; with
--update-docs, into docs/ instead, where the project's figures live.
--baseline runs another tagjoin, such as the build before a change,
beside this one in the same rounds; --baseline-tagpick another
tagpick, in the pipeline from a gzipped dump on one CPU (taskset -c 0),
beside this one there.  --programs takes every program from
a build folder already made, for the portable and static builds too, and
builds nothing; --floor runs another floor program; --out names the
folder for the results.  The three are for checking the benchmark itself
on tiny inputs.  Times are medians of wall time;
memory is the peak resident set of the last command in a pipeline.

The floor program must be faster than tagjoin on every input: where it
was slower, by more than the noise (5 %), in three rounds of four or
more, it is no floor on this processor, the report says so in bold,
judges no target against it, and the run exits with status 1.  Ratios
move between hosts of one kind (two AMD EPYC hosts of family 25 differ
fourfold in how fast they copy a read into a misaligned buffer), so the
processor is named precisely with the figures.
"""

import argparse
import datetime
import hashlib
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
BUILD_PORTABLE = os.path.join(ROOT, "build-bench-portable")
BUILD_STATIC = os.path.join(ROOT, "build-bench-static")
BUILD_ZLIB = os.path.join(ROOT, "build-bench-zlib")
DOCS = os.path.join(ROOT, "docs")
GNU_TIME = "/usr/bin/time"

# Joins records as tagjoin does, trimming included, but checks nothing.
AWK_JOIN = ('{ sub(/[ \\t\\r\\v\\f]+$/, "") } '
            '/^rs/ { printf "%s%s", (NR > 1 ? "\\n" : ""), $0; next } '
            '{ printf " | %s", $0 } END { print "" }')


# The pipelines that tagpick replaces: grep for the lines that begin with
# a tag, and the awk program that dropped the records without a CTG line.
TAGS = "^(rs|SNP|VAL|CTG)"
GREP = ["grep", "-a", "-e", "^rs", "-e", "^SNP", "-e", "^VAL", "-e", "^CTG"]
KEEP_AWK = ('/^rs/ { if (holding) dropped++; holding = 1; n = 0 } '
            '{ if (holding) held[++n] = $0; else print } '
            'holding && /^CTG/ { for (i = 1; i <= n; i++) print held[i]; holding = 0 } '
            'END { if (holding) dropped++; '
            'printf "records without a CTG line dropped: %d\\n", dropped > "/dev/stderr" }')


def programs(folder):
    """The programs of a build made already: its tagjoin stands for the
    portable and static builds, its tagpick for the release's and the one
    with zlib."""
    bins = {name: os.path.join(folder, path) for name, path in
            [("tagjoin", "tagjoin"), ("tagpick", "tagpick"), ("textbook", "bench/textbook"),
             ("floor", "bench/floor"), ("make_listing", "bench/make_listing")]}
    bins["portable"] = bins["static"] = bins["tagjoin"]
    bins["tagpick-release"] = bins["tagpick-zlib"] = bins["tagpick"]
    return bins


def build():
    # The release's ISA-L, as cmake/release.cmake builds it.
    isal = os.path.join(BUILD_STATIC, "isal")
    subprocess.run(["bash", os.path.join(ROOT, "cmake", "static-isal.sh"), "x86_64", isal],
                   check=True, stdout=subprocess.DEVNULL)
    release = ["-DTAGJOIN_STATIC=ON", "-DTAGPICK_INFLATE=isal",
               f"-DISAL_INCLUDE_DIR={isal}/x86_64/include",
               f"-DISAL_LIBRARY={isal}/x86_64/lib/libisal.a"]
    for folder, options in [(BUILD, []), (BUILD_PORTABLE, ["-DTAGJOIN_PORTABLE=ON"]),
                            (BUILD_STATIC, release), (BUILD_ZLIB, ["-DTAGPICK_INFLATE=zlib"])]:
        subprocess.run(["cmake", "-S", ROOT, "-B", folder,
                        "-DCMAKE_BUILD_TYPE=Release", "-DTAGJOIN_TESTS=OFF", *options],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", folder, "-j2"], check=True,
                       stdout=subprocess.DEVNULL)
    bins = programs(BUILD)
    bins["portable"] = os.path.join(BUILD_PORTABLE, "tagjoin")
    bins["static"] = os.path.join(BUILD_STATIC, "tagjoin")
    bins["tagpick-release"] = os.path.join(BUILD_STATIC, "tagpick")
    bins["tagpick-zlib"] = os.path.join(BUILD_ZLIB, "tagpick")
    return bins


def slower(times, others, noise=1.05):
    """Whether a program was slower than another, beyond the noise, in
    three rounds of four or more, the rounds paired as they were run."""
    ratios = sorted(x / y for x, y in zip(times, others))
    return ratios[len(ratios) // 4] > noise


def run_pipeline(stages, input_path, sink=subprocess.DEVNULL):
    """Runs argv stages as a pipeline fed from input_path.

    Returns (wall seconds, peak RSS in KiB of the last stage, CPU seconds
    of all stages, user and system).  The last stage runs under GNU time:
    a child of this Python process would count the parent's memory in its
    own peak, a child of time only time's.  What the stages say on
    standard error (a count of dropped records) is not shown."""
    procs = []
    rss_file = tempfile.NamedTemporaryFile(mode="r")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(input_path, "rb") as src:
        prev = src
        for i, argv in enumerate(stages):
            out = sink if i == len(stages) - 1 else subprocess.PIPE
            if i == len(stages) - 1:
                argv = [GNU_TIME, "-f", "%M", "-o", rss_file.name] + argv
            p = subprocess.Popen(argv, stdin=prev, stdout=out, stderr=subprocess.DEVNULL)
            if prev is not src:
                prev.close()
            prev = p.stdout
            procs.append(p)
    for p in procs:
        p.wait()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    rss = int(rss_file.read().split()[-1])
    rss_file.close()
    for p, argv in zip(procs, stages):
        if p.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed with {p.returncode}")
    return wall, rss, cpu


def digest(stages, input_path):
    with tempfile.TemporaryFile() as out:
        run_pipeline(stages, input_path, sink=out)
        out.seek(0)
        h = hashlib.sha256()
        for block in iter(lambda: out.read(1 << 20), b""):
            h.update(block)
        return h.hexdigest()


def count_lines(path):
    with open(path, "rb") as f:
        return sum(block.count(b"\n") for block in iter(lambda: f.read(1 << 20), b""))


def processor(cpuinfo="/proc/cpuinfo", lscpu=None):
    """The processor as precisely as this machine tells it: model name,
    family, model, stepping, clock, and the hypervisor it runs under.
    Its first processor's entries, and what lscpu says, unless given."""
    info = {}
    with open(cpuinfo) as f:
        for line in f:
            key, _, value = line.partition(":")
            info.setdefault(key.strip(), value.strip())
    if lscpu is None:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    hypervisor = next((l.split(":", 1)[1].strip() for l in lscpu.splitlines()
                       if l.startswith("Hypervisor vendor")), None)
    # The kernel flags a guest "hypervisor" even where lscpu names no vendor.
    guest = "hypervisor" in info.get("flags", "").split()
    return (f"{info.get('model name', 'unknown processor')} (family {info.get('cpu family', '?')}, "
            f"model {info.get('model', '?')}, stepping {info.get('stepping', '?')}, "
            f"{float(info.get('cpu MHz', 0)):.0f} MHz, "
            + (f"under {hypervisor})" if hypervisor else
               "under a hypervisor)" if guest else "no hypervisor)"))


def machine(cpu):
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    cxx = subprocess.run(["c++", "--version"], capture_output=True,
                         text=True).stdout.splitlines()[0]
    return (f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB memory; "
            f"Linux {platform.release()}; {cxx}")


def chart(rows, path, cpu):
    if not shutil.which("gnuplot"):
        print("gnuplot not found: no chart (apt-get install gnuplot-nox)")
        return False
    data = path + ".dat"
    with open(data, "w") as f:
        for name, mbs in rows:
            f.write(f'"{name}" {mbs:.1f}\n')
    script = f"""
set terminal pngcairo size 900,420 font "sans,10" noenhanced
set output "{path}"
set title "Realistic listing to /dev/null: throughput, MB/s (higher is better)\\n{cpu}"
set rmargin 10
set style fill solid 0.7
set boxwidth 0.6
set yrange [0:*]
set grid ytics
set xtics nomirror rotate by -15
unset key
plot "{data}" using 0:2:xtic(1) with boxes lc rgb "#3465a4", \\
     "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.8
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.unlink(data)
    return True


def pipelines(bins, tmp, mb):
    """Whole pipelines from a gzipped dump to joined records: tagpick and
    tagjoin, with and without --drop-incomplete, with ISA-L (the source
    build's and the static release's) and with zlib; the decompressor alone; the pipelines tagpick replaces, each
    decompressor with grep, and the awk that dropped records; and each
    filter alone on the dump's text.  Each group's outputs are checked
    to be the same bytes before anything is timed."""
    tj, tp, tz = bins["tagjoin"], bins["tagpick"], bins["tagpick-zlib"]
    tr = bins["tagpick-release"]
    # One CPU for every process of a pipeline: tagpick then runs on one
    # thread.
    one = ["taskset", "-c", "0"]
    dump = os.path.join(tmp, "dump.txt.gz")
    gaps = os.path.join(tmp, "dump-no-ctg.txt.gz")
    for path, no_ctg in ((dump, "0"), (gaps, "2")):
        with open(path, "wb") as f:
            subprocess.run([bins["make_listing"], "dump", str(mb * 10**6),
                            "20261208", no_ctg, "gzip"], stdout=f, check=True)
    text = os.path.join(tmp, "dump.txt")
    with open(text, "wb") as f:
        subprocess.run(["igzip", "-dc", dump], stdout=f, check=True)
    filtered = os.path.join(tmp, "filtered.txt")
    with open(filtered, "wb") as f:
        subprocess.run(GREP, stdin=open(text, "rb"), stdout=f, check=True,
                       env=dict(os.environ, LC_ALL="C"))
    grep = ["env", "LC_ALL=C"] + GREP
    keep = ["env", "LC_ALL=C", "mawk", KEEP_AWK]
    G = "LC_ALL=C grep -a -e ^rs -e ^SNP ..."
    rows = [  # key, name, input, stages, the same bytes as key's
        ("igzip", "igzip -dc (the decompressor alone)", dump, [["igzip", "-dc"]], None),
        ("tagpick", "tagpick \\| tagjoin", dump, [[tp], [tj]], None),
        ("tagpick drop", "tagpick --drop-incomplete \\| tagjoin", dump,
         [[tp, "--drop-incomplete"], [tj]], "tagpick"),
        ("tagpick progress", "tagpick --progress \\| tagjoin", dump,
         [[tp, "--progress"], [tj]], "tagpick"),
        ("tagpick alone", "tagpick alone", dump, [[tp]], None),
        ("igzip 1 CPU", "igzip -dc alone, on one CPU (taskset -c 0)", dump,
         [one + ["igzip", "-dc"]], "igzip"),
        ("tagpick 1 CPU", "tagpick \\| tagjoin, on one CPU", dump,
         [one + [tp], one + [tj]], "tagpick"),
    ] + ([
        ("tagpick before 1 CPU", "the same with the tagpick of --baseline-tagpick",
         dump, [one + [bins["tagpick-baseline"]], one + [tj]], "tagpick"),
    ] if "tagpick-baseline" in bins else []) + [
        ("old igzip", f"igzip -dc \\| {G} \\| tagjoin", dump,
         [["igzip", "-dc"], grep, [tj]], "tagpick"),
        ("old pigz", f"pigz -dc \\| {G} \\| tagjoin", dump,
         [["pigz", "-dc"], grep, [tj]], "tagpick"),
        ("tagpick release", "tagpick of the release (static, ISA-L) \\| tagjoin", dump,
         [[tr], [tj]], "tagpick"),
        ("tagpick zlib", "tagpick with zlib \\| tagjoin", dump,
         [[tz], [tj]], "tagpick"),
        ("old gzip", f"gzip -dc \\| {G} \\| tagjoin", dump,
         [["gzip", "-dc"], grep, [tj]], "tagpick"),
        ("gaps tagpick", "tagpick --drop-incomplete \\| tagjoin, 2 % of records "
         "without CTG", gaps, [[tp, "--drop-incomplete"], [tj]], None),
        ("gaps old", f"igzip -dc \\| {G} \\| awk (drops) \\| tagjoin, the same", gaps,
         [["igzip", "-dc"], grep, keep, [tj]], "gaps tagpick"),
        # Through cat: GNU grep writing to /dev/null stops at the first
        # line it keeps.
        ("text tagpick", "tagpick < the dump's text \\| cat", text, [[tp], ["cat"]], None),
        ("text grep", f"{G} < the dump's text \\| cat", text, [grep, ["cat"]], "text tagpick"),
        ("listing tagpick", "tagpick < a listing of tagged lines only \\| cat", filtered,
         [[tp], ["cat"]], None),
        ("listing grep", f"{G} < the same listing \\| cat", filtered, [grep, ["cat"]],
         "listing tagpick"),
        ("tagjoin alone", "tagjoin alone, on the filtered listing", filtered, [[tj]], None),
    ]
    digests = {}
    for key, _, path, stages, same_as in rows:
        digests[key] = digest(stages, path)
        if same_as and digests[key] != digests[same_as]:
            sys.exit(f"{key}: differs from {same_as}")
    return [{"key": k, "name": n, "input": i, "stages": st, "times": [], "cpu": [],
             "rss": [], "size": os.path.getsize(text), "gz": os.path.getsize(dump)}
            for k, n, i, st, _ in rows]


def pipeline_table(pipes, args, cpu):
    """The table of pipelines, and the targets of tagpick judged on it."""
    p0 = pipes[0]
    by = {p["key"]: p for p in pipes}

    def wall(k):
        return statistics.median(by[k]["times"])

    def cpus(k):
        return statistics.median(by[k]["cpu"])
    lines = ["", "## From a gzipped whole dump", "",
             f"On {cpu}: a whole dump made by `bench/make_listing dump` "
             f"({p0['size'] / 1e6:.0f} MB, {p0['gz'] / 1e6:.0f} MB gzipped at level 6, "
             f"from a file in the page cache) through each pipeline into /dev/null; "
             f"medians of {args.runs} runs of wall time and of CPU time, user and "
             "system, of all its processes.", "",
             "| pipeline | wall s | CPU s | MB/s of dump | peak RSS KiB, last stage |",
             "|---|---:|---:|---:|---:|"]
    for p in pipes:
        w = statistics.median(p["times"])
        lines.append(f"| {p['name']} | {w:.2f} | {statistics.median(p['cpu']):.2f} | "
                     f"{p['size'] / w / 1e6:,.0f} | {max(p['rss']):,} |")
    targets = [
        ("tagpick \\| tagjoin / igzip -dc alone, wall", "≤ 1.05",
         wall("tagpick") / wall("igzip"), lambda x: x <= 1.05),
        ("the same, CPU seconds", "≤ 1.4", cpus("tagpick") / cpus("igzip"), lambda x: x <= 1.4),
        ("tagpick alone / igzip -dc alone, wall", "≤ 1.02",
         wall("tagpick alone") / wall("igzip"), lambda x: x <= 1.02),
    ] + ([
        ("on one CPU: tagpick \\| tagjoin / the same with --baseline-tagpick, wall",
         "≤ 1.02", wall("tagpick 1 CPU") / wall("tagpick before 1 CPU"), lambda x: x <= 1.02),
    ] if "tagpick before 1 CPU" in by else []) + [
        ("with --drop-incomplete / without, wall", "≤ 1.05",
         wall("tagpick drop") / wall("tagpick"), lambda x: x <= 1.05),
        ("the release's tagpick \\| tagjoin / the source build's, wall", "≤ 1.05",
         wall("tagpick release") / wall("tagpick"), lambda x: x <= 1.05),
        ("plain text: grep / tagpick, the dump's text", "≥ 3",
         wall("text grep") / wall("text tagpick"), lambda x: x >= 3),
        ("plain text: grep / tagpick, a listing of tagged lines", "≥ 3",
         wall("listing grep") / wall("listing tagpick"), lambda x: x >= 3),
        ("zlib build: tagpick \\| tagjoin / gzip -dc \\| grep \\| tagjoin, wall", "≤ 1.0",
         wall("tagpick zlib") / wall("old gzip"), lambda x: x <= 1.0),
        ("tagpick peak RSS, MiB", "≤ 8", max(max(by[k]["rss"]) for k in
                                             ("tagpick alone", "gaps tagpick")) / 1024,
         lambda x: x <= 8),
    ]
    lines += ["", f"Targets of tagpick, on {cpu}:", "",
              "| target | wanted | measured | held |", "|---|---|---:|---|"]
    for what, want, got, ok in targets:
        lines.append(f"| {what} | {want} | {got:.2f} | {'yes' if ok(got) else 'no'} |")
    lines += ["", "Context: today's pipeline through igzip and grep takes "
              f"{wall('old igzip') / wall('igzip'):.2f} times the decompressor's wall time "
              f"and {cpus('old igzip') / cpus('igzip'):.2f} times its CPU time; "
              f"the awk that dropped records, {wall('gaps old') / wall('gaps tagpick'):.2f} "
              "times as long as tagpick --drop-incomplete."]
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=int, default=1000,
                    help="size of the realistic listing (default 1000)")
    ap.add_argument("--minimal-mb", type=int, default=200,
                    help="size of the minimal listing (default 200)")
    ap.add_argument("--dump-mb", type=int, default=1000,
                    help="size of the whole dump, before gzip, for the "
                         "pipelines (default 1000; 0 leaves them out)")
    ap.add_argument("--runs", type=int, default=5, help="runs of each command")
    ap.add_argument("--baseline", help="another tagjoin to run beside this one")
    ap.add_argument("--baseline-tagpick", metavar="PROGRAM",
                    help="another tagpick to run beside this one on one CPU")
    ap.add_argument("--update-docs", action="store_true",
                    help="write docs/benchmarks.md and its chart, not build-bench/results/")
    ap.add_argument("--programs", metavar="BUILD",
                    help="take every program from this build folder; build nothing")
    ap.add_argument("--floor", metavar="PROGRAM", help="another floor program")
    ap.add_argument("--out", metavar="DIR", help="the folder for the results")
    args = ap.parse_args()

    need = [GNU_TIME]
    if not args.programs:
        need.append(shutil.which("gnuplot"))
    if args.dump_mb:
        need += [shutil.which(t) for t in ("pigz", "igzip", "mawk")]
    if not all(need):
        subprocess.run([os.path.join(ROOT, ".ci", "deps"), "bench"], check=True)
    bins = programs(args.programs) if args.programs else build()
    if args.floor:
        bins["floor"] = args.floor
    if args.baseline_tagpick:
        bins["tagpick-baseline"] = args.baseline_tagpick
    tj, tb, tp, ts, fl = (bins[k] for k in ("tagjoin", "textbook", "portable", "static",
                                            "floor"))
    awk = shutil.which("mawk") or shutil.which("awk")
    tmp = tempfile.mkdtemp(prefix="tagjoin-bench-")
    try:
        files = {}
        for name, kind, mb in [("realistic", "realistic", args.size_mb),
                               ("minimal", "minimal", args.minimal_mb),
                               ("small", "realistic", min(10, args.size_mb))]:
            path = os.path.join(tmp, name + ".txt")
            with open(path, "wb") as f:
                subprocess.run([bins["make_listing"], kind, str(mb * 10**6)],
                               stdout=f, check=True)
            files[name] = (path, os.path.getsize(path), count_lines(path))
        pipes = pipelines(bins, tmp, args.dump_mb) if args.dump_mb else []

        R, M = files["realistic"][0], files["minimal"][0]
        for path in (R, M):
            want = digest([[tj]], path)
            for other in ([[tb]], [[awk, AWK_JOIN]], [[tp]], [[ts]]) + (
                    ([[args.baseline]],) if args.baseline else ()):
                if digest(other, path) != want:
                    sys.exit(f"{other[0][0]} differs from tagjoin on {path}")

        cases = [
            ("cat", "realistic", [["cat"]]),
            ("floor", "realistic", [[fl]]),
            ("tagjoin", "realistic", [[tj]]),
            ("cat | cat", "realistic", [["cat"], ["cat"]]),
            ("cat | floor", "realistic", [["cat"], [fl]]),
            ("cat | tagjoin", "realistic", [["cat"], [tj]]),
            ("awk one-liner", "realistic", [[awk, AWK_JOIN]]),
            ("textbook", "realistic", [[tb]]),
            ("tagjoin, portable", "realistic", [[tp]]),
            ("tagjoin, static", "realistic", [[ts]]),
            ("cat", "minimal", [["cat"]]),
            ("floor", "minimal", [[fl]]),
            ("tagjoin", "minimal", [[tj]]),
            ("cat | floor", "minimal", [["cat"], [fl]]),
            ("cat | tagjoin", "minimal", [["cat"], [tj]]),
            ("tagjoin, portable", "minimal", [[tp]]),
            ("tagjoin, static", "minimal", [[ts]]),
            ("textbook", "minimal", [[tb]]),
            ("tagjoin", "small", [[tj]]),
        ]
        if args.baseline:
            cases += [("baseline", f, [[args.baseline]]) for f in ("realistic", "minimal")]
            cases += [("cat | baseline", f, [["cat"], [args.baseline]])
                      for f in ("realistic", "minimal")]
        times = {(n, f): [] for n, f, _ in cases}
        rss = {(n, f): [] for n, f, _ in cases}
        for r in range(args.runs):
            for name, f, stages in cases:
                wall, kib, _ = run_pipeline(stages, files[f][0])
                times[(name, f)].append(wall)
                rss[(name, f)].append(kib)
            for p in pipes:
                wall, kib, cpu = run_pipeline(p["stages"], p["input"])
                p["times"].append(wall)
                p["cpu"].append(cpu)
                p["rss"].append(kib)
            print(f"round {r + 1}/{args.runs} done", file=sys.stderr)
    finally:
        shutil.rmtree(tmp)

    med = {k: statistics.median(v) for k, v in times.items()}
    peak = {k: max(v) for k, v in rss.items()}

    cpu = processor()
    lines = [f"# Benchmarks", "",
             f"Run on {datetime.date.today()}: {machine(cpu)}. Every figure below "
             f"comes from this one run on this processor.", "",
             f"Inputs, made by `bench/make_listing`: realistic "
             f"{files['realistic'][1] / 1e6:.0f} MB ({files['realistic'][2]:,} lines), "
             f"minimal {files['minimal'][1] / 1e6:.0f} MB ({files['minimal'][2]:,} lines), "
             f"small {files['small'][1] / 1e6:.0f} MB. Input read from a file in the page "
             f"cache, output to /dev/null; median of {args.runs} runs, taken in turn.", "",
             "| command | input | median s | MB/s | lines/s | ns/line | peak RSS KiB |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for name, f, _ in cases:
        k = (name, f)
        size, nlines = files[f][1], files[f][2]
        lines.append(f"| {name.replace('|', chr(92) + '|')} | {f} | {med[k]:.3f} | {size / med[k] / 1e6:,.0f} | "
                     f"{nlines / med[k] / 1e6:,.1f} M | {med[k] / nlines * 1e9:.2f} | {peak[k]:,} |")

    # The floor must be the fastest: otherwise nothing judged against it
    # means anything.  Through a pipe both wait on cat, and tie within the
    # noise, which is no sign of a slower floor.
    beaten = [f"{f}{' through cat' if cat else ''}" for f in ("realistic", "minimal")
              for cat in ("", "cat | ")
              if slower(times[(cat + "floor", f)], times[(cat + "tagjoin", f)])]
    if beaten:
        lines += ["", f"**The floor program ran slower than tagjoin ({', '.join(beaten)}), "
                  "in three rounds of four or more: on this processor it is no floor, and "
                  "no target below is judged against it.**"]

    def ratio(a, b):
        return med[a] / med[b]
    rss_big, rss_small = peak[("tagjoin", "realistic")], peak[("tagjoin", "small")]
    per_line = med[("tagjoin", "minimal")] / files["minimal"][2] * 1e9
    floor_per_line = med[("floor", "minimal")] / files["minimal"][2] * 1e9
    on_floor = None if beaten else True      # judged against the floor
    targets = [
        ("tagjoin / floor, realistic, file to /dev/null", "≤ 1.20",
         ratio(("tagjoin", "realistic"), ("floor", "realistic")), lambda x: x <= 1.20, on_floor),
        ("cat \\| tagjoin / cat \\| floor, realistic", "≤ 1.05",
         ratio(("cat | tagjoin", "realistic"), ("cat | floor", "realistic")),
         lambda x: x <= 1.05, on_floor),
        (f"tagjoin, minimal records, ns per line (floor: {floor_per_line:.2f})", "≤ 3.0",
         per_line, lambda x: x <= 3.0, True),
        ("the same, the next step", "≤ 2.5", per_line, lambda x: x <= 2.5, True),
        ("textbook / tagjoin, minimal", "≥ 12",
         ratio(("textbook", "minimal"), ("tagjoin", "minimal")), lambda x: x >= 12, True),
        ("portable / SSE2 build, minimal", "≤ 1.5",
         ratio(("tagjoin, portable", "minimal"), ("tagjoin", "minimal")), lambda x: x <= 1.5,
         True),
        # The static release build may be faster than the dynamic one
        # (5 % on realistic lines, on an AMD EPYC), not slower.
        ("static / dynamic build, realistic", "≤ 1.05",
         ratio(("tagjoin, static", "realistic"), ("tagjoin", "realistic")),
         lambda x: x <= 1.05, True),
        ("static / dynamic build, minimal", "≤ 1.05",
         ratio(("tagjoin, static", "minimal"), ("tagjoin", "minimal")),
         lambda x: x <= 1.05, True),
        ("tagjoin peak RSS, MiB", "≤ 8", rss_big / 1024, lambda x: x <= 8, True),
        ("tagjoin peak RSS, realistic / small", "within 10 %",
         rss_big / rss_small, lambda x: abs(x - 1) <= 0.10, True),
    ]
    lines += ["", f"Targets, on {cpu}. The floor program "
              "(`bench/floor.cpp`) reads, finds and visits every line feed, copies "
              "and writes, and does nothing else: no one-thread joiner can take less.",
              "", "| target | wanted | measured | held |", "|---|---|---:|---|"]
    for what, want, got, ok, judged in targets:
        held = ("yes" if ok(got) else "no") if judged else "not judged: no floor"
        lines.append(f"| {what} | {want} | {got:.2f} | {held} |")
    context = [
        ("floor / cat, realistic", ratio(("floor", "realistic"), ("cat", "realistic"))),
        ("tagjoin / cat, realistic", ratio(("tagjoin", "realistic"), ("cat", "realistic"))),
        ("cat \\| tagjoin / cat \\| cat, realistic",
         ratio(("cat | tagjoin", "realistic"), ("cat | cat", "realistic"))),
        ("cat \\| tagjoin / tagjoin < file, realistic",
         ratio(("cat | tagjoin", "realistic"), ("tagjoin", "realistic"))),
        ("tagjoin / floor, minimal", ratio(("tagjoin", "minimal"), ("floor", "minimal"))),
        ("awk one-liner / tagjoin, realistic",
         ratio(("awk one-liner", "realistic"), ("tagjoin", "realistic"))),
        ("textbook / tagjoin, realistic",
         ratio(("textbook", "realistic"), ("tagjoin", "realistic"))),
    ]
    if args.baseline:
        context += [(f"{c}tagjoin / {c}baseline, {f}".replace("|", "\\|"),
                     ratio((c + "tagjoin", f), (c + "baseline", f)))
                    for c in ("", "cat | ") for f in ("realistic", "minimal")]
    lines += ["", "Context, not targets: ratios to `cat`, which does no work per "
              "line, and to the awk one-liner and the textbook build.", "",
              "| ratio | measured |", "|---|---:|"]
    lines += [f"| {what} | {got:.2f} |" for what, got in context]
    if pipes:
        lines += pipeline_table(pipes, args, cpu)

    out = DOCS if args.update_docs else args.out or os.path.join(BUILD, "results")
    os.makedirs(out, exist_ok=True)
    bars = [(n, files[f][1] / med[(n, f)] / 1e6) for n, f, _ in cases if f == "realistic"]
    if chart(bars, os.path.join(out, "benchmarks.png"), cpu):
        lines += ["", "![throughput](benchmarks.png)"]
    lines += ["", "Rerun with `python3 bench/run.py` (see docs/development.md)."]
    with open(os.path.join(out, "benchmarks.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    print(f"\nwritten to {out}/benchmarks.md", file=sys.stderr)
    if beaten:
        sys.exit("the floor program ran slower than tagjoin: see the report")


if __name__ == "__main__":
    main()
