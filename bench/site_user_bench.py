#!/usr/bin/env python3
"""What a site's own user costs a request: the trivial back-end (trivial_answer) on one Apache,
once in a host whose programs run as the server's user and once in a host with KarvelUserGroup,
in alternating rounds (wrk, 2 threads, 32 connections), both with their exchange files on the same
file system (tmpfs where there is one); the ratio user/server per pair of rounds, median reported.
Root only (it makes a user and removes it again); skipped with the reason elsewhere.

    bench/site_user_bench.py BUILD_DIR [ROUNDS] [SECONDS]"""
import os
import pwd
import shutil
import statistics
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wrk_run import rate, wrk  # noqa: E402
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)

USER = "karvel-bench-site"
PATH = "/scripts/VC_KARVEL2.dll?VCEXE=trivial_answer"


def remove_user():
    subprocess.run(["userdel", USER], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["groupdel", USER], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    if os.geteuid() != 0 or shutil.which("useradd") is None:
        print("site users: skipped (makes a user and runs the server as root: needs root and useradd)")
        return
    os.environ["KARVEL_BUILD_DIR"] = build
    import karvel_e2e
    karvel_e2e.BUILD = build
    on_memory = os.path.isdir("/dev/shm")
    root = tempfile.mkdtemp(prefix="karvel-bench-users-", dir="/dev/shm" if on_memory else "/tmp")
    remove_user()
    server = None
    try:
        subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "--user-group", USER],
                       check=True)
        os.chmod(root, 0o755)
        backends = os.path.join(root, "backends")
        os.mkdir(backends, 0o755)
        shutil.copy(os.path.join(build, "bin", "bench-backends", "trivial_answer"), backends)
        os.chmod(os.path.join(backends, "trivial_answer"), 0o755)
        temp = os.path.join(root, "tmp")
        os.mkdir(temp, 0o711)
        www = pwd.getpwnam("www-data")
        os.chown(temp, www.pw_uid, www.pw_gid)
        second = karvel_e2e.free_port()
        hosts = []
        for port, user_line in (("@PORT@", ""), (str(second), "KarvelUserGroup %s %s" % (USER, USER))):
            hosts.append('<VirtualHost *:%s>\n    %s\n    KarvelBackendDir "%s"\n    KarvelTempDir "%s"\n'
                         '</VirtualHost>' % (port, user_line, backends, temp))
        server = karvel_e2e.Server(probe=False, log_level="error",
                                   includes=["Listen 127.0.0.1:%d" % second] + hosts)
        plain_port, user_port = server.port, second
        for port in (plain_port, user_port):
            status, body = request_on(port)
            if status != 200:
                raise SystemExit("trivial_answer on port %d: %d %r" % (port, status, body[:200]))
        wrk(plain_port, PATH, 2)
        wrk(user_port, PATH, 2)
        plain_rates, user_rates = [], []
        for _ in range(rounds):
            plain_rates.append(rate(wrk(plain_port, PATH, seconds)))
            user_rates.append(rate(wrk(user_port, PATH, seconds)))
        ratios = [u / p for u, p in zip(user_rates, plain_rates)]
        print("site users: trivial_answer, requests/s, wrk 2 threads 32 connections, %d rounds of %d s, "
              "exchange files in %s" % (rounds, seconds, temp))
        print("  as the server's user  %s" % " ".join("%.0f" % r for r in plain_rates))
        print("  as the site's user    %s" % " ".join("%.0f" % r for r in user_rates))
        print("  ratio site's/server's: median %.2fx, rounds %.2f-%.2fx (goal >= 0.9x: at most 10%% more cost)"
              % (statistics.median(ratios), min(ratios), max(ratios)))
    finally:
        if server is not None:
            server.stop()
        remove_user()
        shutil.rmtree(root, ignore_errors=True)


def request_on(port):
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        conn.request("GET", PATH)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


if __name__ == "__main__":
    main()
