#!/usr/bin/env python3
"""Whether the status board counts every request through the extension exactly once: sends
REQUESTS requests (default 100 000) of mixed outcomes from THREADS keep-alive connections at once
(answered, answered with 99, a program that does not exist, a form without a program field, a
time-out), then compares karvel-status?json's totals, result by result, with the access log's
karvel-result notes, and prints both. Exits 1 on any difference.

    bench/status_count_bench.py BUILD_DIR [REQUESTS] [THREADS]"""
import collections
import json
import os
import sys
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)

# (outcome, URL, share in a thousand requests)
MIX = [
    ("answered", "/scripts/VC_KARVEL2.dll?VCEXE=behave", 500),
    ("answered with 99", "/scripts/VC_KARVEL2.dll?VCEXE=answer_99", 100),
    ("missing program", "/scripts/VC_KARVEL2.dll?VCEXE=no_such_program", 250),
    ("no program field", "/scripts/VC_KARVEL2.dll?other=1", 149),
    ("time-out", "/short/VC_KARVEL2.dll?VCEXE=behave&do=sleep&seconds=3", 1),
]


def plan(count):
    """The URLs of `count` requests, the mix spread evenly."""
    urls = []
    for _, url, share in MIX:
        urls += [url] * (count * share // 1000)
    while len(urls) < count:
        urls.append(MIX[0][1])
    order = list(range(len(urls)))
    order.sort(key=lambda k: (k * 7919) % len(urls))
    return [urls[k] for k in order]


def send(server, urls, failures):
    conn = server.connection(timeout=120)
    for url in urls:
        try:
            conn.request("GET", url)
            conn.getresponse().read()
        except OSError as error:  # counted by neither side: reported
            failures.append(repr(error))
            conn.close()
            conn = server.connection(timeout=120)
    conn.close()


def logged_results(path):
    counts = collections.Counter()
    with open(path) as f:
        for line in f:
            uri, result = line.split()
            if "VC_KARVEL2.dll" in uri:
                counts[result] += 1
    return counts


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    os.environ["KARVEL_BUILD_DIR"] = os.path.abspath(sys.argv[1])
    requests = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    threads = int(sys.argv[3]) if len(sys.argv) > 3 else 32
    from karvel_e2e import Server, wait_until  # noqa: E402 (after the build directory is known)
    server = Server(probe=False, log_level="warn", build=os.environ["KARVEL_BUILD_DIR"], includes=[
        'LogFormat "%U %{karvel-result}n" karvel_results',
        'CustomLog "@CONF@/results.log" karvel_results',
        'KarvelExtension "@STAGE@/lib/VC_KARVEL2.so" /short/VC_KARVEL2.dll',
        '<Location "/short">\n  KarvelBackendTimeout 1\n</Location>',
        '<Location "/karvel-status">\n  SetHandler karvel-status\n</Location>'])
    try:
        urls = plan(requests)
        failures = []
        workers = [threading.Thread(target=send, args=(server, urls[k::threads], failures)) for k in range(threads)]
        started = time.monotonic()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        seconds = time.monotonic() - started
        log = os.path.join(server.conf_dir, "results.log")
        wait_until(lambda: sum(logged_results(log).values()) >= requests - len(failures), 10)
        logged = logged_results(log)
        _, _, body = server.request("GET", "/karvel-status?json")
        shown = json.loads(body)
        results = {name: n for name, n in shown["totals"]["results"].items() if n}
        # A request with no note is logged "-" and counted "other", as any unknown value is.
        expected = collections.Counter()
        for name, n in logged.items():
            expected[name if name in shown["totals"]["results"] and name != "other" else "other"] += n
        print("requests sent: %d in %.1f s (%.0f/s), %d threads, %d failed to send"
              % (requests, seconds, requests / seconds, threads, len(failures)))
        print("access log:    %d %s" % (sum(logged.values()), dict(sorted(logged.items()))))
        print("status board:  %d %s" % (shown["totals"]["requests"], dict(sorted(results.items()))))
        same = dict(expected) == results and shown["totals"]["requests"] == sum(logged.values())
        print("equal" if same else "DIFFERENT")
        return 0 if same else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
