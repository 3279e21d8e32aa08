"""A short tour of what zemvara does, on an image it generates (`make demo`).

Everything it makes stays in docs/demo/ (the pictures the README shows, and the
upscaled image).
"""

import os
import time
from pathlib import Path

import cupy as cp
import numpy as np

OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "demo"


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

    OUTPUT.mkdir(parents=True, exist_ok=True)
    demo_io(image)
    demo_weavepack(parts)
    demo_subsampling_picture()
    demo_contact_sheet()
    demo_upscale()
    print(f"\ndone; pictures and files in {OUTPUT}")


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


def demo_upscale():
    """A picture read from a file, upscaled x2 through a stand-in engine; the result is
    kept in docs/demo/ with a before/after picture."""
    import tempfile

    import cv2

    trt = tensorrt_standin()
    try:
        from zemvara.upscale.enginezoom import EngineZoom
    except ImportError:
        return
    step("upscaling x2 with a TensorRT engine (the host device's bilinear x2 engine)")
    picture, result = OUTPUT / "upscale_input.png", OUTPUT / "upscale_x2.png"
    cv2.imwrite(str(picture), to_uint8_host(test_pattern(96)))
    with tempfile.TemporaryDirectory() as tmp:
        engine = os.path.join(tmp, "x2.engine")
        trt.engines.write(engine, trt.engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
        frame = cv2.imread(str(picture), cv2.IMREAD_UNCHANGED)
        print(f"read {picture.name}: {frame.shape} {frame.dtype}")
        zoom = EngineZoom(model_path=engine)
    start = time.perf_counter()
    upscaled = zoom.get(cp.asarray(frame))
    cp.cuda.Device().synchronize()
    elapsed = time.perf_counter() - start
    print(f"EngineZoom(model_path='x2.engine').get(frame) -> {upscaled.shape} {upscaled.dtype} "
          f"({elapsed * 1e3:.1f} ms, first frame: shapes set and buffers bound)")
    after = cp.asnumpy(upscaled).clip(0, 255).round().astype(np.uint8)
    cv2.imwrite(str(result), after)
    print(f"wrote {result}: {after.shape}, {result.stat().st_size} bytes")
    before = cv2.resize(frame, None, fx=2, fy=2, interpolation=cv2.INTER_NEAREST)
    sheet = np.hstack([label(before, "before, pixels x2"), gap(before.shape[0] + LABEL_H),
                       label(after, "after, EngineZoom")])
    write_picture("upscale_before_after.png", sheet)


def to_uint8_host(image):
    return (np.clip(cp.asnumpy(image), 0, 1) * 255).round().astype(np.uint8)


LABEL_H = 30


def label(tile, text, width=None):
    """The tile under a white bar with its label, in a size that reads at 100 %."""
    import cv2

    (text_width, _), _ = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, 0.55, 1)
    width = max(width or tile.shape[1], text_width + 8)
    bar = np.full((LABEL_H, width, 3), 255, np.uint8)
    cv2.putText(bar, text, (4, 21), cv2.FONT_HERSHEY_SIMPLEX, 0.55, (0, 0, 0), 1, cv2.LINE_AA)
    body = np.full((tile.shape[0], width, 3), 255, np.uint8)
    body[:, :tile.shape[1]] = tile
    return np.vstack([bar, body])


def gap(height, width=12):
    return np.full((height, width, 3), 255, np.uint8)


def write_picture(name, picture):
    import cv2

    path = OUTPUT / name
    cv2.imwrite(str(path), np.pad(picture, ((6, 6), (6, 6), (0, 0)), constant_values=255),
                [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print(f"-> {path} {picture.shape[1] + 12}x{picture.shape[0] + 12}")


def demo_subsampling_picture():
    """An image and its 2 x 2 interleaved sub-images side by side."""
    import cv2

    from zemvara.transform.subsample import subsample_image

    step("picture of interleaved subsampling (dim 2)")
    pattern = to_uint8_host(test_pattern(96))
    parts = [cp.asnumpy(p) for p in subsample_image(cp.asarray(pattern), 2)]
    shown = 3

    def big(a):
        return cv2.resize(a, None, fx=shown, fy=shown, interpolation=cv2.INTER_NEAREST)

    cells = [label(big(p), f"[{i}]: dy {i // 2}, dx {i % 2}") for i, p in enumerate(parts)]
    grid = np.vstack([np.hstack([cells[0], gap(cells[0].shape[0]), cells[1]]),
                      gap(12, cells[0].shape[1] + cells[1].shape[1] + 12),
                      np.hstack([cells[2], gap(cells[2].shape[0]), cells[3]])])
    source = label(big(pattern), f"image 96 x 96 (shown x{shown})")
    source = np.vstack([source, np.full((grid.shape[0] - source.shape[0], source.shape[1], 3), 255, np.uint8)])
    write_picture("subsampling.png", np.hstack([source, gap(grid.shape[0], 24), grid]))


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


def demo_contact_sheet():
    """The ten filters of affine_transform on the test pattern, enlarged x4 and reduced x0.3,
    beside the pattern itself at its own size."""
    try:
        from zemvara.transform.affine import affine_transform  # noqa: F401
    except ImportError:
        return
    step("affine warps: contact sheet of the ten filters")
    start = time.perf_counter()
    sheet, count = contact_sheet()
    write_picture("contact_sheet.png", sheet)
    print(f"{count} filters x 2 scales in {time.perf_counter() - start:.1f} s")


def contact_sheet():
    """(the contact sheet as a BGR uint8 host array, without the margin write_picture adds; its filter count)."""
    import cv2

    from zemvara.transform import schema
    from zemvara.transform.affine import affine_transform

    names = ["NEAREST", "LINEAR", "CUBIC", "AREA", "LANCZOS2", "LANCZOS3", "LANCZOS4", "MITCHELL", "CATMULL_ROM",
             "B_SPLINE"]
    pattern, size = test_pattern(), 64
    shown = 8                                                      # the reduction is shown enlarged x8, nearest

    def warp(scale, flag):
        # Pixel centres stay centred: x' = s * x + (s - 1) / 2.
        m = np.array([[scale, 0, (scale - 1) / 2], [0, scale, (scale - 1) / 2]])
        n = round(size * scale)
        return to_uint8_host(affine_transform(pattern, m, (n, n), getattr(schema, "INTER_" + flag)))

    width = 4 * size
    reference = np.vstack([label(to_uint8_host(pattern), f"source {size} x {size}, 1:1", width),
                           label(cv2.resize(to_uint8_host(pattern), None, fx=4, fy=4,
                                            interpolation=cv2.INTER_NEAREST), "source, pixels x4", width)])
    cells = []
    for flag in names:
        small = cv2.resize(warp(0.3, flag), None, fx=shown, fy=shown, interpolation=cv2.INTER_NEAREST)
        cells.append(np.vstack([label(warp(4, flag), f"{flag} x4"),
                                label(small, f"x0.3 (shown x{shown})", width)]))
    height = max(c.shape[0] for c in cells + [reference])

    def padded(cell):
        cell = np.pad(cell, ((0, height - cell.shape[0]), (0, 0), (0, 0)), constant_values=255)
        return np.pad(cell, ((6, 6), (6, 6), (0, 0)), constant_values=255)

    blank = np.full_like(reference, 255)
    sheet = np.vstack([np.hstack([padded(c) for c in [reference] + cells[:5]]),
                       np.hstack([padded(c) for c in [blank] + cells[5:]])])
    return sheet, len(names)


if __name__ == "__main__":
    main()
