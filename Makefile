# Set-up, build, tests, demo and benchmarks. Every target starts from a bare
# machine: it creates .venv, installs what it needs and builds the modules.

PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.installed

# Which device runs the package: "gpu" where real CuPy sees a CUDA device,
# "host" (the CPU stand-in in hostdevice/) otherwise.
DEVICE  = $(shell $(PY) hostdevice/detect.py)
ON_DEVICE = ZEMVARA_DEVICE=$(DEVICE) $(if $(filter host,$(DEVICE)),PYTHONPATH=$(CURDIR)/hostdevice)

# GPU machines run Python 3.12 and have no network: what their Python lacks
# comes from wheels/. Our GPU image already has CuPy, NumPy, OpenCV, pytest and
# the build tools; set WHEELS_FOR="$$(grep -v '^#' requirements/gpu.txt)" for a bare one.
GPU_PYTHON_VERSION ?= 3.12
WHEELS := wheels
WHEELS_FOR ?= openexr nvidia-nvimgcodec-cu13

.PHONY: all venv build test demo bench gpu-check wheels clean

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

# On a GPU machine without network access: a venv over the machine's own
# packages, what is missing from wheels/, then the whole suite on real CuPy.
gpu-check:
	$(PYTHON) -m venv --system-site-packages $(VENV)
	$(PY) -m pip install -q --no-index --find-links $(WHEELS) -r requirements/gpu.txt
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .
	@echo "zemvara: running the tests on the $$($(PY) hostdevice/detect.py) device"
	ZEMVARA_DEVICE=gpu $(PY) -m pytest -q tests

# Where there is network access: the GPU machine's missing wheels into wheels/.
wheels:
	$(PYTHON) -m pip download -q --only-binary=:all: --python-version $(GPU_PYTHON_VERSION) \
	  --implementation cp --platform manylinux_2_28_x86_64 --platform manylinux_2_27_x86_64 \
	  --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 -d $(WHEELS) $(WHEELS_FOR)

clean:
	rm -rf build dist *.egg-info
