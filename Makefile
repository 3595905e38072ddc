# The two commands a new user needs: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all build run test bench clean

all: build

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja

build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

run:
	@scripts/install-deps.sh build
	@$(MAKE) --no-print-directory build
	@if [ -x $(BUILD_DIR)/moatkeep ]; then \
		exec $(BUILD_DIR)/moatkeep debug; \
	else \
		echo "The moatkeep service is not built yet: only the class library and its tests exist so far." >&2; \
		exit 1; \
	fi

test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD_DIR)
