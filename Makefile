# The two commands of the README: `make test` and `make run`.
SANITIZE ?= 0
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-sanitize
CMAKE_FLAGS += -DVOP_SANITIZE=ON
else
BUILD_DIR ?= build
endif

.PHONY: all deps configure build test run bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done

# A try-out needs the window manager only, not the test binaries.
run: configure
	cmake --build $(BUILD_DIR) --target vop -j $(JOBS)
	scripts/run-vop $(BUILD_DIR)/vop

clean:
	rm -rf build build-sanitize
