"""What the resampling kernels cost on an H100, counted on the path each case executes, without a GPU.

Each case (filter, element type, channels, scale, rotation) is run through
the package's own entry point with its launches captured instead of run: the
kernel's name expression, grid, block and arguments, as the package would
launch them. Every kernel captured is compiled for sm_90 with nvcc (`make
kernel-report` installs nvcc and nvdisasm from PyPI into .venv-tools) and
its SASS executed thread by thread (kernelcheck/sass_paths.py) for a sample
of warps spread over the grid, with the case's real arguments, matrices and
weight tables. Kernels with barriers (__syncthreads) run whole blocks
instead: every thread of a sampled block runs to the barrier, then all go
on, so shared memory holds what the block wrote; at least 4 blocks and
--warps warps are sampled, every warp of them counted. An access outside the
arrays or outside the kernel's static shared memory stops the report with an
error, and so does a shared-memory race: a thread reading what another wrote
since the last barrier, or changing what another read or wrote since then.

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
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))  # kernelcheck: compiling, capturing and running the launches

from kernelcheck.compiled import capture, compile_kernels, have_tools  # noqa: E402,F401  (bench_resampling asks have_tools)
from kernelcheck.cost import H100, LAUNCH_US, emulate, launch_times, occupancy  # noqa: E402

H, W, C = 2160, 3840, 3
OUT_W, OUT_H = 1920, 1080


# ---- the cases ----------------------------------------------------------------------


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
    from zemvara.transform.resampling import pil
    from zemvara.transform.resampling.pil import resize_pil
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
    # uint8 in linear light beside the plain uint8 resize it is measured against.
    for light in (False, True):
        out.append((f"resize-{'linear-' if light else ''}lanczos3-u8",
                    f"resize lanczos3 u8 x3{', linear light' if light else ''}, 4K to {OUT_W}x{OUT_H}",
                    lambda light=light: resize(image(cp.uint8), (OUT_W, OUT_H), flags["lanczos3"], linear=light), 1,
                    False))  # fmt: skip
    out.append(("resize-pil-lanczos3-u8", f"resize_pil LANCZOS u8 x3, Pillow's bytes, 4K to {OUT_W}x{OUT_H}",
                lambda: resize_pil(image(cp.uint8), (OUT_W, OUT_H), pil.LANCZOS), 1, False))  # fmt: skip
    return out


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
    code = source if source is not None else _sources.report_code(_sources.SOURCES + (_sources.RESIZE_PIL,))
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
