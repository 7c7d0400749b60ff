"""Starts Apache httpd with mod_karvel for one test module and talks HTTP to it.

Each test module gets its own server on a free port, staged by host/tools/karvel-httpd into a directory
the server's children can read (they run as www-data when the tests run as root)."""
import http.client
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

BUILD = os.environ.get("KARVEL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
LAUNCHER = os.path.join(SOURCE, "host", "tools", "karvel-httpd")
SCRIPT = "/scripts/VC_KARVEL2.dll"


def _server_port_range():
    """Where the tests' servers listen: below the kernel's range for outgoing connections, so that no
    client socket (of this test or one running alongside) takes a picked port before its server binds
    it. A server may bind long after the pick (a Wine prefix made first takes a while)."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    if low < 12000:
        return None
    return 10000, low - 1


def _bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def free_port_block(count):
    """A port P with P..P+count-1 free (for a server and the nodes behind it)."""
    span = _server_port_range()
    pick = random.SystemRandom()
    for _ in range(200):
        if span:
            base = pick.randint(span[0], span[1] - count + 1)
        else:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                base = s.getsockname()[1]
            if base + count >= 65535:
                continue
        if all(_bindable(base + k) for k in range(count)):
            return base
    raise RuntimeError("no block of %d free ports" % count)


def free_port():
    return free_port_block(1)


def wait_until(condition, seconds=20.0):
    """True once condition() holds, looked at every 50 ms; its last answer after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def behave_url(base, **fields):
    """The URL below `base` that runs the test back-end behave with these fields."""
    return "%s/VC_KARVEL2.dll?%s" % (base, urllib.parse.urlencode(dict(VCEXE="behave", **fields)))


def error_page(text):
    """The extension's error page body for one of its failure texts, as a browser receives it."""
    return ("<BODY><center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P><H1>SERVER ERROR!!!</P><P>"
            + text + "</H1></P></center></BODY>").encode("ascii")


class Server:
    """One Apache with the demo site, the test back-ends and optionally the probe extension."""

    def __init__(self, includes=(), env=None, probe=True, log_level="info", libs=(), build=BUILD, launcher=LAUNCHER):
        self.port = free_port()
        # Where karvel-httpd writes the server's configuration; removed with the server.
        self.config = os.path.join(build, "host", "httpd-%d.conf" % self.port)
        self.stage = tempfile.mkdtemp(prefix="karvel-e2e-", dir="/tmp")
        os.chmod(self.stage, 0o755)
        self.conf_dir = tempfile.mkdtemp(prefix="karvel-e2e-conf-", dir="/tmp")
        os.chmod(self.conf_dir, 0o755)
        self.log_path = os.path.join(self.conf_dir, "server.log")
        args = [launcher, "--build", build, "--port", str(self.port), "--stage", self.stage,
                "--background",
                "--log-level", log_level]
        for name in ("test-backends", "bench-backends", "wine-backends"):
            if os.path.isdir(os.path.join(build, "bin", name)):
                args += ["--backends", os.path.join(build, "bin", name)]
        extra = ""
        for lib in libs:
            args += ["--lib", os.path.join(build, "lib", "test", lib)]
        if probe:
            args += ["--lib", os.path.join(build, "lib", "test", "probe.so")]
            extra += 'KarvelExtension "%s/lib/probe.so" /probe\n' % self.stage
            extra += '<Location "/probe">\n    Require all granted\n</Location>\n'
        for text in includes:
            extra += (text.replace("@STAGE@", self.stage).replace("@PORT@", str(self.port))
                      .replace("@CONF@", self.conf_dir) + "\n")
        if extra:
            include = os.path.join(self.conf_dir, "extra.conf")
            with open(include, "w") as f:
                f.write(extra)
            args += ["--include", include]
        self.pid = None
        self.log = open(self.log_path, "w+b")
        full_env = dict(os.environ)
        full_env.update(env or {})
        for lib in filter(None, full_env.get("KARVEL_HTTPD_PRELOAD", "").split(":")):
            args += ["--preload", lib]
        if "KARVEL_FAKETIME" in full_env:
            args += ["--faketime", full_env.pop("KARVEL_FAKETIME")]
        out = subprocess.run(args, stdout=subprocess.PIPE, stderr=self.log, env=full_env, timeout=180,
                             text=True)
        if out.returncode != 0:
            text = self.log_text()
            self.pid = None
            self.stop()
            raise RuntimeError("server did not start:\n" + text)
        self.pid = int(out.stdout.split()[-1])

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def children(self):
        try:
            out = subprocess.run(["pgrep", "-P", str(self.pid)], stdout=subprocess.PIPE, text=True).stdout
        except OSError:
            return []
        return [int(p) for p in out.split()]

    def children_rss_kib(self):
        total = 0
        for pid in self.children():
            try:
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def spawner_pid(self):
        """The spawner: the child of Apache's parent with few threads (its loop and its starts)."""
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/status" % entry) as f:
                    fields = dict(line.split(":", 1) for line in f if ":" in line)
            except (OSError, ValueError):
                continue
            if int(fields["PPid"]) == self.pid and int(fields["Threads"]) <= 3:
                return int(entry)
        return None

    def temp_entries(self):
        return sorted(os.listdir(os.path.join(self.stage, "tmp")))

    def backend_processes(self):
        """Programs started from this server's back-end directory that are still running."""
        out = subprocess.run(["pgrep", "-f", os.path.join(self.stage, "backends")], stdout=subprocess.PIPE,
                             text=True).stdout
        return [int(p) for p in out.split()]

    def connection(self, timeout=60):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, url, body=None, headers=None, timeout=60):
        """One request on a new connection: (status, headers as a dict with lower-case keys, body)."""
        conn = self.connection(timeout)
        try:
            conn.request(method, url, body=body, headers=headers or {})
            response = conn.getresponse()
            data = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, data
        finally:
            conn.close()

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            for _ in range(100):
                try:
                    os.kill(self.pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)
            self.pid = None
        for pid in self.backend_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.log.close()
        shutil.rmtree(self.stage, ignore_errors=True)
        shutil.rmtree(self.conf_dir, ignore_errors=True)
        try:
            os.remove(self.config)
        except FileNotFoundError:
            pass


def multipart(fields, files=(), boundary="----karvelTestBoundary7MA4YWxkTrZu0gW"):
    """A multipart/form-data body: fields [(name, bytes)], files [(name, filename, type, bytes)]."""
    parts = []
    for name, value in fields:
        parts.append(b"--" + boundary.encode() + b'\r\nContent-Disposition: form-data; name="' + name.encode()
                     + b'"\r\n\r\n' + value + b"\r\n")
    for name, filename, ctype, data in files:
        parts.append(b"--" + boundary.encode() + b'\r\nContent-Disposition: form-data; name="' + name.encode()
                     + b'"; filename="' + filename.encode() + b'"\r\nContent-Type: ' + ctype.encode()
                     + b"\r\n\r\n" + data + b"\r\n")
    parts.append(b"--" + boundary.encode() + b"--\r\n")
    return b"".join(parts), "multipart/form-data; boundary=" + boundary


def png(width=3, height=2):
    """A small valid PNG, made here so the test does not depend on an image file."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    rows = (b"\x00" + b"".join(bytes([(x * 80) % 256, (y * 120) % 256, 200]) for x in range(width))
            for y in range(height))
    raw = b"".join(rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
