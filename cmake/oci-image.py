#!/usr/bin/env python3
# oci-image.py ARCH PREFIX JOIN_ONE VERSION REVISION OUT
#
# Makes the release's container image for ARCH (x86_64 or aarch64): an
# OCI archive, OUT, that podman load, docker load and apptainer build
# oci-archive:// take, named localhost/tagjoin:VERSION; it also holds
# Docker's own manifest, for a Docker older than version 25.  Its one layer
# holds what cmake --install put in PREFIX (the static programs, their
# man pages and the licence) under /usr, join-one as /usr/bin/join-one,
# and, for join-one, Debian's python3-minimal and the standard library
# (json is not in the minimal one), with what they depend on, fetched by
# mmdebstrap from Debian's archive.
#
# The same sources and the same packages make the same bytes: every entry
# is owned by root, dated SOURCE_DATE_EPOCH (the time of REVISION's
# commit when it is not set) and written in the order of its name, and
# each gzip stream has no time stamp.
import gzip
import hashlib
import io
import json
import os
import subprocess
import sys
import tarfile
import tempfile
import time

# The release's programs are static; the image's Debian is the one these
# machines build on, and only join-one needs it.
SUITE = "bookworm"
MIRRORS = [f"deb http://deb.debian.org/debian {SUITE} main",
           f"deb http://deb.debian.org/debian {SUITE}-updates main",
           f"deb http://deb.debian.org/debian-security {SUITE}-security main"]
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
OCI_ARCH = {"x86_64": ("amd64", None), "aarch64": ("arm64", "v8")}
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# What an image of one program does not need from the packages: their
# documentation (but for each copyright, which goes where the binaries
# go), and the package manager's records, which no one in the image reads.
DROPPED = ("usr/share/doc/", "usr/share/man/", "usr/share/locale/", "usr/share/lintian/",
           "var/lib/dpkg/", "var/lib/apt/", "var/cache/", "var/log/", "etc/apt/")
# Emptied: the engine mounts its own.
EMPTIED = ("dev/", "proc/", "sys/", "run/", "tmp/")

MEDIA = "application/vnd.oci.image."


def fail(message):
    sys.exit(f"oci-image.py: {message}")


def fetch_debian(arch, into):
    """The root file system of Python and what it depends on, as
    mmdebstrap extracts it (no package's scripts run, so any processor's
    packages can be had), as a tar file."""
    command = ["mmdebstrap", "--quiet", "--variant=extract",
               "--include=python3-minimal,libpython3-stdlib",
               f"--architectures={DEBIAN_ARCH[arch]}", "--format=tar", SUITE, into] + MIRRORS
    if subprocess.run(command).returncode != 0:
        fail(f"mmdebstrap failed: {' '.join(command)}")


def kept(name):
    if name.startswith("usr/share/doc/") and name.endswith("/copyright"):
        return True
    if any(name.startswith(d) for d in DROPPED + EMPTIED):
        return False
    return True


def member(name, kind, mode, data=b"", link=""):
    info = tarfile.TarInfo(name)
    info.type, info.mode, info.linkname = kind, mode, link
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    return info, data


def debian_entries(rootfs):
    """The entries kept of the root file system, name to (TarInfo, data);
    hard links become files, as their targets may not be kept."""
    entries = {}
    with tarfile.open(rootfs) as tar:
        for info in tar:
            name = os.path.normpath(info.name)
            if name == "." or not kept(name + ("/" if info.isdir() else "")):
                continue
            if info.isdir():
                entries[name] = member(name, tarfile.DIRTYPE, info.mode)
            elif info.issym():
                entries[name] = member(name, tarfile.SYMTYPE, 0o777, link=info.linkname)
            elif info.isfile() or info.islnk():
                entries[name] = member(name, tarfile.REGTYPE, info.mode,
                                       tar.extractfile(info).read())
    return entries


def project_entries(prefix, join_one):
    """What the release installs, under usr/, and join-one, which runs on
    the image's python3: the image has no env to find it."""
    entries = {}
    for folder, dirs, files in os.walk(prefix):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(folder, f)
            name = "usr/" + os.path.relpath(path, prefix)
            with open(path, "rb") as src:
                data = src.read()
            entries[name] = member(name, tarfile.REGTYPE,
                                   0o755 if os.access(path, os.X_OK) else 0o644, data)
    with open(join_one, "rb") as src:
        script = src.read()
    first, rest = script.split(b"\n", 1)
    if not first.startswith(b"#!") or b"python3" not in first:
        fail(f"{join_one} does not start with a python3 #! line")
    entries["usr/bin/join-one"] = member("usr/bin/join-one", tarfile.REGTYPE, 0o755,
                                         b"#!/usr/bin/python3\n" + rest)
    # For the engine's own user entry, when it is run as one.
    entries["etc/passwd"] = member("etc/passwd", tarfile.REGTYPE, 0o644,
                                   b"root:x:0:0:root:/root:/usr/sbin/nologin\n"
                                   b"nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n")
    entries["etc/group"] = member("etc/group", tarfile.REGTYPE, 0o644,
                                  b"root:x:0:\nnogroup:x:65534:\n")
    for d in EMPTIED:
        entries[d.rstrip("/")] = member(d.rstrip("/"), tarfile.DIRTYPE,
                                        0o1777 if d == "tmp/" else 0o755)
    return entries


def layer(entries, epoch):
    """The layer's tar: each folder on the way to an entry present, in the
    order of the names, owned by root, dated epoch."""
    for name in list(entries):
        parent = os.path.dirname(name)
        while parent and parent not in entries:
            entries[parent] = member(parent, tarfile.DIRTYPE, 0o755)
            parent = os.path.dirname(parent)
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name in sorted(entries):
            info, data = entries[name]
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mtime = epoch
            tar.addfile(info, io.BytesIO(data) if info.isfile() else None)
    return out.getvalue()


def blob(blobs, media, data):
    digest = hashlib.sha256(data).hexdigest()
    blobs[digest] = data
    return {"mediaType": media, "digest": f"sha256:{digest}", "size": len(data)}


def to_json(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":")).encode()


def archive(arch, tar, version, revision, epoch):
    """The OCI layout of the image, as the files of an OCI archive."""
    created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))
    name = f"localhost/tagjoin:{version}"
    annotations = {
        "org.opencontainers.image.title": "tagjoin",
        "org.opencontainers.image.description":
            "tagjoin and tagpick, which join tagged SNP listings one line a record, and join-one",
        "org.opencontainers.image.version": version,
        "org.opencontainers.image.revision": revision,
        "org.opencontainers.image.source": f"tagjoin {version}, commit {revision}",
        "org.opencontainers.image.licenses": "MIT",
        "org.opencontainers.image.created": created,
    }
    blobs = {}
    layer_gz = gzip.compress(tar, compresslevel=9, mtime=0)
    oci_arch, variant = OCI_ARCH[arch]
    config = {
        "created": created,
        "architecture": oci_arch,
        "os": "linux",
        "config": {"Env": [f"PATH={PATH}", "LANG=C.UTF-8"], "Cmd": ["tagjoin"],
                   "WorkingDir": "/", "Labels": annotations},
        "rootfs": {"type": "layers", "diff_ids": [f"sha256:{hashlib.sha256(tar).hexdigest()}"]},
        "history": [{"created": created, "created_by": "cmake/oci-image.py"}],
    }
    if variant:
        config["variant"] = variant
    manifest = {
        "schemaVersion": 2,
        "mediaType": MEDIA + "manifest.v1+json",
        "config": blob(blobs, MEDIA + "config.v1+json", to_json(config)),
        "layers": [blob(blobs, MEDIA + "layer.v1.tar+gzip", layer_gz)],
        "annotations": annotations,
    }
    described = blob(blobs, MEDIA + "manifest.v1+json", to_json(manifest))
    described["annotations"] = {"org.opencontainers.image.ref.name": name,
                                "io.containerd.image.name": name}
    described["platform"] = {"architecture": oci_arch, "os": "linux"}
    if variant:
        described["platform"]["variant"] = variant
    index = {"schemaVersion": 2, "mediaType": MEDIA + "index.v1+json",
             "manifests": [described]}
    # Docker before version 25 loads only its own kind of archive, whose
    # manifest.json names the same blobs.
    docker = [{"Config": "blobs/sha256/" + manifest["config"]["digest"][7:], "RepoTags": [name],
               "Layers": ["blobs/sha256/" + manifest["layers"][0]["digest"][7:]]}]
    files = {"oci-layout": to_json({"imageLayoutVersion": "1.0.0"}), "index.json": to_json(index),
             "manifest.json": to_json(docker)}
    for digest, data in blobs.items():
        files[f"blobs/sha256/{digest}"] = data
    return files


def write_archive(out, files, epoch):
    """The archive, written beside OUT under a temporary name that takes
    OUT's only when it is whole."""
    folder = os.path.dirname(os.path.abspath(out))
    fd, partial = tempfile.mkstemp(dir=folder, prefix=".oci-image.", suffix=".partial")
    try:
        with os.fdopen(fd, "wb") as f, tarfile.open(fileobj=f, mode="w",
                                                     format=tarfile.USTAR_FORMAT) as tar:
            entries = {"blobs": None, "blobs/sha256": None, **files}
            for name in sorted(entries):
                data = entries[name]
                info = tarfile.TarInfo(name)
                info.mtime, info.uname, info.gname = epoch, "root", "root"
                if data is None:
                    info.type, info.mode = tarfile.DIRTYPE, 0o755
                else:
                    info.mode, info.size = 0o644, len(data)
                tar.addfile(info, io.BytesIO(data) if data is not None else None)
        os.chmod(partial, 0o644)
        os.rename(partial, out)
    except BaseException:
        os.unlink(partial)
        raise


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in DEBIAN_ARCH:
        sys.exit("usage: oci-image.py x86_64|aarch64 PREFIX JOIN_ONE VERSION REVISION OUT")
    arch, prefix, join_one, version, revision, out = sys.argv[1:]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "log", "-1", "--format=%ct", revision], capture_output=True, text=True,
        check=True, cwd=os.path.dirname(os.path.abspath(join_one))).stdout)
    with tempfile.TemporaryDirectory() as scratch:
        rootfs = os.path.join(scratch, "debian.tar")
        fetch_debian(arch, rootfs)
        entries = debian_entries(rootfs)
    entries.update(project_entries(prefix, join_one))
    write_archive(out, archive(arch, layer(entries, epoch), version, revision, epoch), epoch)


if __name__ == "__main__":
    main()
