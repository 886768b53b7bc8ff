# Purgix: build, test and run.
#   make run ARGS="..."   set up this machine, build, and run purgix-cli with ARGS
#   make test             set up this machine, build, and run every test (also under ASan/UBSan,
#                         and the tests of threaded code under ThreadSanitizer)
#   make demo             set up this machine, build, and prove every kind of wipe on a disk image

ARGS ?= --help
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: all deps build build-asan build-tsan test unit-test test-asan run demo bench bench-device bench-freespace format clean

all: build

deps:
	@$(SUDO) scripts/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default

build-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan

# Only the targets of the tests labelled "threads".
build-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan

# The whole suite (root-only integration tests skip with a reason when not root), then the unit
# tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the tests of threaded code
# under ThreadSanitizer.
test: build build-asan build-tsan
	@ctest --preset default
	@ctest --preset asan-unit
	@ctest --preset tsan-threads

# Only the unit tests (no root, no devices).
unit-test: build
	@ctest --preset default -L unit

# Benchmarks (root; not part of `make test`): the engine against dd over loop devices.
bench: bench-device bench-freespace

bench-device: build
	@$(SUDO) build/default/device_bench $(BENCH_ARGS)

bench-freespace: build
	@$(SUDO) build/default/freespace_bench $(BENCH_ARGS)

run: build
	@$(SUDO) build/default/purgix-cli $(ARGS)

# Wipes files, the trash, free space, a partition and a whole disk of its own loop disk and shows
# on the raw image what vanished and what stayed (root; touches nothing but what it creates).
demo: build
	@$(SUDO) scripts/demo.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build
