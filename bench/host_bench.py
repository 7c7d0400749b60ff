#!/usr/bin/env python3
"""Requests/s of Apache + mod_karvel + the echo back-end beside Apache's own mod_cgid running
cgi_echo (the same page as a CGI program), on one Apache, in one run: wrk, 2 threads, 32
connections, alternating rounds; the ratio is karvel/cgid per pair of rounds, median reported.
The same for a trivial static C back-end and its CGI twin, beside the floor of starting that
program per request (spawn_floor). Then the latency of a trivial reply (echo, no fields) on one
connection: median and p99. All of it twice: exchange files on tmpfs (/dev/shm) with uploads on
the stage's disk, as the package lays them out (the trivial pair's goal 1.5x mod_cgid), then
everything on the stage's disk (1.1x). Then, on disk, a 1 GiB file answer (result code 4) beside
Apache serving the same file as a static file, MB/s in alternating rounds, and how much the
children's resident memory grows while the answers go out.

    bench/host_bench.py BUILD_DIR [ROUNDS] [SECONDS] [--no-file]"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wrk_run import percentile, rate, wrk  # noqa: E402
os.environ.setdefault("KARVEL_SOURCE_DIR", SOURCE)


def download(port, path):
    """MB/s of one download with curl, after checking its length."""
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{speed_download} %{size_download} %{http_code}",
                          "http://127.0.0.1:%d%s" % (port, path)], stdout=subprocess.PIPE, text=True, check=True).stdout
    speed, size, code = out.split()
    if code != "200" or int(size) != BIG_FILE_BYTES:
        raise SystemExit("%s: status %s, %s bytes" % (path, code, size))
    return float(speed) / 1e6


BIG_FILE_BYTES = 1 << 30


def downloaded_with_memory(server, path):
    """MB/s of one download, and how far the children's resident memory rose above its start
    meanwhile (KiB)."""
    before = server.children_rss_kib()
    peak = [before]
    sampling = [True]

    def sample():
        while sampling[0]:
            peak[0] = max(peak[0], server.children_rss_kib())
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        return download(server.port, path), peak[0] - before
    finally:
        sampling[0] = False
        sampler.join()


def pair_rounds(title, port, karvel_path, cgi_path, rounds, seconds, goal, floor=None):
    """Alternating rounds of the two paths; prints each round and the ratio. With `floor` (a
    function measuring programs/s), each round also measures the spawn floor, so that karvel's
    share of it is taken under the same conditions as its rate (this machine's speed moves by a
    fifth within minutes)."""
    wrk(port, karvel_path, 2)
    wrk(port, cgi_path, 2)
    ratios, karvel_rates, cgi_rates, floors = [], [], [], []
    for _ in range(rounds):
        k = rate(wrk(port, karvel_path, seconds))
        c = rate(wrk(port, cgi_path, seconds))
        karvel_rates.append(k)
        cgi_rates.append(c)
        ratios.append(k / c)
        if floor is not None:
            floors.append(floor())
    print("host: %s, requests/s, wrk 2 threads 32 connections, %d rounds of %d s" % (title, rounds, seconds))
    print("  karvel    %s" % " ".join("%.0f" % r for r in karvel_rates))
    print("  mod_cgid  %s" % " ".join("%.0f" % r for r in cgi_rates))
    print("  ratio karvel/mod_cgid: median %.2fx, rounds %.2f-%.2fx (goal >= %.1fx)"
          % (statistics.median(ratios), min(ratios), max(ratios), goal))
    if floors:
        shares = [k / f for k, f in zip(karvel_rates, floors)]
        print("  spawn floor (posix_spawn + wait of the same program, 2 threads, programs/s) %s"
              % " ".join("%.0f" % f for f in floors))
        print("  ratio karvel/spawn floor: median %.2fx, rounds %.2f-%.2fx (goal >= 0.6x)"
              % (statistics.median(shares), min(shares), max(shares)))


def file_answers(server, rounds):
    """A 1 GiB file answer through karvel beside the same file served by Apache itself."""
    site = os.path.join(server.stage, "site")
    path = os.path.join(site, "bench-answer.bin")
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for _ in range(BIG_FILE_BYTES >> 20):
            f.write(block)
    # The extension opens an answer's file for writing too: it belongs to the server's user.
    tmp = os.stat(os.path.join(server.stage, "tmp"))
    os.chown(path, tmp.st_uid, tmp.st_gid)
    karvel_path, static_path = "/scripts/VC_KARVEL2.dll?VCEXE=file_answer", "/bench-answer.bin"
    download(server.port, karvel_path)
    download(server.port, static_path)
    karvel_speeds, static_speeds = [], []
    karvel_growth, static_growth = 0, 0
    try:
        for _ in range(rounds):
            speed, growth = downloaded_with_memory(server, karvel_path)
            karvel_speeds.append(speed)
            karvel_growth = max(karvel_growth, growth)
            speed, growth = downloaded_with_memory(server, static_path)
            static_speeds.append(speed)
            static_growth = max(static_growth, growth)
    finally:
        os.unlink(path)
    ratio = statistics.median(k / s for k, s in zip(karvel_speeds, static_speeds))
    print("host: a 1 GiB file answer (result code 4) beside the same file served by Apache, MB/s, %d rounds" % rounds)
    print("  karvel file answer    %s" % " ".join("%.0f" % v for v in karvel_speeds))
    print("  Apache static file    %s" % " ".join("%.0f" % v for v in static_speeds))
    print("  ratio karvel/static: median %.2fx (goal >= 0.8x)" % ratio)
    print("  children's resident memory grew by %.1f MiB at most during a karvel answer (goal < 16 MiB), "
          "%.1f MiB during a static one" % (karvel_growth / 1024.0, static_growth / 1024.0))


CGID = ["LoadModule cgid_module /usr/lib/apache2/modules/mod_cgid.so",
        "LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so",
        'ScriptSock "@STAGE@/run/cgid.sock"',
        'ScriptAlias /cgi-bin/ "@STAGE@/backends/"',
        '<Directory "@STAGE@/backends">\n    Options +ExecCGI\n    Require all granted\n</Directory>']


def filesystem_of(path):
    """The type of the file system holding `path` (e.g. ext4, tmpfs), from /proc/mounts."""
    path, best, kind = os.path.realpath(path), "", "?"
    with open("/proc/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            mount = fields[1].replace("\\040", " ")
            if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                best, kind = mount, fields[2]
    return kind


def request_pairs(server, temp, rounds, seconds, build, trivial_goal):
    """The echo and trivial pairs, the spawn floor and the one-connection latency, with the
    exchange files in `temp`; the trivial pair's goal against mod_cgid is `trivial_goal`."""
    karvel_path = "/scripts/VC_KARVEL2.dll?VCEXE=echo&a=1"
    cgi_path = "/cgi-bin/cgi_echo?VCEXE=echo&a=1"
    # Both paths bring the same page for the same query.
    if server.request("GET", karvel_path)[2] != server.request("GET", cgi_path)[2]:
        raise SystemExit("karvel and cgi_echo answer different pages")
    print("host: exchange files in %s (%s)" % (temp, filesystem_of(temp)))
    pair_rounds("echo (mod_karvel + VC_KARVEL2 + echo) vs mod_cgid + cgi_echo", server.port, karvel_path, cgi_path,
                rounds, seconds, 1.1)
    trivial_path, trivial_cgi_path = "/scripts/VC_KARVEL2.dll?VCEXE=trivial_answer", "/cgi-bin/trivial_cgi"
    if server.request("GET", trivial_path)[2] != server.request("GET", trivial_cgi_path)[2]:
        raise SystemExit("trivial_answer and trivial_cgi answer different pages")
    # The floor's program writes and renames its answer in the same directory as karvel's does.
    floor_command = [os.path.join(build, "bench-tools", "spawn_floor"),
                     os.path.join(server.stage, "backends", "trivial_answer"), str(seconds), "2", temp]

    def floor():
        return float(subprocess.run(floor_command, stdout=subprocess.PIPE, text=True, check=True).stdout)

    pair_rounds("trivial (static C back-end) vs mod_cgid + trivial_cgi", server.port, trivial_path, trivial_cgi_path,
                rounds, seconds, trivial_goal, floor)
    for name, path in (("karvel echo", "/scripts/VC_KARVEL2.dll?VCEXE=echo"),
                       ("mod_cgid echo", "/cgi-bin/cgi_echo?VCEXE=echo")):
        out = wrk(server.port, path, seconds, connections=1, threads=1, latency=True)
        print("  latency of a trivial reply, %-13s median %.2f ms, p99 %.2f ms (1 connection)"
              % (name, percentile(out, "50%"), percentile(out, "99%")))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build-bench"))
    numbers = [a for a in sys.argv[2:] if not a.startswith("--")]
    rounds = int(numbers[0]) if numbers else 3
    seconds = int(numbers[1]) if len(numbers) > 1 else 10
    os.environ["KARVEL_BUILD_DIR"] = build
    import karvel_e2e
    karvel_e2e.BUILD = build

    # Exchange files live for milliseconds: on a RAM-backed file system (tmpfs) as the package
    # keeps them (its uploads on disk), then in the stage's own directory on whatever /tmp is here.
    memory = None
    if os.path.isdir("/dev/shm") and filesystem_of("/dev/shm") == "tmpfs":
        memory = tempfile.mkdtemp(prefix="karvel-bench-", dir="/dev/shm")
    else:
        print("host: no tmpfs at /dev/shm; exchange files on disk only")
    try:
        if memory is not None:
            server = karvel_e2e.Server(probe=False, log_level="error",
                                       includes=CGID + ['KarvelTempDir "%s"' % memory,
                                                        'KarvelUploadDir "@STAGE@/tmp"'])
            try:
                stage_temp = os.stat(os.path.join(server.stage, "tmp"))
                os.chown(memory, stage_temp.st_uid, stage_temp.st_gid)
                request_pairs(server, memory, rounds, seconds, build, 1.5)
            finally:
                server.stop()
        server = karvel_e2e.Server(probe=False, log_level="error", includes=CGID)
        try:
            request_pairs(server, os.path.join(server.stage, "tmp"), rounds, seconds, build, 1.1)
            if "--no-file" not in sys.argv:
                file_answers(server, rounds)
        finally:
            server.stop()
    finally:
        if memory is not None:
            shutil.rmtree(memory, ignore_errors=True)


if __name__ == "__main__":
    main()
