#!/usr/bin/env python3
"""Writes mac-roman.txt: the Mac OS Roman character of every byte, from Python's mac_roman codec.

Run once by hand when the fixture needs regenerating; the tests only read the file. Each line
is "BB UUUU": the byte and the Unicode code point it decodes to, both in upper-case hex.
"""

import pathlib

lines = ["# Mac OS Roman: byte -> code point, from Python's mac_roman codec"]
for byte in range(256):
    character = bytes([byte]).decode("mac_roman")
    lines.append(f"{byte:02X} {ord(character):04X}")
path = pathlib.Path(__file__).with_name("mac-roman.txt")
path.write_text("\n".join(lines) + "\n", encoding="ascii")
