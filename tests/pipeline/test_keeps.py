"""A run keeps what each file holds: alpha, grey, float and orientation, and fails a file that decodes with errors."""

import os

import cv2
import numpy as np
import pytest
import tifffile
from PIL import Image

from zemvara.pipeline import execution

H, W = 32, 48


def _colours():
    y, x = np.mgrid[0:H, 0:W]
    return np.dstack([x * 5, y * 7, (x + y) * 3]).astype(np.uint8)  # blue-green-red


def _folder(root):
    """A small photo folder; returns {name: what its output must show}."""
    colours = _colours()
    opaque = np.zeros((H, W), np.uint8)
    opaque[:, : W // 2] = 255  # the right half transparent, magenta under it
    hidden = colours.copy()
    hidden[:, W // 2 :] = (255, 0, 255)
    cv2.imwrite(f"{root}/logo.png", np.dstack([hidden, opaque]))
    cv2.imwrite(f"{root}/grey.png", colours[:, :, 1])
    cv2.imwrite(f"{root}/deep.png", colours.astype(np.uint16) * 257)
    tifffile.imwrite(f"{root}/hdr.tif", colours[:, :, ::-1].astype(np.float32) / 100, photometric="rgb")
    tifffile.imwrite(f"{root}/rgba.tif", np.dstack([hidden[:, :, ::-1], opaque]), photometric="rgb",
                     extrasamples=["unassalpha"])
    # stored on its side, the red stripe on the left: upright (orientation 6) it is on top
    side = np.full((W, H, 3), 128, np.uint8)
    side[:, : H // 4] = (255, 0, 0)
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(side).save(f"{root}/turned.jpg", exif=exif, quality=95)
    y, x = np.mgrid[0:120, 0:160]
    busy = np.dstack([x, y, x * y % 256]).astype(np.uint8)  # large enough that libpng has a chunk to miss
    for name, ext in (("cut1.jpg", ".jpg"), ("cut2.png", ".png")):
        data = cv2.imencode(ext, busy)[1].tobytes()
        with open(f"{root}/{name}", "wb") as f:
            f.write(data[: len(data) // 2])


@pytest.mark.parametrize("ext", [".png", ".tif", ".webp", ".jpg"])
def test_each_output_keeps_the_picture(tmp_path, capfd, ext):
    root, out = str(tmp_path / "in"), str(tmp_path / "out")
    os.makedirs(root)
    _folder(root)
    report = execution.run([root], out, "resize:24x16", ext=ext, progress=False, threads=1)
    failed = {os.path.basename(e["input"]): e["error"] for e in report["failed"]}
    assert sorted(failed) == ["cut1.jpg", "cut2.png"] and all("Failed to read image" in e for e in failed.values())
    assert not any(name.startswith("cut") for name in os.listdir(out))
    printed = capfd.readouterr().err.splitlines()  # each failure told once, in its error; no codec's log
    assert [line for line in printed if not line.startswith("zemvara host device:")] == []

    def read(name):
        path = f"{out}/{name}{ext}"
        if ext == ".tif":
            picture = tifffile.imread(path)
            return picture[..., [2, 1, 0, 3][: picture.shape[2]]] if picture.ndim == 3 else picture
        return cv2.imread(path, cv2.IMREAD_UNCHANGED)

    keeps_alpha = ext != ".jpg"
    for name in ("logo", "rgba"):
        picture = read(name)
        assert picture.shape == (16, 24, 4 if keeps_alpha else 3)
        if keeps_alpha:
            assert picture[:, :10, 3].min() == 255 and picture[:, 14:, 3].max() == 0
        else:  # over white: the magenta under the transparent half never shows
            assert (picture[:, 14:].astype(int) >= 240).all()
    assert read("grey").ndim == 2 or ext == ".webp"  # WebP stores colour only
    deep, hdr = read("deep"), read("hdr")
    assert deep.dtype == {".png": np.uint16, ".tif": np.uint16}.get(ext, np.uint8)
    if ext == ".tif":
        assert hdr.dtype == np.float32 and hdr.max() > 2.0
    turned = read("turned")
    assert turned.shape[:2] == (16, 24)
    assert turned[:4, :, 2].mean() > 200 and turned[-4:, :, 2].mean() < 160  # red on top



def test_jpeg_shrinks_on_load_only_before_a_large_reduction(tmp_path):
    from zemvara.pipeline import Fit, Load, reading

    y, x = np.mgrid[0:384, 0:512]
    cv2.imwrite(str(tmp_path / "photo.jpg"), np.dstack([x // 2, y // 2, (x + y) // 4]).astype(np.uint8))
    path = str(tmp_path / "photo.jpg")
    assert reading.read(path, (48, 64)).shape == (48, 64, 3) and reading.read(path, (200, 300)).shape == (384, 512, 3)
    fast, whole = (Load(shrink=shrink)(path, Fit((64, 64))) for shrink in (True, False))
    assert fast.shape == (48, 64, 3) and whole.shape == (384, 512, 3)
    thumbs = [Fit((64, 64))(image).get().astype(int) for image in (fast, whole)]
    assert np.abs(thumbs[0] - thumbs[1]).mean() < 2


@pytest.mark.parametrize("ext, small, large", [
    (".jpg", dict(quality=40), dict()), (".webp", dict(quality=40), dict()),
    (".png", dict(compression=9), dict(compression=0)), (".tif", dict(), dict(compression=0)),
])  # fmt: skip
def test_quality_and_compression_reach_the_writer(tmp_path, ext, small, large):
    import cupy as cp

    from zemvara.pipeline import Store

    y, x = np.mgrid[0:96, 0:128]
    image = cp.asarray(np.dstack([x, y, (x * y) % 256]).astype(np.uint8))
    sizes = []
    for name, options in (("small", small), ("large", large)):
        Store(**options)(str(tmp_path / (name + ext)), image)
        sizes.append(os.path.getsize(tmp_path / (name + ext)))
    assert sizes[0] < sizes[1]
    if ext == ".tif":  # tifffile alone reads every TIFF the road writes, float ones among them
        Store(compression=4)(str(tmp_path / "float.tif"), image.astype(cp.float32) / 255)
        for name in ("small", "large", "float"):
            assert tifffile.imread(tmp_path / f"{name}.tif").shape == (96, 128, 3)


@pytest.mark.parametrize("option", [dict(quality=0), dict(quality=101), dict(compression=10), dict(quality=True)])
def test_out_of_range_writer_options_are_usage_errors(option):
    from zemvara.pipeline import Store, UsageError

    with pytest.raises(UsageError):
        Store(**option)


def _matrix_profile(name, red, green, blue, gamma):
    """An ICC v2 RGB display profile from its primaries (XYZ, D50) and one gamma curve."""
    import struct

    def s15(*values):
        return b"".join(struct.pack(">i", round(v * 65536)) for v in values)

    desc = name.encode() + b"\0"
    curve = b"curv\0\0\0\0" + struct.pack(">IH", 1, round(gamma * 256)) + b"\0\0"
    tags = {b"desc": b"desc\0\0\0\0" + struct.pack(">I", len(desc)) + desc + b"\0" * 79,
            b"wtpt": b"XYZ \0\0\0\0" + s15(0.9642, 1.0, 0.8249), b"rXYZ": b"XYZ \0\0\0\0" + s15(*red),
            b"gXYZ": b"XYZ \0\0\0\0" + s15(*green), b"bXYZ": b"XYZ \0\0\0\0" + s15(*blue),
            b"rTRC": curve, b"gTRC": curve, b"bTRC": curve}  # fmt: skip
    table, body, start = b"", b"", 128 + 4 + 12 * len(tags)
    for sig, data in tags.items():
        data += b"\0" * (-len(data) % 4)
        table, body = table + sig + struct.pack(">II", start + len(body), len(data)), body + data
    header = (struct.pack(">I", start + len(body)) + b"\0" * 4 + struct.pack(">I", 0x02100000) + b"mntrRGB XYZ "
              + b"\0" * 12 + b"acsp" + b"\0" * 28 + s15(0.9642, 1.0, 0.8249) + b"\0" * 48)  # fmt: skip
    return header + struct.pack(">I", len(tags)) + table + body


PROFILES = {
    "adobe": _matrix_profile("Adobe RGB (1998)", (0.6097, 0.3111, 0.0195), (0.2053, 0.6257, 0.0609),
                             (0.1492, 0.0632, 0.7446), 563 / 256),
    "p3": _matrix_profile("Display P3", (0.5151, 0.2412, -0.0011), (0.2920, 0.6922, 0.0419),
                          (0.1571, 0.0666, 0.7841), 2.2),
}  # fmt: skip


@pytest.mark.parametrize("profile", list(PROFILES))
@pytest.mark.parametrize("ext", [".jpg", ".png", ".tif", ".webp"])
def test_an_embedded_profile_is_converted_to_srgb_as_littlecms_does(tmp_path, profile, ext):
    import io

    from PIL import ImageCms

    source = tmp_path / "in" / f"photo{ext}"
    source.parent.mkdir()
    y, x = np.mgrid[0:24, 0:32]
    picture = Image.fromarray(np.dstack([x * 8, y * 10, 255 - x * 4]).astype(np.uint8))
    picture.save(source, icc_profile=PROFILES[profile], **({"lossless": True} if ext == ".webp" else {}))
    with Image.open(source) as stored:
        expected = np.asarray(ImageCms.profileToProfile(stored, ImageCms.ImageCmsProfile(
            io.BytesIO(PROFILES[profile])), ImageCms.createProfile("sRGB")))[:, :, ::-1].astype(int)
    run = execution.run([source.parent], tmp_path / "out", "", ext=".png", progress=False, threads=1)
    assert run["failed"] == []
    written = cv2.imread(str(tmp_path / "out" / "photo.png")).astype(int)
    assert np.abs(written - expected).max() <= 1 and np.abs(written - np.asarray(picture)[:, :, ::-1]).max() > 8


@pytest.mark.parametrize("ext", [".jpg", ".png", ".tif", ".webp"])
@pytest.mark.parametrize("batch", [None, 2])
def test_keep_profile_carries_the_profile_and_the_stored_values(tmp_path, ext, batch):
    from zemvara.pipeline import Store

    source = tmp_path / "in" / "photo.png"
    source.parent.mkdir()
    y, x = np.mgrid[0:24, 0:32]
    stored_values = np.dstack([x * 8, y * 10, 255 - x * 4]).astype(np.uint8)
    Image.fromarray(stored_values).save(source, icc_profile=PROFILES["adobe"])
    report = execution.run([source], tmp_path / "out", [Store(keep_profile=True, quality=100)], ext=ext,
                           progress=False, batch=batch)
    assert report["failed"] == []
    with Image.open(tmp_path / "out" / f"photo{ext}") as written:
        assert written.info.get("icc_profile") == PROFILES["adobe"]
        assert np.abs(np.asarray(written.convert("RGB")).astype(int) - stored_values).mean() < 2  # not converted
