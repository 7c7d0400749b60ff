#!/usr/bin/env python3
"""Supervision of back-end programs, measured on one Apache with many threads:
  - 1 000 requests waiting at once on a slow back-end: Apache's CPU while they wait (its parent,
    children and spawner together; goal < 5 % of one core) and its memory per waiting request
    (goal < 256 KiB);
  - the 503 when the cap is full: how long after the queue's time-out it comes (goal median < 50 ms);
  - starting trivial programs through the spawner beside the extension starting them itself
    (KarvelSpawner off, the path before the spawner): requests/s on 32 connections and the
    latency on one.

    bench/supervision_bench.py BUILD_DIR [WAITING]"""
import os
import socket
import statistics
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wrk_run import percentile, rate, wrk  # noqa: E402
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)

MANY_THREADS = ["ServerLimit 2", "ThreadsPerChild 640", "MaxRequestWorkers 1280", "ThreadLimit 640",
                '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>']
SLOW = "/scripts/VC_KARVEL2.dll?VCEXE=slow_answer&seconds=%d"


def status(server):
    body = server.request("GET", "/karvel-status?auto")[2].decode()
    return dict(line.split(": ", 1) for line in body.splitlines() if ": " in line and not line.startswith("Program"))


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return False


def cpu_ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return total


def apache_pids(server):
    return [server.pid] + server.children()


def rss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total


def waiting_requests(server, count, seconds=10):
    """CPU and memory of Apache while `count` requests wait on slow programs."""
    settled = rss_kib(apache_pids(server))
    sockets = []
    request = ("GET %s HTTP/1.1\r\nHost: bench\r\n\r\n" % (SLOW % 120)).encode()
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", server.port))
        s.sendall(request)
        sockets.append(s)
    try:
        if not wait_for(lambda: int(status(server).get("Running", 0)) >= count, 120):
            raise SystemExit("only %s programs started" % status(server).get("Running"))
        time.sleep(2)  # the starts are over; what follows is the wait itself
        pids = apache_pids(server)
        before = cpu_ticks(pids)
        started = time.monotonic()
        time.sleep(seconds)
        used = (cpu_ticks(pids) - before) / os.sysconf("SC_CLK_TCK")
        cpu = used / (time.monotonic() - started) * 100
        memory = (rss_kib(pids) - settled) / count
    finally:
        for s in sockets:
            s.close()
    wait_for(lambda: int(status(server).get("Running", 1)) == 0, 60)
    return cpu, memory


def busy_answers(server, cap, rounds=20):
    """How long after the queue's time-out (1 s) the 503 comes while `cap` programs fill the cap."""
    sockets = []
    request = ("GET %s HTTP/1.1\r\nHost: bench\r\n\r\n" % (SLOW % 60)).encode()
    for _ in range(cap):
        s = socket.create_connection(("127.0.0.1", server.port))
        s.sendall(request)
        sockets.append(s)
    try:
        if not wait_for(lambda: int(status(server).get("Running", 0)) >= cap, 60):
            raise SystemExit("the cap did not fill")
        late = []
        for _ in range(rounds):
            started = time.monotonic()
            code = server.request("GET", SLOW % 0)[0]
            if code != 503:
                raise SystemExit("expected 503, got %d" % code)
            late.append((time.monotonic() - started - 1.0) * 1000)
    finally:
        for s in sockets:
            s.close()
    wait_for(lambda: int(status(server).get("Running", 1)) == 0, 60)
    return statistics.median(late), max(late)


def start_paths(karvel_e2e, rounds=3, seconds=5):
    """echo through the spawner beside the extension starting it itself, alternating servers."""
    path = "/scripts/VC_KARVEL2.dll?VCEXE=echo&a=1"
    servers = {"spawner": karvel_e2e.Server(probe=False, log_level="error"),
               "extension": karvel_e2e.Server(probe=False, log_level="error", includes=["KarvelSpawner off"])}
    try:
        rates = {name: [] for name in servers}
        latency = {}
        for name, server in servers.items():
            wrk(server.port, path, 2, 32)
        for _ in range(rounds):
            for name, server in servers.items():
                out = wrk(server.port, path, seconds, 32)
                rates[name].append(rate(out))
        for name, server in servers.items():
            out = wrk(server.port, path, seconds, 1, latency=True)
            latency[name] = (percentile(out, "50%"), percentile(out, "90%"))
        return rates, latency
    finally:
        for server in servers.values():
            server.stop()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    os.environ["KARVEL_BUILD_DIR"] = build
    import karvel_e2e
    karvel_e2e.BUILD = build

    server = karvel_e2e.Server(probe=False, log_level="error", includes=MANY_THREADS)
    try:
        cpu, memory = waiting_requests(server, count)
    finally:
        server.stop()
    print("supervision: %d requests waiting on slow programs" % count)
    print("  Apache's CPU while they wait: %.2f %% of one core (goal < 5 %%)" % cpu)
    print("  Apache's memory per waiting request: %.0f KiB (goal < 256 KiB)" % memory)

    cap = 20
    server = karvel_e2e.Server(probe=False, log_level="error",
                               includes=MANY_THREADS + ["KarvelMaxBackends %d" % cap, "KarvelQueueTimeout 1"])
    try:
        median, worst = busy_answers(server, cap)
    finally:
        server.stop()
    print("  503 with the cap of %d full: %.1f ms after the queue's time-out, median (worst %.1f ms; goal < 50 ms)"
          % (cap, median, worst))

    rates, latency = start_paths(karvel_e2e)
    ratio = statistics.median(s / e for s, e in zip(rates["spawner"], rates["extension"]))
    print("  echo requests/s, 32 connections: spawner %s, extension starting programs itself %s: %.2fx"
          % (" ".join("%.0f" % r for r in rates["spawner"]), " ".join("%.0f" % r for r in rates["extension"]), ratio))
    for name in ("spawner", "extension"):
        print("  latency on one connection, %-9s median %.2f ms, p90 %.2f ms" % (name, *latency[name]))


if __name__ == "__main__":
    main()
