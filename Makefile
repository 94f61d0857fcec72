# Zorbel's two front doors: `make demo` filters a sample photograph, `make test` builds all
# four products and runs every test. `make fuzz` runs every fuzz harness for FUZZ_SECONDS.
PRESETS := linux linux-asan win64 win32
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

.PHONY: all test demo bench bootstrap pictures build $(addprefix build-,$(PRESETS)) test-linux \
        test-linux-asan test-win64 test-win32 dist test-dist build-fuzz test-fuzz fuzz soak format check-format \
        clean

all: build

bootstrap:
	@scripts/bootstrap

build: $(addprefix build-,$(PRESETS))

# One explicit rule for the four (pattern rules do not apply to phony targets).
$(addprefix build-,$(PRESETS)): bootstrap
	cmake --preset $(@:build-%=%) >/dev/null
	cmake --build --preset $(@:build-%=%) -j $(JOBS)

test-linux: build
	ctest --preset linux

test-linux-asan: build
	ctest --preset linux-asan

test-win64: build
	ctest --preset win64

# The win32 tests under 32-bit wine; each is skipped where the machine cannot execute 32-bit code.
test-win32: build
	ctest --preset win32

# The win32 products are checked statically by the linux tests (PE headers, exports and
# resources of both Windows modules), so every preset is built before any test runs.
# The packages, and what a user would see of them (run by make test after the other tests).
test-dist: dist
	tests/dist/check-dist

# The fuzz harnesses (clang): every saved input replayed, then a few seconds of fuzzing each.
build-fuzz: bootstrap
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

test-fuzz: build-fuzz
	ctest --preset fuzz

test: check-format test-linux test-linux-asan test-win64 test-win32 test-fuzz test-dist
	@echo "make test: all tests passed (linux, linux-asan, win64 under wine, win32 under 32-bit wine where it runs, fuzz corpora; packages)"

# Runs too large for every test run: a 600 MB picture within a 64 MB allowance.
soak: build-linux
	build/linux/bin/zorbel_tests --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_*'

# Each harness for FUZZ_SECONDS from its corpus; prints the coverage each reached.
fuzz: build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

# Filters a bundled photograph with the default settings.
demo:
	@scripts/bootstrap demo
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target zorbel
	@mkdir -p out
	ZORBEL_CONFIG_DIR=$(CURDIR)/out/settings build/linux/bin/zorbel samples/coffee.png out/coffee-zorbel.png
	@echo "make demo: the filtered photograph is $(CURDIR)/out/coffee-zorbel.png (the original: samples/coffee.png)"

# The final pass per output pixel on a 6000 x 4000 picture, and the rest of the table; then
# the command end to end beside `vips rot d180` and `vips copy` (its pictures are made once,
# in build/bench-files); the GEGL operation beside gegl:invert-gamma.
bench: bootstrap
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target zorbel_bench zorbel_command_bench zorbel_gegl_bench
	build/linux/bin/zorbel_bench
	build/linux/bin/zorbel_command_bench build/bench-files
	build/linux/bin/zorbel_gegl_bench build/bench-files

# The release products under dist/: the Windows zip and the Debian package (see README).
dist: build-linux build-win64 build-win32
	scripts/dist

# The README's pictures of the dialog, from the real dialog under wine64, and of GIMP 2.10
# with the GEGL operation's dialog and on-canvas preview.
pictures: build-win64 build-linux
	scripts/dialog-pictures
	scripts/gimp-picture

SOURCES = find filter_api headless_win32 module plugin_host image_files command gegl_op tests bench fuzz \( -name '*.cpp' -o -name '*.h' \) -print0

format:
	$(SOURCES) | xargs -0 -r clang-format -i

check-format:
	$(SOURCES) | xargs -0 -r clang-format --dry-run -Werror

clean:
	rm -rf build out dist
