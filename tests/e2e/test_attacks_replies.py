"""What an answer may try against the response: framing headers of its own in pages and raw "HTTP/"
files, header lines that break or fold, files left behind, FIFOs and devices where an answer goes."""
import os
import socket
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
    server = Server(probe=False, log_level="warn", includes=['<Location "/scripts">\n  KarvelBackendTimeout 6\n</Location>'])


def tearDownModule():
    server.stop()


def behave(**fields):
    return SCRIPT + "?" + urllib.parse.urlencode(dict(VCEXE="behave", **fields))


def answer(code, text, pad=0):
    return behave(do="answer", code=code, text=text, pad=str(pad))


def shared_file(name, data=None):
    """A file in the stage the server may open for reading and writing, as a file answer needs."""
    path = os.path.join(server.stage, name)
    if data is not None:
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o666)
    return path


def temp_left(limit=30):
    deadline = time.monotonic() + limit
    while server.temp_entries() and time.monotonic() < deadline:
        time.sleep(0.05)
    return server.temp_entries()


def raw_head(path, body=b""):
    """The status line and header lines exactly as sent (a POST when there is a body)."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
        s.sendall(("%s %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\nContent-Type: "
                   "application/x-www-form-urlencoded\r\n\r\n" % ("POST" if body else "GET", path, len(body))).encode()
                  + body)
        data = b""
        while b"\r\n\r\n" not in data and (chunk := s.recv(65536)):
            data += chunk
    return data.partition(b"\r\n\r\n")[0]


class Replies(unittest.TestCase):
    def test_answers_never_frame_the_response(self):
        # Each answer is followed on the same kept-alive connection by a request that must get its
        # own answer: a length or coding of the first answer's would make its rest the second's.
        head = "Content-Type: text/plain\r\nSet-Cookie: a=b\r\n%s\r\nCache-Control: no-store\r\n\r\n"
        for size in (100, BIG):
            for framing in FRAMING:
                raw = shared_file("raw.http", b"HTTP/1.1 200 OK\r\n" + (head % framing).encode() + b"y" * size)
                for label, path, body in (("page", answer("1", head % framing, size), b"x" * size),
                                          ("raw file", answer("4", raw), b"y" * size)):
                    with self.subTest("%s, %s, %d bytes" % (label, framing, size)):
                        conn = server.connection(timeout=30)
                        conn.request("GET", path)
                        first = conn.getresponse()
                        self.assertTrue((first.status, first.read()) == (200, body))
                        conn.request("GET", answer("1", "Content-Type: text/plain\r\n\r\nsecond"))
                        second = conn.getresponse()
                        self.assertEqual((200, b"second"), (second.status, second.read()))
                        conn.close()
                        headers = {k.lower(): v for k, v in first.getheaders()}
                        self.assertEqual(("a=b", "no-store"), (headers.get("set-cookie"), headers.get("cache-control")))
                        self.assertFalse({"proxy-connection", "te", "trailer", "upgrade"} & set(headers))
                        # The server's own Keep-Alive and Connection, for the connection it keeps, are all there is.
                        self.assertNotIn("999", headers.get("keep-alive", ""))
                        self.assertEqual("keep-alive", headers.get("connection", "keep-alive").lower())

    def test_header_lines_go_out_whole_or_not_at_all(self):
        injected = "Set-Cookie: injected=1"
        cases = [(answer("1", "X-A: 1%s%s\r\n\r\nbody" % (c, injected)), b"200", b"X-A: 1 " + injected.encode())
                 for c in ("\r", "\0", "\x0b", "\r\n ")]
        cases.append((answer("1", "X-A: one\r\n two\r\n\tthree\r\n\r\nbody"), b"200", b"X-A: one two three"))
        cases.append((answer("4", shared_file("inject.http", b"HTTP/1.1 200 OK\rSet-Cookie: injected=1\r\n"
                                              b"X-A: 1\0Set-Cookie: injected=1\r\n\r\nbody")), b"200",
                      b"X-A: 1 " + injected.encode()))
        # Past the scanner's buffer: refused whole, its rest never a header of its own.
        long_page = urllib.parse.urlencode(dict(VCEXE="behave", do="answer", text="X-L: " + "a" * 8200 + injected
                                                + "\r\n\r\nbody")).encode()
        cases.append((SCRIPT, b"500", None, long_page))
        for path, status, expected, *body in cases:
            with self.subTest(path[:80]):
                head = raw_head(path, *body)
                self.assertNotIn(b"\0", head)
                self.assertEqual(head.count(b"\r"), head.count(b"\r\n"), "no bare CR")
                self.assertEqual(head.count(b"\n"), head.count(b"\r\n"), "no bare LF")
                lines = head.split(b"\r\n")
                self.assertEqual(status, lines[0].split()[1])
                if expected is not None:
                    self.assertIn(expected, lines)
                self.assertFalse([l for l in lines[1:] if l[:1].isspace() or l.lower().startswith(b"set-cookie")])

    def test_every_reply_leaves_nothing_and_only_regular_files_are_answers(self):
        # What is no regular file where an answer belongs is refused without a wait or a read, well
        # within the site's time-out; the next request is answered, and no exchange file stays.
        fifo, link, plain = shared_file("named.fifo"), shared_file("zero.link"), shared_file("plain.bin", b"GIF89a")
        if not os.path.exists(fifo):
            os.mkfifo(fifo, 0o666)
            os.symlink("/dev/zero", link)
        image_error = (200, error_page("Emage Error"))
        cases = [
            (answer("1", "Content-Type: text/plain\r\n\r\nok"), (200, b"ok")), (answer("1", ""), (200, b"")),
            (answer("2", "/"), None), (answer("2", "http://example.invalid/"), (302, None)),
            (answer("4", plain), (200, b"GIF89a")), (answer("4", plain + ".missing"), image_error),
            (answer("3", "x"), (500, None)), (answer("Z", "x"), (500, None)),
            (behave(do="replace", target="fifo"), (500, None)), (behave(do="replace", target="/dev/zero"), (500, None)),
            (behave(do="replace", target="/"), (500, None)),
            (answer("4", "/dev/zero"), image_error), (answer("4", "/dev/urandom"), image_error),
            (answer("4", fifo), image_error), (answer("4", server.stage), image_error), (answer("4", link), image_error),
        ]
        for path, expected in cases:
            with self.subTest(path):
                status, _, data = server.request("GET", path, timeout=20)
                if expected is not None:
                    self.assertEqual(expected, (status, data if expected[1] is not None else None))
                self.assertEqual((200, b"next"), server.request("GET", answer("1", "\r\nnext"), timeout=20)[::2])
                self.assertEqual([], temp_left())
        for size in (BIG, 16 * BIG):  # a client that leaves mid-reply
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % answer("1", "\r\n", size)).encode())
                s.recv(4096)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.assertEqual([], temp_left(), size)


if __name__ == "__main__":
    unittest.main()
