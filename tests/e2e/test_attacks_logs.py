"""Per-site logs and directives that say what they mean: a program's standard error and its refused
start land in its own virtual host's ErrorLog (with the client and the request's log id, at
KarvelStderrLogLevel, as that host's LogLevel lets through), not in the main server's; time values
take Apache's units (a sub-second time-out really is one); httpd -t refuses a time-out of 0, a URL
mapped twice and units it does not know; an MPM without threads is warned of at the start."""
import os
import pwd
import re
import signal
import subprocess
import sys
import tempfile
import unittest
import uuid

from karvel_e2e import BUILD, Server, behave_url, error_page, free_port, wait_until

APACHE = "/usr/sbin/apache2"
MODULES = "/usr/lib/apache2/modules"
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'
server = None


def setUpModule():
    global server
    server = Server(probe=False, log_level="info", includes=[
        "KarvelExtension %s /quick/VC_KARVEL2.dll" % EXT,
        "KarvelExtension %s /loud/VC_KARVEL2.dll" % EXT,
        '<Location "/quick">\n    Require all granted\n    KarvelBackendTimeout 300ms\n</Location>',
        '<Location "/loud">\n    Require all granted\n</Location>',
        # The main server's URL mapped again in a host of its own is no mistake.
        '<VirtualHost *:@PORT@>\n    ServerName a.test\n    ErrorLog "@CONF@/a.log"\n    LogLevel warn\n'
        '    KarvelStderrLogLevel warn\n    CustomLog "@CONF@/a_access.log" "%L %U"\n'
        '    KarvelExtension ' + EXT + ' /scripts/VC_KARVEL2.dll\n</VirtualHost>',
        '<VirtualHost *:@PORT@>\n    ServerName b.test\n    ErrorLog "@CONF@/b.log"\n    LogLevel error\n'
        '    KarvelStderrLogLevel warn\n'
        '    <Location "/loud">\n        KarvelStderrLogLevel error\n    </Location>\n</VirtualHost>'])


def tearDownModule():
    server.stop()


def log_of(name):
    try:
        with open(os.path.join(server.conf_dir, name), "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def get(host, base, **fields):
    return server.request("GET", behave_url(base, **fields), headers={"Host": host})


def tag():
    return "tag-" + uuid.uuid4().hex


class SiteLogs(unittest.TestCase):
    def test_a_programs_standard_error_lands_in_its_own_hosts_log(self):
        mark = tag()
        status, _, body = get("a.test", "/scripts", do="stderr", tag=mark)
        self.assertEqual((200, b"wrote"), (status, body))
        self.assertTrue(wait_until(lambda: mark in log_of("a.log")), log_of("a.log"))
        line = [l for l in log_of("a.log").splitlines() if mark in l][0]
        found = re.search(r"\[client 127\.0\.0\.1:\d+\] karvel: behave \[([^\]]+)\]: line 1 of " + mark, line)
        self.assertIsNotNone(found, line)
        self.assertIn("[karvel:warn]", line)
        # The id is the request's, as its access log line shows it (written as the request ends).
        access = "%s /scripts/VC_KARVEL2.dll" % found.group(1)
        self.assertTrue(wait_until(lambda: access in log_of("a_access.log")), log_of("a_access.log"))
        # The main server's output holds the access log too: only the program's line is looked for.
        self.assertNotIn("of " + mark, server.log_text())
        self.assertNotIn(mark, log_of("b.log"))

    def test_the_hosts_log_level_decides_whether_a_line_is_written(self):
        # b.test logs at LogLevel error: its programs' warnings are left out, its errors written.
        quiet, loud = tag(), tag()
        self.assertEqual(200, get("b.test", "/scripts", do="stderr", tag=quiet)[0])
        self.assertEqual(200, get("b.test", "/loud", do="stderr", tag=loud)[0])
        self.assertTrue(wait_until(lambda: loud in log_of("b.log")), log_of("b.log"))
        self.assertRegex(log_of("b.log"), r"\[karvel:error\] .*\[client 127\.0\.0\.1:\d+\] karvel: behave \[[^\]]+\]: "
                                          r"line 1 of " + loud)
        for where, text in (("b.log", log_of("b.log")), ("a.log", log_of("a.log")), ("main", server.log_text())):
            self.assertNotIn("of " + quiet, text, where)
        self.assertNotIn("of " + loud, server.log_text())

    def test_a_refused_start_is_one_warning_in_the_hosts_log(self):
        program = os.path.join(server.stage, "backends", "no_interpreter")
        with open(program, "w") as f:
            f.write("#!/nonexistent/interpreter\n")
        os.chmod(program, 0o755)
        status, _, body = server.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=no_interpreter",
                                         headers={"Host": "a.test"})
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), body)
        pattern = (r"\[karvel:warn\] .*\[client 127\.0\.0\.1:\d+\] karvel: cannot start no_interpreter "
                   r"\[[^\]]+\]: No such file or directory")
        self.assertTrue(wait_until(lambda: re.search(pattern, log_of("a.log"))), log_of("a.log"))
        self.assertEqual(1, len(re.findall(pattern, log_of("a.log"))))
        self.assertNotIn("cannot start no_interpreter", server.log_text())


FORGED = r'''
import socket, struct, sys
path, program, site, name = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
def packet(kind, payload):
    return struct.pack("=II", kind, len(payload)) + payload
# The fixed part: no cap, the queue's and the grace's times, stop, no limits, not Wine, one variable,
# the site and the level (error).
order = (struct.pack("=IIII", 0, 1000, 300, 1) + struct.pack("=6q", *([-1] * 6))
         + struct.pack("=IIIII4x16x", 0, 0, 1, site, 3))
for text in (program, "/nonexistent/x", "forged", "-", "", "", "203.0.113.5:1", name):
    order += text.encode() + b"\0"
order += b"PATH=/usr/bin:/bin\0"
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(path)
s.send(packet(1, order))
print(struct.unpack("=I", s.recv(65536)[:4])[0])
# kDone: answered, no instance's word, the result "1" and no reason.
s.send(packet(5, struct.pack("=II", 1, 0) + b"1\0\0"))
'''


class ForgedSites(unittest.TestCase):
    def test_a_site_the_spawner_does_not_know_by_that_place_and_name_is_the_main_servers(self):
        # A peer on the spawner's socket names a site by a place that holds another site, or none:
        # its program's lines go to the main server's log, saying so, never to another host's.
        sockets = [n for n in os.listdir(os.path.join(server.stage, "run")) if n.startswith("karvel-spawner.")]
        self.assertEqual(1, len(sockets))
        for site, name in ((1, "nonsense"), (2, ""), (99, "a.test")):
            with self.subTest(site=site, name=name):
                mark = tag()
                program = os.path.join(server.stage, "backends", mark)
                with open(program, "w") as f:
                    f.write("#!/bin/sh\necho %s >&2\n" % mark)
                os.chmod(program, 0o755)
                # The spawner serves peers of the server's user only: the forger is one.
                user = {}
                if os.geteuid() == 0:
                    user = {"user": "www-data", "group": pwd.getpwnam("www-data").pw_gid}
                out = subprocess.run([sys.executable, "-c", FORGED, os.path.join(server.stage, "run", sockets[0]),
                                      program, str(site), name], stdout=subprocess.PIPE, text=True, timeout=30, **user)
                self.assertEqual("2\n", out.stdout, "started")
                line = r"\[client 203\.0\.113\.5:1\] karvel: forged \[-\]: %s \(for the site %s, not known" % (
                    mark, re.escape(name))
                self.assertTrue(wait_until(lambda: re.search(line, server.log_text())), server.log_text()[-2000:])
                self.assertNotIn(mark, log_of("a.log") + log_of("b.log"))


class SubSecondTimeOut(unittest.TestCase):
    def test_300ms_is_neither_nothing_nor_seconds(self):
        # Not 0: a program that answers at once is waited for ...
        self.assertEqual((200, b"slept"), get("a.test", "/quick", do="sleep", seconds="0")[::2])
        # ... nor 300 seconds: one that answers after two is not.
        self.assertEqual(error_page("EXE Load Error(Time Out)"), get("a.test", "/quick", do="sleep", seconds="2")[2])


def config_check(body, mpm="event"):
    """httpd -t on a small configuration that loads mod_karvel and holds `body`: (passed, its output)."""
    with tempfile.TemporaryDirectory(prefix="karvel-e2e-logs-") as root:
        path = os.path.join(root, "httpd.conf")
        with open(path, "w") as f:
            f.write(base_config(root, mpm) + body.replace("@ROOT@", root) + "\n")
        out = subprocess.run([APACHE, "-t", "-f", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, timeout=60, env=httpd_env())
        return out.returncode == 0, out.stdout.replace(root, "@ROOT@")


def base_config(root, mpm):
    user = "User www-data\nGroup www-data\n" if os.geteuid() == 0 else ""
    return ('ServerRoot "%s"\nServerName 127.0.0.1\nListen 127.0.0.1:%d\nPidFile "%s/httpd.pid"\n'
            'DefaultRuntimeDir "%s"\nMutex file:%s default\n%s'
            "LoadModule mpm_%s_module %s/mod_mpm_%s.so\n"
            "LoadModule authz_core_module %s/mod_authz_core.so\n"
            'LoadModule karvel_module "%s/lib/mod_karvel.so"\n'
            'ErrorLog "%s/error.log"\nLogLevel info\n'
            % (root, free_port(), root, root, root, user, mpm, MODULES, mpm, MODULES, BUILD, root))


def httpd_env():
    env = dict(os.environ)
    preload = env.get("KARVEL_HTTPD_PRELOAD", "")
    if preload:
        env["LD_PRELOAD"] = preload
    return env


EXTENSION = os.path.join(BUILD, "lib", "VC_KARVEL2.so")


class ConfigurationChecks(unittest.TestCase):
    def test_time_values_take_apaches_units_and_nothing_else(self):
        refused = [
            ("KarvelBackendTimeout 0", "KarvelBackendTimeout: 0 would time every request out at once"),
            ("KarvelBackendTimeout 0ms", "KarvelBackendTimeout: 0ms would time every request out at once"),
            ("KarvelBackendTimeout 0", "leave KarvelBackendTimeout out (a request then waits until the clock's minute"),
            ("KarvelBackendTimeout 5x", "KarvelBackendTimeout: not a time from 0 to 86400s: 5x"),
            ("KarvelBackendTimeout 1.5s", "KarvelBackendTimeout: not a time from 0 to 86400s: 1.5s"),
            ("KarvelBackendTimeout 25h", "KarvelBackendTimeout: not a time from 0 to 86400s: 25h"),
            ("KarvelBackendTimeout 5sec", "KarvelBackendTimeout: not a time"),
            ("KarvelBackendTimeout 10M", "KarvelBackendTimeout: not a time"),
            ("KarvelQueueTimeout -1", "KarvelQueueTimeout: not a time from 0 to 100000s: -1"),
            ("KarvelQueueTimeout 5min", "KarvelQueueTimeout: not a time"),
            ("KarvelKillGrace 2d", "KarvelKillGrace: not a time from 0 to 3600s: 2d"),
            ("KarvelKillGrace 61m", "KarvelKillGrace: not a time from 0 to 3600s: 61m"),
            ("<Location /x>\n KarvelBackendTimeout 0s\n</Location>", "KarvelBackendTimeout: 0s would time"),
            ("KarvelStderrLogLevel loud", "KarvelStderrLogLevel: "),
            ("KarvelExtension off", "KarvelExtension off belongs in a <VirtualHost>"),
        ]
        for line, text in refused:
            with self.subTest(line=line):
                passed, output = config_check(line)
                self.assertFalse(passed, output)
                self.assertIn(text, output)
        accepted = ["KarvelBackendTimeout 1500ms", "KarvelBackendTimeout 2m", "KarvelBackendTimeout 2mi",
                    "KarvelBackendTimeout 1h", "KarvelBackendTimeout 30", "KarvelBackendTimeout 86400s",
                    "KarvelQueueTimeout 500ms", "KarvelQueueTimeout 0", "KarvelKillGrace 0",
                    "KarvelKillGrace 1mi", "KarvelKillGrace 3600", "KarvelStderrLogLevel trace8",
                    "KarvelStderrLogLevel warn"]
        for line in accepted:
            with self.subTest(line=line):
                passed, output = config_check(line)
                self.assertTrue(passed, output)

    def test_a_url_mapped_twice_in_one_server_is_refused_naming_both_places(self):
        with tempfile.TemporaryDirectory(prefix="karvel-e2e-logs-inc-") as other:
            included = os.path.join(other, "more.conf")
            with open(included, "w") as f:
                f.write("# more mappings\nKarvelExtension %s /twice/\n" % EXTENSION)
            here = r"@ROOT@/httpd\.conf:(\d+)"
            cases = [
                # Two lines of one file, the second spelled with a trailing '/'.
                ("KarvelExtension %s /twice\nKarvelExtension %s /twice/" % (EXTENSION, EXTENSION), here),
                # The main server's and a file it includes.
                ("KarvelExtension %s /twice\nInclude %s" % (EXTENSION, included), re.escape(included) + ":2"),
                # One virtual host's, across the same two files.
                ("<VirtualHost *:80>\nServerName v.test\nKarvelExtension %s /twice\nInclude %s\n</VirtualHost>"
                 % (EXTENSION, included), re.escape(included) + ":2"),
            ]
            for body, second in cases:
                with self.subTest(body=body):
                    passed, output = config_check(body)
                    self.assertFalse(passed, output)
                    found = re.search("KarvelExtension: the URL /twice is mapped twice in this server: at " + here
                                      + " and at " + second, output)
                    self.assertIsNotNone(found, output)
                    if second == here:
                        self.assertEqual(int(found.group(1)) + 1, int(found.group(2)), output)
            # The same URL in the main server and in each of two hosts: each server maps it once.
            passed, output = config_check(
                "KarvelExtension %s /twice\n" % EXTENSION
                + "".join("<VirtualHost *:80>\nServerName %s\nKarvelExtension %s /twice\n</VirtualHost>\n"
                          % (name, EXTENSION) for name in ("v.test", "w.test")))
            self.assertTrue(passed, output)


class UnthreadedMpm(unittest.TestCase):
    def test_prefork_is_warned_of_at_the_start(self):
        if not os.path.exists(os.path.join(MODULES, "mod_mpm_prefork.so")):
            self.skipTest("the prefork MPM module (%s/mod_mpm_prefork.so) is not installed" % MODULES)
        with tempfile.TemporaryDirectory(prefix="karvel-e2e-prefork-") as root:
            os.chmod(root, 0o755)
            path = os.path.join(root, "httpd.conf")
            with open(path, "w") as f:
                f.write(base_config(root, "prefork") + "StartServers 1\nMinSpareServers 1\nMaxSpareServers 1\n")
            log = os.path.join(root, "error.log")
            # In a session of its own: the prefork parent signals its whole process group as it stops.
            httpd = subprocess.Popen([APACHE, "-f", path, "-DFOREGROUND"], env=httpd_env(), start_new_session=True)
            try:
                # Stopped only once it serves: a parent signalled before its MPM runs ends at once and
                # leaves its spawner behind.
                warned = wait_until(lambda: "resuming normal operations" in read(log)) and \
                    "MPM runs no threads" in read(log)
            finally:
                httpd.send_signal(signal.SIGTERM)
                httpd.wait(timeout=30)
                stop_processes_of(path)
            self.assertTrue(warned, read(log))
            self.assertRegex(read(log), r"\[karvel:warn\] .*karvel: the prefork MPM runs no threads: each request "
                                        r"waiting for its back-end's answer holds a whole child process")
        # The event MPM the tests' server runs is not warned of.
        self.assertNotIn("MPM runs no threads", server.log_text())


def stop_processes_of(config):
    """Ends what is left of a server started with `config` (its spawner, should it outlive it)."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if config.encode() in f.read().split(b"\0"):
                    os.kill(int(entry), signal.SIGKILL)
        except (OSError, ValueError):
            pass


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


if __name__ == "__main__":
    unittest.main()
