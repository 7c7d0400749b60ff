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

# Every Debian package the build, the tests, the benchmarks and the fuzzers need; Wine runs Windows
# back-ends (wine32 for i686 programs comes with the Windows packages below), MinGW-w64 builds the
# Windows back-ends the tests run under it.
PACKAGES := make cmake ninja-build g++ binutils libc6-dev \
            googletest libgtest-dev libgmock-dev libbenchmark-dev \
            clang libclang-rt-14-dev python3 \
            apache2 apache2-dev apache2-utils libmagic-dev curl procps \
            wrk libfaketime chromium chromium-driver python3-selenium \
            wine wine64 locales g++-mingw-w64-x86-64-posix nginx-light

# The Windows DLLs (MinGW-w64, i686 and x86_64) and Wine to test them. wine32 runs the i686 build
# where the kernel runs 32-bit programs; wine64 runs the x86_64 build of the same sources anywhere.
WINDOWS_PACKAGES := make cmake ninja-build googletest \
                    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools \
                    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64 wine32:i386

.PHONY: deps build test run cluster bench fuzz clean windows-deps windows windows-test install deb deb-deps

deps:
	@cmake/install-packages $(PACKAGES)
	@# Windows back-ends run in the ja_JP.UTF-8 locale (code page 932, Japanese file names).
	@if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then \
	  sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	  echo "generating the ja_JP.UTF-8 locale"; \
	  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'ja_JP.UTF-8 UTF-8' | $$sudo tee -a /etc/locale.gen >/dev/null; \
	  $$sudo locale-gen >/dev/null; \
	fi

windows-deps:
	@sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	update=""; \
	if ! dpkg --print-foreign-architectures | grep -qx i386; then \
	  echo "adding the i386 architecture (wine32)"; $$sudo dpkg --add-architecture i386; update=--update; \
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

# The Windows DLLs: build-win32/bin (i686, what a server installs) and build-win64/bin (x86_64).
windows: windows-deps
	cmake -S . -B $(WIN32_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
	cmake --build $(WIN32_DIR) -j$(JOBS)
	cmake -S . -B $(WIN64_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
	cmake --build $(WIN64_DIR) -j$(JOBS)

# Their export and import tables, and the Windows programs under Wine.
windows-test: windows
	tests/windows/run-wine-suite.sh $(WIN32_DIR)
	tests/windows/run-wine-suite.sh $(WIN64_DIR)

# Apache httpd with mod_karvel and the demo site, in the foreground until Ctrl-C (PORT=8080).
PORT ?= 8080
run: build
	host/karvel-httpd --build $(BUILD_DIR) --port $(PORT)

# Three nodes of the demo site behind nginx on PORT, until Ctrl-C.
cluster: build
	host/karvel-cluster --build $(BUILD_DIR) --nodes 3 --port $(PORT)

bench: deps
	cmake -S . -B $(BENCH_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKARVEL_TESTS=OFF \
	  -DKARVEL_BENCH=ON
	cmake --build $(BENCH_DIR) -j$(JOBS)
	@for b in $(BENCH_DIR)/bench/*_bench; do echo "== $$b"; "$$b" || exit 1; done
	@echo "== bench/host_bench.py"; /usr/bin/python3 bench/host_bench.py $(BENCH_DIR)
	@echo "== bench/supervision_bench.py"; /usr/bin/python3 bench/supervision_bench.py $(BENCH_DIR)
	@echo "== bench/wine_bench.py"; /usr/bin/python3 bench/wine_bench.py $(BENCH_DIR)
	@echo "== bench/cluster_bench.py"; /usr/bin/python3 bench/cluster_bench.py $(BENCH_DIR)

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

# build/deb/libapache2-mod-karvel_VERSION_ARCH.deb, built by dpkg-buildpackage from a copy of the
# sources (debian/ holds the packaging), then checked by lintian.
DEB_PACKAGES := debhelper dpkg-dev apache2-dev lintian
deb-deps:
	@cmake/install-packages $(DEB_PACKAGES)
deb: deps deb-deps
	rm -rf $(BUILD_DIR)/deb && mkdir -p $(BUILD_DIR)/deb/source/karvel
	tar --exclude='./build' --exclude='./build-*' --exclude='./.git' -cf - . | tar -xf - -C $(BUILD_DIR)/deb/source/karvel
	cd $(BUILD_DIR)/deb/source/karvel && dpkg-buildpackage -b -us -uc -j$(JOBS)
	mv $(BUILD_DIR)/deb/source/*.deb $(BUILD_DIR)/deb/
	lintian --fail-on error $(BUILD_DIR)/deb/*.deb

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(WIN32_DIR) $(WIN64_DIR) $(INSTALL_DIR)
