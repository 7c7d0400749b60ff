"""Load and faults: 10 000 requests over 32 connections through the echo back-end, a 200 MB upload
streamed, a client that leaves mid-upload, and a back-end that never answers (on a fast clock)."""
import hashlib
import os
import re
import shutil
import socket
import subprocess
import threading
import time
import unittest

from karvel_e2e import SCRIPT, BUILD, Server, error_page, multipart, wait_until

ECHO_URL = SCRIPT + "?VCEXE=echo&load=1"
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"



def exchange_files(server):
    tmp = os.path.join(server.stage, "tmp")
    return [n for n in os.listdir(tmp) if os.path.isfile(os.path.join(tmp, n))]


def wrk(server, seconds, script=None, connections=32):
    args = ["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--timeout", "30s"]
    if script:
        args += ["-s", script]
    out = subprocess.run(args + ["http://127.0.0.1:%d%s" % (server.port, ECHO_URL)], stdout=subprocess.PIPE,
                         text=True, timeout=seconds + 120).stdout
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    bad_status = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    failures = sum(int(g) for g in errors.groups()) if errors else 0
    return requests, failures, int(bad_status.group(1)) if bad_status else 0, out


@unittest.skipUnless(shutil.which("wrk"), "wrk is not installed (make deps installs it)")
class Load(unittest.TestCase):
    def setUp(self):
        self.server = Server(probe=False, log_level="warn")

    def tearDown(self):
        self.server.stop()

    def settled(self):
        return not self.server.backend_processes() and not exchange_files(self.server)

    def test_ten_thousand_echo_requests_over_32_connections(self):
        # Warm up (both children load everything they will use) and measure the rate.
        warm_requests, warm_failures, _, _ = wrk(self.server, 3)
        self.assertEqual(0, warm_failures)
        self.assertTrue(wait_until(self.settled))
        rss_before = self.server.children_rss_kib()
        rate = max(warm_requests / 3.0, 20.0)
        script = os.path.join(self.server.conf_dir, "limit.lua")
        with open(script, "w") as f:
            # Each of the two threads stops after its half of the 10 000.
            f.write("local n = 0\nfunction response()\n  n = n + 1\n"
                    "  if n >= 5000 then wrk.thread:stop() end\nend\n")
        requests, failures, bad_status, out = wrk(self.server, int(10000 / rate * 1.6) + 5, script)
        self.assertGreaterEqual(requests, 10000, out)
        self.assertEqual((0, 0), (failures, bad_status), out)
        # Nothing left behind: every exchange file deleted, every back-end finished.
        self.assertTrue(wait_until(self.settled), (self.server.backend_processes(), exchange_files(self.server)))
        growth = self.server.children_rss_kib() - rss_before
        self.assertLess(growth, 5 * 1024, "children grew by %d KiB" % growth)


class Uploads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(probe=False, log_level="warn")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_200_mb_upload_streams_with_exact_bytes(self):
        block_count, block_size = 200, 1 << 20

        def block(i):
            return (b"%08d" % i) + bytes((i * 7 + k) % 251 for k in range(248)) * (block_size // 248) + b"\0" * (
                block_size - 8 - 248 * (block_size // 248))

        expected = hashlib.sha256()
        head, ctype = multipart([("VCEXE", b"echo")], [("file", "big.bin", "application/octet-stream", b"")])
        marker = head.index(b"\r\n--", head.index(b"big.bin"))  # upload data goes before its closing line
        prefix, suffix = head[:marker], head[marker:]
        total = len(prefix) + block_count * block_size + len(suffix)

        def body():
            yield prefix
            for i in range(block_count):
                data = block(i)
                expected.update(data)
                yield data
            yield suffix

        peak = [0]
        baseline = self.server.children_rss_kib()
        done = threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], self.server.children_rss_kib())
                time.sleep(0.02)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            conn = self.server.connection(timeout=300)
            conn.request("POST", SCRIPT, body=body(), headers={"Content-Type": ctype, "Content-Length": str(total)})
            response = conn.getresponse()
            page = response.read()
            conn.close()
        finally:
            done.set()
            sampler.join()
        self.assertEqual(200, response.status)
        self.assertIn(b"big.bin</td><td>%d bytes</td>" % (block_count * block_size), page)
        saved = re.search(rb"<td>(/[^<]*/big\.bin)</td>", page).group(1).decode()
        digest = hashlib.sha256()
        with open(saved, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                digest.update(chunk)
        self.assertEqual(expected.hexdigest(), digest.hexdigest())
        self.assertLess(peak[0] - baseline, 10 * 1024, "Apache's children grew by %d KiB" % (peak[0] - baseline))
        os.remove(saved)

    def test_client_leaving_mid_upload_leaves_the_server_serving(self):
        head, ctype = multipart([("VCEXE", b"echo")], [("file", "cut.bin", "application/octet-stream", b"")])
        prefix = head[:head.index(b"\r\n--", head.index(b"cut.bin"))]
        sock = socket.create_connection(("127.0.0.1", self.server.port))
        sock.sendall(("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                      % (SCRIPT, ctype, 50 << 20)).encode() + prefix)
        for _ in range(5):
            sock.sendall(b"z" * (1 << 20))
        sock.close()
        status, _, body = self.server.request("GET", SCRIPT + "?VCEXE=echo&after=cut")
        self.assertEqual(200, status)
        self.assertIn(b"<td>after</td><td>cut</td>", body)
        # The cut request still ran its course: its exchange file is gone, its back-end finished.
        self.assertTrue(wait_until(lambda: not exchange_files(self.server) and not self.server.backend_processes()))


@unittest.skipUnless(os.path.isfile(FAKETIME), "libfaketime is not installed (make deps installs it)")
class SlowBackend(unittest.TestCase):
    def test_backend_that_never_answers_times_out_while_others_are_served(self):
        # 60 times the real clock: the three minute changes of the wait pass in about three seconds.
        server = Server(probe=False, log_level="warn", env={"KARVEL_FAKETIME": "+0 x60"})
        try:
            result = {}

            def slow():
                started = time.monotonic()
                result["reply"] = server.request("GET", SCRIPT + "?VCEXE=never_answers", timeout=120)
                result["seconds"] = time.monotonic() - started

            waiting = threading.Thread(target=slow)
            waiting.start()
            time.sleep(0.3)
            status, _, body = server.request("GET", SCRIPT + "?VCEXE=echo&meanwhile=1")
            self.assertEqual(200, status)
            self.assertIn(b"<td>meanwhile</td><td>1</td>", body)
            self.assertTrue(waiting.is_alive(), "the slow request ended before the other was served")
            waiting.join(120)
            status, _, body = result["reply"]
            self.assertEqual((200, error_page("EXE Load Error(Time Out)")), (status, body))
            self.assertLess(result["seconds"], 60)
            # The exchange file of a request that timed out is deleted.
            self.assertTrue(wait_until(lambda: not exchange_files(server)))
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
