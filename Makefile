# `make`       build the extension for the release interpreter
# `make test`  build for the release, debug and free-threaded interpreters and
#              run the suite under all three side by side, once each
#              interpreter is found to import what the suites need
# `make test-deps`  just that check: names what each interpreter lacks
# `make test-threads RUNS=20`  the thread tests, again and again, on python3.14t
# `make bench` run the benchmarks under the release interpreter, then one summary
# `make bench-scaling` threads each on their own data, on python3.14t
# `make wheel` build the wheels for python3.14 and python3.14t into build/dist/
#
# Without VESK_PYTHON, every target runs inside the project's toolchain root
# (tools/toolchain.sh provisions it on first use, python3.14t included). With
# VESK_PYTHON set to a CPython 3.14 that has its headers, targets run
# natively; VESK_PYTHON_DEBUG optionally names a debug build and
# VESK_PYTHON_FT a free-threaded one. VESK_PYTHON_FT also replaces the
# root's own python3.14t.

.DEFAULT_GOAL := all
TARGETS := all build build-profile build-debug build-ft test test-release test-debug test-ft \
	test-threads test-deps bench bench-scaling wheel clean

ifeq ($(origin VESK_PYTHON),undefined)
ifneq ($(VESK_IN_ROOT),1)
# Host: forward the target, and variables given on the command line (such as
# `make test CI=true JOBS=2`), into the toolchain root, whose environment
# starts empty.
$(TARGETS):
	@tools/toolchain.sh run make --no-print-directory VESK_IN_ROOT=1 $(MAKEOVERRIDES) $@
.PHONY: $(TARGETS) provision
provision:
	@tools/toolchain.sh provision
else
PYTHON := python3.14
PYTHON_DEBUG := python3.14d
PYTHON_FT := $(or $(VESK_PYTHON_FT),/opt/python3.14t/bin/python3.14t)
# The interpreter built from source has only its own standard library; pytest
# and hypothesis are pure Python and load from the root's Debian packages.
FT_PATH := PYTHONPATH=$(PYTHONPATH):/usr/lib/python3/dist-packages
MODE := root
endif
else
PYTHON := $(VESK_PYTHON)
PYTHON_DEBUG := $(VESK_PYTHON_DEBUG)
PYTHON_FT := $(VESK_PYTHON_FT)
FT_PATH :=
MODE := native
endif

ifdef PYTHON
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build/$(MODE)
RUNS ?= 20
# The debug interpreter is several times slower than the others: its suite is
# spread over the cores the release and free-threaded suites leave (six on
# eight cores), so the three finish together.
DEBUG_WORKERS ?= $(shell n=$$(($(JOBS) - 2)); echo $$((n > 1 ? n : 1)))
# Every suite runs in xdist workers, one at least: a test stuck in native code
# past the watchdog (tests/conftest.py) ends its worker, and the run reports
# that test as crashed and goes on with a new one. 0 runs a suite in the
# pytest process itself, where such a test ends the run.
RELEASE_WORKERS ?= 1
FT_WORKERS ?= 1
workers = $(if $(filter-out 0,$(1)),-n $(1))
# CI refuses to land without the free-threaded run; a local run says it is
# missing and goes on with the other two.
REQUIRE_FT ?= $(if $(CI),1,)
HAVE_FT := $(if $(PYTHON_FT),$(shell command -v $(PYTHON_FT) 2>/dev/null),)

# Ninja when the machine has it; a build directory keeps the generator it was
# first configured with.
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)

define cmake_build
	@py=$$(command -v $(3)) || { echo "interpreter not found: $(3)" >&2; exit 1; }; \
	gen="$(GENERATOR)"; [ -f $(BUILD)/$(1)/CMakeCache.txt ] && gen=; \
	cmake -S . -B $(BUILD)/$(1) $$gen -DCMAKE_BUILD_TYPE=$(2) \
	  -DPython_EXECUTABLE=$$py -DVESK_WERROR=$(WERROR) $(4) >$(BUILD)-$(1).configure.log 2>&1 \
	  || { cat $(BUILD)-$(1).configure.log; exit 1; }
	@cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

.PHONY: $(TARGETS) check-ft deps-release deps-debug deps-ft

# What each suite must import (pytest, pytest-timeout, hypothesis, and
# pytest-xdist for a suite run in workers), checked before anything is built
# so a missing package is named at once instead of failing a suite later.
deps-release:
	@$(PYTHON) tools/check_test_deps.py --workers $(RELEASE_WORKERS)

deps-debug:
ifneq ($(PYTHON_DEBUG),)
	@$(PYTHON_DEBUG) tools/check_test_deps.py --workers $(DEBUG_WORKERS)
endif

deps-ft: check-ft
ifneq ($(HAVE_FT),)
	@$(FT_PATH) $(PYTHON_FT) tools/check_test_deps.py --workers $(FT_WORKERS)
endif

# Every interpreter checked, each naming what it lacks, before one verdict;
# a missing free-threaded interpreter that the run requires is its own
# verdict, said once by check-ft.
test-deps:
	@$(MAKE) --no-print-directory check-ft >/dev/null || exit 1; \
	ok=1; \
	$(MAKE) --no-print-directory deps-release || ok=; \
	$(MAKE) --no-print-directory deps-debug || ok=; \
	$(MAKE) --no-print-directory deps-ft || ok=; \
	[ -n "$$ok" ] || { echo "make test: test packages missing (above)" >&2; exit 1; }
all build:
	@mkdir -p $(BUILD)
	$(call cmake_build,release,Release,$(PYTHON))

# The release builds with debug symbols, for profiling (callgrind, gdb
# samples); they replace the release extensions beside the package until
# the next `make` and `make build-ft`.
build-profile:
	@mkdir -p $(BUILD)
	$(call cmake_build,profile,Release,$(PYTHON),-DCMAKE_CXX_FLAGS=-g)
ifneq ($(HAVE_FT),)
	$(call cmake_build,ft-profile,Release,$(PYTHON_FT),-DCMAKE_CXX_FLAGS=-g)
endif

build-debug:
ifneq ($(PYTHON_DEBUG),)
	@mkdir -p $(BUILD)
	$(call cmake_build,debug,Debug,$(PYTHON_DEBUG))
endif

check-ft:
ifeq ($(HAVE_FT),)
ifeq ($(REQUIRE_FT),1)
	@echo "no free-threaded interpreter ($(or $(PYTHON_FT),VESK_PYTHON_FT unset)): CI requires one" >&2; exit 1
else
	@echo "== no free-threaded interpreter ($(or $(PYTHON_FT),VESK_PYTHON_FT unset)): testing without python3.14t"
endif
endif

build-ft: check-ft
ifneq ($(HAVE_FT),)
	@mkdir -p $(BUILD)
	$(call cmake_build,ft,Release,$(PYTHON_FT))
endif

test-release: deps-release build
	@echo "== tests under $(PYTHON)"
	@$(PYTHON) -m pytest -q $(call workers,$(RELEASE_WORKERS))

test-debug: deps-debug build-debug
ifneq ($(PYTHON_DEBUG),)
	@echo "== tests under $(PYTHON_DEBUG)"
	@$(PYTHON_DEBUG) -m pytest -q $(call workers,$(DEBUG_WORKERS))
endif

test-ft: deps-ft build-ft
ifneq ($(HAVE_FT),)
	@echo "== tests under $(PYTHON_FT)"
	@$(FT_PATH) $(PYTHON_FT) -m pytest -q $(call workers,$(FT_WORKERS))
endif

# The three builds first (each uses every core), then the three suites at
# once, each printed whole when it ends.
test: test-deps
	@$(MAKE) --no-print-directory build build-debug build-ft
	@$(MAKE) --no-print-directory -j3 --output-sync=target test-release test-debug test-ft

# The tests that start threads, RUNS times in a row on the free-threaded
# interpreter, stopping at the first failure.
test-threads: deps-ft build-ft
ifneq ($(HAVE_FT),)
	@tools/run_thread_tests.sh $(RUNS) env $(FT_PATH) $(PYTHON_FT)
endif

# Offline, from the checkout: pip takes the toolchain's scikit-build-core
# instead of fetching one (pyproject.toml keeps each wheel's build folder).
PIP_WHEEL := -m pip wheel --no-build-isolation --no-deps --no-index --no-cache-dir \
	--disable-pip-version-check --quiet --wheel-dir build/dist .

wheel: check-ft
	@mkdir -p build/dist
	@echo "== wheel for $(PYTHON)"
	@$(PYTHON) $(PIP_WHEEL)
ifneq ($(HAVE_FT),)
	@echo "== wheel for $(PYTHON_FT)"
	@$(FT_PATH) $(PYTHON_FT) $(PIP_WHEEL)
endif
	@ls -1 build/dist/*.whl

# Every bench in its own interpreter, then one summary table (bench/run_all.py).
bench: build
	@$(PYTHON) bench/run_all.py

# Throughput of 1 to 8 threads means something only without the global lock.
bench-scaling: build-ft
ifneq ($(HAVE_FT),)
	@$(FT_PATH) $(PYTHON_FT) bench/bench_scaling.py
endif

# Every build directory, configure log and fuzzing record, and the
# extensions the builds put beside the package.
clean:
	rm -rf build python/vesk_core/_native*.so python/vesk_core/_typing_seams*.so
endif
