"""Windows back-end programs (built with MinGW) run under Wine through Apache: chosen by their PE
header whatever their names, given their exchange file as a Windows path, in code page 932; refused
where KarvelWine is off; and no Wine process of the server's is left once Apache stops."""
import os
import pwd
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from karvel_e2e import BUILD, LAUNCHER, SCRIPT, SOURCE, Server, error_page, multipart

WINE_BACKENDS = os.path.join(BUILD, "bin", "wine-backends")
NO_WINE = "/nowine/VC_KARVEL2.dll"


def why_not_runnable():
    if not os.access("/usr/bin/wine", os.X_OK):
        return "Wine is not installed (make deps installs wine and wine64)"
    if not os.path.isfile(os.path.join(WINE_BACKENDS, "wine_echo.exe")):
        return "the Windows back-ends were not built (make deps installs MinGW-w64)"
    if subprocess.run(["/usr/bin/wine", "--version"], capture_output=True).returncode != 0:
        return "Wine cannot run on this machine"
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if "ja_jp.utf8" not in locales and "ja_jp.utf-8" not in locales:
        return "the ja_JP.UTF-8 locale is not generated (make deps generates it)"
    return None


def wine_processes(prefix):
    """Processes whose environment names `prefix` as their Wine prefix, or a site's own prefix
    inside it (the wineserver, Wine's services, back-end programs)."""
    found = []
    markers = (b"WINEPREFIX=" + prefix.encode() + b"\0", b"WINEPREFIX=" + prefix.encode() + b"/karvel-sites/")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environment = f.read() + b"\0"
                if any(marker in environment for marker in markers):
                    with open("/proc/%s/stat" % entry) as s:
                        if s.read().split(") ")[-1].startswith("Z"):
                            continue  # a zombie waiting for its parent: no longer running
                    found.append(int(entry))
        except OSError:
            pass
    return found


def prefix_path():
    """The server user's prefix, where host/tools/karvel-httpd keeps it for this build."""
    return subprocess.run([LAUNCHER, "--build", BUILD, "--print-wine-prefix"], capture_output=True, text=True,
                          check=True).stdout.strip()


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


def setUpModule():
    reason = why_not_runnable()
    if reason:
        raise unittest.SkipTest(reason)
    global server
    server = Server(probe=False, log_level="warn", includes=[
        'KarvelWindowsPath C:\\apps "@STAGE@/backends"',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /nowine/VC_KARVEL2.dll',
        '<Location "/nowine">\n    KarvelWine off\n</Location>',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /quick/VC_KARVEL2.dll',
        '<Location "/quick">\n    KarvelBackendTimeout 2\n    KarvelKillGrace 1\n</Location>'])


def tearDownModule():
    server.stop()


def post(url, fields):
    body = "&".join(urllib.parse.quote_from_bytes(name) + "=" + urllib.parse.quote_from_bytes(value)
                    for name, value in fields).encode()
    return server.request("POST", url, body, {"Content-Type": "application/x-www-form-urlencoded"}, timeout=120)


def echo_lines(body):
    return dict(line.split(b"=", 1) for line in body.split(b"\n") if b"=" in line)


class WineBackends(unittest.TestCase):
    def test_a_windows_program_answers_with_shift_jis_values_in_code_page_932(self):
        text = "テスト①㈱髙﨑〜"
        # 髙﨑 as browsers send them: the IBM extension rows (FA-FC), not their NEC duplicates.
        sjis = "テスト①㈱".encode("cp932") + b"\xfb\xfc\xfa\xb1\x81\x60"
        for name, fields, expected in [
            ("Shift-JIS form", [(b"VCEXE", b"wine_echo.exe"), (b"name", sjis)], sjis),
            ("UTF-8 form", [(b"VBEXE", b"wine_echo.exe"), (b"_charset_", b"UTF-8"), (b"name", text.encode())], sjis),
            ("ASCII", [(b"VCEXE", b"wine_echo.exe"), (b"name", b"a b&c")], b"a b&c"),
        ]:
            with self.subTest(name):
                status, headers, body = post(SCRIPT, fields)
                self.assertEqual(200, status, body)
                self.assertEqual("text/plain", headers.get("content-type"), body)
                lines = echo_lines(body)
                self.assertEqual(b"932", lines[b"acp"])
                self.assertEqual(expected, lines[b"name"])
                # The exchange file as drive Z: sees it, inside the site's temp directory.
                windows_temp = ("Z:" + os.path.join(server.stage, "tmp").replace("/", "\\") + "\\").encode()
                self.assertTrue(lines[b"exchange"].startswith(windows_temp), lines[b"exchange"])
        self.assertEqual([], server.temp_entries())

    def test_windows_programs_are_told_by_their_header_not_their_name(self):
        backends = os.path.join(server.stage, "backends")
        shutil.copy(os.path.join(WINE_BACKENDS, "wine_echo.exe"), os.path.join(backends, "order.bin"))
        with open(os.path.join(backends, "script.exe"), "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(os.path.join(backends, "order.bin"), 0o644)  # Wine needs only to read it
        os.chmod(os.path.join(backends, "script.exe"), 0o644)
        status, _, body = post(SCRIPT, [(b"VCEXE", b"order.bin"), (b"x", b"1")])
        self.assertEqual((200, b"1"), (status, echo_lines(body).get(b"x")), body)
        for program in (b"script.exe", b"missing.exe"):
            with self.subTest(program=program):
                self.assertEqual(error_page("EXE Load Error(Exe Load Error)"),
                                 post(SCRIPT, [(b"VCEXE", program)])[2])

    def test_windows_paths_both_ways(self):
        with open(os.path.join(server.stage, "backends", "Data.ini"), "w") as f:
            f.write("[karvel]\n")
        # The program by its Windows path, in any case and with either separator; inside it, the
        # same directory by the same path.
        for named in (b"C:\\apps\\wine_echo.exe", b"c:/APPS/Wine_Echo.EXE"):
            with self.subTest(program=named):
                status, _, body = post(SCRIPT, [(b"VBEXE", named), (b"open", b"C:\\apps\\data.ini")])
                self.assertEqual(200, status, body)
                self.assertEqual(b"[karvel]", echo_lines(body)[b"opened"])
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"),
                         post(SCRIPT, [(b"VBEXE", b"C:\\other\\wine_echo.exe")])[2])
        # Uploads as Windows paths, their Japanese names in Shift-JIS, found by the kit as this
        # request's.
        name = "見積書.txt"
        body, ctype = multipart([("_charset_", b"UTF-8"), ("VCEXE", b"wine_echo.exe")],
                                [("file", name, "text/plain", b"12345")])
        status, _, page = server.request("POST", SCRIPT, body, {"Content-Type": ctype}, timeout=120)
        self.assertEqual(200, status, page)
        lines = echo_lines(page)
        self.assertTrue(lines[b"file"].startswith(b"Z:\\") and lines[b"file"].endswith(name.encode("cp932")),
                        lines[b"file"])
        self.assertEqual(b"5", lines[b"upload-size"])
        # A file answer named by a C:\ path, in capitals: found through the prefix's drive C:.
        status, _, page = post(SCRIPT, [(b"VCEXE", b"answers_file.exe")])
        self.assertEqual((200, b"chart bytes from C:"), (status, page))

    def test_hidden_windows_need_no_display(self):
        status, _, body = post(SCRIPT, [(b"VBEXE", b"hidden_window.exe")])
        self.assertEqual((200, b"window=made"), (status, body))

    def test_answers_written_in_place_are_read_whole_and_silent_ends_fail_at_once(self):
        for _ in range(3):
            status, _, body = post(SCRIPT, [(b"VCEXE", b"in_place.exe")])
            self.assertEqual((200, b"first half, second half"), (status, body))
        started = time.monotonic()
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"), post(SCRIPT, [(b"VCEXE", b"no_answer.exe")])[2])
        # Not the minutes of a time-out: the program's end ended the wait. Its standard error is
        # logged as a native program's is.
        self.assertLess(time.monotonic() - started, 20)
        self.assertIn("no_answer: nothing to say", server.log_text())
        self.assertEqual([], server.temp_entries())

    def test_a_program_that_never_answers_times_out_and_is_stopped(self):
        self.assertEqual(error_page("EXE Load Error(Time Out)"), post("/quick/VC_KARVEL2.dll", [(b"VCEXE", b"hang.exe")])[2])
        for _ in range(100):
            if not [p for p in wine_processes(prefix_path()) if b"hang.exe" in cmdline(p)]:
                break
            time.sleep(0.1)
        self.assertEqual([], [p for p in wine_processes(prefix_path()) if b"hang.exe" in cmdline(p)])

    def test_32_bit_programs_where_the_kernel_runs_them(self):
        program = os.path.join(WINE_BACKENDS, "wine_echo32.exe")
        if not os.path.isfile(program):
            self.skipTest("no i686 MinGW-w64 (make windows-deps installs it)")
        if not os.access("/usr/lib/wine/wine", os.X_OK):
            self.skipTest("wine32 is not installed (make windows-deps installs it where the i386 packages can be)")
        if subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode != 0:
            self.skipTest("this kernel runs no 32-bit programs")
        status, _, body = post(SCRIPT, [(b"VCEXE", b"wine_echo32.exe"), (b"name", "テスト".encode("cp932"))])
        self.assertEqual((200, b"932", "テスト".encode("cp932")),
                         (status, echo_lines(body).get(b"acp"), echo_lines(body).get(b"name")), body)

    def test_a_prefix_made_before_wine32_is_given_its_32_bit_side(self):
        # A 64-bit prefix made while Wine had no 32-bit part has an empty syswow64, and its 32-bit
        # programs cannot load kernel32.dll. karvel-wine-setup (which karvel-httpd runs on a prefix
        # not --ready) brings that side in.
        if subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode != 0:
            self.skipTest("wine32 does not run here (not installed, or no 32-bit programs on this kernel)")
        setup = os.path.join(SOURCE, "host", "tools", "karvel-wine-setup")
        work = tempfile.mkdtemp(prefix="karvel-wine32-")
        os.chmod(work, 0o755)
        copy = os.path.join(work, "prefix")
        try:
            subprocess.run(["cp", "-a", prefix_path(), copy], check=True)
            syswow64 = os.path.join(copy, "drive_c", "windows", "syswow64")
            subprocess.run(["find", syswow64, "-mindepth", "1", "-delete"], check=True)
            self.assertNotEqual(0, subprocess.run([setup, "--prefix", copy, "--ready"]).returncode)
            owner = ["--user", pwd.getpwuid(os.stat(copy).st_uid).pw_name] if os.geteuid() == 0 else []
            made = subprocess.run([setup, "--prefix", copy, "--no-locale"] + owner, capture_output=True, text=True,
                                  timeout=300)
            self.assertEqual(0, made.returncode, made.stdout + made.stderr)
            self.assertIn("bringing the 32-bit Windows side", made.stdout)
            self.assertTrue(os.path.isfile(os.path.join(syswow64, "kernel32.dll")))
            self.assertEqual(0, subprocess.run([setup, "--prefix", copy, "--ready"]).returncode)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_karvel_wine_off_refuses_windows_programs_only(self):
        self.assertEqual(error_page("EXE Load Error(Exe Load Error)"),
                         post(NO_WINE, [(b"VCEXE", b"wine_echo.exe")])[2])
        self.assertIn("KarvelWine is off", server.log_text())
        status, _, body = post(NO_WINE, [(b"VCEXE", b"echo"), (b"a", b"1")])
        self.assertEqual(200, status, body)

    def test_zz_no_wine_process_outlives_the_server(self):
        # (Runs last: it stops the module's server.)
        post(SCRIPT, [(b"VCEXE", b"wine_echo.exe")])
        prefix = prefix_path()
        self.assertNotEqual([], wine_processes(prefix), "the wineserver runs while the server does")
        server.stop()
        # The spawner stops the wineserver as it ends, after Apache's parent.
        for _ in range(100):
            if not wine_processes(prefix):
                break
            time.sleep(0.1)
        self.assertEqual([], wine_processes(prefix))


if __name__ == "__main__":
    unittest.main()
