# Zorbel's two front doors: `make test` builds all four products and runs every test;
# `make demo` filters a sample photograph (arrives with the zorbel command).
PRESETS := linux linux-asan win64 win32
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all test bootstrap build $(addprefix build-,$(PRESETS)) test-linux test-linux-asan \
        test-win64 format check-format clean

all: build

bootstrap:
	@scripts/bootstrap

build: $(addprefix build-,$(PRESETS))

build-%: bootstrap
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-linux: build
	ctest --preset linux

test-linux-asan: build
	ctest --preset linux-asan

test-win64: build
	ctest --preset win64

# The win32 products are checked statically by the linux tests (PE headers, exports and
# resources of both Windows modules), so every preset is built before any test runs.
test: test-linux test-linux-asan test-win64
	@echo "make test: all tests passed (linux, linux-asan, win64 under wine; win32 checked statically)"

format:
	find filter_api headless_win32 module plugin_host tests bench \
	  \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r clang-format -i

check-format:
	find filter_api headless_win32 module plugin_host tests bench \
	  \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r clang-format --dry-run -Werror

clean:
	rm -rf build
