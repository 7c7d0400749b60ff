"""Uploads apart from exchange files: with KarvelUploadDir a multipart upload through Apache lands
in that directory (VCU<the exchange file's digits>.tmp there), its field value is its full path, the
programs find it there through the kits (the echo page sizes it, show_upload sends it back), the
exchange file stays in KarvelTempDir, and a request given up takes both away. Under Wine the upload
is given as its Windows path and found the same way; karvel-run --upload-dir does as the server."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from karvel_e2e import BUILD, Server, multipart, wait_until

WINE_BACKENDS = os.path.join(BUILD, "bin", "wine-backends")
KARVEL_RUN = os.path.join(BUILD, "bin", "karvel-run")
server = None
dirs = {}


def setUpModule():
    global server
    # Made before the server starts (a setting's directory must exist then), open to the server's
    # user whoever runs the tests.
    for name in ("temp", "uploads", "late_temp", "late_uploads", "run_uploads"):
        dirs[name] = tempfile.mkdtemp(prefix="karvel-e2e-apart-%s-" % name, dir="/tmp")
        os.chmod(dirs[name], 0o777)
    includes = []
    for url, temp, uploads, extra in (("apart", "temp", "uploads", ""),
                                      ("late", "late_temp", "late_uploads", "KarvelBackendTimeout 1")):
        includes += ['KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /%s/VC_KARVEL2.dll' % url,
                     '<Location "/%s">\n    Require all granted\n    KarvelTempDir "%s"\n    KarvelUploadDir "%s"\n'
                     '    %s\n</Location>' % (url, dirs[temp], dirs[uploads], extra)]
    server = Server(probe=False, log_level="warn", includes=includes)


def tearDownModule():
    server.stop()
    for directory in dirs.values():
        shutil.rmtree(directory, ignore_errors=True)


def post(base, fields, files, timeout=60):
    data, ctype = multipart(fields, files)
    return server.request("POST", "/%s/VC_KARVEL2.dll" % base, data, {"Content-Type": ctype}, timeout=timeout)


def request_entries(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith("VC"))


class UploadsApart(unittest.TestCase):
    def test_the_upload_lands_in_the_upload_directory_and_the_exchange_file_elsewhere(self):
        status, _, page = post("apart", [("VCEXE", b"echo")], [("file", "mine.txt", "text/plain", b"private bytes")])
        self.assertEqual(200, status, page)
        found = re.search(rb"<td>file</td><td>([^<]*)</td><td>13 bytes</td>", page)
        self.assertIsNotNone(found, page)
        path = found.group(1).decode()
        directory = os.path.dirname(path)
        self.assertEqual(dirs["uploads"], os.path.dirname(directory), "the value is its full path there")
        self.assertRegex(os.path.basename(directory), r"^VCU[0-9A-F]{16}\.tmp$")
        with open(path, "rb") as f:
            self.assertEqual(b"private bytes", f.read())
        # Nothing of the request's but its upload directory in KarvelUploadDir; no upload directory
        # beside the exchange files (the answered exchange file is the server's to remove).
        self.assertEqual([], [name for name in os.listdir(dirs["uploads"]) if not name.startswith("VCU")])
        self.assertEqual([], [name for name in os.listdir(dirs["temp"]) if name.startswith("VCU")])
        shutil.rmtree(directory)

    def test_the_program_finds_its_own_upload_there_and_no_other(self):
        status, _, body = post("apart", [("VCEXE", b"show_upload")], [("file", "a.bin", "application/octet-stream",
                                                                          bytes(range(256)))])
        self.assertEqual(200, status, body)
        self.assertEqual(bytes(range(256)), body[-256:])
        # A path of another request's upload, named in a form, is not this request's.
        _, _, page = post("apart", [("VCEXE", b"echo")], [("file", "other.txt", "text/plain", b"someone else")])
        other = re.search(rb"<td>file</td><td>([^<]*)</td>", page).group(1)
        _, _, body = post("apart", [("VCEXE", b"show_upload"), ("file", other)], [])
        self.assertNotIn(b"someone else", body)
        self.assertIn(b"No uploaded file", body)
        for name in request_entries(dirs["uploads"]):
            shutil.rmtree(os.path.join(dirs["uploads"], name))

    def test_a_request_given_up_takes_its_upload_and_exchange_file_away(self):
        status, _, page = post("late", [("VCEXE", b"never_answers")], [("file", "big.bin", "application/octet-stream",
                                                                            b"x" * 100000)], timeout=120)
        self.assertNotEqual(b"", page)
        self.assertTrue(wait_until(lambda: request_entries(dirs["late_uploads"]) == []
                                   and request_entries(dirs["late_temp"]) == [], 30),
                        (request_entries(dirs["late_uploads"]), request_entries(dirs["late_temp"])))

    def test_windows_programs_get_the_uploads_windows_path(self):
        if not os.access("/usr/bin/wine", os.X_OK):
            self.skipTest("Wine is not installed (make deps installs wine and wine64)")
        if not os.path.isfile(os.path.join(WINE_BACKENDS, "wine_echo.exe")):
            self.skipTest("the Windows back-ends were not built (make deps installs MinGW-w64)")
        if subprocess.run(["/usr/bin/wine", "--version"], capture_output=True).returncode != 0:
            self.skipTest("Wine cannot run on this machine")
        status, _, page = post("apart", [("VCEXE", b"wine_echo.exe")], [("file", "w.txt", "text/plain", b"12345")],
                               timeout=120)
        self.assertEqual(200, status, page)
        windows = "Z:" + dirs["uploads"].replace("/", "\\") + "\\VCU"
        self.assertIn(windows.encode(), page)
        self.assertIn(b"upload-size=5", page)
        for name in request_entries(dirs["uploads"]):
            shutil.rmtree(os.path.join(dirs["uploads"], name))


def directory_of_length(length):
    """A directory made under /tmp whose path is `length` bytes long, and the top to remove."""
    base = tempfile.mkdtemp(prefix="karvel-long-", dir="/tmp")
    path = base
    while len(path) < length:
        path = os.path.join(path, "d" * min(200, max(1, length - len(path) - 1)))
    os.makedirs(path[:length], exist_ok=True)
    return base, path[:length]


class UploadDirRefusedAtStart(unittest.TestCase):
    def test_a_directory_too_long_or_missing_is_refused_by_the_check(self):
        for length, expected in ((236, "at most 235"), (None, "not a directory")):
            with self.subTest(length=length):
                base, path = directory_of_length(length) if length else (None, "/nonexistent/karvel-uploads")
                try:
                    with self.assertRaises(RuntimeError) as failure:
                        Server(probe=False, includes=['KarvelUploadDir "%s"' % path]).stop()
                    self.assertIn("KarvelUploadDir", str(failure.exception))
                    self.assertIn(expected, str(failure.exception))
                finally:
                    if base:
                        shutil.rmtree(base, ignore_errors=True)
        # The longest that fits starts.
        base, path = directory_of_length(235)
        try:
            Server(probe=False, includes=['KarvelUploadDir "%s"' % path]).stop()
        finally:
            shutil.rmtree(base, ignore_errors=True)


class MissingDirectoriesMadeAtStart(unittest.TestCase):
    def test_a_missing_last_part_is_made_for_the_servers_user(self):
        # As after a reboot that emptied /run with nothing to read tmpfiles.d: the start makes them.
        parent = tempfile.mkdtemp(prefix="karvel-e2e-made-", dir="/tmp")
        os.chmod(parent, 0o755)
        temp, uploads = os.path.join(parent, "run-karvel"), os.path.join(parent, "uploads")
        made = None
        try:
            made = Server(probe=False, log_level="notice", includes=[
                'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /made/VC_KARVEL2.dll',
                '<Location "/made">\n    KarvelTempDir "%s"\n    KarvelUploadDir "%s"\n</Location>' % (temp, uploads)])
            user = os.stat(os.path.join(made.stage, "tmp")).st_uid
            for path in (temp, uploads):
                info = os.stat(path)
                self.assertEqual((0o700, user), (info.st_mode & 0o7777, info.st_uid), path)
                self.assertIn("%s was missing: made it" % path, made.log_text())
            data, ctype = multipart([("VCEXE", b"echo")], [("file", "a.txt", "text/plain", b"12345")])
            status, _, page = made.request("POST", "/made/VC_KARVEL2.dll", data, {"Content-Type": ctype})
            self.assertEqual(200, status, page)
            self.assertIn(("<td>%s/VCU" % uploads).encode(), page)
            self.assertTrue(wait_until(lambda: os.listdir(temp) == [], 5), os.listdir(temp))
        finally:
            if made:
                made.stop()
            shutil.rmtree(parent, ignore_errors=True)


class KarvelRunUploadDir(unittest.TestCase):
    def test_the_upload_goes_to_the_directory_given_and_is_removed_at_the_end(self):
        upload = os.path.join(dirs["run_uploads"], "..", os.path.basename(dirs["run_uploads"]) + "-source.bin")
        with open(upload, "wb") as f:
            f.write(b"run bytes")
        try:
            program = os.path.join(BUILD, "bin", "backends", "echo")
            out = subprocess.run([KARVEL_RUN, "--upload-dir", dirs["run_uploads"], program, "file=@" + upload],
                                 capture_output=True, timeout=60)
            self.assertEqual(0, out.returncode, out.stderr)
            found = re.search(rb"<td>file</td><td>([^<]*)</td><td>9 bytes</td>", out.stdout)
            self.assertIsNotNone(found, out.stdout)
            self.assertEqual(os.path.realpath(dirs["run_uploads"]),
                             os.path.dirname(os.path.dirname(found.group(1).decode())))
            self.assertEqual([], os.listdir(dirs["run_uploads"]), "removed at the end")
        finally:
            os.remove(upload)


if __name__ == "__main__":
    unittest.main()
