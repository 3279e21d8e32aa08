"""What the resampling kernels cost on an H100, counted on the path each case executes, without a GPU.

Each case (filter, element type, channels, scale, rotation) is run through the
package's own entry point with its launches captured instead of run: the
kernel's name expression, grid, block and arguments, as the package would
launch them. Every kernel captured is compiled for sm_90 with nvcc (`make
kernel-report` installs nvcc and nvdisasm from PyPI into .venv-tools) and its
SASS executed thread by thread (sass_paths.py) for a sample of warps spread
over the grid, with the case's real arguments, matrices and weight tables.
Kernels with barriers (__syncthreads) run whole blocks instead: every thread
of a sampled block runs to the barrier, then all go on, so shared memory
holds what the block wrote; at least 4 blocks and --warps warps are sampled,
every warp of them counted. An access outside the arrays or outside the
kernel's static shared memory stops the report with an error, and so does a
shared-memory race: a thread reading what another wrote since the last
barrier, or changing what another read or wrote since then.

Per case the report prints:
  instr/px    SASS instructions issued per output pixel, as thread slots: a
              warp's issues (lanes executing the same instruction the same
              time share one) x 32 / the pixels it writes; set-up, every loop
              as many times as it runs, predicated-off instructions included
  sect/req    32-byte sectors a warp-wide global load touches, on average
  regs        registers per thread (one figure per launch)
  smem B      static shared memory per block, bytes (one figure per launch)
  wf/req      shared-memory wavefronts (bank cycles) a warp-wide shared load
              or store costs, on average ("-": no shared accesses)
  occ         the occupancy registers and shared memory allow (warps
              resident per SM / 64, blocks whole)
  issue, mem, L1
              the three times of the model below, in microseconds
  est, copy, bound
              the estimate, a device copy of the output, the memory bound

The model (H100 SXM, each launch on its own, then summed):
  issue   = warp instructions / (132 SMs x 4 schedulers x 1.755 GHz)
  memory  = bytes / 3.35 TB/s, each array a launch reads counted once and
            each array it writes once (caches catching all reuse)
  L1      = (sectors of global loads and stores / 4 + shared wavefronts)
            / (132 SMs x 1.755 GHz): L1 and shared memory are one array
            serving 128 bytes a clock per SM: four 32-byte sectors, or one
            shared wavefront
  shared wavefronts: a warp-wide access of up to 4 bytes a lane is one
            phase of 32 lanes, 8 bytes two phases of 16 lanes, 16 bytes four
            phases of 8 lanes; a phase costs the most distinct 4-byte words
            any one of the 32 banks (4 bytes wide) must serve, lanes reading
            the same word sharing it
  launch  = max(issue, memory, L1) + 3 us
  estimate = the sum over the case's launches (affine_transform's output is
             filled with zeros first: one more launch writing the output)
  copy    = a device-to-device copy of the output: read + write, one launch
  bound   = the source read once and the output written once, one launch
  occupancy: per SM 64 warps, 32 blocks, 65536 registers and 228 KB of
            shared memory, each block taking its static shared bytes + 1 KB
            reserved (227 KB at most a block)
Latency is not modelled: occupancy is printed beside the estimate, not in it;
a barrier costs its issue slot, not the wait for the block's slowest warp.

`build/kernel-report.json` holds one record per case (the fields above, by
name: shared_bytes per launch, shared_wavefronts_per_request and
shared_wavefronts_per_pixel among them) and the per-launch figures (shared
requests and wavefronts, barriers, warps and blocks sampled).

    python bench/kernel_report.py [--source FILE] [--cases WORD] [--warps N] [--specialisations]

Run it with the package's own Python on the host device. `--source` compiles
another copy of the kernel sources (resampling source + warp source, as one
file) instead of the package's; `--specialisations` also lists the registers,
local and shared memory of every specialisation the package can launch.
"""

import argparse
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / ".venv-tools"
sys.path.insert(0, str(Path(__file__).resolve().parent))

import sass_paths  # noqa: E402

H100 = dict(sms=132, schedulers=4, clock=1.755e9, bandwidth=3.35e12, l1_sectors=4, max_warps=64, registers=65536,
            max_blocks=32, shared=228 * 1024, shared_reserved=1024, shared_per_block=227 * 1024)  # fmt: skip
LAUNCH_US = 3.0
H, W, C = 2160, 3840, 3
OUT_W, OUT_H = 1920, 1080


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
        program = sass_paths.Program(instructions, labels, sections.get(f".nv.constant2.{m_name}", b""))
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


# Enumerators passed as int template arguments demangle as their values.
_CODES = {"U8": 0, "U16": 1, "F16": 2, "F32": 3, "ALONG_Y": 0, "ALONG_X": 1, "ALONG_PACKED_X": 2, "ALONG_VALUES_X": 3, "ROWS_Y": 4}


def _normalise(expression):
    text = re.sub(r"\s+", "", expression)
    return re.sub(r"zemvara::(U8|U16|F16|F32|ALONG_Y|ALONG_X|ALONG_PACKED_X|ALONG_VALUES_X|ROWS_Y)\b", lambda m: str(_CODES[m.group(1)]), text)


# ---- capturing the launches of a case ----------------------------------------------


class Launch:
    def __init__(self, expression, grid, block, args):
        self.expression = expression
        self.grid = tuple(int(v) for v in tuple(grid) + (1,) * (3 - len(grid)))
        self.block = tuple(int(v) for v in tuple(block) + (1,) * (3 - len(block)))
        self.args = args


def capture(call, record=lambda expression: True):
    """The launches `call()` makes through the kernel sources' `function` look-ups; those
    whose expression `record` accepts are recorded, not run (others run)."""
    from zemvara.transform import resize
    from zemvara.transform.resampling import _sources

    launches = []
    real = _sources.KernelSource.function

    def function(source, expression):
        if not record(expression):
            return real(source, expression)

        def launch(grid, block, args, *rest, **kw):
            launches.append(Launch(expression, grid, block, tuple(args)))

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


def rotation(angle_deg, h, w):
    """A forward 2 x 3 matrix rotating about the image centre."""
    import numpy as np

    a = math.radians(angle_deg)
    c, s = math.cos(a), math.sin(a)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    return np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy]], dtype=np.float64)


def cases():
    """[(name, description, call, element bytes of the output, fill)]: the cases of the report."""
    import cupy as cp

    from zemvara.transform import schema, warp
    from zemvara.transform.affine import affine_transform
    from zemvara.transform.resize import resize

    images = {}

    def image(dtype):
        if dtype not in images:
            images[dtype] = cp.zeros((H, W, C), dtype=dtype)
        return images[dtype]

    m = rotation(10.0, H, W)
    flags = {"nearest": schema.INTER_NEAREST, "bilinear": schema.INTER_LINEAR, "keys": schema.INTER_CUBIC,
             "lanczos3": schema.INTER_LANCZOS3, "area": schema.INTER_AREA}  # fmt: skip
    dtypes = {"f32": cp.float32, "u8": cp.uint8}
    out = []
    for name in ("nearest-f32", "bilinear-f32", "bilinear-u8", "keys-f32", "keys-u8", "lanczos3-f32"):
        f, t = name.split("-")
        out.append((f"affine-{name}", f"affine_transform {f} {t} x3, 10 deg rotation, 4K",
                    lambda f=f, t=t: affine_transform(image(dtypes[t]), m, (H, W), flags[f]), 4, True))  # fmt: skip
    for name in ("bilinear-f32", "bilinear-u8", "keys-u8", "lanczos3-f32"):
        f, t = name.split("-")
        out.append((f"warp-{name}", f"warp_affine {f} {t} x3, 10 deg rotation, 4K",
                    lambda f=f, t=t: warp.warp_affine(image(dtypes[t]), m, (W, H), flags[f]),
                    cp.dtype(dtypes[t]).itemsize, False))  # fmt: skip
    for f in ("lanczos3", "area"):
        out.append((f"resize-{f}-f32", f"resize {f} f32 x3, 4K to {OUT_W}x{OUT_H}",
                    lambda f=f: resize(image(cp.float32), (OUT_W, OUT_H), flags[f]), 4, False))  # fmt: skip
    return out


# ---- emulating a launch -------------------------------------------------------------


def _allocation(arg):
    """(allocation pointer, allocation size, pointer) of a CuPy array or memory pointer, else None."""
    import cupy as cp

    if isinstance(arg, cp.ndarray):
        arg = arg.data
    if isinstance(arg, cp.cuda.MemoryPointer):
        return arg.mem.ptr, arg.mem.size, arg.ptr, arg
    return None


def _contents(pointer, size):
    import cupy as cp

    base = cp.cuda.MemoryPointer(pointer.mem, 0)
    return cp.ndarray((size,), dtype=cp.uint8, memptr=base).get().tobytes()


SMALL = 8 << 20  # arrays up to this size are copied into the emulated memory; larger ones read as zeros


def emulate(launch, kernel, warps):
    """Figures of one launch: warp instructions, load requests and sectors, store sectors, bytes."""
    import numpy as np

    memory = sass_paths.Memory()
    bases, values, read_write = {}, [], {}
    for arg in launch.args:
        a = _allocation(arg)
        if a is None:
            values.append(arg.item() if isinstance(arg, np.generic) else arg)
            continue
        alloc, size, ptr, pointer = a
        if alloc not in bases:
            data = _contents(pointer, size) if size <= SMALL else None
            bases[alloc] = (memory.add(f"array at {alloc:#x}", size, data), size)
        values.append(bases[alloc][0] + (ptr - alloc))
    values = [int(v) if isinstance(v, (bool, np.bool_)) else v for v in values]
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], values), launch.grid, launch.block)
    gx, gy, gz = launch.grid
    bx, by, bz = launch.block
    warps_per_block = -(-bx * by * bz // 32)
    total_warps = gx * gy * gz * warps_per_block
    program, shared_end = kernel["program"], kernel["shared_end"]
    # Sample warps stratified over the grid: one block drawn at random in each cell of a
    # side x rows partition of it (a fixed seed), one of its warps drawn at random. Kernels
    # with barriers run whole blocks: at least 4, and at least `warps` warps in all.
    blocks = max(4, -(-warps // warps_per_block)) if program.barriers else warps
    rng = random.Random(1)
    side = max(1, int(math.sqrt(blocks)))
    rows = max(1, blocks // side)
    picks = []
    for i in range(side):
        for j in range(rows):
            block_idx = (min(gx - 1, int((i + rng.random()) * gx / side)), min(gy - 1, int((j + rng.random()) * gy / rows)),
                         rng.randrange(gz))  # fmt: skip
            picks.append((block_idx, None if program.barriers else rng.randrange(warps_per_block)))
    issued = loads = load_sectors = store_sectors = shared_requests = shared_wavefronts = 0
    counts = []
    sampled = []
    for block_idx, w in picks:
        if w is None:
            sampled += sass_paths.block_counts(program, memory, bank, launch.grid, launch.block, block_idx, shared_end)
        else:
            sampled.append(sass_paths.warp_counts(program, memory, bank, launch.grid, launch.block, block_idx, w,
                                                  shared_end))  # fmt: skip
    for n, sectors, shared, threads in sampled:
        issued += n
        counts += [t.count for t in threads]
        for kind, s in sectors:
            if kind == "load":
                loads += 1
                load_sectors += s
            else:
                store_sectors += s
        shared_requests += len(shared)
        shared_wavefronts += sum(f for _, f in shared)
    scale = total_warps / len(sampled)
    return dict(
        warp_instructions=issued * scale,
        load_requests=loads * scale,
        load_sectors=load_sectors * scale,
        store_sectors=store_sectors * scale,
        shared_requests=shared_requests * scale,
        shared_wavefronts=shared_wavefronts * scale,
        thread_counts=(min(counts), max(counts)) if counts else (0, 0),
        bytes_read=sum(memory.size(b) for b in memory.read_from),
        bytes_written=sum(memory.size(b) for b in memory.written_to),
        warps=len(sampled),
        blocks=len(picks) if program.barriers else 0,
    )


def occupancy(registers, threads, shared=0):
    """Warps resident per SM / 64, whole blocks, registers allocated per warp in units of 256,
    shared memory per block with its reserved 1 KB."""
    per_warp = -(-registers * 32 // 256) * 256
    warps_per_block = -(-threads // 32)
    if shared > H100["shared_per_block"]:
        raise ValueError(f"{shared} bytes of shared memory per block: more than the {H100['shared_per_block']} a block may have")
    blocks = min(H100["max_blocks"], H100["max_warps"] // warps_per_block,
                 H100["registers"] // (per_warp * warps_per_block) if per_warp else 99,
                 H100["shared"] // (shared + H100["shared_reserved"]))  # fmt: skip
    return blocks * warps_per_block / H100["max_warps"]


# ---- the model ------------------------------------------------------------------------


def launch_times(figures):
    """(issue, memory, L1) in microseconds of one launch's figures."""
    issue = figures["warp_instructions"] / (H100["sms"] * H100["schedulers"] * H100["clock"]) * 1e6
    memory = (figures["bytes_read"] + figures["bytes_written"]) / H100["bandwidth"] * 1e6
    cycles = (figures["load_sectors"] + figures["store_sectors"]) / H100["l1_sectors"] + figures["shared_wavefronts"]
    l1 = cycles / (H100["sms"] * H100["clock"]) * 1e6
    return issue, memory, l1


def measure(source=None, only="", warps=16):
    """Records of every case (see the module's docstring), and the SASS listing compiled."""
    import cupy as cp

    from zemvara.transform.resampling import _sources

    weights = lambda e: "resize_weights" not in e  # noqa: E731  (weight tables: kept after the first call)
    plans = []
    for name, description, call, itemsize, fill in cases():
        if only not in name:
            continue
        capture(call, weights)  # fills the weight tables that later calls keep
        cp.cuda.Device().synchronize()
        plans.append((name, description, capture(call, weights), itemsize, fill))
    expressions = list(dict.fromkeys(l.expression for p in plans for l in p[2]))
    code = source if source is not None else _sources.report_code()
    with tempfile.TemporaryDirectory() as workdir:
        kernels, listing = compile_kernels(code, expressions, workdir)
    records = []
    for name, description, launches, itemsize, fill in plans:
        out_pixels = (OUT_W * OUT_H) if name.startswith("resize") else H * W
        out_bytes = out_pixels * C * itemsize
        src_bytes = H * W * C * (1 if name.endswith("u8") else 4)
        per_launch, estimate, slots = [], 0.0, 0.0
        if fill:  # the output's zeros
            memory = out_bytes / H100["bandwidth"] * 1e6
            per_launch.append(dict(kernel="fill with zeros", issue_us=0.0, memory_us=memory, l1_us=0.0,
                                   time_us=memory + LAUNCH_US))  # fmt: skip
            estimate += memory + LAUNCH_US
        requests = sectors = shared_requests = shared_wavefronts = 0.0
        for launch in launches:
            kernel = kernels[launch.expression]
            fig = emulate(launch, kernel, warps)
            issue, memory, l1 = launch_times(fig)
            time = max(issue, memory, l1) + LAUNCH_US
            estimate += time
            slots += fig["warp_instructions"] * 32
            requests += fig["load_requests"]
            sectors += fig["load_sectors"]
            shared_requests += fig["shared_requests"]
            shared_wavefronts += fig["shared_wavefronts"]
            threads = launch.block[0] * launch.block[1] * launch.block[2]
            per_launch.append(dict(
                kernel=launch.expression, grid=launch.grid, block=launch.block, registers=kernel["registers"],
                local_bytes=kernel["local"], shared_bytes=kernel["shared"], barriers=kernel["program"].barriers,
                occupancy=occupancy(kernel["registers"], threads, kernel["shared"]),
                instructions_per_pixel=fig["warp_instructions"] * 32 / out_pixels,
                thread_instructions=fig["thread_counts"],
                sectors_per_request=fig["load_sectors"] / fig["load_requests"] if fig["load_requests"] else 0.0,
                shared_requests=fig["shared_requests"], shared_wavefronts=fig["shared_wavefronts"],
                wavefronts_per_request=fig["shared_wavefronts"] / fig["shared_requests"] if fig["shared_requests"] else 0.0,
                bytes_read=fig["bytes_read"], bytes_written=fig["bytes_written"],
                issue_us=issue, memory_us=memory, l1_us=l1, time_us=time, sampled_warps=fig["warps"],
                sampled_blocks=fig["blocks"],
            ))  # fmt: skip
        kernel_launches = [p for p in per_launch if "grid" in p]
        records.append(dict(
            case=name, description=description,
            kernel=" + ".join(p["kernel"] for p in kernel_launches),
            instructions_per_pixel=slots / out_pixels,
            sectors_per_request=sectors / requests if requests else 0.0,
            registers=[p["registers"] for p in kernel_launches],
            shared_bytes=[p["shared_bytes"] for p in kernel_launches],
            shared_wavefronts_per_request=shared_wavefronts / shared_requests if shared_requests else 0.0,
            shared_wavefronts_per_pixel=shared_wavefronts / out_pixels,
            occupancy=min(p["occupancy"] for p in kernel_launches),
            estimate_us=estimate,
            copy_us=2 * out_bytes / H100["bandwidth"] * 1e6 + LAUNCH_US,
            bound_us=(src_bytes + out_bytes) / H100["bandwidth"] * 1e6 + LAUNCH_US,
            launches=per_launch,
        ))  # fmt: skip
    return records, listing


def print_records(records):
    from timing import table

    rows = []
    for r in records:
        ks = [p for p in r["launches"] if "grid" in p]
        issue = sum(p["issue_us"] for p in ks)
        memory = sum(p["memory_us"] for p in r["launches"])
        l1 = sum(p["l1_us"] for p in ks)
        rows.append([r["case"], f"{r['instructions_per_pixel']:.0f}", f"{r['sectors_per_request']:.1f}",
                     "/".join(str(x) for x in r["registers"]), "/".join(str(x) for x in r["shared_bytes"]),
                     f"{r['shared_wavefronts_per_request']:.1f}" if r["shared_wavefronts_per_request"] else "-",
                     f"{r['occupancy']:.2f}",
                     f"{issue:.0f}", f"{memory:.0f}", f"{l1:.0f}", f"{r['estimate_us']:.0f}", f"{r['copy_us']:.0f}",
                     f"{r['bound_us']:.0f}", f"{r['estimate_us'] / r['copy_us']:.2f}",
                     f"{r['estimate_us'] / r['bound_us']:.2f}"])  # fmt: skip
    table("Resampling kernels on the executed path, sm_90 (nvcc -O3), estimated for an H100 SXM "
          "(model: python bench/kernel_report.py --help)",
          ["case", "instr/px", "sect/req", "regs", "smem B", "wf/req", "occ", "issue us", "mem us", "L1 us", "est us", "copy us",
           "bound us", "est/copy", "est/bound"], rows)  # fmt: skip


def specialisations(source=None):
    """Registers, local and shared memory of every specialisation the package can launch."""
    from timing import table
    from zemvara.transform.resampling import _sources

    code = source if source is not None else _sources.report_code()
    expressions = [e for s in _sources.SOURCES for e in _sources.all_expressions(s)]
    with tempfile.TemporaryDirectory() as workdir:
        kernels, _ = compile_kernels(code, expressions, workdir)
    table("Every specialisation, sm_90: registers per thread, local memory (stack + spills, bytes), "
          "static shared memory per block (bytes)",
          ["kernel", "registers", "local B", "shared B"],
          [[e, str(k["registers"]), str(k["local"]), str(k["shared"])] for e, k in kernels.items()])  # fmt: skip


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)  # fmt: skip
    parser.add_argument("--source", help="a kernel source file to report instead of the package's")
    parser.add_argument("--cases", default="", help="only the cases whose name contains this text")
    parser.add_argument("--warps", type=int, default=16, help="warps sampled per launch (default 16)")
    parser.add_argument("--specialisations", action="store_true", help="also list every specialisation")
    parser.add_argument("--json", default=str(ROOT / "build" / "kernel-report.json"), help="where the records go")
    args = parser.parse_args(argv)
    source = Path(args.source).read_text() if args.source else None
    records, _ = measure(source, args.cases, args.warps)
    print_records(records)
    path = Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(records, indent=1) + "\n")
    print(f"(records in {path})")
    if args.specialisations:
        print()
        specialisations(source)


if __name__ == "__main__":
    main()
