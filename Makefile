# The front door: make (deps + build), make test, make demo, make bench, make run,
# make check-macos SDK=...
BUILD ?= build
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# CI builds treat every warning as an error.
ifeq ($(CI),true)
CMAKE_FLAGS += -DKEYTAP_WERROR=ON
endif

.PHONY: all deps build test demo bench run check-macos clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --parallel

test: build
	ctest --test-dir $(BUILD) --output-on-failure --parallel 2

demo: build
	@scripts/demo $(BUILD)

bench: build
	$(BUILD)/keytap-bench $(BUILD)/keytap $(BUILD)/keytap-observer $(BUILD)/keytap-matcher-bench bench/RESULTS.md

# keytap on the current display, for trying it by hand: type commands, press keys.
run: build
	$(BUILD)/keytap

check-macos:
	scripts/check-macos $(SDK)

clean:
	rm -rf $(BUILD)
