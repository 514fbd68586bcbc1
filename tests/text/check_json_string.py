#!/usr/bin/env python3
"""text::jsonString read back by Python's own JSON parser.

  check_json_string.py [RUNNER...] PROBE

PROBE writes each line of hex it reads as a JSON string. Every string must be valid UTF-8, parse
with json.loads, carry no raw control character or DEL, and decode to the expected code points:
valid UTF-8 as it is, each invalid byte or cut-off sequence as one U+FFFD, as Python's own UTF-8
decoder replaces it.
"""

import json
import random
import subprocess
import sys

R = "\ufffd"

# The bytes handed over, and the text that must come back.
CASES = [
    (b"", ""),
    (b"plain \"quoted\" back\\slash /", "plain \"quoted\" back\\slash /"),
    (bytes(range(0x20)) + b"\x7f", "".join(map(chr, range(0x20))) + "\x7f"),
    ("\u00e9\u20ac\U0001f600\U0010ffff\ud7ff\ue000".encode(),
     "\u00e9\u20ac\U0001f600\U0010ffff\ud7ff\ue000"),
    # Stray continuation bytes, lead bytes that never start a character.
    (b"a\x80b\xbf\xc0\xc1\xf5\xff", "a" + R + "b" + R * 5),
    # Sequences cut short: by the end, by an ASCII byte, by another lead.
    (b"\xe2\x82", R), (b"\xf0\x9f\x98", R), (b"\xe2\x82x", R + "x"), (b"\xf0\x9f\xc3\xa9", R + "\u00e9"),
    (b"\xc3", R), (b"\xc3\"", R + "\""),
    # Overlong forms: of '/', of U+07FF, of U+FFFF.
    (b"\xc0\xaf", R * 2), (b"\xe0\x80\xaf", R * 3), (b"\xe0\x9f\xbf", R * 3), (b"\xf0\x8f\xbf\xbf", R * 4),
    # Surrogates, alone and paired (CESU-8).
    (b"\xed\xa0\x80", R * 3), (b"\xed\xbf\xbf", R * 3), (b"\xed\xa0\xbd\xed\xb8\x80", R * 6),
    # Beyond U+10FFFF.
    (b"\xf4\x90\x80\x80", R * 4), (b"\xf7\xbf\xbf\xbf", R * 4),
    # The edges that are still characters.
    (b"\xc2\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
     "\x80\ud7ff\ue000\U00010000\U0010ffff"),
]


def random_cases(count):
    """Byte strings made of the bytes where UTF-8 goes wrong, checked against Python's decoder."""
    pieces = [b"\x00", b"\x1f", b"\x7f", b"\"", b"\\", b"a", b"\x80", b"\xbf", b"\xc0", b"\xc2", b"\xdf",
              b"\xe0", b"\xe1", b"\xed", b"\xef", b"\xf0", b"\xf4", b"\xf5", b"\xff", b"\x9f", b"\xa0", b"\x8f",
              b"\x90"]
    rng = random.Random(20240601)
    for _ in range(count):
        raw = b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 10)))
        yield raw, raw.decode("utf-8", "replace")


def main():
    cases = CASES + list(random_cases(3000))
    given = "".join(raw.hex() + "\n" for raw, _ in cases).encode("ascii")
    result = subprocess.run([*sys.argv[1:]], input=given, capture_output=True, timeout=60, check=True)
    # A Windows program's standard output ends its lines with CR LF; the strings hold no raw CR.
    lines = result.stdout.replace(b"\r\n", b"\n").split(b"\n")
    if lines[-1] != b"" or len(lines) - 1 != len(cases):
        print(f"{len(cases)} strings handed over, {len(lines) - 1} lines came back")
        return 1
    failures = 0
    for (raw, expected), line in zip(cases, lines):
        problem = None
        try:
            text = line.decode("utf-8")  # strict: the document must be valid UTF-8
            if any(ord(c) < 0x20 or c == "\x7f" for c in text):
                problem = "a control character or DEL is not escaped"
            else:
                got = json.loads(text)
                if got != expected:
                    problem = f"decodes to {got!r}, expected {expected!r}"
        except (UnicodeDecodeError, json.JSONDecodeError) as e:
            problem = str(e)
        if problem:
            failures += 1
            print(f"{raw.hex()}: {line!r}: {problem}")
    print(f"{len(cases)} strings, {failures} wrong")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
