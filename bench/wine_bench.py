#!/usr/bin/env python3
"""A Windows back-end under Wine beside the same program built natively, through one Apache: the
kit's echo program (tests/e2e/wine_backends/wine_echo.cpp) built with MinGW-w64 and with g++.
Warm requests only (the wineserver and Wine's services already run): latency median and p99 on one
connection (goal median < 100 ms) and requests/s on 8 (goal >= 50/s).

    bench/wine_bench.py BUILD_DIR"""
import os
import shutil
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wrk_run import percentile, rate, wrk  # noqa: E402
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)
PROGRAM = os.path.join(SOURCE, "tests", "e2e", "wine_backends", "wine_echo.cpp")
MINGW = ["x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-g++"]


def measure(port, path, seconds, connections):
    out = wrk(port, path, seconds, connections, threads=1, latency=True)
    return rate(out), percentile(out, "50%"), percentile(out, "99%")


def build_programs(build):
    """The Windows and the native program into BUILD/bin/wine-backends, where the servers find them."""
    mingw = next((c for c in MINGW if shutil.which(c)), None)
    if mingw is None or not os.access("/usr/bin/wine", os.X_OK):
        return None
    out = os.path.join(build, "bin", "wine-backends")
    os.makedirs(out, exist_ok=True)
    flags = ["-std=c++17", "-O2", "-I" + SOURCE, PROGRAM]
    subprocess.run([mingw, "-static", "-o", os.path.join(out, "wine_echo.exe")] + flags, check=True)
    subprocess.run(["g++", "-o", os.path.join(out, "native_echo")] + flags, check=True)
    return out


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build"))
    os.environ["KARVEL_BUILD_DIR"] = build
    if build_programs(build) is None:
        print("wine: skipped (Wine or MinGW-w64 is not installed; make deps installs them)")
        return
    import karvel_e2e
    server = karvel_e2e.Server(probe=False, log_level="error")
    try:
        results = {}
        for name, program in (("Wine", "wine_echo.exe"), ("native", "native_echo")):
            path = "/scripts/VC_KARVEL2.dll?VCEXE=%s&name=%%83e%%83X%%83g" % program
            status, _, body = server.request("GET", path, timeout=120)  # starts the wineserver
            if status != 200 or b"name=" not in body:
                raise SystemExit("%s: %d %r" % (program, status, body[:200]))
            measure(server.port, path, 2, 8)
            throughput = measure(server.port, path, 10, 8)[0]
            _, median, p99 = measure(server.port, path, 10, 1)
            results[name] = (throughput, median, p99)
    finally:
        server.stop()
    print("wine: the kit's echo program, warm")
    for name, (rate, median, p99) in results.items():
        print("  %-6s latency median %.1f ms, p99 %.1f ms; %.1f requests/s on 8 connections" % (name, median, p99, rate))
    wine, native = results["Wine"], results["native"]
    print("  Wine beside native: median %.1fx the latency, %.2fx the requests/s" % (wine[1] / native[1], wine[0] / native[0]))
    print("  goals: median < 100 ms (%s), >= 50 requests/s (%s)" % ("met" if wine[1] < 100 else "MISSED",
                                                                  "met" if wine[0] >= 50 else "MISSED"))


if __name__ == "__main__":
    main()
