# `make run` and `make test` do the whole set-up on a fresh Debian 12 machine:
# install what is missing, configure, build incrementally, then run.
#
#   make test SANITIZE=address,undefined   the suite under ASan and UBSan
#   make test SANITIZE=thread              the threaded core under TSan
#   make test TESTS=Sntp                   only tests whose name matches
#   make install [PREFIX=/usr/local] [DESTDIR=/stage]   install the program (as root)
#   make package                           a .deb for /usr, built in build-package/
#   make fuzz [FUZZ_SECONDS=60] [FUZZ_TARGETS="tzif posix_tz"]
#                                          each fuzz target for FUZZ_SECONDS under ASan and UBSan
#   make bench [BENCH_IDLE_SECONDS=60] [BENCH_EXCHANGES=200] [BENCH_FIND_BEST_RUNS=3]
#                                          accuracy and cost against a real chronyd (as root)

SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
ifeq ($(SANITIZE),)
BUILD_DIR ?= build
else
BUILD_DIR ?= build-$(subst $(comma),-,$(SANITIZE))
endif
comma := ,
JOBS ?= $(shell nproc)

CTEST_FLAGS = --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
ifeq ($(SANITIZE),thread)
CTEST_FLAGS += -L tsan
endif
ifneq ($(TESTS),)
CTEST_FLAGS += -R '$(TESTS)'
endif

.PHONY: all deps configure build test run clean format install package fuzz bench

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTIDEWELL_SANITIZE=$(SANITIZE)

configure: deps $(BUILD_DIR)/build.ninja

# The ThreadSanitizer run builds only the test programs it runs.
ifeq ($(SANITIZE),thread)
BUILD_TARGETS = --target tidewell_tsan_tests
endif

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) $(BUILD_TARGETS)

test: build
	ctest $(CTEST_FLAGS)

# Not a test: it prints a Markdown table of measurements, and only that on
# standard output (`make bench > results.md`); it fails on nothing.
BENCH_IDLE_SECONDS ?= 60
BENCH_EXCHANGES ?= 200
BENCH_FIND_BEST_RUNS ?= 3
bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) >&2
	@$(BUILD_DIR)/bench/tidewell-bench --exchanges $(BENCH_EXCHANGES) \
		--idle-seconds $(BENCH_IDLE_SECONDS) --find-best-runs $(BENCH_FIND_BEST_RUNS) \
		--app $(BUILD_DIR)/app/tidewell

# Starts the program from the build folder. It sets the clock through
# systemd-timedated, which asks polkit (see the README: the group tidewell).
run: build
	$(BUILD_DIR)/app/tidewell

# Installs under the configured prefix (/usr/local unless PREFIX was given; the
# program has the installed help and helper paths compiled in, and the polkit
# action names the helper's, so PREFIX reconfigures: this is the one way to
# choose the prefix, and `cmake --install --prefix` of another one is refused).
# The program gets no capability: the polkit rules installed with it let the
# group tidewell set the clock through systemd-timedated.
install: configure
ifneq ($(PREFIX),)
	cmake -S . -B $(BUILD_DIR) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
endif
	cmake --build $(BUILD_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR)

# The package's paths are compiled in, so it has a build folder of its own for /usr.
PACKAGE_DIR ?= build-package
package: deps
	cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DTIDEWELL_BUILD_TESTS=OFF
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack -G DEB

# The fuzz targets need clang and a build folder of their own; only they and
# the libraries they use are built. Fails on the first finding.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DTIDEWELL_SANITIZE=address,undefined -DTIDEWELL_FUZZ=ON -DTIDEWELL_BUILD_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target tidewell_fuzzers
	fuzz/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build build-*
