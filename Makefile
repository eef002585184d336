# make run   installs what is missing, builds, and runs the driver on the
#            default simulated machine (Ctrl-C ends it)
# make test  installs what is missing, builds from scratch and runs every
#            test: the plain build, then the unit tests under ASan+UBSan,
#            the concurrency tests under ThreadSanitizer, and the fuzz
#            target for a minute
JOBS ?= $(shell nproc)

.PHONY: deps build run test test-plain test-asan test-tsan test-fuzz bench clean

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

run: build
	./build/bin/quillmard -- -Q 5

test: deps
	rm -rf build build-asan build-tsan build-fuzz
	$(MAKE) test-plain test-asan test-tsan test-fuzz

test-plain:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS) --timeout 300

test-asan:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=asan
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) -L unit --timeout 300

test-tsan:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=tsan
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L concurrency --timeout 300

# The request-block fuzz target (libFuzzer, clang), for a bounded time.
test-fuzz:
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=asan -DQM_FUZZ=ON
	cmake --build build-fuzz --target fuzz_dispatch -j $(JOBS)
	mkdir -p build-fuzz/corpus
	./build-fuzz/bin/fuzz_dispatch build-fuzz/corpus -max_total_time=60 -print_final_stats=1

bench: build
	./build/bin/bench_engine
	./build/bin/bench_uart
	./build/bin/bench_requests

clean:
	rm -rf build build-asan build-tsan build-fuzz
