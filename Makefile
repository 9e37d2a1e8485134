# The two commands a newcomer needs: `make run` and `make test`.
# Both install whatever Debian packages are missing first (`make run` only those the Linux program
# needs).

.PHONY: all deps build build-linux build-windows build-windows64 build-run run test test-suites \
        test-linux test-windows test-windows64 test-sanitize test-packages package deb install \
        uninstall bench fuzz soak clean

all: build

# `make test` checks the packages once and tells its inner make so (RAVELINK_DEPS_CHECKED=yes), so
# that a registry that cannot supply wine32:i386 is asked once per run, not once per target.
deps:
	@[ "$${RAVELINK_DEPS_CHECKED:-}" = yes ] || scripts/install-deps.sh

# Three programs from one source tree: build/linux/ravelink, build/windows/ravelink.exe (32-bit,
# loads 32-bit DLLs) and build/windows64/ravelink.exe (64-bit, loads 64-bit DLLs).
build: build-linux build-windows build-windows64

build-linux: deps
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux

build-windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

build-windows64: deps
	@cmake --preset windows64 >/dev/null
	@cmake --build --preset windows64

# The program alone, without the tests and their tools: a tree of its own, build/run.
build-run:
	@RAVELINK_DEPS=run scripts/install-deps.sh
	@cmake -S . -B build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build/run -j2 --target ravelink ravelink_info -- --no-print-directory

# Starts the native program in the foreground; its log goes to this terminal. Ctrl-C ends it.
# When it cannot start (exit code 1: another copy runs in this session; 2: the address is taken) the
# program says so in one line; this adds what to do. LD_LIBRARY_PATH lets pages load the
# information plug-in by its bare name, as they do once the package is installed.
run: build-run
	@echo "make run: starting build/run/ravelink; it serves ws://127.0.0.1:7321 until Ctrl-C"
	@status=0; LD_LIBRARY_PATH=$(CURDIR)/build/run ./build/run/ravelink || status=$$?; \
	case $$status in \
	1) echo "make run: ravelink did not start: another copy already runs in this session" \
	        "(systemctl --user stop ravelink, or end the other copy, then try again)" >&2 ;; \
	2) echo "make run: ravelink did not start: 127.0.0.1:7321 is taken by another program," \
	        "perhaps a ravelink of another session (see: ss -ltnp 'sport = :7321')" >&2 ;; \
	esac; exit $$status

# Builds every target, runs every suite this host can run, and ends with what ran, what was skipped
# and why. Whether the host can run 32-bit Windows programs is found out once, here; where it
# cannot, the 32-bit suites are built and reported as skipped. RAVELINK_RUN_WIN32=no tries that.
test: deps
	@rm -f build/*/ctest-junit.xml; probe=$$(scripts/probe-win32.sh); \
	RAVELINK_RUN_WIN32="$$probe" RAVELINK_DEPS_CHECKED=yes $(MAKE) --no-print-directory -k test-suites; \
	status=$$?; \
	scripts/test-summary.py build; exit $$status

test-suites: build
	@$(MAKE) --no-print-directory -k test-sanitize test-linux test-windows test-windows64

test-linux:
	ctest --preset linux --output-junit ctest-junit.xml

# Whatever happens, no Wine process of a test prefix outlives the run.
test-windows:
	@status=0; ctest --preset windows --output-junit ctest-junit.xml || status=$$?; \
	tests/wine-stop.sh $(CURDIR)/build/windows; exit $$status

test-windows64:
	@status=0; ctest --preset windows64 --output-junit ctest-junit.xml || status=$$?; \
	tests/wine-stop.sh $(CURDIR)/build/windows64; exit $$status

# Benchmarks ravelink against a bare websocketpp echo server, websocketd and a raw TCP echo, and
# writes bench/results.md. Takes a few minutes; not part of `make test`.
bench: export RAVELINK_DEPS := bench
bench: build-linux
	bench/run.sh

# Installs the Linux program (bin/ravelink), the information plug-in, the user unit, the plug-in
# header and the CMake package (default prefix /usr/local), from the same lean tree as `make run`
# (build/run: only the packages `make run` installs, no tests). For a system prefix (/usr,
# /usr/local) ldconfig makes the plug-in loadable by its bare name; any other prefix is left to its
# owner. `make uninstall` removes exactly what the last `make install` wrote.
# The Windows programs are installed the same way from their trees:
#   cmake --install build/windows --prefix DIR     (32-bit ravelink.exe and its SDK package)
#   cmake --install build/windows64 --prefix DIR   (64-bit ravelink.exe and its SDK package)
PREFIX ?= /usr/local
INSTALLED := build/run/make-install-manifest.txt
INSTALLED_PREFIX := build/run/make-install-prefix.txt
ldconfig_for = case "$(1)" in /usr|/usr/|/usr/local|/usr/local/) ldconfig || true ;; esac
install: build-run
	cmake --install build/run --prefix $(PREFIX)
	@cp build/run/install_manifest.txt $(INSTALLED)
	@echo "$(PREFIX)" > $(INSTALLED_PREFIX)
	@$(call ldconfig_for,$(PREFIX))
	@echo "Installed the Linux program as $(PREFIX)/bin/ravelink, with the SDK for Linux plug-ins."
	@echo "The 32-bit and 64-bit Windows programs (both ravelink.exe) install from build/windows and"
	@echo "build/windows64: cmake --install build/windows64 --prefix DIR"

uninstall:
	@test -f $(INSTALLED) || { echo "make uninstall: $(INSTALLED) is missing: nothing was installed with make install from this tree" >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do rm -fv "$$file"; dir=$${file%/*}; \
	  case "$${dir##*/}" in *ravelink*) rmdir "$$dir" 2>/dev/null || true ;; esac; \
	done < $(INSTALLED)
	@prefix=$$(cat $(INSTALLED_PREFIX) 2>/dev/null); $(call ldconfig_for,$$prefix)
	@rm -f $(INSTALLED) $(INSTALLED_PREFIX)

# The Debian package alone, from the lean tree of `make run` (plus dpkg-dev, which finds the
# package's dependencies): build/packages/ravelink_<version>_<arch>.deb.
deb: build-run
	@RAVELINK_DEPS=run,deb scripts/install-deps.sh
	@cmake --build build/run --target package -- --no-print-directory

# Release artefacts in build/packages/: the .deb, the MSI of each Windows program, the npm tarball.
# With a certificate the MSIs are built once more, everything in them and then they themselves
# signed with osslsigncode:
#   make package SIGN_PKCS12=release.p12 SIGN_PASSWORD_FILE=release.pass [SIGN_TIMESTAMP=http://timestamp.example]
# (SIGN_PASSWORD_FILE: a file that holds the certificate's password, readable by its owner only;
# SIGN_TIMESTAMP: an RFC 3161 timestamp server, so that signatures outlive the certificate.)
# The password may come from the environment instead (SIGN_PASSWORD, exported beforehand), never
# from make's command line, which every user of the machine can read (ps).
export SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_TIMESTAMP
ifeq ($(origin SIGN_PASSWORD),command line)
$(error SIGN_PASSWORD on make's command line is visible to every user of this machine; put the password in a file only you can read and give SIGN_PASSWORD_FILE=file instead)
endif
package: build
	@cmake --build --preset linux --target package npm-package -- --no-print-directory
	@test -n "$(SIGN_PKCS12)" || echo "make package: no certificate given (SIGN_PKCS12=file.p12 SIGN_PASSWORD_FILE=file): the Windows programs and MSIs are not signed"
	@cmake --build --preset windows --target msi-release -- --no-print-directory
	@cmake --build --preset windows64 --target msi-release -- --no-print-directory
	@ls -l build/packages

# Only the installer tests (they are part of `make test` as well).
test-packages: build
	@status=0; ctest --preset linux -R '^deb' || status=$$?; \
	ctest --preset windows -R '^msi$$' || status=$$?; \
	ctest --preset windows64 -R '^msi$$' || status=$$?; exit $$status

clean:
	rm -rf build

# The unit tests and the end-to-end suites again under AddressSanitizer (with its leak check) and
# UndefinedBehaviorSanitizer: hostile requests must never reach undefined behaviour, and nothing the
# program allocates while serving may outlive the connection it served (the e2e suite stops the
# program with SIGTERM, so the leak check runs at its exit).
test-sanitize: deps
	@cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DRAVELINK_SANITIZE=ON >/dev/null
	@cmake --build build/sanitize -j2 --target ravelink ravelink-broker ravelink_info ravelink_unit_tests \
		ravelink_test_plugins ravelink_corpus_replay
	ctest --test-dir build/sanitize -R '^(unit|e2e|e2e-broker|fuzz-corpus)$$' --output-on-failure \
		--output-junit ctest-junit.xml

# Fuzzes the request reader and the reply writer with libFuzzer (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer) for FUZZ_SECONDS, over a working copy of the committed corpus in
# build/fuzz/corpus that keeps what earlier runs found. A failing input lands in build/fuzz/; add it
# to tests/fuzz/corpus with the fix. Not part of `make test`, which replays the committed corpus.
FUZZ_SECONDS ?= 60
fuzz: export RAVELINK_DEPS := fuzz
fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DRAVELINK_SANITIZE=ON -DRAVELINK_FUZZ=ON \
		-DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fsanitize-ignorelist=$(CURDIR)/tests/fuzz/ubsan-ignorelist.txt" \
		>/dev/null
	@cmake --build build/fuzz -j2 --target ravelink_reply_fuzzer
	@mkdir -p build/fuzz/corpus && cp -n tests/fuzz/corpus/* build/fuzz/corpus/
	./build/fuzz/tests/fuzz/ravelink_reply_fuzzer -max_total_time=$(FUZZ_SECONDS) \
		-print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus

# Ten minutes (SOAK_SECONDS) of mixed traffic against the Linux program in a private network
# namespace: loads, calls, large answers, a slow reader, an empty-message flood, connects and
# disconnects, a descriptor squeeze. Fails on any wrong or missing reply, a crash, or resident memory
# left above its bound; writes bench/soak.md. Needs root for the namespace. Not part of `make test`.
SOAK_SECONDS ?= 600
soak: build-linux
	unshare -n sh -c 'ip link set lo up && /usr/bin/python3 bench/soak.py --seconds $(SOAK_SECONDS) \
		--program build/linux/ravelink --plugins build/linux/tests/plugins --report bench/soak.md'
