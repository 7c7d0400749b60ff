#!/usr/bin/env python3
"""The demo's echo through nginx to 1, 2 and 3 nodes (host/tools/karvel-cluster) beside one node directly:
requests/s on 32 connections (what the proxy costs, and what more nodes give on this machine's cores)
and the p99 latency the proxy adds. All nodes share this machine's cores here, so more nodes cannot
add throughput; on machines of their own each node adds its own spawn rate (README).

    bench/cluster_bench.py BUILD_DIR"""
import os
import shutil
import signal
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLUSTER = os.path.join(SOURCE, "host", "tools", "karvel-cluster")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from karvel_e2e import free_port_block  # noqa: E402
from wrk_run import percentile, rate, wrk  # noqa: E402
PATH = "/scripts/VC_KARVEL2.dll?VCEXE=echo&a=1"


def measure(port, seconds, connections=32):
    out = wrk(port, PATH, seconds, connections, latency=True)
    return rate(out), percentile(out, "99%")


def measure(build, nodes, seconds=8):
    """(nginx requests/s, nginx p99 ms, direct requests/s, direct p99 ms) for a cluster of `nodes`."""
    port = free_port_block(nodes + 1)
    out = subprocess.run([CLUSTER, "--build", build, "--nodes", str(nodes), "--port", str(port), "--background"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True).stdout
    pids = [int(line.split()[-1]) for line in out.splitlines() if line.strip()]
    try:
        measure(port, 2)
        proxied = measure(port, seconds)
        direct = measure(port + 1, seconds) if nodes == 1 else (None, None)
        return proxied + direct
    finally:
        for k in range(1, nodes + 1):
            subprocess.run(["pkill", "-TERM", "-f", "httpd-%d.conf" % (port + k)])
        os.kill(pids[-1], signal.SIGTERM)
        time.sleep(1)
        for k in range(1, nodes + 1):
            stage = "/tmp/karvel-httpd-%d" % (port + k) if os.geteuid() == 0 else os.path.join(build, "run-%d" % (port + k))
            shutil.rmtree(stage, ignore_errors=True)
        shutil.rmtree(os.path.join(build, "cluster-%d" % port), ignore_errors=True)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build"))
    if not os.access("/usr/sbin/nginx", os.X_OK):
        print("cluster: skipped (nginx is not installed; make deps installs nginx-light)")
        return
    results = {nodes: measure(build, nodes) for nodes in (1, 2, 3)}
    direct_rate, direct_p99 = results[1][2], results[1][3]
    print("cluster: echo on 32 connections, nginx in front (least connections), all on this machine")
    print("  one node directly:  %7.1f requests/s, p99 %.1f ms" % (direct_rate, direct_p99))
    for nodes, (rate, p99, _, _) in results.items():
        print("  nginx to %d node%s:  %7.1f requests/s (%.2fx the node directly), p99 %.1f ms" %
              (nodes, "s" if nodes > 1 else " ", rate, rate / direct_rate, p99))
    print("  p99 the proxy adds (1 node): %.1f ms" % (results[1][1] - direct_p99))


if __name__ == "__main__":
    main()
