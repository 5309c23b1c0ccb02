#!/usr/bin/env python3
"""Writes the seed corpus of the import fuzzer (input layout: see
import_fuzzer.cpp): small discs with Joliet and ISO directories, a volume
found through its descriptors, a loop, a file of several extents, a
damaged record and a Rock Ridge session (names, modes, times, a link, a
moved folder, a continuation area)."""
import os
import struct
import sys

SECTOR = 2048


def both32(v):
    return struct.pack("<I", v) + struct.pack(">I", v)


def record(ident, extent, size, flags, date=(121, 3, 14, 15, 9, 26, 4)):
    pad = 1 if len(ident) % 2 == 0 else 0
    length = 33 + len(ident) + pad
    r = bytes([length, 0]) + both32(extent) + both32(size) + bytes(date) + bytes([flags, 0, 0])
    r += struct.pack("<H", 1) + struct.pack(">H", 1) + bytes([len(ident)]) + ident + b"\0" * pad
    assert len(r) == length
    return r


def joliet(name):
    return name.encode("utf-16-be")


def dot(extent):
    return record(b"\0", extent, SECTOR, 2)


def dotdot(extent):
    return record(b"\1", extent, SECTOR, 2)


def sector(*records):
    data = b"".join(records)
    assert len(data) <= SECTOR
    return data + b"\0" * (SECTOR - len(data))


def descriptor(kind, root_extent, joliet_escape=False):
    d = bytearray(SECTOR)
    d[0] = kind
    d[1:6] = b"CD001"
    d[6] = 1
    if joliet_escape:
        d[88:91] = b"\x25\x2f\x45"
    d[156:156 + 34] = dot(root_extent)
    return bytes(d)


def entry(sig, data, version=1):
    return sig + bytes([4 + len(data), version]) + data


def rr_record(ident, extent, size, flags, *entries):
    r = bytearray(record(ident, extent, size, flags) + b"".join(entries))
    if len(r) % 2:
        r += b"\0"
    r[0] = len(r)
    return bytes(r)


def px(mode, links=1):
    return entry(b"PX", both32(mode) + both32(links) + both32(0) + both32(0) + both32(7))


def tf():
    return entry(b"TF", bytes([0x0E]) + bytes((120, 9, 13, 12, 26, 40, 0)) * 3)


def nm(name):
    return entry(b"NM", b"\0" + name)


def seed(mode, root_size, sectors):
    return bytes([mode]) + struct.pack("<I", root_size) + b"".join(sectors)


def main(out):
    os.makedirs(out, exist_ok=True)
    seeds = {}
    seeds["joliet_tree"] = seed(1, SECTOR, [
        sector(dot(0), dotdot(0), record(joliet("report.pdf;1"), 40, 9000, 0),
               record(joliet("Photos"), 1, SECTOR, 2), record(joliet("hidden;1"), 41, 1, 1)),
        sector(dot(1), dotdot(0), record(joliet("Ünïcode.jpg;1"), 42, 123456, 0))])
    seeds["iso_tree"] = seed(0, SECTOR, [
        sector(dot(0), dotdot(0), record(b"README.TXT;1", 40, 5, 0), record(b"A", 1, SECTOR, 2)),
        sector(dot(1), dotdot(0), record(b"X.BIN;1", 41, 2, 0))])
    # Descriptors at 16 (the Joliet one), 17 (terminator); the root at 1.
    vol = [sector() for _ in range(18)]
    vol[0] = descriptor(1, 2)
    vol[1] = sector(dot(1), dotdot(1), record(joliet("a.txt;1"), 40, 3, 0), record(joliet("sub"), 3, SECTOR, 2))
    vol[2] = sector(dot(2), dotdot(2), record(b"A.TXT;1", 40, 3, 0))
    vol[3] = sector(dot(3), dotdot(1), record(joliet("b.txt;1"), 41, 3, 0))
    vol[16] = descriptor(2, 1, joliet_escape=True)
    vol[17] = descriptor(255, 0)
    seeds["volume"] = seed(3, 0, vol)
    seeds["loop"] = seed(1, 2 * SECTOR, [
        sector(dot(0), dotdot(0), record(joliet("self"), 0, SECTOR, 2), record(joliet("next"), 1, SECTOR, 2)),
        sector(dot(1), dotdot(0), record(joliet("up"), 0, SECTOR, 2))])
    seeds["extents"] = seed(1, SECTOR, [
        sector(dot(0), dotdot(0), record(joliet("huge.img;1"), 100, 0xFFFFF800, 0x80),
               record(joliet("huge.img;1"), 100 + 0xFFFFF800 // SECTOR, 1000, 0))])
    damaged = bytearray(sector(dot(0), dotdot(0), record(joliet("ok.txt;1"), 40, 1, 0)))
    damaged[120:120 + 52] = record(joliet("bad.txt;1"), 41, 1, 0)
    damaged[120] = 250
    damaged[120 + 32] = 200
    seeds["damaged"] = seed(1, SECTOR, [bytes(damaged)])
    # Rock Ridge: the primary descriptor at 16, the root at 1 (SP, PX), a
    # file with its name, a link, a placeholder (CL) for the folder at 3
    # moved into the relocation folder at 2 (RE), and a name that goes on
    # in a continuation area at 4.
    rr = [sector() for _ in range(18)]
    rr[16] = descriptor(1, 1)
    rr[17] = descriptor(255, 0)
    rr[1] = sector(rr_record(b"\0", 1, SECTOR, 2, entry(b"SP", b"\xbe\xef\0"), px(0o40555, 3)),
                   dotdot(1),
                   rr_record(b"MIXED.TXT;1", 40, 5, 0, px(0o100640), tf(), nm(b"Mixed Case.txt")),
                   rr_record(b"LINK;1", 0, 0, 0, px(0o120777), nm(b"link"),
                             entry(b"SL", b"\0" + bytes([8, 0]) + bytes([0, 3]) + b"etc" + bytes([4, 0]))),
                   rr_record(b"DEEP", 0, 0, 0, px(0o40755, 2), entry(b"CL", both32(3)), nm(b"deep")),
                   rr_record(b"RR_MOVED", 2, SECTOR, 2, px(0o40555, 3), entry(b"RE", b""), nm(b"rr_moved")),
                   rr_record(b"LONG.TXT;1", 41, 3, 0, px(0o100644), entry(b"CE", both32(4) + both32(0) + both32(40))))
    rr[2] = sector(dot(2), dotdot(1), rr_record(b"DEEP", 3, SECTOR, 2, entry(b"RE", b""), nm(b"deep")))
    rr[3] = sector(rr_record(b"\0", 3, SECTOR, 2, px(0o40755, 2)),
                   rr_record(b"\1", 2, SECTOR, 2, entry(b"PL", both32(1))),
                   rr_record(b"IN.TXT;1", 42, 1, 0, nm(b"inside.txt")))
    rr[4] = (nm(b"a name that goes on " + b"x" * 16) + b"\0" * SECTOR)[:SECTOR]
    seeds["rock_ridge"] = seed(6, 0, rr)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus"))
