"""Which program runs and with which settings: a directory inside the back-end directory swapped for
a link while requests run never starts the program it leads to, and a site setting longer than the
extension can take is refused when the configuration is checked."""
import os
import shutil
import tempfile
import threading
import unittest

from karvel_e2e import SCRIPT, Server

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
        ("KarvelWinePrefix", 260, 'KarvelWinePrefix "%s"', "at most 259"),
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


if __name__ == "__main__":
    unittest.main()
