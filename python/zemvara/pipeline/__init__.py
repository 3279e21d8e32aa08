"""Batch runs over folders of images: `zemvara run` and its Python API.

A pipeline reads each file at its own element type and channels, upright
(`Load`, `zemvara.pipeline.reading`), applies its steps in order (`Resize`, `Fit`, `Warp`, `Upscale`,
`Convert`, or any callable image -> image; the image is converted around
each step as its `Contract` says) and writes the result with `picstore`
(`Store`), which writes the file whole or not at all. `run` maps input files
and folders to outputs and runs the pipeline one file after another,
overlapped in one process, or on a Dask cluster; it returns a report of what
was written, skipped and failed.

    from zemvara.pipeline import run
    report = run(["photos/"], "small/", steps="fit:640x640", ext=".jpg")
"""

from .execution import Interrupted, Pipeline, run
from .paths import READABLE, Job, plan, reads_back
from .steps import KEPT, STEPS, Contract, Convert, Fit, Load, Resize, Store, Upscale, UsageError, Warp, parse_steps
from .work import process_file

__all__ = [
    "run", "Pipeline", "Interrupted", "plan", "Job", "process_file", "reads_back", "READABLE",
    "Load", "Resize", "Fit", "Warp", "Upscale", "Convert", "Store", "STEPS", "parse_steps", "UsageError",
    "Contract", "KEPT", "tiled_upscale",
]


def __getattr__(name):
    # the tiling helper imports CuPy; the command line must not need it to report a usage error
    if name == "tiled_upscale":
        from .engine_tiles import tiled_upscale

        return tiled_upscale
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
