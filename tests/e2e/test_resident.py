"""Resident back-ends over HTTP: KarvelResident's instances answer request after request from one
process, up to their cap under load; their faults (no answer, an end or a closed channel
mid-request, a time-out, a client gone) each as the request and the log should show them; their
retirement after their count of requests, after idling, at a graceful restart; standard error
tagged per request; the status page's instance lines."""
import http.client
import json
import os
import re
import signal
import socket
import threading
import time
import unittest

from karvel_e2e import Server, behave_url, error_page, multipart, wait_until

server = None
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'
PROGRAM = "resident_probe"
NO_ANSWER = error_page("EXE Load Error(Exe Load Error)")

# Each place its own pool: the settings of its KarvelResident line (or its site's) differ.
PLACES = {
    "/scripts": "KarvelResident resident_probe instances=2 max-requests=0 idle=0",
    "/par": "KarvelResident resident_probe instances=2 idle=0",
    "/recycle": "KarvelResident resident_probe instances=1 max-requests=3",
    "/idle": "KarvelResident resident_probe instances=1 idle=1",
    "/short": "KarvelResident resident_probe instances=1\n  KarvelBackendTimeout 2\n  KarvelKillGrace 1",
    "/envs": "KarvelResident resident_probe instances=1\n  KarvelPassRequestVars on",
    "/restart": "KarvelResident resident_probe instances=1 idle=0",
    "/faults": "KarvelResident resident_probe instances=1 idle=0",
    "/limits": "KarvelResident resident_probe instances=1\n  RLimitCPU 70 80",
    "/lent": "KarvelResident resident_probe instances=1 max-requests=0 idle=0\n  KarvelBackendTimeout 2\n"
             "  KarvelKillGrace 1",
    "/lentrecycle": "KarvelResident resident_probe instances=1 max-requests=3 idle=0",
}


def setUpModule():
    global server
    includes = ['<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>']
    for place, lines in PLACES.items():
        if place != "/scripts":
            includes.append("KarvelExtension %s %s/VC_KARVEL2.dll" % (EXT, place))
        includes.append('<Location "%s">\n  %s\n</Location>' % (place, lines))
    server = Server(probe=False, log_level="info", includes=includes)


def tearDownModule():
    server.stop()


def url(place, **fields):
    return behave_url(place, **fields).replace("VCEXE=behave", "VCEXE=" + PROGRAM)


def page(place, **fields):
    status, _, body = server.request("GET", url(place, **fields))
    return status, body


def instance(body):
    """(pid, requests it took) from the probe's page."""
    found = re.search(rb"pid=(\d+) served=(\d+)", body)
    assert found, body
    return int(found.group(1)), int(found.group(2))


def server_child_of(sock):
    """The pid of the server's child that holds the other end of the client socket `sock`."""
    port = sock.getsockname()[1]
    inode = None
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port and int(fields[1].split(":")[1], 16) == server.port:
                inode = fields[9]
    assert inode, "no server end of port %d" % port
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
            if any(os.readlink("/proc/%s/fd/%s" % (pid, fd)) == "socket:[%s]" % inode for fd in fds):
                return int(pid)
        except OSError:
            continue
    raise AssertionError("no process holds socket %s" % inode)


def lent_answered():
    """Requests lent instances answered without a word to the spawner, as the status page counts them."""
    _, _, body = server.request("GET", "/karvel-status?auto")
    found = re.search(rb"^LentAnswered: (\d+)$", body, re.M)
    assert found, body
    return int(found.group(1))


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class Answers(unittest.TestCase):
    def test_one_instance_answers_request_after_request(self):
        pids, counts = [], []
        for _ in range(6):
            status, body = page("/scripts")
            self.assertEqual(200, status)
            pid, served = instance(body)
            pids.append(pid)
            counts.append(served)
        self.assertEqual(1, len(set(pids)), pids)
        self.assertEqual(list(range(counts[0], counts[0] + 6)), counts)

    def test_parallel_load_is_capped_at_the_instances(self):
        results = []

        def one():
            results.append(page("/par", do="sleep", ms="300"))

        threads = [threading.Thread(target=one) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual([200] * 8, [status for status, _ in results])
        pids = {instance(body)[0] for _, body in results}
        self.assertLessEqual(len(pids), 2)
        self.assertEqual(8, sum(1 for _, body in results if b"pid=" in body))

    def test_resource_limits_apply_to_each_instance(self):
        _, body = page("/limits", do="limits")
        self.assertIn(b" cpu=70/80", body)
        _, body = page("/scripts", do="limits")
        self.assertNotIn(b" cpu=70/80", body)

    def test_the_instance_gets_no_request_variables(self):
        _, body = page("/envs", do="env", name="QUERY_STRING")
        self.assertIn(b"QUERY_STRING unset", body)
        _, body = page("/envs", do="env", name="KARVEL_RESIDENT_FD")
        self.assertIn(b"KARVEL_RESIDENT_FD=3", body)


class Faults(unittest.TestCase):
    """Each fault of an instance mid-request: the error page at once, the log naming the instance."""

    def first_pid(self):
        status, body = page("/faults")
        self.assertEqual(200, status)
        return instance(body)[0]

    def test_each_fault_mid_request(self):
        # (the request's "do", the log's words, whether the same instance serves the next request)
        cases = [
            ("refuse", "gave no answer: refused as asked", True),
            ("die", "ended mid-request (exit status 3)", False),
            ("close", "closed its channel mid-request; it is stopped", False),
        ]
        for what, words, kept in cases:
            with self.subTest(what):
                pid = self.first_pid()
                status, body = page("/faults", do=what)
                self.assertEqual(200, status)
                self.assertEqual(NO_ANSWER, body)
                line = "resident instance %d %s" % (pid, words)
                self.assertTrue(wait_until(lambda: line in server.log_text(), 5), line)
                after = self.first_pid()
                self.assertEqual(kept, after == pid, (pid, after))
                if not kept:
                    self.assertTrue(wait_until(lambda: not alive(pid), 5))

    def test_time_out_stops_and_replaces_the_instance(self):
        _, body = page("/short")
        pid = instance(body)[0]
        status, body = page("/short", do="hang")
        self.assertEqual(error_page("EXE Load Error(Time Out)"), body)
        self.assertTrue(wait_until(lambda: not alive(pid), 5))
        self.assertIn("resident instance %d did not answer in time; it is stopped" % pid, server.log_text())
        _, body = page("/short")
        self.assertNotEqual(pid, instance(body)[0])

    def test_client_gone_keeps_an_instance_that_answers(self):
        _, body = page("/par")
        before = set(os.listdir(os.path.join(server.stage, "tmp")))
        conn = socket.create_connection(("127.0.0.1", server.port))
        conn.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % url("/par", do="late", ms="2500")).encode())
        time.sleep(0.5)
        conn.close()
        time.sleep(3)
        # The discarded answer left nothing behind, and both instances still serve.
        self.assertTrue(wait_until(lambda: set(os.listdir(os.path.join(server.stage, "tmp"))) <= before, 5))
        seen = set()
        for _ in range(2):
            results = []
            threads = [threading.Thread(target=lambda: results.append(page("/par", do="sleep", ms="200")))
                       for _ in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            seen |= {instance(b)[0] for _, b in results}
        self.assertLessEqual(len(seen), 2)
        self.assertNotIn("did not answer in time for a request that left", server.log_text())


class LentInstances(unittest.TestCase):
    """The requests of one connection stay with one child of the server, which takes the instance it
    was once handed itself: the spawner hears of such a request only when it ends otherwise than
    answered, and each fault then shows as it does for a request the spawner handed over."""

    def get(self, conn, place, **fields):
        conn.request("GET", url(place, **fields))
        reply = conn.getresponse()
        return reply.status, reply.read()

    def lent_pid(self, conn, place):
        """The instance, once the child has taken it itself (the count of such answers grew)."""
        before = lent_answered()
        for _ in range(3):
            status, body = self.get(conn, place)
            self.assertEqual(200, status, body)
        self.assertGreater(lent_answered(), before)
        return instance(body)[0]

    def test_each_fault_of_a_request_on_a_lent_instance(self):
        # (the request's fields, the page, the log's words, whether the instance serves on)
        cases = [
            ({"do": "refuse"}, NO_ANSWER, "gave no answer: refused as asked", True),
            ({"do": "die"}, NO_ANSWER, "ended mid-request (exit status 3)", False),
            ({"do": "close"}, NO_ANSWER, "closed its channel mid-request; it is stopped", False),
            ({"do": "hang"}, error_page("EXE Load Error(Time Out)"), "did not answer in time; it is stopped", False),
        ]
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            for fields, page_shown, words, kept in cases:
                with self.subTest(fields["do"]):
                    pid = self.lent_pid(conn, "/lent")
                    status, body = self.get(conn, "/lent", **fields)
                    self.assertEqual((200, page_shown), (status, body))
                    line = "resident instance %d %s" % (pid, words)
                    self.assertTrue(wait_until(lambda: line in server.log_text(), 5), line)
                    self.assertEqual(kept, self.lent_pid(conn, "/lent") == pid)
                    if not kept:
                        self.assertTrue(wait_until(lambda: not alive(pid), 5))
        finally:
            conn.close()

    def test_standard_error_and_recycling_of_a_lent_instance(self):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            self.lent_pid(conn, "/lent")
            status, _ = self.get(conn, "/lent", do="stderr", tag="lent-one")
            self.assertEqual(200, status)
            # Written while a child held the instance: logged by the spawner under that request.
            pattern = r"karvel: %s \[[^\]]+\]: line of lent-one" % PROGRAM
            self.assertTrue(wait_until(lambda: re.search(pattern, server.log_text()), 5), pattern)
            # A fresh pool: three requests an instance (the child takes the instance for the second
            # and third itself), then the next one.
            pids = [instance(self.get(conn, "/lentrecycle")[1])[0] for _ in range(7)]
            self.assertEqual([pids[0]] * 3 + [pids[3]] * 3, pids[:6], pids)
            self.assertEqual(3, len(set(pids)), pids)
        finally:
            conn.close()

    def test_a_client_gone_from_a_lent_instance_leaves_nothing(self):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            pid = self.lent_pid(conn, "/lent")
            before = set(os.listdir(os.path.join(server.stage, "tmp")))
            conn.sock.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % url("/lent", do="late", ms="1000")).encode())
            time.sleep(0.3)
        finally:
            conn.close()
        time.sleep(1.5)
        self.assertTrue(wait_until(lambda: set(os.listdir(os.path.join(server.stage, "tmp"))) <= before, 5))
        self.assertTrue(alive(pid))
        _, body = page("/lent")
        self.assertEqual(pid, instance(body)[0])


    def test_a_child_that_dies_mid_request_leaves_no_files(self):
        # The server's child that holds the lent instance is killed while the instance works on an
        # upload: once the request's wait is over the spawner takes the instance back, and removes
        # the request's exchange file and uploads, which nobody else knows of.
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        tmp = os.path.join(server.stage, "tmp")
        try:
            pid = self.lent_pid(conn, "/lent")
            before = set(os.listdir(tmp))
            body, ctype = multipart([("VCEXE", PROGRAM.encode()), ("do", b"late"), ("ms", b"500")],
                                    [("up", "a.bin", "application/octet-stream", b"x" * 5000)])
            conn.putrequest("POST", "/lent/VC_KARVEL2.dll")
            conn.putheader("Content-Type", ctype)
            conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            self.assertTrue(wait_until(lambda: len(set(os.listdir(tmp)) - before) >= 2, 5))
            os.kill(server_child_of(conn.sock), signal.SIGKILL)
        finally:
            conn.close()
        self.assertTrue(wait_until(lambda: set(os.listdir(tmp)) <= before, 20), set(os.listdir(tmp)) - before)
        self.assertTrue(alive(pid))
        self.assertEqual(pid, instance(page("/lent")[1])[0])


    def test_z_instances_end_with_a_spawner_that_dies(self):
        # (Last of the class: the server starts a new spawner, which the later tests use.)
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            pid = self.lent_pid(conn, "/lent")
        finally:
            conn.close()
        with open("/proc/%d/stat" % pid) as f:
            spawner = int(f.read().split(")")[-1].split()[1])
        os.kill(spawner, signal.SIGKILL)
        # The children still hold copies of its channel: it ends all the same.
        self.assertTrue(wait_until(lambda: not alive(pid), 5))
        self.assertTrue(wait_until(lambda: page("/lent")[0] == 200, 10))
        self.assertNotEqual(pid, instance(page("/lent")[1])[0])


class Retirement(unittest.TestCase):
    def test_recycled_after_its_count_of_requests(self):
        pids = [instance(page("/recycle")[1])[0] for _ in range(7)]
        # A fresh pool: three requests an instance, then the next one.
        self.assertEqual([pids[0]] * 3 + [pids[3]] * 3, pids[:6], pids)
        self.assertEqual(3, len(set(pids)), pids)
        self.assertTrue(wait_until(lambda: not alive(pids[0]), 5))

    def test_stopped_after_idling(self):
        pid = instance(page("/idle")[1])[0]
        self.assertTrue(wait_until(lambda: not alive(pid), 10))
        self.assertNotEqual(pid, instance(page("/idle")[1])[0])

    def test_standard_error_is_tagged_with_its_request(self):
        for tag in ("first", "second"):
            status, _ = page("/scripts", do="stderr", tag=tag)
            self.assertEqual(200, status)
            pattern = r"karvel: %s \[[^\]]+\]: line of %s" % (PROGRAM, tag)
            self.assertTrue(wait_until(lambda: re.search(pattern, server.log_text()), 5), pattern)

    def test_status_page_lists_instances(self):
        pid, served = instance(page("/scripts")[1])
        _, _, body = server.request("GET", "/karvel-status?auto")
        found = re.search(rb"Resident: %d (\d+) (\d+)kB \w+ %s" % (pid, PROGRAM.encode()), body)
        self.assertTrue(found, body)
        self.assertGreaterEqual(int(found.group(1)), served)
        self.assertGreater(int(found.group(2)), 0)
        _, _, body = server.request("GET", "/karvel-status?json")
        listed = [i for i in json.loads(body)["resident"] if i["pid"] == pid]
        self.assertEqual(1, len(listed), body)
        self.assertEqual(PROGRAM, listed[0]["label"])
        self.assertGreaterEqual(listed[0]["requests"], served)
        self.assertGreater(listed[0]["rss_kib"], 0)


class GracefulRestart(unittest.TestCase):
    def test_no_request_fails_under_load_across_a_restart(self):
        results = []

        def client():
            for _ in range(6):
                results.append(page("/par", do="sleep", ms="100"))

        threads = [threading.Thread(target=client) for _ in range(4)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        os.kill(server.pid, signal.SIGUSR1)
        for t in threads:
            t.join()
        self.assertEqual([200] * 24, [status for status, _ in results])
        self.assertEqual(24, sum(1 for _, body in results if b"pid=" in body))

    def test_instances_finish_their_request_and_end(self):
        pid = instance(page("/restart")[1])[0]
        results = []
        worker = threading.Thread(target=lambda: results.append(page("/restart", do="sleep", ms="1500")))
        worker.start()
        time.sleep(0.5)
        os.kill(server.pid, signal.SIGUSR1)
        worker.join()
        self.assertEqual(200, results[0][0])
        self.assertEqual(pid, instance(results[0][1])[0])
        self.assertTrue(wait_until(lambda: not alive(pid), 10))
        self.assertTrue(wait_until(lambda: page("/restart")[0] == 200, 10))


class ConfigurationErrors(unittest.TestCase):
    def test_bad_lines_stop_the_start_naming_the_fault(self):
        cases = [
            ("resident_probe instances=0", "instances takes a whole number from 1"),
            ("resident_probe bogus=1", "unknown option bogus=1"),
            ("/abs/resident_probe", "must be named as a form names it"),
            ("resident_probe\nKarvelResident resident_probe", "resident_probe is named twice"),
        ]
        for line, words in cases:
            with self.subTest(line):
                with self.assertRaises(RuntimeError) as raised:
                    Server(probe=False, includes=["KarvelResident " + line]).stop()
                self.assertIn("KarvelResident: ", str(raised.exception))
                self.assertIn(words, str(raised.exception))


if __name__ == "__main__":
    unittest.main()
