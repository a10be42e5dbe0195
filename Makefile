# The two commands users need: `make demo` and `make test`. Both install
# what is missing first, then build. `make package` builds the Debian
# packages into dist/; `make test-package` checks them.

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
BENCH_DIR ?= build-bench
FUZZ_DIR ?= build-fuzz
PACKAGE_DIR ?= build-package
DIST_DIR ?= dist
JOBS ?= $(shell nproc)
CMAKE_GENERATOR ?= Ninja
FUZZ_SECONDS ?= 60

.PHONY: all deps build build-asan test test-release test-asan demo bench load fuzz package test-package clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The sanitizer build uses clang, so the suite is compiled by both compilers,
# and it also builds the fuzz targets (libFuzzer comes with clang).
build-asan: deps
	cmake -S . -B $(ASAN_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DGWCHECK_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DGWCHECK_FUZZ=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)

test-release: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The whole suite, then the same suite under AddressSanitizer + UndefinedBehaviorSanitizer.
test: test-release test-asan

# Release build for /usr with Debian's hardening flags; cpack writes one
# package per component (packaging/CMakeLists.txt), which land in DIST_DIR.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	cmake -S . -B $(PACKAGE_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=/usr -DGWCHECK_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)"
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	rm -rf $(PACKAGE_DIR)/cpack $(DIST_DIR)
	cd $(PACKAGE_DIR) && cpack -G DEB -B cpack
	mkdir -p $(DIST_DIR) && cp $(PACKAGE_DIR)/cpack/*.deb $(DIST_DIR)/
	@ls -l $(DIST_DIR)

# The packages unpacked and inspected: files, lintian, man pages, units, a
# run of the packaged gwcheck against the packaged gwsim, a consumer build.
test-package: package
	tests/install/check_install.sh package $(DIST_DIR) $(PACKAGE_DIR)/check

demo: build
	scripts/demo.sh $(BUILD_DIR)

# The framework's benchmarks, their repetitions interleaved, then each
# block's median over its bare baseline's (bench/exc_ratios.py).
bench: deps
	cmake -S . -B $(BENCH_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Release -DGWCHECK_BENCH=ON -DGWCHECK_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_DIR)/bin/exc_bench --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_DIR)/exc_bench.json --benchmark_out_format=json
	python3 bench/exc_ratios.py $(BENCH_DIR)/exc_bench.json

# Every fuzz target for FUZZ_SECONDS each (libFuzzer, ASan+UBSan, clang),
# from a scratch copy of its seed corpus; prints executions and coverage.
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DGWCHECK_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DGWCHECK_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets
	tests/fuzz/fuzz_all.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Load on gwsim and one gwcheck run next to a round-trip baseline
# (docs/performance.md); LOAD_SECONDS and E2E_RUNS tune its length.
load: deps
	cmake -S . -B $(BENCH_DIR) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Release -DGWCHECK_BENCH=ON -DGWCHECK_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	bench/run_load.sh $(BENCH_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(PACKAGE_DIR) $(DIST_DIR)
