"""Which program runs and with which settings: a directory inside the back-end directory swapped for
a link while requests run never starts the program it leads to, a site setting longer than the
extension can take is refused when the configuration is checked, and each site's Windows
directories hold for its own Windows programs and file answers only."""
import os
import shutil
import tempfile
import threading
import unittest
import urllib.parse

from karvel_e2e import BUILD, SCRIPT, SOURCE, Server
from test_wine import why_not_runnable

SWAPS = 2000


def long_directory(length):
    """A directory made under /tmp whose path is `length` bytes long."""
    base = tempfile.mkdtemp(prefix="karvel-long-", dir="/tmp")
    path = base
    while len(path) < length:
        path = os.path.join(path, "d" * min(200, max(1, length - len(path) - 1)))
    path = path[:length]
    os.makedirs(path, exist_ok=True)
    return base, path


class OverlongSettings(unittest.TestCase):
    """Each path setting with a fixed room in the extension, one byte over that room."""

    CASES = [
        ("KarvelBackendDir", 260, 'KarvelBackendDir "%s"', "at most 259"),
        ("KarvelTempDir", 236, 'KarvelTempDir "%s"', "at most 235"),
        ("KarvelWindowsPath", 260, 'KarvelWindowsPath C:\\apps "%s"', "at most 259"),
        ("KarvelWinePrefix", 230, 'KarvelWinePrefix "%s"', "at most 229"),
    ]

    def test_a_setting_that_does_not_fit_is_refused_by_the_check(self):
        for directive, length, line, limit in self.CASES:
            with self.subTest(directive):
                base, path = long_directory(length)
                try:
                    with self.assertRaises(RuntimeError) as failure:
                        Server(probe=False, includes=[line % path]).stop()
                    self.assertIn(directive, str(failure.exception))
                    self.assertIn(limit, str(failure.exception))
                finally:
                    shutil.rmtree(base, ignore_errors=True)

    def test_the_longest_that_fits_starts(self):
        base, path = long_directory(259)
        try:
            Server(probe=False, includes=['<Location "/scripts/long">\n    KarvelBackendDir "%s"\n</Location>'
                                          % path]).stop()
        finally:
            shutil.rmtree(base, ignore_errors=True)


class DirectorySwappedForALink(unittest.TestCase):
    def test_the_program_elsewhere_never_runs(self):
        server = Server(probe=False, log_level="warn")
        outside = tempfile.mkdtemp(prefix="karvel-outside-", dir="/tmp")
        try:
            marker = os.path.join(outside, "ran")
            os.mkdir(os.path.join(outside, "race"))
            program = os.path.join(outside, "race", "echo")
            with open(program, "w") as f:
                f.write("#!/bin/sh\ntouch %s\n" % marker)
            os.chmod(program, 0o755)
            inside = os.path.join(server.stage, "backends", "race")
            os.mkdir(inside)
            shutil.copy(os.path.join(server.stage, "backends", "echo"), os.path.join(inside, "echo"))
            done = threading.Event()

            def swap():
                kept = inside + ".kept"
                for _ in range(SWAPS):
                    os.rename(inside, kept)
                    os.symlink(os.path.join(outside, "race"), inside)
                    os.unlink(inside)
                    os.rename(kept, inside)
                done.set()

            statuses = []

            def ask():
                while not done.is_set():
                    status, _, _ = server.request("GET", SCRIPT + "?VCEXE=race/echo&who=anyone")
                    statuses.append(status)

            swapper = threading.Thread(target=swap)
            askers = [threading.Thread(target=ask) for _ in range(4)]
            for thread in askers + [swapper]:
                thread.start()
            for thread in [swapper] + askers:
                thread.join()
            self.assertTrue(statuses)
            self.assertFalse(os.path.exists(marker), "the program outside the back-end directory ran")
            # Once the directory stays, its program runs.
            status, _, body = server.request("GET", SCRIPT + "?VCEXE=race/echo&who=anyone")
            self.assertEqual(200, status)
            self.assertIn(b"<td>who</td><td>anyone</td>", body)
        finally:
            server.stop()
            shutil.rmtree(outside, ignore_errors=True)


class WindowsPathsPerSite(unittest.TestCase):
    """Sites a and b both map C:\\apps, each to a directory of its own holding secret.txt."""

    @classmethod
    def setUpClass(cls):
        reason = why_not_runnable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.dirs = {site: tempfile.mkdtemp(prefix="karvel-site-%s-" % site, dir="/tmp") for site in "ab"}
        for site, directory in cls.dirs.items():
            os.chmod(directory, 0o755)
            with open(os.path.join(directory, "secret.txt"), "w") as f:
                f.write("secret of %s\n" % site)
            # A file answer is opened for writing too (a file the server may not change is not sent).
            os.chmod(os.path.join(directory, "secret.txt"), 0o666)
        includes = []
        for site, directory in cls.dirs.items():
            includes += ['KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /%s/VC_KARVEL2.dll' % site,
                         '<Location "/%s">\n    KarvelWindowsPath C:\\apps "%s"\n</Location>' % (site, directory)]
        cls.server = Server(probe=False, log_level="warn", includes=includes)
        # A native program that answers with the file its form names (result code 4), as a Windows
        # path left for the server to find (the kit's answer_file would resolve it here).
        # The kit goes beside it: the server's user may not reach into the checkout (under /root).
        backends = os.path.join(cls.server.stage, "backends")
        shutil.copy(os.path.join(SOURCE, "backend", "python", "karvel_backend.py"), backends)
        os.chmod(os.path.join(backends, "karvel_backend.py"), 0o644)
        answering = os.path.join(backends, "answer_named.py")
        with open(answering, "w") as f:
            f.write("#!/usr/bin/python3\nimport sys\nimport karvel_backend as kb\n"
                    "kb._write_answer(sys.argv[1], b'4', kb.read_request(sys.argv[1]).find('path'))\n")
        os.chmod(answering, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        for directory in cls.dirs.values():
            shutil.rmtree(directory, ignore_errors=True)

    def opened(self, site):
        body = urllib.parse.urlencode({"VCEXE": "wine_echo.exe", "open": "C:\\apps\\secret.txt"}).encode()
        status, _, page = self.server.request("POST", "/%s/VC_KARVEL2.dll" % site, body,
                                              {"Content-Type": "application/x-www-form-urlencoded"}, timeout=180)
        self.assertEqual(200, status, page)
        lines = dict(line.split(b"=", 1) for line in page.split(b"\n") if b"=" in line)
        return lines.get(b"opened")

    def test_each_sites_programs_read_their_own_directory(self):
        for site in "abab":
            self.assertEqual(("secret of %s" % site).encode(), self.opened(site), site)

    def test_requests_of_both_sites_at_once(self):
        seen = []

        def ask(site):
            for _ in range(3):
                seen.append((site, self.opened(site)))

        threads = [threading.Thread(target=ask, args=(site,)) for site in "abab"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(12, len(seen))
        for site, opened in seen:
            self.assertEqual(("secret of %s" % site).encode(), opened, site)

    def test_file_answers_follow_their_own_sites_mapping(self):
        for site in "bab":
            # The site's prefix exists once one of its Windows programs ran.
            self.opened(site)
            query = urllib.parse.urlencode({"VCEXE": "answer_named.py", "path": "C:\\apps\\secret.txt"})
            status, _, page = self.server.request("GET", "/%s/VC_KARVEL2.dll?%s" % (site, query))
            self.assertEqual((200, ("secret of %s\n" % site).encode()), (status, page), site)


class WineUploadNames(unittest.TestCase):
    def test_uploads_whose_names_convert_alike_keep_their_own_bytes(self):
        reason = why_not_runnable()
        if reason:
            self.skipTest(reason)
        server = Server(probe=False, log_level="warn")
        try:
            # 0xED40 and 0xFA5C are one character in code page 932: both names become one UTF-8 name.
            boundary = b"----karvelPathsBoundary"
            parts = [b'Content-Disposition: form-data; name="_charset_"\r\n\r\nShift_JIS',
                     b'Content-Disposition: form-data; name="VCEXE"\r\n\r\nwine_echo.exe']
            for field, name, data in ((b"f1", b"\xed\x40.txt", b"11111"), (b"f2", b"\xfa\x5c.txt", b"222")):
                parts.append(b'Content-Disposition: form-data; name="' + field + b'"; filename="' + name
                             + b'"\r\nContent-Type: text/plain\r\n\r\n' + data)
            body = b"".join(b"--" + boundary + b"\r\n" + part + b"\r\n" for part in parts) + b"--" + boundary + b"--\r\n"
            status, _, page = server.request("POST", SCRIPT, body,
                                             {"Content-Type": "multipart/form-data; boundary=" + boundary.decode()},
                                             timeout=180)
            self.assertEqual(200, status, page)
            lines = page.split(b"\n")
            sizes = [line for line in lines if line.startswith(b"upload-size=")]
            self.assertEqual([b"upload-size=5", b"upload-size=3"], sizes, page)
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
