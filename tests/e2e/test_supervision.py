"""Supervision of back-end programs over HTTP: their clean environment, standard error in the error
log, Apache's resource limits, the cap on programs running at once with its 503, the stop of
programs whose request gave up, the access log notes and the status page."""
import os
import re
import signal
import socket
import threading
import time
import unittest

from karvel_e2e import Server, behave_url as url, error_page, wait_until

server = None
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'


def setUpModule():
    global server
    server = Server(probe=False, log_level="warn", env={"KARVEL_E2E_PASSED": "passed", "KARVEL_E2E_HIDDEN": "hidden"},
                    includes=[
                        "KarvelMaxBackends 2",
                        "KarvelQueueTimeout 1",
                        "KarvelPassEnv KARVEL_E2E_PASSED",
                        "KarvelSetEnv KARVEL_E2E_SET fixed",
                        'LogFormat "%L %U%q %{karvel-backend}n %{karvel-result}n %{karvel-wait-ms}n" karvel_notes',
                        'CustomLog "@CONF@/notes.log" karvel_notes',
                        "KarvelExtension %s /limits/VC_KARVEL2.dll" % EXT,
                        "KarvelExtension %s /short/VC_KARVEL2.dll" % EXT,
                        "KarvelExtension %s /keep/VC_KARVEL2.dll" % EXT,
                        "KarvelExtension %s /oneprocess/VC_KARVEL2.dll" % EXT,
                        '<Location "/oneprocess">\n  RLimitNPROC 1 1\n</Location>',
                        '<Location "/limits">\n  RLimitMEM 104857600 104857600\n  RLimitCPU 1 1\n'
                        '  KarvelBackendTimeout 5\n  KarvelSetEnv PATH /opt/karvel-e2e/bin\n</Location>',
                        '<Location "/short">\n  KarvelBackendTimeout 1\n  KarvelKillGrace 1\n</Location>',
                        '<Location "/keep">\n  KarvelBackendTimeout 1\n  KarvelStopAbandoned off\n</Location>',
                        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>'])


def tearDownModule():
    server.stop()



def marked(base, mark, **fields):
    return url(base, mark=mark, **fields)



def programs():
    """Back-end programs of this server still running."""
    return server.backend_processes()


TOKENS = iter(range(1, 1 << 30))


def token():
    """A query field no other request has, to find a request's access log line by."""
    return "t%d" % next(TOKENS)


def notes(mark, seconds=5):
    """The access log's line of the request whose query holds `mark`: [log id, URL, backend,
    result, wait]; it is written after the reply, so this waits for it."""
    found = []

    def read():
        with open(os.path.join(server.conf_dir, "notes.log")) as f:
            found[:] = [line.split() for line in f if "mark=" + mark in line]
        return found

    wait_until(read, seconds)
    return found[-1] if found else None


class Supervision(unittest.TestCase):
    def setUp(self):
        self.assertTrue(wait_until(lambda: not programs(), 10), "programs of an earlier test still run")

    def test_a_clean_environment(self):
        _, _, body = server.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=show_env")
        environment = dict(line.split("=", 1) for line in body.decode().splitlines() if "=" in line)
        self.assertEqual("/usr/local/bin:/usr/bin:/bin", environment.pop("PATH"))
        self.assertEqual("passed", environment.pop("KARVEL_E2E_PASSED"))
        self.assertEqual("fixed", environment.pop("KARVEL_E2E_SET"))
        self.assertEqual(os.path.join(server.stage, "backends"), environment.pop("KARVEL_BACKEND_DIR"))
        self.assertEqual(os.path.join(server.stage, "tmp"), environment.pop("TMPDIR"))
        environment.pop("exchange")
        for name in ("LANG", "LC_ALL"):
            environment.pop(name, None)
        self.assertEqual({}, environment, "nothing else of the server's environment")
        _, _, body = server.request("GET", "/limits/VC_KARVEL2.dll?VCEXE=show_env")
        self.assertIn(b"PATH=/opt/karvel-e2e/bin\n", body)

    def test_standard_error_goes_to_the_error_log_line_by_line(self):
        mark = token()
        status, _, body = server.request("GET", marked("/scripts", mark, do="stderr", lines=3, tag="e2e-tag"))
        self.assertEqual((200, b"wrote"), (status, body))
        log_id = notes(mark)[0]
        for k in (1, 2, 3):
            pattern = r"karvel: behave \[%s\]: line %d of e2e-tag" % (re.escape(log_id), k)
            self.assertTrue(wait_until(lambda: re.search(pattern, server.log_text()), 5), pattern)

    def test_an_answer_is_the_reply_whether_or_not_its_program_has_ended(self):
        # Answered and running on: the reply comes while the program still runs (it ends only once
        # the test has the reply, or after 30 s).
        until = "/tmp/karvel-e2e-linger-%d-%s" % (os.getpid(), token())
        try:
            status, _, body = server.request("GET", url("/scripts", do="linger", until=until))
            self.assertEqual((200, b"lingering"), (status, body))
            self.assertTrue(programs(), "the program still runs: its answer was replied without its end")
        finally:
            open(until, "w").close()
        self.assertTrue(wait_until(lambda: not programs(), 10))
        os.remove(until)
        # Ended without an answer, and a program it started answers later: that is the reply, soon
        # or after the program ran on past the first wait for its end.
        for ms in (0, 50, 300):
            status, _, body = server.request("GET", url("/scripts", do="handoff", ms=ms))
            self.assertEqual((200, b"handed off"), (status, body), "answered %d ms after the end" % ms)

    def test_apaches_resource_limits_apply(self):
        _, _, body = server.request("GET", url("/limits", do="allocate", mb=400))
        self.assertEqual(b"allocation failed", body)
        _, _, body = server.request("GET", url("/limits", do="allocate", mb=10))
        self.assertEqual(b"allocated", body)
        self.assertEqual(b"forked", server.request("GET", url("/limits", do="fork"))[2])
        self.assertEqual(b"fork failed", server.request("GET", url("/oneprocess", do="fork"))[2])
        started = time.monotonic()
        status, _, body = server.request("GET", url("/limits", do="spin"))
        self.assertEqual(error_page("EXE Load Error(Time Out)"), body)
        self.assertTrue(wait_until(lambda: not programs(), 2), "the spinning program was stopped by RLimitCPU")
        self.assertLess(time.monotonic() - started, 8)

    def test_the_cap_on_programs_and_its_503(self):
        answers = []
        threads = [threading.Thread(target=lambda: answers.append(server.request("GET", url("/scripts", do="sleep", seconds=3))))
                   for _ in range(2)]
        for thread in threads:
            thread.start()
        self.assertTrue(wait_until(lambda: len(programs()) == 2, 5))
        started = time.monotonic()
        mark = token()
        status, headers, body = server.request("GET", marked("/scripts", mark, do="sleep", seconds=0))
        waited = time.monotonic() - started
        self.assertEqual(503, status)
        self.assertIn("retry-after", headers)
        self.assertIn(b"Server Busy", body)
        self.assertGreater(waited, 0.9, "it waited for a slot first")
        self.assertEqual("503", notes(mark)[3])
        for thread in threads:
            thread.join()
        self.assertEqual([200, 200], [a[0] for a in answers])
        # A request that finds a slot within its wait runs.
        thread = threading.Thread(target=lambda: answers.append(server.request("GET", url("/scripts", do="sleep", seconds=1))))
        thread.start()
        self.assertTrue(wait_until(lambda: len(programs()) >= 1, 5))
        second = threading.Thread(target=lambda: answers.append(server.request("GET", url("/scripts", do="sleep", seconds=1))))
        second.start()
        status, _, body = server.request("GET", url("/scripts", do="sleep", seconds=0))
        thread.join()
        second.join()
        self.assertEqual((200, b"slept"), (status, body))

    def test_programs_of_requests_that_gave_up_are_stopped(self):
        for what in ("sleep", "stubborn"):
            with self.subTest(what=what):
                mark = token()
                status, _, body = server.request("GET", marked("/short", mark, do=what))
                self.assertEqual(error_page("EXE Load Error(Time Out)"), body)
                ended = time.monotonic()
                self.assertTrue(wait_until(lambda: not programs(), 2.5), "gone within the grace and a second")
                self.assertLess(time.monotonic() - ended, 2.5)
                self.assertEqual("timeout", notes(mark)[3])
        self.assertEqual([], server.temp_entries(), "its exchange file and uploads removed")
        # A client that leaves: noticed within a second, its program stopped.
        mark = token()
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % marked("/scripts", mark, do="sleep")).encode())
            self.assertTrue(wait_until(lambda: len(programs()) == 1, 5))
        self.assertTrue(wait_until(lambda: not programs(), 1 + 5 + 1), "the program of a client that left")
        self.assertEqual("client-gone", notes(mark)[3])
        # KarvelStopAbandoned off: today's behaviour, the program goes on.
        server.request("GET", url("/keep", do="sleep", seconds=3))
        self.assertEqual(1, len(programs()))
        self.assertTrue(wait_until(lambda: not programs(), 5))

    def test_the_extension_alone_without_the_spawner(self):
        alone = Server(probe=False, log_level="warn", env={"KARVEL_E2E_HIDDEN": "hidden"},
                       includes=["KarvelSpawner off", "KarvelMaxBackends 1"])
        try:
            body = alone.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=show_env")[2]
            self.assertIn(b"KARVEL_E2E_HIDDEN=hidden", body, "the server's environment, as before the spawner")
            self.assertIn(b"<td>a</td>", alone.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=echo&a=1")[2])
        finally:
            alone.stop()

    def test_the_spawner_started_again_serves_every_thread(self):
        # Apache's threads keep their connections to the spawner between requests: once it died
        # and the parent started it again, those that knew the last one connect to the new one.
        for _ in range(30):
            self.assertEqual(200, server.request("GET", url("/scripts"))[0])
        last = server.spawner_pid()
        self.assertIsNotNone(last)
        os.kill(last, signal.SIGKILL)
        self.assertTrue(wait_until(lambda: server.spawner_pid() not in (None, last), 10), "the parent starts it again")
        answers = [server.request("GET", url("/scripts"))[:3:2] for _ in range(30)]
        self.assertEqual([(200, b"nothing to do")] * 30, answers)

    def test_notes_and_status(self):
        mark = token()
        server.request("GET", "/scripts/VC_KARVEL2.dll?VCEXE=echo&mark=" + mark)
        log_id, _, backend, result, wait = notes(mark)
        self.assertEqual(("echo", "1"), (backend, result))
        self.assertGreaterEqual(int(wait), 0)
        thread = threading.Thread(target=lambda: server.request("GET", url("/scripts", do="sleep", seconds=2)))
        thread.start()
        self.assertTrue(wait_until(lambda: len(programs()) == 1, 5))
        status, headers, body = server.request("GET", "/karvel-status?auto")
        self.assertEqual(200, status)
        text = body.decode()
        self.assertIn("Running: 1\n", text)
        self.assertRegex(text, r"Program: \d+ \d+s waiting behave\n")
        self.assertRegex(text, r"Result-1: \d+")
        status, headers, body = server.request("GET", "/karvel-status")
        self.assertEqual("text/html; charset=us-ascii", headers["content-type"])
        self.assertIn(b"<th>Running</th><td> 1</td>", body)
        thread.join()


if __name__ == "__main__":
    unittest.main()
