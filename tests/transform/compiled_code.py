"""Running a launch's compiled sm_90 code through the kernel report's SASS executor on real
pixels, for the tests that check the GPU builds of kernels against the host device."""

import sys
from pathlib import Path

import cupy as cp
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import kernel_report  # noqa: E402
import sass_paths  # noqa: E402
from zemvara.transform.resampling import _sources  # noqa: E402

have_tools = kernel_report.have_tools


def prepared(call, which, tmp):
    """(launch, kernel, memory, argument values, constant bank) of the one launch `call()` makes
    whose expression contains `which`, not run: every array it is given copied into the
    executor's memory, pointers replaced by their addresses there."""
    (launch,) = kernel_report.capture(call, lambda e: which in e)
    kernel = kernel_report.compile_kernels(_sources.report_code(), [launch.expression], tmp)[0][launch.expression]
    memory, values, bases = sass_paths.Memory(), [], {}
    for arg in launch.args:
        if isinstance(arg, cp.ndarray):
            arg = arg.data
        if isinstance(arg, cp.cuda.MemoryPointer):
            if arg.mem.ptr not in bases:
                contents = kernel_report._contents(arg, arg.mem.size)
                bases[arg.mem.ptr] = memory.add("array", arg.mem.size, contents)
            values.append(bases[arg.mem.ptr] + arg.ptr - arg.mem.ptr)
        else:
            values.append(int(arg) if isinstance(arg, (bool, np.bool_)) else arg.item() if isinstance(arg, np.generic) else arg)
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], values), launch.grid, launch.block)
    return launch, kernel, memory, values, bank


def run_blocks(launch, kernel, memory, bank, blocks=None):
    """Runs `blocks` of the launch (all of them by default), each block's threads together."""
    gx, gy, gz = launch.grid
    every = [(x, y, z) for z in range(gz) for y in range(gy) for x in range(gx)]
    for block in every if blocks is None else blocks:
        sass_paths.block_counts(kernel["program"], memory, bank, launch.grid, launch.block, block, kernel["shared_end"])


def written(memory, base, size):
    """`size` bytes from `base` as the emulated launches left them."""
    return memory.read(base, size)


def written_mask(memory, base, size, itemsize):
    """Per element of `size` bytes from `base`: whether the emulated launch stored to all its bytes."""
    mask = np.zeros(size, bool)
    for address, data in memory.written.items():
        if base <= address < base + size:
            mask[address - base: address - base + len(data)] = True
    return mask.reshape(-1, itemsize).all(axis=1)
