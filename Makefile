# The two set-up commands on a fresh Debian 12 machine are `make demo` and `make test`; both
# install what is missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench format format-check clean

all: build

deps:
	@scripts/install-deps

# Optimised build with debug info: the library, the host tool and the tests.
build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Format check, then every test under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded tests under ThreadSanitizer.
test: deps
	@scripts/run-tests

demo: build
	@scripts/demo $(BUILD_DIR)

bench: build
	@scripts/bench $(BUILD_DIR)

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

format-check:
	@git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan build-fuzz
