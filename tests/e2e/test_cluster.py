"""Three Apache + mod_karvel nodes behind nginx, as host/tools/karvel-cluster starts them: requests spread
over the nodes, back-ends see the client's address (and not one a client claims), uploads arrive
byte for byte, a node killed mid-run costs no GET and never runs a POST twice, a restarted node
rejoins, and a graceful restart loses nothing."""
import hashlib
import http.client
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from karvel_e2e import BUILD, LAUNCHER, SCRIPT, SOURCE, free_port_block, multipart

CLUSTER = os.path.join(SOURCE, "host", "tools", "karvel-cluster")
NODES = 3
# nginx takes a failed node out for this long (fail_timeout in host/tools/karvel-cluster).
FAIL_TIMEOUT = 5


def node_stage(port):
    return "/tmp/karvel-httpd-%d" % port if os.geteuid() == 0 else os.path.join(BUILD, "run-%d" % port)


def cluster_dir(port):
    """Where host/tools/karvel-cluster puts nginx's configuration and temp files: somewhere nginx's
    workers (www-data, when run as root) reach wherever the checkout is."""
    return "/tmp/karvel-cluster-%d" % port if os.geteuid() == 0 else os.path.join(BUILD, "cluster-%d" % port)


class Cluster:
    def __init__(self):
        self.port = free_port_block(NODES + 1)
        self.log = open(os.path.join(BUILD, "cluster-%d.log" % self.port), "w+b")
        self.backends = ["--backends", os.path.join(BUILD, "bin", "test-backends")]
        out = subprocess.run([CLUSTER, "--build", BUILD, "--nodes", str(NODES), "--port", str(self.port),
                              "--background"] + self.backends, stdout=subprocess.PIPE, stderr=self.log, text=True, timeout=300)
        self.nodes = {}
        self.nginx = None
        for line in out.stdout.splitlines():
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "node":
                self.nodes[int(fields[1])] = int(fields[2])
            elif fields[0] == "nginx":
                self.nginx = int(fields[2])
        if out.returncode != 0 or self.nginx is None:
            with open(self.log.name, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            self.stop()
            raise RuntimeError("cluster did not start:\n" + text[-4000:])
        self.dir = cluster_dir(self.port)

    def kill_node(self, k):
        """The node's whole Apache (parent, children, spawner) killed at once, as a failed machine."""
        subprocess.run(["pkill", "-KILL", "-f", "httpd-%d.conf" % self.nodes[k]])
        for _ in range(100):
            if subprocess.run(["pgrep", "-f", "httpd-%d.conf" % self.nodes[k]], stdout=subprocess.PIPE).returncode:
                return
            time.sleep(0.05)

    def start_node(self, k):
        subprocess.run([LAUNCHER, "--build", BUILD, "--port", str(self.nodes[k]), "--background",
                        "--include", os.path.join(self.dir, "node.conf")] + self.backends,
                       stdout=subprocess.PIPE, stderr=self.log, check=True, timeout=120)

    def graceful(self, k):
        conf = os.path.join(BUILD, "host", "httpd-%d.conf" % self.nodes[k])
        subprocess.run(["/usr/sbin/apache2", "-f", conf, "-k", "graceful"], check=True, capture_output=True)

    def started(self, k):
        """Programs node k has started so far (its karvel-status)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.nodes[k], timeout=10)
        conn.request("GET", "/karvel-status?auto")
        text = conn.getresponse().read().decode()
        conn.close()
        return int(re.search(r"Started: (\d+)", text).group(1))

    def stop(self):
        for port in self.nodes.values():
            subprocess.run(["pkill", "-KILL", "-f", "httpd-%d.conf" % port])
            shutil.rmtree(node_stage(port), ignore_errors=True)
            remove_if_there(os.path.join(BUILD, "host", "httpd-%d.conf" % port))
        if self.nginx:
            try:
                os.kill(self.nginx, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.log.close()
        shutil.rmtree(cluster_dir(self.port), ignore_errors=True)
        os.remove(self.log.name)


def request(port, method, path, body=None, headers=None, source="127.0.0.1", timeout=120):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout, source_address=(source, 0))
    try:
        conn.request(method, path, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def setUpModule():
    if not os.access("/usr/sbin/nginx", os.X_OK):
        raise unittest.SkipTest("nginx is not installed (make deps installs nginx-light)")
    if not shutil.which("wrk"):
        raise unittest.SkipTest("wrk is not installed (make deps installs it)")
    global cluster
    cluster = Cluster()


def remove_if_there(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def tearDownModule():
    cluster.stop()


def wrk(seconds, connections, path):
    out = subprocess.run(["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--timeout", "30s",
                          "http://127.0.0.1:%d%s" % (cluster.port, path)], stdout=subprocess.PIPE, text=True).stdout
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    failures = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: (.*)", out)
    return requests, int(failures.group(1)) if failures else 0, errors.group(1) if errors else None


class Cluster3(unittest.TestCase):
    def test_a_requests_spread_and_back_ends_see_the_client(self):
        before = {k: cluster.started(k) for k in cluster.nodes}
        for _ in range(12):
            # From 127.0.0.3, claiming another address: the back-end sees 127.0.0.3.
            status, page = request(cluster.port, "GET", SCRIPT + "?VCEXE=echo&a=1",
                                   headers={"X-Forwarded-For": "203.0.113.9"}, source="127.0.0.3")
            self.assertEqual(200, status, page)
            self.assertIn(b" from 127.0.0.3 ", page)
        grown = {k: cluster.started(k) - before[k] for k in cluster.nodes}
        self.assertEqual(12, sum(grown.values()))
        self.assertTrue(all(count > 0 for count in grown.values()), grown)
        # Straight to a node, the header counts for nothing: only nginx's address is believed.
        status, page = request(cluster.nodes[1], "GET", SCRIPT + "?VCEXE=echo",
                               headers={"X-Forwarded-For": "203.0.113.9"}, source="127.0.0.3")
        self.assertIn(b" from 127.0.0.3 ", page)
        for port in [cluster.port] + list(cluster.nodes.values()):
            self.assertEqual((200, b"OK\n"), request(port, "GET", "/karvel-health"))

    def test_b_uploads_through_the_proxy_arrive_byte_for_byte(self):
        data = hashlib.sha256(b"seed").digest() * (50 * 1024 * 1024 // 32)
        body, ctype = multipart([("VCEXE", b"echo")], [("file", "big.bin", "application/octet-stream", data)])
        status, page = request(cluster.port, "POST", SCRIPT, body, {"Content-Type": ctype}, timeout=300)
        self.assertEqual(200, status)
        saved = re.search(rb"<td>(/[^<]*/big\.bin)</td>", page).group(1).decode()
        with open(saved, "rb") as f:
            self.assertEqual(hashlib.sha256(data).hexdigest(), hashlib.sha256(f.read()).hexdigest())
        os.remove(saved)

    def test_c_a_node_killed_mid_run_costs_no_get_and_runs_no_post_twice(self):
        # A POST waiting on a slow back-end on some node.
        result = {}

        def slow_post():
            result["reply"] = request(cluster.port, "POST", SCRIPT, b"VCEXE=behave&do=sleep&seconds=30",
                                      {"Content-Type": "application/x-www-form-urlencoded"})

        before = {k: cluster.started(k) for k in cluster.nodes}
        poster = threading.Thread(target=slow_post)
        poster.start()
        victim = None
        for _ in range(100):
            grown = [k for k in cluster.nodes if cluster.started(k) > before[k]]
            if grown:
                victim = grown[0]
                break
            time.sleep(0.05)
        self.assertIsNotNone(victim, "the POST reached no node")
        others = {k: cluster.started(k) for k in cluster.nodes if k != victim}
        killer = threading.Timer(2.0, cluster.kill_node, args=(victim,))
        killer.start()
        requests, failures, errors = wrk(6, 16, SCRIPT + "?VCEXE=echo&a=1")
        killer.join()
        poster.join()
        self.assertGreater(requests, 100)
        self.assertEqual((0, None), (failures, errors))
        # The POST in flight failed with 502 and was not run again elsewhere.
        self.assertEqual(502, result["reply"][0])
        time.sleep(0.5)
        status = {k: subprocess.run(["curl", "-s", "http://127.0.0.1:%d/karvel-status?auto" % cluster.nodes[k]],
                                    stdout=subprocess.PIPE, text=True).stdout for k in others}
        self.assertTrue(all("behave" not in text for text in status.values()), status)

        # The node restarted rejoins once nginx tries it again.
        cluster.start_node(victim)
        time.sleep(FAIL_TIMEOUT + 1)
        start = cluster.started(victim)
        for _ in range(30):
            self.assertEqual(200, request(cluster.port, "GET", SCRIPT + "?VCEXE=echo")[0])
        self.assertGreater(cluster.started(victim), start)

    def test_d_a_graceful_restart_mid_run_loses_nothing(self):
        replies = []

        def waiting():
            replies.append(request(cluster.port, "GET", SCRIPT + "?VCEXE=behave&do=sleep&seconds=3"))

        waiters = [threading.Thread(target=waiting) for _ in range(6)]
        for t in waiters:
            t.start()
        restart = threading.Timer(1.5, cluster.graceful, args=(2,))
        restart.start()
        requests, failures, errors = wrk(5, 8, SCRIPT + "?VCEXE=echo&a=1")
        restart.join()
        for t in waiters:
            t.join()
        self.assertGreater(requests, 50)
        self.assertEqual((0, None), (failures, errors))
        self.assertEqual([(200, b"slept")] * 6, replies)


if __name__ == "__main__":
    unittest.main()
