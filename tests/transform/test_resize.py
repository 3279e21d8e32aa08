"""`zemvara.transform.resize`: accuracy against OpenCV and the definitions, what it preserves, its refusals."""

import cupy as cp
import cv2
import numpy as np
import pytest

import resampling_reference as ref
from test_resampling import pattern
from zemvara.transform import schema
from zemvara.transform.resampling import filters, planning
from zemvara.transform.resize import INTER_AUTO, resize


def host(a):
    return cp.asnumpy(a)


class TestAccuracy:
    # OpenCV's float resize computes positions and weights in float32 as we do,
    # with the same half-pixel centres and replicated edges; differences are
    # rounding (measured 3e-6 on values 0..1).
    @pytest.mark.parametrize(
        "flag, cv_flag",
        [(schema.INTER_LINEAR, cv2.INTER_LINEAR), (schema.INTER_CUBIC, cv2.INTER_CUBIC),
         (schema.INTER_LANCZOS4, cv2.INTER_LANCZOS4)],
    )  # fmt: skip
    @pytest.mark.parametrize("dsize", [(50, 45), (61, 23)], ids=["enlarge", "enlarge_uneven"])
    def test_enlargement_like_opencv(self, flag, cv_flag, dsize):
        src = pattern(20, 24)
        got = host(resize(cp.asarray(src), dsize, flag))
        np.testing.assert_allclose(got, cv2.resize(src, dsize, interpolation=cv_flag), atol=1e-5)

    def test_uint8_bilinear_like_opencv(self):
        # OpenCV's 8-bit path uses 11-bit fixed-point weights: one level apart at most.
        src = (pattern(20, 24) * 255).round().astype(np.uint8)
        got = host(resize(cp.asarray(src), (50, 45), schema.INTER_LINEAR))
        want = cv2.resize(src, (50, 45), interpolation=cv2.INTER_LINEAR)
        assert np.abs(got.astype(int) - want).max() <= 1

    def test_area_like_opencv_at_integer_factors(self):
        src = pattern(36, 48)
        got = host(resize(cp.asarray(src), (16, 12)))  # INTER_AUTO reduces with area
        np.testing.assert_allclose(got, cv2.resize(src, (16, 12), interpolation=cv2.INTER_AREA), atol=1e-5)

    @pytest.mark.parametrize(
        "flag, name, dsize",
        [(INTER_AUTO, "mitchell", (41, 30)), (INTER_AUTO, "area", (17, 13)),
         (schema.INTER_LANCZOS3, "lanczos3", (17, 13)), (schema.INTER_CUBIC, "bicubic", (10, 31)),
         (INTER_AUTO, "area", (2, 3)), (schema.INTER_LANCZOS3, "lanczos3", (4, 4))],
        ids=["auto_enlarge", "auto_reduce", "lanczos3_reduce", "bicubic_mixed", "auto_wide", "lanczos3_wide"],
    )  # fmt: skip
    def test_like_the_definition(self, flag, name, dsize):
        src = pattern(28, 36)
        np.testing.assert_allclose(host(resize(cp.asarray(src), dsize, flag)), ref.resize(src, dsize, name), atol=1e-3)


    # Either pass may run first (the cheaper order): a tall and a wide result, both
    # mixing a reduction along one axis with an enlargement along the other.
    @pytest.mark.parametrize("name", ["lanczos3", "area", "bilinear"])
    @pytest.mark.parametrize("dsize", [(80, 7), (7, 80)], ids=["wide", "tall"])
    def test_both_pass_orders_like_the_definition(self, name, dsize):
        src = pattern(28, 36)
        got = host(resize(cp.asarray(src), dsize, filters.BY_NAME[name].inter))
        np.testing.assert_allclose(got, ref.resize(src, dsize, name), atol=1e-3)

    def test_a_grid_capped_in_height_covers_every_row(self, monkeypatch):
        # Past the grid's height limit each pass thread takes a longer run of rows.
        src = pattern(300, 20)
        monkeypatch.setattr(planning, "MAX_GRID_Y", 2)
        got = host(resize(cp.asarray(src), (9, 200), schema.INTER_LANCZOS3))
        np.testing.assert_allclose(got, ref.resize(src, (9, 200), "lanczos3"), atol=1e-3)

    @pytest.mark.host_only
    def test_weight_tables_are_kept_and_read_from_any_stream(self, monkeypatch):
        monkeypatch.setattr(planning, "_tables", {})  # room to keep them, whatever ran before
        src = cp.asarray(pattern(40, 52))
        first = host(resize(src, (19, 13), schema.INTER_LANCZOS3))
        cp._hostdevice.clear()
        with cp.cuda.Stream():
            again = host(resize(src, (19, 13), schema.INTER_LANCZOS3))
        assert ["resize_pass" in launch.name for launch in cp._hostdevice.launches] == [True, True]
        np.testing.assert_array_equal(again, first)


def layouts(image):
    """The same (H, W, C) float image in each accepted layout: (array, back to (H, W, C))."""
    return {
        "HWC": (image, lambda a: a),
        "CHW": (np.ascontiguousarray(image.transpose(2, 0, 1)), lambda a: a.transpose(1, 2, 0)),
        "HWC_view": (image[::-1, ::-1][::-1, ::-1], lambda a: a),
    }


class TestPreserves:
    # Six channels first would not be recognised as channels (at most 4 are).
    @pytest.mark.parametrize(
        "channels, layout", [(c, layout) for c in (1, 3, 4, 6) for layout in ("HWC", "CHW", "HWC_view") if (c, layout) != (6, "CHW")]
    )
    def test_layout_and_channel_count(self, channels, layout):
        image = np.dstack([pattern(20, 24)] * 2)[:, :, :channels]
        given, back = layouts(image)[layout]
        got = host(resize(cp.asarray(given), (30, 9)))
        assert back(got).shape == (9, 30, channels)
        np.testing.assert_array_equal(back(got), host(resize(cp.asarray(image), (30, 9))))

    def test_grey_keeps_rank_two(self):
        grey = pattern(20, 24)[:, :, 1]
        got = host(resize(cp.asarray(grey), (30, 9)))
        np.testing.assert_array_equal(got, host(resize(cp.asarray(grey[:, :, None]), (30, 9)))[:, :, 0])

    def test_views_read_in_place(self):
        base = cp.asarray(pattern(20, 24))
        view = base[2:18, ::-2, ::-1]
        np.testing.assert_array_equal(host(resize(view, (15, 25))), host(resize(cp.ascontiguousarray(view), (15, 25))))

    @pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535), (np.float16, None)])
    def test_element_type_rounded_and_clipped(self, dtype, top):
        # A hard edge at full range: the Mitchell filter's lobes overshoot both ends.
        image = np.zeros((12, 12, 3), np.float32)
        image[:, 6:] = top or 1.0
        image[:, :, 1] = np.linspace(0, top or 1.0, 12)
        image = image.astype(dtype)
        got = resize(cp.asarray(image), (31, 29))
        exact = host(resize(cp.asarray(image.astype(np.float32)), (31, 29)))
        assert got.dtype == dtype
        if top is None:
            np.testing.assert_array_equal(host(got), exact.astype(np.float16))
        else:
            np.testing.assert_array_equal(host(got), np.clip(np.rint(exact), 0, top).astype(dtype))

    def test_alpha_is_resized_like_any_channel(self):
        image = np.dstack([pattern(16, 16), np.full((16, 16), 0.25, np.float32)])
        got = host(resize(cp.asarray(image), (40, 40)))
        np.testing.assert_allclose(got[:, :, 3], 0.25, atol=1e-6)

    @pytest.mark.parametrize(
        "dsize, same_as", [((48, 20), schema.INTER_MITCHELL), ((12, 20), schema.INTER_AREA), ((24, 20), schema.INTER_AREA)]
    )
    def test_auto_choice(self, dsize, same_as):
        src = cp.asarray(pattern(20, 24))
        np.testing.assert_array_equal(host(resize(src, dsize)), host(resize(src, dsize, same_as)))

    def test_same_size_area_is_a_copy(self):
        src = pattern(20, 24)
        np.testing.assert_array_equal(host(resize(cp.asarray(src), (24, 20))), src)


class TestRefusals:
    @pytest.mark.parametrize(
        "image, dsize, interpolation, error, words",
        [
            (pattern(8, 8), (4, 4), INTER_AUTO, TypeError, "CuPy array"),
            (cp.zeros((8, 8, 3), cp.float64), (4, 4), INTER_AUTO, TypeError, "float64"),
            (cp.zeros((2, 8, 8, 3), cp.float32), (4, 4), INTER_AUTO, ValueError, "(2, 8, 8, 3)"),
            (cp.zeros((0, 8, 3), cp.float32), (4, 4), INTER_AUTO, ValueError, "empty"),
            (cp.zeros((8, 8, 3), cp.float32), [4, 4, 3], INTER_AUTO, ValueError, "(width, height)"),
            (cp.zeros((8, 8, 3), cp.float32), 4, INTER_AUTO, TypeError, "dsize"),
            (cp.zeros((8, 8, 3), cp.float32), (4.0, 4), INTER_AUTO, TypeError, "integers"),
            (cp.zeros((8, 8, 3), cp.float32), (0, 4), INTER_AUTO, ValueError, "dsize"),
            (cp.zeros((8, 8, 3), cp.float32), (4, 4), 5, ValueError, "Unsupported interpolation: 5"),
            (cp.zeros((8, 8, 3), cp.float32), (4, 4), True, ValueError, "Unsupported interpolation: True"),
        ],
        ids=["numpy", "float64", "rank4", "empty", "dsize3", "dsize_int", "dsize_float", "dsize_zero", "flag",
             "flag_bool"],
    )  # fmt: skip
    def test_refused(self, image, dsize, interpolation, error, words):
        with pytest.raises(error) as exc:
            resize(image, dsize, interpolation)
        assert words in str(exc.value)

    @pytest.mark.parametrize(
        "dsize, interpolation, error, words",
        [((4.0, 4), schema.INTER_LINEAR, TypeError, "integers"), ((4, 4), True, ValueError, "Unsupported")],
        ids=["dsize_float", "flag_bool"],
    )  # fmt: skip
    def test_refused_after_the_same_call_succeeded(self, dsize, interpolation, error, words):
        # A repeated call reuses the first one's plan; values equal to its
        # arguments but of other types must not pass for them.
        image = cp.zeros((8, 8, 3), cp.float32)
        resize(image, (4, 4), schema.INTER_LINEAR)
        with pytest.raises(error, match=words):
            resize(image, dsize, interpolation)


@pytest.mark.host_only
class TestFused:
    # Reductions by up to four, large enough (here any size), run as one
    # launch through shared memory, along y first or x first as the two passes
    # would, and give the two passes' results bit for bit: the same weights,
    # sums and float32 intermediate values.
    @staticmethod
    def cases(dtype):
        base = cp.asarray((np.random.default_rng(3).random((66, 98, 3)) * 200).astype(dtype))
        return {
            "y_quads": (cp.ascontiguousarray(base[:64, :96]), (48, 32), "lanczos3"),
            "y_offset": (base[1:65, 1:97], (48, 32), "area"),
            "y_flipped": (base[64:0:-1, :96], (48, 32), "lanczos3"),
            "x_first": (base[:60], (26, 40), "bicubic"),
            "quarter": (cp.ascontiguousarray(base[:64, :96]), (24, 16), "lanczos3"),
            "grey": (cp.ascontiguousarray(base[:64, :96, 1]), (48, 32), "lanczos3"),
            "planes": (cp.ascontiguousarray(base[:64, :96].transpose(2, 0, 1)), (48, 32), "area"),
            "four": (cp.ascontiguousarray(base[:64, :72].reshape(64, 54, 4)), (27, 32), "bilinear"),
        }

    @pytest.mark.parametrize("dtype", [np.uint8, np.float16, np.float32])
    @pytest.mark.parametrize("case", ["y_quads", "y_offset", "y_flipped", "x_first", "quarter", "grey", "planes", "four"])
    def test_like_the_two_passes(self, monkeypatch, dtype, case):
        import zemvara.transform.resize as resize_module

        monkeypatch.setattr(resize_module, "_FUSED_BLOCKS", 1)
        monkeypatch.setattr(planning, "_tables", {})  # room to keep them, whatever ran before
        monkeypatch.setattr(resize_module, "_plans", {})
        image, dsize, name = self.cases(dtype)[case]
        inter = filters.BY_NAME[name].inter
        resize(image, dsize, inter)  # keeps the weight tables
        cp._hostdevice.clear()
        fused = host(resize(image, dsize, inter))
        assert ["resize_fused" in launch.name for launch in cp._hostdevice.launches] == [True]
        monkeypatch.setattr(resize_module, "_plans", {})
        monkeypatch.setattr(resize_module, "_plan_fused", lambda *args: None)
        np.testing.assert_array_equal(fused, host(resize(image, dsize, inter)))


def test_every_fused_specialisation_compiles():
    from zemvara.transform.resampling import _sources

    expressions = _sources.all_expressions(_sources.RESIZE_FUSED)
    assert len(expressions) == len(set(expressions)) == len(_sources.KERNEL_ELEMENTS) * 4 * 3
    cp.RawModule(code=_sources.RESIZE_FUSED.code, options=_sources.OPTIONS, name_expressions=expressions).compile()
