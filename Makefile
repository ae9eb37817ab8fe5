# `make test` and `make demo` set everything up from nothing: a virtual
# environment in .venv, the package with its C++ extension, the test tools.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed

.PHONY: test demo install dev clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

$(STAMP): $(VPY) pyproject.toml CMakeLists.txt $(wildcard src/platform_client/*) $(wildcard python/quillon_agent/*.py python/quillon_agent/*/*.py)
	QUILLON_WERROR=ON $(VPY) -m pip install --quiet '.[test]'
	touch $(STAMP)

install: $(STAMP)

test: install
	$(VPY) -m pytest -q

demo: install
	$(VPY) -m quillon_agent demo

# Fast in-place build for development: the extension lands next to the
# package sources, and PYTHONPATH=python picks it up.
dev: $(VPY)
	$(VPY) -m pip install --quiet pybind11 ninja cmake requests urllib3 requests-toolbelt werkzeug pytest pytest-httpserver trustme hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/dev
	cp build/dev/platform_client*.so python/quillon_agent/

clean:
	rm -rf build $(VENV) python/quillon_agent/platform_client*.so

# --- Checks beyond the suite --------------------------------------------------
# `make asan` and `make coverage` each build the extension in their own build
# directory, place it in a copy of the package there (build/NAME/site), and
# run the whole suite with that copy first on PYTHONPATH; subprocesses the
# tests start inherit it. PYTEST_ARGS narrows a run, e.g. PYTEST_ARGS=tests/test_module.py.
.PHONY: asan coverage tools

TOOLS_STAMP := $(VENV)/.tools-installed
PYTEST_ARGS ?=

$(TOOLS_STAMP): $(VPY) pyproject.toml
	$(VPY) -m pip install --quiet pybind11 ninja cmake requests urllib3 requests-toolbelt werkzeug \
	  pytest pytest-httpserver trustme hypothesis mypy types-requests gcovr
	touch $(TOOLS_STAMP)

tools: $(TOOLS_STAMP)

# $(call build_variant,NAME,CMAKE OPTIONS)
define build_variant
	cmake -S . -B build/$(1) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(2) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/$(1)
	rm -rf build/$(1)/site && mkdir -p build/$(1)/site
	cp -R python/quillon_agent build/$(1)/site/
	find build/$(1)/site -name __pycache__ -prune -exec rm -rf {} +
	rm -f build/$(1)/site/quillon_agent/platform_client*.so
	cp build/$(1)/platform_client*.so build/$(1)/site/quillon_agent/
endef

# The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# PYTHONMALLOC=malloc lets ASan see every object allocation, and leak
# detection is off because the interpreter keeps memory until exit. Reports go
# to build/asan/reports (from every process, subprocesses included) and any
# report fails the target, whatever the tests said.
ASAN_RUNTIMES = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)
ASAN_REPORTS := $(CURDIR)/build/asan/reports

asan: $(TOOLS_STAMP)
	$(call build_variant,asan,-DQUILLON_WERROR=ON -DQUILLON_SANITIZE=ON)
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	status=0; \
	LD_PRELOAD=$(ASAN_RUNTIMES) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
	PYTHONPATH=$(CURDIR)/build/asan/site $(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) || status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then \
	  cat $(ASAN_REPORTS)/*; echo "make asan: sanitizer reports above (kept in $(ASAN_REPORTS))"; exit 1; \
	fi; \
	echo "make asan: no sanitizer reports"; exit $$status

# Line and branch coverage of src/ from the whole suite. Closing braces that
# gcov credits with unwinding code count as non-code, and branches that only
# exist for exception unwinding are left out: every call into Python has one.
# Reports: the tables printed here, build/coverage/html/index.html.
coverage: $(TOOLS_STAMP)
	$(call build_variant,coverage,-DQUILLON_COVERAGE=ON)
	find build/coverage -name '*.gcda' -delete
	rm -rf build/coverage/html && mkdir -p build/coverage/html
	status=0; \
	PYTHONPATH=$(CURDIR)/build/coverage/site $(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) || status=$$?; \
	$(VPY) -m gcovr --root . --filter 'src/' build/coverage \
	  --exclude-noncode-lines --exclude-throw-branches --exclude-unreachable-branches \
	  --txt --txt-metric line --txt-metric branch --html-details build/coverage/html/index.html --print-summary; \
	exit $$status

# Side-by-side benchmarks against the installed (optimised) build; prints one
# line per comparison and fails when a goal is missed. The per-call benchmark
# is served by nginx (Debian's nginx-light, installed here when apt-get can),
# else by a Python server in its own process.
.PHONY: bench
bench: install
	@command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || \
	  { [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 && \
	    { apt-get install -y -qq nginx-light >/dev/null 2>&1 || \
	      { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq nginx-light >/dev/null 2>&1; }; }; } || \
	  echo "nginx is not available: the per-call benchmark uses the Python fallback server"
	$(VPY) benchmarks/run.py
