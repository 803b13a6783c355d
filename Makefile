# `make`       build the extension for the release interpreter
# `make test`  build for the release and the debug interpreter, test under both
# `make bench` run the benchmarks under the release interpreter
#
# Without VESK_PYTHON, every target runs inside the project's toolchain root
# (tools/toolchain.sh provisions it on first use). With VESK_PYTHON set to a
# CPython 3.14 that has its headers, targets run natively; VESK_PYTHON_DEBUG
# optionally names a debug build for the second test run.

.DEFAULT_GOAL := all
TARGETS := all build build-debug test test-release test-debug bench clean

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
MODE := root
endif
else
PYTHON := $(VESK_PYTHON)
PYTHON_DEBUG := $(VESK_PYTHON_DEBUG)
MODE := native
endif

ifdef PYTHON
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build/$(MODE)

# Ninja when the machine has it; a build directory keeps the generator it was
# first configured with.
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)

define cmake_build
	@py=$$(command -v $(3)) || { echo "interpreter not found: $(3)" >&2; exit 1; }; \
	gen="$(GENERATOR)"; [ -f $(BUILD)/$(1)/CMakeCache.txt ] && gen=; \
	cmake -S . -B $(BUILD)/$(1) $$gen -DCMAKE_BUILD_TYPE=$(2) \
	  -DPython_EXECUTABLE=$$py -DVESK_WERROR=$(WERROR) >$(BUILD)-$(1).configure.log 2>&1 \
	  || { cat $(BUILD)-$(1).configure.log; exit 1; }
	@cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

.PHONY: $(TARGETS)
all build:
	@mkdir -p $(BUILD)
	$(call cmake_build,release,Release,$(PYTHON))

build-debug:
ifneq ($(PYTHON_DEBUG),)
	@mkdir -p $(BUILD)
	$(call cmake_build,debug,Debug,$(PYTHON_DEBUG))
endif

test-release: build
	@echo "== tests under $(PYTHON)"
	@$(PYTHON) -m pytest -q

test-debug: build-debug
ifneq ($(PYTHON_DEBUG),)
	@echo "== tests under $(PYTHON_DEBUG)"
	@$(PYTHON_DEBUG) -m pytest -q
endif

test: test-release test-debug

bench: build
	@for b in bench/bench_*.py; do [ -e "$$b" ] || continue; echo "== $$b"; $(PYTHON) "$$b" || exit 1; done

# Every build directory, configure log and fuzzing record, and the
# extensions the builds put beside the package.
clean:
	rm -rf build python/vesk_core/_native*.so python/vesk_core/_typing_seams*.so
endif
