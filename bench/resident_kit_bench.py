"""The resident echo samples (C++ and Python, written with the kits' Serve/serve) driven over the
channel as the spawner drives them: 100 000 requests each, one exchange file after another. Prints
requests per second, the idle instance's resident memory (after a warm-up) beside its goal (C++
under 4 MiB, Python under 16 MiB) and how much it grew over the run (goal: under 1 MiB).

usage: resident_kit_bench.py BUILD_DIR   (make bench)"""
import os
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "support"))
from exchange_bytes import exchange  # noqa: E402

REQUESTS = 100000
WARM_UP = 1000
MIB = 1024 * 1024
GROWTH_GOAL = 1 * MIB


def exchange_file():
    """A GET with a few fields, one of them Shift-JIS, laid out as the gateway writes it."""
    return exchange([(b"VCEXE", b"resident_echo"), (b"name", b"\x8eR\x93c <taro>"), (b"age", b"42"), (b"q", b"a&b")],
                    connection=7, addr=b"192.0.2.7", user=b"")


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def run(name, command, goal, directory):
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    fd = theirs.fileno()

    def as_three():
        if fd == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(fd, 3)

    env = dict(os.environ, KARVEL_RESIDENT_FD="3")
    process = subprocess.Popen(command, env=env, close_fds=False, preexec_fn=as_three,
                               stdout=subprocess.DEVNULL)
    theirs.close()
    path = os.path.join(directory, "VC0123456789ABCDEF.tmp")
    packet = b"R" + path.encode()
    request = exchange_file()
    first = None
    started = time.perf_counter()
    try:
        for k in range(WARM_UP + REQUESTS):
            if k == WARM_UP:
                first = rss(process.pid)
                started = time.perf_counter()
            with open(path, "wb") as f:
                f.write(request)
            ours.send(packet)
            reply = ours.recv(512)
            if reply != b"D":
                print("resident_kit_bench: %s answered %r" % (name, reply))
                return 1
        elapsed = time.perf_counter() - started
        with open(path, "rb") as f:
            if not f.read(4) == b"91  ":
                print("resident_kit_bench: %s left no page" % name)
                return 1
        last = rss(process.pid)
    finally:
        ours.close()
        process.wait(60)
    growth = last - first
    print("%s: %.0f requests/s over %d; idle RSS %.2f MiB (%s %d MiB); growth %+.2f MiB (%s 1 MiB); exit %d"
          % (name, REQUESTS / elapsed, REQUESTS, first / MIB, "under" if first < goal else "NOT under", goal // MIB,
             growth / MIB, "under" if growth < GROWTH_GOAL else "NOT under", process.returncode))
    return 0 if process.returncode == 0 else 1


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    backends = os.path.join(build, "bin", "backends")
    programs = [("C++ resident echo", [os.path.join(backends, "resident_echo")], 4 * MIB),
                ("Python resident echo", [sys.executable, os.path.join(backends, "resident_echo.py")], 16 * MIB)]
    for _, command, _ in programs:
        if not os.path.exists(command[-1]):
            print("resident_kit_bench: %s is not built" % command[-1])
            return 1
    status = 0
    with tempfile.TemporaryDirectory(prefix="karvel-resident-bench-") as directory:
        for name, command, goal in programs:
            status |= run(name, command, goal, directory)
    return status


if __name__ == "__main__":
    sys.exit(main())
