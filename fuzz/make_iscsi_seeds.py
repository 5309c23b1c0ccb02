#!/usr/bin/env python3
"""Writes the seed corpus of the iSCSI fuzzer (input layout: see
iscsi_fuzzer.cpp): a first byte of set-up flags, then the bytes of one
connection: reads, a write through R2T, NOP, task management, text,
logout, a login with its keys, and CHAP."""
import os
import struct
import sys


def pdu(opcode, flags=0, data=b"", fields=None, immediate=False, lun=0, cdb=b""):
    bhs = bytearray(48)
    bhs[0] = opcode | (0x40 if immediate else 0)
    bhs[1] = flags
    bhs[4] = 0
    bhs[5:8] = struct.pack(">I", len(data))[1:]
    bhs[9] = lun
    for offset, value in (fields or {}).items():
        bhs[offset:offset + 4] = struct.pack(">I", value)
    bhs[32:32 + len(cdb)] = cdb
    pad = (4 - len(data) % 4) % 4
    return bytes(bhs) + data + b"\0" * pad


def keys(**kv):
    return b"".join(f"{k}={v}".encode() + b"\0" for k, v in kv.items())


def command(itt, cmdsn, cdb, expected, read=False, write=False, data=b""):
    flags = 0x80 | (0x40 if read else 0) | (0x20 if write else 0) | 0x01
    return pdu(0x01, flags, data, {16: itt, 20: expected, 24: cmdsn}, cdb=cdb)


SEEDS = {
    "inquiry": b"\x01" + command(1, 0, bytes([0x12, 0, 0, 0, 96, 0]), 96, read=True),
    "read-overflow": b"\x01" + command(2, 0, bytes([0x28, 1, 0, 0, 0, 0, 0, 0, 1, 0]), 200, read=True),
    "write-r2t": b"\x01" + command(3, 0, bytes([0x25, 0, 0, 0, 0, 0, 0, 0, 1, 0]), 2048, write=True, data=b"\x5a" * 512)
    + pdu(0x05, 0x00, b"\xa5" * 512, {16: 3, 20: 1, 40: 512})
    + pdu(0x05, 0x80, b"\xa5" * 1024, {16: 3, 20: 1, 40: 1024}),
    "session": b"\x01" + pdu(0x00, 0x80, b"ping", {16: 9, 20: 0xFFFFFFFF, 24: 0}, immediate=True)
    + pdu(0x02, 0x81, b"", {16: 10, 20: 3, 24: 0}, immediate=True)
    + pdu(0x02, 0x85, b"", {16: 11, 24: 0}, immediate=True)
    + pdu(0x04, 0x80, keys(SendTargets="All"), {16: 12, 20: 0xFFFFFFFF, 24: 0})
    + command(13, 1, bytes([0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0]), 16, read=True)
    + pdu(0x06, 0x80, b"", {16: 14, 24: 2}),
    "login": b"\x00" + pdu(0x03, 0x81, keys(InitiatorName="iqn.i", TargetName="iqn.target",
                                            SessionType="Normal", AuthMethod="CHAP,None"), immediate=True)
    + pdu(0x03, 0x87, keys(HeaderDigest="CRC32C,None", DataDigest="None", InitialR2T="No",
                           ImmediateData="Yes", MaxRecvDataSegmentLength="8192", MaxBurstLength="262144",
                           FirstBurstLength="65536", DefaultTime2Wait="2", DefaultTime2Retain="20",
                           MaxOutstandingR2T="1", ErrorRecoveryLevel="0", IFMarker="No"), immediate=True),
    "chap": b"\x02" + pdu(0x03, 0x00, keys(InitiatorName="iqn.i", TargetName="iqn.target", AuthMethod="CHAP"),
                          immediate=True)
    + pdu(0x03, 0x00, keys(CHAP_A="5"), immediate=True)
    + pdu(0x03, 0x81, keys(CHAP_N="user", CHAP_R="0x" + "00" * 16), immediate=True),
    "discovery": b"\x00" + pdu(0x03, 0x83, keys(InitiatorName="iqn.i", SessionType="Discovery", AuthMethod="None"),
                               immediate=True)
    + pdu(0x04, 0x80, keys(SendTargets="All"), {16: 2, 20: 0xFFFFFFFF, 24: 0}),
}

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus-iscsi")
os.makedirs(out, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
