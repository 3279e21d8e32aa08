# Set-up, build, tests, demo and benchmarks. Every target starts from a bare
# machine: it creates .venv, installs what it needs and builds the modules.

SHELL  := /bin/bash
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.installed

# Which device runs the package: "gpu" where real CuPy sees a CUDA device,
# "host" (the CPU stand-in in hostdevice/) otherwise.
DEVICE  = $(shell $(PY) hostdevice/detect.py)
ON_DEVICE = ZEMVARA_DEVICE=$(DEVICE) $(if $(filter host,$(DEVICE)),PYTHONPATH=$(CURDIR)/hostdevice)

# GPU machines run Python 3.12 and have no network: what their Python lacks
# comes from wheels/ (`make wheels` where there is network). By default that is
# what our GPU image lacks (Pillow serves only the tests), without dependencies; for a bare machine set
# WHEELS_FOR="$$(grep -v '^#' requirements/gpu.txt)" WHEELS_DEPS=.
GPU_PYTHON_VERSION ?= 3.12
WHEELS := wheels
WHEELS_FOR ?= openexr nvidia-nvimgcodec-cu13 pillow
WHEELS_DEPS ?= --no-deps
WHEELS_MAX_MIB := 64

# `make gpu-check`: GPU_PYTHON is the machine's interpreter (itself a venv
# holding CuPy and the build tools); GPU_VENV a venv layered over it; the full
# log goes to $(ZEMVARA_LOG_DIR)/gpu-check.log.
GPU_PYTHON ?= python3
GPU_VENV := .venv-gpu
GPU_PY := $(GPU_VENV)/bin/python
ZEMVARA_LOG_DIR ?= $(CURDIR)/logs
GPU_TEST_TIMEOUT ?= 200
GPU_BENCH_TIMEOUT ?= 150

.PHONY: all venv build test test-sanitize demo bench fuzz fuzz-quick gpu-check gpu-check-steps wheels clean

all: test

$(STAMP): requirements/test.txt pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements/test.txt
	touch $@

venv: $(STAMP)

build: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

test: build
	@echo "zemvara: running the tests on the $(DEVICE) device"
	$(ON_DEVICE) $(PY) -m pytest -q tests $(if $(filter host,$(DEVICE)),hostdevice/tests)

demo: build
	$(ON_DEVICE) $(PY) demo/demo.py

bench: build
	$(ON_DEVICE) $(PY) bench/run.py

# Coverage-guided fuzzing (fuzz/run.py): one target per family of entry points,
# each in a child process; corpus and findings under build/fuzz/. `fuzz` runs
# about 10 minutes, `fuzz-quick` under one (CI).
FUZZ_STAMP := $(VENV)/.fuzz-installed
$(FUZZ_STAMP): requirements/fuzz.txt $(STAMP)
	$(PY) -m pip install -q -r requirements/fuzz.txt
	touch $@

fuzz: build $(FUZZ_STAMP)
	$(ON_DEVICE) $(PY) fuzz/run.py

fuzz-quick: build $(FUZZ_STAMP)
	$(ON_DEVICE) $(PY) fuzz/run.py --quick

# On a GPU machine without network access, in one command: check the tools,
# layer a venv over the machine's own packages, install wheels/ and the
# package into it, check the imports, run the whole suite on real CuPy (the
# host-only tests skip themselves) and the benchmarks. Ends within ~8 minutes.
gpu-check:
	@mkdir -p "$(ZEMVARA_LOG_DIR)"
	@echo "zemvara: gpu-check, full log in $(ZEMVARA_LOG_DIR)/gpu-check.log"
	@set -o pipefail; start=$$(date +%s); \
	  $(MAKE) --no-print-directory gpu-check-steps 2>&1 | tee "$(ZEMVARA_LOG_DIR)/gpu-check.log"; \
	  rc=$$?; echo "zemvara: gpu-check ended with status $$rc after $$(( $$(date +%s) - start )) s" \
	  | tee -a "$(ZEMVARA_LOG_DIR)/gpu-check.log"; exit $$rc

gpu-check-steps:
	@echo "== 1/6 tools and CuPy of $(GPU_PYTHON)"
	$(GPU_PYTHON) .ci/gpu_check.py tools
	@echo "== 2/6 $(GPU_VENV) over the machine's packages"
	$(GPU_PYTHON) .ci/gpu_check.py overlay $(GPU_VENV)
	@echo "== 3/6 what the machine lacks, from $(WHEELS)/"
	@whl=$$(ls $(WHEELS)/*.whl 2>/dev/null); if [ -n "$$whl" ]; then set -x; \
	  $(GPU_PY) -m pip install -q --no-index --find-links $(WHEELS) $$whl; \
	  else echo "gpu-check: no wheels in $(WHEELS)/ (send it along: carry [\"wheels\"])"; fi
	@echo "== 4/6 build"
	PATH="$$(dirname "$$(command -v $(GPU_PYTHON))"):$$PATH" \
	  $(GPU_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	$(GPU_PY) .ci/gpu_check.py imports
	@echo "== 5/6 tests on the $$(ZEMVARA_DEVICE=gpu $(GPU_PY) hostdevice/detect.py) device"
	ZEMVARA_DEVICE=gpu timeout $(GPU_TEST_TIMEOUT) $(GPU_PY) -m pytest -q -rs tests
	@echo "== 6/6 benchmarks"
	ZEMVARA_DEVICE=gpu timeout $(GPU_BENCH_TIMEOUT) $(GPU_PY) bench/run.py

# The suite with the frame, every module and the host device's kernels built
# with AddressSanitizer and UndefinedBehaviorSanitizer: a venv layered over
# .venv holds the sanitized build (build-sanitize/), reports go to files and
# any report fails the target. Leak detection is off: the interpreter does not
# free everything at exit.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_REPORTS := $(CURDIR)/build-sanitize/reports
# The ASan runtime first; libstdc++ too, so that ASan finds the real
# __cxa_throw for modules that take the C++ runtime from it (the frame tests'
# probe) although the interpreter itself does not load it.
SAN_RUNTIME = $(shell $${CXX:-c++} -print-file-name=libasan.so) $(shell $${CXX:-c++} -print-file-name=libstdc++.so)

test-sanitize: $(STAMP)
	$(PY) .ci/gpu_check.py overlay $(SAN_VENV)
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Cbuild-dir=build-sanitize/{wheel_tag} -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.ZEMVARA_SANITIZE=ON .
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	@echo "zemvara: running the tests on the host device, sanitized"
	ZEMVARA_DEVICE=host PYTHONPATH=$(CURDIR)/hostdevice ZEMVARA_SANITIZE=1 HOSTDEVICE_SANITIZE=1 \
	  PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:log_path=$(SAN_REPORTS)/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(SAN_REPORTS)/ubsan \
	  $(SAN_PY) -m pytest -q -p no:cacheprovider tests hostdevice/tests
	@if ls $(SAN_REPORTS)/* >/dev/null 2>&1; then cat $(SAN_REPORTS)/*; \
	  echo "zemvara: sanitizer reports above (also in $(SAN_REPORTS))"; exit 1; fi
	@echo "zemvara: no sanitizer reports"

# Where there is network access: the GPU machine's missing wheels into wheels/,
# refused if they outgrow what a device call can carry.
wheels:
	$(PYTHON) -m pip download -q --only-binary=:all: --python-version $(GPU_PYTHON_VERSION) \
	  --implementation cp --platform manylinux_2_28_x86_64 --platform manylinux_2_27_x86_64 \
	  --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 $(WHEELS_DEPS) \
	  -d $(WHEELS) $(WHEELS_FOR)
	@size=$$(du -sm $(WHEELS) | cut -f1); ls -l $(WHEELS); \
	  echo "zemvara: $(WHEELS)/ holds $${size} MiB (a device call carries at most $(WHEELS_MAX_MIB))"; \
	  test $$size -lt $(WHEELS_MAX_MIB)

clean:
	rm -rf build build-sanitize dist *.egg-info
