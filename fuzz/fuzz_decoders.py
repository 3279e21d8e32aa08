"""Fuzz target: picunpack and picload on mutated PNG, JPEG, TIFF and EXR files.

The first byte chooses the element type, the channel order and the file's
extension; the rest is the file. A decoded image must be a GPU array of the
type asked for; anything else must be refused clearly.
"""

import os

import common
from common import check, cp, cv2, np

from zemvara.io.picload import picload
from zemvara.io.picunpack import picunpack

DTYPES = ["fp32", "fp16", "uint8", "uint16", "other"]
EXPECTED = {"fp32": np.float32, "fp16": np.float16, "uint8": np.uint8, "uint16": np.uint16}
EXTENSIONS = [".png", ".jpg", ".tif", ".exr", ".PNG", ".tiff", ".bmp", ".EXR"]


def checked(result, dtype, unpacking, exr=False):
    """picunpack converts to the type asked for (float32 for an unknown name), picload too except that an
    OpenEXR file keeps its own half or float type and an unknown name converts nothing."""
    if result is None:
        return
    check(isinstance(result, cp.ndarray), f"decoded to {type(result)}")
    want = (np.float16, np.float32) if exr else (EXPECTED.get(dtype, np.float32 if unpacking else None),)
    check(want == (None,) or result.dtype in want, f"{dtype} decoded as {result.dtype}")
    check(result.ndim in (2, 3), f"decoded to shape {result.shape}")


def TestOneInput(data):
    if len(data) < 2:
        return
    options, body = data[0], data[1:]
    dtype, swap_rb = DTYPES[options % 5], bool(options & 8)
    checked(common.call(picunpack, body, dtype, swap_rb), dtype, True)
    path = "in" + EXTENSIONS[(options >> 4) % len(EXTENSIONS)]
    with open(path, "wb") as f:
        f.write(body)
    checked(common.call(picload, path, dtype, swap_rb), dtype, False, path.lower().endswith(".exr"))
    os.remove(path)


def seeds():
    import OpenEXR

    rng = np.random.default_rng(0)
    out = []
    pictures = [rng.integers(0, 256, (5, 6, c), dtype=np.uint8) for c in (1, 3, 4)]
    pictures += [rng.integers(0, 65536, (5, 6, 3), dtype=np.uint16), rng.uniform(-1, 4, (5, 6, 3)).astype(np.float32)]
    for i, picture in enumerate(pictures):
        for ext, index in ((".png", 0), (".jpg", 1), (".tif", 2)):
            ok, encoded = cv2.imencode(ext, picture if ext != ".jpg" or picture.dtype == np.uint8 else picture.astype(np.uint8))
            if ok:
                out.append(bytes([(index << 4) | (i % 5)]) + encoded.tobytes())
    for dtype, compression in ((np.float16, OpenEXR.DWAA_COMPRESSION), (np.float32, OpenEXR.ZIP_COMPRESSION)):
        channels = {c: rng.uniform(0, 2, (5, 6)).astype(dtype) for c in "RGBA"}
        with OpenEXR.File({"compression": compression}, channels) as f:
            f.write("seed.exr")
        with open("seed.exr", "rb") as f:
            out.append(bytes([3 << 4]) + f.read())
        os.remove("seed.exr")
    return out


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
