# make test: set up the machine (as root), build, run the tests under Wine.
BUILD ?= build
JOBS ?= $(shell nproc)
DEPS_DIR ?= /var/cache/vexo-deps
# Extra configure options, e.g. CMAKE_ARGS="-DVEXO_STATS_HOST=127.0.0.2 -DVEXO_DOWNLOAD_HOST=127.0.0.2"
CMAKE_ARGS ?=

.PHONY: all setup configure build test run bench clean

all: build

setup:
	bash tools/setup.sh
	VEXO_DEPS_DIR=$(DEPS_DIR) bash tools/deps/build-deps.sh

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
		-DVEXO_DEPS_PREFIX=$(DEPS_DIR)/i686-w64-mingw32 $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	bash tools/run-installer.sh $(BUILD)

bench: build
	bash tools/bench/zip-extract.sh $(BUILD)
	MODE=task bash tools/bench/zip-extract.sh $(BUILD)
	bash tools/bench/window-idle-cpu.sh $(BUILD)

clean:
	rm -rf $(BUILD)
