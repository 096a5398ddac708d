# The two commands of the README: `make demo` and `make test`; `make docs`
# remakes the pictures of docs/ from the real window.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup build test demo bench docs clean

all: build

setup:
	bash scripts/setup.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: build
	bash examples/demo/run_demo.sh $(BUILD_DIR)

bench: build
	cmake --build $(BUILD_DIR) --target fitmara_bench fitmara_mpi_bench standin_model noop_program -j $(JOBS)
	$(BUILD_DIR)/bench/fitmara_bench
	$(BUILD_DIR)/bench/fitmara_mpi_bench

docs: build
	cmake --build $(BUILD_DIR) --target fitmara_screenshots demo_model -j $(JOBS)
	bash scripts/screenshots.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
