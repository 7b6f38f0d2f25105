SHELL := /bin/bash
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

WINDOWS_BUILD_DIR ?= build-windows

.PHONY: all deps configure build test test-windows demo bench clean

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

clean:
	@rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR)
