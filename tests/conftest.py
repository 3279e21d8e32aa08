"""Chooses the device the suite runs on: a real CUDA device or the CPU stand-in.

`ZEMVARA_DEVICE=gpu` runs against the CuPy that is installed; anything else
(the default) puts the stand-in in ``hostdevice/`` first on ``sys.path``, for
this process and for the subprocesses that tests start.
"""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
HOSTDEVICE = ROOT / "hostdevice"

DEVICE = "gpu" if os.environ.get("ZEMVARA_DEVICE") == "gpu" else "host"

if DEVICE == "host":
    if str(HOSTDEVICE) not in sys.path:
        sys.path.insert(0, str(HOSTDEVICE))
    paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if str(HOSTDEVICE) not in paths:
        os.environ["PYTHONPATH"] = os.pathsep.join([str(HOSTDEVICE), *paths])
os.environ["ZEMVARA_DEVICE"] = DEVICE

# native_modules.py reads the build's list of extension modules (modules.cmake).
sys.path.insert(0, str(ROOT / "src" / "zemvara_source"))
# kernelcheck: the GPU builds' compiled code run through the SASS executor.
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

# The upscaler and batch-run tests run the TensorRT stand-in's engine files on
# either device, so `tensorrt` is that stand-in on a GPU machine too: it is
# loaded under that name before the upscaler imports it.
if not hasattr(sys.modules.get("tensorrt"), "engines"):
    _folder = HOSTDEVICE / "tensorrt"
    _spec = importlib.util.spec_from_file_location("tensorrt", _folder / "__init__.py",
                                                   submodule_search_locations=[str(_folder)])
    sys.modules["tensorrt"] = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(sys.modules["tensorrt"])


def pytest_report_header(config):
    import cupy

    header = f"zemvara device: {DEVICE} (cupy from {Path(cupy.__file__).parent})"
    if DEVICE == "gpu" and hasattr(cupy, "_hostdevice"):
        if os.environ.get("ZEMVARA_STANDIN_AS_GPU") != "1":
            raise pytest.UsageError(
                "ZEMVARA_DEVICE=gpu, but the cupy found is the host-device stand-in")
        header += " -- the host-device stand-in posing as real CuPy (ZEMVARA_STANDIN_AS_GPU=1, rehearsal only)"
    return header


def pytest_configure(config):
    config.addinivalue_line("markers", "host_only: runs only on the CPU stand-in")
    config.addinivalue_line("markers", "gpu_only: runs only on a real CUDA device")


def pytest_collection_modifyitems(config, items):
    skip = "host_only" if DEVICE == "gpu" else "gpu_only"
    marker = pytest.mark.skip(reason=f"not on the {DEVICE} device")
    for item in items:
        if skip in item.keywords:
            item.add_marker(marker)


@pytest.fixture(scope="session")
def device():
    """The device the suite runs on: "host" or "gpu"."""
    return DEVICE


@pytest.fixture(autouse=True)
def _fresh_launch_log():
    """On the host device, each test starts with empty launch and event logs."""
    if DEVICE == "host":
        import cupy

        cupy._hostdevice.clear()
