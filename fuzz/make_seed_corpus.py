#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the codec tests' golden
payloads and frames.

    python3 fuzz/make_seed_corpus.py [fuzz/corpus]

MessageCodec inputs are one type byte and the payload. FrameReader inputs are
one byte giving k - 1 in its low 3 bits, k piece sizes (byte + 1 each) and the
byte stream. Files are named seed-*, so that inputs merged in by the fuzzers
(named by their hash) can be told apart and the seeds rewritten at any time.
"""

import os
import struct
import sys


def u16(v):
    return struct.pack(">H", v)


def u32(v):
    return struct.pack(">I", v)


def u64(v):
    return struct.pack(">Q", v)


def text(b):
    return u32(len(b)) + b + b"\x00"


def frame(type_number, payload, length=None):
    n = len(payload) if length is None else length
    return b"\x6d" + u32(type_number)[1:] + u32(n) + payload


def pieces(*sizes):
    assert 1 <= len(sizes) <= 8
    return bytes([len(sizes) - 1] + [s - 1 for s in sizes])


def stream_entry(n1, n2, n3, t1, t2):
    return u32(n1) + u32(n2) + u32(n3) + text(t1) + text(t2)


MEDIA_NO_STREAMS = text(b"ab") + b"\xff" + u64(1) + u16(0)
MEDIA_ONE_STREAM = text(b"ab") + b"\xff" + u64(1) + u16(1) + stream_entry(1, 2, 3, b"x", b"")
PLAYBACK = bytes(range(0x10, 0x10 + 30))
URI = text(b"http://box/a.ts")

PAYLOADS = {
    "uint-258": (26, u32(258)),
    "uint-trailing-byte": (31, u32(42) + b"\xff"),
    "uint64-1": (33, u64(1)),
    "uint-array-1-2": (60, u32(2) + u32(1) + u32(2)),
    "uint-array-hostile-count": (60, u32(0xFFFFFFFF) + u32(7)),
    "string-abc": (54, text(b"abc")),
    "string-empty": (5, text(b"")),
    "string-no-terminator": (6, u32(2) + b"hi"),
    "string-array-a-empty": (19, u32(2) + text(b"a") + text(b"")),
    "string-array-empty": (21, u32(0)),
    "recorder-stats-7": (15, b"\x07"),
    "playback-record": (32, PLAYBACK),
    "media-info-no-streams": (40, MEDIA_NO_STREAMS),
    "media-info-one-stream": (40, MEDIA_ONE_STREAM),
    "media-info-ends-before-flag": (40, text(b"ab")),
    "media-info-hostile-count": (40, text(b"") + b"\x00" + u64(0) + u16(0xFFFF) + u32(1)),
    "plain-type-7": (7, b"\x01\x02\x03"),
}

STREAMS = {
    "launch-uri-in-pieces": pieces(3, 5, 1, 7) + frame(54, URI),
    "empty-payload-then-uint": pieces(8) + frame(7, b"") + frame(26, u32(42)),
    "wrong-marker": pieces(16) + b"\x6c" + frame(54, URI)[1:],
    "too-large": pieces(8) + b"\x6d\x00\x00\x36\x01\x00\x00\x01",
    "cut-inside-header": pieces(2) + frame(54, URI)[:5],
    "cut-inside-payload": pieces(4, 4) + frame(54, URI)[:-1],
    "several-classes": pieces(13, 1, 64)
    + frame(5, text(b"abc"))
    + frame(60, u32(2) + u32(1) + u32(2))
    + frame(19, u32(2) + text(b"a") + text(b""))
    + frame(15, b"\x07")
    + frame(33, u64(1)),
    "media-info": pieces(1) + frame(40, MEDIA_ONE_STREAM),
    "playback-record": pieces(30, 8) + frame(32, PLAYBACK),
    "unknown-types": pieces(255) + frame(100, b"\x00") + frame(0xFFFFFF, b"\xff\xfe") + frame(1, u32(54)),
    "allowed-list-frame": pieces(9) + frame(1, u32(5) + u32(54)),
    "announced-but-missing": pieces(8) + frame(40, b"", length=64),
}


def write_all(directory, entries):
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if name.startswith("seed-"):
            os.remove(os.path.join(directory, name))
    for name, content in entries.items():
        with open(os.path.join(directory, "seed-" + name), "wb") as f:
            f.write(content)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    write_all(os.path.join(root, "MessageCodec"), {k: bytes([t]) + p for k, (t, p) in PAYLOADS.items()})
    write_all(os.path.join(root, "FrameReader"), STREAMS)


if __name__ == "__main__":
    main()
