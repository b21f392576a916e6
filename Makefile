# The two commands a newcomer needs: `make run` and `make test`. Each installs what it is missing
# (scripts/bootstrap) and no more: `make run` what building and running need, `make test` also
# what the tests need. `make install` puts the program in PREFIX (DESTDIR honoured).
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: run test test-sanitize test-tsan test-v4l2 build program install clean

# The program alone. A build directory configured before keeps its settings; a new one is made
# without the tests and benchmarks, whose packages `make run` does not install.
program:
	scripts/bootstrap --run
	test -f $(BUILD)/CMakeCache.txt || \
		cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF -DTOLVA_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target tolvacapture -j $(JOBS)

# Everything, with the tests (also in a directory that `make run` made without them).
build:
	scripts/bootstrap --test
	cmake -S . -B $(BUILD) -DBUILD_TESTING=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: program
	scripts/run-demo $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sanitizer builds use clang: it compiles them in half the time GCC takes, and its warnings
# are a second compiler's view of the code.
SANITIZER_COMPILERS = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer, each test program
# run whole (all its cases in one process), which halves the time the sanitizers take to start.
test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="$(SANITIZER_COMPILERS) -DTOLVA_SANITIZE=ON \
		-DTOLVA_BENCH=OFF -DTOLVA_TEST_WHOLE_PROGRAMS=ON"

# The whole suite built for the V4L2 back end, on a simulated Pi 4 (Unicam, current OS) and on a
# Pi 5 (CFE). Each test program runs as one test, all its cases in one process: twice the suite
# in about the time of one run with a process per case.
test-v4l2:
	scripts/bootstrap --test
	cmake -S . -B build-v4l2 -DTOLVA_CAPTURE=v4l2 -DTOLVA_BENCH=OFF -DTOLVA_TEST_WHOLE_PROGRAMS=ON
	cmake --build build-v4l2 -j $(JOBS)
	TOLVA_SIM_BOARD_REVISION=c03114 ctest --test-dir build-v4l2 --output-on-failure -j $(JOBS)
	TOLVA_SIM_BOARD_REVISION=c04170 ctest --test-dir build-v4l2 --output-on-failure -j $(JOBS)

install: program
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The tests of the frame hand-over's two threads (label "capture": the capture pipeline and the
# simulated receiver) built with ThreadSanitizer; only their programs are built.
test-tsan:
	scripts/bootstrap --test
	cmake -S . -B build-tsan $(SANITIZER_COMPILERS) -DTOLVA_TSAN=ON -DTOLVA_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target capture_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L capture

clean:
	rm -rf build build-sanitize build-tsan build-fuzz build-armhf build-arm64 build-v4l2
