# make run   - installs what is missing, builds, starts the terminal on a virtual loop-back port
# make test  - installs, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test
# make bench - installs, builds optimised, runs the benchmark programs
# make tsan  - builds with ThreadSanitizer and runs the threaded tests
# make core-test - builds every core, program and test without Qt and runs them
# make package - builds the Debian package build/package/porvane_<version>_<arch>.deb

JOBS ?= $(shell nproc)
GEN := -G Ninja

.PHONY: all deps build run test core-test fuzz bench tsan package format clean

# Seconds each fuzz target runs in make test.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := quor_b_reply_fuzzer monitor_record_fuzzer host_link_fuzzer command_file_fuzzer \
	settings_ini_fuzzer hex_text_fuzzer rfc2217_fuzzer frame_decoder_fuzzer \
	capture_reader_fuzzer

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPORVANE_BENCH=ON
	cmake --build build -j $(JOBS)

run: build
	./scripts/run-demo.sh build

test: deps
	cmake -S . -B build/asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DPORVANE_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS) --timeout 300
	$(MAKE) fuzz

# The cores, the driver host, the reader library and the command lines must never come to need Qt.
core-test: deps
	cmake -S . -B build/core $(GEN) -DCMAKE_BUILD_TYPE=Debug -DPORVANE_GUI=OFF
	cmake --build build/core -j $(JOBS)
	./scripts/check-no-qt.sh build/core
	cd build/core && ctest --output-on-failure -j $(JOBS) --timeout 300 -LE package

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPORVANE_FUZZ=ON -DPORVANE_SANITIZE=address,undefined
	cmake --build build/fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	for t in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$t && \
		./build/fuzz/bin/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus/$$t \
			|| exit 1; \
	done

package: deps
	./scripts/build-package.sh build/package

bench: build
	./build/bin/bench_serial_channel
	./build/bin/bench_quor_b
	./build/bin/bench_terminal_page
	./build/bin/bench_prbs
	./build/bin/bench_attachment

tsan: deps
	cmake -S . -B build/tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DPORVANE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 300 -LE 'gui|package'

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
