"""OpenEXR files that once killed the interpreter: a preview thumbnail and single-byte header mutations."""

import os
import subprocess
import sys

import numpy as np
import OpenEXR
import pytest

from zemvara.io.picload import picload

# Reads every path given on the command line, printing each before the read,
# so that a crash names the file; a refusal by the library is a result.
READER = """
import sys
from zemvara.io.picload import picload
for path in sys.argv[1:]:
    print("reading", path, flush=True)
    try:
        picload(path)
    except Exception:
        pass
print("reading done", flush=True)
"""


def planes(rgb):
    return {c: rgb[:, :, i].copy() for i, c in enumerate("RGB")}


def write(path, planes, **header):
    OpenEXR.File({"compression": OpenEXR.NO_COMPRESSION, "type": OpenEXR.scanlineimage, **header}, planes).write(str(path))
    return str(path)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """A 7 x 5 half-float RGB file with distinct planes, and its planes as (H, W, 3) R, G, B."""
    red = np.linspace(-1, 2, 35, dtype=np.float16).reshape(5, 7)
    rgb = np.stack([red, red + 3, red + 6], axis=-1)
    return write(tmp_path_factory.mktemp("exr") / "small.exr", planes(rgb)), rgb


def assert_survives(paths):
    """picload on each path in a child process: a crash fails the test instead of killing it."""
    proc = subprocess.run([sys.executable, "-c", READER, *paths], capture_output=True, text=True,
                          env=dict(os.environ), timeout=300)
    read = [line[8:] for line in proc.stdout.splitlines() if line.startswith("reading ")]
    assert proc.returncode == 0 and read == [*paths, "done"], f"crashed on {read[-1:]}: {proc.stderr[-2000:]}"


def test_a_file_with_a_preview_reads_like_one_without(small, tmp_path):
    path, rgb = small
    thumbnail = OpenEXR.PreviewImage(3, 2)  # 3 x 2 thumbnail pixels
    with_preview = write(tmp_path / "preview.exr", planes(rgb), preview=thumbnail)
    assert_survives([with_preview])
    for p in (path, with_preview):
        image = picload(p)
        assert image.dtype == np.float16
        np.testing.assert_array_equal(image.get(), rgb[:, :, ::-1])


def test_mutated_headers_never_crash(small, tmp_path):
    # Bytes that are not text (0x80, 0xFF) at every position of the file:
    # names of channels and attributes, sizes, types and offsets.
    data = open(small[0], "rb").read()
    paths = []
    for pos in range(len(data)):
        for value in (0x80, 0xFF):
            if data[pos] != value:
                mutated = bytearray(data)
                mutated[pos] = value
                paths.append(str(tmp_path / f"m{pos}_{value:x}.exr"))
                with open(paths[-1], "wb") as f:
                    f.write(mutated)
    assert_survives(paths)
