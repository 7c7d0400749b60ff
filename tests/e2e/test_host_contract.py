"""The host's side of the ISAPI contract, seen through a probe extension that reports what each
callback answered: control block fields, server variables and their buffer rules, the reply
forms, URL refusal, stale ConnIDs, failures after a reply, and body streaming."""
import http.client
import os
import unittest

from karvel_e2e import Server

server = None
INSUFFICIENT_BUFFER, INVALID_INDEX, INVALID_PARAMETER = 122, 1413, 87


def tearDownModule():
    server.stop()


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return "%08x" % h


class ControlBlockAndVariables(unittest.TestCase):
    def test_control_block_fields(self):
        status, _, body = server.request("GET", "/probe/extra/path?ecb")
        self.assertEqual(200, status)
        fields = dict(line.split("=", 1) for line in body.decode().splitlines())
        self.assertEqual("GET", fields["method"])
        self.assertEqual("ecb", fields["query"])
        self.assertEqual("/extra/path", fields["pathinfo"])
        self.assertEqual(os.path.join(server.stage, "site", "extra", "path"), fields["translated"])
        self.assertEqual("", fields["contenttype"])
        # No query at all: an empty string, never a null pointer (the probe would crash).
        status, _, body = server.request("GET", "/probe")
        self.assertEqual((200, b"unknown probe "), (status, body))

    def test_server_variables_and_buffer_rules(self):
        status, _, body = server.request("GET", "/probe?vars", headers={"X-Probe-Header": "hello"})
        self.assertEqual(200, status)
        lines = body.decode().split("\n")
        rows = {}
        for line in lines:
            parts = line.split(" ", 5)
            if len(parts) >= 5:
                rows.setdefault(parts[0], []).append(parts[1:])
        def row(name, index=0):
            return rows[name][index]
        self.assertEqual(["1", "0", "10", "clean", "127.0.0.1"], row("REMOTE_ADDR"))
        self.assertEqual(["1", "0", "1", "clean", ""], row("REMOTE_USER"))
        self.assertEqual(["1", "0", str(len(str(server.port)) + 1), "clean", str(server.port)], row("SERVER_PORT"))
        self.assertEqual("GET", row("REQUEST_METHOD")[4])
        self.assertEqual("vars", row("QUERY_STRING")[4])
        self.assertEqual("/probe", row("SCRIPT_NAME")[4])
        self.assertEqual("hello", row("HTTP_X_PROBE_HEADER")[4])
        self.assertEqual("off", row("HTTPS")[4])
        self.assertIn("HTTP_X_PROBE_HEADER:hello", body.decode())
        for name in ("NO_SUCH_VARIABLE", "HTTP_NOT_SENT"):
            self.assertEqual(["0", str(INVALID_INDEX)], row(name)[:2], name)
        # Too small (3 bytes) and no room (0): FALSE, the size needed, nothing written past the room.
        self.assertEqual(["0", str(INSUFFICIENT_BUFFER), "10", "clean", ""], row("REMOTE_ADDR", 1))
        self.assertEqual(["0", str(INSUFFICIENT_BUFFER), "10", "clean"], row("REMOTE_ADDR", 2)[:4])
        self.assertEqual(["1", "0", "10", "clean", "127.0.0.1"], row("REMOTE_ADDR", 3))


class ReplyForms(unittest.TestCase):
    def test_complete_http_response_written_raw(self):
        conn = server.connection()
        conn.request("GET", "/probe?raw-http")
        response = conn.getresponse()
        self.assertEqual((201, "Made Here"), (response.status, response.reason))
        self.assertEqual("yes", response.getheader("X-Probe"))
        self.assertEqual(b"raw body and more", response.read())
        self.assertEqual("17", response.getheader("Content-Length"))
        conn.close()

    def test_raw_bytes_typed_from_their_content(self):
        status, headers, body = server.request("GET", "/probe?raw-pdf")
        self.assertEqual((200, "application/pdf"), (status, headers["content-type"]))
        self.assertEqual(str(len(body)), headers["content-length"])
        self.assertTrue(body.startswith(b"%PDF-1.4"))
        status, headers, body = server.request("GET", "/probe?raw-unknown")
        self.assertEqual("application/octet-stream", headers["content-type"])
        self.assertEqual(b"\x01\x02\x03\x04\xfe\xfd", body)

    def test_header_string_forms(self):
        conn = server.connection()
        conn.request("GET", "/probe?header-then-body")
        response = conn.getresponse()
        self.assertEqual((202, "Taken In"), (response.status, response.reason))
        self.assertEqual("a=b", response.getheader("Set-Cookie"))
        self.assertEqual("text/plain", response.getheader("Content-Type"))
        self.assertEqual(b"first,second", response.read())
        # A string that does not begin with a header line is all body.
        conn.request("GET", "/probe?no-headers")
        response = conn.getresponse()
        self.assertEqual(b"<p>just a body</p>second", response.read())
        # Headers without their closing empty line still end before the body.
        conn.request("GET", "/probe?headers-only")
        response = conn.getresponse()
        self.assertEqual("headers", response.getheader("X-Only"))
        self.assertEqual(b"second", response.read())
        conn.close()

    def test_long_reply_streams_and_the_connection_stays_usable(self):
        conn = server.connection()
        conn.request("GET", "/probe?big")
        response = conn.getresponse()
        body = response.read()
        expected = b"".join(bytes([ord("a") + i % 26]) * 65536 for i in range(48))
        self.assertEqual(len(expected), len(body))
        self.assertEqual(expected, body)
        self.assertEqual("chunked", response.getheader("Transfer-Encoding"))
        conn.request("GET", "/probe?raw-http")
        self.assertEqual(b"raw body and more", conn.getresponse().read())
        conn.close()

    def test_urls_with_line_breaks_and_unknown_requests_are_refused(self):
        status, headers, body = server.request("GET", "/probe?url-injection")
        self.assertEqual(200, status)
        self.assertNotIn("injected", str(headers))
        self.assertEqual("request 1 0 %d\nrequest 2 0 %d\nrequest 9999 0 %d\n"
                         % (INVALID_PARAMETER, INVALID_PARAMETER, INVALID_PARAMETER), body.decode())

    def test_a_connid_of_a_finished_request_is_refused(self):
        server.request("GET", "/probe?stale-connid")
        status, _, body = server.request("GET", "/probe?stale-connid")
        self.assertEqual("stale 0\nwrite 0\nsame 0\n", body.decode())

    def test_failure_after_a_reply_and_failure_without_one(self):
        conn = server.connection()
        conn.request("GET", "/probe?error-after-reply")
        response = conn.getresponse()
        self.assertEqual((200, b"partial reply"), (response.status, response.read()))
        conn.request("GET", "/probe?error-only")
        response = conn.getresponse()
        self.assertEqual(500, response.status)
        response.read()
        conn.request("GET", "/probe?raw-http")  # same connection, still in step
        self.assertEqual(b"raw body and more", conn.getresponse().read())
        conn.close()
        log = server.log_text()
        self.assertIn("answered 4 after its reply", log)
        self.assertIn("answered 4 without a reply", log)


    def test_a_failure_report_of_any_shape_is_taken_safely(self):
        status, _, body = server.request("GET", "/probe?hostile-failure")
        # Its own page goes out: no document stands for status 999, and the extension failed after it.
        self.assertEqual((200, b"null 0 empty 1 odd 1"), (status, body))
        log = server.log_text()
        self.assertNotIn("\nFAKE LINE", log)
        self.assertIn("prog\\nFAKE LINE", log)
        self.assertTrue(all(len(line) < 2000 for line in log.splitlines()), "report texts are cut for the log")
        self.assertEqual(200, server.request("GET", "/probe?ecb")[0], "the server serves on")


class RequestBody(unittest.TestCase):
    def test_body_read_ahead_then_streamed(self):
        data = os.urandom(1 << 20)
        status, _, body = server.request("POST", "/probe?read", data, {"Content-Type": "application/octet-stream"})
        self.assertEqual("total=1048576 available=49152 read=1048576 fnv=%s" % fnv1a(data), body.decode().split(" calls")[0])

    def test_chunked_body_lengths(self):
        def chunks(data, size):
            for i in range(0, len(data), size):
                yield data[i:i + size]

        for size, total in ((100, "100"), (300 * 1024, "4294967295")):
            with self.subTest(size=size):
                data = os.urandom(size)
                conn = server.connection()
                conn.request("POST", "/probe?read-small", body=chunks(data, 7000), encode_chunked=True,
                             headers={"Transfer-Encoding": "chunked"})
                text = conn.getresponse().read().decode()
                conn.close()
                self.assertIn("total=%s " % total, text)
                self.assertIn("read=%d fnv=%s" % (size, fnv1a(data)), text)

    def test_body_larger_than_the_limit_is_refused_before_the_extension(self):
        # LimitRequestBody is configured for /probe/limited in this module's server.
        status, _, _ = server.request("POST", "/probe/limited?read", b"x" * 5000)
        self.assertEqual(413, status)


def setUpModule():
    global server
    server = Server(includes=['<Location "/probe/limited">\n    LimitRequestBody 1000\n</Location>'])


if __name__ == "__main__":
    unittest.main()
