# Every target installs what it is missing first, so each works on a fresh
# machine: Debian packages through apt-get, Python packages into .venv.
JOBS ?= 2
VENV := .venv
PY := $(VENV)/bin/python
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: all system venv install test test-cpp test-python demo bench bench-cpp probe clean

all: test

system:
	scripts/setup-system.sh

$(PY):
	"$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)

# Builds the extension from the CMake project with scikit-build-core.
install: system venv
	$(PY) -m pip install -q ".[test]"

# The C++ tests in a normal, an ASan+UBSan and a TSan build, then the Python tests.
test: system test-cpp test-python

test-cpp: system
	JOBS=$(JOBS) scripts/test-cpp.sh release
	JOBS=$(JOBS) scripts/test-cpp.sh asan
	JOBS=$(JOBS) scripts/test-cpp.sh tsan

test-python: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/demo.py

bench: bench-cpp install
	$(PY) bench/compare.py

bench-cpp: system
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DIDLEWICK_BUILD_TESTS=OFF -DIDLEWICK_BUILD_BENCHMARKS=ON >/dev/null
	cmake --build build/bench --target scheduler_benchmark
	build/bench/bench/scheduler_benchmark

probe: system
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/release --target idlewick_probe
	build/release/tools/idlewick-probe

clean:
	rm -rf build $(VENV)
