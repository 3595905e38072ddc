# The two commands a new user needs: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Extra ctest options (continuous integration adds its bounds).
CTEST_ARGS ?=
# Extra CMake options (continuous integration turns warnings into errors).
CMAKE_ARGS ?=

.PHONY: all build run test bench clean

all: build

# Configuring every time is cheap and picks up packages installed since the
# last run (the tests appear once GoogleTest is there).
build:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the program (and its site files), then runs it in the foreground.
run:
	@scripts/install-deps.sh build
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target moatkeep
	exec $(BUILD_DIR)/moatkeep debug

test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && ctest --output-on-failure --no-tests=error -j $(JOBS) $(CTEST_ARGS)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD_DIR)
