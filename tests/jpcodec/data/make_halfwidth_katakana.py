#!/usr/bin/env python3
"""Writes halfwidth_katakana.tsv: for each half-width katakana byte 0xA1-0xDD (U+FF61-U+FF9D), the
Shift-JIS bytes of its full-width counterpart, taken from Unicode's compatibility mapping (NFKC),
and of that character's voiced and semi-voiced forms (canonical composition with U+3099 / U+309A;
"-" where none exists), converted to SHIFT_JIS by glibc iconv. Run once; the output is checked in
as test data."""
import subprocess
import unicodedata



def to_sjis(text):
    return subprocess.run(["iconv", "-f", "UTF-8", "-t", "SHIFT_JIS"], input=text.encode(),
                          capture_output=True, check=True).stdout.hex().upper()


def composed(base, mark):
    """The composed form's Shift-JIS bytes, or "-" when there is no such form in Shift-JIS."""
    form = unicodedata.normalize("NFC", base + mark)
    if len(form) != 1:
        return "-"
    try:
        return to_sjis(form)
    except subprocess.CalledProcessError:
        return "-"


lines = ["# byte\tcodepoint\tfull-width\tshift-jis\tvoiced\tsemi-voiced"]
for byte in range(0xA1, 0xDE):
    half = chr(0xFF61 + byte - 0xA1)
    full = unicodedata.normalize("NFKC", half)
    lines.append("%02X\tU+%04X\t%s\t%s\t%s\t%s" % (byte, ord(half), full, to_sjis(full),
                                                composed(full, "\u3099"), composed(full, "\u309A")))
with open(__file__.replace("make_halfwidth_katakana.py", "halfwidth_katakana.tsv"), "w") as out:
    out.write("\n".join(lines) + "\n")
