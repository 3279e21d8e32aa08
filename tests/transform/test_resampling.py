"""The six affine-warp kernels: accuracy against OpenCV, Pillow and the definitions, the accepted sources, the refusals, the border."""

import cupy as cp
import cv2
import numpy as np
import pytest
from PIL import Image

import resampling_reference as ref
from zemvara.transform.resampling import _sources, bicubic, bilinear, lanczos, mitchell
from zemvara.transform.resize import resize


def pattern(h, w, channels=3):
    """Gradients, a ring and a hard-edged square, values 0..1."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    r = np.hypot(x - w / 2, y - h / 2)
    planes = [x / w, 0.5 + 0.5 * np.sin(r / 2.5), ((abs(x - w / 3) < w / 6) & (abs(y - h / 2) < h / 4)) * 1.0]
    return np.stack(planes[:channels], axis=2).astype(np.float32)


def inverse(scale=1.0, angle=0.0, shift=(0.0, 0.0)):
    """Inverse matrix (destination to source): rotate by angle and stretch by scale, then shift."""
    c, s = np.cos(angle) * scale, np.sin(angle) * scale
    return np.array([[c, -s, shift[0]], [s, c, shift[1]]], dtype=np.float32)


def warp(name, src, inv, dsize, fill=0.0):
    kernel, extra = ref.KERNELS[name]
    out = cp.full((*dsize, 3), fill, dtype=cp.float32)
    grid = ((dsize[1] + 15) // 16, (dsize[0] + 15) // 16)
    src = cp.asarray(src)
    m = cp.asarray(np.asarray(inv, dtype=np.float32).ravel())
    kernel(grid, (16, 16, 1), (src, out, m, src.shape[0], src.shape[1], dsize[0], dsize[1]) + extra)
    return cp.asnumpy(out)


OPENCV_5 = int(cv2.__version__.split(".")[0]) >= 5

ENLARGE = inverse(scale=0.37, shift=(2.3, 1.7))
ROTATE = inverse(scale=0.9, angle=0.5, shift=(8.0, -4.0))
ROTATE_REDUCE = inverse(scale=2.3, angle=-0.4, shift=(6.0, 12.0))


class TestAccuracy:
    # OpenCV snaps source positions to 1/32 pixel and looks the weights up for
    # that position, so it may differ from the exact position by 1/64 pixel per
    # axis: up to the steepest slope of the filtered image times 1/64. Measured
    # on this pattern (values 0..1) with OpenCV 5.1: Lanczos-4 0.019 (snapped);
    # bilinear and bicubic 2e-6 (5.x computes float32 positions exactly for
    # them, 4.x snaps them too); nearest identical away from exact ties, which
    # these matrices avoid.
    @pytest.mark.parametrize(
        "name, flag, exact",
        [("nearest", cv2.INTER_NEAREST, True), ("bilinear", cv2.INTER_LINEAR, OPENCV_5),
         ("bicubic", cv2.INTER_CUBIC, OPENCV_5), ("lanczos4", cv2.INTER_LANCZOS4, False)],
    )  # fmt: skip
    @pytest.mark.parametrize("inv", [ENLARGE, ROTATE], ids=["enlarge", "rotate"])
    def test_like_opencv_warp_affine(self, name, flag, exact, inv):
        src = pattern(24, 28)
        got = warp(name, src, inv, (30, 34))
        want = cv2.warpAffine(src, inv, (34, 30), flags=flag | cv2.WARP_INVERSE_MAP, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        np.testing.assert_allclose(got, want, atol=1e-5 if exact else 0.025)

    # Pillow resizes with half-pixel centres and widens its filters by the
    # reduction factor; away from the border (where Pillow renormalises over
    # the taps inside) it computes the same sums in double precision.
    @pytest.mark.parametrize(
        "name, pil_filter, factor",
        [("catmull_rom", Image.Resampling.BICUBIC, 2.5), ("lanczos3", Image.Resampling.LANCZOS, 2.5),
         ("area", Image.Resampling.BOX, 3.0)],
    )  # fmt: skip
    def test_like_pillow_reductions(self, name, pil_filter, factor):
        grey = pattern(60, 60, channels=2)[:, :, 1]
        size = int(60 / factor)
        inv = inverse(scale=factor, shift=(0.5 * factor - 0.5, 0.5 * factor - 0.5))
        got = warp(name, np.dstack([grey] * 3), inv, (size, size))[:, :, 0]
        want = np.asarray(Image.fromarray(grey, mode="F").resize((size, size), pil_filter))
        inner = slice(4, size - 4)
        np.testing.assert_allclose(got[inner, inner], want[inner, inner], atol=1e-4)

    @pytest.mark.parametrize("factor", [2, 4])
    def test_area_like_opencv_resize_at_integer_factors(self, factor):
        src = pattern(32, 48)
        inv = inverse(scale=factor, shift=(0.5 * factor - 0.5, 0.5 * factor - 0.5))
        got = warp("area", src, inv, (32 // factor, 48 // factor))
        want = cv2.resize(src, (48 // factor, 32 // factor), interpolation=cv2.INTER_AREA)
        np.testing.assert_allclose(got, want, atol=1e-5)

    # Everything else against a float64 evaluation of the definitions:
    # 1e-3 of the value range, the bound the float32 arithmetic must keep.
    @pytest.mark.parametrize("name", ["mitchell", "b_spline", "lanczos2", "area", "bilinear", "bicubic", "nearest"])
    @pytest.mark.parametrize("inv", [ROTATE_REDUCE, ENLARGE], ids=["rotate_reduce", "enlarge"])
    def test_like_the_definition(self, name, inv):
        src = pattern(40, 44)
        dsize = (26, 30)
        got = warp(name, src, inv, dsize)
        want = ref.warp(src, inv, dsize, name)
        np.testing.assert_allclose(got, want, atol=1e-3)


    # Sources narrower than a chunk of taps (read one tap at a time) and a
    # Lanczos-3 enlargement (a chunk of six).
    @pytest.mark.parametrize("name", ["bicubic", "lanczos3", "area"])
    @pytest.mark.parametrize("shape", [(3, 3), (5, 7), (24, 26)])
    def test_narrow_sources_and_six_tap_chunks_like_the_definition(self, name, shape):
        src = pattern(*shape)
        got = warp(name, src, ENLARGE, (12, 14))
        np.testing.assert_allclose(got, ref.warp(src, ENLARGE, (12, 14), name), atol=1e-3)

    @pytest.mark.parametrize("name", ["lanczos4", "area"])
    def test_wide_footprints_like_the_definition(self, name):
        # More taps per axis than the kernel keeps from its weight sums.
        src = pattern(64, 70)
        inv = inverse(scale=6.5, angle=0.3, shift=(20.0, 5.0))
        np.testing.assert_allclose(warp(name, src, inv, (9, 10)), ref.warp(src, inv, (9, 10), name), atol=1e-3)


class TestStretchOne:
    """Rotations and enlargements at stretch 1 on both axes, whose windows inside the image
    are weighed in closed form and, for float32 RGB rows 16 bytes apart, read in vectors."""

    SHIFT = np.array([[1, 0, 0.4], [0, 1, 0.3]], dtype=np.float32)  # windows reach the last pixel
    TURN = inverse(angle=0.3, shift=(4.0, -3.0))

    @pytest.mark.parametrize("width", [28, 29])
    @pytest.mark.parametrize("inv", [SHIFT, TURN], ids=["shift", "turn"])
    @pytest.mark.parametrize("name", ["bicubic", "mitchell", "b_spline", "lanczos2", "lanczos3", "lanczos4", "area"])
    def test_like_the_definition(self, name, inv, width):
        src = pattern(26, width)
        np.testing.assert_allclose(warp(name, src, inv, (26, width)), ref.warp(src, inv, (26, width), name), atol=5e-6)

    @pytest.mark.parametrize("inv", [SHIFT, TURN], ids=["shift", "turn"])
    @pytest.mark.parametrize("dtype", [np.float32, np.uint8, np.uint16])
    @pytest.mark.parametrize("name", ["bicubic", "lanczos3"])
    def test_every_layout_type_and_alignment_gives_the_same_bits(self, name, dtype, inv):
        grey = np.round(pattern(26, 28)[:, :, 1] * 255).astype(dtype)
        rgb = np.dstack([grey] * 3)
        off = cp.concatenate([cp.zeros(1, dtype), cp.asarray(rgb).ravel()])[1:].reshape(rgb.shape)  # not on 4 bytes
        want = warp(name, rgb.astype(np.float32), inv, (26, 28))
        for given in (rgb, grey, grey[:, :, None], np.dstack([rgb, grey]), off):
            np.testing.assert_array_equal(warp(name, given, inv, (26, 28)), want)


class TestSources:
    # Every accepted element type and layout gives what its float32 (H, W, 3) equivalent gives.
    @pytest.mark.parametrize(
        "dtype, scale", [(np.uint8, 255), (np.uint16, 65535), (np.float16, 1), (np.float32, 1)]
    )
    def test_element_types_are_read_unscaled(self, dtype, scale):
        src = (pattern(20, 22) * scale).astype(dtype)
        got = warp("bicubic", src, ROTATE, (18, 20))
        want = warp("bicubic", src.astype(np.float32), ROTATE, (18, 20))
        np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6 * scale)
        assert got.max() > 0.5 * scale  # values keep the source's range

    @pytest.mark.parametrize("layout", ["HW", "HW1", "HW4"])
    def test_grey_is_replicated_and_alpha_ignored(self, layout):
        src = pattern(20, 22)
        if layout == "HW4":
            given, same = np.dstack([src, np.full(src.shape[:2], 9.0, np.float32)]), src
        else:
            grey = src[:, :, 1]
            given = grey if layout == "HW" else grey[:, :, None]
            same = np.dstack([grey] * 3)
        np.testing.assert_array_equal(warp("bicubic", given, ROTATE, (18, 20)), warp("bicubic", same, ROTATE, (18, 20)))

    def test_a_four_channel_source_off_its_pixel_boundary_is_refused(self):
        # Four-channel pixels are read in one vector load, which must be aligned to the pixel.
        flat = cp.zeros(4 * 6 * 7 + 2, cp.float32)
        skip = 1 if (flat.data.ptr + 4) % 16 else 2  # one or two floats: off a 16-byte boundary either way
        src = flat[skip : skip + 4 * 6 * 7].reshape(6, 7, 4)
        args = arguments(src=src)
        with pytest.raises(ValueError, match="pixel boundary"):
            bilinear.bilinear_affine_kernel((1, 1), (16, 16, 1), tuple(args.values()))
        bilinear.bilinear_affine_kernel((1, 1), (16, 16, 1), tuple(arguments(src=src.copy()).values()))

    @pytest.mark.parametrize("source", [_sources.AFFINE, _sources.RESIZE], ids=lambda s: s.name)
    def test_every_specialisation_compiles(self, source):
        expressions = _sources.all_expressions(source)
        assert len(expressions) == len(set(expressions)) > 6 * 3
        cp.RawModule(code=source.code, options=_sources.OPTIONS, name_expressions=expressions).compile()

    def test_each_specialisation_is_compiled_once(self, monkeypatch):
        src = pattern(8, 8)
        warp("bilinear", src, ENLARGE, (4, 4))
        made = []
        monkeypatch.setattr(cp, "RawModule", lambda *a, **k: made.append(k))
        warp("bilinear", src, ROTATE, (6, 5))
        assert made == []


def arguments(**changes):
    src = cp.asarray(pattern(6, 7))
    args = dict(src=src, output_image=cp.zeros((5, 4, 3), cp.float32), inv_M_flat=cp.asarray(ROTATE.ravel()),
                src_h=6, src_w=7, dst_h=5, dst_w=4)  # fmt: skip
    args.update(changes)
    return args


class TestRefusals:
    @pytest.mark.parametrize(
        "src, error, words",
        [
            (pattern(6, 7), TypeError, "CuPy array"),
            (cp.zeros((6, 7, 3), cp.float64), TypeError, "float64"),
            (cp.zeros((6, 7, 3), cp.int16), TypeError, "int16"),
            (cp.zeros((6, 7, 2), cp.float32), ValueError, "(6, 7, 2)"),
            (cp.zeros((6, 7, 5), cp.uint8), ValueError, "(6, 7, 5)"),
            (cp.zeros((2, 6, 7, 3), cp.float32), ValueError, "(2, 6, 7, 3)"),
            (cp.zeros(7, cp.float32), ValueError, "(7,)"),
            (cp.zeros((0, 7, 3), cp.float32), ValueError, "empty"),
            (cp.zeros((7, 6, 3), cp.float32).transpose(1, 0, 2), ValueError, "not C-contiguous"),
            (cp.zeros((6, 14, 3), cp.float32)[:, ::2], ValueError, "not C-contiguous"),
        ],
        ids=["numpy", "float64", "int16", "2ch", "5ch", "rank4", "rank1", "empty", "transposed", "strided"],
    )
    def test_sources(self, src, error, words):
        args = arguments(src=src, src_h=src.shape[0], src_w=src.shape[1] if src.ndim > 1 else 1)
        with pytest.raises(error, match="bilinear_affine_kernel") as exc:
            bilinear.bilinear_affine_kernel((1, 1), (16, 16, 1), tuple(args.values()))
        assert words in str(exc.value)
        assert not args["output_image"].any()

    @pytest.mark.parametrize(
        "change, error",
        [
            (dict(src_h=7), ValueError),
            (dict(src_w=99), ValueError),
            (dict(dst_h=6), ValueError),
            (dict(output_image=cp.zeros((5, 4, 3), cp.float64)), ValueError),
            (dict(output_image=cp.zeros((4, 5, 3), cp.float32).transpose(1, 0, 2)), ValueError),
            (dict(inv_M_flat=cp.zeros(4, cp.float32)), ValueError),
            (dict(inv_M_flat=ROTATE.ravel()), ValueError),
            (dict(dst_w=4.0), TypeError),
            (dict(dst_w=-1), ValueError),
        ],
        ids=["src_h", "src_w", "dst_h", "output_dtype", "output_view", "matrix_size", "matrix_numpy", "float_size",
             "negative"],
    )  # fmt: skip
    def test_other_arguments(self, change, error):
        args = arguments(**change)
        with pytest.raises(error, match="bicubic_affine_kernel"):
            bicubic.bicubic_affine_kernel((1, 1), (16, 16, 1), tuple(args.values()))

    @pytest.mark.parametrize(
        "kernel, extra, error",
        [
            (bilinear.bilinear_affine_kernel, (np.float32(0),), TypeError),
            (mitchell.mitchell_affine_kernel, (np.float32(0),), TypeError),
            (mitchell.mitchell_affine_kernel, ("1/3", np.float32(0)), TypeError),
            (lanczos.lanczos_affine_kernel, (0,), ValueError),
            (lanczos.lanczos_affine_kernel, (3.0,), TypeError),
        ],
        ids=["extra", "missing", "B_text", "A_zero", "A_float"],
    )
    def test_filter_parameters(self, kernel, extra, error):
        with pytest.raises(error, match=kernel.__name__):
            kernel((1, 1), (16, 16, 1), tuple(arguments().values()) + extra)


class ClaimsMoreRows(cp.ndarray):
    """An array whose shape attribute says 64 rows, more than its memory holds."""

    @property
    def shape(self):
        return (64,) + super().shape[1:]


def claims_more_rows(real):
    return ClaimsMoreRows(real.shape, real.dtype, memptr=real.data)


@pytest.mark.parametrize("what", ["src", "output_image", "image"])
def test_arrays_claiming_more_than_their_memory_are_refused(what):
    small = cp.asarray(pattern(4, 7))
    if what == "image":
        with pytest.raises(ValueError, match="resize: image claims bytes"):
            resize(claims_more_rows(small), (8, 8))
        return
    args = arguments(**{what: claims_more_rows(small if what == "src" else cp.zeros((5, 4, 3), cp.float32))})
    args.update(src_h=64 if what == "src" else 6, dst_h=64 if what == "output_image" else 5)
    with pytest.raises(ValueError, match=f"bilinear_affine_kernel: {what} claims bytes"):
        bilinear.bilinear_affine_kernel((1, 4), (16, 16, 1), tuple(args.values()))


class TestBorder:
    @pytest.mark.parametrize("name", ["nearest", "bilinear", "bicubic", "area", "mitchell", "lanczos3"])
    def test_outside_the_image_is_exactly_zero(self, name):
        src = pattern(16, 16) + 1  # no zero inside
        # Shifted right by 8.5: columns beyond the reach of the filter see only the zero surround.
        got = warp(name, src, inverse(shift=(8.5, 0.0)), (16, 16), fill=5.0)
        assert (got[:, 12:] == 0).all() and (got[:, :4] > 0.5).all()

    @pytest.mark.parametrize("name", ["nearest", "bilinear", "bicubic", "area", "mitchell", "lanczos3"])
    @pytest.mark.parametrize("far", [1e9, -1e9, 1e20, -1e20, 3e38])
    def test_huge_positions_give_zeros(self, name, far):
        src = pattern(16, 16) + 1
        for shift in [(far, 0.0), (0.0, far), (far, far)]:
            assert (warp(name, src, inverse(shift=shift), (4, 5), fill=5.0) == 0).all()

    @pytest.mark.parametrize("name", ["bicubic", "area", "lanczos3"])
    def test_degenerate_reductions_finish(self, name):
        # A stretch of 1e7 per pixel: the weight sums are bounded, the pixels see a faint average.
        src = pattern(16, 16) + 1
        got = warp(name, src, inverse(scale=1e7, shift=(8.0, 8.0)), (3, 3))
        assert np.isfinite(got).all() and np.abs(got).max() < 1e-3

    @pytest.mark.parametrize("name", ["bicubic", "mitchell", "lanczos3", "area"])
    def test_an_infinite_stretch_at_a_finite_position_gives_zeros(self, name):
        # hypot(3e38, 3e38) overflows to inf while pixel (0, 0) still samples (0, 0).
        got = warp(name, pattern(16, 16) + 1, np.float32([[3e38, 3e38, 0], [0, 1, 0]]), (4, 4), fill=5.0)
        assert (got == 0).all()
