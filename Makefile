# make run   - installs what is missing, builds, starts the terminal on a virtual loop-back port
# make test  - installs, builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test
# make bench - installs, builds optimised, runs the benchmark programs
# make tsan  - builds with ThreadSanitizer and runs the threaded tests

JOBS ?= $(shell nproc)
GEN := -G Ninja

.PHONY: all deps build run test bench tsan format clean

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

bench: build
	./build/bin/bench_serial_channel

tsan: deps
	cmake -S . -B build/tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DPORVANE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 300

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
