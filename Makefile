# karvel: the two quick-start commands (make run, make test) and the developer targets.
SHELL := /bin/bash
.DEFAULT_GOAL := build

JOBS ?= 2
FUZZ_SECONDS ?= 60
BUILD_DIR := build
SANITIZE_DIR := build-sanitize
BENCH_DIR := build-bench
FUZZ_DIR := build-fuzz
WIN32_DIR := build-win32
WIN64_DIR := build-win64
GENERATOR := -G Ninja
# Extra options for the test builds' configuration (.ci/run: -DKARVEL_WERROR=ON).
CMAKE_FLAGS ?=

# Every Debian package the build, the tests, the benchmarks and the fuzzers need. Those before the
# first --for are the build's own (without one of them nothing is built: make fails, naming it);
# each --for names what alone needs the packages after it, which skips, saying why, where they
# cannot be installed. Wine runs Windows back-ends (wine32 for i686 programs comes with the Windows
# packages below), MinGW-w64 builds the Windows back-ends the tests run under it.
PACKAGES := make cmake ninja-build g++ binutils libc6-dev \
            googletest libgtest-dev libgmock-dev python3 \
            apache2 apache2-dev apache2-utils libmagic-dev curl procps \
            --for "the browser test (e2e_browser)" chromium chromium-driver python3-selenium \
            --for "the cluster test (e2e_cluster)" nginx-light \
            --for "the load tests (e2e_load_and_faults, e2e_cluster) and make bench" wrk \
            --for "the fast-clock test (e2e_load_and_faults)" libfaketime \
            --for "the Windows back-ends under Wine (e2e_wine)" wine wine64 locales g++-mingw-w64-x86-64-posix \
            --for "the package test's first back-end built with pkg-config (package)" pkg-config \
            --for "make bench" libbenchmark-dev \
            --for "the FastCGI baseline of make bench (resident_bench.py)" libfcgi-dev \
            --for "make fuzz" clang libclang-rt-14-dev

# The Windows DLLs (MinGW-w64, i686 and x86_64) and Wine to test them. wine32 runs the i686 build
# where the kernel runs 32-bit programs and where it can be installed at all (its libraries must
# match the amd64 ones, so a missing i386 index makes it impossible); wine64 runs the x86_64 build
# of the same sources anywhere. A build whose compiler could not be installed is skipped.
WINDOWS_PACKAGES := make cmake ninja-build googletest \
                    --for "MinGW-w64's own tools (gendef, widl: no build or test uses them)" mingw-w64-tools \
                    --for "the x86_64 Windows build (build-win64)" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
                    --for "the i686 Windows build (build-win32)" g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
                    --for "the Windows programs under Wine" wine wine64 \
                    --for "the i686 Windows programs under Wine" wine32:i386

# A Windows build is made and tested where its compiler is installed (cmake/toolchain-mingw-*).
WIN32_CXX := i686-w64-mingw32-g++-posix
WIN64_CXX := x86_64-w64-mingw32-g++-posix

.PHONY: deps build test run cluster bench fuzz clean windows-deps windows windows-test install deb deb-deps

deps:
	@cmake/install-packages $(PACKAGES)
	@# Windows back-ends run in the ja_JP.UTF-8 locale (code page 932, Japanese file names).
	@if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then \
	  sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	  if ! command -v locale-gen >/dev/null; then \
	    echo "no ja_JP.UTF-8 locale and no locale-gen (the locales package): the Wine tests will be skipped"; \
	  else \
	    echo "generating the ja_JP.UTF-8 locale"; \
	    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' | $$sudo tee -a /etc/locale.gen >/dev/null; \
	    $$sudo locale-gen >/dev/null || echo "locale-gen failed: the Wine tests will be skipped"; \
	  fi; \
	fi

windows-deps:
	@sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	update=""; \
	if ! dpkg --print-foreign-architectures | grep -qx i386; then \
	  echo "adding the i386 architecture (wine32)"; \
	  $$sudo dpkg --add-architecture i386 && update=--update || echo "the i386 architecture was not added: no wine32"; \
	fi; \
	cmake/install-packages $$update $(WINDOWS_PACKAGES)

build: deps
	cmake -S . -B $(BUILD_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

# The whole suite twice: a plain build, then everything under AddressSanitizer and UBSan.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)
	cmake -S . -B $(SANITIZE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) \
	  -DKARVEL_SANITIZE=address,undefined
	cmake --build $(SANITIZE_DIR) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j$(JOBS)
	$(MAKE) windows-test

# The Windows DLLs: build-win32/bin (i686, what a server installs) and build-win64/bin (x86_64),
# each where its compiler is installed; a build left out says so.
windows: windows-deps
	@if ! command -v $(WIN32_CXX) >/dev/null; then \
	  echo "== the i686 Windows build ($(WIN32_DIR)) is skipped: no $(WIN32_CXX) (g++-mingw-w64-i686-posix)"; \
	else \
	  set -ex; \
	  cmake -S . -B $(WIN32_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake; \
	  cmake --build $(WIN32_DIR) -j$(JOBS); \
	fi
	@if ! command -v $(WIN64_CXX) >/dev/null; then \
	  echo "== the x86_64 Windows build ($(WIN64_DIR)) is skipped: no $(WIN64_CXX) (g++-mingw-w64-x86-64-posix)"; \
	else \
	  set -ex; \
	  cmake -S . -B $(WIN64_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake; \
	  cmake --build $(WIN64_DIR) -j$(JOBS); \
	fi

# Their export and import tables, and the Windows programs under Wine (of the builds made above:
# a build directory left from another day is not tested without its compiler).
windows-test: windows
	@if command -v $(WIN32_CXX) >/dev/null; then tests/windows/run-wine-suite.sh $(WIN32_DIR); fi
	@if command -v $(WIN64_CXX) >/dev/null; then tests/windows/run-wine-suite.sh $(WIN64_DIR); fi

# Apache httpd with mod_karvel and the demo site, in the foreground until Ctrl-C (PORT=8080).
PORT ?= 8080
run: build
	host/tools/karvel-httpd --build $(BUILD_DIR) --port $(PORT)

# Three nodes of the demo site behind nginx on PORT, until Ctrl-C.
cluster: build
	host/tools/karvel-cluster --build $(BUILD_DIR) --nodes 3 --port $(PORT)

bench: deps
	cmake -S . -B $(BENCH_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKARVEL_TESTS=OFF \
	  -DKARVEL_BENCH=ON
	cmake --build $(BENCH_DIR) -j$(JOBS)
	@for b in $(BENCH_DIR)/bench/*_bench; do echo "== $$b"; "$$b" || exit 1; done
	@echo "== bench/host_bench.py"; /usr/bin/python3 bench/host_bench.py $(BENCH_DIR)
	@echo "== bench/site_user_bench.py"; /usr/bin/python3 bench/site_user_bench.py $(BENCH_DIR)
	@echo "== bench/supervision_bench.py"; /usr/bin/python3 bench/supervision_bench.py $(BENCH_DIR)
	@echo "== bench/wine_bench.py"; /usr/bin/python3 bench/wine_bench.py $(BENCH_DIR)
	@echo "== bench/cluster_bench.py"; /usr/bin/python3 bench/cluster_bench.py $(BENCH_DIR)
	@echo "== bench/karvel_run_bench.py"; /usr/bin/python3 bench/karvel_run_bench.py $(BENCH_DIR)
	@echo "== bench/resident_kit_bench.py"; /usr/bin/python3 bench/resident_kit_bench.py $(BENCH_DIR)
	@echo "== bench/resident_bench.py"; /usr/bin/python3 bench/resident_bench.py $(BENCH_DIR)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVEL_TESTS=OFF -DKARVEL_FUZZ=ON -DKARVEL_SANITIZE=address,undefined
	cmake --build $(FUZZ_DIR) -j$(JOBS)
	@for f in $(FUZZ_DIR)/fuzz/*_fuzz; do \
	  name=$$(basename "$$f"); mkdir -p "$(FUZZ_DIR)/corpus/$$name"; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 "$(FUZZ_DIR)/corpus/$$name" || exit 1; \
	done

# The files of an installation, for systems without the Debian package: PREFIX=/usr/local by
# default, DESTDIR for a staging root.
PREFIX ?= /usr/local
INSTALL_DIR := build-install
install: deps
	cmake -S . -B $(INSTALL_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVEL_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(INSTALL_DIR) -j$(JOBS)
	cmake --install $(INSTALL_DIR)

# build/deb/: the three packages (libapache2-mod-karvel, libkarvel-backend-dev,
# python3-karvel-backend), built by dpkg-buildpackage from a copy of the sources (debian/ holds the
# packaging), then checked by lintian. It installs only what the packages' build needs: the
# Build-Depends of debian/control, and dpkg-dev and lintian, which it runs itself.
DEB_TOOLS := dpkg-dev lintian
deb-deps:
	@cmake/install-packages $$(cmake/build-depends debian/control) $(DEB_TOOLS)
deb: deb-deps
	rm -rf $(BUILD_DIR)/deb && mkdir -p $(BUILD_DIR)/deb/source/karvel
	tar --exclude='./build' --exclude='./build-*' --exclude='./.git' -cf - . | tar -xf - -C $(BUILD_DIR)/deb/source/karvel
	@# With the system's own interpreters and tools, as on a build daemon: pybuild builds for the
	@# python3 of /usr/bin, not for one a PATH of the caller's puts first.
	cd $(BUILD_DIR)/deb/source/karvel && PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -b -us -uc -j$(JOBS)
	mv $(BUILD_DIR)/deb/source/*.deb $(BUILD_DIR)/deb/
	lintian --fail-on error,warning $(BUILD_DIR)/deb/*.deb

# With each test build goes the Wine prefix its servers kept (outside it when run as root).
clean:
	@for d in $(BUILD_DIR) $(SANITIZE_DIR); do \
	  [ -d "$$d" ] || continue; \
	  prefix=$$(host/tools/karvel-httpd --build "$$d" --print-wine-prefix) && [ -n "$$prefix" ] && \
	    { echo "rm -rf $$prefix"; rm -rf "$$prefix" "$$prefix.lock"; }; \
	done; true
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(WIN32_DIR) $(WIN64_DIR) $(INSTALL_DIR)
