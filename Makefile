# The two commands a newcomer needs: `make run` and `make test`.
# Both install whatever Debian packages are missing first.

WINEPREFIX_DIR := $(CURDIR)/build/windows/wineprefix

.PHONY: all deps build build-linux build-windows run test test-linux test-windows test-sanitize install bench clean

all: build

deps:
	@scripts/install-deps.sh

build: build-linux build-windows

build-linux: deps
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux

build-windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

# Starts the native program in the foreground; its log goes to this terminal. Ctrl-C ends it.
run: build-linux
	./build/linux/ravelink

test: build
	@$(MAKE) --no-print-directory test-sanitize test-linux test-windows

test-linux:
	ctest --preset linux

# Whatever happens, no Wine process of the test prefix outlives the run.
test-windows:
	@status=0; ctest --preset windows || status=$$?; \
	WINEPREFIX=$(WINEPREFIX_DIR) wineserver -k 2>/dev/null; exit $$status

# Benchmarks ravelink against a bare websocketpp echo server, websocketd and a raw TCP echo, and
# writes bench/results.md. Takes a few minutes; not part of `make test`.
bench: export RAVELINK_DEPS := bench
bench: build-linux
	bench/run.sh

# Installs the program, the plug-in header and the CMake package (default prefix /usr/local).
PREFIX ?= /usr/local
install: build-linux
	cmake --install build/linux --prefix $(PREFIX)

clean:
	rm -rf build

# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer: hostile requests must
# never reach undefined behaviour.
test-sanitize: deps
	@cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DRAVELINK_SANITIZE=ON >/dev/null
	@cmake --build build/sanitize -j2 --target ravelink_unit_tests
	./build/sanitize/tests/ravelink_unit_tests --gtest_brief=1
