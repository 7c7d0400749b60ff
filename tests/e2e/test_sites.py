"""Settings per site: two virtual hosts with back-end and temporary directories of their own, and
settings in <Location> and <Directory> sections, merged the Apache way."""
import os
import pwd
import shutil
import tempfile
import unittest
import urllib.parse

from karvel_e2e import BUILD, SCRIPT, Server, error_page, multipart

server = None
dirs = []


def private_dir(programs=()):
    """A directory outside the stage that the server's children can use: programs copied in, or
    owned by the children's user (a temporary directory)."""
    path = tempfile.mkdtemp(prefix="karvel-e2e-site-", dir="/tmp")
    dirs.append(path)
    os.chmod(path, 0o755)
    for name in programs:
        shutil.copy(os.path.join(BUILD, "bin", "test-backends", name), path)
    if not programs and os.geteuid() == 0:
        user = pwd.getpwnam("www-data")
        os.chown(path, user.pw_uid, user.pw_gid)
        os.chmod(path, 0o700)
    return path


def setUpModule():
    global server, backends_b, temp_b
    backends_b = private_dir(["show_env"])
    temp_b = private_dir()
    server = Server(probe=False, log_level="warn", includes=[
        '<Directory "@STAGE@/site">\n    KarvelMaxFields 3\n</Directory>',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /scripts/own/VC_KARVEL2.dll',
        '<VirtualHost *:@PORT@>\n    ServerName a.test\n'
        '    <Location "/scripts/own">\n        KarvelFormCharset UTF-8\n    </Location>\n</VirtualHost>',
        '<VirtualHost *:@PORT@>\n    ServerName b.test\n'
        '    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n'
        '    <Location "/scripts/own">\n        KarvelBackendDir "@STAGE@/backends"\n'
        '        KarvelMaxFields 10\n    </Location>\n</VirtualHost>' % (backends_b, temp_b),
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /reqvars/VC_KARVEL2.dll',
        '<Location "/reqvars">\n    KarvelPassRequestVars on\n</Location>',
        # A host that keeps the main server's extension URLs out, and maps one of its own.
        '<VirtualHost *:@PORT@>\n    ServerName c.test\n    KarvelExtension off\n'
        '    KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /c/VC_KARVEL2.dll\n</VirtualHost>'])


def tearDownModule():
    server.stop()
    for path in dirs:
        shutil.rmtree(path, ignore_errors=True)


def get(host, path, **fields):
    return server.request("GET", path + "?" + urllib.parse.urlencode(fields), headers={"Host": host})


def environment_of(path, headers):
    status, _, body = server.request("GET", path + "?VCEXE=show_env&q=1", headers=headers)
    assert status == 200, body
    return dict(line.split("=", 1) for line in body.decode("latin-1").splitlines() if "=" in line)


class Sites(unittest.TestCase):
    def test_request_variables_reach_programs_only_where_the_site_passes_them(self):
        headers = {"Host": "a.test", "Cookie": "session=s3cret", "Authorization": "Basic dXNlcjpwYXNz",
                   "Proxy": "http://evil.test/", "Proxy-Authorization": "Basic eA==", "X-Probe": "probe"}
        passed = environment_of("/reqvars/VC_KARVEL2.dll", headers)
        for name, value in [("HTTP_HOST", "a.test"), ("HTTP_COOKIE", "session=s3cret"), ("HTTP_X_PROBE", "probe"),
                            ("SERVER_NAME", "a.test"), ("REQUEST_METHOD", "GET"), ("QUERY_STRING", "VCEXE=show_env&q=1"),
                            ("REQUEST_URI", "/reqvars/VC_KARVEL2.dll?VCEXE=show_env&q=1"),
                            ("SCRIPT_NAME", "/reqvars/VC_KARVEL2.dll"),
                            # karvel's own stay as they are: the clean PATH, not the server's
                            ("PATH", "/usr/local/bin:/usr/bin:/bin"),
                            ("KARVEL_BACKEND_DIR", os.path.join(server.stage, "backends"))]:
            with self.subTest(name=name):
                self.assertEqual(value, passed.get(name))
        for name in ("HTTP_AUTHORIZATION", "HTTP_PROXY", "HTTP_PROXY_AUTHORIZATION"):
            with self.subTest(kept_out=name):
                self.assertNotIn(name, passed)
        self.assertNotIn("s3cret", str({k: v for k, v in passed.items() if k != "HTTP_COOKIE"}))
        # The default stays the clean environment.
        clean = environment_of(SCRIPT, headers)
        for name in ("HTTP_HOST", "HTTP_COOKIE", "SERVER_NAME", "REQUEST_URI", "HTTP_X_PROBE"):
            with self.subTest(default=name):
                self.assertNotIn(name, clean)

    def test_a_host_with_karvel_extension_off_maps_only_its_own_urls(self):
        cases = [  # (host, URL, status)
            ("c.test", SCRIPT, 404),
            ("c.test", "/scripts/own/VC_KARVEL2.dll", 404),
            ("c.test", SCRIPT.upper(), 404),  # not even redirected to another spelling
            ("c.test", "/c/VC_KARVEL2.dll", 200),
            ("a.test", SCRIPT, 200),  # the other hosts still have the main server's
            ("a.test", "/c/VC_KARVEL2.dll", 404),
            ("localhost", "/c/VC_KARVEL2.dll", 404),
        ]
        for host, path, expected in cases:
            with self.subTest(host=host, path=path):
                status, _, body = get(host, path, VCEXE="show_env")
                self.assertEqual(expected, status, body[:200])
                if expected == 200:
                    self.assertIn(b"exchange=", body)

    def test_each_virtual_host_runs_its_own_programs_in_its_own_temporary_directory(self):
        status, _, body = get("a.test", SCRIPT, VCEXE="show_env")
        self.assertEqual(200, status)
        self.assertIn(b"exchange=" + os.path.join(server.stage, "tmp", "VC").encode(), body)
        status, _, body = get("b.test", SCRIPT, VCEXE="show_env")
        self.assertEqual(200, status)
        self.assertIn(b"exchange=" + os.path.join(temp_b, "VC").encode(), body)
        # echo lies only in a.test's back-end directory: b.test does not run it.
        self.assertIn(b"<td>who</td>", get("a.test", SCRIPT, VCEXE="echo", who="a")[2])
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), get("b.test", SCRIPT, VCEXE="echo", who="b")[2])
        # Nothing of the settings leaks into the environment of the programs or of other sites.
        self.assertNotIn(b"KARVEL_BACKEND_DIR=" + backends_b.encode(), get("a.test", SCRIPT, VCEXE="show_env")[2])

    def test_location_and_directory_sections(self):
        # The site's <Directory> limits fields to 3 on both hosts ...
        self.assertEqual(200, get("a.test", SCRIPT, VCEXE="echo", b="2", c="3")[0])
        self.assertEqual(413, get("a.test", SCRIPT, VCEXE="echo", b="2", c="3", d="4")[0])
        self.assertEqual(413, get("b.test", SCRIPT, VCEXE="show_env", b="2", c="3", d="4")[0])
        # ... and b.test's <Location> overrides it and its own back-end directory.
        status, _, body = get("b.test", "/scripts/own/VC_KARVEL2.dll", VCEXE="echo", b="2", c="3", d="4")
        self.assertEqual(200, status)
        self.assertIn(b"4 fields", body)
        # The same URL on a.test has only the <Directory> setting.
        self.assertEqual(413, get("a.test", "/scripts/own/VC_KARVEL2.dll", VCEXE="echo", b="2", c="3", d="4")[0])

    def test_form_encoding_declared_by_the_site_the_request_or_the_form(self):
        own = "/scripts/own/VC_KARVEL2.dll"
        text = "テスト café"
        sjis = "テスト".encode("cp932") + b" caf&#233;"
        kana = "ｶｿｳｼﾃﾝ".encode("cp932")

        def echoed(body, value):
            return b"<td>t</td><td>" + value + b"</td>" in body

        def post(path, form, content_type="application/x-www-form-urlencoded"):
            return server.request("POST", path, urllib.parse.urlencode(form, encoding="utf-8").encode()
                                  if isinstance(form, dict) else form, {"Host": "a.test", "Content-Type": content_type})

        # a.test's <Location> declares UTF-8; elsewhere the same bytes are detected as before (as EUC-JP).
        self.assertTrue(echoed(get("a.test", own, VCEXE="echo", t=text)[2], sjis))
        self.assertFalse(echoed(get("a.test", SCRIPT, VCEXE="echo", t=text)[2], sjis))
        # A charset on the Content-Type declares it for one request.
        body = post(SCRIPT, {"VCEXE": "echo", "t": text}, "application/x-www-form-urlencoded; charset=UTF-8")[2]
        self.assertTrue(echoed(body, sjis), body)
        # The form's _charset_ wins over the site: half-width katakana stay as they were sent.
        form = b"VCEXE=echo&_charset_=Shift_JIS&t=" + urllib.parse.quote_from_bytes(kana).encode()
        self.assertTrue(echoed(post(own, form)[2], kana))
        self.assertFalse(echoed(post(SCRIPT, form.replace(b"_charset_=Shift_JIS&", b""))[2], kana))
        # A multipart form declaring UTF-8: its upload is saved under the Shift-JIS name and echo,
        # seeing the declaration, answers in UTF-8.
        data, ctype = multipart([("VCEXE", b"echo"), ("_charset_", b"UTF-8")],
                                [("file", "メモ①.txt", "text/plain", b"hello upload\n")])
        status, headers, body = server.request("POST", SCRIPT, data, {"Host": "a.test", "Content-Type": ctype})
        self.assertEqual("text/html; charset=UTF-8", headers["content-type"])
        self.assertIn("メモ①.txt</td><td>13 bytes</td>".encode(), body)


if __name__ == "__main__":
    unittest.main()
