#!/usr/bin/python3
"""Reads an ISO 9660 image back with readers no one here wrote and compares
every file with its source folder.

    check_image.py IMAGE SOURCE [--session-start LBA] [--readers xorriso,isoinfo,7z,pycdlib]
                               [--no-joliet] [--skip-missing]

Readers: xorriso (extracts the tree), isoinfo (lists and extracts each
file through Joliet names), 7-Zip (extracts) and pycdlib (walks the Joliet
tree). With --session-start only the readers that can start at a session
(xorriso, isoinfo) are used, and pycdlib, which reads a copy of the image
whose descriptors at sector 16 are the session's. Exit 0 when every reader saw exactly the source
tree with identical contents (names compared as readers show them: no ";1"
and no trailing dots); 1 with a description of every difference, or of a
reader that is not installed, otherwise.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def digest_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


def source_tree(root):
    """{relative path: (is_dir, size, sha256)} following symlinks."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=True):
        rel = os.path.relpath(dirpath, root)
        if rel != ".":
            tree[rel] = (True, 0, None)
        for name in filenames:
            p = os.path.join(dirpath, name)
            if not os.path.isfile(p):
                continue  # sockets, fifos, devices are never recorded
            r = os.path.normpath(os.path.join(rel, name))
            tree[r] = (False, os.path.getsize(p), None)
    return tree


def norm_name(name):
    """Names as readers show them: no ";1" version and no trailing dots."""
    if name.endswith(";1"):
        name = name[:-2]
    while len(name) > 1 and name.endswith("."):
        name = name[:-1]
    return name


def norm_rel(rel):
    return os.path.normpath("/".join(norm_name(p) for p in rel.split("/")))


def compare(reader, got_root, expected, source):
    problems = []
    seen = {}
    on_disk = {}
    for dirpath, dirnames, filenames in os.walk(got_root):
        rel = os.path.relpath(dirpath, got_root)
        if rel != ".":
            seen[norm_rel(rel)] = True
        for name in filenames:
            r = os.path.normpath(os.path.join(rel, name))
            seen[norm_rel(r)] = False
            on_disk[norm_rel(r)] = r
    expected = {norm_rel(k): (v, k) for k, v in expected.items()}
    for rel, ((is_dir, size, _), source_rel) in expected.items():
        if rel not in seen:
            problems.append(f"{reader}: missing {rel}")
            continue
        if is_dir != seen[rel]:
            problems.append(f"{reader}: {rel} is {'a file' if seen[rel] is False else 'a folder'} in the image")
            continue
        if not is_dir:
            got = os.path.join(got_root, on_disk[rel])
            if os.path.getsize(got) != size:
                problems.append(f"{reader}: {rel} has {os.path.getsize(got)} bytes, source {size}")
            elif digest_file(got) != digest_file(os.path.join(source, source_rel)):
                problems.append(f"{reader}: {rel} differs from the source")
    for rel in seen:
        if rel not in expected:
            problems.append(f"{reader}: unexpected {rel}")
    return problems


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def read_xorriso(image, out, start):
    cmd = ["xorriso", "-abort_on", "FATAL", "-return_with", "SORRY", "0"]
    if start:
        cmd += ["-load", "sbsector", str(start)]
    cmd += ["-indev", image, "-osirrox", "on", "-extract", "/", out]
    r = run(cmd)
    if r.returncode != 0:
        return [f"xorriso failed: {r.stderr.decode(errors='replace')[-500:]}"]
    return []


def read_7z(image, out, start):
    r = run(["7zz", "x", "-y", "-o" + out, image])
    if r.returncode != 0:
        return [f"7-Zip failed: {r.stdout.decode(errors='replace')[-500:]}"]
    return []


def read_isoinfo(image, out, start, joliet):
    # isoinfo prints Joliet names in an 8-bit character set (it knows no
    # UTF-8): ISO 8859-1, decoded as such, so accented Latin names compare.
    base = ["isoinfo", "-i", image] + (["-J", "-j", "iso8859-1"] if joliet else []) + \
        (["-T", str(start)] if start else [])
    r = run(base + ["-f"])
    if r.returncode != 0:
        return [f"isoinfo failed: {r.stderr.decode(errors='replace')[-500:]}"]
    paths = [p for p in r.stdout.decode("latin-1").splitlines() if p]
    problems = []
    listing = run(base + ["-l"]).stdout.decode("latin-1")
    dirs = set()
    for line in listing.splitlines():
        if line.startswith("Directory listing of "):
            d = line[len("Directory listing of "):].rstrip("/")
            if d:
                dirs.add(d)
    for p in paths:
        name = p if joliet else p.split(";")[0]
        target = os.path.join(out, name.lstrip("/"))
        if p.rstrip("/") in dirs:
            os.makedirs(target, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            x = subprocess.run(base + ["-x", p.encode("latin-1")], stdout=f, stderr=subprocess.PIPE)
        if x.returncode != 0:
            problems.append(f"isoinfo could not extract {p}")
    return problems


def session_view(image, start, folder):
    """A sparse copy of the image whose descriptors at sector 16 are the ones
    of the session at start (as an overwritable disc holds them): a reader
    that only looks at 16 sees that session."""
    view = os.path.join(folder, "session.iso")
    subprocess.run(["cp", "--sparse=always", image, view], check=True)
    with open(image, "rb") as src, open(view, "r+b") as dst:
        for i in range(64):
            src.seek((start + 16 + i) * 2048)
            d = src.read(2048)
            if len(d) < 2048 or d[1:6] != b"CD001":
                break
            dst.seek((16 + i) * 2048)
            dst.write(d)
            if d[0] == 255:
                break
    return view


def read_pycdlib(image, out, start):
    if start:
        with tempfile.TemporaryDirectory() as folder:
            return read_pycdlib(session_view(image, start, folder), out, 0)
    import pycdlib
    iso = pycdlib.PyCdlib()
    try:
        iso.open(image)
    except Exception as e:  # noqa: BLE001 - any reader failure is a finding
        return [f"pycdlib could not open the image: {e}"]
    facade = iso.get_joliet_facade() if iso.has_joliet() else iso.get_iso9660_facade()
    problems = []
    try:
        for dirname, dirlist, filelist in facade.walk("/"):
            rel = dirname.lstrip("/")
            os.makedirs(os.path.join(out, rel), exist_ok=True)
            for name in filelist:
                shown = name if iso.has_joliet() else name.split(";")[0]
                with open(os.path.join(out, rel, shown), "wb") as f:
                    facade.get_file_from_iso_fp(f, joliet_path=(dirname.rstrip("/") + "/" + name)) \
                        if iso.has_joliet() else facade.get_file_from_iso_fp(f, iso_path=(dirname.rstrip("/") + "/" + name))
    except Exception as e:  # noqa: BLE001
        problems.append(f"pycdlib failed while reading: {e}")
    finally:
        iso.close()
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("image")
    ap.add_argument("source")
    ap.add_argument("--session-start", type=int, default=0)
    ap.add_argument("--readers", default="xorriso,isoinfo,7z,pycdlib")
    ap.add_argument("--no-joliet", action="store_true")
    args = ap.parse_args()

    expected = source_tree(args.source)
    readers = args.readers.split(",")
    if args.session_start:
        readers = [r for r in readers if r in ("xorriso", "isoinfo", "pycdlib")]
    tools = {"xorriso": "xorriso", "isoinfo": "isoinfo", "7z": "7zz"}
    problems = []
    for reader in readers:
        if reader in tools and not shutil.which(tools[reader]):
            problems.append(f"reader {reader} is not installed")
            continue
        if reader == "pycdlib":
            try:
                import pycdlib  # noqa: F401
            except ImportError:
                problems.append("reader pycdlib is not installed")
                continue
        with tempfile.TemporaryDirectory() as out:
            if reader == "xorriso":
                p = read_xorriso(args.image, out, args.session_start)
            elif reader == "7z":
                p = read_7z(args.image, out, args.session_start)
            elif reader == "isoinfo":
                p = read_isoinfo(args.image, out, args.session_start, not args.no_joliet)
            else:
                p = read_pycdlib(args.image, out, args.session_start)
            if not p and not (args.no_joliet and reader != "xorriso"):
                p = compare(reader, out, expected, args.source)
            problems += p
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
