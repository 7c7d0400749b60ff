"""Attacks on the spawner's supervision over HTTP and over its own socket: children a program leaves
behind, queued requests whose clients left, a flood of result texts from a peer with the server's
user, and the spawner killed by a back-end while requests arrive."""
import glob
import os
import pwd
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

from karvel_e2e import Server, behave_url as url, error_page, wait_until

server = None
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'
SERVER_USER = "www-data"


def setUpModule():
    global server
    server = Server(probe=False, log_level="warn", env={"KARVEL_E2E_HIDDEN": "hidden"},
                    includes=[
                        "KarvelMaxBackends 1",
                        "KarvelQueueTimeout 10",
                        'LogFormat "%U%q %{karvel-result}n" karvel_notes',
                        'CustomLog "@CONF@/notes.log" karvel_notes',
                        "KarvelExtension %s /short/VC_KARVEL2.dll" % EXT,
                        '<Location "/short">\n  KarvelBackendTimeout 1\n  KarvelKillGrace 1\n</Location>',
                        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>',
                        '<Location "/karvel-health">\n  SetHandler karvel-health\n</Location>'])


def tearDownModule():
    server.stop()




def status():
    """The spawner's status lines as a dict (name: value), or None when there is none."""
    code, _, body = server.request("GET", "/karvel-status?auto")
    if code != 200:
        return None
    return dict(line.split(": ", 1) for line in body.decode().splitlines() if ": " in line)


def running():
    return int((status() or {}).get("Running", "-1"))


def results_of(text):
    """The karvel-result notes of the requests whose URL holds `text`."""
    with open(os.path.join(server.conf_dir, "notes.log")) as f:
        return [line.split()[1] for line in f if text in line]


def scratch_dir():
    """A directory the server's user may write to."""
    directory = tempfile.TemporaryDirectory(prefix="karvel-e2e-spawner-", dir="/tmp")
    os.chmod(directory.name, 0o777)
    return directory


def leftovers():
    """What is left in the temporary directory, with the fields each exchange file holds (which
    request made it) and the end of the log."""
    found = []
    for name in server.temp_entries():
        path = os.path.join(server.stage, "tmp", name)
        try:
            with open(path, "rb") as f:
                found.append("%s: %r" % (name, f.read()[524:].replace(b"\0", b" ")[:300]))
        except OSError as error:
            found.append("%s: %s" % (name, error))
    return "\n".join(found) + "\n" + server.log_text()[-3000:]


class SpawnerAttacks(unittest.TestCase):
    def setUp(self):
        self.assertTrue(wait_until(lambda: not server.backend_processes() and running() == 0, 15),
                        "programs of an earlier test still run")

    def test_a_programs_children_count_and_are_stopped_once_its_request_gave_up(self):
        # The program ends at once without an answer and leaves a child that ignores SIGTERM. The
        # request gives up after a second; the child is stopped (SIGKILL after the grace), and
        # until it is gone it holds the one slot: the next request runs only after it.
        with scratch_dir() as scratch:
            pidfile = os.path.join(scratch, "child")
            _, _, body = server.request("GET", url("/short", do="abandon", pidfile=pidfile))
            self.assertEqual(error_page("EXE Load Error(Time Out)"), body)
            with open(pidfile) as f:
                child = int(f.read())
            code, _, body = server.request("GET", url("/scripts", do="alive", pid=child))
            if body == b"alive":
                os.kill(child, signal.SIGKILL)
            self.assertEqual((200, b"gone"), (code, body), "the next program ran only once the child was gone")
            # (Each reply's own exchange file goes just after the reply is sent.)
            self.assertTrue(wait_until(lambda: server.temp_entries() == [], 5),
                            "the files of the request that gave up are removed: %s" % server.temp_entries())

    def test_queued_requests_whose_clients_left_never_run(self):
        with scratch_dir() as scratch:
            until = os.path.join(scratch, "free")
            holder = threading.Thread(target=lambda: server.request(
                "GET", url("/scripts", do="linger", until=until, seconds=20)))
            holder.start()
            try:
                self.assertTrue(wait_until(lambda: running() == 1, 5), "the slot is taken")
                clients = []
                for k in range(4):
                    c = socket.create_connection(("127.0.0.1", server.port))
                    target = url("/scripts", do="mark", file=os.path.join(scratch, "ran%d" % k), left="left%d" % k)
                    c.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode())
                    clients.append(c)
                self.assertTrue(wait_until(lambda: status()["WaitingForSlot"] == "4", 5), status())
                for c in clients:
                    c.close()
                # Each is dropped from the queue once its client is seen gone, within a second.
                self.assertTrue(wait_until(lambda: status()["WaitingForSlot"] == "0", 5), status())
            finally:
                open(until, "w").close()
                holder.join()
            self.assertTrue(wait_until(lambda: running() == 0, 5))
            # The slot is free now: none of them may run any more.
            code, _, body = server.request("GET", url("/scripts", do="mark", file=os.path.join(scratch, "after")))
            self.assertEqual((200, b"marked"), (code, body))
            self.assertEqual(["after", "free"], sorted(os.listdir(scratch)), "no program of a client that left ran")
            self.assertTrue(wait_until(lambda: len(results_of("left=left")) == 4, 5))
            self.assertEqual(["client-gone"] * 4, results_of("left=left"))
            self.assertTrue(wait_until(lambda: server.temp_entries() == [], 5),
                            "their exchange files removed: %s" % leftovers())

    def test_a_flood_of_result_texts_leaves_the_server_healthy(self):
        # A peer with the server's user may talk to the spawner: it orders /bin/true again and again
        # and reports each end with a result text of its own.
        sockets = glob.glob(os.path.join(server.stage, "run", "karvel-spawner.*.sock"))
        self.assertEqual(1, len(sockets))
        # (Named as a request names it once resolved: no link on the way, as /bin is on Debian.)
        script = FLOOD % {"path": sockets[0], "count": 300, "program": os.path.realpath("/bin/true")}
        user = {}
        if os.geteuid() == 0:
            user = {"user": SERVER_USER, "group": pwd.getpwnam(SERVER_USER).pw_gid}
        before = status()
        out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=120, text=True, **user)
        self.assertEqual("300\n", out.stdout, out.stderr)
        code, _, body = server.request("GET", "/karvel-health")
        self.assertEqual((200, b"OK\n"), (code, body))
        lines = status()
        self.assertIsNotNone(lines)
        # Its programs are counted as the spawner's starts; its texts are no requests of the server's.
        self.assertEqual(int(before["Started"]) + 300, int(lines["Started"]))
        self.assertEqual(before.get("Result-other"), lines.get("Result-other"))
        for name in ("Running", "WaitingForSlot", "LongestWaitMs", "Started", "StartFailed", "Busy"):
            self.assertIn(name, lines)
        self.assertFalse([name for name in lines if name.startswith("Result-") and "flood" in name])

    def test_no_program_starts_outside_the_spawner_while_it_is_killed(self):
        # Requests keep coming while the spawner is killed twice. Each is answered by a program the
        # spawner started (a clean environment, nothing of the server's), or refused with 503 as
        # for a full queue; none is started by the extension itself.
        answers = []
        stop = threading.Event()

        def client():
            while not stop.is_set():
                answers.append(server.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=show_env", timeout=60))

        threads = [threading.Thread(target=client) for _ in range(3)]
        for thread in threads:
            thread.start()
        try:
            for _ in range(2):
                self.assertTrue(wait_until(lambda: server.spawner_pid() is not None, 15))
                before = len(answers)
                self.assertTrue(wait_until(lambda: len(answers) > before + 3, 15))
                last = server.spawner_pid()
                os.kill(last, signal.SIGKILL)
                self.assertTrue(wait_until(lambda: server.spawner_pid() not in (None, last), 15), "started again")
            before = len(answers)
            self.assertTrue(wait_until(lambda: len(answers) > before + 3, 15), "served again")
        finally:
            stop.set()
            for thread in threads:
                thread.join()
        self.assertGreater(len(answers), 10)
        for code, headers, body in answers:
            if code == 503:
                self.assertIn("retry-after", headers)
                self.assertEqual(error_page("EXE Load Error(Server Busy)"), body)
                continue
            self.assertEqual(200, code, body)
            self.assertNotIn(b"KARVEL_E2E_HIDDEN", body, "a program the extension started itself")
            self.assertIn(b"PATH=/usr/local/bin:/usr/bin:/bin\n", body)
        self.assertIn(200, [a[0] for a in answers[-3:]])


# Run as the server's user: orders over the spawner's socket and a distinct result text for each.
FLOOD = r'''
import socket, struct
path, count, program = %(path)r, %(count)d, %(program)r
K_SPAWN, K_STARTED, K_DONE, K_EXITED = 1, 2, 5, 8
def packet(kind, payload):
    return struct.pack("=II", kind, len(payload)) + payload
# The fixed part ends with the site (the main server's) and the level of its lines (error).
order = (struct.pack("=IIII", 0, 1000, 300, 0) + struct.pack("=6q", *([-1] * 6))
         + struct.pack("=IIIII4x16x", 0, 0, 1, 0, 3))
for text in (program, "/nonexistent/x", "flood", "-", "", "", "", ""):
    order += text.encode() + b"\0"
order += b"PATH=/usr/bin:/bin\0"
ended = 0
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(path)
for k in range(count):
    s.send(packet(K_SPAWN, order))
    while True:
        reply = s.recv(65536)
        kind = struct.unpack("=I", reply[:4])[0]
        if kind != K_EXITED:
            break
    if kind != K_STARTED:
        raise SystemExit("reply %%d to order %%d" %% (kind, k))
    text = ("flood-%%05d-" %% k + "x" * 600).encode()
    s.send(packet(K_DONE, struct.pack("=II", 1, 0) + text + b"\0\0"))
    ended += 1
print(ended)
'''


if __name__ == "__main__":
    unittest.main()
