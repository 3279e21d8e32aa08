"""`resampling.opencv.resize_cv2`: OpenCV's values for every interpolation, ratio and channel count, its
refusals, and the sm_90 build of its 8-bit passes.

OpenCV runs some resizes through Intel's IPP when its build has it (8-bit
cubic among them), whose rounding differs from OpenCV's own code by up to 1;
`exact` turns IPP off so that OpenCV's own arithmetic is the reference, which
resize_cv2 reproduces value for value.
"""

import cupy as cp
import cv2
import numpy as np
import pytest

from kernelcheck import compiled
from zemvara.transform.resampling import _sources, opencv

INTERPOLATIONS = list(opencv.CV2_INTERPOLATIONS)
NAMES = opencv.CV2_INTERPOLATIONS


def sizes(w, h):
    """Reductions by 2, 3 and 1/0.37, enlargements by 2 and 2.6, mixed and one axis at a time, 1-pixel sides."""
    out = {(max(1, round(w * s)), max(1, round(h * t))) for s, t in
           [(0.5, 0.5), (1 / 3, 1 / 3), (0.37, 0.37), (2, 2), (2.6, 2.6), (1, 0.37), (2.6, 1), (2, 1 / 3), (0.5, 2.6)]}
    return sorted(out | {(1, h), (w, 1), (1, 1), (2 * w, 1), (1, 3 * h)})  # fmt: skip


def images(channels, dtype):
    """A random image (odd sides) and one with sides divisible by 2 and 3 (whole-factor reductions)."""
    rng = np.random.default_rng(channels)
    shapes = [(29, 41), (24, 36)]
    out = [rng.integers(0, 256, s + ((channels,) if channels > 1 else ()), dtype=np.uint8) for s in shapes]
    return [a if dtype == np.uint8 else (a / 255.0).astype(np.float32) for a in out]


@pytest.fixture
def exact():
    """OpenCV's own code, not IPP's, for the duration of a test."""
    was = cv2.ipp.useIPP()
    cv2.ipp.setUseIPP(False)
    yield
    cv2.ipp.setUseIPP(was)


def worst_difference(interpolation, channels, dtype):
    """The largest |resize_cv2 - cv2.resize| over the images and sizes (relative to the range for float32)."""
    worst = 0.0
    for src in images(channels, dtype):
        for size in sizes(src.shape[1], src.shape[0]):
            want = cv2.resize(src, size, interpolation=interpolation)
            got = cp.asnumpy(opencv.resize_cv2(cp.asarray(src), size, interpolation))
            assert got.shape == want.shape and got.dtype == want.dtype, (src.shape, size)
            worst = max(worst, float(np.abs(got.astype(np.float64) - want).max()))
    return worst


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
@pytest.mark.parametrize("interpolation", INTERPOLATIONS, ids=NAMES.get)
def test_uint8_gives_opencvs_values(interpolation, channels, exact):
    assert worst_difference(interpolation, channels, np.uint8) == 0


@pytest.mark.parametrize("interpolation", INTERPOLATIONS, ids=NAMES.get)
def test_uint8_within_one_of_opencv_with_ipp(interpolation):
    if not cv2.ipp.useIPP():
        pytest.skip("OpenCV without IPP: the exact test covers it")
    assert worst_difference(interpolation, 3, np.uint8) <= 1


# float32: OpenCV's own code sums in float in orders of its own (1e-5 of the range leaves room for
# those and none for a wrong tap or weight); IPP's float resizes differ from it by up to about 1e-4.
@pytest.mark.parametrize("interpolation", INTERPOLATIONS, ids=NAMES.get)
def test_float32_within_tolerance(interpolation, exact):
    assert worst_difference(interpolation, 3, np.float32) <= 1e-5


def test_float32_within_tolerance_of_ipp():
    if not cv2.ipp.useIPP():
        pytest.skip("OpenCV without IPP: the exact test covers it")
    assert max(worst_difference(i, 1, np.float32) for i in INTERPOLATIONS) <= 2e-4


def test_layouts_lists_and_copies():
    src = np.random.default_rng(5).integers(0, 256, (3, 20, 30), dtype=np.uint8)  # channel-first
    planar = opencv.resize_cv2(cp.asarray(src), (13, 7), opencv.INTER_CUBIC)
    last = opencv.resize_cv2(cp.asarray(src.transpose(1, 2, 0)), (13, 7), opencv.INTER_CUBIC)
    assert planar.shape == (3, 7, 13)
    np.testing.assert_array_equal(cp.asnumpy(planar), cp.asnumpy(last).transpose(2, 0, 1))
    wide = cp.asarray(np.random.default_rng(6).integers(0, 256, (20, 60, 3), dtype=np.uint8))
    view = wide[:, ::2]  # strided: read as the values it shows
    np.testing.assert_array_equal(cp.asnumpy(opencv.resize_cv2(view, (11, 9), opencv.INTER_AREA)),
                                  cv2.resize(cp.asnumpy(view), (11, 9), interpolation=cv2.INTER_AREA))  # fmt: skip
    same = opencv.resize_cv2(wide, (60, 20), opencv.INTER_LANCZOS4)  # the source's size: a copy
    assert same.data.ptr != wide.data.ptr and bool((same == wide).all())
    grey = cp.asarray(src[0])
    listed = opencv.resize_cv2([grey, wide], (5, 4), opencv.INTER_LINEAR)  # a list: each image as alone
    for got, one in zip(listed, [grey, wide]):
        np.testing.assert_array_equal(cp.asnumpy(got), cp.asnumpy(opencv.resize_cv2(one, (5, 4), cv2.INTER_LINEAR)))
    with pytest.raises(TypeError, match="uint8 or float32"):  # checked before any is resized
        opencv.resize_cv2([grey, cp.zeros((4, 4), cp.uint16)], (5, 4), opencv.INTER_LINEAR)


@pytest.mark.parametrize(
    "image, dsize, interpolation, error, match",
    [
        (cp.zeros((4, 4), cp.uint8), (2, 2), cv2.INTER_LINEAR_EXACT, ValueError, "unknown interpolation 5"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), 7, ValueError, "unknown interpolation 7"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), -1, ValueError, "unknown interpolation -1"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), True, TypeError, "INTER_\\* values, got True"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), 1.0, TypeError, "INTER_\\* values"),
        (cp.zeros((4, 4), cp.uint8), (2, 2), "INTER_LINEAR", TypeError, "INTER_\\* values"),
        (cp.zeros((4, 4), cp.uint16), (2, 2), 1, TypeError, "uint8 or float32"),
        (cp.zeros((6, 6, 5), cp.uint8), (2, 2), 1, ValueError, "1 to 4 channels"),
        (cp.zeros((4, 4), cp.uint8), (0, 2), 1, ValueError, "dsize"),
        (cp.zeros((4, 4), cp.uint8), (2,), 1, TypeError, "dsize"),
        (cp.zeros((4, 4), cp.uint8), (2.0, 2), 1, TypeError, "dsize"),
        (cp.zeros((4, 4), cp.uint8), (True, True), 1, TypeError, "dsize"),
        (np.zeros((4, 4), np.uint8), (2, 2), 1, TypeError, "CuPy array"),
    ],
)  # fmt: skip
def test_refusals(image, dsize, interpolation, error, match):
    with pytest.raises(error, match="^resize_cv2: .*" + match):
        opencv.resize_cv2(image, dsize, interpolation)


def test_resize_compat_cv2_dispatches_every_form():
    """resize(..., compat="cv2") on an array, a list and a tensor batch gives OpenCV's values."""
    import torch

    from zemvara.transform.resize import resize

    rng = np.random.default_rng(7)
    a, b = (rng.integers(0, 256, s, dtype=np.uint8) for s in [(17, 23, 3), (9, 31, 3)])
    want = [cv2.resize(x, (11, 5), interpolation=cv2.INTER_AREA) for x in (a, b)]
    assert np.array_equal(cp.asnumpy(resize(cp.asarray(a), (11, 5), cv2.INTER_AREA, compat="cv2")), want[0])
    got = resize([cp.asarray(a), cp.asarray(b)], (11, 5), cv2.INTER_AREA, compat="cv2")
    assert all(np.array_equal(cp.asnumpy(g), w) for g, w in zip(got, want))
    batch = torch.from_numpy(np.stack([a, a]))
    assert np.array_equal(resize(batch, (11, 5), cv2.INTER_AREA, compat="cv2").numpy()[1], want[0])


def test_every_specialisation_compiles():
    expressions = _sources.all_expressions(_sources.RESIZE_CV)
    cp.RawModule(code=_sources.RESIZE_CV.code, options=_sources.OPTIONS, name_expressions=expressions).compile()


# The GPU build of the 8-bit passes, run from the SASS nvcc makes by the kernel report's executor, must
# give the host device's values: both are integer arithmetic, but for the cubic rule's float head of each
# row and the area rules' float sums, which both builds round at every step.
@pytest.mark.skipif(not compiled.have_tools(), reason="no nvcc and nvdisasm in .venv-tools")
@pytest.mark.parametrize("interpolation, size, which", [
    (cv2.INTER_CUBIC, (41, 26), "hpass<unsigned char, int, 3>"),
    (cv2.INTER_CUBIC, (41, 26), "vpass<int, unsigned char, 3, zemvara::cv::Cubic>"),
    (cv2.INTER_LINEAR, (41, 26), "vpass<int, unsigned char, 3, zemvara::cv::Linear>"),
    (cv2.INTER_LANCZOS4, (41, 26), "vpass<int, unsigned char, 3, zemvara::cv::Fixed>"),
    (cv2.INTER_AREA, (17, 11), "hpass<unsigned char, float, 3>"),
    (cv2.INTER_AREA, (17, 11), "vpass<float, unsigned char, 3, zemvara::cv::Float>"),
    (cv2.INTER_AREA, (12, 8), "area_fast<unsigned char, 3>"),
])  # fmt: skip
def test_the_gpu_build_gives_the_host_devices_values(interpolation, size, which, tmp_path):
    src = cp.asarray(images(3, np.uint8)[1])  # 36 x 24: reductions by 3 are whole
    # Recorded, not run: its arguments are the inputs the earlier launches made.
    (launch,) = compiled.capture(lambda: opencv.resize_cv2(src, size, interpolation),
                                 lambda e: e == "zemvara::cv::" + which)  # fmt: skip
    kernel = compiled.compile_kernels(_sources.RESIZE_CV.code, [launch.expression], tmp_path)[0][launch.expression]
    memory, values = compiled.load(launch.args)
    compiled.run_blocks(launch, kernel, memory,
                        compiled.sass_paths.geometry(compiled.sass_paths.pack_params(kernel["types"], values),
                                                     launch.grid, launch.block))  # fmt: skip
    _sources.RESIZE_CV.function(launch.expression)(launch.grid, launch.block, launch.args)
    want = cp.asnumpy(launch.args[1])
    got = np.frombuffer(compiled.written(memory, values[1], want.nbytes), want.dtype).reshape(want.shape)
    np.testing.assert_array_equal(got, want)
