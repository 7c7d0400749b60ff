"""A checkout inside a directory the server's user cannot enter (root's home is 0700 on Debian):
host/tools/karvel-httpd and host/tools/karvel-cluster, started as root, put everything that user must reach (the
stage, the Wine prefix, nginx's temp files) where it can, or refuse with one clear line. Here the
build and the scripts are copied into a fresh 0700 directory and started from there."""
import http.client
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import BUILD, SCRIPT, SOURCE, Server, free_port, free_port_block
from test_wine import why_not_runnable

SERVER_USER = "www-data"
closed = None


def reachable(path, test):
    """Whether the server's user passes `test -<test> path` (r: read, w: write, x: enter/run)."""
    return subprocess.run(["runuser", "-u", SERVER_USER, "--", "test", "-" + test, path],
                          stdin=subprocess.DEVNULL).returncode == 0


def conf_values(conf, directive):
    values = []
    with open(conf) as f:
        for line in f:
            words = line.split(None, 1)
            if len(words) == 2 and words[0] == directive:
                values.append(words[1].strip().strip('"'))
    return values


def get(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def stop(pid):
    try:
        os.kill(pid, 15)
    except ProcessLookupError:
        return
    for _ in range(100):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)


# The libraries an instrumented build's modules need loaded before Apache starts (as Server passes).
PRELOAD = [lib for lib in os.environ.get("KARVEL_HTTPD_PRELOAD", "").split(":") if lib]


def run_logged(args, timeout):
    """Runs a launcher: its standard error goes to a file, as a server it leaves running keeps it
    open (a pipe would never end); the result has it as .stderr."""
    with tempfile.TemporaryFile("w+") as log:
        out = subprocess.run(args, stdout=subprocess.PIPE, stderr=log, text=True, timeout=timeout)
        log.seek(0)
        out.stderr = log.read()
    return out


def launcher_output(*args):
    preload = [word for lib in PRELOAD for word in ("--preload", lib)]
    return run_logged([closed.launcher, "--build", closed.build] + list(args) + preload, 180)


class ClosedCheckout:
    """The scripts, the demo site and the build's output, in a directory only root may enter."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="karvel-closed-checkout-")
        os.chmod(self.top, 0o700)
        self.source = os.path.join(self.top, "karvel")
        self.build = os.path.join(self.source, "build")
        for part in ("host", "demo"):
            shutil.copytree(os.path.join(SOURCE, part), os.path.join(self.source, part), symlinks=True)
        for part in ("lib", "bin"):
            shutil.copytree(os.path.join(BUILD, part), os.path.join(self.build, part), symlinks=True)
        self.launcher = os.path.join(self.source, "host", "tools", "karvel-httpd")

    def wine_prefix(self):
        return launcher_output("--print-wine-prefix").stdout.strip()

    def remove(self):
        prefix = self.wine_prefix()
        if prefix and not prefix.startswith(self.top):
            shutil.rmtree(prefix, ignore_errors=True)
            if os.path.exists(prefix + ".lock"):
                os.remove(prefix + ".lock")
        shutil.rmtree(self.top, ignore_errors=True)


def setUpModule():
    if os.geteuid() != 0:
        raise unittest.SkipTest("the server runs as another user only when started as root")
    if subprocess.run(["id", SERVER_USER], capture_output=True).returncode != 0:
        raise unittest.SkipTest("no user %s here" % SERVER_USER)
    global closed
    closed = ClosedCheckout()
    if reachable(closed.build, "x"):
        closed.remove()
        raise unittest.SkipTest("%s enters 0700 directories here (a file system without permissions)" % SERVER_USER)


def tearDownModule():
    if closed:
        closed.remove()


class ServerFromAClosedCheckout(unittest.TestCase):
    def test_what_the_server_user_uses_lies_where_it_can_reach_it(self):
        port = free_port()
        out = launcher_output("--port", str(port), "--background", "--log-level", "warn")
        self.assertEqual(0, out.returncode, out.stderr)
        pid = int(out.stdout.split()[-1])
        try:
            conf = os.path.join(closed.build, "host", "httpd-%d.conf" % port)
            # Each directory the children and their programs use, with what they must be able to do.
            for directive, tests in [("DocumentRoot", "rx"), ("KarvelBackendDir", "rx"), ("KarvelTempDir", "rwx"),
                                     ("KarvelWinePrefix", "rwx")]:
                for path in conf_values(conf, directive):
                    with self.subTest(directive=directive, path=path):
                        self.assertFalse(path.startswith(closed.top + "/"), path)
                        if directive == "KarvelWinePrefix" and not os.path.isdir(path):
                            continue  # no Wine here: never made, never used
                        for test in tests:
                            self.assertTrue(reachable(path, test), "%s cannot -%s %s" % (SERVER_USER, test, path))
            status, body = get(port, "/")
            self.assertEqual(200, status, body)
            status, body = get(port, SCRIPT + "?VCEXE=echo&closed=1")
            self.assertEqual(200, status, body)
            self.assertIn(b"<td>closed</td><td>1</td>", body)
        finally:
            stop(pid)
            shutil.rmtree("/tmp/karvel-httpd-%d" % port, ignore_errors=True)

    def test_windows_programs_run_from_a_closed_checkout(self):
        reason = why_not_runnable()
        if reason:
            self.skipTest(reason)
        server = Server(probe=False, log_level="warn", build=closed.build, launcher=closed.launcher)
        try:
            body = urllib.parse.urlencode({"VCEXE": "wine_echo.exe", "name": "closed"}).encode()
            status, _, page = server.request("POST", SCRIPT, body, {"Content-Type": "application/x-www-form-urlencoded"},
                                             timeout=120)
            self.assertEqual(200, status, page)
            self.assertIn(b"name=closed", page)
            self.assertNotIn("Wine prefix", server.log_text())
        finally:
            server.stop()

    def test_a_stage_the_server_user_cannot_reach_is_refused_in_one_line(self):
        stage = os.path.join(closed.top, "stage")
        out = launcher_output("--port", str(free_port()), "--stage", stage, "--background")
        if out.returncode == 0:
            stop(int(out.stdout.split()[-1]))  # started all the same: stopped before the failure
        self.assertNotEqual(0, out.returncode, out.stdout)
        lines = [line for line in out.stderr.splitlines() if stage in line]
        self.assertEqual(1, len(lines), out.stderr)
        self.assertIn("cannot reach the stage", lines[0])


class ClusterFromAClosedCheckout(unittest.TestCase):
    def test_nginx_keeps_its_files_where_its_workers_reach_them(self):
        if not os.access("/usr/sbin/nginx", os.X_OK):
            self.skipTest("nginx is not installed (make deps installs nginx-light)")
        if PRELOAD:
            self.skipTest("the cluster starts its nodes without preloaded libraries (an instrumented build)")
        port = free_port_block(2)
        out = run_logged([os.path.join(closed.source, "host", "tools", "karvel-cluster"), "--build", closed.build,
                          "--nodes", "1", "--port", str(port), "--background"], 300)
        pids = [int(line.split()[-1]) for line in out.stdout.splitlines() if line.split()]
        try:
            self.assertEqual(0, out.returncode, out.stderr)
            conf = [os.path.join(d, "nginx.conf") for d in ("/tmp/karvel-cluster-%d" % port,
                                                              os.path.join(closed.build, "cluster-%d" % port))]
            conf = [c for c in conf if os.path.isfile(c)]
            self.assertEqual(1, len(conf), conf)
            with open(conf[0]) as f:
                temp = [words[1].rstrip(";") for words in (line.split() for line in f)
                        if len(words) == 2 and words[0].endswith("_temp_path")]
            self.assertNotEqual([], temp)
            for path in temp:
                with self.subTest(path=path):
                    self.assertFalse(path.startswith(closed.top + "/"), path)
                    self.assertTrue(reachable(os.path.dirname(path), "x"), path)
        finally:
            for pid in pids:
                stop(pid)
            shutil.rmtree("/tmp/karvel-cluster-%d" % port, ignore_errors=True)
            shutil.rmtree("/tmp/karvel-httpd-%d" % (port + 1), ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
