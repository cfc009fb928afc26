# `make run` and `make test` do the whole set-up on a fresh Debian 12 machine:
# install what is missing, configure, build incrementally, then run.
#
#   make test SANITIZE=address,undefined   the suite under ASan and UBSan
#   make test SANITIZE=thread              the threaded core under TSan
#   make test TESTS=Sntp                   only tests whose name matches

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

.PHONY: all deps configure build test run clean format

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTIDEWELL_SANITIZE=$(SANITIZE)

configure: deps $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest $(CTEST_FLAGS)

run: build
	$(BUILD_DIR)/app/tidewell-query --help; true

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build build-*
