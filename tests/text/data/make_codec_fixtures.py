#!/usr/bin/env python3
"""Writes codec-fixtures.json: Base64 texts and MD5/SHA-1/SHA-256 digests that the text tests
compare the library with. Run once from this directory (python3 make_codec_fixtures.py); the
tests only read the JSON.

Byte inputs are prefixes of one reproducible stream: x = (x * 1103515245 + 12345) mod 2**32,
starting from x = 1, each step giving the byte (x >> 16) & 0xFF. The Base64 text is Python's,
re-wrapped into lines of 72 characters each followed by CRLF, also after a last full line.
For the large inputs only the SHA-256 of that text is kept, to keep the file small."""

import base64
import hashlib
import json


def pattern(length):
    x = 1
    out = bytearray(length)
    for i in range(length):
        x = (x * 1103515245 + 12345) % 2**32
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


def wrapped_base64(data):
    text = base64.b64encode(data).decode("ascii")
    lines = [text[i : i + 72] for i in range(0, len(text), 72)]
    return "".join(line + ("\r\n" if len(line) == 72 else "") for line in lines)


def digests(data):
    return {
        "md5": hashlib.md5(data).hexdigest(),
        "sha1": hashlib.sha1(data).hexdigest(),
        "sha256": hashlib.sha256(data).hexdigest(),
    }


TEXTS = [
    "",
    "a",
    "abc",
    "message digest",
    "abcdefghijklmnopqrstuvwxyz",
    "The quick brown fox jumps over the lazy dog",
    "h\u00e9llo w\u00f6rld",
    "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8",
    "fish \U0001F41F and chips",
    "line\r\nbreaks\nand\ttabs",
    "nul \u0000 inside",
    "a" * 1000,
]

LARGE = [5400, 65536, 1048573, 4194305]


def main():
    stream = pattern(max(LARGE))
    fixtures = {
        "bytes": [
            dict(length=n, base64=wrapped_base64(stream[:n]), **digests(stream[:n]))
            for n in range(201)
        ],
        "large": [
            dict(
                length=n,
                base64Length=len(wrapped_base64(stream[:n])),
                base64Sha256=hashlib.sha256(wrapped_base64(stream[:n]).encode()).hexdigest(),
                **digests(stream[:n]),
            )
            for n in LARGE
        ],
        "texts": [
            dict(text=t, base64=wrapped_base64(t.encode("utf-8")), **digests(t.encode("utf-8")))
            for t in TEXTS
        ],
    }
    with open("codec-fixtures.json", "w", encoding="ascii") as out:
        json.dump(fixtures, out, indent=1)
        out.write("\n")


if __name__ == "__main__":
    main()
