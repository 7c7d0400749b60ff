"""What a back-end's answer may try against the response: framing headers of its own (a length, a
transfer coding, connection headers) in pages small and large and in raw "HTTP/" files, header
lines with bare CR, NUL, folds or past the scanner's buffer; answers that leave files behind; FIFOs,
devices and directories in place of an answer."""
import http.client
import os
import socket
import stat
import time
import unittest
import urllib.parse

from karvel_e2e import SCRIPT, Server, error_page

server = None
BIG = 2 * 1024 * 1024  # past the 1 MiB a reply is held whole for
FRAMING = ["Content-Length: 5", "Transfer-Encoding: chunked", "Connection: close", "Keep-Alive: timeout=999",
           "Proxy-Connection: keep-alive", "TE: trailers", "Trailer: X-After", "Upgrade: h2c"]


def setUpModule():
    global server
    server = Server(probe=False, log_level="warn",
                    includes=['<Location "/scripts">\n  KarvelBackendTimeout 6\n</Location>'])


def tearDownModule():
    server.stop()


def behave(**fields):
    return SCRIPT + "?" + urllib.parse.urlencode(dict(VCEXE="behave", **fields))


def page(text, pad=0):
    return behave(do="answer", code="1", text=text, pad=str(pad))


def shared_file(name, data):
    """A file the server's user may open for reading and writing, as a file answer needs."""
    path = os.path.join(server.stage, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o666)
    return path


def wait_for_empty_temp(limit=15):
    """The temporary directory's entries once it is empty, or what is left after `limit` seconds."""
    deadline = time.monotonic() + limit
    while server.temp_entries() and time.monotonic() < deadline:
        time.sleep(0.05)
    return server.temp_entries()


def raw_head(path, method="GET", body=b"", headers=""):
    """The status line and header block exactly as the server sent them, on a connection of its own."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
        s.sendall(("%s %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n%s\r\n"
                   % (method, path, len(body), headers)).encode() + body)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return data.partition(b"\r\n\r\n")[0]


class AnswersNeverFrameTheResponse(unittest.TestCase):
    """Each answer is followed on the same kept-alive connection by another request, which must get
    its own answer: a length or coding of the first answer's would make its rest the second's."""

    def exchange_two(self, first_path, expected_body):
        conn = server.connection(timeout=30)
        try:
            conn.request("GET", first_path)
            first = conn.getresponse()
            body = first.read()
            headers = {k.lower(): v for k, v in first.getheaders()}
            conn.request("GET", page("Content-Type: text/plain\r\n\r\nsecond"))
            second = conn.getresponse()
            self.assertEqual((200, b"second"), (second.status, second.read()))
        finally:
            conn.close()
        self.assertEqual(200, first.status)
        self.assertEqual(len(expected_body), len(body))
        self.assertTrue(body == expected_body)
        return headers

    def check_headers(self, headers, label):
        self.assertEqual("a=b", headers.get("set-cookie"), label + ": what the back-end sets on purpose stays")
        self.assertEqual("no-store", headers.get("cache-control"), label)
        for name in ("proxy-connection", "te", "trailer", "upgrade"):
            self.assertNotIn(name, headers, label)
        # The server's own Keep-Alive and Connection, for the connection it keeps, are all there is.
        self.assertNotIn("999", headers.get("keep-alive", ""), label)
        self.assertNotIn("close", headers.get("connection", "").lower(), label)
        self.assertNotIn("upgrade", headers.get("connection", "").lower(), label)

    def test_page_answers_small_and_large(self):
        for size in (100, BIG):
            for framing in FRAMING:
                label = "%s, %d bytes" % (framing, size)
                with self.subTest(label):
                    text = ("Content-Type: text/plain\r\nSet-Cookie: a=b\r\n%s\r\nCache-Control: no-store\r\n\r\n"
                            % framing)
                    headers = self.exchange_two(page(text, size), b"x" * size)
                    self.check_headers(headers, label)

    def test_raw_http_files_small_and_large(self):
        for size in (100, BIG):
            for framing in FRAMING:
                label = "%s, %d bytes" % (framing, size)
                with self.subTest(label):
                    path = shared_file("raw.http", ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nSet-Cookie: a=b\r\n"
                                                    "%s\r\nCache-Control: no-store\r\n\r\n" % framing).encode()
                                       + b"y" * size)
                    headers = self.exchange_two(behave(do="answer", code="4", text=path), b"y" * size)
                    self.check_headers(headers, label)


class HeaderLinesStayWhole(unittest.TestCase):
    """No byte of an answer's header value may end its line for the client: what goes out is the one
    header the back-end wrote, or the answer is refused."""

    def header_lines(self, head):
        self.assertNotIn(b"\0", head)
        self.assertEqual(head.count(b"\r"), head.count(b"\r\n"), "no bare CR")
        self.assertEqual(head.count(b"\n"), head.count(b"\r\n"), "no bare LF")
        lines = head.split(b"\r\n")
        for line in lines[1:]:
            self.assertFalse(line[:1].isspace(), line)
        return lines

    def test_control_bytes_and_folds_in_page_answers(self):
        cases = [
            ("X-A: 1\rSet-Cookie: injected=1", b"X-A: 1 Set-Cookie: injected=1"),
            ("X-A: 1\0Set-Cookie: injected=1", b"X-A: 1 Set-Cookie: injected=1"),
            ("X-A: 1\x0bSet-Cookie: injected=1", b"X-A: 1 Set-Cookie: injected=1"),
            ("X-A: one\r\n two\r\n\tthree", b"X-A: one two three"),
            ("X-A: one\r\n Set-Cookie: injected=1", b"X-A: one Set-Cookie: injected=1"),
        ]
        for header, expected in cases:
            with self.subTest(header):
                text = "Content-Type: text/plain\r\n" + header + "\r\n\r\nbody"
                lines = self.header_lines(raw_head(page(text)))
                self.assertIn(b" 200 ", lines[0])
                self.assertIn(expected, lines)
                self.assertFalse([l for l in lines if l.lower().startswith(b"set-cookie")], lines)

    def test_raw_http_file_with_nul_and_cr(self):
        path = shared_file("inject.http", b"HTTP/1.1 200 OK\r\nX-A: 1\0Set-Cookie: injected=1\r\n"
                                          b"X-B: 2\rLocation: /elsewhere\r\n\r\nbody")
        lines = self.header_lines(raw_head(behave(do="answer", code="4", text=path)))
        self.assertIn(b" 200 ", lines[0])
        self.assertIn(b"X-A: 1 Set-Cookie: injected=1", lines)
        self.assertIn(b"X-B: 2 Location: /elsewhere", lines)
        self.assertFalse([l for l in lines if l.lower().startswith((b"set-cookie", b"location"))], lines)

    def test_a_header_longer_than_the_scanner_takes_is_refused_whole(self):
        for filler in (8200, 20000):
            with self.subTest(filler):
                text = ("Content-Type: text/plain\r\nX-Long: " + "a" * filler + "Set-Cookie: injected=1\r\n\r\nbody")
                body = urllib.parse.urlencode(dict(VCEXE="behave", do="answer", code="1", text=text)).encode()
                lines = self.header_lines(raw_head(SCRIPT, "POST", body,
                                                   "Content-Type: application/x-www-form-urlencoded\r\n"))
                self.assertIn(b" 500 ", lines[0])
                self.assertFalse([l for l in lines if l.lower().startswith(b"set-cookie")], lines)

    def test_a_status_text_cannot_end_the_status_line(self):
        path = shared_file("status.http", b"HTTP/1.1 200 OK\rSet-Cookie: injected=1\r\n\r\nbody")
        lines = self.header_lines(raw_head(behave(do="answer", code="4", text=path)))
        self.assertTrue(lines[0].startswith(b"HTTP/1.1 200 "), lines[0])
        self.assertFalse([l for l in lines if l.lower().startswith(b"set-cookie")], lines)


class EveryReplyLeavesNothing(unittest.TestCase):
    def test_every_reply_path_empties_the_temporary_directory(self):
        plain = shared_file("plain.bin", b"GIF89a plain bytes")
        cases = [
            ("page", page("Content-Type: text/plain\r\n\r\nok"), 200),
            ("local URL", behave(do="answer", code="2", text="/"), None),
            ("redirection", behave(do="answer", code="2", text="http://example.invalid/"), 302),
            ("file", behave(do="answer", code="4", text=plain), 200),
            ("missing file", behave(do="answer", code="4", text=plain + ".missing"), 200),
            ("device file", behave(do="answer", code="4", text="/dev/zero"), 200),
            ("unknown result code", behave(do="answer", code="3", text="x"), 500),
            ("result code that is no digit", behave(do="answer", code="Z", text="x"), 500),
            ("empty page", behave(do="answer", code="1", text=""), 200),
            ("FIFO in its place", behave(do="replace", target="fifo"), 500),
            ("directory in its place", behave(do="replace", target="/"), 500),
        ]
        for label, path, status in cases:
            with self.subTest(label):
                got, _, _ = server.request("GET", path, timeout=30)
                if status is not None:
                    self.assertEqual(status, got)
                self.assertEqual([], wait_for_empty_temp(), label)

    def test_a_client_that_leaves_mid_reply_leaves_nothing(self):
        for size in (BIG, 16 * BIG):
            with self.subTest(size):
                with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                    s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n"
                               % page("Content-Type: text/plain\r\n\r\n", size)).encode())
                    s.recv(4096)
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                self.assertEqual([], wait_for_empty_temp(30))


class OnlyRegularFilesAreAnswers(unittest.TestCase):
    """A FIFO, a device or a directory where an answer belongs is refused without waiting on it or
    reading it, well within the site's time-out, and the server answers the next request."""

    def test_exchange_file_and_named_file_that_are_no_regular_file(self):
        fifo = os.path.join(server.stage, "named.fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo, 0o666)
        os.chmod(fifo, 0o666)
        link = os.path.join(server.stage, "zero.link")
        if not os.path.islink(link):
            os.symlink("/dev/zero", link)
        unusable = (500, None)
        image_error = (200, error_page("Emage Error"))
        cases = [
            ("FIFO as the exchange file", behave(do="replace", target="fifo"), unusable),
            ("link to /dev/zero as the exchange file", behave(do="replace", target="/dev/zero"), unusable),
            ("link to a directory as the exchange file", behave(do="replace", target="/"), unusable),
            ("/dev/zero named", behave(do="answer", code="4", text="/dev/zero"), image_error),
            ("/dev/urandom named", behave(do="answer", code="4", text="/dev/urandom"), image_error),
            ("a FIFO named", behave(do="answer", code="4", text=fifo), image_error),
            ("a directory named", behave(do="answer", code="4", text=server.stage), image_error),
            ("a link to /dev/zero named", behave(do="answer", code="4", text=link), image_error),
        ]
        for label, path, (status, body) in cases:
            with self.subTest(label):
                try:
                    got, _, data = server.request("GET", path, timeout=20)
                except (socket.timeout, TimeoutError, http.client.HTTPException) as e:
                    self.fail("%s: no reply (%s)" % (label, e))
                self.assertEqual(status, got, label)
                if body is not None:
                    self.assertEqual(body, data, label)
                self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode), "the named FIFO is left alone")
                got, _, data = server.request("GET", page("Content-Type: text/plain\r\n\r\nnext"), timeout=20)
                self.assertEqual((200, b"next"), (got, data), label + ": the server answers on")
                self.assertEqual([], wait_for_empty_temp(), label)


if __name__ == "__main__":
    unittest.main()
