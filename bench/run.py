"""Runs every benchmark of the package and prints one table each (`make bench`)."""

import importlib
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
HOSTDEVICE = HERE.parent / "hostdevice"
if os.environ.get("ZEMVARA_DEVICE") != "gpu":
    sys.path.insert(1, str(HOSTDEVICE))
else:
    # On a GPU the stand-in must not shadow the real cupy and nvidia packages:
    # only its TensorRT (whose engine files the upscaler benchmark runs on
    # real CuPy) is loaded, under its own name.
    import importlib.util

    _spec = importlib.util.spec_from_file_location(
        "tensorrt", HOSTDEVICE / "tensorrt" / "__init__.py",
        submodule_search_locations=[str(HOSTDEVICE / "tensorrt")])
    sys.modules["tensorrt"] = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(sys.modules["tensorrt"])

BENCHMARKS = [
    "bench_frame",
    "bench_conversions",
    "bench_subsample",
    "bench_resampling",
    "bench_warp",
    "bench_batched",
    "bench_io",
    "bench_axisform",
    "bench_store",
    "bench_enginezoom",
    "bench_pipeline",
    "bench_hostdevice",
]


def main():
    import cupy

    device = os.environ.get("ZEMVARA_DEVICE", "host")
    print(f"zemvara benchmarks on the {device} device (cupy from {Path(cupy.__file__).parent})")
    only = sys.argv[1:]
    for name in BENCHMARKS:
        if only and name not in only:
            continue
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if exc.name == name:
                continue
            raise
        print()
        try:
            module.main()
        except ModuleNotFoundError as exc:
            # The stand-in posing as CuPy in a gpu-check rehearsal has no
            # cupyx; anywhere else a missing module is an error.
            if not (hasattr(cupy, "_hostdevice") and (exc.name or "").startswith("cupyx")):
                raise
            print(f"(rest of {name} skipped: the host-device stand-in has no {exc.name})")


if __name__ == "__main__":
    main()
