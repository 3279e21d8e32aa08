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

# A GPU host without network installs what its Python lacks from wheels/,
# filled by `make wheels` where there is network, for GPU_PYTHON_VERSION. By
# default that is what a host whose Python already holds CuPy, NumPy, OpenCV,
# PyTorch, pytest and the build tools lacks (OpenEXR, the NVIDIA image codec,
# the command line's click, tqdm and Pillow (EXIF orientation), and tifffile
# and zarr (with the codecs and settings zarr reads through) for
# zemvara.transform.tiled, and grimp for the import-layer test), without
# dependencies; for a bare host
# set WHEELS_FOR="$$(grep -v '^#' requirements/gpu.txt)" WHEELS_DEPS= WHEELS_MAX_MIB=.
GPU_PYTHON_VERSION ?= 3.12
WHEELS := wheels
WHEELS_FOR ?= openexr nvidia-nvimgcodec-cu13 pillow click tqdm tifffile zarr numcodecs donfig google-crc32c grimp
WHEELS_DEPS ?= --no-deps
WHEELS_MAX_MIB := 64

# `make gpu-check`: GPU_PYTHON is the GPU host's interpreter (it may itself be a venv
# holding CuPy and the build tools); GPU_VENV a venv layered over it; the full
# log goes to $(ZEMVARA_LOG_DIR)/gpu-check.log.
GPU_PYTHON ?= python3
GPU_VENV := .venv-gpu
GPU_PY := $(GPU_VENV)/bin/python
ZEMVARA_LOG_DIR ?= $(CURDIR)/logs
GPU_TEST_TIMEOUT ?= 200
GPU_BENCH_TIMEOUT ?= 150

.PHONY: all venv build test test-sanitize demo bench kernel-report fuzz fuzz-quick gpu-check gpu-check-steps wheels wheels-dist wheel-check aarch64-check test-matrix clean

all: test

$(STAMP): requirements/test.txt pyproject.toml
	@echo "zemvara: set-up 1/3: creating $(VENV) with $(PYTHON)"
	$(PYTHON) -m venv $(VENV)
	@echo "zemvara: set-up 2/3: updating pip"
	$(PY) -m pip install -q --upgrade pip
	@echo "zemvara: set-up 3/3: installing requirements/test.txt (PyTorch, OpenCV, OpenEXR, the build tools; minutes the first time)"
	$(PY) -m pip install --progress-bar on -r requirements/test.txt
	touch $@

venv: $(STAMP)

build: $(STAMP)
	@echo "zemvara: building the extension modules (src/zemvara_source/modules.cmake) into $(VENV) (CMake and ninja; about a minute the first time)"
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

# The tests also need nvcc and nvdisasm, from PyPI in their own venv (the
# kernel report below uses them too): the GPU builds' own code paths (vector
# loads, byte permutes, the resize kernels' device-side loops) are compiled
# for sm_90 and run through the SASS executor (kernelcheck/) against the
# host device.
TOOLS_VENV := .venv-tools
TOOLS_STAMP := $(TOOLS_VENV)/.installed

test: build $(TOOLS_STAMP)
	@echo "zemvara: running the tests on the $(DEVICE) device"
	$(ON_DEVICE) $(PY) -m pytest -q tests $(if $(filter host,$(DEVICE)),hostdevice/tests)

demo: build
	$(ON_DEVICE) $(PY) demo/demo.py
	$(ON_DEVICE) $(PY) demo/pipeline_demo.py

bench: build
	@$(MAKE) --no-print-directory $(TOOLS_STAMP) \
	  || echo "zemvara: nvcc could not be installed into $(TOOLS_VENV): the benchmarks run without the kernel report"
	$(ON_DEVICE) $(PY) bench/run.py

# The resampling kernels' cost without a GPU: nvcc and nvdisasm from PyPI in
# their own venv compile what each case launches for sm_90; the report runs
# the SASS on the case's own arguments and prints instructions per output
# pixel on the executed path, sectors per load, occupancy and an H100
# estimate (build/kernel-report.json holds the records).

$(TOOLS_STAMP): requirements/tools.txt
	$(PYTHON) -m venv $(TOOLS_VENV)
	$(TOOLS_VENV)/bin/python -m pip install -q -r requirements/tools.txt
	touch $@

kernel-report: build $(TOOLS_STAMP)
	$(ON_DEVICE) $(PY) bench/kernel_report.py

# Coverage-guided fuzzing (fuzz/run.py): one target per family of entry points,
# each in a child process; corpus and findings under build/fuzz/. `fuzz` runs
# about 10 minutes, `fuzz-quick` under two (CI).
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
	  else echo "gpu-check: no wheels in $(WHEELS)/ (fill it with make wheels where there is network, and copy it along)"; fi
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

# Where there is network access: what the GPU host lacks, into wheels/;
# refused past WHEELS_MAX_MIB (empty: no limit), to keep the copy small.
wheels:
	$(PYTHON) -m pip download -q --only-binary=:all: --python-version $(GPU_PYTHON_VERSION) \
	  --implementation cp --platform manylinux_2_28_x86_64 --platform manylinux_2_27_x86_64 \
	  --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 $(WHEELS_DEPS) \
	  -d $(WHEELS) $(WHEELS_FOR)
	@size=$$(du -sm $(WHEELS) | cut -f1); ls -l $(WHEELS); \
	  echo "zemvara: $(WHEELS)/ holds $${size} MiB$(if $(WHEELS_MAX_MIB), (at most $(WHEELS_MAX_MIB) allowed))"; \
	  test -z "$(WHEELS_MAX_MIB)" || test $$size -lt $(WHEELS_MAX_MIB)

# manylinux_2_28 wheels, x86-64 and aarch64, one per CPython in
# MATRIX_VERSIONS that is installed here (pythonX.Y on PATH or under pyenv),
# into dist/: zig's C++ compiler from PyPI builds them against glibc 2.28 on
# any Linux machine, and auditwheel checks each (.ci/wheel_matrix.py); and the
# source archive, which builds wherever there is a C++20 compiler.
MATRIX_VERSIONS ?= 3.10 3.11 3.12 3.13
WHEEL_ARCHES ?= x86_64,aarch64
WHEELS_STAMP := $(VENV)/.wheels-installed
$(WHEELS_STAMP): requirements/wheels.txt $(STAMP)
	@echo "zemvara: installing zig's C++ compiler and auditwheel (requirements/wheels.txt)"
	$(PY) -m pip install -q -r requirements/wheels.txt
	touch $@

wheels-dist: $(WHEELS_STAMP)
	$(PY) .ci/wheel_matrix.py build --arch $(WHEEL_ARCHES) $(MATRIX_VERSIONS)
	$(PY) -m build --sdist --outdir dist .

# CI: the x86-64 wheel for .venv's CPython only, checked by auditwheel, then
# installed into a fresh venv that runs the README's first example on the host
# device (tests/test_wheels.py; it checks whatever dist/ holds).
wheel-check: $(WHEELS_STAMP)
	$(PY) .ci/wheel_matrix.py build --arch x86_64 $$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
	ZEMVARA_DEVICE=host PYTHONPATH=$(CURDIR)/hostdevice $(PY) -m pytest -q -p no:cacheprovider tests/test_wheels.py

# aarch64 wheels under qemu-user: Debian's arm64 Python in a directory
# (build/aarch64-root, made by mmdebstrap), the wheel's dependencies from PyPI
# for aarch64, the import of every module and the README's first example on
# the host device (.ci/aarch64_check.sh). Not part of CI (time).
aarch64-check: $(WHEELS_STAMP)
	bash .ci/aarch64_check.sh

# Each wheel in a fresh venv (.venv-matrix/X.Y): imports and the whole suite on
# the host device, one line per interpreter at the end. Not part of CI (time).
test-matrix: wheels-dist
	$(PY) .ci/wheel_matrix.py test $(MATRIX_VERSIONS)

clean:
	rm -rf build build-sanitize dist .venv-matrix *.egg-info
