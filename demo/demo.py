"""A short tour of what zemvara does, on an image it generates (`make demo`)."""

import os
import time
from pathlib import Path

import cupy as cp
import numpy as np


def sample_image(height=480, width=640):
    """A smooth BGR float32 test picture: gradients and a disc."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    disc = ((x - width / 2) ** 2 + (y - height / 2) ** 2 < (height / 3) ** 2).astype(np.float32)
    image = np.stack([x / width, y / height, 0.5 * disc + 0.25], axis=-1)
    return cp.asarray(image.astype(np.float32))


def step(title):
    print(f"\n== {title}")


def main():
    device = os.environ.get("ZEMVARA_DEVICE", "host")
    where = "a CUDA GPU" if device == "gpu" else "the host device (CPU stand-in for CUDA)"
    print(f"zemvara demo, running on {where}; cupy from {Path(cp.__file__).parent}")
    image = sample_image()
    print(f"sample image: {image.shape} {image.dtype}")

    from zemvara.transform.subsample import subsample_image, subsample_image_back

    step("interleaved subsampling")
    parts = subsample_image(image, 4)
    print(f"subsample_image(image, 4) -> {len(parts)} sub-images of {parts[0].shape}")
    start = time.perf_counter()
    back = subsample_image_back(parts, 4)
    cp.cuda.Device().synchronize()
    elapsed = time.perf_counter() - start
    same = bool(cp.array_equal(back, image))
    print(f"subsample_image_back(parts, 4) -> {back.shape} {back.dtype}, equal to the input: {same} ({elapsed * 1e3:.1f} ms)")

    demo_io(image)
    demo_weavepack(parts)
    demo_contact_sheet()
    demo_upscale(image)
    print("\ndone")


def demo_io(image):
    try:
        from zemvara.io.picload import picload
        from zemvara.io.picunpack import picunpack
    except ImportError:
        return
    import tempfile

    import cv2

    step("reading and decoding images")
    host = (cp.asnumpy(image) * 255).round().astype(np.uint8)
    ok, png = cv2.imencode(".png", host)
    decoded = picunpack(png.tobytes(), dtype="fp32", swap_rb=True)
    print(f"picunpack(<{len(png)} PNG bytes>, swap_rb=True) -> {decoded.shape} {decoded.dtype}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sample.png")
        cv2.imwrite(path, host)
        loaded = picload(path, dtype="uint8")
        print(f"picload('sample.png', dtype='uint8') -> {loaded.shape} {loaded.dtype}, "
              f"equal to what was written: {bool(cp.array_equal(loaded, cp.asarray(host)))}")


def demo_weavepack(parts):
    try:
        from zemvara.transform import weavepack
    except ImportError:
        return
    from zemvara.transform.subsample import subsample_image_back

    step("index-map reconstructions")
    reference = subsample_image_back(parts, 4)
    for fn in (weavepack.subsample_image_back_flattened, weavepack.subsample_image_back_gather):
        out = fn(parts, 4)
        print(f"{fn.__name__}(parts, 4) -> {out.shape}, equal to subsample_image_back: "
              f"{bool(cp.array_equal(out, reference))}")
    print(f"index maps cached: {len(weavepack._index_cache)}")


def tensorrt_standin():
    """The TensorRT stand-in of hostdevice/, as `tensorrt` (its engine files are its own format)."""
    import importlib.util
    import sys

    trt = sys.modules.get("tensorrt")
    if hasattr(trt, "engines"):
        return trt
    folder = Path(__file__).resolve().parent.parent / "hostdevice" / "tensorrt"
    spec = importlib.util.spec_from_file_location("tensorrt", folder / "__init__.py",
                                                  submodule_search_locations=[str(folder)])
    trt = importlib.util.module_from_spec(spec)
    sys.modules["tensorrt"] = trt
    spec.loader.exec_module(trt)
    return trt


def demo_upscale(image):
    """A generated picture read from a file, upscaled x2 through a stand-in engine, written out."""
    import tempfile

    import cv2

    trt = tensorrt_standin()
    try:
        from zemvara.upscale.enginezoom import EngineZoom
    except ImportError:
        return
    step("upscaling x2 with a TensorRT engine (bilinear stand-in engine)")
    with tempfile.TemporaryDirectory() as tmp:
        picture, engine, result = (os.path.join(tmp, name) for name in ("picture.png", "x2.engine", "x2.png"))
        cv2.imwrite(picture, (cp.asnumpy(image) * 255).round().astype(np.uint8))
        trt.engines.write(engine, trt.engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
        frame = cv2.imread(picture, cv2.IMREAD_UNCHANGED)
        print(f"read {os.path.basename(picture)}: {frame.shape} {frame.dtype}")
        zoom = EngineZoom(model_path=engine)
        start = time.perf_counter()
        upscaled = zoom.get(cp.asarray(frame))
        cp.cuda.Device().synchronize()
        elapsed = time.perf_counter() - start
        print(f"EngineZoom(model_path='x2.engine').get(frame) -> {upscaled.shape} {upscaled.dtype} "
              f"({elapsed * 1e3:.1f} ms, first frame: shapes set and buffers bound)")
        cv2.imwrite(result, cp.asnumpy(upscaled).clip(0, 255).round().astype(np.uint8))
        written = cv2.imread(result, cv2.IMREAD_UNCHANGED)
        print(f"wrote {os.path.basename(result)}: {written.shape}, {os.path.getsize(result)} bytes")


def test_pattern(size=64):
    """A small BGR float32 picture that shows how filters differ: a fine checkerboard,
    rings whose frequency rises outwards, one-pixel lines, a sharp disc on a gradient."""
    half = size // 2
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    image = np.stack([x / size, 0.3 + 0.4 * y / size, 1 - x / size], axis=-1) * 0.6
    checker = ((x // 3 + y // 3) % 2).astype(np.float32)
    image[:half, :half] = checker[:half, :half, None]
    r2 = (x - 1.5 * half) ** 2 + (y - 0.5 * half) ** 2
    rings = 0.5 + 0.5 * np.cos(np.pi * r2 / (1.2 * half))
    image[:half, half:] = rings[:half, half:, None]
    for k in range(0, half, 6):
        image[half + k, :half] = (1, 1, 1)                       # horizontal lines
        image[half:, k] = (0, 1, 1)                              # yellow vertical lines
    disc = (x - 1.5 * half) ** 2 + (y - 1.5 * half) ** 2 < (0.45 * half) ** 2
    image[disc] = (0.1, 0.1, 0.95)                               # a red disc
    return cp.asarray(np.ascontiguousarray(image, dtype=np.float32))


def demo_contact_sheet(path=Path(__file__).resolve().parent.parent / "docs" / "contact_sheet.png"):
    """The ten filters of affine_transform on the test pattern, enlarged x4 and reduced x0.3."""
    try:
        from zemvara.transform import schema
        from zemvara.transform.affine import affine_transform
    except ImportError:
        return
    import cv2

    step("affine warps: contact sheet of the ten filters")
    names = ["NEAREST", "LINEAR", "CUBIC", "AREA", "LANCZOS2", "LANCZOS3", "LANCZOS4", "MITCHELL", "CATMULL_ROM",
             "B_SPLINE"]
    pattern, size = test_pattern(), 64
    shown = 8                                                      # the reduction is shown enlarged x8, nearest

    def warp(scale, flag):
        # Pixel centres stay centred: x' = s * x + (s - 1) / 2.
        m = np.array([[scale, 0, (scale - 1) / 2], [0, scale, (scale - 1) / 2]])
        n = round(size * scale)
        out = affine_transform(pattern, m, (n, n), getattr(schema, "INTER_" + flag))
        return (np.clip(cp.asnumpy(out), 0, 1) * 255).round().astype(np.uint8)

    def label(tile, text):
        bar = np.full((22, tile.shape[1], 3), 255, np.uint8)
        cv2.putText(bar, text, (4, 16), cv2.FONT_HERSHEY_SIMPLEX, 0.45, (0, 0, 0), 1, cv2.LINE_AA)
        return np.vstack([bar, tile])

    start = time.perf_counter()
    cells = []
    for flag in names:
        big = label(warp(4, flag), f"{flag}  x4")
        small = warp(0.3, flag)
        small = cv2.resize(small, None, fx=shown, fy=shown, interpolation=cv2.INTER_NEAREST)
        small = label(np.pad(small, ((0, 0), (0, big.shape[1] - small.shape[1]), (0, 0)), constant_values=255),
                      f"x0.3 (shown x{shown})")
        cells.append(np.pad(np.vstack([big, small]), ((4, 4), (4, 4), (0, 0)), constant_values=255))
    sheet = np.vstack([np.hstack(cells[:5]), np.hstack(cells[5:])])
    path.parent.mkdir(exist_ok=True)
    cv2.imwrite(str(path), sheet, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print(f"{len(names)} filters x 2 scales in {time.perf_counter() - start:.1f} s -> {path} {sheet.shape[1]}x{sheet.shape[0]}")


if __name__ == "__main__":
    main()
