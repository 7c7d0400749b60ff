"""Sites kept apart: two virtual hosts whose programs run as users of their own. Each program runs
with its site's ids, keeps its files in its site's own directory, and reaches nothing of the other
site's (its files, its programs, the spawner); a program that breaks a rule never runs; a file answer
sends only the site's own files. Root only: the test makes two users and removes them again."""
import glob
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import BUILD, Server, error_page, wait_until
from test_attacks_logs import config_check

USERS = ("karvel-e2e-a", "karvel-e2e-b")
# A user in the server's group: the start warns of it.
GROUPED = "karvel-e2e-c"
server = None
made = []


def remove_users():
    for name in USERS + (GROUPED,):
        subprocess.run(["userdel", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["groupdel", name], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def remove_made():
    for path in made:
        shutil.rmtree(path, ignore_errors=True)


def copy_program(name, directory, as_name=None, owner=0, mode=0o755):
    path = os.path.join(directory, as_name or name)
    shutil.copy(os.path.join(BUILD, "bin", "test-backends", name), path)
    os.chown(path, owner, owner if owner == 0 else pwd.getpwuid(owner).pw_gid)
    os.chmod(path, mode)
    return path


def setUpModule():
    global server, ids, www, base, notes
    if os.geteuid() != 0:
        raise unittest.SkipTest("makes users and runs programs as them: root only")
    if shutil.which("useradd") is None:
        raise unittest.SkipTest("useradd is not installed")
    unittest.addModuleCleanup(remove_made)
    unittest.addModuleCleanup(remove_users)
    remove_users()  # what an interrupted run left
    for name in USERS:
        subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group", name], check=True)
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group",
                    "--groups", "www-data", GROUPED], check=True)
    ids = {name: pwd.getpwnam(name) for name in USERS}
    www = pwd.getpwnam("www-data")
    root = tempfile.mkdtemp(prefix="karvel-e2e-users-", dir="/tmp")
    made.append(root)
    os.chmod(root, 0o755)
    dirs = {}
    for name in USERS:
        dirs[name] = os.path.join(root, name)
        os.mkdir(dirs[name], 0o755)
        for program in ("site_probe", "behave"):
            copy_program(program, dirs[name])
    a, b = dirs[USERS[0]], dirs[USERS[1]]
    # What the rules refuse, in site a's directory; and a program a's user owns, which may run.
    copy_program("site_probe", a, "owned_by_b", owner=ids[USERS[1]].pw_uid)
    copy_program("site_probe", a, "group_writable", mode=0o775)
    copy_program("site_probe", a, "others_writable", mode=0o757)
    os.mkdir(os.path.join(a, "open"), 0o755)
    os.chmod(os.path.join(a, "open"), 0o777)
    copy_program("site_probe", os.path.join(a, "open"), "site_probe")
    copy_program("site_probe", a, "own_program", owner=ids[USERS[0]].pw_uid)
    base = os.path.join(root, "tmp")
    os.mkdir(base, 0o711)
    os.chown(base, www.pw_uid, www.pw_gid)
    notes = os.path.join(root, "notes")
    os.mkdir(notes)
    os.chmod(notes, 0o1777)
    # The first host answers what names no other; its programs run as the server's user.
    hosts = '<VirtualHost *:@PORT@>\n    ServerName plain.test\n</VirtualHost>\n'
    for name in USERS:
        hosts += ('<VirtualHost *:@PORT@>\n    ServerName %s.test\n    KarvelUserGroup %s %s\n'
                  '    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n</VirtualHost>\n'
                  % (name[-1], name, name, dirs[name], base))
    hosts += ('<VirtualHost *:@PORT@>\n    ServerName c.test\n    KarvelUserGroup %s %s\n'
              '    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n</VirtualHost>\n' % (GROUPED, GROUPED, a, base))
    server = Server(probe=False, log_level="warn", includes=[hosts])


def tearDownModule():
    if server is not None:
        server.stop()


def get(site, **fields):
    return server.request("GET", "/scripts/VC_KARVEL2.dll?" + urllib.parse.urlencode(fields),
                          headers={"Host": site + ".test"})


def probe(site, program="site_probe", **fields):
    status, _, body = get(site, VCEXE=program, **fields)
    text = body.decode("latin-1")
    return status, dict(line.split("=", 1) for line in text.splitlines() if "=" in line), text


class ProgramsRunAsTheirSite(unittest.TestCase):
    def test_each_site_runs_as_its_user_with_files_of_its_own(self):
        for site, name in (("a", USERS[0]), ("b", USERS[1])):
            with self.subTest(site=site):
                status, seen, text = probe(site)
                self.assertEqual(200, status, text)
                user = ids[name]
                self.assertEqual((str(user.pw_uid), str(user.pw_gid)), (seen["uid"], seen["gid"]))
                self.assertNotIn(str(www.pw_gid), seen["groups"].split(","))
                own = os.path.join(base, "site-" + name)
                self.assertEqual(own, os.path.dirname(seen["exchange"]))
                self.assertEqual(own, seen["tmpdir"])
                # The server's user and the site's may use the file, nobody else.
                self.assertEqual("0660", seen["exchange_mode"])
                info = os.stat(own)
                self.assertEqual((www.pw_uid, 0o770), (info.st_uid, info.st_mode & 0o7777))
        # A site without a user of its own still runs its programs as the server's user.
        self.assertEqual(str(www.pw_uid), probe("plain")[1]["uid"])

    def test_a_program_reaches_nothing_of_the_other_site(self):
        import threading
        hold = os.path.join(notes, "held")
        held = {}
        holder = threading.Thread(target=lambda: held.update(
            page=probe("b", hold=hold, seconds="20", secret="secret-of-b-7c41")))
        holder.start()
        try:
            self.assertTrue(wait_until(lambda: os.path.exists(hold) and os.path.getsize(hold) > 0))
            with open(hold) as f:
                pid, exchange = f.read().split(" ", 1)
            uploads = os.path.join(os.path.dirname(exchange), "VCU" + os.path.basename(exchange)[2:])
            sockets = glob.glob(os.path.join(server.stage, "run", "karvel-spawner.*.sock"))
            self.assertEqual(1, len(sockets))
            attempts = [(exchange, "read,write,rename,link,list,create"), (uploads, "list,create"),
                        (os.path.join(os.path.dirname(exchange), "anything"), "list,create"),
                        (sockets[0], "connect")]
            for target, tried in attempts:
                status, seen, text = probe("a", target=target, pid=pid, **{"try": tried + ",signal,environ"})
                self.assertEqual(200, status, text)
                for what in (tried + ",signal,environ").split(","):
                    with self.subTest(target=target, attempt=what):
                        self.assertIn(seen[what], ("EACCES", "EPERM", "ENOENT"), text)
                        self.assertNotEqual("ok", seen[what])
            # Nor the server's own processes: the spawner, a child.
            for target_pid in (server.spawner_pid(), server.children()[0]):
                status, seen, text = probe("a", pid=str(target_pid), **{"try": "signal,environ"})
                for what in ("signal", "environ"):
                    with self.subTest(pid=target_pid, attempt=what):
                        self.assertIn(seen[what], ("EACCES", "EPERM"), text)
            # The server reads nothing of b's for a's program: not as a file answer, nor through a
            # link a's program renames over its own file.
            for fields in ({"do": "answer", "code": "4", "text": exchange}, {"do": "replace", "target": exchange}):
                with self.subTest(**fields):
                    _, _, body = get("a", VCEXE="behave", **fields)
                    self.assertNotIn(b"secret-of-b-7c41", body)
            self.assertEqual(error_page("Emage Error"), get("a", VCEXE="behave", do="answer", code="4", text=exchange)[2])
            self.assertTrue(wait_until(lambda: re.search(r"karvel: a program of karvel-e2e-a answered with the file "
                                                         r"\S+, which is neither", server.log_text())),
                            server.log_text()[-2000:])
        finally:
            if os.path.exists(hold):
                os.remove(hold)
            holder.join(30)
        # b's program was not disturbed: it answered as b.
        self.assertEqual(200, held["page"][0], held["page"][2])
        self.assertEqual(str(ids[USERS[1]].pw_uid), held["page"][1]["uid"])

    def test_a_site_answers_with_a_file_of_its_own(self):
        # One its program wrote in its directory: the server reads it, whatever the program's umask.
        self.assertEqual((200, b"written by a"), get("a", VCEXE="site_probe", file="written by a")[::2])


class Rules(unittest.TestCase):
    def test_a_program_that_breaks_a_rule_never_runs(self):
        cases = [("owned_by_b", r"it is owned by uid %d, not by karvel-e2e-a or root" % ids[USERS[1]].pw_uid),
                 ("group_writable", r"it is writable by its group or others \(mode 0775\)"),
                 ("others_writable", r"it is writable by its group or others \(mode 0757\)"),
                 ("open/site_probe", r"its directory is writable by its group or others \(mode 0777\)")]
        for program, rule in cases:
            with self.subTest(program=program):
                mark = os.path.join(notes, "ran-" + program.replace("/", "-"))
                status, _, body = get("a", VCEXE=program, hold=mark, seconds="1")
                self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), body)
                line = (r":warn\] .*\[client [^]]+\] karvel: cannot start %s \[[^]]+\]: it would run as karvel-e2e-a, "
                        r"but %s" % (re.escape(program), rule))
                self.assertTrue(wait_until(lambda: re.search(line, server.log_text())), server.log_text()[-2000:])
                self.assertFalse(os.path.exists(mark), "the refused program ran")
        # The user's own program, of safe modes, runs.
        status, seen, text = probe("a", "own_program")
        self.assertEqual((200, str(ids[USERS[0]].pw_uid)), (status, seen.get("uid")), text)

    def test_a_user_in_the_servers_group_is_warned_of(self):
        line = ("karvel: %s, whom the site's programs run as, is in the server's group (gid %d)"
                % (GROUPED, pwd.getpwnam("www-data").pw_gid))
        self.assertIn(line, server.log_text())
        for name in USERS:
            self.assertNotIn("karvel: %s, whom" % name, server.log_text())

    def test_the_configuration_refuses_users_it_may_not_run_as(self):
        site = '<VirtualHost *:80>\n    ServerName x.test\n    %s\n    KarvelBackendDir "@ROOT@"\n</VirtualHost>\n'
        cases = [
            (site % "KarvelUserGroup root root", "programs never run as root"),
            (site % "KarvelUserGroup karvel-e2e-nobody karvel-e2e-a", "KarvelUserGroup: no such user: karvel-e2e-nobody"),
            (site % "KarvelUserGroup karvel-e2e-a karvel-e2e-nogroup", "KarvelUserGroup: no such group: karvel-e2e-nogroup"),
            ("KarvelMinUid 60000\n" + site % "KarvelUserGroup karvel-e2e-a karvel-e2e-a",
             "the user's id %d is below KarvelMinUid 60000" % ids[USERS[0]].pw_uid),
            ("KarvelMinGid 60000\n" + site % "KarvelUserGroup karvel-e2e-a karvel-e2e-a",
             "the group's id %d is below KarvelMinGid 60000" % ids[USERS[0]].pw_gid),
            ("KarvelSpawner off\n" + site % "KarvelUserGroup karvel-e2e-a karvel-e2e-a", "KarvelSpawner is off"),
            ('<VirtualHost *:80>\n    KarvelUserGroup karvel-e2e-a karvel-e2e-a\n</VirtualHost>\n',
             "the site names no KarvelBackendDir"),
            (site % "KarvelMinUid 2000", "KarvelMinUid cannot occur within <VirtualHost> section"),
        ]
        for body, refusal in cases:
            with self.subTest(refusal=refusal):
                passed, output = config_check(body)
                self.assertFalse(passed, output)
                self.assertIn(refusal, output)
        passed, output = config_check(site % "KarvelUserGroup karvel-e2e-a karvel-e2e-a")
        self.assertTrue(passed, output)


if __name__ == "__main__":
    unittest.main()
