# Thin front of the CMake build. `make test` is what CI runs.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all deps build test asan-test tsan-test run clean format

all: build

deps:
	@tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) asan-test

# The in-process tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	cmake -S . -B build-asan -DFTBRIDGE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build-asan -j $(JOBS) --target unit_tests
	cd build-asan && ctest --output-on-failure -j $(JOBS) -L unit

tsan-test: deps
	cmake -S . -B build-tsan -DFTBRIDGE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build-tsan -j $(JOBS) --target unit_tests
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L unit

# Runs the daemon on this machine's real devices (needs a sensor and a controller).
run: build
	./$(BUILD)/ftbridge

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-tsan
