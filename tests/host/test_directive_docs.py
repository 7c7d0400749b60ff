"""Every directive mod_karvel registers is documented where operators look: a row of the README's
directives table and an entry of the manual page mod_karvel(7); neither names one that does not
exist. Catches a directive added or renamed in the code and forgotten in one of them."""
import glob
import os
import re
import unittest

SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def read(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        return f.read()


def registered():
    names = set()
    for path in glob.glob(os.path.join(SOURCE, "host", "module", "*.cpp")):
        with open(path, encoding="utf-8") as f:
            names |= set(re.findall(r'AP_INIT_[A-Z0-9_]+\(\s*"(Karvel\w+)"', f.read()))
    return names


class DirectiveDocs(unittest.TestCase):
    def test_code_readme_and_manual_name_the_same_directives(self):
        code = registered()
        self.assertGreater(len(code), 10, "no directives found in host/module")
        # A row's first cell; directives that share a row are each in backticks there.
        readme = set()
        for cell in re.findall(r"^\| (`Karvel[^|]*)\|", read("README.md"), re.M):
            readme |= set(re.findall(r"`(Karvel\w+)", cell))
        # An entry's tag line: `.BI KarvelX ...`, `.BR KarvelX ...`, `.B KarvelX` or `\fBKarvelX\fR ...`,
        # several on one line where directives share an entry.
        manual = set()
        for line in read("host/module/mod_karvel.7").split("\n.TP\n")[1:]:
            manual |= set(re.findall(r"(?:^\.B[IR]? |\\fB|\" )(Karvel\w+)", line.split("\n")[0]))
        for where, documented in (("README.md's directives table", readme), ("mod_karvel.7", manual)):
            with self.subTest(where=where):
                self.assertEqual(sorted(code - documented), [], "registered but not documented")
                self.assertEqual(sorted(documented - code), [], "documented but not registered")


if __name__ == "__main__":
    unittest.main()
