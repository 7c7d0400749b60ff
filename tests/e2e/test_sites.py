"""Settings per site: two virtual hosts with back-end and temporary directories of their own, and
settings in <Location> and <Directory> sections, merged the Apache way."""
import os
import pwd
import shutil
import tempfile
import unittest
import urllib.parse

from karvel_e2e import BUILD, SCRIPT, Server, error_page

server = None
dirs = []


def private_dir(programs=()):
    """A directory outside the stage that the server's children can use: programs copied in, or
    owned by the children's user (a temporary directory)."""
    path = tempfile.mkdtemp(prefix="karvel-e2e-site-", dir="/tmp")
    dirs.append(path)
    os.chmod(path, 0o755)
    for name in programs:
        shutil.copy(os.path.join(BUILD, "bin", "test-backends", name), path)
    if not programs and os.geteuid() == 0:
        user = pwd.getpwnam("www-data")
        os.chown(path, user.pw_uid, user.pw_gid)
        os.chmod(path, 0o700)
    return path


def setUpModule():
    global server, backends_b, temp_b
    backends_b = private_dir(["show_env"])
    temp_b = private_dir()
    server = Server(probe=False, log_level="warn", includes=[
        '<Directory "@STAGE@/site">\n    KarvelMaxFields 3\n</Directory>',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /scripts/own/VC_KARVEL2.dll',
        '<VirtualHost *:@PORT@>\n    ServerName a.test\n</VirtualHost>',
        '<VirtualHost *:@PORT@>\n    ServerName b.test\n'
        '    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n'
        '    <Location "/scripts/own">\n        KarvelBackendDir "@STAGE@/backends"\n'
        '        KarvelMaxFields 10\n    </Location>\n</VirtualHost>' % (backends_b, temp_b)])


def tearDownModule():
    server.stop()
    for path in dirs:
        shutil.rmtree(path, ignore_errors=True)


def get(host, path, **fields):
    return server.request("GET", path + "?" + urllib.parse.urlencode(fields), headers={"Host": host})


class Sites(unittest.TestCase):
    def test_each_virtual_host_runs_its_own_programs_in_its_own_temporary_directory(self):
        status, _, body = get("a.test", SCRIPT, VCEXE="show_env")
        self.assertEqual(200, status)
        self.assertIn(b"exchange=" + os.path.join(server.stage, "tmp", "VC").encode(), body)
        status, _, body = get("b.test", SCRIPT, VCEXE="show_env")
        self.assertEqual(200, status)
        self.assertIn(b"exchange=" + os.path.join(temp_b, "VC").encode(), body)
        # echo lies only in a.test's back-end directory: b.test does not run it.
        self.assertIn(b"<td>who</td>", get("a.test", SCRIPT, VCEXE="echo", who="a")[2])
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), get("b.test", SCRIPT, VCEXE="echo", who="b")[2])
        # Nothing of the settings leaks into the environment of the programs or of other sites.
        self.assertNotIn(b"KARVEL_BACKEND_DIR=" + backends_b.encode(), get("a.test", SCRIPT, VCEXE="show_env")[2])

    def test_location_and_directory_sections(self):
        # The site's <Directory> limits fields to 3 on both hosts ...
        self.assertEqual(200, get("a.test", SCRIPT, VCEXE="echo", b="2", c="3")[0])
        self.assertEqual(413, get("a.test", SCRIPT, VCEXE="echo", b="2", c="3", d="4")[0])
        self.assertEqual(413, get("b.test", SCRIPT, VCEXE="show_env", b="2", c="3", d="4")[0])
        # ... and b.test's <Location> overrides it and its own back-end directory.
        status, _, body = get("b.test", "/scripts/own/VC_KARVEL2.dll", VCEXE="echo", b="2", c="3", d="4")
        self.assertEqual(200, status)
        self.assertIn(b"4 fields", body)
        # The same URL on a.test has only the <Directory> setting.
        self.assertEqual(413, get("a.test", "/scripts/own/VC_KARVEL2.dll", VCEXE="echo", b="2", c="3", d="4")[0])


if __name__ == "__main__":
    unittest.main()
