# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# Keeps the display for the program when sudo is needed.
AS_ROOT    := $(if $(filter 0,$(shell id -u)),,sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR)
CMAKE_ARGS ?=

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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORNAT_BUILD_TESTS=ON -DKORNAT_BUILD_TOOLS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORNAT_SANITIZE=ON -DKORNAT_BUILD_TESTS=ON -DKORNAT_BUILD_TOOLS=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Every test, in the normal build and again under AddressSanitizer and UBSan.
test: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build-tests
	./$(BUILD)/bench/tick_bench
	$(AS_ROOT) ./$(BUILD)/bench/read_rate ./$(BUILD)/tools/emulated-adapter ./$(BUILD)/kornat2 10
	$(AS_ROOT) ./$(BUILD)/tools/emulated-adapter -- ./$(BUILD)/bench/close_during_stall

# The real program against an emulated adapter playing an engine at idle, with throttle lifts
# and load. The emulated world needs root (a private mount namespace and FUSE).
demo: build-tests
	$(AS_ROOT) ./$(BUILD)/tools/emulated-adapter --signal idle -- ./$(BUILD)/kornat2

# The Debian package from the same build as `make run`: $(BUILD)/kornat2_<version>_<arch>.deb
package: build
	@scripts/install-deps.sh package
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
