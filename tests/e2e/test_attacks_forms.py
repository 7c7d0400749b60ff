"""What a hostile client or another local user tries on forms: a body cut short of its length or its
last chunk (the program must not run on a part of a form), the upload directory's name taken in a
shared temporary directory, and one large value that would make a child take several times the
body in memory."""
import os
import shutil
import signal
import socket
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import SCRIPT, Server, error_page, multipart
from test_attacks import peak_kib

server = None
shared = None  # a temporary directory every local user may write to, as /tmp
marks = None   # where the back-end leaves its marks
SHARED_SCRIPT = "/scripts/shared/VC_KARVEL2.dll"
SANITIZED = bool(os.environ.get("KARVEL_HTTPD_PRELOAD"))


def setUpModule():
    global server, shared, marks
    shared = tempfile.mkdtemp(prefix="karvel-e2e-shared-", dir="/tmp")
    os.chmod(shared, 0o1777)
    marks = tempfile.mkdtemp(prefix="karvel-e2e-marks-", dir="/tmp")
    os.chmod(marks, 0o1777)
    server = Server(probe=False, log_level="warn", includes=[
        '<Location "/scripts/shared">\n    KarvelTempDir "%s"\n</Location>' % shared,
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" %s' % SHARED_SCRIPT])


def tearDownModule():
    server.stop()
    shutil.rmtree(shared, ignore_errors=True)
    shutil.rmtree(marks, ignore_errors=True)


def mark_path(name):
    path = os.path.join(marks, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def form(mark, **more):
    fields = dict(VCEXE="behave", do="mark", file=mark, amount="1000")
    fields.update(more)
    return urllib.parse.urlencode(fields).encode()


def send_raw(head, body_parts, pause=0.0, half_close=True):
    """Sends `head` and the body parts (pausing between them), then ends the sending side (or the
    whole connection); returns what the server answered before closing (b"" when nothing)."""
    s = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    try:
        s.sendall(head)
        for part in body_parts:
            s.sendall(part)
            if pause:
                time.sleep(pause)
        if not half_close:
            return b""
        s.shutdown(socket.SHUT_WR)
        answer = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return answer
            answer += chunk
    except (ConnectionResetError, BrokenPipeError):
        return b""
    finally:
        s.close()


def settle(path=None, seconds=3.0):
    """Waits until the stage's temporary directory is empty (or `seconds` pass)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not server.temp_entries() and (path is None or os.path.exists(path)):
            return
        time.sleep(0.05)


class CutBodies(unittest.TestCase):
    def check_cut(self, label, head, parts, mark, **kw):
        answer = send_raw(head, parts, **kw)
        settle()
        time.sleep(0.3)  # a program that was started would have marked by now
        self.assertFalse(os.path.exists(mark), "%s: the program ran on a cut form" % label)
        self.assertEqual([], server.temp_entries(), "%s: files left" % label)
        # A client still there gets the page; one the server takes for gone (it closed its side)
        # nothing of the extension's, only the server's own failure.
        self.assertNotIn(b"marked", answer, label)
        if answer and error_page("TempWriteError") not in answer:
            self.assertIn(b" 500 ", answer.split(b"\r\n", 1)[0], "%s: %r" % (label, answer[:300]))

    def test_a_body_short_of_its_length_runs_no_program(self):
        for half_close in (True, False):
            mark = mark_path("short")
            body = form(mark)
            head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: %d\r\n\r\n" % (SCRIPT, len(body))).encode()
            self.check_cut("two bytes short, half_close %s" % half_close, head, [body[:-2]], mark,
                           half_close=half_close)
            # The same body whole runs it: the mark is what the test looks for.
            status, _, page = server.request("POST", SCRIPT, body, {"Content-Type": "application/x-www-form-urlencoded"})
            self.assertEqual((200, True), (status, b"marked" in page), page[:200])
            self.assertTrue(os.path.exists(mark))

    def test_a_chunked_body_without_its_last_chunk_runs_no_program(self):
        mark = mark_path("chunked")
        body = form(mark)
        head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                "Transfer-Encoding: chunked\r\n\r\n" % SCRIPT).encode()
        chunk = b"%x\r\n%s\r\n" % (len(body), body)
        self.check_cut("no last chunk", head, [chunk], mark)
        self.check_cut("a chunk cut short", head, [chunk[:-4]], mark)
        # With its last chunk it is whole.
        answer = send_raw(head, [chunk, b"0\r\n\r\n"])
        self.assertIn(b"marked", answer)
        self.assertTrue(os.path.exists(mark))

    def test_a_cut_upload_leaves_no_files(self):
        mark = mark_path("upload")
        body, ctype = multipart([("VCEXE", b"behave"), ("do", b"mark"), ("file", mark.encode())],
                                [("f", "big.bin", "application/octet-stream", os.urandom(300000))])
        for chunked in (False, True):
            length = "Transfer-Encoding: chunked" if chunked else "Content-Length: %d" % len(body)
            head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\n%s\r\n\r\n" % (SCRIPT, ctype, length)).encode()
            cut = body[:200000]
            parts = [b"%x\r\n%s\r\n" % (len(cut), cut)] if chunked else [cut]
            # Sent in two steps, so the exchange file and the upload exist before the cut.
            self.check_cut("upload cut, chunked %s" % chunked, head, [parts[0][:100000], parts[0][100000:]], mark,
                           pause=0.3)


@unittest.skipUnless(os.geteuid() == 0, "another local user is needed: root makes one with setuid")
class SharedTemporaryDirectory(unittest.TestCase):
    def test_another_user_cannot_take_the_upload_directory_name(self):
        """`nobody` watches the shared directory and makes VCU<digits>.tmp for every VC<digits>.tmp
        it sees; every upload still works and nothing was taken."""
        reader, writer = os.pipe()
        stop_at = time.monotonic() + 20
        child = os.fork()
        if child == 0:
            os.close(reader)
            taken = 0

            def stop(*_):
                raise SystemExit

            signal.signal(signal.SIGTERM, stop)
            try:
                os.setgid(65534)
                os.setuid(65534)
                while time.monotonic() < stop_at:
                    for name in os.listdir(shared):
                        if name.startswith("VC") and not name.startswith("VCU") and name.endswith(".tmp"):
                            try:
                                os.mkdir(os.path.join(shared, "VCU" + name[2:]), 0o777)
                                taken += 1
                            except OSError:
                                pass
                    time.sleep(0.001)
            except SystemExit:
                pass
            finally:
                os.write(writer, str(taken).encode())
                os._exit(0)
        os.close(writer)
        try:
            for k in range(3):
                body, ctype = multipart([("VCEXE", b"show_upload"), ("pad", b"p" * 60000)],
                                        [("file", "u%d.txt" % k, "text/plain", b"upload %d" % k)])
                head = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
                        "Connection: close\r\n\r\n" % (SHARED_SCRIPT, ctype, len(body))).encode()
                # The first 60 KB start the request (its exchange file appears); the upload comes later.
                answer = send_raw(head, [body[:60000], body[60000:]], pause=0.5)
                self.assertNotIn(b"KeyCreateError", answer)
                self.assertIn(b" 200 ", answer.split(b"\r\n", 1)[0])
                self.assertIn(b"upload %d" % k, answer, answer[-300:])
        finally:
            os.kill(child, signal.SIGTERM)
            os.waitpid(child, 0)
            taken = os.read(reader, 64)
            os.close(reader)
        self.assertEqual(b"0", taken, "names taken by another user")


def reset_peaks(pids):
    """Starts the children's peak anew from their present size (clear_refs 5); False where that is
    not allowed."""
    try:
        for pid in pids:
            with open("/proc/%d/clear_refs" % pid, "w") as f:
                f.write("5")
        return True
    except OSError:
        return False


def sjis_text(size):
    """Shift-JIS kanji and kana with ASCII between, `size` bytes or a little more."""
    unit = "漢字かなカナ、テスト。abc 123 ".encode("cp932")
    return unit * (size // len(unit) + 1)


@unittest.skipIf(SANITIZED, "AddressSanitizer's quarantine and shadow memory say nothing of the code's own")
class LargeValuesMemory(unittest.TestCase):
    SIZE = 48 << 20

    @staticmethod
    def request_of(value, parts, charset):
        """A form with the one value: (body, Content-Type)."""
        # Bytes a URL-encoded body would take for separators are left out of the value.
        for separator in (b"&", b"=", b"%", b"+", b'"'):
            value = value.replace(separator, b"")
        if parts:
            body, ctype = multipart([("VCEXE", b"behave"), ("v", value)])
        else:
            body, ctype = b"VCEXE=behave&v=" + value, "application/x-www-form-urlencoded"
        return body, ctype + ("; " + charset if charset else "")

    def test_one_large_value_costs_a_child_no_more_than_the_body(self):
        text = sjis_text(self.SIZE)
        utf8 = text.decode("cp932").encode("utf-8")[:self.SIZE]
        cases = [
            ("UTF-8 declared, URL-encoded", "charset=UTF-8", utf8, False),
            ("UTF-8 declared, multipart", "charset=UTF-8", utf8, True),
            ("EUC-JP declared", "charset=EUC-JP", text.decode("cp932").encode("euc_jp")[:self.SIZE], False),
            ("ISO-2022-JP declared", "charset=ISO-2022-JP",
             text[:self.SIZE // 2].decode("cp932", "ignore").encode("iso2022_jp"), False),
            ("Shift_JIS declared", "charset=Shift_JIS", text[:self.SIZE], False),
            ("EUC-JP detected", None, text.decode("cp932").encode("euc_jp")[:self.SIZE], True),
            ("JIS detected", None, text[:self.SIZE // 2].decode("cp932", "ignore").encode("iso2022_jp"), True),
            ("left as it came", None, text[:self.SIZE], False),
        ]
        children = server.children()
        if not reset_peaks(children):
            self.skipTest("the children's peak memory cannot be reset here")
        # What a child builds once (the converters' tables, a thread's first memory) is built first,
        # by small requests of every kind.
        for _ in range(6):
            for _, charset, value, parts in cases:
                body, ctype = self.request_of(value[:3000], parts, charset)
                server.request("POST", SCRIPT, body, {"Content-Type": ctype})
        for label, charset, value, parts in cases:
            body, ctype = self.request_of(value, parts, charset)
            self.assertTrue(reset_peaks(children))
            before = peak_kib(children)
            status, _, _ = server.request("POST", SCRIPT, body, {"Content-Type": ctype}, timeout=300)
            self.assertEqual(200, status, label)
            growth = peak_kib(children) - before
            body_kib = len(body) // 1024
            self.assertLessEqual(growth, body_kib + 1024,
                                 "%s: a child grew by %d KiB for a body of %d KiB" % (label, growth, body_kib))
            self.assertEqual(children, server.children(), "a child died")


if __name__ == "__main__":
    unittest.main()
