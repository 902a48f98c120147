# Entry points. `make run` builds the fleck tool and runs `fleck demo` on its embedded
# default; `make test` builds and runs every test. Both install missing system packages
# first.
# `make fuzz` builds the libFuzzer targets and runs each for FUZZ_SECONDS.
PRESET ?= release
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: deps run test test-asan test-tsan bench fuzz format clean

deps:
	@scripts/install-deps.sh

build/$(PRESET)/build.ninja: | deps
	cmake --preset $(PRESET) >/dev/null

run: deps build/$(PRESET)/build.ninja
	cmake --build --preset $(PRESET) -j $(JOBS) --target fleck-cli
	build/$(PRESET)/tools/fleck demo

test: deps build/$(PRESET)/build.ninja
	cmake --build --preset $(PRESET) -j $(JOBS)
	scripts/run-tests.sh $(PRESET)

test-asan:
	$(MAKE) test PRESET=asan

test-tsan:
	$(MAKE) test PRESET=tsan

bench: deps build/release/build.ninja
	cmake --build --preset release -j $(JOBS) --target fleck-bench
	build/release/bench/fleck-bench $(BENCH_ARGS)

fuzz:
	JOBS=$(JOBS) scripts/run-fuzz.sh $(FUZZ_SECONDS)

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
