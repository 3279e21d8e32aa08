"""The decoder behaviour that file reading relies on: RGB order, 3 channels, None on failure.

On a GPU these run against the real image codec, so they also hold the host
device's stand-in to it."""

import cupy
import cv2
import numpy as np
import pytest
from nvidia import nvimgcodec

RNG = np.random.default_rng(7)
BGR = RNG.integers(0, 256, (5, 6, 3), dtype=np.uint8)


def write(tmp_path, name, image):
    path = str(tmp_path / name)
    assert cv2.imwrite(path, image)
    return path


def read(path, **params):
    image = nvimgcodec.Decoder().read(nvimgcodec.DecodeSource(path), nvimgcodec.DecodeParams(**params))
    return image, (None if image is None else cupy.asnumpy(cupy.asarray(image)))


def test_colour_comes_out_rgb(tmp_path):
    image, pixels = read(write(tmp_path, "c.png", BGR))
    assert image.shape == (5, 6, 3) and image.dtype == np.uint8
    np.testing.assert_array_equal(pixels, BGR[:, :, ::-1])


def test_grey_becomes_three_equal_channels_and_alpha_is_dropped(tmp_path):
    grey = BGR[:, :, 0]
    np.testing.assert_array_equal(read(write(tmp_path, "g.png", grey))[1], np.dstack([grey] * 3))
    bgra = np.dstack([BGR, BGR[:, :, :1]])
    np.testing.assert_array_equal(read(write(tmp_path, "a.png", bgra))[1], BGR[:, :, ::-1])


def test_sixteen_bit_is_eight_bit_unless_any_depth(tmp_path):
    deep = RNG.integers(0, 65536, (4, 4, 3), dtype=np.uint16)
    path = write(tmp_path, "d.png", deep)
    assert read(path)[0].dtype == np.uint8
    np.testing.assert_array_equal(read(path, allow_any_depth=True)[1], deep[:, :, ::-1])


@pytest.mark.host_only
def test_sixteen_to_eight_bit_rounds_to_nearest(tmp_path):
    deep = np.arange(0, 65536, 257 // 2, dtype=np.uint16)[None, :, None]
    np.testing.assert_array_equal(read(write(tmp_path, "r.png", deep))[1][0, :, 0], np.rint(deep[0, :, 0] / 257))


def test_undecodable_data_gives_none(tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\n not really")
    assert read(str(broken))[0] is None
    assert nvimgcodec.Decoder().decode(b"no image") is None


def test_bytes_decode_like_the_file(tmp_path):
    path = write(tmp_path, "c.png", BGR)
    with open(path, "rb") as f:
        data = f.read()
    image = nvimgcodec.Decoder().decode(nvimgcodec.DecodeSource(data))
    np.testing.assert_array_equal(cupy.asnumpy(cupy.asarray(image)), read(path)[1])


def test_asarray_wraps_device_memory_without_a_copy(tmp_path):
    image = read(write(tmp_path, "c.png", BGR))[0]
    array = cupy.asarray(image)
    assert array.__cuda_array_interface__["data"][0] == image.__cuda_array_interface__["data"][0]
    np.testing.assert_array_equal(np.asarray(image.cpu()), BGR[:, :, ::-1])
