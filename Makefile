# Thin front of the CMake build. `make test` is what CI runs.
SHELL := /bin/bash
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all deps build test asan-test tsan-test fuzz fuzz-smoke fuzz-build run install deb clean format

all: build

deps:
	@tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE 'package|cell'
	cd $(BUILD) && ctest --output-on-failure -L package
	cd $(BUILD) && ctest --output-on-failure -L cell
	$(MAKE) asan-test
	$(MAKE) tsan-test
	$(MAKE) fuzz-smoke
	$(MAKE) soak SOAK_FRAMES=100000 SOAK_SECONDS=30

# The in-process tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	cmake -S . -B build-asan -DFTBRIDGE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build-asan -j $(JOBS) --target unit_tests
	cd build-asan && ctest --output-on-failure -j $(JOBS) -L unit

# The in-process tests under ThreadSanitizer; concurrency_test drives the stream and the
# control methods on one SensorState at once.
tsan-test: deps
	cmake -S . -B build-tsan -DFTBRIDGE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build-tsan -j $(JOBS) --target unit_tests
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L unit

# libFuzzer targets, run from the seed corpus kept in tests/fuzz/corpus/ (a copy grows in
# build-fuzz/corpus/). FUZZ_SECONDS per target; `fuzz-smoke` is the short run CI makes.
FUZZ_TARGETS = fuzz_stream fuzz_control fuzz_rtde_reply fuzz_request fuzz_session
FUZZ_SECONDS ?= 60
# Each run prints its libFuzzer seed; FUZZ_SEED=N repeats one (with the same corpus).
FUZZ_SEED ?=

fuzz-build: deps
	cmake -S . -B build-fuzz -DFTBRIDGE_SANITIZE=fuzzer -DCMAKE_CXX_COMPILER=clang++ \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	    c=$${t#fuzz_}; mkdir -p build-fuzz/corpus/$$c; \
	    echo "== $$t for $(FUZZ_SECONDS) s"; \
	    build-fuzz/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
	        $(if $(FUZZ_SEED),-seed=$(FUZZ_SEED)) \
	        -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$c tests/fuzz/corpus/$$c \
	        >build-fuzz/$$t.log 2>&1; rc=$$?; \
	    grep -E "Seed:|INITED|DONE|ERROR|SUMMARY" build-fuzz/$$t.log; \
	    if [ $$rc -ne 0 ]; then tail -40 build-fuzz/$$t.log; exit 1; fi; \
	done

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=5

# Installs ftbridge, ftbridge-ctl, ftrecord, the systemd unit, the udev rules, the man pages,
# the README and docs/ under PREFIX (DESTDIR for staging).
PREFIX ?= /usr/local
install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target ftbridge ftbridge-ctl ftrecord
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# The Debian package, built by debhelper (debian/) from a copy of the tree in build-deb/src, so
# that its by-products stay out of the tree: build-deb/ftbridge_<version>_<arch>.deb and its
# -dbgsym package. Fails if lintian reports an error. Installs only the Build-Depends and
# lintian; the package build runs the unit tests (DEB_BUILD_OPTIONS=nocheck skips them).
deb:
	@tools/install-deps --deb
	rm -rf build-deb && mkdir -p build-deb/src
	tar -c --exclude-vcs --exclude='./build*' --exclude=__pycache__ . | tar -x -C build-deb/src
	cd build-deb/src && dpkg-buildpackage -b -us -uc -j$(JOBS) >../build.log 2>&1 || \
	    { tail -40 ../build.log; exit 1; }
	lintian --fail-on error --display-info build-deb/ftbridge_*.changes | tee build-deb/lintian.txt
	@ls build-deb/*.deb

# The real daemon on simulated hardware in a sandbox of its own (root): the port found, the
# sample frequency, live values, scripted ftbridge-ctl calls; writes $(BUILD)/demo/.
.PHONY: demo
demo: build
	python3 tools/demo --daemon $(BUILD)/ftbridge --out $(BUILD)/demo

# The installed package in a virtual machine whose kernel drives two emulated FTDI adapters
# fed by the simulated sensor: boots it streaming, then takes commands (unplug, plug, a guest
# shell command) until "quit". The guest image is built once into $(BUILD)/cell/image.
.PHONY: cell
cell: deps deb
	tools/cell/build-image $(BUILD)/cell/image
	python3 tools/cell/run $(BUILD)/cell

# Runs the daemon on this machine's real devices (needs a sensor and a controller).
run: build
	./$(BUILD)/ftbridge

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-deb

# The daemon under faults on the line and eight control clients at once, against a model of
# the stream; prints a table. `make test` runs a shorter one.
SOAK_FRAMES ?= 1000000
SOAK_SECONDS ?= 180
.PHONY: soak
soak: build
	python3 tests/soak/soak.py --daemon $(BUILD)/ftbridge --frames $(SOAK_FRAMES) --duration $(SOAK_SECONDS)

# Figures of the bridge against the serial line's limits and a bare relay, and the daemon's
# CPU and RSS in each long-lived state, from a Release build; prints the tables, writes
# $(BUILD)/bench.json. A benchmark: not part of `make test`.
.PHONY: bench
bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build-release -j $(JOBS) --target ftbridge loadgen bare_relay frame_path alloc_count
	python3 bench/run_bench.py build-release $(BUILD)/bench.json
	python3 bench/freshness.py build-release/ftbridge --relay build-release/bench/bare_relay
	python3 bench/latency.py build-release
