#!/usr/bin/env python3
"""image_test.py SOURCE DIST TAGJOIN TAGPICK run|cwl: the release's
container images, in DIST as cmake/release.cmake left it.

run: the x86-64 image loaded into podman (as root, into a store of the
test's own) and each program run in it, read-only, as an arbitrary user,
without a network, on files in a mounted folder: the same bytes,
messages, statuses and files as the host's programs; each archive's
annotations, platform, diff_id and layer entries, and SHA256SUMS; the
image made again, byte for byte; and the
aarch64 image's programs, and its python3 running join-one, under
qemu-user.

cwl: cwltool --podman, run by the ordinary user that CI=true bash .ci/deps
makes, runs both CWL descriptions on a folder of two dumps in the image,
where no tagjoin is on PATH: the same outputs as the host's pipeline.

Exits 77, which ctest counts as skipped, where podman, the release or
the user is missing."""

import calendar
import contextlib
import gzip
import hashlib
import io
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tarfile
import time

from checks import (Checks, copy_of_repository, dump, programs_path, project_version, read,
                    record, scratch, shell_block, skip_without, write)

SOURCE, DIST, TAGJOIN, TAGPICK, PART = sys.argv[1:6]
check = Checks(f"image, {PART}")
CI_USER = "tagjoin-ci"          # made by .ci/deps, in CI only
VERSION = project_version(SOURCE)
IMAGE = f"localhost/tagjoin:{VERSION}"
ARCHIVES = {arch: os.path.join(DIST, f"tagjoin-{VERSION}-image-{arch}.tar")
            for arch in ("x86_64", "aarch64")}
SAMPLE = read(os.path.join(SOURCE, "examples", "sample.txt"))
DUMP = dump([record(n) for n in range(1, 40)])
BAD = b"rs1 a\nSNP b\nval c\nCTG d\n"


def podman_config(tmp):
    """The environment that gives podman what this machine needs of it,
    and a store of the test's own, through files in tmp, not /etc."""
    conf, storage = os.path.join(tmp, "containers.conf"), os.path.join(tmp, "storage.conf")
    write(conf, ('[containers]\ndefault_ulimits = ["nofile=1024:1024", "nproc=1024:1024"]\n'
                 '[engine]\nruntime = "runc"\ncgroup_manager = "cgroupfs"\nevents_logger = "none"\n'
                 f'[network]\nnetwork_config_dir = "{tmp}/networks"\n').encode())
    write(storage, ('[storage]\ndriver = "vfs"\n'
                    f'graphroot = "{tmp}/store"\nrunroot = "{tmp}/run"\n').encode())
    return {"CONTAINERS_CONF": conf, "CONTAINERS_STORAGE_CONF": storage}


# Entries of each image's layer and their modes: the programs, the man
# pages, the licences (the project's and each Debian package's), a /tmp
# that any user may write, as a container run without --read-only has no
# other, and the users that --user may name.
ENTRIES = {"usr/bin/tagjoin": 0o755, "usr/bin/tagpick": 0o755, "usr/bin/join-one": 0o755,
           "usr/share/man/man1/tagjoin.1.gz": 0o644, "usr/share/man/man1/tagpick.1.gz": 0o644,
           "usr/share/doc/tagjoin/LICENSE": 0o644, "usr/share/doc/libc6/copyright": 0o644,
           "usr/share/doc/python3-minimal/copyright": 0o644, "tmp": 0o1777,
           "etc/passwd": 0o644}
# And what it leaves out: the packages' translations and records, and
# what the engine mounts.
LEFT_OUT = ("usr/share/locale/", "usr/share/lintian/", "var/lib/dpkg/", "dev/")


def annotations(archive, arch):
    """The annotations of the archive's one image, its index entry's, and
    its config; and what is wrong with the rest: whether the index, the
    manifest and Docker's manifest are of the versions that engines read
    and name the same blobs and processor, the layer is the one the config
    names, and its entries are root's, of the image's date, hold ENTRIES
    and nothing of LEFT_OUT."""
    with tarfile.open(archive) as tar:
        def blob(descriptor):
            return tar.extractfile("blobs/sha256/" + descriptor["digest"][7:]).read()
        index = json.load(tar.extractfile("index.json"))
        manifest = json.loads(blob(index["manifests"][0]))
        config = json.loads(blob(manifest["config"]))
        docker = json.load(tar.extractfile("manifest.json"))
        layer = gzip.decompress(blob(manifest["layers"][0]))
    platform = {"x86_64": {"architecture": "amd64", "os": "linux"},
                "aarch64": {"architecture": "arm64", "os": "linux", "variant": "v8"}}[arch]
    wrong = []
    if not (index["schemaVersion"] == manifest["schemaVersion"] == 2 and docker == [{
            "Config": "blobs/sha256/" + manifest["config"]["digest"][7:], "RepoTags": [IMAGE],
            "Layers": ["blobs/sha256/" + manifest["layers"][0]["digest"][7:]]}]):
        wrong.append("the index, the manifest and Docker's manifest disagree")
    if index["manifests"][0].get("platform") != platform or any(
            config.get(k) != v for k, v in platform.items()):
        wrong.append(f"the processor: {index['manifests'][0].get('platform')}, {config}")
    if config["rootfs"]["diff_ids"] != ["sha256:" + hashlib.sha256(layer).hexdigest()]:
        wrong.append("the config's diff_id is not the layer's")
    created = calendar.timegm(time.strptime(config["created"], "%Y-%m-%dT%H:%M:%SZ"))
    with tarfile.open(fileobj=io.BytesIO(layer)) as files:
        entries = files.getmembers()
    strays = [e.name for e in entries if (e.uid, e.gid, e.mtime) != (0, 0, created)]
    modes = {e.name: e.mode for e in entries if e.name in ENTRIES}
    if strays or modes != ENTRIES:
        wrong.append(f"the layer: not root's or not of {created}: {strays[:5]}; modes "
                     f"{ {n: oct(m) for n, m in modes.items()} }")
    left_in = [e.name for e in entries if e.name.startswith(LEFT_OUT)]
    if left_in:
        wrong.append(f"the layer holds what it should leave out: {left_in[:5]}")
    return manifest["annotations"], index["manifests"][0]["annotations"], config, wrong


def check_archives(tmp):
    revision = subprocess.run(["git", "-C", SOURCE, "rev-parse", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
    for arch, archive in ARCHIVES.items():
        said, named, config, wrong = annotations(archive, arch)
        check(not wrong, f"{arch}: {wrong}")
        check(said.get("org.opencontainers.image.version") == VERSION
              and said.get("org.opencontainers.image.licenses") == "MIT"
              and said.get("org.opencontainers.image.revision") == revision
              and revision in said.get("org.opencontainers.image.source", ""),
              f"{arch}: the image's annotations: {said}")
        check(named.get("org.opencontainers.image.ref.name") == IMAGE,
              f"{arch}: the image's name: {named}")
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=DIST,
                          capture_output=True, text=True)
    summed = sorted(line.split()[1] for line in read(os.path.join(DIST, "SHA256SUMS")).decode()
                    .splitlines())
    check(sums.returncode == 0 and summed == sorted(set(os.listdir(DIST)) - {"SHA256SUMS"}),
          f"SHA256SUMS: {summed}, {sums.stdout}{sums.stderr}")
    modes = {n: oct(os.stat(os.path.join(DIST, n)).st_mode & 0o777) for n in os.listdir(DIST)}
    check(set(modes.values()) == {"0o644"}, f"dist/ not readable by all: {modes}")
    # Made again from what the release installed: the same bytes.
    again = os.path.join(tmp, "again.tar")
    prefix = os.path.join(os.path.dirname(DIST), "build-release", "x86_64", "image-prefix")
    subprocess.run(["python3", os.path.join(SOURCE, "cmake", "oci-image.py"), "x86_64", prefix,
                    os.path.join(SOURCE, "scripts", "join-one"), VERSION, revision, again],
                   check=True)
    check(read(again) == read(ARCHIVES["x86_64"]), "the image made twice differs")


def check_aarch64(tmp):
    """The aarch64 image's programs and python3, run under qemu-user from
    its layer unpacked: this machine runs no aarch64 container."""
    root = os.path.join(tmp, "aarch64")
    with tarfile.open(ARCHIVES["aarch64"]) as tar:
        index = json.load(tar.extractfile("index.json"))
        manifest = json.load(tar.extractfile(
            "blobs/sha256/" + index["manifests"][0]["digest"][7:]))
        layer = tar.extractfile("blobs/sha256/" + manifest["layers"][0]["digest"][7:])
        with tarfile.open(fileobj=layer, mode="r|gz") as files:
            files.extractall(root)
    joined = subprocess.run(["qemu-aarch64-static", f"{root}/usr/bin/tagjoin"], input=SAMPLE,
                            capture_output=True)
    want = subprocess.run([TAGJOIN], input=SAMPLE, capture_output=True)
    check(joined.stdout == want.stdout and joined.returncode == 0,
          f"aarch64 image's tagjoin: {joined.returncode} {joined.stderr}")
    described = subprocess.run(["qemu-aarch64-static", "-L", root, f"{root}/usr/bin/python3",
                                f"{root}/usr/bin/join-one", "--describe"], capture_output=True)
    check(described.returncode == 0 and json.loads(described.stdout or b"null"),
          f"aarch64 image's join-one --describe: {described.returncode} {described.stderr}")


def check_page(tmp, env):
    """docs/install.md's lines, as printed, in a folder that holds the
    archive, the sample and a dump."""
    page = os.path.join(tmp, "page")
    os.makedirs(os.path.join(page, "examples"))
    os.makedirs(os.path.join(page, "dumps"))
    shutil.copy(ARCHIVES["x86_64"], page)
    write(os.path.join(page, "examples", "sample.txt"), SAMPLE)
    write(os.path.join(page, "dumps", "chr1.txt.gz"), gzip.compress(DUMP))
    done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c",
                           shell_block(SOURCE, "docs/install.md", "image")],
                          cwd=page, env=env, capture_output=True)
    picked = subprocess.run([TAGPICK, os.path.join(page, "dumps", "chr1.txt.gz")],
                            capture_output=True).stdout
    joined = subprocess.run([TAGJOIN], input=picked, capture_output=True).stdout
    check(done.returncode == 0 and done.stdout == f"Loaded image: {IMAGE}\n".encode()
        + subprocess.run([TAGJOIN], input=SAMPLE, capture_output=True).stdout
        and read(os.path.join(page, "chr1.tags")) == picked
        and read(os.path.join(page, "dumps", "chr1.txt.joined")) == joined,
        f"docs/install.md's image lines: {done.returncode} {done.stderr[-2000:]}")


def run_part(tmp):
    env = dict(os.environ, **podman_config(tmp))
    loaded = subprocess.run(["podman", "load", "-i", ARCHIVES["x86_64"]], env=env,
                            capture_output=True, text=True)
    check(loaded.returncode == 0 and IMAGE in loaded.stdout,
          f"podman load: {loaded.returncode} {loaded.stdout}{loaded.stderr}")
    data, out = os.path.join(tmp, "data"), os.path.join(tmp, "out")
    os.makedirs(data)
    os.makedirs(out)
    os.chmod(tmp, 0o755)
    os.chmod(out, 0o777)
    gz = gzip.compress(DUMP)
    for name, content in {"dump.txt.gz": gz, "cut.txt.gz": gz[:len(gz) // 2],
                          "bad.txt": BAD}.items():
        write(os.path.join(data, name), content)
    host_env = dict(os.environ, PATH=programs_path(TAGJOIN, TAGPICK,
                                                   os.path.join(SOURCE, "scripts", "join-one")))
    # The folders are mounted where they are, so that the messages that
    # name them are the same.
    podman = ["podman", "run", "--rm", "-i", "--network", "none", "--read-only",
              "--user", "4321:4321", "-v", f"{data}:{data}:ro", "-v", f"{out}:{out}", IMAGE]
    cases = [
        ("tagjoin, the sample", ["tagjoin"], SAMPLE),
        ("tagjoin, a bad line", ["tagjoin"], BAD),
        ("tagjoin --version", ["tagjoin", "--version"], b""),
        ("tagpick, a gzipped dump", ["tagpick", f"{data}/dump.txt.gz"], b""),
        ("tagpick, a dump cut short", ["tagpick", f"{data}/cut.txt.gz"], b""),
        ("tagpick, a file not there", ["tagpick", f"{data}/none.gz"], b""),
        ("join-one, a dump", ["join-one", f"{data}/dump.txt.gz", f"{out}/dump.txt.joined"], b""),
        ("join-one, a bad line", ["join-one", f"{data}/bad.txt", f"{out}/bad.txt.joined"], b""),
        ("join-one, an output folder not there",
         ["join-one", f"{data}/dump.txt.gz", f"{out}/none/dump.txt.joined"], b""),
    ]
    for what, argv, given in cases:
        seen = []
        for command, where in ((argv, host_env), (podman + argv, env)):
            done = subprocess.run(command, input=given, capture_output=True, env=where)
            seen.append((done.returncode, done.stdout, done.stderr,
                         {n: read(os.path.join(out, n)) for n in sorted(os.listdir(out))}))
            for n in os.listdir(out):
                os.unlink(os.path.join(out, n))
        check(seen[0] == seen[1], f"{what}: host {seen[0]!r:.600}\nimage {seen[1]!r:.600}")
    check_page(tmp, env)
    subprocess.run(["podman", "rmi", "--all", "--force"], env=env, capture_output=True)
    hinted = read(os.path.join(SOURCE, "cwl", "tagjoin.cwl")).decode()
    check(f"dockerPull: {IMAGE}\n" in hinted, f"cwl/tagjoin.cwl names not {IMAGE}")
    check_archives(tmp)
    check_aarch64(tmp)


def as_user(user, tmp, command, **kw):
    """Runs command as user, with podman's configuration and store in tmp
    and a PATH of the system's alone."""
    env = {"HOME": tmp, "PATH": "/usr/bin:/bin", "XDG_RUNTIME_DIR": os.path.join(tmp, "run"),
           **podman_config(tmp)}
    return subprocess.run(["runuser", "-u", user, "--", "env", "-i"]
                          + [f"{k}={v}" for k, v in env.items()] + command,
                          cwd=tmp, capture_output=True, **kw)


def cwl_part(tmp):
    try:
        user = pwd.getpwnam(CI_USER)
    except KeyError:
        print(f"not run: no user {CI_USER} (CI=true bash .ci/deps makes it)")
        sys.exit(77)
    skip_without("cwltool", "runuser", root=True)
    check(shutil.which("tagjoin", path="/usr/bin:/bin") is None,
          "a tagjoin on the system's PATH: the run would not show the image's")
    copy_of_repository(SOURCE, tmp)
    os.makedirs(os.path.join(tmp, "run"), mode=0o700)
    dumps = {"one.txt.gz": gzip.compress(DUMP), "two.txt": SAMPLE}
    os.makedirs(os.path.join(tmp, "dumps"))
    for name, content in dumps.items():
        write(os.path.join(tmp, "dumps", name), content)
    write(os.path.join(tmp, "job.yml"), b"dumps:\n" + b"".join(
        b"  - {class: File, path: dumps/%s}\n" % n.encode() for n in dumps))
    subprocess.run(["chown", "-R", f"{user.pw_uid}:{user.pw_gid}", tmp], check=True)
    os.chmod(tmp, 0o755)
    try:
        run_cwltool(tmp, dumps)
    finally:
        # Rootless podman leaves a process that holds its user namespace,
        # which would outlive the test.
        pause = os.path.join(tmp, "run", "libpod", "tmp", "pause.pid")
        with contextlib.suppress(FileNotFoundError, ProcessLookupError):
            os.kill(int(read(pause)), signal.SIGTERM)


def run_cwltool(tmp, dumps):
    loaded = as_user(CI_USER, tmp, ["podman", "load", "-i", ARCHIVES["x86_64"]])
    check(loaded.returncode == 0, f"podman load as {CI_USER}: {loaded.stderr[-1000:]}")
    host_env = dict(os.environ, PATH=programs_path(TAGJOIN, TAGPICK))
    want = {n.removesuffix(".gz") + ".joined": subprocess.run(
        f"tagpick dumps/{n} | tagjoin", shell=True, cwd=tmp, env=host_env,
        capture_output=True, check=True).stdout for n in dumps}
    runs = [("cwl/join-dumps.cwl", ["job.yml"], want),
            ("cwl/tagjoin.cwl", ["--listing", "dumps/one.txt.gz"],
             {"one.txt.joined": want["one.txt.joined"]})]
    for description, job, outputs in runs:
        results = os.path.join(tmp, "results-" + os.path.basename(description))
        done = as_user(CI_USER, tmp, ["cwltool", "--podman", "--quiet", "--outdir", results,
                                      description] + job, timeout=600)
        got = ({n: read(os.path.join(results, n)) for n in os.listdir(results)}
               if os.path.isdir(results) else {})
        check(done.returncode == 0 and got == outputs,
              f"cwltool --podman {description}: status {done.returncode}, "
              f"{sorted(got)}\n{done.stderr[-3000:].decode(errors='replace')}")
    as_user(CI_USER, tmp, ["podman", "rmi", "--all", "--force"])


def main():
    skip_without("podman")
    if not all(os.path.exists(a) for a in ARCHIVES.values()):
        print(f"not run: no images in {DIST} (the release test makes them)")
        sys.exit(77)
    with scratch("image") as tmp:
        (run_part if PART == "run" else cwl_part)(tmp)
    sys.exit(check.report())


if __name__ == "__main__":
    main()
