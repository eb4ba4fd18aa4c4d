# Set-up, build, demo and tests on a fresh Debian 12 machine. `make demo` and `make test`
# install the Debian packages they need when they are missing (apt-get, as root or via sudo).

PACKAGES := cmake ninja-build g++ make zstd pkg-config zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev nlohmann-json3-dev qt6-base-dev qt6-svg-dev dpkg-dev \
            libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
BENCH_PACKAGES := sleuthkit testdisk foremost ntfs-3g fdisk mtools dosfstools imagemagick
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= 2

.PHONY: deps configure build demo test test-asan test-tsan bench fuzz clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

configure: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVONEL_BENCH=OFF -DDRAVONEL_WERROR=ON

# Everything but the benchmarks: the core, the CLI, the tests and the fuzz replays.
build: configure
	ninja -C build -j $(JOBS)

# With a display (DISPLAY or WAYLAND_DISPLAY set) starts the wizard on the demo disk;
# without one lists the demo disk's partitions and recovers the files of its NTFS volume
# into ./demo-output (files there are never replaced: a second run adds " (1)" copies).
# Builds only what it runs.
demo: configure
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] && ninja -C build -t targets all | grep -q '^dravonel:'; then \
	  ninja -C build -j $(JOBS) dravonel default_signatures demo_fixture && \
	  echo "Starting the wizard on build/fixtures/demo_disk.img" && \
	  ./build/bin/dravonel build/fixtures/demo_disk.img; \
	else \
	  ninja -C build -j $(JOBS) dravonel-cli default_signatures demo_fixture && \
	  ./build/bin/dravonel-cli partitions build/fixtures/demo_disk.img && \
	  ./build/bin/dravonel-cli list build/fixtures/demo_disk.img --volume 0 && \
	  ./build/bin/dravonel-cli recover build/fixtures/demo_disk.img --volume 0 --out demo-output && \
	  echo "Recovered files are in demo-output/"; \
	fi

# The suite (with the include-direction check), the Debian package built and run from its
# unpacked paths, then the whole suite under ASan/UBSan, then the two-thread tests under
# ThreadSanitizer.
test: build
	cd build && ctest --output-on-failure -j $(JOBS)
	tools/check_package.sh build
	$(MAKE) test-asan
	$(MAKE) test-tsan

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRAVONEL_SANITIZE=ON -DDRAVONEL_BENCH=OFF -DDRAVONEL_WERROR=ON
	ninja -C build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The core and the tests that run a scan, a deep partition scan, carving, saving and
# search on a worker while the test's thread owns the tree (tests/**/*_threads_test.cpp),
# under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVONEL_TSAN=ON -DDRAVONEL_WERROR=ON
	ninja -C build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS)

# Benchmarks build only here; each prints its ratio against a reference read in the same run.
bench: configure
	@missing=$$(for p in $(BENCH_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi
	cmake -S . -B build -DDRAVONEL_BENCH=ON
	ninja -C build -j $(JOBS) $$(ninja -C build -t targets all | grep -o '^[a-z0-9_]*_bench' | sort -u)
	for b in build/bin/*_bench; do echo "== $$b"; $$b || exit 1; done

# The libFuzzer programs (clang) in build-fuzz/bin/*_fuzz; run one with its corpus, e.g.
#   build-fuzz/bin/ntfs_fuzz -max_total_time=600 fuzz/corpus/ntfs
fuzz: deps
	@command -v clang++ >/dev/null || { $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq clang; }
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVONEL_FUZZ=ON \
	  -DDRAVONEL_SANITIZE=ON -DDRAVONEL_BENCH=OFF -DDRAVONEL_WERROR=OFF
	ninja -C build-fuzz -j $(JOBS) $$(ninja -C build-fuzz -t targets all | grep -o '^[a-z0-9_]*_fuzz' | sort -u)

clean:
	rm -rf build build-asan build-tsan build-fuzz demo-output
