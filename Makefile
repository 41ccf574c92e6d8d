# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
TOOLS      ?= OFF

.PHONY: all run test test-asan build build-tests build-asan deps-run deps-test bench demo package clean

all: build

deps-run:
	@scripts/install-deps.sh run

deps-test:
	@scripts/install-deps.sh test

# The program alone: no test or tool dependencies.
build: deps-run
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORNAT_BUILD_TESTS=OFF -DKORNAT_BUILD_TOOLS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/kornat2

build-tests: deps-test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORNAT_BUILD_TESTS=ON -DKORNAT_BUILD_TOOLS=$(TOOLS) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORNAT_SANITIZE=ON -DKORNAT_BUILD_TESTS=ON -DKORNAT_BUILD_TOOLS=$(TOOLS) $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Every test, in the normal build and again under AddressSanitizer and UBSan.
test: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build-tests
	./$(BUILD)/bench/tick_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
