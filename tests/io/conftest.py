"""Real image files of every kind the readers meet, written with OpenCV and the OpenEXR bindings.

Every picture is 6 x 7 (a transposed result cannot pass), its channels hold
different values (a swapped or dropped channel shows), integer pictures hold 0
and their type's maximum, float pictures values outside 0..1.
"""

import os
from types import SimpleNamespace

import cupy as cp
import cv2
import Imath
import numpy as np
import OpenEXR
import pytest
from tracebacks import entry  # tests/tracebacks.py

HEIGHT, WIDTH = 6, 7


class Sample(SimpleNamespace):
    """path, and pixels: what cv2.imread gives (BGR, own depth), or an EXR file's planes as (H, W, 3) R, G, B."""

    @property
    def data(self):
        with open(self.path, "rb") as f:
            return f.read()


def picture(dtype, channels, seed):
    rng = np.random.default_rng(seed)
    shape = (HEIGHT, WIDTH) if channels == 0 else (HEIGHT, WIDTH, channels)
    if np.dtype(dtype).kind == "u":
        image = rng.integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
        image.flat[:2] = 0, np.iinfo(dtype).max
        if channels >= 3:
            image[1:, :, 0] //= 2  # blue darker than red
    else:
        image = rng.uniform(-0.5, 4.0, shape).astype(dtype)
        image.flat[:4] = [0.0, 1.0, -0.25, 1000.0]
        if channels >= 3:
            image[1:, :, 2] += 7.0
    return image


def write_cv2(path, image, *params, lossless=True):
    assert cv2.imwrite(str(path), image, list(params)), path
    pixels = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    if lossless:
        np.testing.assert_array_equal(pixels, image)
    return Sample(path=str(path), pixels=pixels)


def write_exr(path, planes, types, origin=(0, 0)):
    """planes: {name: 2-D array}; types: {name: "HALF" | "FLOAT"}; origin: the data window's corner."""
    height, width = next(iter(planes.values())).shape
    header = OpenEXR.Header(width, height)
    box = Imath.Box2i(Imath.V2i(*origin), Imath.V2i(origin[0] + width - 1, origin[1] + height - 1))
    header["dataWindow"] = header["displayWindow"] = box
    header["channels"] = {n: Imath.Channel(Imath.PixelType(getattr(Imath.PixelType, types[n]))) for n in planes}
    stored = {"HALF": np.float16, "FLOAT": np.float32}
    out = OpenEXR.OutputFile(str(path), header)
    out.writePixels({n: planes[n].astype(stored[types[n]]).tobytes() for n in planes})
    out.close()
    rgb = [planes[c] for c in "RGB" if c in planes]
    return Sample(path=str(path), pixels=np.stack(rgb, axis=-1) if rgb else None)


def planes(dtype, seed, names="RGB"):
    base = picture(np.float32, 0, seed)
    return {name: (base + 10.0 * i).astype(dtype) for i, name in enumerate(names)}


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    """OpenCV samples: PNG, JPEG and TIFF in 8, 16 and 32-bit float, colour, grey and with alpha."""
    d = tmp_path_factory.mktemp("opencv")
    s = SimpleNamespace(
        png8=write_cv2(d / "bgr8.png", picture(np.uint8, 3, 1)),
        png16=write_cv2(d / "bgr16.png", picture(np.uint16, 3, 2), cv2.IMWRITE_PNG_COMPRESSION, 1),
        png8_grey=write_cv2(d / "grey8.png", picture(np.uint8, 0, 3)),
        png16_grey=write_cv2(d / "grey16.png", picture(np.uint16, 0, 4)),
        png8_bgra=write_cv2(d / "bgra8.png", picture(np.uint8, 4, 5)),
        png16_bgra=write_cv2(d / "bgra16.png", picture(np.uint16, 4, 6)),
        jpeg=write_cv2(d / "bgr.jpg", picture(np.uint8, 3, 7), cv2.IMWRITE_JPEG_QUALITY, 90, lossless=False),
        jpeg_grey=write_cv2(d / "grey.jpeg", picture(np.uint8, 0, 8), lossless=False),
        tiff8=write_cv2(d / "bgr8.tif", picture(np.uint8, 3, 9)),
        tiff16=write_cv2(d / "bgr16.tiff", picture(np.uint16, 3, 10), cv2.IMWRITE_TIFF_COMPRESSION, 5),
        tiff_float=write_cv2(d / "bgr32f.tiff", picture(np.float32, 3, 11)),
        tiff_float_grey=write_cv2(d / "grey32f.tiff", picture(np.float32, 0, 12)),
        tiff_float_bgra=write_cv2(d / "bgra32f.tiff", picture(np.float32, 4, 13)),
    )
    # A PNG whose whole name is ".exr": splitext finds no extension in it.
    (d / "dot").mkdir()
    s.dotname = write_cv2(d / "dot" / "x.png", picture(np.uint8, 3, 14))
    os.rename(s.dotname.path, d / "dot" / ".exr")
    s.dotname.path = str(d / "dot" / ".exr")
    return s


@pytest.fixture(scope="session")
def exr_files(tmp_path_factory):
    """OpenEXR samples: half, float, with alpha, an offset data window, mixed types, no R, capital extensions."""
    d = tmp_path_factory.mktemp("openexr")
    half, flt = dict.fromkeys("RGBAY", "HALF"), dict.fromkeys("RGBA", "FLOAT")
    return SimpleNamespace(
        half=write_exr(d / "half.exr", planes(np.float16, 20), half),
        float=write_exr(d / "float.exr", planes(np.float32, 21), flt),
        half_rgba=write_exr(d / "rgba.exr", planes(np.float16, 22, "RGBA"), half),
        float_window=write_exr(d / "window.exr", planes(np.float32, 23), flt, origin=(3, -2)),
        # Planes hold float16 values throughout, so either pixel type reads them exactly.
        half_red=write_exr(d / "mixed1.exr", planes(np.float16, 24), {"R": "HALF", "G": "FLOAT", "B": "FLOAT"}),
        float_red=write_exr(d / "mixed2.exr", planes(np.float16, 25), {"R": "FLOAT", "G": "HALF", "B": "HALF"}),
        luminance=write_exr(d / "luminance.exr", planes(np.float16, 26, "Y"), half),
        upper=write_exr(d / "UPPER.EXR", planes(np.float16, 27), half),
        mixed_case=write_exr(d / "mixed.ExR", planes(np.float32, 28), flt),
    )


@pytest.fixture(scope="session")
def broken(tmp_path_factory):
    """Paths that exist but hold nothing a reader can decode, and the bytes of a good PNG."""
    d = tmp_path_factory.mktemp("broken")
    png = cv2.imencode(".png", picture(np.uint8, 3, 30))[1].tobytes()
    contents = {
        "garbage.png": bytes(range(256)) * 4,
        "truncated.png": png[: len(png) // 2],
        "empty.jpg": b"",
        "notes.tiff": b"this is not a picture\n",
        "garbage.exr": b"\x76\x2f\x31\x01" + bytes(60),  # the EXR magic number, then nothing valid
    }
    for name, data in contents.items():
        (d / name).write_bytes(data)
    (d / "folder.png").mkdir()
    paths = {name.replace(".", "_"): str(d / name) for name in [*contents, "folder.png"]}
    return SimpleNamespace(png_bytes=png, **paths)


def host(array):
    """A result of the package, copied back to the host."""
    assert isinstance(array, cp.ndarray), type(array)
    return cp.asnumpy(array)


class FakeCV2(SimpleNamespace):
    """OpenCV's write flags, with imwrite and imencode that record their arguments and return what they are given."""

    def __init__(self, write_result=True, encode_result=(True, np.zeros(1, np.uint8))):
        flags = ("IMWRITE_JPEG_QUALITY", "IMWRITE_PNG_COMPRESSION", "IMWRITE_TIFF_COMPRESSION")
        super().__init__(calls=[], **{flag: getattr(cv2, flag) for flag in flags})
        self.imwrite = lambda *args: self.calls.append(args) or write_result
        self.imencode = lambda *args: self.calls.append(args) or encode_result


@pytest.fixture(scope="session")
def helpers():
    return SimpleNamespace(host=host, entry=entry, picture=picture, fake_cv2=FakeCV2)
