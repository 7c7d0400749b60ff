"""A site whose programs run as its own user runs its Windows programs in that user's Wine prefix,
as that user: its wineserver is the user's, its answers as under the server's user, its sub-prefix
for Windows paths made as the user; a user site without a prefix of its own is refused with the
reason, never run in the server user's prefix. Root only, where Wine is installed."""
import os
import pwd
import secrets
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import BUILD, SOURCE, Server, error_page, wait_until
from test_wine import WINE_BACKENDS, echo_lines, prefix_path, why_not_runnable

SETUP = os.path.join(SOURCE, "host", "tools", "karvel-wine-setup")
server = None
made = {"user": None, "dirs": []}


def processes_of(uid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.stat("/proc/" + entry).st_uid == uid:
                found.append(int(entry))
        except OSError:
            pass
    return found


def remove_everything():
    """Runs even when setUpModule failed half-way: the server, the user's processes (by their
    ids), the user and what was made for it."""
    if server is not None:
        server.stop()
    name = made["user"]
    if name is not None:
        try:
            uid = pwd.getpwnam(name).pw_uid
        except KeyError:
            uid = None
        if uid is not None:
            for pid in processes_of(uid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            wait_until(lambda: not processes_of(uid), 10)
            shutil.rmtree("/tmp/.wine-%d" % uid, ignore_errors=True)
        subprocess.run(["userdel", name], capture_output=True)
    for path in made["dirs"]:
        shutil.rmtree(path, ignore_errors=True)


def wine_processes(prefix):
    """(pid, command) of the processes whose Wine prefix is `prefix` or a sub-prefix inside it."""
    found = []
    marker = b"WINEPREFIX=" + prefix.encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                variables = f.read().split(b"\0")
            with open("/proc/%s/comm" % entry) as f:
                command = f.read().strip()
        except OSError:
            continue
        if any(v == marker or v.startswith(marker + b"/") for v in variables):
            found.append((int(entry), command))
    return found


def owner_of(pid):
    return subprocess.run(["ps", "-o", "user=", "-p", str(pid)], capture_output=True, text=True).stdout.strip()


def setUpModule():
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root: it makes a user and runs the server as root")
    reason = why_not_runnable()
    if reason:
        raise unittest.SkipTest(reason)
    unittest.addModuleCleanup(remove_everything)
    name = "kvw" + secrets.token_hex(4)
    subprocess.run(["useradd", "-M", "-U", "-K", "UID_MIN=1000", "-s", "/usr/sbin/nologin", name], check=True)
    made["user"] = name
    base = tempfile.mkdtemp(prefix="karvel-wineuser-", dir="/tmp")
    made["dirs"].append(base)
    os.chmod(base, 0o755)
    prefix = os.path.join(base, "wine")
    subprocess.run([SETUP, "--user", name, "--prefix", prefix, "--no-locale"], check=True, capture_output=True,
                   timeout=300)
    # The site's programs: root's, in a directory only root writes.
    backends = os.path.join(base, "backends")
    os.mkdir(backends, 0o755)
    shutil.copy(os.path.join(WINE_BACKENDS, "wine_echo.exe"), backends)
    os.chmod(os.path.join(backends, "wine_echo.exe"), 0o755)
    with open(os.path.join(backends, "data.ini"), "w") as f:
        f.write("[site]\n")
    os.chmod(os.path.join(backends, "data.ini"), 0o644)
    # The site's temporary directories go below one the user may pass through.
    temp = os.path.join(base, "tmp")
    os.mkdir(temp, 0o711)
    os.chown(temp, pwd.getpwnam("www-data").pw_uid, -1)
    made.update(prefix=prefix, backends=backends)
    site = '    KarvelUserGroup %s %s\n    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n' % (name, name, backends, temp)
    global server
    server = Server(probe=False, log_level="warn", includes=[
        '<VirtualHost *:@PORT@>\n    ServerName own.test\n%s    KarvelWinePrefix "%s"\n</VirtualHost>' % (site, prefix),
        '<VirtualHost *:@PORT@>\n    ServerName mapped.test\n%s    KarvelWinePrefix "%s"\n'
        '    KarvelWindowsPath C:\\apps "%s"\n</VirtualHost>' % (site, prefix, backends),
        '<VirtualHost *:@PORT@>\n    ServerName none.test\n%s</VirtualHost>' % site])


def post(host, fields):
    body = "&".join(urllib.parse.quote_from_bytes(k) + "=" + urllib.parse.quote_from_bytes(v) for k, v in fields)
    return server.request("POST", "/scripts/VC_KARVEL2.dll", body.encode(),
                          {"Host": host, "Content-Type": "application/x-www-form-urlencoded"}, timeout=120)


class WindowsProgramsOfAUserSite(unittest.TestCase):
    def test_a_shift_jis_form_is_answered_by_the_users_wine(self):
        sjis = "テスト①㈱".encode("cp932") + b"\xfb\xfc"
        for name, host, program in [("its own prefix", "own.test", b"wine_echo.exe"),
                                    ("its sub-prefix for Windows paths", "mapped.test", b"C:\\apps\\wine_echo.exe")]:
            with self.subTest(name):
                status, headers, body = post(host, [(b"VCEXE", program), (b"name", sjis),
                                                    (b"open", b"C:\\apps\\data.ini")])
                self.assertEqual(200, status, body)
                lines = echo_lines(body)
                self.assertEqual((b"932", sjis), (lines.get(b"acp"), lines.get(b"name")),
                                 body + server.log_text()[-2000:].encode())
        # Only the site with Windows paths sees C:\apps.
        self.assertEqual(b"[site]", echo_lines(post("mapped.test", [(b"VCEXE", b"wine_echo.exe"),
                                                                   (b"open", b"C:\\apps\\data.ini")])[2])[b"opened"])
        # Every Wine process of the user's prefix (its wineservers above all) is the user's.
        processes = wine_processes(made["prefix"])
        # One wineserver for the prefix, one for the sub-prefix inside it.
        self.assertEqual(2, len([c for _, c in processes if c.startswith("wineserver")]), processes)
        self.assertEqual({made["user"]}, {owner_of(pid) for pid, _ in processes}, processes)
        # The sub-prefix was made as the user, inside its prefix, and left passable.
        sites = os.path.join(made["prefix"], "karvel-sites")
        for path in [sites] + [os.path.join(sites, n) for n in os.listdir(sites)]:
            info = os.stat(path)
            self.assertEqual((pwd.getpwnam(made["user"]).pw_uid, 0o711), (info.st_uid, stat.S_IMODE(info.st_mode)), path)

    def test_a_user_site_without_a_prefix_of_its_own_is_refused_with_the_reason(self):
        before = len(wine_processes(made["prefix"]))
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"),
                         post("none.test", [(b"VCEXE", b"wine_echo.exe")])[2])
        self.assertIn("runs as %s, whose Wine prefix is not set: KarvelWinePrefix in its <VirtualHost>, made by "
                      "karvel-wine-setup --user %s --prefix DIR" % (made["user"], made["user"]), server.log_text())
        self.assertLessEqual(len(wine_processes(made["prefix"])), before)

    def test_the_prefix_is_passable_but_closed(self):
        for path in (made["prefix"], os.path.join(made["prefix"], "dosdevices")):
            info = os.stat(path)
            self.assertEqual((pwd.getpwnam(made["user"]).pw_uid, 0o711), (info.st_uid, stat.S_IMODE(info.st_mode)), path)
        registry = os.stat(os.path.join(made["prefix"], "user.reg"))
        self.assertEqual(0, registry.st_mode & 0o077)

    def test_prefixes_no_site_may_have_are_refused_at_start(self):
        user = made["user"]
        site = '    KarvelUserGroup %s %s\n    KarvelBackendDir "%s"\n' % (user, user, made["backends"])
        for name, lines, refusal in [
            ("a virtual host's prefix without a user of its own", '    KarvelWinePrefix "%s"\n' % made["prefix"],
             "names no KarvelUserGroup of its own"),
            ("the user's inside the server user's", site + '    KarvelWinePrefix "%s/inner"\n' % prefix_path(),
             "a prefix belongs to one user"),
        ]:
            with self.subTest(name):
                with self.assertRaises(RuntimeError) as caught:
                    Server(probe=False, includes=['<VirtualHost *:@PORT@>\n    ServerName bad.test\n%s</VirtualHost>'
                                                  % lines])
                self.assertIn(refusal, str(caught.exception))

    def test_zz_the_users_wineservers_stop_with_the_server(self):
        # (Runs last: it stops the module's server.)
        post("own.test", [(b"VCEXE", b"wine_echo.exe")])
        self.assertTrue(wine_processes(made["prefix"]))
        global server
        server.stop()
        server = None
        self.assertTrue(wait_until(lambda: not wine_processes(made["prefix"]), 60), wine_processes(made["prefix"]))


if __name__ == "__main__":
    unittest.main()
