"""The Python kit on exchange files built byte by byte (both offset bases, both value shapes), on
damaged files, and its three answers."""
import fcntl
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "backend", "python"))
import karvel_backend as kb  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from exchange_bytes import AS_SENT, CONVERTED, exchange  # noqa: E402

class KitTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "VC1.tmp")

    def tearDown(self):
        self.dir.cleanup()

    def put(self, data):
        with open(self.path, "wb") as f:
            f.write(data)
        os.chmod(self.path, 0o600)

    def test_reads_both_bases_and_both_value_shapes(self):
        cases = {
            "base 1 then 0 from VCEXE": [(b"a", b"1", AS_SENT, 1), (b"VCEXE", b"p", AS_SENT, 0),
                                         (b"k", b"\x88\x9f", CONVERTED, 0)],
            "base 1 throughout": [(b"k", b"\x88\x9f", CONVERTED, 1), (b"VBEXE", b"p", AS_SENT, 1)],
            "empty values in both shapes": [(b"e", b"", AS_SENT, 1), (b"f", b"", CONVERTED, 0)],
            "NUL bytes in values": [(b"z", b"\0", AS_SENT, 1), (b"n", b"a\0b", AS_SENT, 1),
                                    (b"t", b"x\0", AS_SENT, 0)],
            "no fields": [],
        }
        for name, fields in cases.items():
            with self.subTest(name):
                self.put(exchange(fields))
                request = kb.read_request(self.path)
                self.assertEqual(request.fields, [(f[0], f[1]) for f in fields])
                self.assertEqual((request.method, request.connection), ("2", 0x12345678))
                self.assertEqual((request.remote_addr, request.remote_user), (b"192.0.2.7", b"taro"))
        self.put(exchange([(b"a", b"1", AS_SENT, 1), (b"a", b"2", AS_SENT, 1)], method=b"1"))
        request = kb.read_request(self.path)
        self.assertEqual((request.method, request.find("a"), request.find(b"b")), ("1", b"1", None))

    def test_fields_counted_but_not_listed(self):
        fields = [(b"a", b"1", AS_SENT, 1), (b"VCEXE", b"p", AS_SENT, 0)]
        for unlisted in (1, 3):
            with self.subTest(unlisted=unlisted):
                data = exchange(fields, unlisted=unlisted)
                request = kb.parse_request(data)
                self.assertEqual(request.fields, [(b"a", b"1"), (b"VCEXE", b"p")])
                self.assertEqual(request.field_count, 2 + unlisted)
                # Anything in an unused entry, or a used one behind it, is damage.
                for at in (524 + 32 + 4, 524 + 16 * (2 + unlisted) - 1):
                    bad = bytearray(data)
                    bad[at] = 1
                    with self.assertRaises(kb.ExchangeFileError):
                        kb.parse_request(bytes(bad))

    def test_uploads_of_this_request_only(self):
        exchange_path = os.path.join(self.dir.name, "VC0123456789ABCDEF.tmp")
        own = kb.upload_directory(exchange_path)
        self.assertEqual(own, os.path.join(self.dir.name, "VCU0123456789ABCDEF.tmp"))
        self.assertEqual(kb.upload_directory(b"/tmp/VC1.tmp"), b"/tmp/VCU1.tmp")
        self.assertIsNone(kb.upload_directory("/tmp/other.tmp"))
        os.mkdir(own)
        other = os.path.join(self.dir.name, "VCUFEDCBA9876543210.tmp")
        os.mkdir(other)
        for path, data in ((os.path.join(own, "up.txt"), b"up"), (os.path.join(other, "o.txt"), b"o"),
                           (os.path.join(self.dir.name, "loose.txt"), b"l")):
            with open(path, "wb") as f:
                f.write(data)
        os.symlink(os.path.join(self.dir.name, "loose.txt"), os.path.join(own, "link.txt"))
        alias = os.path.join(self.dir.name, "alias.txt")  # a path to an upload not naming its directory
        os.symlink(os.path.join(own, "up.txt"), alias)
        cases = {alias: False, os.path.join(own, "up.txt"): True, os.path.join(own, "up.txt").encode(): True,
                 os.path.join(own, "..", "VCU0123456789ABCDEF.tmp", "up.txt"): True,
                 os.path.join(own, "link.txt"): False, os.path.join(own, "..", "loose.txt"): False,
                 os.path.join(other, "o.txt"): False, own: False, exchange_path: False, b"": False,
                 b"up.txt\0": False}
        for value, expected in cases.items():
            with self.subTest(value=value):
                self.assertEqual(kb.is_upload(exchange_path, value), expected)

    def test_refuses_damaged_files(self):
        good = exchange([(b"a", b"1", AS_SENT, 1), (b"VCEXE", b"p", AS_SENT, 0),
                         (b"k", b"\x88\x9f", CONVERTED, 0)])
        kb.parse_request(good)
        for size in range(len(good)):
            with self.subTest(cut_to=size), self.assertRaises(kb.ExchangeFileError):
                kb.parse_request(good[:size])

        def number(at, value):
            return good[:at] + struct.pack("<I", value) + good[at + 4:]

        cases = {
            "answered": (b"9" + good[1:], "already answered"),
            "method digit": (b"7" + good[1:], "method digit"),
            "field count past the end": (number(8, 0xFFFFFFFF), "runs past the end"),
            "name offset two past": (number(524, struct.unpack_from("<I", good, 524)[0] + 2), "name offset"),
            "value offset with the other base": (number(532, struct.unpack_from("<I", good, 532)[0] - 1),
                                                 "value offset"),
            "name length zero": (number(528, 0), "name record"),
            "value length past the end": (number(524 + 32 + 12, 0xFFFFFFFF), "value record"),
            "last record without its zero": (good[:-1] + b"x", "value record"),
            "a byte after the last record": (good + b"x", "1 bytes after"),
        }
        for name, (data, message) in cases.items():
            with self.subTest(name), self.assertRaisesRegex(kb.ExchangeFileError, message):
                kb.parse_request(data)
        with self.assertRaises(kb.ExchangeFileError):
            kb.read_request(os.path.join(self.dir.name, "missing"))

    def test_an_answer_waits_out_the_servers_look_at_the_file(self):
        # The server looks at the file under a read lease it drops at once; an answer written in
        # that moment waits it out instead of failing.
        self.put(b"2 \0\0request")
        signal.signal(signal.SIGURG, signal.SIG_IGN)
        look = os.open(self.path, os.O_RDONLY)
        try:
            fcntl.fcntl(look, fcntl.F_SETSIG, signal.SIGURG)
            try:
                fcntl.fcntl(look, fcntl.F_SETLEASE, fcntl.F_RDLCK)
            except OSError:
                self.skipTest("no leases on this file system")
            failed = []
            writer = threading.Thread(target=lambda: self.answer_or_note(failed))
            writer.start()
            time.sleep(0.05)
            fcntl.fcntl(look, fcntl.F_SETLEASE, fcntl.F_UNLCK)
            writer.join()
        finally:
            os.close(look)
        self.assertEqual([], failed)
        with open(self.path, "rb") as f:
            self.assertEqual(b"91  x", f.read())

    def answer_or_note(self, failed):
        try:
            kb.answer_page(self.path, b"x")
        except OSError as e:
            failed.append(e)

    def test_answers_are_written_into_the_file(self):
        data = os.path.join(self.dir.name, "data.bin")
        with open(data, "wb") as f:
            f.write(b"GIF89a")
        real = os.path.realpath(data).encode()
        cases = {
            "page bytes": (lambda p: kb.answer_page(p, b"Content-Type: text/plain\r\n\r\nA\0B"),
                           b"91  Content-Type: text/plain\r\n\r\nA\0B"),
            "page text in Shift-JIS": (lambda p: kb.answer_page(p, "\r\n\u65e5\u672c"), b"91  \r\n\x93\xfa\x96\x7b"),
            "local URL": (lambda p: kb.answer_url(p, "/static/a.html"), b"92  /static/a.html"),
            "redirect": (lambda p: kb.answer_url(p, b"http://example.invalid/"), b"92  http://example.invalid/"),
            "URL with CR LF": (lambda p: kb.answer_url(p, "/a\r\nX: y"), ValueError),
            "URL too long": (lambda p: kb.answer_url(p, "/" + "u" * 8192), ValueError),
            "file through ..": (lambda p: kb.answer_file(p, os.path.join(self.dir.name, "x", "..", "data.bin")),
                                b"94  " + real),
            "missing file": (lambda p: kb.answer_file(p, os.path.join(self.dir.name, "none")), ValueError),
        }
        # Longer than every answer: what the answer does not cover is cut away.
        request = b"2 \0\0" + b"r" * 5000
        for name, (write, want) in cases.items():
            with self.subTest(name):
                self.put(request)
                before = os.stat(self.path).st_ino
                if want is ValueError:
                    self.assertRaises(ValueError, write, self.path)
                else:
                    write(self.path)
                with open(self.path, "rb") as f:
                    self.assertEqual(f.read(), request if want is ValueError else want)
                self.assertFalse(os.path.lexists(self.path + ".answer"))
                self.assertEqual(os.stat(self.path).st_ino, before, "the same file")
                self.assertEqual(os.stat(self.path).st_mode & 0o777, 0o600)
                if want is not ValueError:
                    self.assertRaises(OSError, kb.answer_page, self.path, b"again")
                    with open(self.path, "rb") as f:
                        self.assertEqual(f.read(), want, "the first answer stays whole")
        link = os.path.join(self.dir.name, "link")
        os.symlink(self.path, link)
        self.put(request)
        self.assertRaises(OSError, kb.answer_page, link, b"x")
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), request, "a link at the name is not followed")
        gone = os.path.join(self.dir.name, "gone")
        self.assertRaises(FileNotFoundError, kb.answer_page, gone, b"x")
        self.assertFalse(os.path.lexists(gone) or os.path.lexists(gone + ".answer"))


class DecodeValue(unittest.TestCase):
    def test_kits_decode_values_as_code_page_932(self):
        # NEC and IBM extensions, 81 60 (the one wave dash of code page 932), half-width katakana.
        self.assertEqual("①㈱髙﨑～ｶﾅ", kb.decode_value(b"\x87\x40\x87\x8a\xfb\xfc\xfa\xb1\x81\x60\xb6\xc5"))
        self.assertEqual("a\ufffd\x7fb", kb.decode_value(b"a\x81\x7fb"))
        tool = os.environ.get("DECODE_VALUE_TOOL")
        if not tool:
            self.skipTest("DECODE_VALUE_TOOL not set (ctest sets it)")
        # Every byte and every lead and trail pair, each decoded on its own (newline-separated).
        codes = [bytes([b]) for b in range(256) if b != 0x0A]
        codes += [bytes([lead, trail]) for lead in range(0x81, 0x100) for trail in range(0x40, 0x100)]
        out = subprocess.run([tool], input=b"\n".join(codes), stdout=subprocess.PIPE, check=True).stdout
        parts = out.decode("utf-8").split("\n")
        self.assertEqual(len(codes), len(parts))
        # Where they differ: bytes A0, FD, FE and FF begin no character; cp932 gives them private use
        # characters, the standard (and the C++ kit) U+FFFD.
        pua = {0xF8F0 + k: 0xFFFD for k in range(4)}
        differences = [code for code, ours in zip(codes, parts) if kb.decode_value(code) != ours]
        for code in differences:
            self.assertEqual(kb.decode_value(code).translate(pua), parts[codes.index(code)], code.hex())
            self.assertTrue(set(code) & {0xA0, 0xFD, 0xFE, 0xFF}, code.hex())


# Text and what both kits make of it: each of the five escaped wherever it stands, "&" of an entity
# too (escaping twice shows), everything else as it is.
HTML_ESCAPES = [
    ("", ""),
    ("plain text 123", "plain text 123"),
    ("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#39;"),
    ("&amp;", "&amp;amp;"),
    ("&lt;&#39;", "&amp;lt;&amp;#39;"),
    ("<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"),
    ('a="b" c=\'d\'', "a=&quot;b&quot; c=&#39;d&#39;"),
    ("<<>>&&", "&lt;&lt;&gt;&gt;&amp;&amp;"),
    ("\0<\0", "\0&lt;\0"),
    ("山田 <太郎>", "山田 &lt;太郎&gt;"),
]


class HtmlEscape(unittest.TestCase):
    def test_text_and_bytes_escape_the_same_five(self):
        for text, escaped in HTML_ESCAPES:
            self.assertEqual(escaped, kb.html_escape(text), text)
            self.assertIsInstance(kb.html_escape(text), str)
            encoded = text.encode("cp932")
            for given in (encoded, bytearray(encoded), memoryview(encoded)):
                self.assertEqual(escaped.encode("cp932"), kb.html_escape(given), text)
                self.assertIsInstance(kb.html_escape(given), bytes)

    def test_shift_jis_characters_stay_whole(self):
        # Every two-byte code with a trail byte in the kit's range: none is broken by escaping.
        for lead in list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD)):
            for trail in range(0x40, 0xFD):
                code = bytes([lead, trail])
                self.assertEqual(code, kb.html_escape(code), code.hex())

    def test_kits_escape_alike(self):
        tool = os.environ.get("HTML_ESCAPE_TOOL")
        if not tool:
            self.skipTest("HTML_ESCAPE_TOOL not set (ctest sets it)")
        inputs = [text.encode("cp932") for text, _ in HTML_ESCAPES] + [bytes(range(256)), bytes(range(255, -1, -1))]
        for data in inputs:
            theirs = subprocess.run([tool], input=data, stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(theirs, kb.html_escape(data), data)
            self.assertEqual(theirs.decode("latin-1"), kb.html_escape(data.decode("latin-1")), data)


if __name__ == "__main__":
    unittest.main()
