"""`resampling.pil.resize_pil`: Pillow's bytes for every filter and size, its layouts, its refusals,
and the sm_90 build of its passes."""

import cupy as cp
import numpy as np
import pytest
from PIL import Image

from kernelcheck import compiled
from zemvara.transform.resampling import _sources, pil

FILTERS = [pil.NEAREST, pil.BOX, pil.BILINEAR, pil.HAMMING, pil.BICUBIC, pil.LANCZOS]
NAMES = {v: k for k, v in vars(Image.Resampling).items() if isinstance(v, Image.Resampling)}


def sizes(w, h):
    """Reductions by 2, 3 and 1/0.37, enlargements by 2 and 2.6, one axis at a time, and 1-pixel sides
    (among them sizes Pillow filters along y first)."""
    out = {(max(1, round(w * s)), max(1, round(h * t))) for s, t in
           [(0.5, 0.5), (1 / 3, 1 / 3), (0.37, 0.37), (2, 2), (2.6, 2.6), (1, 0.37), (2.6, 1), (2, 1 / 3), (0.5, 2.6)]}
    return sorted(out | {(1, h), (w, 1), (1, 1), (2 * w, 1), (1, 3 * h)})  # fmt: skip


def images(mode):
    """A random image and a structured one (stripes, a checkerboard, a gradient; alpha 0, 255 and
    between, so that premultiplying matters), in a Pillow mode."""
    rng = np.random.default_rng(sum(map(ord, mode)))
    noise = rng.integers(0, 256, (29, 41, 4), dtype=np.uint8)
    noise[..., 3][rng.random((29, 41)) < 0.3] = 0
    y, x = np.mgrid[:24, :35]
    alpha = np.where((x // 4 + y // 3) % 3 == 0, 0, np.where(x > 20, 255, 9 * x % 256))
    structured = np.dstack([255 * ((x + y) % 2), 7 * x % 256, 10 * y, alpha]).astype(np.uint8)
    pick = {"L": [0], "LA": [0, 3], "RGB": [0, 1, 2], "RGBA": [0, 1, 2, 3]}[mode]
    return [a[..., pick[0]] if len(pick) == 1 else a[..., pick].copy() for a in (noise, structured)]


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA"])
@pytest.mark.parametrize("pil_filter", FILTERS, ids=lambda f: NAMES[f])
def test_uint8_gives_pillows_bytes(mode, pil_filter):
    for src in images(mode):
        for size in sizes(src.shape[1], src.shape[0]):
            want = np.asarray(Image.fromarray(src, mode).resize(size, pil_filter))
            got = cp.asnumpy(pil.resize_pil(cp.asarray(src), size, pil_filter))
            assert got.shape == want.shape and got.dtype == np.uint8
            assert np.count_nonzero(got != want) == 0, f"{mode} {src.shape} -> {size}"


@pytest.mark.parametrize("pil_filter", FILTERS, ids=lambda f: NAMES[f])
def test_float32_gives_pillows_mode_f(pil_filter):
    src = np.random.default_rng(3).normal(0, 100, (23, 31)).astype(np.float32)
    for size in sizes(31, 23):
        want = np.asarray(Image.fromarray(src, "F").resize(size, pil_filter))
        got = cp.asnumpy(pil.resize_pil(cp.asarray(src), size, pil_filter))
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6 * np.abs(want).max())


def test_float32_channels_are_separate_mode_f_images():
    src = np.random.default_rng(4).random((12, 9, 3)).astype(np.float32)
    got = cp.asnumpy(pil.resize_pil(cp.asarray(src), (20, 5), Image.Resampling.BICUBIC))
    for c in range(3):
        want = np.asarray(Image.fromarray(src[..., c], "F").resize((20, 5), Image.Resampling.BICUBIC))
        np.testing.assert_allclose(got[..., c], want, rtol=1e-6, atol=1e-6)


def test_layouts_and_views():
    src = np.random.default_rng(5).integers(0, 256, (3, 20, 30), dtype=np.uint8)  # channel-first
    planar = pil.resize_pil(cp.asarray(src), (13, 7), pil.LANCZOS)
    last = pil.resize_pil(cp.asarray(src.transpose(1, 2, 0)), (13, 7), pil.LANCZOS)
    assert planar.shape == (3, 7, 13)
    np.testing.assert_array_equal(cp.asnumpy(planar), cp.asnumpy(last).transpose(2, 0, 1))
    wide = cp.asarray(np.random.default_rng(6).integers(0, 256, (20, 60, 3), dtype=np.uint8))
    view = wide[:, ::2]  # strided: read as the values it shows
    np.testing.assert_array_equal(cp.asnumpy(pil.resize_pil(view, (11, 9), pil.HAMMING)),
                                  cp.asnumpy(pil.resize_pil(view.copy(), (11, 9), pil.HAMMING)))  # fmt: skip
    same = pil.resize_pil(wide, (60, 20), pil.BICUBIC)  # the source's size: a copy
    assert same.data.ptr != wide.data.ptr and bool((same == wide).all())
    grey = cp.asarray(src[0])
    listed = pil.resize_pil([grey, wide], (5, 4), pil.BOX)  # a list: each image as alone
    for got, one in zip(listed, [grey, wide]):
        np.testing.assert_array_equal(cp.asnumpy(got), cp.asnumpy(pil.resize_pil(one, (5, 4), pil.BOX)))
    with pytest.raises(TypeError, match="uint8 or float32"):  # checked before any is resized
        pil.resize_pil([grey, cp.zeros((4, 4), cp.uint16)], (5, 4), pil.BOX)


@pytest.mark.parametrize(
    "image, dsize, pil_filter, error, match",
    [
        (cp.zeros((4, 4), cp.uint16), (2, 2), 1, TypeError, "uint8 or float32"),
        (cp.zeros((6, 6, 5), cp.uint8), (2, 2), 1, ValueError, "1 to 4 channels"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), 6, ValueError, "unknown filter 6"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), 1.0, TypeError, "filter values"),
        (cp.zeros((4, 4), cp.uint8), (0, 2), 1, ValueError, "dsize"),
        (cp.zeros((4, 4), cp.uint8), (2.0, 2), 1, TypeError, "dsize"),
        (np.zeros((4, 4), np.uint8), (2, 2), 1, TypeError, "CuPy array"),
    ],
)  # fmt: skip
def test_refusals(image, dsize, pil_filter, error, match):
    with pytest.raises(error, match=match):
        pil.resize_pil(image, dsize, pil_filter)


def test_every_specialisation_compiles():
    expressions = _sources.all_expressions(_sources.RESIZE_PIL)
    cp.RawModule(code=_sources.RESIZE_PIL.code, options=_sources.OPTIONS, name_expressions=expressions).compile()


# The GPU build of the 8-bit passes and the alpha kernels, run from the SASS nvcc makes by the
# kernel report's executor, must give the host device's bytes: both are integer arithmetic. So
# must the float passes: double products and sums each rounded to nearest, as on the CPU.
@pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")
@pytest.mark.parametrize("which", ["premultiply<4>", "pass<unsigned char, 4, false>", "pass_y_columns<4>",
                                   "unpremultiply<4>", "nearest<unsigned char, 4>", "pass<float, 3, false>",
                                   "pass<float, 3, true>", "nearest<float, 1>", "pass_x_tiles<4>",
                                   "pass_x_tiles<3>", "pass_y_columns<3>"])  # fmt: skip
def test_the_gpu_build_gives_the_host_devices_bytes(which, tmp_path):
    src, size = cp.asarray(images("RGBA")[0]), (17, 40)
    if "float" in which:  # mode "F" images, three of them side by side or one
        src = cp.asarray(np.random.default_rng(8).normal(0, 100, (29, 41, 1 if "nearest" in which else 3)), cp.float32)
    elif which == "pass<unsigned char, 4, false>":  # reduced 20 times along x: too wide for the tiles
        src, size = cp.asarray(np.random.default_rng(9).integers(0, 256, (12, 400, 4), np.uint8)), (20, 12)
    elif which == "pass_x_tiles<3>":  # rows of 51 bytes: not whole words
        src = cp.asarray(images("RGB")[0])
    elif which == "pass_y_columns<3>":  # rows of 150 pixels: lanes with four columns and lanes with fewer
        src, size = cp.asarray(np.random.default_rng(10).integers(0, 256, (29, 300, 3), np.uint8)), (150, 12)
    pil_filter = pil.NEAREST if "nearest" in which else pil.LANCZOS
    # Recorded, not run: its arguments are the inputs the earlier launches made.
    (launch,) = compiled.capture(lambda: pil.resize_pil(src, size, pil_filter), lambda e: e == "zemvara::pil::" + which)
    kernel = compiled.compile_kernels(_sources.RESIZE_PIL.code, [launch.expression], tmp_path)[0][launch.expression]
    memory, values = compiled.load(launch.args)
    types = kernel["types"]
    compiled.run_blocks(launch, kernel, memory,
                        compiled.sass_paths.geometry(compiled.sass_paths.pack_params(types, values), launch.grid,
                                                     launch.block))  # fmt: skip
    _sources.RESIZE_PIL.function(launch.expression)(launch.grid, launch.block, launch.args)
    out = 0 if which.startswith("unpremultiply") else 1  # in place, or the second argument
    want = cp.asnumpy(launch.args[out])
    got = np.frombuffer(compiled.written(memory, values[out], want.nbytes), want.dtype).reshape(want.shape)
    np.testing.assert_array_equal(got, want)


def test_resize_compat_pil_dispatches_every_form():
    """resize(..., compat="pil") on an array, a list and a tensor batch gives resize_pil's bytes; other values refused."""
    import torch

    from zemvara.transform.resize import resize

    rng = np.random.default_rng(7)
    a, b = (rng.integers(0, 256, s, dtype=np.uint8) for s in [(17, 23, 3), (9, 31, 3)])
    want = [np.asarray(Image.fromarray(x).resize((11, 5), Image.Resampling.LANCZOS)) for x in (a, b)]
    assert np.array_equal(cp.asnumpy(resize(cp.asarray(a), (11, 5), Image.Resampling.LANCZOS, compat="pil")), want[0])
    got = resize([cp.asarray(a), cp.asarray(b)], (11, 5), Image.Resampling.LANCZOS, compat="pil")
    assert all(np.array_equal(cp.asnumpy(g), w) for g, w in zip(got, want))
    batch = torch.from_numpy(np.stack([a, a]))
    assert np.array_equal(resize(batch, (11, 5), Image.Resampling.LANCZOS, compat="pil").numpy()[1], want[0])
    with pytest.raises(ValueError, match="resize: compat must be None, 'pil' or 'cv2', got 'cv'"):
        resize(cp.asarray(a), (11, 5), 1, compat="cv")
