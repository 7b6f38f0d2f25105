SHELL := /bin/bash
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

WINDOWS_BUILD_DIR ?= build-windows
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
# The suites ThreadSanitizer runs (a ctest regular expression): all of them, so that no
# threaded suite is left out; the whole run costs about two CPU-minutes of tests.
TSAN_TESTS ?= .
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= text_conversions frame_reader command_dispatch job_file script_eval scene_file
# Sanitizer builds compile with -O1 and line tables only: all that the sanitizers' reports
# need, at a third of the compile time of -O2 -g.
SANITIZER_CONFIGURE = cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARAVELLE_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
# AddressSanitizer builds with Clang, whose instrumented compiles take half of GCC's time and
# which builds the libFuzzer programs there too; ThreadSanitizer builds with GCC.
ASAN_COMPILERS = CC=clang-14 CXX=clang++-14
CTEST_QUIET = grep -vE '^ *[0-9]+/[0-9]+ Test +\#[0-9]+: .* Passed|^ +Start +[0-9]+: '

.PHONY: all deps configure build test benchmarks test-asan test-tsan test-windows fuzz demo bench format clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 600 2>&1 | tee ctest.log | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ +Start +[0-9]+: '; \
	  status=$${PIPESTATUS[0]}; exit $$status

# The benchmarks built, not run (CI: every target builds).
benchmarks: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the libFuzzer
# programs are built there too (not run: `make fuzz` does that).
test-asan:
	@bash scripts/install-deps.sh fuzz
	@$(ASAN_COMPILERS) $(SANITIZER_CONFIGURE) -S . -B $(ASAN_BUILD_DIR) -DPARAVELLE_SANITIZE=address >/dev/null
	@cmake --build $(ASAN_BUILD_DIR) -j $(JOBS) --target all fuzzers
	@cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 900 2>&1 | tee ctest.log | $(CTEST_QUIET); \
	  exit $${PIPESTATUS[0]}

# The suites of TSAN_TESTS under ThreadSanitizer.
test-tsan: deps
	@$(SANITIZER_CONFIGURE) -S . -B $(TSAN_BUILD_DIR) -DPARAVELLE_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_BUILD_DIR) -j $(JOBS)
	@cd $(TSAN_BUILD_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -j $(JOBS) -R '$(TSAN_TESTS)' --output-on-failure --timeout 900 2>&1 | tee ctest.log | $(CTEST_QUIET); \
	  exit $${PIPESTATUS[0]}

# Each fuzz target for FUZZ_SECONDS under libFuzzer (Clang 14, with AddressSanitizer and
# UndefinedBehaviorSanitizer); scripts/fuzz.sh says where new inputs and crashes go.
fuzz:
	@bash scripts/install-deps.sh fuzz
	@CC=clang-14 CXX=clang++-14 $(SANITIZER_CONFIGURE) -S . -B $(FUZZ_BUILD_DIR) -DPARAVELLE_SANITIZE=address \
	  -DPARAVELLE_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzzers
	@bash scripts/fuzz.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The plug-in cross-compiled for Windows, its transport and trap tests run under Wine.
test-windows:
	@bash scripts/install-deps.sh windows
	@cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	@cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	@cd $(WINDOWS_BUILD_DIR) && WINEPREFIX=$(abspath $(WINDOWS_BUILD_DIR))/wine WINEDEBUG=-all \
	  ctest --output-on-failure --timeout 600

demo: build
	@bash scripts/demo.sh $(BUILD_DIR)

bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	@for b in $(BUILD_DIR)/bin/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# Every C++ file of ours in the one format of .clang-format.
CLANG_FORMAT ?= clang-format-14
format:
	@bash scripts/install-deps.sh format
	@find src apps worker tests bench -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 $(CLANG_FORMAT) -i

clean:
	@rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(FUZZ_BUILD_DIR)
