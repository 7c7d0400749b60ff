"""What a hostile client, a faulty back-end and a full disk try: answers of 4 GiB and more, floods
of tiny fields, other spellings of a protected URL, other requests' uploads, the debug copy aimed
elsewhere, requests that leave files behind, a disk that fills up, a body that never comes."""
import base64
import os
import re
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import SCRIPT, Server, error_page, multipart

HUGE = 4 * 1024 ** 3 + 16  # its low 32 bits say 16 bytes
server = None


def setUpModule():
    global server
    server = Server(probe=False, log_level="warn", includes=[
        '<Location "/scripts/few">\n    KarvelMaxFields 5\n</Location>',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /scripts/few/VC_KARVEL2.dll'])


def tearDownModule():
    server.stop()


def query(**fields):
    return urllib.parse.urlencode(fields)


def peak_kib(pids):
    """The children's peak resident memory (VmHWM) in KiB, summed."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        except (OSError, StopIteration):
            pass
    return total


def raw_request(path, head_only_bytes, headers=()):
    """Sends a GET, reads the response head and the first `head_only_bytes` of its body, then
    leaves: (status line, headers dict, body start)."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=60) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, "".join(h + "\r\n" for h in headers))).encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        while len(body) < head_only_bytes:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            body += chunk
    lines = head.decode("latin-1").split("\r\n")
    fields = dict((k.lower(), v.strip()) for k, _, v in (line.partition(":") for line in lines[1:]))
    return lines[0], fields, body


def echo_works():
    status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="echo", alive="yes"))
    return status == 200 and b"<td>alive</td><td>yes</td>" in body


class HugeAnswers(unittest.TestCase):
    """Answers of 4 GiB + 16 bytes stream out in blocks: the child neither dies nor grows."""

    def test_page_file_and_path_answers_past_4_gib(self):
        children = server.children()
        peak = peak_kib(children)
        # A page: its header, then the body in blocks; the client leaves after 8 MiB.
        status, headers, body = raw_request(SCRIPT + "?" + query(VCEXE="huge_answer", kind="page", size=HUGE), 8 << 20)
        self.assertIn(" 200 ", status)
        self.assertEqual("text/plain", headers.get("content-type"))
        self.assertIn(b"huge" + b" " * 1000, body[:2000], body[:40])  # NULs as blanks, chunked
        # A file: sent whole, its length from its size.
        status, headers, body = raw_request(SCRIPT + "?" + query(VCEXE="huge_answer", kind="file", size=HUGE), 8 << 20)
        self.assertIn(" 200 ", status)
        self.assertEqual(str(HUGE), headers.get("content-length"))
        self.assertTrue(body.startswith(b"GIF89a\0\0\0"), body[:20])
        # A path that runs on for 4 GiB names no file.
        status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="huge_answer", kind="path", size=HUGE))
        self.assertEqual((200, error_page("Emage Error")), (status, body))
        # A URL that long is no URL: an empty one, which the host refuses; the reply stays empty.
        status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="huge_answer", kind="url", size=HUGE))
        self.assertEqual((200, b""), (status, body))
        self.assertTrue(echo_works())
        self.assertEqual(children, server.children(), "a child died")
        growth = peak_kib(children) - peak
        self.assertLess(growth, 32 * 1024, "children's peak memory grew by %d KiB" % growth)


class FieldFloods(unittest.TestCase):
    def test_a_flood_of_tiny_fields_is_refused_with_413(self):
        children = server.children()
        peak = peak_kib(children)
        body = b"VCEXE=echo&" + b"=&" * 5000000
        started = time.monotonic()
        status, _, page = server.request("POST", SCRIPT, body, {"Content-Type": "application/x-www-form-urlencoded"})
        elapsed = time.monotonic() - started
        self.assertEqual(413, status)
        self.assertIn(b"TooManyFieldsError", page)
        growth = peak_kib(children) - peak
        self.assertLess(growth * 1024, 4 * len(body) + (1 << 20), "children's peak memory grew by %d KiB" % growth)
        self.assertLess(elapsed, 30, "the refusal took %.1f s" % elapsed)
        self.assertEqual([], server.temp_entries())
        self.assertTrue(echo_works())

    def test_a_sites_own_limit(self):
        url = "/scripts/few/VC_KARVEL2.dll?VCEXE=echo"
        status, _, page = server.request("GET", url + "&b=2&c=3&d=4&e=5")
        self.assertEqual(200, status)
        self.assertIn(b"5 fields", page)
        status, _, page = server.request("GET", url + "&b=2&c=3&d=4&e=5&f=6")
        self.assertEqual(413, status)
        self.assertIn(b"TooManyFieldsError", page)


class Spellings(unittest.TestCase):
    """No spelling of the protected URL reaches the extension without the password."""

    SPELLINGS = ["/PRIVATE/VC_KARVEL2.DLL", "/private/vc_karvel2.dll", "/Private/VC_KARVEL2.dll",
                 "/private/VC_KARVEL2.DLL", "//private//VC_KARVEL2.dll", "/private/./VC_KARVEL2.dll",
                 "/scripts/../private/VC_KARVEL2.dll", "/x/../PRIVATE/VC_KARVEL2.dll",
                 "/%70rivate/VC_KARVEL2.dll", "/%50RIVATE/VC%5FKARVEL2.DLL", "/private/VC%5fKARVEL2.dll",
                 "/private%2FVC_KARVEL2.dll", "/private/%2e/VC_KARVEL2.dll", "/private/VC_KARVEL2.dll/",
                 "/private/VC_KARVEL2.dll/x/..", "/PRIVATE/VC_KARVEL2.DLL/pathinfo", "/private/./vc_karvel2.dll"]

    def fetch(self, path, auth=None):
        """Follows the server's own redirects; (status, body) of the last answer."""
        headers = {"Authorization": "Basic " + base64.b64encode(auth).decode()} if auth else {}
        for _ in range(4):
            with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
                s.sendall(("GET %s HTTP/1.0\r\n%s\r\n" % (path, "".join("%s: %s\r\n" % h for h in headers.items())))
                          .encode())
                data = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            status = int(head.split()[1])
            location = re.search(rb"\r\nLocation: ([^\r]*)", head, re.I)
            if status in (301, 302, 307, 308) and location:
                path = urllib.parse.urlsplit(location.group(1).decode()).path + "?" + \
                       (urllib.parse.urlsplit(location.group(1).decode()).query or "")
                continue
            return status, body
        self.fail("redirect loop for " + path)

    def test_every_spelling_meets_the_password(self):
        for spelling in self.SPELLINGS:
            with self.subTest(spelling=spelling):
                status, body = self.fetch(spelling + "?VCEXE=echo&who=anyone")
                self.assertNotIn(b"<td>who</td>", body)
                self.assertIn(status, (400, 401, 403, 404), body[:200])
        status, body = self.fetch("/PRIVATE/VC_KARVEL2.DLL?VCEXE=echo&who=demo", b"demo:karvel")
        self.assertEqual(200, status)
        self.assertIn(b"user demo,", body)


class UploadsAndNames(unittest.TestCase):
    def test_one_request_never_reads_anothers_upload(self):
        data, ctype = multipart([("VCEXE", b"echo")], [("file", "mine.txt", "text/plain", b"private bytes")])
        _, _, page = server.request("POST", SCRIPT, data, {"Content-Type": ctype})
        path = re.search(rb"<td>file</td><td>([^<]*)</td><td>13 bytes</td>", page).group(1).decode()
        directory = os.path.basename(os.path.dirname(path))
        self.assertRegex(directory, r"^VCU[0-9A-F]{16}\.tmp$", "an unpredictable name")
        # Another request names that path: neither sent nor sized.
        status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="show_upload", file=path))
        self.assertEqual(200, status)
        self.assertNotIn(b"private bytes", body)
        data, ctype = multipart([("VCEXE", b"show_upload"), ("file", path.encode())])
        _, _, body = server.request("POST", SCRIPT, data, {"Content-Type": ctype})
        self.assertNotIn(b"private bytes", body)
        _, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="echo", t=path))
        self.assertNotIn(b"13 bytes", body)

    def test_file_names_hold_only_their_own_bytes(self):
        for name, saved in ((b"\x1b$B$", None), (b"a\0b.txt", b"")):
            body = (b"--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\necho\r\n--B\r\n"
                    b"Content-Disposition: form-data; name=\"f\"; filename=\"" + name + b"\"\r\n\r\nd\r\n--B--\r\n")
            _, _, page = server.request("POST", SCRIPT, body, {"Content-Type": "multipart/form-data; boundary=B"})
            value = re.search(rb"<td>f</td><td>([^<]*)</td>", page).group(1)
            if saved is not None:
                self.assertEqual(saved, value, "a name with a NUL is refused")
            else:
                self.assertLessEqual(len(os.path.basename(value)), 4, value)

    def test_the_debug_copy_goes_nowhere_a_form_chooses(self):
        debug = "/scripts/debug/VC_KARVEL2.dll?"
        target = os.path.join(server.stage, "tmp", "chosen")
        server.request("GET", debug + query(VCEXE=target, secret="x"))
        server.request("GET", debug + query(VCEXE="/dev/shm/karvel-e2e-nothing", secret="x"))
        self.assertFalse(os.path.exists(os.path.join(server.stage, "tmp", "vcdebug.tmp")))
        self.assertFalse(os.path.exists("/dev/shm/vcdebug.tmp"))

    def test_requests_no_back_end_received_leave_nothing(self):
        before = server.temp_entries()
        for _ in range(100):
            for method, url in (("GET", SCRIPT), ("HEAD", SCRIPT + "?VCEXE=echo"), ("OPTIONS", SCRIPT),
                                ("GET", SCRIPT + "?" + query(VCEXE="no-such-program"))):
                server.request(method, url)
            data, ctype = multipart([("VCEXE", b"no-such-program")], [("file", "f.txt", "text/plain", b"x")])
            server.request("POST", SCRIPT, data, {"Content-Type": ctype})
        self.assertEqual(before, server.temp_entries())


class FaultyClients(unittest.TestCase):
    def test_a_body_shorter_than_its_length_is_answered_within_one_timeout(self):
        slow = Server(probe=False, log_level="crit", includes=["Timeout 2"])
        try:
            with socket.create_connection(("127.0.0.1", slow.port), timeout=30) as s:
                started = time.monotonic()
                s.sendall(b"POST " + SCRIPT.encode() + b" HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n"
                          b"Content-Type: application/x-www-form-urlencoded\r\n\r\nVCEXE=echo&a=1")
                answer = s.recv(65536)
                elapsed = time.monotonic() - started
            self.assertTrue(answer.startswith(b"HTTP/1.1 "), answer[:100])
            self.assertLess(elapsed, 3.5, "answered after %.1f s with Timeout 2" % elapsed)
        finally:
            slow.stop()

    def test_bodies_other_clients_send(self):
        # The closing delimiter may end the body; a bare name makes the count exceed the fields listed.
        body = b"--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\necho\r\n--B\r\n" \
               b"Content-Disposition: form-data; name=\"last\"\r\n\r\nvalue\r\n--B--"
        _, _, page = server.request("POST", SCRIPT, body, {"Content-Type": "multipart/form-data; boundary=B"})
        self.assertIn(b"<td>last</td><td>value</td>", page)
        for q in ("VCEXE=echo&a=1&flag&b=2", "VCEXE=echo&a=%ZZ&b=2"):
            _, _, page = server.request("GET", SCRIPT + "?" + q)
            self.assertNotIn(b"Unreadable", page, q)
            self.assertIn(b"<td>a</td>", page, q)


class FullDisk(unittest.TestCase):
    """A temporary directory that fills up: the failed request gives its space back."""

    def test_the_next_request_works_once_space_is_back(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        tmp = os.path.join(server.stage, "tmp")
        owner = os.stat(tmp)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0700", "karvel-e2e", tmp]).returncode != 0:
            self.skipTest("no tmpfs mount here")
        try:
            os.chown(tmp, owner.st_uid, owner.st_gid)
            data, ctype = multipart([("VCEXE", b"echo")], [("file", "big.bin", "application/octet-stream",
                                                            os.urandom(3 << 20))])
            status, _, page = server.request("POST", SCRIPT, data, {"Content-Type": ctype})
            self.assertEqual(200, status)
            self.assertIn(b"SERVER ERROR!!!", page)
            self.assertEqual([], os.listdir(tmp), "the partial upload and its directory are gone")
            self.assertTrue(echo_works())
        finally:
            subprocess.run(["umount", tmp])


if __name__ == "__main__":
    unittest.main()
