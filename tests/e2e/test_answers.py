"""The extension behind Apache answers real HTTP: every answer kind, the form encodings, chunked
bodies, basic authentication and kept-alive connections."""
import os
import unittest
import urllib.parse

from karvel_e2e import SCRIPT, SOURCE, Server, error_page, multipart, png

server = None


def setUpModule():
    global server
    server = Server()


def tearDownModule():
    server.stop()


def query(**fields):
    return urllib.parse.urlencode(fields)


class AnswerKinds(unittest.TestCase):
    def test_page_answer_carries_its_headers_and_exact_length(self):
        status, headers, body = server.request("GET", SCRIPT + "?" + query(VCEXE="echo", a="1"))
        self.assertEqual(200, status)
        self.assertEqual("text/html; charset=Shift_JIS", headers["content-type"])
        self.assertEqual(str(len(body)), headers["content-length"])
        self.assertIn(b"GET from 127.0.0.1 user , 2 fields", body)
        self.assertIn(b"<tr><td>a</td><td>1</td>", body)
        # The debug-copy build answers the same under its own URL.
        status, _, body = server.request("GET", "/scripts/debug/VC_KARVEL2.dll?" + query(VCEXE="echo", b="2"))
        self.assertEqual(200, status)
        self.assertIn(b"<tr><td>b</td><td>2</td>", body)

    def test_url_answers_local_and_redirect(self):
        with open(os.path.join(SOURCE, "demo", "site", "target.utf8.html"), "rb") as f:
            target = f.read()
        status, headers, body = server.request("GET", SCRIPT + "?" + query(VCEXE="goto", to="/target.utf8.html"))
        self.assertEqual((200, target), (status, body))
        self.assertEqual("text/html; charset=utf-8", headers["content-type"])
        # A POST answered with a local URL: Apache serves it as a GET, query string kept.
        body_text = query(VCEXE="goto", to="/probe/sub?ecb")
        status, _, body = server.request("POST", SCRIPT, body_text,
                                         {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(200, status)
        self.assertIn(b"method=GET\nquery=ecb\npathinfo=/sub\n", body)
        status, headers, _ = server.request("GET", SCRIPT + "?" + query(VCEXE="goto", to="http://example.invalid/x?y=1"))
        self.assertEqual(302, status)
        self.assertEqual("http://example.invalid/x?y=1", headers["location"])

    def test_file_answer_sends_the_exact_image_bytes_typed(self):
        image = png(7, 5)
        body, ctype = multipart([("VCEXE", b"show_upload")], [("file", "dot.png", "image/png", image)])
        status, headers, data = server.request("POST", SCRIPT, body, {"Content-Type": ctype})
        self.assertEqual(200, status)
        self.assertEqual("image/png", headers["content-type"])
        self.assertEqual(str(len(image)), headers["content-length"])
        self.assertEqual(image, data)

    def test_error_page_byte_for_byte_and_unknown_result_code(self):
        status, headers, body = server.request("GET", SCRIPT + "?" + query(VCEXE="no-such-program"))
        self.assertEqual(200, status)
        self.assertEqual("text/html", headers["content-type"])
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), body)
        # A back-end outside the back-end directory is refused the same way.
        status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="/bin/ls"))
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), body)
        # Result code "99": the extension sends nothing and fails; Apache answers its own 500.
        status, _, body = server.request("GET", SCRIPT + "?" + query(VCEXE="answer_99"))
        self.assertEqual(500, status)
        self.assertIn(b"Internal Server Error", body)


class FormData(unittest.TestCase):
    TEXT = "日本語テキスト 山田太郎"

    def assertEchoed(self, body, name, text):
        row = b"<tr><td>" + name + b"</td><td>" + text.encode("shift_jis") + b"</td>"
        self.assertIn(row, body, body.decode("shift_jis", "replace"))

    def test_get_and_post_in_three_encodings_reach_the_backend_as_shift_jis(self):
        # Half-width katakana in EUC-JP arrive widened; Shift-JIS input arrives as it was sent.
        for encoding, text, expected in (("shift_jis", self.TEXT + " ｶﾀｶﾅ", self.TEXT + " ｶﾀｶﾅ"),
                                         ("euc_jp", self.TEXT + " ｶﾀｶﾅ", self.TEXT + " カタカナ"),
                                         ("iso2022_jp", self.TEXT, self.TEXT)):
            with self.subTest(encoding=encoding, form="GET"):
                q = "VCEXE=echo&t=" + urllib.parse.quote_from_bytes(text.encode(encoding))
                status, _, body = server.request("GET", SCRIPT + "?" + q)
                self.assertEqual(200, status)
                self.assertEchoed(body, b"t", expected)
            with self.subTest(encoding=encoding, form="POST url-encoded"):
                status, _, body = server.request("POST", SCRIPT, q.encode(),
                                                 {"Content-Type": "application/x-www-form-urlencoded"})
                self.assertEchoed(body, b"t", expected)
            with self.subTest(encoding=encoding, form="POST multipart"):
                data, ctype = multipart([("VCEXE", b"echo"), ("t", text.encode(encoding))],
                                        [("file", "note.txt", "text/plain", b"hello upload\n")])
                status, _, body = server.request("POST", SCRIPT, data, {"Content-Type": ctype})
                self.assertEchoed(body, b"t", expected)
                self.assertIn(b"note.txt</td><td>13 bytes</td>", body)

    def test_chunked_bodies_small_and_beyond_the_read_ahead(self):
        def chunks(data, size):
            for i in range(0, len(data), size):
                yield data[i:i + size]

        conn = server.connection()
        form = query(VCEXE="echo", c="chunked").encode()
        conn.request("POST", SCRIPT, body=chunks(form, 5), encode_chunked=True,
                      headers={"Content-Type": "application/x-www-form-urlencoded", "Transfer-Encoding": "chunked"})
        response = conn.getresponse()
        self.assertEqual(200, response.status)
        self.assertIn(b"<tr><td>c</td><td>chunked</td>", response.read())
        # An upload of 1 MiB in chunks: its length is not known until it has been read.
        image = png(300, 300) + bytes(range(256)) * 4096
        data, ctype = multipart([("VCEXE", b"show_upload")], [("file", "big.png", "image/png", image)])
        conn.request("POST", SCRIPT, body=chunks(data, 60000), encode_chunked=True,
                     headers={"Content-Type": ctype, "Transfer-Encoding": "chunked"})
        response = conn.getresponse()
        self.assertEqual(200, response.status)
        self.assertEqual(image, response.read())
        conn.close()

    def test_remote_user_from_basic_authentication(self):
        url = "/private/VC_KARVEL2.dll?" + query(VCEXE="echo")
        status, _, _ = server.request("GET", url)
        self.assertEqual(401, status)
        import base64
        status, _, body = server.request("GET", url, headers={"Authorization": "Basic " + base64.b64encode(b"demo:karvel").decode()})
        self.assertEqual(200, status)
        self.assertIn(b"user demo,", body)

    def test_keep_alive_across_replies_of_different_kinds(self):
        conn = server.connection()
        conn.request("GET", SCRIPT + "?" + query(VCEXE="echo", n="1"))
        first = conn.getresponse()
        self.assertIn(b"<td>n</td><td>1</td>", first.read())
        sock = conn.sock
        self.assertIsNotNone(sock)
        conn.request("GET", SCRIPT + "?" + query(VCEXE="no-such-program"))
        second = conn.getresponse()
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), second.read())
        image = png()
        data, ctype = multipart([("VCEXE", b"show_upload")], [("file", "k.png", "image/png", image)])
        conn.request("POST", SCRIPT, data, {"Content-Type": ctype})
        third = conn.getresponse()
        self.assertEqual(image, third.read())
        self.assertIs(sock, conn.sock, "the connection was not kept alive")
        conn.close()


if __name__ == "__main__":
    unittest.main()
