# The two entry points: `make demo` runs the main job on the bundled sample, `make test`
# runs every test. Each does the whole set-up from a clean clone.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all setup configure build demo test sanitize tsan fuzz clean

all: build

setup:
	@scripts/setup-debian.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Address and undefined-behaviour sanitizers over the whole test suite.
sanitize: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNEL_SANITIZE=ON -DVORNEL_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer over the whole test suite: the scan runs on two threads.
tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_SANITIZE_THREAD=ON -DVORNEL_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

# One libFuzzer target: make fuzz FUZZ=inf|pe SECONDS=600
fuzz: setup
	scripts/fuzz.sh $(or $(FUZZ),inf) $(or $(SECONDS),600)

bench: build
	@scripts/bench-scan.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
