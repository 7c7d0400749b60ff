"""Python programs written with karvel_backend.serve, driven as the spawner drives a resident
instance: a SOCK_SEQPACKET socket pair, the instance started with KARVEL_RESIDENT_FD=3, one b"R"
packet per exchange file. Each answer is held to the same program's one-shot run on the same file
and, for the echo sample, to the C++ echo's (ECHO_BACKEND, set by ctest)."""
import os
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from exchange_bytes import AS_SENT, CONVERTED, exchange  # noqa: E402

KIT = os.path.join(SOURCE, "backend", "python")
ECHO = os.path.join(SOURCE, "demo", "backends", "resident_echo.py")

FAULTS = r'''
import sys
import karvel_backend as kb


def handle(request, path):
    how = request.find("do") or b""
    if how == b"raise":
        raise RuntimeError("asked to raise\nacross lines")
    if how == b"nothing":
        return
    kb.answer_page(path, b"Content-Type: text/plain\r\n\r\ndo=" + how)
    if how == b"answer-then-raise":
        raise RuntimeError("raised after the answer")


sys.exit(kb.serve(handle))
'''


def start(script, errors, args=(), channel=None, channel_name="3"):
    """`script` under this Python with the tree's kit; `channel` (a socket or descriptor) as its
    descriptor 3 and KARVEL_RESIDENT_FD=`channel_name` (unset when None)."""
    env = dict(os.environ, PYTHONPATH=KIT)
    env.pop("KARVEL_RESIDENT_FD", None)
    if channel_name is not None:
        env["KARVEL_RESIDENT_FD"] = channel_name
    fd = channel.fileno() if hasattr(channel, "fileno") else channel

    def as_three():
        if fd is None:
            os.closerange(3, 4)
        elif fd == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(fd, 3)
        # Nothing else of this process's: an instance holds 0-3 only.
        for name in os.listdir("/proc/self/fd"):
            if int(name) > 3:
                try:
                    os.close(int(name))
                except OSError:
                    pass

    return subprocess.Popen([sys.executable, script] + list(args), env=env, stdout=subprocess.DEVNULL,
                            stderr=errors, close_fds=False, preexec_fn=as_three)


class Instance:
    def __init__(self, script, errors):
        self.channel, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.channel.settimeout(60)  # a guard against a hung instance, not a measure of speed
        self.process = start(script, errors, channel=theirs)
        theirs.close()

    def ask(self, packet):
        self.channel.send(packet)
        return self.channel.recv(512)

    def finish(self):
        self.channel.close()
        return self.process.wait(60)

    def open_descriptors(self):
        return sorted(int(name) for name in os.listdir("/proc/%d/fd" % self.process.pid))

    def channel_closed_on_exec(self):
        with open("/proc/%d/fdinfo/3" % self.process.pid) as f:
            flags = [line for line in f if line.startswith("flags:")][0]
        return int(flags.split()[1], 8) & os.O_CLOEXEC != 0


class Serve(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.faults = os.path.join(self.dir.name, "faults.py")
        with open(self.faults, "w") as f:
            f.write(FAULTS)
        self.errors = open(os.path.join(self.dir.name, "stderr"), "ab+")
        self.files = 0

    def tearDown(self):
        self.errors.close()
        self.dir.cleanup()

    def exchange_path(self):
        self.files += 1
        return os.path.join(self.dir.name, "VC%016X.tmp" % self.files)

    def run_once(self, script, path, data):
        with open(path, "wb") as f:
            f.write(data)
        code = start(script, self.errors, [path], channel_name=None).wait(60)
        with open(path, "rb") as f:
            return code, f.read()

    def test_answers_request_after_request_as_one_shot_runs_do(self):
        echo, faults = Instance(ECHO, self.errors), Instance(self.faults, self.errors)
        upload = self.exchange_path()
        uploads = upload.replace("/VC", "/VCU")
        os.mkdir(uploads)
        with open(os.path.join(uploads, "up.gif"), "wb") as f:
            f.write(b"GIF89a\0\x01\r\n")
        uploaded = os.path.join(uploads, "up.gif").encode()
        cases = [
            ("fields", echo, [(b"a", b"1", AS_SENT, 1), (b"b", b"<x>", AS_SENT, 1), (b"VCEXE", b"p", AS_SENT, 0)],
             b"D", b"<td>b</td><td>&lt;x&gt;</td>"),
            ("Shift-JIS values in both shapes", echo,
             [(b"s", b"\x88\x9f\x82\xa0", AS_SENT, 1), (b"k", b"\x88\x9f", CONVERTED, 0)],
             b"D", b"<td>s</td><td>\x88\x9f\x82\xa0</td><td></td></tr>\n<tr><td>k</td><td>\x88\x9f</td>"),
            ("a UTF-8 form", echo,
             [(b"_charset_", b"utf-8", AS_SENT, 1),
              (b"t", b"\x87\x40\x87\x8a&#128512;<b>\xa0&#1234567;&#12345678;", CONVERTED, 1)],
             b"D", "<td>t</td><td>①㈱&#128512;&lt;b&gt;\ufffd&#1234567;&amp;#12345678;</td>".encode()),
            ("an upload", echo, [(b"file", uploaded, AS_SENT, 1), (b"other", upload.encode(), AS_SENT, 1)],
             b"D", b"up.gif</td><td>10 bytes</td>"),
            ("a request that cannot be read", echo, b"2 \0\0 no more", b"Eunreadable request: ", None),
            ("fields again", echo, [(b"a", b"2", AS_SENT, 1)], b"D", b"<td>a</td><td>2</td>"),
            ("a handler that raises", faults, [(b"do", b"raise", AS_SENT, 1)], b"Ethe handler raised RuntimeError: "
             b"asked to raise across lines", None),
            ("answered after a raise", faults, [(b"do", b"page", AS_SENT, 1)], b"D", b"do=page"),
            ("a handler that answers nothing", faults, [(b"do", b"nothing", AS_SENT, 1)],
             b"Ethe handler returned without answering", None),
            ("an answer stands when the handler raises after it", faults,
             [(b"do", b"answer-then-raise", AS_SENT, 1)], b"D", b"do=answer-then-raise"),
            ("a packet that is not a request", faults, b"X/tmp/VC0.tmp", b"Enot a request packet", None),
            ("a path of 4096 bytes", faults, b"R/" + b"p" * 4095, b"Eexchange file path longer", None),
            ("a path far too long", faults, b"R/" + b"p" * 9000, b"Eexchange file path longer", None),
            ("a relative path", faults, b"RVC0.tmp", b"Eexchange file path not absolute", None),
            ("a bare R", faults, b"R", b"Eexchange file path not absolute", None),
            ("a path with a NUL", faults, b"R/tmp/VC0.tmp\0x", b"ENUL in", None),
            ("a path naming no file", faults, b"R" + os.path.join(self.dir.name, "VC0.tmp").encode(),
             b"Eunreadable request: ", None),
            ("answered after refused packets", faults, [(b"do", b"page", AS_SENT, 1)], b"D", b"do=page"),
        ]
        c_echo = os.environ.get("ECHO_BACKEND")
        for name, instance, given, reply, shows in cases:
            with self.subTest(name):
                path = None
                if isinstance(given, list):
                    path, request = (upload if name == "an upload" else self.exchange_path()), exchange(given)
                elif reply.startswith(b"Eunreadable") and given.startswith(b"2"):
                    path, request = self.exchange_path(), given
                if path is not None:
                    with open(path, "wb") as f:
                        f.write(request)
                got = instance.ask(b"R" + path.encode() if path else given)
                self.assertTrue(got.startswith(reply), got)
                self.assertLessEqual(len(got), 201)
                self.assertFalse(any(b < 0x20 for b in got), got)
                if reply.startswith(b"E"):
                    self.errors.seek(0)
                    self.assertIn(reply[1:21], self.errors.read())
                # Between requests: the standard descriptors and the channel, nothing of a request.
                self.assertEqual([0, 1, 2, 3], instance.open_descriptors())
                self.assertTrue(instance.channel_closed_on_exec())
                if path is None:
                    continue
                with open(path, "rb") as f:
                    answer = f.read()
                self.assertFalse(os.path.lexists(path + ".answer"))
                if reply == b"D":
                    self.assertTrue(answer.startswith(b"91  "), answer[:40])
                    self.assertIn(shows, answer)
                else:
                    self.assertEqual(request, answer, "an unanswered request's file is left as it was")
                script = ECHO if instance is echo else self.faults
                self.assertEqual((0 if reply == b"D" else 1, answer), self.run_once(script, path, request))
                if instance is echo and reply == b"D" and c_echo:
                    self.assertEqual((0, answer), self.c_run(c_echo, path, request))
                os.unlink(path)
        self.assertEqual(0, echo.finish())
        self.assertEqual(0, faults.finish())

    def c_run(self, program, path, data):
        with open(path, "wb") as f:
            f.write(data)
        code = subprocess.run([program, path], stdout=subprocess.DEVNULL, stderr=self.errors).returncode
        with open(path, "rb") as f:
            return code, f.read()

    def test_ends_with_status_zero(self):
        for name, empty_packet, request_first in (("end of the channel", False, False),
                                                  ("an empty packet", True, False),
                                                  ("the spawner gone before the reply", False, True)):
            with self.subTest(name):
                instance = Instance(self.faults, self.errors)
                path = None
                if request_first:
                    path = self.exchange_path()
                    with open(path, "wb") as f:
                        f.write(exchange([(b"do", b"page", AS_SENT, 1)]))
                    instance.channel.send(b"R" + path.encode())
                if empty_packet:
                    instance.channel.send(b"")
                    self.assertEqual(0, instance.process.wait(60))
                    instance.channel.close()
                else:
                    self.assertEqual(0, instance.finish())
                if path is not None:
                    with open(path, "rb") as f:
                        self.assertTrue(f.read().startswith(b"91  "))

    def test_bad_usage_is_status_two(self):
        read_end, write_end = os.pipe()
        try:
            cases = {
                "no argument, no channel": ((), None, None),
                "two arguments": (("a", "b"), None, None),
                "a channel that is a pipe": ((), read_end, "3"),
                "a channel name that is no number": ((), None, "three"),
                "a channel name with more after the number": ((), None, "3x"),
                "a channel that is not open": ((), None, "3"),
            }
            for name, (args, channel, channel_name) in cases.items():
                with self.subTest(name):
                    process = start(self.faults, self.errors, args, channel=channel, channel_name=channel_name)
                    self.assertEqual(2, process.wait(60))
        finally:
            os.close(read_end)
            os.close(write_end)


if __name__ == "__main__":
    unittest.main()
