# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: run test test-sanitize test-tsan build bootstrap clean

bootstrap:
	scripts/bootstrap

build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DTOLVA_SANITIZE=ON -DTOLVA_BENCH=OFF"

# The tests of the frame hand-over's two threads (label "capture": the capture pipeline and the
# simulated receiver) built with ThreadSanitizer; only their programs are built.
test-tsan: bootstrap
	cmake -S . -B build-tsan -DTOLVA_TSAN=ON -DTOLVA_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target capture_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L capture

run: build
	scripts/run-demo $(BUILD)

clean:
	rm -rf build build-sanitize build-tsan build-fuzz build-armhf
