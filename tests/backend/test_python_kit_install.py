"""The Python kit as a developer installs it: pip into a fresh venv, offline, from backend/python;
the module then imports from the venv (not from the source tree), reads and answers an exchange
file and escapes HTML, under the project's version. Skips with the reason where venv, pip or
setuptools (and wheel) are not installed."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
KIT = os.path.join(SOURCE, "backend", "python")

# Run inside the venv: an exchange file of one field (name "n", value "<a&b>" as sent), parsed,
# escaped and answered; prints where the module came from and what it made.
PROBE = r"""
import importlib.metadata, struct, sys, karvel_backend as kb
path = sys.argv[1]
name, value = b"n\0", b"<a&b>\0"
header = b"1 \0\0" + struct.pack("<II", 7, 1) + b"192.0.2.1".ljust(256, b"\0") + b"u".ljust(256, b"\0")
position = len(header) + 16
entry = struct.pack("<IIII", position + 1, len(name), position + len(name) + 1, len(value))
with open(path, "wb") as f:
    f.write(header + entry + name + value + b"\0")
request = kb.read_request(path)
kb.answer_page(path, b"Content-Type: text/html\r\n\r\n" + kb.html_escape(request.find("n")))
print(kb.__file__)
print(importlib.metadata.version("karvel-backend"), kb.__version__)
print(kb.html_escape("<'\">"))
print(open(path, "rb").read().hex())
"""


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          **kwargs)


def project_version():
    """The version debian/changelog's first line gives the whole project."""
    with open(os.path.join(SOURCE, "debian", "changelog")) as f:
        return re.match(r"\S+ \(([^)-]+)", f.readline()).group(1)


class PipInstall(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="karvel-pip-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def make_venv(self):
        """The venv's python and the command that runs pip for it; skips where none can be made."""
        venv = os.path.join(self.work, "venv")
        python = os.path.join(venv, "bin", "python")
        # Debian's setuptools and wheel (python3-setuptools, python3-wheel) serve the build: nothing
        # is fetched.
        made = run([sys.executable, "-m", "venv", "--system-site-packages", venv])
        if made.returncode == 0:
            pip = [python, "-m", "pip"]
        else:
            # No ensurepip (python3-venv without pip's wheel): the outer pip installs into the venv.
            shutil.rmtree(venv, ignore_errors=True)
            bare = run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv])
            if bare.returncode != 0:
                self.skipTest("no venv: " + bare.stdout.strip()[-300:])
            pip = [sys.executable, "-m", "pip", "--python", python]
        if run(pip + ["--version"]).returncode != 0:
            self.skipTest("pip is not installed for %s" % sys.executable)
        if run([python, "-c", "import setuptools.build_meta"]).returncode != 0:
            self.skipTest("setuptools is not installed for %s" % sys.executable)
        # Wheels are built by setuptools itself from 70.1 on, by the wheel package before.
        if run([python, "-c", "import setuptools.command.bdist_wheel"]).returncode != 0 and \
                run([python, "-c", "import wheel"]).returncode != 0:
            self.skipTest("neither setuptools nor the wheel package builds wheels for %s" % sys.executable)
        return python, pip

    def test_pip_installs_the_kit_into_a_venv(self):
        python, pip = self.make_venv()
        # From a copy: the build leaves its build/ and egg-info where it runs, not in the sources.
        source = os.path.join(self.work, "src")
        shutil.copytree(KIT, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        env = dict(os.environ, PIP_NO_INPUT="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
        env.pop("PYTHONPATH", None)
        out = run(pip + ["install", "--no-build-isolation", "--no-index", "--no-deps", "--no-cache-dir", source],
                  env=env)
        self.assertEqual(0, out.returncode, out.stdout[-3000:])
        # Run from elsewhere: only the venv can give the module.
        exchange = os.path.join(self.work, "VC0000000000000001.tmp")
        probe = run([python, "-c", PROBE, exchange], cwd=self.work, env=env)
        self.assertEqual(0, probe.returncode, probe.stdout)
        where, versions, escaped, answer = probe.stdout.split("\n")[:4]
        self.assertTrue(os.path.realpath(where).startswith(os.path.realpath(os.path.join(self.work, "venv"))), where)
        self.assertEqual([project_version()] * 2, versions.split())
        self.assertEqual("&lt;&#39;&quot;&gt;", escaped)
        self.assertEqual(b"91  Content-Type: text/html\r\n\r\n&lt;a&amp;b&gt;", bytes.fromhex(answer))


if __name__ == "__main__":
    unittest.main()
