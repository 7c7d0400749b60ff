"""The debug-copy build where back-end authors look: with KarvelDebugCopyDir the copy of each
finished exchange file lands in that directory, byte for byte what the program was given, named by
the form's field (vcdebug.tmp, vbdebug.tmp), and nowhere beside the program; where the copy cannot
be written (a directory the server's user may not write, the site's setting or, without one, the
program's own directory), one warn line in the error log says where and why, and the request still
answers."""
import os
import re
import shutil
import tempfile
import unittest
import urllib.parse

from karvel_e2e import Server, multipart, png, wait_until

EXTENSION = '"@STAGE@/lib/debug-copy/VC_KARVEL2.so"'
# Answers with its exchange file's bytes exactly as it received them: a file answer of a copy (a
# page would send NUL bytes as blanks).
MIRROR = ("#!/bin/sh\n"
          "cp \"$1\" \"$1.seen\" && printf '94  %s' \"$1.seen\" > \"$1.new\" && mv \"$1.new\" \"$1\"\n")
server = None
dirs = {}


def setUpModule():
    global server
    # Made before the server starts (a setting's directory must exist then); "closed" and the
    # back-end directory "readonly" cannot be written by the server's user, whoever runs the tests.
    for name, mode in (("copies", 0o777), ("closed", 0o555), ("readonly", 0o755)):
        dirs[name] = tempfile.mkdtemp(prefix="karvel-e2e-%s-" % name, dir="/tmp")
    with open(os.path.join(dirs["readonly"], "mirror"), "w") as f:
        f.write(MIRROR)
    os.chmod(os.path.join(dirs["readonly"], "mirror"), 0o755)
    for name, mode in (("copies", 0o777), ("closed", 0o555), ("readonly", 0o555)):
        os.chmod(dirs[name], mode)
    includes = []
    for url, setting in (("copied", 'KarvelDebugCopyDir "%s"' % dirs["copies"]),
                         ("closed", 'KarvelDebugCopyDir "%s"' % dirs["closed"]),
                         ("beside", 'KarvelBackendDir "%s"' % dirs["readonly"])):
        includes += ["KarvelExtension %s /%s/VC_KARVEL2.dll" % (EXTENSION, url),
                     '<Location "/%s">\n    Require all granted\n    %s\n</Location>' % (url, setting)]
    server = Server(probe=False, log_level="warn", includes=includes)
    backends = os.path.join(server.stage, "backends")
    with open(os.path.join(backends, "mirror"), "w") as f:
        f.write(MIRROR)
    os.chmod(os.path.join(backends, "mirror"), 0o755)


def tearDownModule():
    server.stop()
    for directory in dirs.values():
        os.chmod(directory, 0o755)
        shutil.rmtree(directory, ignore_errors=True)


def forms():
    """(what, method, query, body, content type, the copy's name): each shape a form comes in."""
    sjis = "山田 太郎".encode("shift_jis")
    upload, upload_type = multipart([("VBEXE", b"mirror"), ("name", sjis)],
                                    [("picture", "a.png", "image/png", png() + bytes(range(256)))])
    return [
        ("GET", "GET", urllib.parse.urlencode({"VCEXE": "mirror", "a": "1", "b": "x y"}), None, None, "vcdebug.tmp"),
        ("POST", "POST", "", urllib.parse.urlencode({"VBEXE": "mirror", "name": sjis}).encode(),
         "application/x-www-form-urlencoded", "vbdebug.tmp"),
        ("multipart with a binary upload", "POST", "", upload, upload_type, "vbdebug.tmp"),
    ]


def send(base, method, query, body, content_type):
    headers = {"Content-Type": content_type} if content_type else {}
    return server.request(method, "/%s/VC_KARVEL2.dll%s" % (base, "?" + query if query else ""), body, headers)


def warn_lines(path):
    return [line for line in server.log_text().splitlines()
            if "debug copy could not be written" in line and path in line]


class DebugCopy(unittest.TestCase):
    def test_the_copy_lands_in_the_sites_directory_as_the_program_got_it(self):
        beside = os.path.join(server.stage, "backends")
        for what, method, query, body, content_type, name in forms():
            for old in os.listdir(dirs["copies"]):
                os.unlink(os.path.join(dirs["copies"], old))
            status, _, given = send("copied", method, query, body, content_type)
            self.assertEqual(200, status, what)
            with open(os.path.join(dirs["copies"], name), "rb") as f:
                self.assertEqual(given, f.read(), what)
            self.assertEqual([name], os.listdir(dirs["copies"]), what)
            self.assertFalse(os.path.exists(os.path.join(beside, name)), what)
            # The request's data, private as the exchange file is.
            self.assertEqual(0, os.stat(os.path.join(dirs["copies"], name)).st_mode & 0o077, what)

    def test_a_copy_that_cannot_be_written_is_one_warn_line_and_the_request_answers(self):
        cases = [("closed", os.path.join(dirs["closed"], "vcdebug.tmp")),
                 # No setting: beside the program, in a back-end directory the server may not write.
                 ("beside", os.path.join(dirs["readonly"], "vcdebug.tmp"))]
        for base, path in cases:
            before = len(warn_lines(path))
            status, _, given = send(base, "GET", urllib.parse.urlencode({"VCEXE": "mirror", "k": base}), None, None)
            self.assertEqual(200, status, base)
            self.assertIn(b"k\0" + base.encode(), given, base)
            self.assertTrue(wait_until(lambda: len(warn_lines(path)) > before, 10), server.log_text()[-3000:])
            lines = warn_lines(path)[before:]
            self.assertEqual(1, len(lines), lines)
            # Apache's warn level, why (the system's words) and where.
            self.assertRegex(lines[0], r"\[karvel:warn\].*Permission denied.*could not be written: " + re.escape(path))
            self.assertFalse(os.path.exists(path), base)


if __name__ == "__main__":
    unittest.main()
