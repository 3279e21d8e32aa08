"""Batch runs over folders of images: `zemvara run` and its Python API.

A pipeline reads each file with `picload` (`Load`), applies its steps in order
(`Resize`, `Warp`, `Upscale`, `Convert`, or any callable image -> image) and
writes the result with `picstore` (`Store`) under a temporary name that is
renamed when complete. `run` maps input files and folders to outputs and runs
the pipeline one file after another, overlapped in one process, or on a Dask
cluster; it returns a report of what was written, skipped and failed.

    from zemvara.pipeline import run
    report = run(["photos/"], "small/", steps="resize:640x480,convert:uint8", ext=".jpg")
"""

from .execution import Pipeline, process_file, run
from .paths import READABLE, Job, plan, reads_back
from .steps import Convert, Load, Resize, Store, Upscale, UsageError, Warp, parse_steps

__all__ = [
    "run", "Pipeline", "plan", "Job", "process_file", "reads_back", "READABLE",
    "Load", "Resize", "Warp", "Upscale", "Convert", "Store", "parse_steps", "UsageError", "tiled_upscale",
]


def __getattr__(name):
    # the tiling helper imports CuPy; the command line must not need it to report a usage error
    if name == "tiled_upscale":
        from .tiles import tiled_upscale

        return tiled_upscale
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
