"""The kits' resident echoes through Apache: resident_echo (C++, karvel::Serve) and resident_echo.py
(Python, karvel_backend.serve), kept resident by KarvelResident, answer every form with the page the
one-shot echo gives for it (GET, POST in Shift-JIS, declared UTF-8, multipart with a binary upload);
the same program named where no KarvelResident holds runs one-shot, side by side, with the same
pages; the instances stay the same processes, within their cap."""
import os
import re
import unittest
import urllib.parse

from karvel_e2e import Server

server = None
EXT = '"@STAGE@/lib/VC_KARVEL2.so"'
INSTANCES = 2
RESIDENT = ("resident_echo", "resident_echo.py")


def setUpModule():
    global server
    lines = "\n  ".join("KarvelResident %s instances=%d idle=0" % (name, INSTANCES) for name in RESIDENT)
    server = Server(probe=False, log_level="info", includes=[
        "KarvelExtension %s /res/VC_KARVEL2.dll" % EXT,
        '<Location "/res">\n  %s\n</Location>' % lines,
        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>'])


def tearDownModule():
    server.stop()


def multipart(fields, boundary=b"KarvelBoundary"):
    body = b""
    for name, value, filename in fields:
        disposition = b'form-data; name="%s"' % name
        if filename is not None:
            disposition += b'; filename="%s"\r\nContent-Type: application/octet-stream' % filename
        body += b"--" + boundary + b"\r\nContent-Disposition: " + disposition + b"\r\n\r\n" + value + b"\r\n"
    return body + b"--" + boundary + b"--\r\n", {"Content-Type": "multipart/form-data; boundary=KarvelBoundary"}


UPLOAD = bytes(range(256)) * 64 + b"\r\n--KarvelBoundar"
SJIS_NAME = "山田太郎".encode("shift_jis")


def forms(program):
    """(label, method, query, body, headers) of each form, naming `program`."""
    urlencoded = {"Content-Type": "application/x-www-form-urlencoded"}
    sjis = urllib.parse.urlencode({b"VCEXE": program.encode(), b"name": SJIS_NAME, b"note": b"<a&b>"})
    utf8 = urllib.parse.urlencode({"VCEXE": program, "_charset_": "UTF-8", "name": "髙橋 ①"}, encoding="utf-8")
    body, headers = multipart([(b"VCEXE", program.encode(), None), (b"name", SJIS_NAME, None),
                               (b"file", UPLOAD, b"C:\\docs\\data.bin"), (b"empty", b"", b"")])
    return [
        ("GET", "GET", "VCEXE=%s&a=1&b=hello+world&c=" % program, None, {}),
        ("POST in Shift-JIS", "POST", "", sjis.encode("ascii"), urlencoded),
        ("POST declaring UTF-8", "POST", "", utf8.encode("ascii"), urlencoded),
        ("multipart with a binary upload", "POST", "", body, headers),
    ]


def normalised(page, program):
    """The page without what differs between two requests of the same form: the program's own name
    and the random digits of the upload directory."""
    page = page.replace(b"<td>VCEXE</td><td>%s</td>" % program.encode(), b"<td>VCEXE</td><td>PROGRAM</td>")
    return re.sub(rb"VCU[0-9A-F]{16}", b"VCU-DIGITS", page)


def answer(place, form):
    _, method, query, body, headers = form
    url = "%s/VC_KARVEL2.dll%s" % (place, "?" + query if query else "")
    return server.request(method, url, body=body, headers=headers)


def instance_pids(name):
    """The pids of `name`'s instances, as the status page lists them, each checked to be running."""
    _, _, status = server.request("GET", "/karvel-status?auto")
    pids = set(int(pid) for pid, label in re.findall(rb"^Resident: (\d+) \d+ \d+kB \w+ (\S+)$", status, re.M)
               if label.decode() == name)
    for pid in pids:
        assert os.path.exists("/proc/%d" % pid), pid
    return pids


class ResidentKitEchoes(unittest.TestCase):
    def test_every_form_gets_the_one_shot_echo_page(self):
        # (place, program): the one-shot echo is the reference; the resident programs, resident
        # and named where no KarvelResident holds, one-shot.
        runs = [("/res", name) for name in RESIDENT] + [("/scripts", name) for name in RESIDENT]
        for index in range(len(forms("echo"))):
            status, _, expected = answer("/scripts", forms("echo")[index])
            label = forms("echo")[index][0]
            self.assertEqual(200, status, expected)
            self.assertIn(b"<title>echo</title>", expected)
            for place, program in runs:
                with self.subTest(form=label, place=place, program=program):
                    status, _, page = answer(place, forms(program)[index])
                    self.assertEqual(200, status, page)
                    self.assertEqual(normalised(expected, "echo"), normalised(page, program))
        # The multipart form's upload was seen as this request's, with its size.
        self.assertIn(b"%d bytes" % len(UPLOAD), answer("/res", forms("resident_echo")[3])[2])

    def test_instances_stay_the_same_processes_within_their_cap(self):
        for name in RESIDENT:
            with self.subTest(program=name):
                for _ in range(3):
                    self.assertEqual(200, answer("/res", forms(name)[0])[0])
                before = instance_pids(name)
                self.assertTrue(1 <= len(before) <= INSTANCES, before)
                for _ in range(10):
                    self.assertEqual(200, answer("/res", forms(name)[1])[0])
                self.assertEqual(before, instance_pids(name))


if __name__ == "__main__":
    unittest.main()
