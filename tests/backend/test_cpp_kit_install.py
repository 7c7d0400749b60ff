"""The C++ kit as a developer installs and uses it: `cmake --install` of the kit's component alone
into a fresh prefix, then the demo echo back-end built outside this tree twice, by a CMake project
with find_package(KarvelBackend) and by a plain compiler line with pkg-config's flags; each build
runs against an exchange file and answers it. The pkg-config half skips where pkg-config is
missing."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from exchange_bytes import exchange  # noqa: E402
BUILD = os.environ.get("KARVEL_BUILD_DIR", os.path.join(SOURCE, "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CXX = os.environ.get("KARVEL_CXX", "c++")
COMPONENT = "karvel-backend-dev"
KIT_HEADERS = ["karvel_backend.h", "karvel_cp932.h", "karvel_cp932_table.h", "karvel_exchange_layout.h"]

PROJECT = """cmake_minimum_required(VERSION 3.20)
project(my_backend LANGUAGES CXX)
find_package(KarvelBackend 1.0 REQUIRED)
add_executable(echo echo.cpp)
target_link_libraries(echo PRIVATE Karvel::backend)
"""


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          **kwargs)


class KitInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="karvel-kit-")
        cls.prefix = os.path.join(cls.work, "prefix")
        cls.installed = run([CMAKE, "--install", BUILD, "--prefix", cls.prefix, "--component", COMPONENT])
        # The program as an author has it: a copy outside this tree, beside nothing of the kit.
        cls.project = os.path.join(cls.work, "project")
        os.makedirs(cls.project)
        for name in ("echo.cpp", "echo_page.h"):
            shutil.copy(os.path.join(SOURCE, "demo", "backends", name), cls.project)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def answers(self, program):
        """Runs `program` on an exchange file; what it answered."""
        path = os.path.join(self.work, "VC%016X.tmp" % os.getpid())
        with open(path, "wb") as f:
            f.write(exchange([(b"VCEXE", b"echo"), (b"name", b"<kit>")], connection=9, addr=b"192.0.2.9", user=b""))
        ran = run([program, path], timeout=60)
        self.assertEqual(0, ran.returncode, ran.stdout)
        with open(path, "rb") as f:
            return f.read()

    def assert_echo_answers(self, program):
        answer = self.answers(program)
        self.assertTrue(answer.startswith(b"91  "), answer[:40])
        self.assertIn(b"<tr><td>name</td><td>&lt;kit&gt;</td>", answer)

    def test_the_kit_component_installs_the_kit_alone(self):
        self.assertEqual(0, self.installed.returncode, self.installed.stdout)
        files = sorted(os.path.relpath(os.path.join(d, f), self.prefix) for d, _, names in os.walk(self.prefix)
                       for f in names)
        self.assertEqual(sorted(["include/karvel/" + h for h in KIT_HEADERS] + [
            "share/cmake/KarvelBackend/KarvelBackendConfig.cmake",
            "share/cmake/KarvelBackend/KarvelBackendConfigVersion.cmake",
            "share/cmake/KarvelBackend/KarvelBackendTargets.cmake",
            "share/pkgconfig/karvel-backend.pc"]), files)
        for header in KIT_HEADERS:
            with open(os.path.join(SOURCE, "backend", header), "rb") as a, \
                    open(os.path.join(self.prefix, "include", "karvel", header), "rb") as b:
                self.assertEqual(a.read(), b.read(), header)

    def test_find_package_builds_the_echo_back_end(self):
        self.assertEqual(0, self.installed.returncode, self.installed.stdout)
        with open(os.path.join(self.project, "CMakeLists.txt"), "w") as f:
            f.write(PROJECT)
        build = os.path.join(self.work, "cmake-build")
        configured = run([CMAKE, "-S", self.project, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
                          "-DCMAKE_CXX_COMPILER=" + CXX, "-DCMAKE_BUILD_TYPE=Release"])
        self.assertEqual(0, configured.returncode, configured.stdout)
        built = run([CMAKE, "--build", build])
        self.assertEqual(0, built.returncode, built.stdout)
        self.assert_echo_answers(os.path.join(build, "echo"))
        # A kit of another major version is refused, not taken.
        with open(os.path.join(self.project, "CMakeLists.txt"), "w") as f:
            f.write(PROJECT.replace("KarvelBackend 1.0", "KarvelBackend 2.0"))
        refused = run([CMAKE, "-S", self.project, "-B", os.path.join(self.work, "cmake-build-2"),
                       "-DCMAKE_PREFIX_PATH=" + self.prefix, "-DCMAKE_CXX_COMPILER=" + CXX])
        self.assertNotEqual(0, refused.returncode, refused.stdout)

    def test_pkg_config_builds_the_echo_back_end(self):
        self.assertEqual(0, self.installed.returncode, self.installed.stdout)
        pkg_config = shutil.which("pkg-config") or shutil.which("pkgconf")
        if pkg_config is None:
            self.skipTest("pkg-config is not installed")
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.prefix, "share", "pkgconfig"))
        env.pop("PKG_CONFIG_LIBDIR", None)
        flags = run([pkg_config, "--cflags", "karvel-backend"], env=env)
        self.assertEqual(0, flags.returncode, flags.stdout)
        self.assertEqual(["-I" + os.path.join(self.prefix, "include", "karvel")], flags.stdout.split())
        version = run([pkg_config, "--modversion", "karvel-backend"], env=env).stdout.strip()
        with open(os.path.join(SOURCE, "debian", "changelog")) as f:
            self.assertIn("(%s)" % version, f.readline())
        program = os.path.join(self.work, "echo-pkg-config")
        built = run([CXX, "-std=c++17", "-O1"] + flags.stdout.split() +
                    [os.path.join(self.project, "echo.cpp"), "-o", program])
        self.assertEqual(0, built.returncode, built.stdout)
        self.assert_echo_answers(program)


if __name__ == "__main__":
    unittest.main()
