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
