"""The UTF-8 converter against two oracles: the standard's own index (every code point in it comes
back from the bytes it encodes to, the NEC and IBM rows included), and Python's cp932 codec, which
agrees on every character either encodes but where the standard differs from it, listed here."""
import os
import subprocess
import unittest

TOOL = os.environ.get("UTF8_TOOL")
INDEX = os.environ.get("JIS0208_INDEX")


def convert_each(code_points):
    """Each code point converted on its own (newline-separated, newlines map to themselves)."""
    text = "\n".join(chr(c) for c in code_points).encode("utf-8", "surrogatepass")
    out = subprocess.run([TOOL], input=text, stdout=subprocess.PIPE, check=True).stdout
    parts = out.split(b"\n")
    assert len(parts) == len(code_points), (len(parts), len(code_points))
    return dict(zip(code_points, parts))


def read_index():
    index = {}
    with open(INDEX) as f:
        for line in f:
            fields = line.split()
            if fields and not line.startswith("#"):
                index[int(fields[0])] = int(fields[1], 16)
    return index


def pointer_bytes(pointer):
    lead, trail = divmod(pointer, 188)
    return bytes([lead + (0x81 if lead < 0x1F else 0xC1), trail + (0x40 if trail < 0x3F else 0x41)])


class Oracles(unittest.TestCase):
    def test_every_code_point_of_the_index_comes_back(self):
        index = read_index()
        pointers = {pointer_bytes(p): p for p in index}
        got = convert_each(sorted(set(index.values())))
        for code, sjis in got.items():
            pointer = pointers.get(sjis)
            self.assertEqual(code, index.get(pointer), "U+%04X gives %r" % (code, sjis))
            # Never the NEC selection of IBM extensions (pointers 8272-8835): the IBM rows are used.
            self.assertFalse(8272 <= pointer <= 8835, "U+%04X" % code)

    def test_pythons_cp932_agrees_but_where_the_standard_differs(self):
        codes = [c for c in range(0x80, 0x10000) if not 0xD800 <= c < 0xE000 and c != 0x0A]
        got = convert_each(codes)
        differences = {}
        for code in codes:
            try:
                expected = chr(code).encode("cp932")
            except UnicodeEncodeError:
                expected = ("&#%d;" % code).encode()
            if got[code] != expected:
                differences[code] = (expected, got[code])
        for code, (python, ours) in differences.items():
            with self.subTest(code="U+%04X" % code):
                if 0xE000 <= code <= 0xF8FF:
                    # Private use: cp932 maps it to its user-defined rows, the standard does not.
                    self.assertEqual(("&#%d;" % code).encode(), ours)
                elif code in (0x00A5, 0x203E):
                    # The standard writes the yen sign and the overline as their ASCII bytes.
                    self.assertEqual({0x00A5: b"\x5C", 0x203E: b"\x7E"}[code], ours)
                else:
                    # The NEC-selected IBM characters: cp932 takes rows 89-92, the standard the IBM rows.
                    self.assertIn(python[0], (0xED, 0xEE), python)
                    self.assertIn(ours[0], (0xFA, 0xFB, 0xFC), ours)
        self.assertLess(len(differences), 2300)
        # Astral characters: references, as browsers send them.
        self.assertEqual(b"&#128512;", convert_each([0x1F600])[0x1F600])


if __name__ == "__main__":
    unittest.main()
