# make test: set up the machine (as root), build, run the tests under Wine.
BUILD ?= build
JOBS ?= $(shell nproc)
DEPS_DIR ?= /var/cache/vexo-deps
# Extra configure options, e.g. CMAKE_ARGS="-DVEXO_STATS_HOST=127.0.0.2 -DVEXO_DOWNLOAD_HOST=127.0.0.2"
CMAKE_ARGS ?=

# make dist: the release folder. Its own build tree, so the test build keeps its loopback hosts.
DIST ?= dist
DIST_BUILD ?= build-dist
VERSION ?= 1.0.6.30
CHANNEL ?= ot
BUILD_LABEL ?= kavix2015083012_build
ENGINE ?= 0.9.8.4114
STATS_HOST ?= 127.0.0.1
DOWNLOAD_HOST ?= 127.0.0.1
PAYLOAD ?=
# Signing (tools/dist/authenticode.sh): SIGN_CERT and SIGN_KEY, or SIGN_PKCS12 and SIGN_PASS_FILE;
# SIGN_TIMESTAMP_URL optional. Without them the release is unsigned. Passed in the environment,
# so paths with spaces survive.
SIGN_CERT ?=
SIGN_KEY ?=
SIGN_PKCS12 ?=
SIGN_PASS_FILE ?=
SIGN_TIMESTAMP_URL ?=
export SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS_FILE SIGN_TIMESTAMP_URL

.PHONY: all setup configure build test run bench dist clean

all: build

setup:
	bash tools/setup.sh
	VEXO_DEPS_DIR=$(DEPS_DIR) bash tools/deps/build-deps.sh

# Test and run builds trust the publisher that signs their stand-in installers; a release (dist)
# keeps the default, the publisher of the real runtime packages.
configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
		-DVEXO_DEPS_PREFIX=$(DEPS_DIR)/i686-w64-mingw32 "-DVEXO_TRUSTED_PUBLISHERS=Vexo Test Publisher" $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	PAYLOAD_ZIP=$(PAYLOAD_ZIP) ARGS='$(ARGS)' bash tools/run-installer.sh $(BUILD)

# The unzip task runs unpinned and pinned in the same rounds, as a fresh install and as an upgrade;
# BEFORE=<build-dir of an earlier commit> adds that build's task to them, for before/after ratios.
BEFORE ?=
bench: build
	BEFORE= bash tools/bench/zip-extract.sh $(BUILD)
	MODE=task BEFORE='$(BEFORE)' bash tools/bench/zip-extract.sh $(BUILD)
	SHAPE=names MODE=task RUNS=3 BEFORE='$(BEFORE)' bash tools/bench/zip-extract.sh $(BUILD)
	bash tools/bench/payload-check.sh $(BUILD)
	SHAPE=names RUNS=3 bash tools/bench/payload-check.sh $(BUILD)
	DELAYS=3 bash tools/bench/close-delay.sh $(BUILD)
	bash tools/bench/window-idle-cpu.sh $(BUILD)
	bash tools/bench/download.sh $(BUILD)

# Built with debug information (-g), which make-dist.sh moves into the symbols file beside the
# stripped installer, so a crash address can be resolved to a function and line.
dist: setup
	cmake -S . -B $(DIST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
		-DVEXO_DEPS_PREFIX=$(DEPS_DIR)/i686-w64-mingw32 -DBUILD_TESTING=OFF -DVEXO_VERSION=$(VERSION) \
		-DVEXO_STATS_HOST=$(STATS_HOST) -DVEXO_DOWNLOAD_HOST=$(DOWNLOAD_HOST) -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g
	cmake --build $(DIST_BUILD) -j $(JOBS) --target VexoInstaller skin sample_payload
	CHANNEL=$(CHANNEL) BUILD_LABEL=$(BUILD_LABEL) ENGINE=$(ENGINE) PAYLOAD=$(PAYLOAD) \
		bash tools/dist/make-dist.sh $(DIST_BUILD) $(DIST)

clean:
	rm -rf $(BUILD)
