# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: run test test-sanitize build bootstrap clean

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

run: build
	scripts/run-demo $(BUILD)

clean:
	rm -rf build build-sanitize build-armhf
