# velquor: `make demo` runs an optimisation on the built-in demo market, `make test` runs the test suite.
# Both create .venv on first use, install the dependencies and build the C++ extension modules.

VENV      := .venv
PYTHON    := $(VENV)/bin/python
BUILD_DIR ?= build/dev
CMAKE_ARGS ?=
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: all build build-asan demo test test-asan fuzz bench riskmodel clean

all: build

$(VENV)/.installed: pyproject.toml tools/find-python
	test -x $(PYTHON) || $$(tools/find-python) -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	$(PYTHON) -c "import tomllib; d=tomllib.load(open('pyproject.toml','rb'))['project']; print('\n'.join(d['dependencies'] + d['optional-dependencies']['test']))" > $(VENV)/requirements.txt
	$(PYTHON) -m pip install --quiet -r $(VENV)/requirements.txt
	$(PYTHON) -c "import site, os; open(os.path.join(site.getsitepackages()[0], 'velquor-dev.pth'), 'w').write(os.path.abspath('src') + '\n')"
	touch $@

build: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DVELQUOR_INPLACE=ON -DVELQUOR_WERROR=ON $(CMAKE_ARGS) > /dev/null
	$(VENV)/bin/cmake --build $(BUILD_DIR)

demo: build
	$(PYTHON) -m velquor.demo

test: build
	$(PYTHON) -m pytest -q

# AddressSanitizer/UndefinedBehaviorSanitizer build of the extension modules, run under the same suite. Both
# builds write the modules into src/velquor, so each removes the other's before linking its own; the regular
# build is put back afterwards whatever the outcome.
SANITIZED := ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)"
build-asan: $(VENV)/.installed
	rm -f src/velquor/*.so
	$(MAKE) build BUILD_DIR=build/asan CMAKE_ARGS=-DVELQUOR_ASAN=ON

test-asan: build-asan
	$(SANITIZED) $(PYTHON) -m pytest -q -x -p no:cacheprovider; status=$$?; rm -f src/velquor/*.so; $(MAKE) build; exit $$status

# The public API fuzzed against the sanitizer build: FUZZ_CALLS calls in all, the count per function at the end.
FUZZ_CALLS ?= 100000
fuzz: build-asan
	$(SANITIZED) $(PYTHON) tests/fuzz/run.py --calls $(FUZZ_CALLS); status=$$?; rm -f src/velquor/*.so; $(MAKE) build; exit $$status

# Estimates the risk model ahead of time for a range of dates (all horizons and versions), with progress.
RISK_START ?= 2025-01-01
RISK_END   ?= 2026-11-30
riskmodel: build
	$(PYTHON) -m velquor.riskmodel build --start $(RISK_START) --end $(RISK_END)

bench: build
	$(PYTHON) bench/run_all.py

clean:
	rm -rf build src/velquor/*.so
