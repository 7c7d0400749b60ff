"""The Debian packages on this machine, as an operator and a back-end author use them: build them
(make deb, lintian clean), check what each holds, then follow the README's "A first back-end, step
by step" block by block as written (apt installs the three packages, Apache restarts with the
module, a C++ back-end built with pkg-config and with CMake and a Python one are tried with
karvel-run and karvel-dump and served by the system's Apache), leave a status file and a Wine
prefix as operators do, stop Apache, purge and check what is left. Runs only as root on Debian
with the system's Apache stopped; the machine is left as it was found, also when a step fails."""
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

SOURCE = os.path.abspath(os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("KARVEL_BUILD_DIR", os.path.join(SOURCE, "build"))
MODULE = "libapache2-mod-karvel"
DEV = "libkarvel-backend-dev"
PYTHON = "python3-karvel-backend"
PACKAGES = [MODULE, DEV, PYTHON]
STATE = "/var/lib/karvel"
RUN_TEMP = "/run/karvel"
UPLOADS = os.path.join(STATE, "uploads")
BACKENDS = STATE + "/backends"
WALK_THROUGH = "### A first back-end, step by step"


def run(*args, check=True, **kwargs):
    return subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          check=check, **kwargs)


def installed(package):
    out = run("dpkg-query", "-W", "-f=${Status}", package, check=False).stdout
    return "ok installed" in out


def known_to_dpkg(package):
    return run("dpkg-query", "-W", package, check=False).returncode == 0


def port_taken(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def apache_running():
    return bool(run("pgrep", "-x", "apache2", check=False).stdout.strip())


def stop_apache():
    run("apache2ctl", "stop", check=False)
    for _ in range(100):
        if not apache_running():
            return
        time.sleep(0.1)


def reason_to_skip():
    if os.geteuid() != 0:
        return "installing a package needs root"
    if not shutil.which("dpkg") or not shutil.which("apt-get") or not os.path.isdir("/etc/apache2"):
        return "not a Debian machine with apache2"
    for package in PACKAGES:
        if installed(package):
            return "%s is installed here already: an operator's, not the test's to touch" % package
    if os.path.exists(STATE):
        return "%s exists already: an operator's data, not the test's to touch" % STATE
    if port_taken(80) or apache_running():
        return "the system's Apache (or something on port 80) runs: not the test's to stop"
    for tool in ("curl", "pkg-config", "cmake", "c++"):
        if not shutil.which(tool):
            return "the README's walk-through needs %s, which is not installed" % tool
    return None


def walk_through_script(readme):
    """The README's walk-through as one bash script: each sh block as it stands, each file block
    (the line before it ends in "`NAME`:") written to that file where the reader would write it."""
    start = readme.index(WALK_THROUGH) + len(WALK_THROUGH)
    end = readme.find("\n### ", start)
    lines = readme[start:end if end >= 0 else len(readme)].split("\n")
    script, block, language, file_name, previous = [], None, None, None, ""
    for line in lines:
        if block is None:
            if line.startswith("```"):
                block, language = [], line[3:].strip()
                named = re.search(r"`([\w.+-]+)`:$", previous.strip())
                file_name = named.group(1) if named else None
            elif line.strip():
                previous = line
            continue
        if not line.startswith("```"):
            block.append(line)
            continue
        if language == "sh":
            script.extend(block)
        elif file_name:
            script.append("cat > %s <<'KARVEL_WALK_THROUGH_EOF'" % file_name)
            script.extend(block)
            script.append("KARVEL_WALK_THROUGH_EOF")
        else:
            raise AssertionError("a %s block in the walk-through names no file" % language)
        block = None
    return "\n".join(script) + "\n"


# What the reader's shell does that a test's does not: sudo (the test is root already) and apt's
# question (answered yes).
SHELL_PRELUDE = """set -euo pipefail
set -x
sudo() { if [ "$1" = apt ]; then shift; DEBIAN_FRONTEND=noninteractive command apt -y "$@"; else "$@"; fi; }
"""


class Package(unittest.TestCase):
    def setUp(self):
        reason = reason_to_skip()
        if reason:
            self.skipTest(reason)
        self.srv_was_there = os.path.exists("/srv/karvel")
        self.work = tempfile.mkdtemp(prefix="karvel-package-")
        os.chmod(self.work, 0o755)
        self.addCleanup(self.restore)

    def restore(self):
        stop_apache()
        present = [package for package in PACKAGES if known_to_dpkg(package)]
        if present:
            run("apt-get", "purge", "-y", *present, check=False, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        # What purge leaves by design (the administrator's data) is the test's own here.
        shutil.rmtree(STATE, ignore_errors=True)
        if not self.srv_was_there:
            shutil.rmtree("/srv/karvel", ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)

    def build_packages(self):
        # The packages' Build-Depends come from the machine's package sources: where they cannot
        # be installed today there is nothing to test here.
        deps = run("make", "-C", SOURCE, "deb-deps", check=False)
        if deps.returncode != 0:
            self.skipTest("the packages' build dependencies cannot be installed: " + deps.stdout.strip()[-500:])
        built = run("make", "-C", SOURCE, "deb", check=False)
        self.assertEqual(0, built.returncode, built.stdout[-4000:])
        arch = run("dpkg", "--print-architecture").stdout.strip()
        debs = {MODULE: "%s_1.0.0_%s.deb" % (MODULE, arch), DEV: "%s_1.0.0_all.deb" % DEV,
                PYTHON: "%s_1.0.0_all.deb" % PYTHON}
        paths = {package: os.path.join(SOURCE, "build", "deb", name) for package, name in debs.items()}
        for path in paths.values():
            self.assertTrue(os.path.isfile(path), path)
        lint = run("lintian", *paths.values(), check=False).stdout
        self.assertNotRegex(lint, r"(?m)^[EW]: ", lint)
        return arch, paths

    def check_contents(self, debs):
        """Each package holds its own files and none of another's; returns every file's path."""
        files = {}
        for package, deb in debs.items():
            listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
            files[package] = {line.split()[-1].lstrip(".") for line in listing if not line.startswith("d")}
        expected = [
            (MODULE, "/usr/lib/apache2/modules/mod_karvel.so", True),
            (MODULE, "/usr/lib/karvel/VC_KARVEL2.so", True),
            (MODULE, "/usr/lib/karvel/debug-copy/VC_KARVEL2.so", True),
            (MODULE, "/usr/bin/karvel-run", True),
            (MODULE, "/usr/bin/karvel-dump", True),
            (MODULE, "/usr/bin/emitstatus", True),
            (MODULE, "/usr/sbin/karvel-wine-setup", True),
            (MODULE, "/usr/share/man/man1/karvel-run.1.gz", True),
            (MODULE, "/usr/share/man/man1/karvel-dump.1.gz", True),
            (MODULE, "/usr/share/man/man1/emitstatus.1.gz", True),
            (MODULE, "/usr/share/man/man7/mod_karvel.7.gz", True),
            (MODULE, "/usr/share/man/man8/karvel-wine-setup.8.gz", True),
            (MODULE, "/usr/lib/python3/dist-packages/karvel_backend.py", False),
            (MODULE, "/usr/include/karvel/karvel_backend.h", False),
            (DEV, "/usr/include/karvel/karvel_backend.h", True),
            (DEV, "/usr/include/karvel/karvel_cp932.h", True),
            (DEV, "/usr/share/pkgconfig/karvel-backend.pc", True),
            (DEV, "/usr/share/cmake/KarvelBackend/KarvelBackendConfig.cmake", True),
            (PYTHON, "/usr/lib/python3/dist-packages/karvel_backend.py", True),
        ]
        for package, path, wanted in expected:
            with self.subTest(package=package, path=path):
                self.assertEqual(wanted, path in files[package])
        for package, deb in debs.items():
            with self.subTest(package=package):
                self.assertEqual([], [path for path in files[package] if path.startswith("/srv")])
                maintainer = run("dpkg-deb", "-f", deb, "Maintainer").stdout
                self.assertNotRegex(maintainer, r"@(\S+\.)?(example\.\w+|invalid|localhost|test)>", maintainer)
                if package != MODULE:
                    self.assertEqual("all", run("dpkg-deb", "-f", deb, "Architecture").stdout.strip())
        self.assertIn(PYTHON, run("dpkg-deb", "-f", debs[MODULE], "Recommends").stdout)
        return set().union(*files.values())

    def follow_walk_through(self, arch, debs):
        """The README's blocks, run in a directory holding the packages where `make deb` puts them."""
        os.makedirs(os.path.join(self.work, "build", "deb"))
        for deb in debs.values():
            shutil.copy(deb, os.path.join(self.work, "build", "deb"))
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            script = walk_through_script(f.read()).replace("_amd64.deb", "_%s.deb" % arch)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive", LC_ALL="C.UTF-8")
        env.pop("PYTHONPATH", None)
        out = subprocess.run(["bash", "-c", SHELL_PRELUDE + script], cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        text = out.stdout.decode("utf-8", "replace")
        self.assertEqual(0, out.returncode, text[-6000:])
        return out.stdout

    def test_install_walk_through_and_purge(self):
        arch, debs = self.build_packages()
        paths = self.check_contents(debs)

        output = self.follow_walk_through(arch, debs)
        for package in PACKAGES:
            self.assertTrue(installed(package), package)
        self.assertIn("enabled", run("a2query", "-m", "karvel").stdout)
        if not self.srv_was_there:
            self.assertFalse(os.path.exists("/srv/karvel"), "the package made /srv/karvel")
        # The C++ program (pkg-config build) answered karvel-run and Apache; the value sent in
        # Shift-JIS came back as such and karvel-dump read it from the debug copy; the Python one too.
        self.assertGreaterEqual(output.count(b"<p>Hello, Taro</p>"), 2, output[-3000:])
        self.assertIn("<p>Hello, 山田</p>".encode("shift_jis"), output)
        self.assertIn("山田".encode("utf-8"), output)
        self.assertGreaterEqual(output.count(b"<p>Hello, Hanako</p>"), 2, output[-3000:])
        # The CMake build of the same program answers the same.
        cmake_built = run("karvel-run", os.path.join(self.work, "hello", "build", "hello"), "name=Jiro", check=False)
        self.assertEqual(0, cmake_built.returncode, cmake_built.stdout)
        self.assertIn("<p>Hello, Jiro</p>", cmake_built.stdout)

        # Exchange files in memory, uploads on disk: both the server user's alone.
        for directory in (RUN_TEMP, UPLOADS):
            with self.subTest(directory=directory):
                self.assertEqual(0o700, os.stat(directory).st_mode & 0o777)
                self.assertEqual("www-data", run("stat", "-c", "%U", directory).stdout.strip())
        # A Shift_JIS multipart form with an upload through the system's Apache, to the demo echo.
        shutil.copy(os.path.join(BUILD, "bin", "backends", "echo"), BACKENDS)
        name = "山田太郎".encode("shift_jis")
        body = (b"--B\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\necho\r\n"
                b"--B\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + name + b"\r\n"
                b"--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\docs\\note.txt\"\r\n"
                b"Content-Type: text/plain\r\n\r\nhello upload\n\r\n--B--\r\n")
        conn = http.client.HTTPConnection("127.0.0.1", 80, timeout=60)
        conn.request("POST", "/scripts/VC_KARVEL2.dll", body, {"Content-Type": "multipart/form-data; boundary=B"})
        response = conn.getresponse()
        page = response.read()
        conn.close()
        self.assertEqual(200, response.status, page)
        self.assertIn(b"<tr><td>name</td><td>" + name + b"</td>", page)
        self.assertIn(b"note.txt</td><td>13 bytes</td>", page)
        # The upload on disk under its full path, apart from the exchange files.
        self.assertRegex(page, rb"<td>%s/VCU[0-9A-F]{16}\.tmp/note\.txt</td>" % re.escape(UPLOADS.encode()))

        # The comments of karvel.conf send the reader to files the package installed.
        with open("/etc/apache2/mods-available/karvel.conf") as f:
            conf = f.read()
        named = re.findall(r"(/usr/share/\S+?)[.,;:]?(?=\s)", conf)
        self.assertTrue(named, conf)
        for path in named:
            self.assertTrue(os.path.isfile(path), path)
        if "man 7 mod_karvel" in conf:
            self.assertTrue(os.path.isfile("/usr/share/man/man7/mod_karvel.7.gz"))

        # emitstatus without WINDIR writes into the package's directory as the back-ends' user.
        templates = os.path.join(self.work, "templates")
        os.mkdir(templates)
        with open(os.path.join(templates, "VB_KARVEL.MIF"), "w") as f:
            f.write("status @3 @5\n")
        os.chmod(templates, 0o755)
        env = {k: v for k, v in os.environ.items() if k != "WINDIR"}
        emitted = run("runuser", "-u", "www-data", "--", "emitstatus", templates + "/,shop,up,1", check=False, env=env)
        self.assertEqual(0, emitted.returncode, emitted.stdout)
        status_file = os.path.join(STATE, "shop_VB_KARVEL.MIF")
        self.assertTrue(os.path.isfile(status_file))
        # A Wine prefix where karvel-wine-setup makes it by default (its own run needs Wine).
        prefix = os.path.join(STATE, "wine")
        os.makedirs(os.path.join(prefix, "drive_c"))
        shutil.chown(prefix, "www-data", "www-data")

        stop_apache()
        purge = run("apt-get", "purge", "-y", *PACKAGES, check=False, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertEqual(0, purge.returncode, purge.stdout[-4000:])
        for package in PACKAGES:
            self.assertFalse(installed(package), package)
        self.assertEqual([], sorted(path for path in paths if os.path.lexists(path)), "files of the packages left after purge")
        enabled = run("grep", "-rl", "karvel", "/etc/apache2/mods-enabled", "/etc/apache2/conf-enabled", check=False).stdout
        self.assertEqual("", enabled.strip(), "karvel left in Apache's enabled configuration")
        # The requests' files go; what is the administrator's stays, and purge says what it left.
        for directory in (RUN_TEMP, UPLOADS):
            self.assertFalse(os.path.exists(directory), directory)
        for kept in (status_file, prefix, os.path.join(BACKENDS, "hello"), os.path.join(BACKENDS, "hello.py")):
            with self.subTest(kept=kept):
                self.assertTrue(os.path.exists(kept))
                listed = os.path.join(STATE, os.path.relpath(kept, STATE).split(os.sep)[0])
                self.assertRegex(purge.stdout, r"(?m)^\s*%s$" % re.escape(listed))


if __name__ == "__main__":
    unittest.main()
