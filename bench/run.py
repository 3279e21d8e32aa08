"""Runs every benchmark of the package and prints one table each (`make bench`)."""

import importlib
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
if os.environ.get("ZEMVARA_DEVICE") != "gpu":
    # On a GPU the stand-in must not shadow the real cupy and nvidia packages.
    sys.path.insert(1, str(HERE.parent / "hostdevice"))

BENCHMARKS = [
    "bench_frame",
    "bench_conversions",
    "bench_subsample",
    "bench_resampling",
    "bench_io",
    "bench_axisform",
    "bench_store",
    "bench_enginezoom",
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
        module.main()


if __name__ == "__main__":
    main()
