"""The Debian package on this machine, as an operator would use it: build it (make deb, lintian
clean), install it with apt-get, check that Apache has the module enabled, put a back-end program
into /srv/karvel/backends, start the system's Apache, send a Shift_JIS form with an upload, then
stop Apache, purge the package and check that nothing of it is left. Runs only as root on Debian
with the system's Apache stopped; the machine is left as it was found, also when a step fails."""
import http.client
import os
import shutil
import socket
import subprocess
import time
import unittest

SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("KARVEL_BUILD_DIR", os.path.join(SOURCE, "build"))
PACKAGE = "libapache2-mod-karvel"
BACKENDS = "/srv/karvel/backends"


def run(*args, check=True):
    return subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          check=check)


def installed(package):
    out = run("dpkg-query", "-W", "-f=${Status}", package, check=False).stdout
    return "ok installed" in out


def port_taken(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def reason_to_skip():
    if os.geteuid() != 0:
        return "installing a package needs root"
    if not shutil.which("dpkg") or not shutil.which("apt-get") or not os.path.isdir("/etc/apache2"):
        return "not a Debian machine with apache2"
    if installed(PACKAGE):
        return "%s is installed here already: an operator's, not the test's to touch" % PACKAGE
    if port_taken(80) or run("pgrep", "-x", "apache2", check=False).stdout.strip():
        return "the system's Apache (or something on port 80) runs: not the test's to stop"
    return None


class Package(unittest.TestCase):
    def setUp(self):
        reason = reason_to_skip()
        if reason:
            self.skipTest(reason)
        self.created_srv = not os.path.exists("/srv/karvel")
        self.addCleanup(self.restore)

    def restore(self):
        run("apache2ctl", "stop", check=False)
        for _ in range(100):
            if not run("pgrep", "-x", "apache2", check=False).stdout.strip():
                break
            time.sleep(0.1)
        if installed(PACKAGE) or run("dpkg-query", "-W", PACKAGE, check=False).returncode == 0:
            run("apt-get", "purge", "-y", PACKAGE, check=False)
        if os.path.exists(os.path.join(BACKENDS, "echo")):
            os.unlink(os.path.join(BACKENDS, "echo"))
        if self.created_srv:
            shutil.rmtree("/srv/karvel", ignore_errors=True)

    def test_install_serve_and_purge(self):
        built = run("make", "-C", SOURCE, "deb", check=False)
        self.assertEqual(0, built.returncode, built.stdout[-4000:])
        deb = os.path.join(SOURCE, "build", "deb", "%s_1.0.0_%s.deb" % (PACKAGE, run("dpkg", "--print-architecture").stdout.strip()))
        self.assertTrue(os.path.isfile(deb), deb)
        lint = run("lintian", deb, check=False).stdout
        self.assertNotRegex(lint, r"(?m)^E: ", lint)
        files = [line for line in run("dpkg-deb", "-c", deb).stdout.splitlines()]
        paths = [line.split()[-1].lstrip(".") for line in files if not line.startswith("d")]

        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        out = subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", deb], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(0, out.returncode, out.stdout[-4000:])
        self.assertIn("enabled", run("a2query", "-m", "karvel").stdout)
        # The kit where back-end authors find it, and the command.
        self.assertEqual(0, run("/usr/bin/python3", "-c", "import karvel_backend", check=False).returncode)
        self.assertTrue(os.path.isfile("/usr/include/karvel/karvel_backend.h"))
        self.assertEqual(99, run("emitstatus", "/nonexistent/,x,1,2", check=False).returncode)
        tmp = os.stat("/var/lib/karvel/tmp")
        self.assertEqual(0o700, tmp.st_mode & 0o777)
        self.assertEqual("www-data", run("stat", "-c", "%U", "/var/lib/karvel/tmp").stdout.strip())

        shutil.copy(os.path.join(BUILD, "bin", "backends", "echo"), BACKENDS)
        self.assertIn("Syntax OK", run("apache2ctl", "-t", check=False).stdout)
        start = run("apache2ctl", "start", check=False)
        self.assertEqual(0, start.returncode, start.stdout)
        for _ in range(100):
            if port_taken(80):
                break
            time.sleep(0.1)
        name = "山田太郎".encode("shift_jis")
        body = (b"--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\necho\r\n"
                b"--B\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + name + b"\r\n"
                b"--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\docs\\note.txt\"\r\n"
                b"Content-Type: text/plain\r\n\r\nhello upload\n\r\n--B--\r\n")
        conn = http.client.HTTPConnection("127.0.0.1", 80, timeout=60)
        conn.request("POST", "/scripts/VC_KARVEL2.dll", body, {"Content-Type": "multipart/form-data; boundary=B"})
        response = conn.getresponse()
        page = response.read()
        conn.close()
        self.assertEqual(200, response.status, page)
        self.assertIn(b"<tr><td>name</td><td>" + name + b"</td>", page)
        self.assertIn(b"note.txt</td><td>13 bytes</td>", page)

        run("apache2ctl", "stop", check=False)
        for _ in range(100):
            if not run("pgrep", "-x", "apache2", check=False).stdout.strip():
                break
            time.sleep(0.1)
        os.unlink(os.path.join(BACKENDS, "echo"))
        purge = subprocess.run(["apt-get", "purge", "-y", PACKAGE], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        self.assertEqual(0, purge.returncode, purge.stdout[-4000:])
        self.assertFalse(installed(PACKAGE))
        left = [path for path in paths if os.path.lexists(path)]
        self.assertEqual([], left, "files of the package left after purge")
        self.assertFalse(os.path.exists("/var/lib/karvel"))
        enabled = run("grep", "-rl", "karvel", "/etc/apache2/mods-enabled", "/etc/apache2/conf-enabled", check=False).stdout
        self.assertEqual("", enabled.strip(), "karvel left in Apache's enabled configuration")


if __name__ == "__main__":
    unittest.main()
