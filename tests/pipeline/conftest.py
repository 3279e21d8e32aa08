"""A generated folder of small images for batch runs, and one local Dask cluster shared by a module.

The folder holds GOOD readable images of several formats and depths in nested
folders, three corrupt files and one image whose output cannot be written
(`prepare_out` puts a folder where that output goes).
"""

import os
from types import SimpleNamespace

import cv2
import Imath
import numpy as np
import OpenEXR
import pytest

CORRUPT = ("a/empty.png", "a/b/junk.jpg", "truncated.png")
UNWRITABLE = "a/locked.png"
STEPS = "resize:24x18,convert:uint8"


def _write_exr(path, picture):
    header = OpenEXR.Header(picture.shape[1], picture.shape[0])
    channel = Imath.Channel(Imath.PixelType(Imath.PixelType.HALF))
    header["channels"] = {"R": channel, "G": channel, "B": channel}
    out = OpenEXR.OutputFile(path, header)
    out.writePixels({c: picture[:, :, 2 - i].astype(np.float16).tobytes() for i, c in enumerate("RGB")})
    out.close()


def _pictures(count, seed=7):
    """(relative path, writer) pairs: smooth pictures of varied sizes, formats, depths and channel counts."""
    rng = np.random.default_rng(seed)
    kinds = [".png", ".jpg", ".tif", ".PNG", ".png16", ".grey.png", ".bgra.png", ".exr"]
    folders = ["", "a", "a/b", "c"]
    for i in range(count):
        h, w = rng.integers(20, 48, 2)
        y, x = np.mgrid[0:h, 0:w] / max(h, w)
        base = np.stack([x, y, 0.5 + 0.5 * np.sin(6 * x * y + i)], axis=-1) + rng.uniform(0, 0.05, (h, w, 3))
        picture = np.clip(base, 0, 1).astype(np.float32)
        kind = kinds[i % len(kinds)]
        rel = os.path.join(folders[i % len(folders)], f"img{i:02d}")
        if kind == ".exr":
            yield rel + ".exr", lambda p, pic=picture: _write_exr(p, pic)
            continue
        if kind == ".png16":
            data, ext = np.rint(picture * 65535).astype(np.uint16), ".png"
        else:
            data, ext = np.rint(picture * 255).astype(np.uint8), kind.split(".")[-1]
            ext = "." + ext
            if kind == ".grey.png":
                data = data[:, :, 1]
            elif kind == ".bgra.png":
                data = np.dstack([data, np.full(data.shape[:2], 200, np.uint8)])
        yield rel + ext, lambda p, d=data: cv2.imwrite(p, d)


def make_folder(root, count):
    """A folder of `count` good images plus the corrupt ones and the unwritable one; returns the good paths."""
    good = []
    for rel, write in _pictures(count):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path)
        good.append(rel)
    truncated = cv2.imencode(".png", np.full((16, 16, 3), 99, np.uint8))[1].tobytes()
    contents = {"a/empty.png": b"", "a/b/junk.jpg": b"not an image at all", "truncated.png": truncated[:40]}
    for rel, data in contents.items():
        with open(os.path.join(root, rel), "wb") as f:
            f.write(data)
    cv2.imwrite(os.path.join(root, UNWRITABLE), np.zeros((8, 8, 3), np.uint8))
    with open(os.path.join(root, "a", "notes.txt"), "w") as f:
        f.write("not an image: ignored")
    return sorted(good)


def prepare_out(out):
    """An output folder in which the output of UNWRITABLE cannot be written (a folder stands at its path)."""
    os.makedirs(os.path.join(out, UNWRITABLE))
    return out


def outputs(out):
    """{relative path: bytes} of every file under `out`."""
    found = {}
    for root, _, files in os.walk(out):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, out)] = f.read()
    return found


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """(root, good relative paths): 36 good images, 3 corrupt, 1 unwritable output."""
    root = str(tmp_path_factory.mktemp("frames"))
    return root, make_folder(root, 36)


@pytest.fixture(scope="module")
def cluster():
    """A 2-worker local cluster, started once for the module (start-up costs seconds)."""
    pytest.importorskip("distributed")
    from zemvara.pipeline.cluster import local_cluster

    with local_cluster(2) as running:
        yield running


@pytest.fixture(scope="session")
def frames():
    """This module's helpers and constants, for the test files."""
    return SimpleNamespace(make_folder=make_folder, prepare_out=prepare_out, outputs=outputs, CORRUPT=CORRUPT,
                           UNWRITABLE=UNWRITABLE, STEPS=STEPS)
