# The two set-up commands on a fresh Debian 12 machine are `make demo` and `make test`; both
# install what is missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Warnings are errors in the targets below (a developer's builds); `make build WERROR=OFF` or a
# plain `cmake` configure keeps them warnings.
WERROR ?= ON
# clang-format 15 or newer (for InsertBraces); scripts/install-deps installs this one.
CLANG_FORMAT ?= clang-format-16
export CLANG_FORMAT JOBS

.PHONY: all deps build test fuzz windows windows-test demo bench tidy coverage format format-check package clean

all: build

deps:
	@scripts/install-deps

# Optimised build with debug info: the library, the host tool and the tests.
build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVORI_WARNINGS_AS_ERRORS=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Format check, clang-tidy, a Release build, every test (fault matrix included) under clang's
# AddressSanitizer + UndefinedBehaviorSanitizer with the thread-safety analysis, the threaded tests
# under ThreadSanitizer, every fuzz target briefly, the demo, the package and the Windows build
# (scripts/run-tests).
test: deps
	@scripts/run-tests

# Every libFuzzer target for FUZZ_SECONDS seconds (default 60) in build-fuzz/, one after the
# other; grown corpora stay in build-fuzz/fuzz-corpus/, findings in build-fuzz/fuzz-artifacts/.
fuzz: deps
	@FUZZ_SECONDS=$${FUZZ_SECONDS:-60} scripts/fuzz-smoke build-fuzz

# The Windows DLL and its tests, cross-built with mingw-w64 (build-win/); windows-test runs the
# tests under Wine (scripts/windows).
windows: deps
	@scripts/windows build

windows-test: deps
	@scripts/windows test

demo: build
	@scripts/demo $(BUILD_DIR)

# The benchmarks against the machine's limits (scripts/bench; its header lists the BENCH_*
# settings): the optimised build of the library and the benchmark drivers only.
bench: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVORI_WARNINGS_AS_ERRORS=$(WERROR) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target update_lib sdk_download_bench library_bench \
	  curl_get_bench
	@scripts/bench $(BUILD_DIR)

# clang-tidy with .clang-tidy over the project's sources (build-tidy/).
tidy: deps
	@scripts/tidy

# Line and branch coverage of the production code per component, from the unit and end-to-end
# tests (build-cov/).
coverage: deps
	@scripts/coverage

# A .deb of the library, its header and CMake/pkg-config files, the programs and the systemd
# units (CPack), in $(BUILD_DIR)/packages/.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB >/dev/null && ls -1 $(CURDIR)/$(BUILD_DIR)/packages/*.deb

format: deps
	@git ls-files '*.cc' '*.h' | xargs $(CLANG_FORMAT) -i

format-check: deps
	@git ls-files '*.cc' '*.h' | xargs $(CLANG_FORMAT) --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan build-fuzz build-release build-tidy build-cov build-win
