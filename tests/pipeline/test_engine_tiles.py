"""Tiled upscaling agrees with the engine run on the whole frame, and shows no seam."""

import cupy as cp
import numpy as np
import pytest

from zemvara.pipeline.engine_tiles import engine_sizes, tile_starts, tiled_upscale

from tensorrt import engines  # the stand-in's engine files (see conftest)

HEIGHT, WIDTH = 70, 90


def frame(height=HEIGHT, width=WIDTH):
    """A smooth BGR float32 picture with some texture: seams and misplaced tiles both show."""
    y, x = np.mgrid[0:height, 0:width] / 40.0
    planes = [np.sin(3 * x) * np.cos(2 * y), x * y / 4, np.cos(x + 2 * y)]
    return cp.asarray(np.stack(planes, axis=-1).astype(np.float32))


@pytest.fixture
def zoom_of(capsys):
    from zemvara.upscale.enginezoom import EngineZoom

    def build(shape=(1, 3, -1, -1), cls=EngineZoom):
        zoom = cls(model_bytes=engines.engine(shape, factor=2, filter="bilinear"))
        capsys.readouterr()
        return zoom

    return build


def whole(zoom_of, image):
    return cp.asnumpy(zoom_of().get(image))


def assert_seamless(tiled, untiled):
    """Equal where one tile alone covers the output, close elsewhere, and no step in the gradients."""
    tiled, untiled = cp.asnumpy(tiled), np.asarray(untiled)
    assert tiled.shape == untiled.shape and tiled.dtype == untiled.dtype
    # bilinear tiles differ from the whole frame only in their outermost output pixels, where the blend
    # window gives them weights below 1 %
    np.testing.assert_allclose(tiled, untiled, atol=2e-3)
    for axis in (0, 1):
        jump = np.abs(np.diff(tiled, axis=axis) - np.diff(untiled, axis=axis)).max()
        assert jump < 2e-3


@pytest.mark.parametrize("tile, overlap", [((40, 32), 8), ((64, 48), 16), ((32, 70), 4)])
def test_tiles_of_a_dynamic_engine_agree_with_the_whole_frame(zoom_of, tile, overlap):
    image = frame()
    untiled = whole(zoom_of, image)
    tiled = tiled_upscale(zoom_of(), image, tile, overlap)
    assert_seamless(tiled, untiled)
    if tile == (40, 32):
        # rows 0-23 and columns 0-31 lie in the first tile alone (the next ones start at 24 and 32):
        # there the engine's own output comes through unchanged
        np.testing.assert_array_equal(cp.asnumpy(tiled)[:48, :64], untiled[:48, :64])


def test_static_engine_takes_frames_in_tiles_of_its_size(zoom_of):
    image = frame()
    zoom = zoom_of((1, 3, 32, 32))
    assert engine_sizes(zoom) == ((32, 32), (32, 32))
    assert_seamless(tiled_upscale(zoom, image), whole(zoom_of, image))


def test_frame_smaller_than_a_static_engine_is_padded_and_cropped(zoom_of):
    image = frame(20, 25)
    # bilinear sampling clamps at the edge, as the repeated edge does: exactly the whole-frame result
    np.testing.assert_array_equal(cp.asnumpy(tiled_upscale(zoom_of((1, 3, 32, 32)), image)), whole(zoom_of, image))


def test_out_of_memory_retries_with_smaller_tiles(zoom_of):
    from zemvara.upscale.enginezoom import EngineZoom

    class SmallMemory(EngineZoom):
        sizes = []

        def get(self, input_frame):
            self.sizes.append(input_frame.shape[:2])
            if max(input_frame.shape[:2]) > 40:
                oom = cp.cuda.memory.OutOfMemoryError  # its arguments differ between CuPy versions
                raise oom.__new__(oom)
            return super().get(input_frame)

    image = frame()
    tiled = tiled_upscale(zoom_of(cls=SmallMemory), image)
    assert SmallMemory.sizes[0] == (HEIGHT, WIDTH) and max(SmallMemory.sizes[-1]) <= 40
    assert_seamless(tiled, whole(zoom_of, image))


def test_tile_starts_cover_the_axis_with_the_overlap():
    for length, tile, overlap in [(90, 40, 8), (100, 100, 16), (33, 32, 16), (500, 64, 0)]:
        starts = tile_starts(length, tile, overlap)
        assert starts[0] == 0 and starts[-1] + tile == max(length, tile)
        assert all(0 < b - a <= tile - overlap for a, b in zip(starts, starts[1:]))
