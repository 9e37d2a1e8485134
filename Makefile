# The two commands a newcomer needs: `make run` and `make test`.
# Both install whatever Debian packages are missing first.

WINEPREFIX_DIR := $(CURDIR)/build/windows/wineprefix

.PHONY: all deps build build-linux build-windows run test test-linux test-windows test-sanitize install bench fuzz soak clean

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
	@cmake --build build/sanitize -j2 --target ravelink_unit_tests ravelink_corpus_replay
	./build/sanitize/tests/ravelink_unit_tests --gtest_brief=1
	./build/sanitize/tests/fuzz/ravelink_corpus_replay tests/fuzz/corpus

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
