"""karvel-run against the server: the same form sent through Apache (the debug-copy build, with
KarvelDebugCopyDir) and through karvel-run (--debug-copy-dir, the server's own temporary and
back-end directories) gives the same exchange file, byte for byte, and the same reply (status,
Content-Type, body); a time-out and a missing program give the same error page, and karvel-run
exits 1 with its text on stderr.

Two things must differ and are made equal before the comparison: the connection number (bytes 4-7
of the header: the server's count of its connections, 1 for karvel-run's one request) and the
upload directory's random digits (each request makes its own directory, VCU<digits>.tmp; both are
made in the same temporary directory, so the paths have the same length)."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest
import urllib.parse

from karvel_e2e import BUILD, Server, multipart, wait_until

KARVEL_RUN = os.path.join(BUILD, "bin", "karvel-run")
EXTENSION = '"@STAGE@/lib/debug-copy/VC_KARVEL2.so"'
TEXT = "山田 太郎 ①"
# Python's codecs for the charsets as browsers send them.
CODECS = {"sjis": ("cp932", "shift_jis"), "utf-8": ("utf-8", "utf-8"), "euc-jp": ("euc_jis_2004", "euc-jp"),
          "jis": ("iso2022_jp_ext", "iso-2022-jp")}
server = None
dirs = {}


def setUpModule():
    global server
    for name in ("apache", "run", "files"):
        dirs[name] = tempfile.mkdtemp(prefix="karvel-e2e-run-%s-" % name, dir="/tmp")
        os.chmod(dirs[name], 0o777)
    includes = []
    for url, extra in (("run", ""), ("late", "KarvelBackendTimeout 1")):
        includes += ["KarvelExtension %s /%s/VC_KARVEL2.dll" % (EXTENSION, url),
                     '<Location "/%s">\n    Require all granted\n    KarvelDebugCopyDir "%s"\n    %s\n</Location>'
                     % (url, dirs["apache"], extra)]
    server = Server(probe=False, log_level="warn", includes=includes)


def tearDownModule():
    server.stop()
    for directory in dirs.values():
        shutil.rmtree(directory, ignore_errors=True)


def normalised(exchange):
    exchange = exchange[:4] + b"\0\0\0\0" + exchange[8:]
    return re.sub(rb"VCU[0-9A-F]+\.tmp", lambda m: b"VCU" + b"0" * (len(m.group(0)) - 7) + b".tmp", exchange)


def parse_response(output):
    head, _, body = output.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ")[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


def program_pids(program, parent):
    """The pids of `program` (its resolved path, as the extension starts it) that `parent` started."""
    out = subprocess.run(["pgrep", "-P", str(parent), "-f", os.path.realpath(program)], stdout=subprocess.PIPE, text=True).stdout
    return [int(p) for p in out.split()]


def copies(directory):
    out = {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            out[name] = f.read()
        os.unlink(os.path.join(directory, name))
    return out


class SameAsTheServer(unittest.TestCase):
    def compare(self, what, base, method, query, body, content_type, run_args, exit_status=0):
        """The form through Apache below /`base`, then through karvel-run with `run_args`."""
        copies(dirs["apache"]), copies(dirs["run"])
        headers = {"Content-Type": content_type} if content_type else {}
        url = "/%s/VC_KARVEL2.dll%s" % (base, "?" + query if query else "")
        status, got_headers, got_body = server.request(method, url, body, headers)
        served = copies(dirs["apache"])
        run = subprocess.run([KARVEL_RUN, "--debug-copy-dir", dirs["run"], "--temp-dir",
                              os.path.join(server.stage, "tmp")] + run_args,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(exit_status, run.returncode, "%s: %s" % (what, run.stderr))
        ran = copies(dirs["run"])
        self.assertEqual(sorted(served), sorted(ran), what)
        for name in served:
            self.assertEqual(normalised(served[name]), normalised(ran[name]), "%s: %s" % (what, name))
        run_status, run_headers, run_body = parse_response(run.stdout)
        self.assertEqual(status, run_status, what)
        self.assertEqual(got_headers.get("content-type"), run_headers.get("content-type"), what)
        self.assertEqual(got_body, run_body, what)
        self.assertEqual(str(len(run_body)), run_headers.get("content-length"), what)
        return run

    def program(self, name):
        return os.path.join(server.stage, "backends", name)

    def test_get_and_post(self):
        fields = [("a", "1"), ("b", "x y&z"), ("empty", "")]
        query = urllib.parse.urlencode([("_charset_", "utf-8"), ("VCEXE", "echo")] + fields)
        self.compare("GET", "run", "GET", query, None, None,
                     ["--get", self.program("echo")] + ["%s=%s" % f for f in fields])
        body = urllib.parse.urlencode([("VCEXE", "echo")] + fields).encode()
        run = self.compare("POST", "run", "POST", "", body, "application/x-www-form-urlencoded; charset=utf-8",
                           [self.program("echo")] + ["%s=%s" % f for f in fields])
        self.assertEqual(b"", run.stderr)

    def test_each_charset(self):
        for charset, (codec, label) in CODECS.items():
            for method in ("GET", "POST"):
                # Python's ISO-2022-JP codecs have no NEC row 13 (①), browsers' has.
                text = TEXT.replace(" ①", "") if charset == "jis" else TEXT
                sent = [("name", text.encode(codec)), ("k", b"v")]
                if method == "GET":
                    query = urllib.parse.urlencode([("_charset_", label), ("VCEXE", "echo")] + sent)
                    args = ["--get"]
                    body = content_type = None
                else:
                    query, args = "", []
                    body = urllib.parse.urlencode([("VCEXE", "echo")] + sent).encode()
                    content_type = "application/x-www-form-urlencoded; charset=" + label
                self.compare("%s %s" % (method, charset), "run", method, query, body, content_type,
                             args + ["--charset", charset, self.program("echo"), "name=" + text, "k=v"])

    def test_multipart_with_a_binary_upload(self):
        data = bytes(range(256))
        path = os.path.join(dirs["files"], "bytes.bin")
        with open(path, "wb") as f:
            f.write(data)
        body, content_type = multipart([("VCEXE", b"show_upload"), ("note", TEXT.encode())],
                                       [("file", "bytes.bin", "application/octet-stream", data)])
        run = self.compare("multipart", "run", "POST", "", body, content_type + "; charset=utf-8",
                           [self.program("show_upload"), "note=" + TEXT, "file=@" + path])
        self.assertIn(b"256", run.stdout)

    def test_a_program_that_times_out(self):
        query = urllib.parse.urlencode([("_charset_", "utf-8"), ("VCEXE", "never_answers")])
        run = self.compare("time-out", "late", "GET", query, None, None,
                           ["--get", "--timeout", "1", self.program("never_answers")], exit_status=1)
        self.assertIn(b"Time Out", run.stdout)
        self.assertIn(b"Time Out", run.stderr)
        # Stopped, as the server stops it: nothing of it runs on.
        self.assertEqual([], [p for p in server.backend_processes()
                              if "never_answers" in open("/proc/%d/cmdline" % p, "rb").read().decode(errors="replace")])

    def test_a_missing_program(self):
        query = urllib.parse.urlencode([("_charset_", "utf-8"), ("VCEXE", "not_there")])
        run = self.compare("missing", "run", "GET", query, None, None,
                           ["--get", self.program("not_there")], exit_status=1)
        self.assertIn(b"Exe Load Error", run.stderr)
        self.assertIn(b"not_there", run.stderr)


class OnItsOwn(unittest.TestCase):
    def run_tool(self, *args):
        return subprocess.run([KARVEL_RUN] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

    def test_keep_names_the_exchange_file_and_uploads_and_leaves_them(self):
        path = os.path.join(dirs["files"], "kept.bin")
        with open(path, "wb") as f:
            f.write(bytes(range(256)))
        echo = os.path.join(BUILD, "bin", "backends", "show_upload")
        run = self.run_tool("--keep", echo, "file=@" + path)
        self.assertEqual(0, run.returncode, run.stderr)
        kept = re.findall(rb"kept the exchange file (\S+)", run.stderr)
        uploads = re.findall(rb"kept the uploads in (\S+)", run.stderr)
        self.assertEqual(1, len(kept), run.stderr)
        self.assertEqual(1, len(uploads), run.stderr)
        with open(kept[0], "rb") as f:
            self.assertIn(b"show_upload", f.read())
        listed = os.listdir(uploads[0])
        self.assertEqual(1, len(listed))
        with open(os.path.join(uploads[0], listed[0]), "rb") as f:
            self.assertEqual(bytes(range(256)), f.read())
        shutil.rmtree(os.path.dirname(kept[0]))

    def test_without_keep_nothing_is_left(self):
        temp = tempfile.mkdtemp(prefix="karvel-e2e-run-tmpdir-", dir="/tmp")
        try:
            path = os.path.join(dirs["files"], "gone.bin")
            with open(path, "wb") as f:
                f.write(b"x" * 1000)
            run = subprocess.run([KARVEL_RUN, os.path.join(BUILD, "bin", "backends", "show_upload"), "file=@" + path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, env=dict(os.environ, TMPDIR=temp))
            self.assertEqual(0, run.returncode, run.stderr)
            self.assertEqual([], os.listdir(temp))
        finally:
            shutil.rmtree(temp)

    def test_body_only_and_a_raw_body(self):
        body = os.path.join(dirs["files"], "capture")
        with open(body, "wb") as f:
            f.write(b"VCEXE=echo&x=%E5%B1%B1")
        run = self.run_tool("--body-only", "--body", body, "--content-type",
                            "application/x-www-form-urlencoded; charset=utf-8",
                            os.path.join(BUILD, "bin", "backends", "echo"))
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertTrue(run.stdout.startswith(b"<html>"), run.stdout[:100])
        self.assertIn("山".encode("cp932"), run.stdout)

    def test_stopping_karvel_run_stops_its_program(self):
        program = os.path.join(BUILD, "bin", "test-backends", "never_answers")
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            # A karvel-run stopped so leaves its temporary directory: one of the test's own.
            tool = subprocess.Popen([KARVEL_RUN, "--temp-dir", dirs["files"], program], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            try:
                self.assertTrue(wait_until(lambda: program_pids(program, tool.pid), 10))
                started = program_pids(program, tool.pid)
                tool.send_signal(signal_number)
                self.assertEqual(-signal_number, tool.wait(10))
                # The program runs in a group of its own, which the terminal's signal does not reach.
                self.assertTrue(wait_until(lambda: not any(os.path.exists("/proc/%d" % p) and
                                                           open("/proc/%d/stat" % p).read().split()[2] != "Z"
                                                           for p in started), 10), started)
            finally:
                tool.kill()
                tool.wait()

    def test_bad_usage_exits_2(self):
        echo = os.path.join(BUILD, "bin", "backends", "echo")
        for args in ([], ["--nope", echo], ["--get", echo, "f=@/no/such"], [echo, "--timeout", "soon"],
                     ["/no/such/dir/prog"], ["--extension", "/no/such.so", echo]):
            run = self.run_tool(*args)
            self.assertEqual(2, run.returncode, args)
            self.assertIn(b"karvel-run", run.stderr)
            self.assertEqual(b"", run.stdout, args)

    def test_a_windows_program_runs_under_wine_only_when_asked(self):
        program = os.path.join(BUILD, "bin", "wine-backends", "wine_echo.exe")
        if not shutil.which("wine") or not os.path.exists(program):
            self.skipTest("no Wine or no Windows back-ends here")
        refused = self.run_tool(program, "a=1")
        self.assertEqual(1, refused.returncode, refused.stderr)
        self.assertIn(b"--wine", refused.stderr)
        prefix = tempfile.mkdtemp(prefix="karvel-e2e-run-wine-", dir="/tmp")
        try:
            run = self.run_tool("--wine", "--wine-prefix", prefix, "--timeout", "120", program, "a=1")
            self.assertEqual(0, run.returncode, run.stderr[-2000:])
            self.assertIn(b"VCEXE=wine_echo.exe", run.stdout)
            self.assertIn(b"a=1", run.stdout)
        finally:
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), stderr=subprocess.DEVNULL)
            shutil.rmtree(prefix, ignore_errors=True)

    def test_wine_where_it_is_not_installed_exits_2(self):
        run = subprocess.run([KARVEL_RUN, "--wine", os.path.join(BUILD, "bin", "backends", "echo")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, PATH="/nonexistent"))
        self.assertEqual(2, run.returncode)
        self.assertIn(b"Wine is not installed", run.stderr)


if __name__ == "__main__":
    unittest.main()
