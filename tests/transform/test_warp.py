"""zemvara.transform.warp: parity with OpenCV, Pillow and the float64 model; element types, batches, views, borders; refusals."""

import re
from pathlib import Path

import cupy as cp
import cv2
import numpy as np
import pytest
from PIL import Image

import warp_reference as wref
from zemvara.transform import schema
from zemvara.transform import warp as W
from zemvara.transform.affine import affine_transform
from zemvara.transform.resampling import _launch, _sources, borders, filters, warping

ROOT = Path(__file__).resolve().parents[2]
# The border modes that warp into a new array: all but those that keep dst.
BORDERS = [row.name for row in borders.BORDERS if not row.needs_dst]
# Filter name (as the model names it) -> INTER_* constant.
FLAGS = {
    "nearest": W.INTER_NEAREST, "bilinear": W.INTER_LINEAR, "bicubic": W.INTER_CUBIC, "area": W.INTER_AREA,
    "mitchell": W.INTER_MITCHELL, "catmull_rom": W.INTER_CATMULL_ROM, "b_spline": W.INTER_B_SPLINE,
    "lanczos2": W.INTER_LANCZOS2, "lanczos3": W.INTER_LANCZOS3, "lanczos4": W.INTER_LANCZOS4,
}  # fmt: skip
WIDENING = [name for name in FLAGS if name not in ("nearest", "bilinear")]


def picture(h, w, channels=3):
    """A photograph-like test image, values 0..1: gradients, rings and a soft-edged square."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r = np.hypot(x - w / 2, y - h / 2)
    square = 1 / (1 + np.exp(-2 * (w / 5 - np.maximum(abs(x - w / 3), abs(y - h / 2)))))
    planes = [x / w, 0.5 + 0.5 * np.sin(r / 2.5), square, 0.5 + 0.5 * np.cos(x / 3 + y / 5)]
    return np.stack(planes[:channels], axis=2).astype(np.float32)


def forward(scale=1.0, angle=0.0, shear=0.0, shift=(0.0, 0.0), tilt=(0.0, 0.0)):
    """A 3 x 3 forward map: rotate, shear and scale, shift, then (tilt) a projective row."""
    c, s = np.cos(angle), np.sin(angle)
    m = np.array([[c, -s + shear, shift[0]], [s, c, shift[1]], [0, 0, 1]], dtype=np.float64)
    m[:2, :2] *= scale
    m[2, :2] = tilt
    return m


ROTATE = forward(1.1, 0.5, shift=(6.3, -4.1))
SHEAR = forward(1.25, 0.1, shear=0.3, shift=(1.7, 2.2))
ENLARGE = forward(2.3, -0.2, shift=(-3.1, 1.3))
TILT = forward(1.3, 0.15, shift=(2.2, -1.4), tilt=(0.006, -0.004))


def run(name, src, m, dsize, border="BORDER_CONSTANT", fill=0.0, dst=None):
    """The warp of a NumPy image through the module, as NumPy."""
    f = W.warp_perspective if m.shape == (3, 3) and (m[2, 0] or m[2, 1]) else W.warp_affine
    m = m if f is W.warp_perspective else m[:2]
    out = f(cp.asarray(src), m, dsize, FLAGS[name], getattr(W, border), fill, None if dst is None else cp.asarray(dst))
    return cp.asnumpy(out)


class TestParityWithOpenCV:
    # OpenCV snaps warp positions to 1/32 pixel (5.x computes bilinear and
    # bicubic float32 positions exactly, other paths still snap), so its sample
    # position lies up to wref.SNAP = 1/64 + 2/2048 pixel from the exact one
    # along each axis (see snapping_tolerance). The tolerance is therefore, per
    # pixel, the largest change of the exact result (the float64 model) when
    # the position moves by SNAP along x and y (no filter widens here: every
    # map enlarges or keeps the scale); plus one level for integer results
    # (both sides round), a quarter level more for uint8 (OpenCV weighs its
    # up to 64 taps with 15-bit fixed-point weights: 64 * 2**-16 * 255 = 0.25),
    # and 1e-4 of the range for float32 arithmetic.
    @pytest.mark.parametrize("perspective", [False, True], ids=["affine", "perspective"])
    @pytest.mark.parametrize("border", BORDERS)
    @pytest.mark.parametrize("name", ["nearest", "bilinear", "bicubic", "lanczos4"])
    def test_like_opencv(self, name, border, perspective):
        cv_warp = cv2.warpPerspective if perspective else cv2.warpAffine
        for dtype, top in [(np.uint8, 255), (np.uint16, 65535), (np.float32, 1)]:
            for m in [TILT] if perspective else [ROTATE, SHEAR, ENLARGE]:
                src = (picture(19, 23) * top).astype(dtype)
                fill = (0.2 * top, 0.9 * top, 0.5 * top)
                dsize = (27, 21)
                got = run(name, src, m, dsize, border, fill)
                want = cv_warp(src, m if perspective else m[:2], dsize, flags=FLAGS[name],
                               borderMode=getattr(cv2, border), borderValue=fill)  # fmt: skip
                exact, snap = wref.snapping_tolerance(src, np.linalg.inv(m), dsize, name, getattr(W, border), fill)
                level = {np.uint8: 1.25, np.uint16: 1.0, np.float32: 0.0}[dtype]
                assert got.dtype == dtype and got.shape == want.shape
                diff = np.abs(got.astype(np.float64) - want)
                assert (diff <= snap + level + 1e-4 * top).all(), (dtype, diff.max())

    def test_transparent_writes_inside_the_source_only(self):
        # OpenCV's transparent border writes some pixels whose position lies
        # just outside the source, and reads taps beyond the edge its own way,
        # by filter; the two agree wherever the whole footprint lies inside
        # (4 pixels from every edge), and this warp leaves every pixel whose
        # position lies outside the source as dst holds it.
        src, dsize = picture(19, 23), (27, 21)
        dst = np.full((21, 27, 3), -5.0, np.float32)
        y, x = np.mgrid[0:21, 0:27]
        px, py, _ = np.tensordot(np.linalg.inv(ROTATE), [x, y, np.ones_like(x)], axes=1)
        inner = (px >= 4) & (px <= 23 - 5) & (py >= 4) & (py <= 19 - 5)
        for name in ["nearest", "bilinear", "bicubic", "lanczos4"]:
            got = run(name, src, ROTATE, dsize, "BORDER_TRANSPARENT", dst=dst)
            np.testing.assert_allclose(got, wref.warp(src, np.linalg.inv(ROTATE), dsize, name, 5, dst=dst), atol=1e-5)
            want = cv2.warpAffine(src, ROTATE[:2], dsize, dst=dst.copy(), flags=FLAGS[name],
                                  borderMode=cv2.BORDER_TRANSPARENT)  # fmt: skip
            exact, snap = wref.snapping_tolerance(src, np.linalg.inv(ROTATE), dsize, name)
            assert (np.abs(got - want)[inner] <= snap[inner] + 1e-4).all()
            assert (got[(px < 0) | (py > 18)] == -5.0).all() and not (got[inner] == -5.0).any()


class TestModel:
    # The float64 model: float32 arithmetic over a few dozen taps keeps within 1e-5 of values 0..1.
    @pytest.mark.parametrize("name", WIDENING)
    def test_reductions_like_the_model(self, name):
        src = picture(48, 52)
        for m, border in [(forward(0.4, 0.3, shift=(3.0, 4.0)), "BORDER_REFLECT"),
                          (forward(0.45, -0.2, shift=(2.0, 12.0), tilt=(0.004, 0.006)), "BORDER_CONSTANT")]:  # fmt: skip
            got = run(name, src, m, (22, 24), border, fill=(0.1, 0.2, 0.3))
            want = wref.warp(src, np.linalg.inv(m), (22, 24), name, getattr(W, border), (0.1, 0.2, 0.3))
            np.testing.assert_allclose(got, want, atol=1e-5)

    @pytest.mark.parametrize("name", list(FLAGS))
    def test_every_border_on_every_tap(self, name):
        src = picture(9, 11)
        m = forward(0.8, 0.4, shift=(-4.0, -3.0))  # reaches well beyond every edge
        for border in BORDERS:
            got = run(name, src, m, (20, 17), border, fill=(0.25, 0.5, 0.75))
            want = wref.warp(src, np.linalg.inv(m), (20, 17), name, getattr(W, border), (0.25, 0.5, 0.75))
            np.testing.assert_allclose(got, want, atol=2e-5, err_msg=border)

    def test_behind_the_horizon_is_outside(self):
        # w <= 0 over part of the output: those pixels take the fill, under every border.
        src, m = picture(16, 16), forward(1.0, tilt=(-0.05, 0.0))
        for border in BORDERS:
            got = run("bilinear", src, np.linalg.inv(m), (30, 10), border, fill=7.0)
            assert (got[:, 21:] == 7.0).all()
            # Near the horizon positions grow as 1 / w: float32 keeps them to 1e-4 of the value range here.
            np.testing.assert_allclose(got, wref.warp(src, m, (30, 10), "bilinear", getattr(W, border), 7.0), atol=1e-4)


class TestPillow:
    # Pillow's Image.transform samples without widening its filters, so its
    # reductions alias; its resize widens them as this warp does. An axis-aligned
    # reduction by f is the warp by the inverse map x * f + (f - 1) / 2 (Pillow's
    # half-pixel centres). Away from the border, where Pillow renormalises over
    # the taps inside, both compute the same sums.
    @pytest.mark.parametrize(
        "name, pil", [("catmull_rom", Image.Resampling.BICUBIC), ("lanczos3", Image.Resampling.LANCZOS),
                      ("area", Image.Resampling.BOX)],
    )  # fmt: skip
    def test_reductions_like_pillow_resize(self, name, pil):
        # Pillow's box samples its kernel at the tap centres; at integer factors that is the area's overlap.
        grey, f = picture(60, 60, channels=2)[:, :, 1], 3.0 if name == "area" else 2.5
        inverse = np.array([[f, 0, (f - 1) / 2], [0, f, (f - 1) / 2], [0, 0, 1]])
        got = run(name, grey, np.linalg.inv(inverse), (int(60 / f),) * 2)
        want = np.asarray(Image.fromarray(grey, mode="F").resize(got.shape[::-1], pil))
        np.testing.assert_allclose(got[4:-4, 4:-4], want[4:-4, 4:-4], atol=1e-4)

    @pytest.mark.parametrize("name, pil", [("bilinear", Image.Resampling.BILINEAR), ("nearest", Image.Resampling.NEAREST)])
    def test_enlargements_like_pillow_transform(self, name, pil):
        # Pillow samples output pixel centre (x + 1/2, y + 1/2) at a (x + 1/2) + b (y + 1/2) + c - 1/2.
        grey = picture(30, 30, channels=2)[:, :, 1]
        a, b, c, d, e, f = 0.45, 0.12, 3.3, -0.1, 0.4, 5.1
        pil_out = Image.fromarray(grey, mode="F").transform((40, 40), Image.Transform.AFFINE, (a, b, c, d, e, f), pil)
        inverse = np.array([[a, b, c + (a + b - 1) / 2], [d, e, f + (d + e - 1) / 2], [0, 0, 1]])
        got = run(name, grey, np.linalg.inv(inverse), (40, 40))
        np.testing.assert_allclose(got[2:-2, 2:-2], np.asarray(pil_out)[2:-2, 2:-2], atol=1e-4)


class TestTypesAndShapes:
    @pytest.mark.parametrize("name", ["bilinear", "bicubic", "lanczos3", "lanczos4", "area"])
    def test_images_wide_enough_for_the_interior_paths(self, name):
        # Blocks whose footprint lies inside: float32 pixels staged in shared
        # memory, 3-channel uint8 rows read in whole words. The model's values;
        # the same as through a strided view (the border path) to the bit; uint8
        # within one level of float32 rounded.
        src, m, dsize = picture(72, 96), forward(1.02, 0.3, shift=(8.0, -14.0)), (80, 70)
        got = run(name, src, m, dsize, "BORDER_REFLECT")
        np.testing.assert_allclose(got, wref.warp(src, np.linalg.inv(m), dsize, name, W.BORDER_REFLECT), atol=1e-5)
        wide = np.zeros((72, 96, 2, 3), np.float32)
        wide[:, :, 0] = src
        strided = cp.asarray(wide)[:, :, 0]
        np.testing.assert_array_equal(cp.asnumpy(W.warp_affine(strided, m[:2], dsize, FLAGS[name], W.BORDER_REFLECT)), got)
        bytes_ = (src * 255).astype(np.uint8)
        want = np.clip(np.rint(run(name, bytes_.astype(np.float32), m, dsize, "BORDER_REFLECT")), 0, 255)
        assert np.abs(run(name, bytes_, m, dsize, "BORDER_REFLECT").astype(np.float64) - want).max() <= 1

    @pytest.mark.parametrize("name", ["bilinear", "bicubic", "mitchell"])
    @pytest.mark.parametrize("width", [64, 61], ids=["rows-of-whole-words", "odd-rows"])
    def test_uint8_columns_like_each_pixel_on_its_own(self, name, width):
        # 3-channel uint8 affine warps at stretch 1 walk a thread's column in
        # a loop of their own: windows inside read in words, pixels beyond a
        # constant border filled at once, the rest through the border path.
        # One row of blocks walks every row that way; channels apart in dst
        # take each pixel through the general path instead. Bit for bit.
        src = cp.asarray((picture(40, width) * 255).astype(np.uint8))[None]
        inverse = cp.asarray(np.linalg.inv(forward(1.01, 0.2, shift=(-5.0, 3.0))).astype(np.float32).reshape(1, 9))
        traits, p0, p1 = warping.WARP_FILTERS[FLAGS[name]]
        for border in [W.BORDER_CONSTANT, W.BORDER_REFLECT, W.BORDER_TRANSPARENT]:
            column = cp.full((1, 44, 70, 3), 7, cp.uint8)
            apart = cp.full((1, 44, 70, 6), 7, cp.uint8)
            for grid, dst in [((5, 1, 1), column), ((5, 3, 1), apart[..., ::2])]:
                W.warp_affine_kernel(grid, (16, 16, 1), (src, dst, inverse, traits, border, (9.0, 200.0, 31.0), p0, p1))
            cp.testing.assert_array_equal(column, apart[..., ::2])

    @pytest.mark.parametrize("name", ["bilinear", "lanczos3", "area"])
    def test_element_types(self, name):
        # float16 within half precision of float32; integers within one level of float32 rounded and saturated.
        m = forward(0.7, 0.3, shift=(3.0, 1.0))
        half = (picture(20, 22) * 4).astype(np.float16)
        ref16 = run(name, half.astype(np.float32), m, (18, 16))
        np.testing.assert_allclose(run(name, half, m, (18, 16)).astype(np.float32), ref16, rtol=2**-11, atol=2**-24)
        for dtype, top in [(np.uint8, 255), (np.uint16, 65535)]:
            src = (picture(20, 22) * top).astype(dtype)
            want = np.clip(np.rint(run(name, src.astype(np.float32), m, (18, 16))), 0, top)
            assert np.abs(run(name, src, m, (18, 16)).astype(np.float64) - want).max() <= 1

    @pytest.mark.parametrize("channels", [1, 2, 4])
    def test_channels_and_grey(self, channels):
        src = picture(14, 15, channels=channels)
        full = run("bicubic", src, ROTATE, (12, 13), fill=0.5)
        assert full.shape == (13, 12, channels)
        grey = run("bicubic", src[:, :, 0], ROTATE, (12, 13), fill=0.5)
        assert grey.shape == (13, 12)
        np.testing.assert_array_equal(grey, full[:, :, 0])

    @pytest.mark.parametrize("name", list(FLAGS))
    def test_a_perspective_with_an_affine_matrix_is_the_affine_warp(self, name):
        src = cp.asarray(picture(30, 31))
        for m in [forward(0.3, 0.4, shift=(2.0, 3.0)), ENLARGE]:
            affine = W.warp_affine(src, m[:2], (20, 19), FLAGS[name], W.BORDER_REFLECT)
            cp.testing.assert_array_equal(W.warp_perspective(src, m, (20, 19), FLAGS[name], W.BORDER_REFLECT), affine)

    def test_views_are_read_and_written_in_place(self):
        base = cp.asarray(picture(20, 44, channels=4))
        view = base[:, ::2, :3]  # strided columns, three of four channels
        want = W.warp_affine(cp.ascontiguousarray(view), ROTATE[:2], (9, 8), W.INTER_LANCZOS3, W.BORDER_WRAP)
        out = cp.full((8, 18, 3), -1.0, cp.float32)
        got = W.warp_affine(view, ROTATE[:2], (9, 8), W.INTER_LANCZOS3, W.BORDER_WRAP, dst=out[:, ::2])
        cp.testing.assert_array_equal(got, want)
        assert (out[:, 1::2] == -1).all()
        flipped = base[:, :, 2::-1]  # channels reversed: read through a copy
        cp.testing.assert_array_equal(W.warp_affine(flipped, ROTATE[:2], (9, 8)),
                                      W.warp_affine(cp.ascontiguousarray(flipped), ROTATE[:2], (9, 8)))  # fmt: skip

    def test_inverse_maps_and_cupy_matrices(self):
        src = cp.asarray(picture(16, 17))
        inverse = np.linalg.inv(ROTATE)[:2]
        want = W.warp_affine(src, ROTATE[:2], (12, 13))
        cp.testing.assert_allclose(W.warp_affine(src, inverse, (12, 13), W.INTER_LINEAR | W.WARP_INVERSE_MAP), want, atol=1e-5)
        cp.testing.assert_array_equal(W.warp_affine(src, cp.asarray(ROTATE[:2]), (12, 13)), want)
        cp.testing.assert_array_equal(W.warp_affine(src, ROTATE[:2].tolist(), (12, 13)), want)
        # A singular inverse map is a map like any other: every pixel samples one line.
        flat = W.warp_affine(src, [[0, 0, 3], [0.5, 0, 2]], (12, 13), W.INTER_LINEAR | W.WARP_INVERSE_MAP)
        assert flat.shape == (13, 12, 3)
        cp.testing.assert_array_equal(W.warp_affine(src, ROTATE[:2], (0, 0)).shape, src.shape)


class TestBatches:
    def test_one_launch_like_one_call_per_image(self, monkeypatch):
        batch = cp.asarray(np.stack([picture(16, 18) * k for k in (1, 2, 3)]))
        ms = np.stack([forward(0.8 + 0.2 * k, 0.1 * k, shift=(k, 2.0))[:2] for k in range(3)])
        single = [W.warp_affine(batch[k], ms[k], (15, 14), W.INTER_CUBIC, W.BORDER_REFLECT) for k in range(3)]
        launches = []
        kernel = W.warp_affine_kernel
        monkeypatch.setattr(W, "warp_affine_kernel", lambda *a: launches.append(a[:2]) or kernel(*a))
        got = W.warp_affine(batch, ms, (15, 14), W.INTER_CUBIC, W.BORDER_REFLECT)
        assert launches == [((1, 1, 3), (16, 16, 1))]
        cp.testing.assert_array_equal(got, cp.stack(single))
        shared = W.warp_affine(batch, ms[1], (15, 14), W.INTER_CUBIC, W.BORDER_REFLECT)
        cp.testing.assert_array_equal(shared[0], W.warp_affine(batch[0], ms[1], (15, 14), W.INTER_CUBIC, W.BORDER_REFLECT))


SRC = cp.zeros((6, 7, 3), cp.float32)


class ClaimsMoreRows(cp.ndarray):
    """A batch whose shape attribute says 64 rows, more than its memory holds."""

    @property
    def shape(self):
        real = super().shape
        return real[:1] + (64,) + real[2:]


AFFINE = np.array([[1.0, 0.1, 0.0], [0.0, 1.0, 0.0]])


@pytest.mark.parametrize(
    "f, change, error, words",
    [
        (W.warp_affine, dict(src=np.zeros((6, 7, 3), np.float32)), TypeError, "src must be a CuPy array, got ndarray"),
        (W.warp_affine, dict(src=cp.zeros((6, 7), cp.float64)), TypeError, "src has element type float64"),
        (W.warp_affine, dict(src=cp.zeros((6, 7, 5), cp.uint8)), ValueError, r"src has shape \(6, 7, 5\)"),
        (W.warp_affine, dict(src=cp.zeros(7, cp.uint8)), ValueError, r"src has shape \(7,\)"),
        (W.warp_affine, dict(src=cp.zeros((0, 7), cp.uint8)), ValueError, r"src of shape \(0, 7\) is empty"),
        (W.warp_affine, dict(flags=99), ValueError, "flags 99 names no warp filter"),
        (W.warp_affine, dict(flags=W.INTER_AUTO), ValueError, f"flags {W.INTER_AUTO} names no warp filter"),
        (W.warp_affine, dict(flags=True), TypeError, "Argument 'flags' has incorrect type"),
        (W.warp_affine, dict(border_mode=6), ValueError, "border_mode 6 is not a border mode"),
        (W.warp_affine, dict(border_mode=1.0), TypeError, "Argument 'border_mode' has incorrect type"),
        (W.warp_affine, dict(M=np.eye(3)), ValueError, r"M has shape \(3, 3\); accepted: \(2, 3\)"),
        (W.warp_perspective, dict(M=AFFINE), ValueError, r"M has shape \(2, 3\); accepted: \(3, 3\)"),
        (W.warp_affine, dict(M=np.stack([AFFINE] * 2)), ValueError, "M holds 2 matrices for a single image"),
        (W.warp_affine, dict(src=cp.zeros((2, 6, 7, 1), cp.uint8), M=np.stack([AFFINE] * 3)), ValueError,
         "M holds 3 matrices for a batch of 2"),
        (W.warp_affine, dict(M=[[1, 0, np.nan], [0, 1, 0]]), ValueError, "M holds a non-finite entry"),
        (W.warp_affine, dict(M=[["1", 0, 0], [0, 1, 0]]), TypeError, "M must hold real numbers"),
        (W.warp_affine, dict(M=[[1, 2, 0], [2, 4, 0]]), ValueError, "M is singular"),
        (W.warp_affine, dict(dsize=(3,)), TypeError, r"dsize must be \(width, height\), two ints, got \(3,\)"),
        (W.warp_affine, dict(dsize=(3.0, 4)), TypeError, "dsize must be"),
        (W.warp_affine, dict(dsize=(True, 4)), TypeError, "dsize must be"),
        (W.warp_affine, dict(dsize=(0, 4)), ValueError, r"dsize \(0, 4\) is not a size"),
        (W.warp_affine, dict(dsize=(4, 2**24)), ValueError, "is not a size"),
        (W.warp_affine, dict(border_value=(1, 2)), ValueError, "border_value holds 2 values for 3 channels"),
        (W.warp_affine, dict(border_value="0"), TypeError, "border_value must be a number"),
        (W.warp_affine, dict(border_value=(1, "2", 3)), TypeError, "border_value holds '2'"),
        (W.warp_affine, dict(dst=np.zeros((4, 5, 3), np.float32)), TypeError, "dst must be a CuPy array, got ndarray"),
        (W.warp_affine, dict(dst=cp.zeros((4, 5, 3), cp.uint8)), TypeError, "dst has element type uint8"),
        (W.warp_affine, dict(dst=cp.zeros((5, 4, 3), cp.float32)), ValueError, r"the result has shape \(4, 5, 3\)"),
        (W.warp_affine, dict(border_mode=W.BORDER_TRANSPARENT), ValueError, "BORDER_TRANSPARENT .* pass dst"),
        (W.warp_affine, dict(dsize=(7, 6), dst=SRC), ValueError, "dst overlaps src"),
        (W.warp_affine, dict(dst=cp.ndarray((4, 5, 3), cp.float32, memptr=cp.zeros(15, cp.float32).data,
                                            strides=(0, 12, 4))), ValueError, "dst overlaps itself"),
        (W.warp_affine, dict(border_value=np.array("0")), TypeError, "border_value holds .*, not a real number"),
    ],
)  # fmt: skip
def test_refusals(f, change, error, words):
    args = dict(src=SRC, M=AFFINE, dsize=(5, 4))
    args.update(change)
    with pytest.raises(error, match=words):
        f(**args)


@pytest.mark.parametrize("what", ["src", "dst"])
def test_the_kernel_refuses_arrays_claiming_more_than_their_memory(what):
    arrays = dict(src=cp.zeros((1, 6, 7, 3), cp.float32), dst=cp.zeros((1, 4, 5, 3), cp.float32))
    arrays[what] = ClaimsMoreRows(arrays[what].shape, cp.float32, memptr=arrays[what].data)
    args = (arrays["src"], arrays["dst"], cp.zeros((1, 9), cp.float32), "zemvara::Bilinear", 0, (0, 0, 0), 0, 0)
    with pytest.raises(ValueError, match=f"warp_affine_kernel: {what} claims bytes"):
        warping.warp_affine_kernel((1, 1, 1), (16, 16, 1), args)


def test_the_kernel_refuses_blocks_beyond_its_launch_bounds():
    args = (cp.zeros((1, 6, 7, 3), cp.float32), cp.zeros((1, 4, 40, 3), cp.float32), cp.zeros((1, 9), cp.float32),
            "zemvara::Bilinear", 0, (0, 0, 0), 0, 0)  # fmt: skip
    with pytest.raises(ValueError, match="more than the 256 threads"):
        warping.warp_affine_kernel((1, 1, 1), (40, 8, 1), args)


def test_names():
    assert [getattr(W, row.name) for row in borders.BORDERS] == [getattr(cv2, row.name) for row in borders.BORDERS]
    assert W.WARP_INVERSE_MAP == cv2.WARP_INVERSE_MAP == 16
    assert all(getattr(W, n) is getattr(schema, n) for n in dir(schema) if n.startswith("INTER_"))
    assert W.warp_affine.__defaults__ == (W.INTER_LINEAR, W.BORDER_CONSTANT, 0, None, False, None)


def test_a_refusal_points_at_its_step():
    with pytest.raises(ValueError) as exc:
        W.warp_perspective(SRC, np.eye(3), (5, 4), border_mode=9)
    tb = exc.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert (code.co_name, code.co_filename) == ("zemvara.transform.warp.warp_perspective",
                                                "src/zemvara_source/transform/warp")  # fmt: skip
    # _border(border_mode), as warp.cpp numbers it in warp_perspective's lines
    lines = re.search(r"perspective_lines\{([^;]*)\};", (ROOT / "src/zemvara_source/transform/warp.cpp").read_text())
    assert tb.tb_lineno == int(re.search(r"\.border\{(\d+)\}", lines.group(1)).group(1))


def test_every_list_of_border_modes_is_the_table():
    rows = borders.BORDERS
    assert [(k, v) for k, v in vars(W).items() if k.startswith("BORDER_")] == [(r.name, r.value) for r in rows]
    assert [line for line in (ROOT / "python/zemvara/transform/warp.pyi").read_text().splitlines()
            if line.startswith("BORDER_")] == [borders.stub_line(r) for r in rows]  # fmt: skip
    assert [line for line in (ROOT / "README.md").read_text().splitlines()
            if line.startswith("| `BORDER_")] == [borders.readme_row(r) for r in rows]  # fmt: skip
    assert list(wref.INDEX) == [r.name for r in rows]
    assert "enum { " + ", ".join(f"{r.name} = {r.value}" for r in rows) + " };" in _sources.WARP.code


@pytest.mark.parametrize("row", filters.FILTERS, ids=lambda row: row.name)
def test_every_filter_of_the_table_warps_in_both_modules(row):
    src = cp.asarray(picture(9, 8))
    m = np.array([[0.7, 0.1, 1.0], [0.0, 0.8, 0.5]])
    assert affine_transform(src, m, (6, 7), row.inter).shape == (6, 7, 3)
    assert W.warp_affine(src[..., 0], m, (7, 6), row.inter).shape == (6, 7)


def test_a_new_row_of_the_filter_table_is_accepted_by_both_modules(monkeypatch):
    new = filters.BY_INTER[W.INTER_LANCZOS4]._replace(name="lanczos4_again", inter=99)
    monkeypatch.setitem(filters.BY_INTER, new.inter, new)
    monkeypatch.setitem(warping.WARP_FILTERS, new.inter, warping.WARP_FILTERS[W.INTER_LANCZOS4])
    src = cp.asarray(picture(9, 8))
    m = np.array([[0.7, 0.1, 1.0], [0.0, 0.8, 0.5]])
    for f, size in ((affine_transform, (6, 7)), (W.warp_affine, (7, 6))):
        np.testing.assert_array_equal(cp.asnumpy(f(src, m, size, new.inter)), cp.asnumpy(f(src, m, size, W.INTER_LANCZOS4)))


def _odd_strides(array):
    """A copy of a 2-D uint16 array in memory whose strides are odd numbers of bytes."""
    h, w = array.shape
    memory = cp.zeros(3 * h * w * 2 + 1, cp.uint8)
    view = cp.ndarray((h, w), cp.uint16, memptr=memory.data + 1, strides=(3 * w * 2 + 1, 3))
    view[...] = array
    return view


@pytest.mark.parametrize("change", ["numpy integers", "0-d border_value", "odd strides"])
def test_arguments_of_other_types_warp_as_their_plain_form(change):
    src = cp.asarray((picture(6, 7, 1)[..., 0] * 60000).astype(np.uint16))
    plain = dict(src=src, M=AFFINE, dsize=(5, 4), flags=W.INTER_LINEAR, border_mode=W.BORDER_REFLECT, border_value=3.0)
    other = dict(plain)
    if change == "numpy integers":
        other.update(flags=np.int64(W.INTER_LINEAR), border_mode=np.int32(W.BORDER_REFLECT))
    elif change == "0-d border_value":
        other.update(border_value=np.array(3.0), border_mode=W.BORDER_CONSTANT)
        plain.update(border_mode=W.BORDER_CONSTANT)
    else:
        other.update(src=_odd_strides(src), dst=_odd_strides(cp.zeros((4, 5), cp.uint16)))
    np.testing.assert_array_equal(cp.asnumpy(W.warp_affine(**other)), cp.asnumpy(W.warp_affine(**plain)))


def test_every_specialisation_compiles():
    expressions = _sources.all_expressions(_sources.WARP)
    assert len(expressions) == 2 * len(warping.FAMILIES) * len(_sources.KERNEL_ELEMENTS) * len(warping.CHANNELS)
    cp.RawModule(code=_sources.WARP.code, options=_sources.OPTIONS, name_expressions=expressions).compile()
