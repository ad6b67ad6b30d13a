# Front door: every target installs what is missing first (scripts/bootstrap is idempotent).
BUILD      ?= build
JOBS       ?= $(shell nproc)
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 60
PREFIX     ?= /usr/local

.PHONY: all bootstrap build run test bench sanitize asan tsan fuzz format lint clean install deb

all: build

bootstrap:
	@scripts/bootstrap

# Configure once; later builds only rebuild what changed.
$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: bootstrap $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS)

# Builds only what the program needs, so a first run does not wait for every test; then starts
# the full-screen program on the embedded demo runtime.
run: bootstrap $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target kestravel
	@$(BUILD)/src/host/kestravel

test: build
	@ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 300

build-release/CMakeCache.txt: | bootstrap
	cmake -S . -B build-release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release

bench: bootstrap build-release/CMakeCache.txt
	@cmake --build build-release -j $(JOBS) --target benches kestravel
	@for b in build-release/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done
	@if [ -x bench/compare_rich.py ]; then /usr/bin/python3 bench/compare_rich.py build-release; fi

build-asan/CMakeCache.txt: | bootstrap
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address

build-tsan/CMakeCache.txt: | bootstrap
	cmake -S . -B build-tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=thread

asan: bootstrap build-asan/CMakeCache.txt
	@cmake --build build-asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan -j $(JOBS) --output-on-failure --timeout 600

tsan: bootstrap build-tsan/CMakeCache.txt
	@cmake --build build-tsan -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan -j $(JOBS) -L threaded --output-on-failure --timeout 600

sanitize: asan tsan

build-fuzz/CMakeCache.txt: | bootstrap
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON

# Runs every fuzzer for FUZZ_SECONDS on its own corpus folder (new finds go there), seeded from the
# committed fuzz/corpus/<name> when there is one; fuzz/<name>.options holds extra flags.
fuzz: bootstrap build-fuzz/CMakeCache.txt
	@cmake --build build-fuzz -j $(JOBS)
	@for f in build-fuzz/fuzz/*_fuzz; do n=$$(basename $$f); mkdir -p fuzz-corpus/$$n; \
	  seeds=; [ -d fuzz/corpus/$$n ] && seeds=fuzz/corpus/$$n; \
	  opts=$$(cat fuzz/$$n.options 2>/dev/null); \
	  echo "== $$n"; $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$opts fuzz-corpus/$$n $$seeds \
	    || exit 1; done

# The program, its manual page and shell completions under PREFIX (DESTDIR is honoured).
install: bootstrap $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target kestravel
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# A Debian package (dist/kestravel_<version>_<arch>.deb) from a release build.
deb: bootstrap build-release/CMakeCache.txt
	@cmake --build build-release -j $(JOBS) --target kestravel
	@cd build-release && cpack -G DEB -B $(CURDIR)/dist
	@ls dist/*.deb

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# clang-tidy (checks in .clang-tidy) over src/; `make lint LINT_DIRS="src/agent"` checks a part.
LINT_DIRS ?= src
lint: bootstrap $(BUILD)/CMakeCache.txt
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/lint $(LINT_DIRS)

clean:
	rm -rf build build-release build-asan build-tsan build-fuzz dist
