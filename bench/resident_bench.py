#!/usr/bin/env python3
"""The kit's echo page through karvel beside the same page from a persistent FastCGI program
(fcgi_echo, libfcgi, WORKERS processes) behind Apache's mod_proxy_fcgi, in one Apache: wrk, 2
threads, 32 connections, alternating rounds, the ratio karvel/FastCGI per pair of rounds, median
reported; then the latency on one connection. The karvel paths: the one-shot C++ kit echo (a
process per request), the kit's resident echoes in C++ and Python (KarvelResident) and the same
Python program one-shot.

    bench/resident_bench.py BUILD_DIR [ROUNDS] [SECONDS]"""
import os
import shutil
import statistics
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wrk_run import percentile, rate, wrk  # noqa: E402
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)

WORKERS = 2 * (os.cpu_count() or 1)
FCGI_PATH = "/fcgi/echo?VCEXE=echo&a=1"
PROXY = ["LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so",
         "LoadModule proxy_fcgi_module /usr/lib/apache2/modules/mod_proxy_fcgi.so",
         'ProxyPass "/fcgi/echo" "unix:@STAGE@/run/fcgi_echo.sock|fcgi://localhost/echo"']


def start_fcgi(tool, stage):
    """fcgi_echo listening in the stage, reachable by the server's user."""
    socket_path = os.path.join(stage, "run", "fcgi_echo.sock")
    process = subprocess.Popen([tool, socket_path, str(WORKERS)], start_new_session=True)
    for _ in range(100):
        if os.path.exists(socket_path):
            break
        time.sleep(0.05)
    else:
        process.kill()
        raise SystemExit("fcgi_echo did not listen on %s" % socket_path)
    os.chmod(socket_path, 0o777)
    return process


def alternating_rounds(port, paths, rounds, seconds):
    """Requests/s of each path (name -> URL path) in `rounds` rounds, the paths taking turns in each."""
    for path in paths.values():
        wrk(port, path, 2)
    rates = {name: [] for name in paths}
    for _ in range(rounds):
        for name, path in paths.items():
            rates[name].append(rate(wrk(port, path, seconds)))
    print("resident: requests/s, wrk 2 threads 32 connections, %d rounds of %d s, taking turns "
          "(FastCGI: fcgi_echo, %d workers, mod_proxy_fcgi)" % (rounds, seconds, WORKERS))
    for name, values in rates.items():
        print("  %-28s %s" % (name, " ".join("%.0f" % r for r in values)))
    return rates


def ratio(rates, name, baseline, goal):
    ratios = [a / b for a, b in zip(rates[name], rates[baseline])]
    print("  ratio %s / %s: median %.2fx, rounds %.2f-%.2fx (goal %s)"
          % (name, baseline, statistics.median(ratios), min(ratios), max(ratios), goal))


def latency(port, name, path, seconds):
    out = wrk(port, path, seconds, connections=1, threads=1, latency=True)
    print("  latency on one connection, %-22s median %.3f ms, p99 %.3f ms, %.0f requests/s"
          % (name, percentile(out, "50%"), percentile(out, "99%"), rate(out)))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
    numbers = sys.argv[2:]
    rounds = int(numbers[0]) if numbers else 3
    seconds = int(numbers[1]) if len(numbers) > 1 else 10
    tool = os.path.join(build, "bench-tools", "fcgi_echo")
    if not os.access(tool, os.X_OK):
        print("resident: skipped: %s is not built (libfcgi-dev is not installed)" % tool)
        return 0
    if not os.path.isfile("/usr/lib/apache2/modules/mod_proxy_fcgi.so"):
        print("resident: skipped: Apache's mod_proxy_fcgi is not installed")
        return 0
    os.environ["KARVEL_BUILD_DIR"] = build
    import karvel_e2e
    karvel_e2e.BUILD = build
    # Exchange files on tmpfs, as the package's default temporary directory is.
    memory = None
    # The kit's resident echoes, kept resident below /res; named below /scripts they run one-shot.
    includes = list(PROXY) + ['KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /res/VC_KARVEL2.dll',
                              '<Location "/res">\n  KarvelResident resident_echo idle=0\n'
                              '  KarvelResident resident_echo.py idle=0\n</Location>']
    if os.path.isdir("/dev/shm"):
        memory = os.path.join("/dev/shm", "karvel-resident-bench-%d" % os.getpid())
        os.mkdir(memory, 0o700)
        includes.append('KarvelTempDir "%s"' % memory)
    server = karvel_e2e.Server(probe=False, log_level="error", includes=includes)
    fcgi = None
    try:
        if memory is not None:
            stage_temp = os.stat(os.path.join(server.stage, "tmp"))
            os.chown(memory, stage_temp.st_uid, stage_temp.st_gid)
        fcgi = start_fcgi(tool, server.stage)
        one_shot = "/scripts/VC_KARVEL2.dll?VCEXE=echo&a=1"
        paths = {"FastCGI echo": FCGI_PATH, "one-shot C++ kit echo": one_shot}
        resident = os.path.isfile(os.path.join(server.stage, "backends", "resident_echo"))
        if resident:
            paths["resident C++ kit echo"] = "/res/VC_KARVEL2.dll?VCEXE=resident_echo&a=1"
            paths["one-shot Python kit echo"] = "/scripts/VC_KARVEL2.dll?VCEXE=resident_echo.py&a=1"
            paths["resident Python kit echo"] = "/res/VC_KARVEL2.dll?VCEXE=resident_echo.py&a=1"
        # Each karvel path brings the page fcgi_echo gives for the same query.
        for name, path in paths.items():
            twin = "/fcgi/echo?" + path.split("?", 1)[1]
            if server.request("GET", path)[2] != server.request("GET", twin)[2]:
                raise SystemExit("%s and fcgi_echo answer different pages" % name)
        rates = alternating_rounds(server.port, paths, rounds, seconds)
        ratio(rates, "one-shot C++ kit echo", "FastCGI echo", "none: the baseline")
        if resident:
            ratio(rates, "resident C++ kit echo", "FastCGI echo", ">= 1.0x")
            ratio(rates, "resident C++ kit echo", "one-shot C++ kit echo", ">= 5x")
            ratio(rates, "resident Python kit echo", "one-shot Python kit echo", ">= 20x")
        latency(server.port, "FastCGI echo", FCGI_PATH, seconds)
        latency(server.port, "karvel one-shot echo", one_shot, seconds)
        if resident:
            latency(server.port, "karvel resident echo", paths["resident C++ kit echo"], seconds)
    finally:
        if fcgi is not None:
            os.killpg(fcgi.pid, 9)
            fcgi.wait()
        server.stop()
        if memory is not None:
            shutil.rmtree(memory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
