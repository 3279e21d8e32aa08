"""Resampling kernels: the largest difference to each library per filter, and speed.

On every device: each filter against the libraries that implement it (OpenCV's
warpAffine and resize, Pillow's resize), as the largest absolute difference on
images of values 0..1; then `resize` 4K -> 1080p next to `cv2.resize` on the
CPU, for orientation.

On the host device: `resize` against Pillow's `Image.resize` in mode F, CPU
against CPU, one thread each: a 2048 x 2048 x 3 float32 image reduced by 2, 4,
8 and 16 with Lanczos-3 and area, in nanoseconds per output pixel (Pillow
resizes the three channels as three mode-F images; the host device runs one
thread for it); then uint8 against Pillow's mode RGB, the same reductions and
a 1024 x 1024 image enlarged by 2 (bicubic, Lanczos-3). Both sides are timed
in CPU time of the calling thread, which runs them both.

The host time of a repeated `resize` call (its launches made no-ops, its
allocations made beforehand). With nvcc at hand (.venv-tools, `make
kernel-report`): the kernel report, instructions on the executed path and an
H100 estimate per case (kernel_report.py states the model).

On a GPU (ZEMVARA_DEVICE=gpu) also: 4K warps (a slight rotation, no reduction)
in megapixels per second for bilinear, bicubic and Lanczos-4, uint8 and
float32 sources, next to cupyx.scipy.ndimage.affine_transform (order 1 and 3,
no spline prefilter, over the three channels) and torch grid_sample (bilinear
and bicubic, its sampling grid made beforehand); the bilinear warp's effective
bandwidth against a device-to-device copy of the output's bytes; and `resize`
4K -> 1080p (Lanczos-3 and area) in megapixels per second and as a multiple of
a device copy of its output.
"""

import os
import time
from pathlib import Path

import cupy as cp
import cv2
import numpy as np

from timing import best_of, gpu_seconds, table
from zemvara.transform import schema
from zemvara.transform.resampling import _affine, _sources, filters
from zemvara.transform.resize import resize


def pattern(h, w):
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    r = np.hypot(x - w / 2, y - h / 2)
    square = ((abs(x - w / 3) < w / 6) & (abs(y - h / 2) < h / 4)) * 1.0
    return np.stack([x / w, 0.5 + 0.5 * np.sin(r / 2.5), square], axis=2).astype(np.float32)


def inverse(scale=1.0, angle=0.0, shift=(0.0, 0.0)):
    c, s = np.cos(angle) * scale, np.sin(angle) * scale
    return np.array([[c, -s, shift[0]], [s, c, shift[1]]], dtype=np.float32)


def warp_call(name):
    """(kernel, extra arguments) of a filter, from its row in the table."""
    return _affine.affine_call(filters.BY_NAME[name].inter)


def launch(name, src, inv_flat, dsize):
    kernel, extra = warp_call(name)
    out = cp.zeros((*dsize, 3), dtype=cp.float32)
    grid = ((dsize[1] + 15) // 16, (dsize[0] + 15) // 16)
    kernel(grid, (16, 16, 1), (src, out, inv_flat, src.shape[0], src.shape[1], dsize[0], dsize[1]) + extra)
    return out


def warp(name, src, inv, dsize):
    return cp.asnumpy(launch(name, cp.asarray(src), cp.asarray(inv.ravel()), dsize))


def oracle_differences():
    from PIL import Image

    rows = []
    src = pattern(48, 56)
    rotate = inverse(scale=0.9, angle=0.5, shift=(14.0, -8.0))
    cv_flags = {"nearest": cv2.INTER_NEAREST, "bilinear": cv2.INTER_LINEAR, "bicubic": cv2.INTER_CUBIC,
                "lanczos4": cv2.INTER_LANCZOS4}  # fmt: skip
    for name, flag in cv_flags.items():
        want = cv2.warpAffine(src, rotate, (60, 52), flags=flag | cv2.WARP_INVERSE_MAP, borderMode=cv2.BORDER_CONSTANT)
        rows.append([name, "cv2.warpAffine, rotation", f"{np.abs(warp(name, src, rotate, (52, 60)) - want).max():.2e}"])

    grey = pattern(60, 60)[:, :, 1]
    for name, pil, factor in [("catmull_rom", Image.Resampling.BICUBIC, 2.5), ("lanczos3", Image.Resampling.LANCZOS, 2.5),
                              ("area", Image.Resampling.BOX, 3.0)]:  # fmt: skip
        size = int(60 / factor)
        inv = inverse(scale=factor, shift=(0.5 * factor - 0.5,) * 2)
        got = warp(name, grey, inv, (size, size))[4:-4, 4:-4, 0]
        want = np.asarray(Image.fromarray(grey, mode="F").resize((size, size), pil))[4:-4, 4:-4]
        rows.append([name, f"Pillow resize 1/{factor:g}, interior", f"{np.abs(got - want).max():.2e}"])
    got = warp("area", src, inverse(scale=2, shift=(0.5, 0.5)), (24, 28))
    want = cv2.resize(src, (28, 24), interpolation=cv2.INTER_AREA)
    rows.append(["area", "cv2.resize INTER_AREA 1/2", f"{np.abs(got - want).max():.2e}"])

    small = pattern(20, 24)
    for flag, cv_flag, label in [(schema.INTER_LINEAR, cv2.INTER_LINEAR, "bilinear"), (schema.INTER_CUBIC, cv2.INTER_CUBIC, "bicubic"),
                                 (schema.INTER_LANCZOS4, cv2.INTER_LANCZOS4, "lanczos4")]:  # fmt: skip
        got = cp.asnumpy(resize(cp.asarray(small), (50, 45), flag))
        want = cv2.resize(small, (50, 45), interpolation=cv_flag)
        rows.append([f"resize {label}", "cv2.resize x2.1", f"{np.abs(got - want).max():.2e}"])
    table("Largest absolute difference to each library (values 0..1)", ["filter", "oracle", "max |diff|"], rows)


def resize_orientation():
    rng = np.random.default_rng(0)
    host = (rng.random((2160, 3840, 3)) * 255).astype(np.uint8)
    rows = []
    for dtype in (np.uint8, np.float32):
        h = host.astype(dtype)
        d = cp.asarray(h)

        def ours():
            resize(d, (1920, 1080))
            cp.cuda.Device().synchronize()

        ours()
        mine = best_of(ours, repeat=3)
        theirs = best_of(lambda: cv2.resize(h, (1920, 1080), interpolation=cv2.INTER_AREA), repeat=3)
        rows.append([np.dtype(dtype).name, f"{mine * 1e3:.1f}", f"{theirs * 1e3:.1f}"])
    device = os.environ.get("ZEMVARA_DEVICE", "host")
    table(f"resize 4K -> 1080p, 3 channels, area (INTER_AUTO); ours on the {device} device, OpenCV on the CPU",
          ["dtype", "zemvara ms", "cv2.resize ms"], rows)  # fmt: skip


def thread_best_of(fn, repeat=3):
    """Best CPU time of `fn` on the calling thread, in seconds: both sides of a CPU-against-CPU
    comparison run on one thread, and its CPU time leaves out the time other processes take it off
    the core."""
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def against_pillow(resize_fn=resize, factors=(2, 4, 8, 16), repeat=3):
    """Rows (filter, factor, ours ns, Pillow ns, ratio) per output pixel, CPU against CPU, one thread each."""

    threads = os.environ.get("HOSTDEVICE_THREADS")
    os.environ["HOSTDEVICE_THREADS"] = "1"  # the host device reads it at every launch
    try:
        return _against_pillow(resize_fn, factors, repeat)
    finally:
        if threads is None:
            del os.environ["HOSTDEVICE_THREADS"]
        else:
            os.environ["HOSTDEVICE_THREADS"] = threads


def _against_pillow(resize_fn, factors, repeat):
    from PIL import Image

    import zemvara.transform.resize as resize_module

    rng = np.random.default_rng(1)
    image = rng.random((2048, 2048, 3), dtype=np.float32)
    device_image = cp.asarray(image)
    planes = [Image.fromarray(np.ascontiguousarray(image[:, :, c]), mode="F") for c in range(3)]
    # The kernels' own time: the weight tables and the passes, without the
    # allocations (the host device fills every new array, a cost no GPU has).
    kernel_seconds = [0.0]

    def timed(fn):
        def run(*args):
            start = time.thread_time()
            result = fn(*args)
            kernel_seconds[0] += time.thread_time() - start
            return result

        return run

    rows = []
    for name, pil in (("lanczos3", Image.Resampling.LANCZOS), ("area", Image.Resampling.BOX)):
        inter = filters.BY_NAME[name].inter
        for factor in factors:
            size = 2048 // factor
            per = 1e9 / size**2
            resize_fn(device_image, (size, size), inter)  # compiles what it needs
            ours = kernels = float("inf")
            for _ in range(repeat):
                kernel_seconds[0] = 0.0
                originals = {k: getattr(resize_module, k, None) for k in ("_run_pass", "_table")}
                for k, fn in originals.items():
                    if fn is not None:
                        setattr(resize_module, k, timed(fn))
                try:
                    start = time.thread_time()
                    resize_fn(device_image, (size, size), inter)
                    cp.cuda.Device().synchronize()
                    ours = min(ours, time.thread_time() - start)
                finally:
                    for k, fn in originals.items():
                        if fn is not None:
                            setattr(resize_module, k, fn)
                kernels = min(kernels, kernel_seconds[0])
            theirs = thread_best_of(lambda: [p.resize((size, size), pil) for p in planes], repeat=repeat)
            rows.append([name, f"1/{factor}", f"{ours * per:.1f}", f"{kernels * per:.1f}" if kernels else "-",
                         f"{theirs * per:.1f}", f"{ours / theirs:.2f}", f"{kernels / theirs:.2f}" if kernels else "-"])  # fmt: skip
    return rows


def against_pillow_rgb(resize_fn=resize, repeat=3):
    """Rows (filter, factor, ours ns, Pillow ns, ratio) per output pixel for uint8 RGB, CPU against CPU, one
    thread each: 2048 x 2048 reduced by 2, 4, 8 and 16 (Lanczos-3, area) and 1024 x 1024 enlarged by 2
    (bicubic, Lanczos-3)."""
    from PIL import Image

    threads = os.environ.get("HOSTDEVICE_THREADS")
    os.environ["HOSTDEVICE_THREADS"] = "1"
    try:
        rng = np.random.default_rng(1)
        image = rng.integers(0, 256, (2048, 2048, 3), dtype=np.uint8)
        small = np.ascontiguousarray(image[:1024, :1024])
        cases = [(name, f"1/{f}", image, 2048 // f) for name in ("lanczos3", "area") for f in (2, 4, 8, 16)]
        cases += [(name, "x2", small, 2048) for name in ("bicubic", "lanczos3")]
        pil_filters = {"lanczos3": Image.Resampling.LANCZOS, "area": Image.Resampling.BOX,
                       "bicubic": Image.Resampling.BICUBIC}  # fmt: skip
        rows = []
        for name, label, host, size in cases:
            device_image, picture = cp.asarray(host), Image.fromarray(host, mode="RGB")
            inter = filters.BY_NAME[name].inter
            per = 1e9 / size**2

            def ours():
                resize_fn(device_image, (size, size), inter)
                cp.cuda.Device().synchronize()

            ours()  # compiles what it needs
            mine = thread_best_of(ours, repeat=repeat)
            theirs = thread_best_of(lambda: picture.resize((size, size), pil_filters[name]), repeat=repeat)
            rows.append([name, label, f"{mine * per:.1f}", f"{theirs * per:.1f}", f"{mine / theirs:.2f}"])
        return rows
    finally:
        if threads is None:
            del os.environ["HOSTDEVICE_THREADS"]
        else:
            os.environ["HOSTDEVICE_THREADS"] = threads


def print_against_pillow_rgb(rows):
    table("resize against Pillow Image.resize (mode RGB), uint8 x 3, ns per output pixel, one thread each",
          ["filter", "factor", "zemvara call", "Pillow", "call / Pillow"], rows)  # fmt: skip


def print_against_pillow(rows, title=""):
    table(f"resize against Pillow Image.resize (mode F, per channel), 2048 x 2048 x 3 float32, ns per output pixel, "
          f"one thread each; kernels: the weight tables and passes alone{title}",
          ["filter", "reduction", "zemvara call", "zemvara kernels", "Pillow", "call / Pillow", "kernels / Pillow"], rows)  # fmt: skip


def kernel_report_and_estimate():
    """The kernel report on the executed path (kernel_report.py), where the tools venv holds nvcc."""
    import kernel_report

    if not kernel_report.have_tools():
        print("(no .venv-tools: `make kernel-report` installs nvcc and prints the kernel report)")
        return
    kernel_report.main([])


def resize_host_time(repeat=2000):
    """Rows: host time of a repeated `resize` call, its launches made no-ops and its two
    allocations served from arrays made beforehand (the host device fills new memory, a
    cost no GPU pool has), against the first call's planning."""
    import zemvara.transform.resize as resize_module

    image = cp.zeros((2160, 3840, 3), dtype=cp.float32)
    inter = filters.BY_NAME["lanczos3"].inter
    resize(image, (1920, 1080), inter)  # compiles, keeps the weight tables
    made, real_empty, real_function = {}, cp.empty, _sources.KernelSource.function

    def empty(shape, dtype=float, *args, **kwargs):
        key = (tuple(shape), np.dtype(dtype))
        if key not in made:
            made[key] = real_empty(shape, dtype, *args, **kwargs)
        return made[key]

    cp.empty, _sources.KernelSource.function = empty, lambda self, expression: (lambda grid, block, args: None)
    kept = dict(getattr(resize_module, "_plans", {}))
    try:
        getattr(resize_module, "_plans", {}).clear()
        call = lambda: resize(image, (1920, 1080), inter)  # noqa: E731
        repeated = best_of(call, repeat=repeat)
        device = best_of(lambda: cp.cuda.Device().id, repeat=repeat)
    finally:
        cp.empty, _sources.KernelSource.function = real_empty, real_function
        getattr(resize_module, "_plans", {}).clear()
        getattr(resize_module, "_plans", {}).update(kept)
    table("resize 4K -> 1080p Lanczos-3 float32 x 3, host time of a repeated call (launches as no-ops, "
          "allocations made beforehand), best of %d" % repeat, ["", "us"],
          [["repeated call", f"{repeated * 1e6:.1f}"],
           ["of which cp.cuda.Device().id in array_view (host device stand-in; far less on CuPy)",
            f"{device * 1e6:.1f}"]])  # fmt: skip


def gpu_warps():
    import cupyx.scipy.ndimage as ndi

    h, w = 2160, 3840
    mp = h * w / 1e6
    rng = np.random.default_rng(0)
    base = rng.random((h, w, 3), dtype=np.float32)
    inv = inverse(angle=0.05, shift=(60.0, -90.0))
    inv_flat = cp.asarray(inv.ravel())
    rows = []
    out = cp.zeros((h, w, 3), dtype=cp.float32)
    for dtype, scale in ((np.uint8, 255), (np.float32, 1)):
        src = cp.asarray((base * scale).astype(dtype))
        for name in ("bilinear", "bicubic", "lanczos4"):
            kernel, extra = warp_call(name)
            args = (src, out, inv_flat, h, w, h, w) + extra
            seconds = gpu_seconds(lambda: kernel(((w + 15) // 16, (h + 15) // 16), (16, 16, 1), args))
            rows.append([f"zemvara {name}", np.dtype(dtype).name, f"{seconds * 1e3:.3f}", f"{mp / seconds:.0f}"])
            if name == "bilinear" and dtype == np.float32:
                bilinear_seconds = seconds
    src = cp.asarray(base)
    # (y, x, c) output coordinates -> input coordinates.
    matrix = cp.asarray([[inv[1, 1], inv[1, 0], 0], [inv[0, 1], inv[0, 0], 0], [0, 0, 1]], dtype=cp.float32)
    offset = (float(inv[1, 2]), float(inv[0, 2]), 0.0)
    for order in (1, 3):
        target = cp.empty_like(src)
        seconds = gpu_seconds(
            lambda: ndi.affine_transform(src, matrix, offset=offset, output=target, order=order, mode="constant", prefilter=False)
        )
        rows.append([f"cupyx affine_transform order {order}", "float32", f"{seconds * 1e3:.3f}", f"{mp / seconds:.0f}"])
    try:
        import torch
        import torch.nn.functional as F

        if torch.cuda.is_available():
            t_src = torch.as_tensor(cp.ascontiguousarray(src.transpose(2, 0, 1))[None], device="cuda")
            y, x = cp.mgrid[0:h, 0:w].astype(cp.float32)
            px = inv[0, 0] * x + inv[0, 1] * y + inv[0, 2]
            py = inv[1, 0] * x + inv[1, 1] * y + inv[1, 2]
            grid = cp.stack([px / (w - 1) * 2 - 1, py / (h - 1) * 2 - 1], axis=-1)[None]
            t_grid = torch.as_tensor(grid, device="cuda")
            for mode in ("bilinear", "bicubic"):
                seconds = gpu_seconds(
                    lambda: F.grid_sample(t_src, t_grid, mode=mode, padding_mode="zeros", align_corners=True)
                )
                rows.append([f"torch grid_sample {mode}", "float32", f"{seconds * 1e3:.3f}", f"{mp / seconds:.0f}"])
    except ImportError:
        pass
    name = cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)["name"].decode()
    table(f"4K warps on {name}, 3 channels, float32 output", ["warp", "source", "ms", "MP/s"], rows)

    copy_target = cp.empty_like(out)
    copy = gpu_seconds(lambda: copy_target.data.copy_from_device_async(out.data, out.nbytes))
    moved = src.nbytes + out.nbytes
    print()
    table(
        "Bilinear warp bandwidth (float32 source read once + output written once) against a copy of the output",
        ["operation", "ms", "GB/s", "time / copy"],
        [["device-to-device copy", f"{copy * 1e3:.3f}", f"{2 * out.nbytes / copy / 1e9:.0f}", "1.00"],
         ["bilinear warp", f"{bilinear_seconds * 1e3:.3f}", f"{moved / bilinear_seconds / 1e9:.0f}", f"{bilinear_seconds / copy:.2f}"]],
    )  # fmt: skip


def gpu_resizes():
    rng = np.random.default_rng(0)
    src = cp.asarray(rng.random((2160, 3840, 3), dtype=np.float32))
    out = cp.empty((1080, 1920, 3), dtype=cp.float32)
    target = cp.empty_like(out)
    copy = gpu_seconds(lambda: target.data.copy_from_device_async(out.data, out.nbytes))
    rows = [["device-to-device copy of the output", f"{copy * 1e3:.3f}", "", "1.00"]]
    for name in ("lanczos3", "area", "bilinear"):
        seconds = gpu_seconds(lambda: resize(src, (1920, 1080), filters.BY_NAME[name].inter))
        rows.append([f"resize {name}", f"{seconds * 1e3:.3f}", f"{1920 * 1080 / 1e6 / seconds:.0f}", f"{seconds / copy:.2f}"])
    name = cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)["name"].decode()
    table(f"resize 4K -> 1080p, float32 x 3, on {name}", ["operation", "ms", "output MP/s", "time / copy"], rows)


def main():
    oracle_differences()
    print()
    resize_orientation()
    device = os.environ.get("ZEMVARA_DEVICE", "host")
    if device != "gpu":
        print()
        print_against_pillow(against_pillow())
        print()
        print_against_pillow_rgb(against_pillow_rgb())
    print()
    resize_host_time()
    print()
    kernel_report_and_estimate()
    if device == "gpu":
        print()
        gpu_warps()
        print()
        gpu_resizes()


if __name__ == "__main__":
    main()
