"""Kernel sources compiled for sm_90 and the launches a call makes, ready for the SASS executor.

`compile_kernels` builds name expressions of a source with nvcc from .venv-tools
(`make test` and `make kernel-report` install nvcc and nvdisasm from PyPI there)
into `sass_paths.Program`s; `capture` records the launches a call makes through the
kernel sources' `function` look-ups instead of running them; `load` copies a
launch's arrays into the executor's memory. `prepared`, `run_blocks`, `written` and
`written_mask` run one captured launch on real pixels, for the tests that check the
GPU builds of kernels against the host device.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

from kernelcheck import sass_paths

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / ".venv-tools"
KERNEL_SOURCES = ROOT / "python" / "zemvara" / "transform" / "resampling"


def nvidia_bin():
    """The bin folder of the nvcc wheel in the tools venv, or None."""
    for path in TOOLS.glob("lib/python*/site-packages/nvidia/cu*/bin"):
        if (path / "nvcc").exists() and (path / "nvdisasm").exists():
            return path
    return None


def have_tools():
    return nvidia_bin() is not None


# ---- compiling -------------------------------------------------------------------


def compile_kernels(source, expressions, workdir):
    """{expression: kernel info} for name expressions of `source`, compiled for sm_90.

    Kernel info: mangled name, C parameter types, registers, local bytes
    (stack + spills), static shared bytes (and the end of its shared window),
    its sass_paths.Program.
    """
    bin_dir = nvidia_bin()
    if bin_dir is None:
        sys.exit("kernel_report: no nvcc and nvdisasm in .venv-tools (make kernel-report installs them)")
    unit = Path(workdir) / "kernels.cu"
    refs = ",\n    ".join(f"(const void *)&{e}" for e in expressions)
    unit.write_text(f"{source}\n\nconst void *zemvara_report_kernels[] = {{\n    {refs}\n}};\n")
    cubin = Path(workdir) / "kernels.cubin"
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ.get('PATH', '')}")
    result = subprocess.run(
        [str(bin_dir / "nvcc"), "-cubin", "-arch=sm_90", "-O3", "--std=c++17", "-Xptxas=-v", "-o", str(cubin), str(unit)],
        capture_output=True, text=True, env=env,
    )  # fmt: skip
    if result.returncode:
        sys.exit(f"kernel_report: nvcc failed\n{result.stderr}")
    usage, name, properties = {}, None, None
    for line in result.stderr.splitlines():
        m = re.search(r"Compiling entry function '(\w+)'", line)
        if m:
            name = m.group(1)
            usage[name] = dict(registers=0, local=0, shared=0)
        m = re.search(r"Function properties for (\w+)", line)
        if m:
            properties = m.group(1)
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and name and properties == name:
            usage[name]["local"] = sum(map(int, m.groups()))
        m = re.search(r"Used (\d+) registers", line)
        if m and name:
            usage[name]["registers"] = int(m.group(1))
            m = re.search(r"(\d+) bytes smem", line)
            usage[name]["shared"] = int(m.group(1)) if m else 0
    sass = subprocess.run([str(bin_dir / "nvdisasm"), "-c", str(cubin)], capture_output=True, text=True, env=env)
    if sass.returncode:
        sys.exit(f"kernel_report: nvdisasm failed\n{sass.stderr}")
    listing = sass_paths.parse_listing(sass.stdout)
    sections = sass_paths.elf_sections(cubin.read_bytes())
    sizes = sass_paths.elf_section_sizes(cubin.read_bytes())
    module_globals = sass_paths.elf_globals(cubin.read_bytes())
    mangled = list(usage)
    demangled = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True).stdout.split("\n")
    out = {}
    by_text = {}
    for m_name, text in zip(mangled, demangled):
        head, _, params = text.partition("(")
        by_text[re.sub(r"^void|\s+", "", head)] = (m_name, _split_types(params.rsplit(")", 1)[0]))
    for expression in expressions:
        m_name, types = by_text[_normalise(expression)]
        instructions, labels = listing[m_name]
        program = sass_paths.Program(instructions, labels, sections.get(f".nv.constant2.{m_name}", b""), module_globals)
        # Static shared memory: the cubin's section spans the reserved 1 KB and the kernel's arrays.
        shared_end = sizes.get(f".nv.shared.{m_name}", 0)
        usage[m_name]["shared"] = max(0, shared_end - sass_paths.SHARED_BASE)
        out[expression] = dict(mangled=m_name, types=types, program=program, shared_end=shared_end, **usage[m_name])
    return out, sass.stdout


def _split_types(text):
    parts, depth, word = [], 0, ""
    for ch in text:
        depth += ch == "<"
        depth -= ch == ">"
        if ch == "," and depth == 0:
            parts.append(word.strip())
            word = ""
        else:
            word += ch
    return parts + [word.strip()] if word.strip() else parts


def enum(name, first):
    """{enumerator: value} of the enum in the kernel source `name` whose first enumerator is `first`."""
    body = re.search(r"enum\s*\{\s*(" + first + r"\b[^}]*)\}", (KERNEL_SOURCES / name).read_text())[1]
    values, value = {}, -1
    for item in (i.strip() for i in body.split(",") if i.strip()):
        enumerator, _, given = item.partition("=")
        value = int(given) if given.strip() else value + 1
        values[enumerator.strip()] = value
    return values


# Enumerators passed as int template arguments demangle as their values: the element
# codes and the resize passes' axes.
_CODES = {**enum("_filters.cuh", "U8"), **enum("_resize.cu", "ALONG_Y")}


def _normalise(expression):
    from zemvara.transform.resampling import light  # the sRGB element code, generated with its tables

    codes = {**_CODES, **{k: int(v) for k, v in re.findall(r"enum \{ (\w+) = (\d+) \}", light.KERNEL_CODE)}}
    text = re.sub(r"\s+", "", expression)
    return re.sub(rf"zemvara::({'|'.join(codes)})\b", lambda m: str(codes[m.group(1)]), text)


# ---- capturing the launches of a call ----------------------------------------------


class Launch:
    def __init__(self, expression, grid, block, args):
        self.expression = expression
        self.grid = tuple(int(v) for v in tuple(grid) + (1,) * (3 - len(grid)))
        self.block = tuple(int(v) for v in tuple(block) + (1,) * (3 - len(block)))
        self.args = args


def capture(call, record=lambda expression: True, run=False):
    """The launches `call()` makes through the kernel sources' `function` look-ups; those
    whose expression `record` accepts are recorded, and not run unless `run` (others run)."""
    from zemvara.transform import resize
    from zemvara.transform.resampling import _sources

    launches = []
    real = _sources.KernelSource.function

    def function(source, expression):
        if not record(expression):
            return real(source, expression)

        kernel = real(source, expression) if run else None

        def launch(grid, block, args, *rest, **kw):
            launches.append(Launch(expression, grid, block, tuple(args)))
            if kernel is not None:
                kernel(grid, block, args, *rest, **kw)

        return launch

    kept = getattr(resize, "_plans", None)  # resize keeps the passes it looked up
    saved = dict(kept or {})
    _sources.KernelSource.function = function
    try:
        if kept is not None:
            kept.clear()
        call()
    finally:
        _sources.KernelSource.function = real
        if kept is not None:
            kept.clear()
            kept.update(saved)
    return launches


# ---- a launch in the executor's memory ----------------------------------------------


def _contents(pointer, size):
    import cupy as cp

    base = cp.cuda.MemoryPointer(pointer.mem, 0)
    return cp.ndarray((size,), dtype=cp.uint8, memptr=base).get().tobytes()


def load(args, limit=None):
    """(memory, argument values) of a launch's arguments: each allocation an array or memory
    pointer lies in copied once into a new sass_paths.Memory (those over `limit` bytes left as
    zeros), pointers replaced by their addresses there, NumPy scalars and bools by numbers."""
    import cupy as cp

    memory, bases, values = sass_paths.Memory(), {}, []
    for arg in args:
        if isinstance(arg, cp.ndarray):
            arg = arg.data
        if isinstance(arg, cp.cuda.MemoryPointer):
            alloc, size = arg.mem.ptr, arg.mem.size
            if alloc not in bases:
                data = _contents(arg, size) if limit is None or size <= limit else None
                bases[alloc] = memory.add(f"array at {alloc:#x}", size, data)
            values.append(bases[alloc] + arg.ptr - alloc)
        else:
            value = arg.item() if isinstance(arg, np.generic) else arg
            values.append(int(value) if isinstance(value, bool) else value)
    return memory, values


def prepared(call, which, tmp):
    """(launch, kernel, memory, argument values, constant bank) of the one launch `call()` makes
    whose expression contains `which`, not run: every array it is given copied into the
    executor's memory, pointers replaced by their addresses there."""
    from zemvara.transform.resampling import _sources

    (launch,) = capture(call, lambda e: which in e)
    kernel = compile_kernels(_sources.report_code(), [launch.expression], tmp)[0][launch.expression]
    memory, values = load(launch.args)
    sass_paths.place_globals(kernel["program"], memory)
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
