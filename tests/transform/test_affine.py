"""zemvara.transform.affine: matrix inversion, filter dispatch and launch, messages, and warps with the real kernels."""

import subprocess
import sys

import cupy as cp
import numpy as np
import pytest
from tracebacks import assert_message, entry  # tests/tracebacks.py

import zemvara.transform.affine as affine
from zemvara.transform import schema
from zemvara.transform.affine import affine_transform, get_inverse_matrix

SOURCE = "src/zemvara_source/transform/affine"
KERNELS = ["area", "bicubic", "bilinear", "lanczos", "mitchell", "nearest"]
CONSTANTS = ["INTER_AREA", "INTER_AUTO", "INTER_B_SPLINE", "INTER_CATMULL_ROM", "INTER_CUBIC", "INTER_LANCZOS2",
             "INTER_LANCZOS3", "INTER_LANCZOS4", "INTER_LINEAR", "INTER_MITCHELL", "INTER_NEAREST"]
# flag -> (kernel, extra arguments after the seven common ones)
DISPATCH = {
    "INTER_LINEAR": ("bilinear", ()),
    "INTER_NEAREST": ("nearest", ()),
    "INTER_AREA": ("area", ()),
    "INTER_CUBIC": ("bicubic", ()),
    "INTER_MITCHELL": ("mitchell", (np.float32(1 / 3), np.float32(1 / 3))),
    "INTER_CATMULL_ROM": ("mitchell", (np.float32(0), np.float32(0.5))),
    "INTER_B_SPLINE": ("mitchell", (np.float32(1), np.float32(0))),
    "INTER_LANCZOS2": ("lanczos", (2,)),
    "INTER_LANCZOS3": ("lanczos", (3,)),
    "INTER_LANCZOS4": ("lanczos", (4,)),
}
TRANSFORM_DOC = """
    Apply an affine transformation to the input image. Using CUDA.

    Parameters
    ----------
    src : cp.ndarray
        The image in BGR format.
    M : cp.ndarray
        The transformation matrix. The input matrix. 2 x 3.
    dst_shape : cp.ndarray
        The shape of the destination image (height, width, channels).

    Returns
    -------
    cp.ndarray
        The transformed image in BGR format.
    """
INVERSE_DOC = """
    Get the inverse of the affine matrix.

    Parameters
    ----------
    M : Union[np.ndarray, cp.ndarray]
        The input matrix. 2 x 3.

    Returns
    -------
    Union[np.ndarray, cp.ndarray]
        The inverse matrix. 2 x 3.
    """


def picture(height=12, width=10, seed=0):
    return cp.asarray(np.random.default_rng(seed).random((height, width, 3), dtype=np.float32))


def matrix(rows, xp=np, dtype=np.float64):
    return xp.asarray(np.array(rows, dtype=dtype))


class TestModule:
    def test_body_order(self):
        names = [k for k in vars(affine) if not k.startswith("__")]
        assert names == ["cp", "np", "affine_call", "auto_interpolation", *[f"{k}_affine_kernel" for k in KERNELS],
                         *CONSTANTS, "affine_transform", "get_inverse_matrix"]
        assert list(vars(affine))[-1] == "__test__" and affine.__test__ == {}
        assert all(getattr(affine, c) is getattr(schema, c) for c in CONSTANTS)

    @pytest.mark.parametrize("f, doc, defaults, annotations, argcount, varnames, line", [
        (affine_transform, TRANSFORM_DOC, (schema.INTER_AUTO,),
         {"src": "cp.ndarray", "M": "cp.ndarray", "dsize": "tuple", "flags": "int", "return": "cp.ndarray"}, 4,
         ("src", "M", "dsize", "flags", "scale_x", "scale_y", "interpolation", "dst_h", "dst_w", "output_image",
          "block", "grid", "inv_M", "inv_M_flat", "B", "C", "A", "call"), 25),
        (get_inverse_matrix, INVERSE_DOC, None, {"M": "cp.ndarray", "return": "cp.ndarray"}, 1,
         ("M", "M_3x3", "inverse_M"), 106),
    ])
    def test_function_objects(self, f, doc, defaults, annotations, argcount, varnames, line):
        name = f.__code__.co_name
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "zemvara.transform.affine")
        assert f.__doc__ == doc and f.__defaults__ == defaults and f.__kwdefaults__ is None
        assert f.__annotations__ == annotations
        code = f.__code__
        assert (code.co_argcount, code.co_varnames, code.co_filename, code.co_firstlineno) == (
            argcount, varnames, SOURCE, line)

    @pytest.mark.parametrize("value, outcome", [("True", "TypeError: Expected int, got bool"), ("None", "ok (None,)")])
    def test_the_default_of_flags_is_checked_at_initialisation(self, value, outcome):
        code = f"""
import sys, types
import zemvara.transform
schema = types.ModuleType("zemvara.transform.schema")
for i, name in enumerate({CONSTANTS!r}):
    setattr(schema, name, 100 + i)
schema.INTER_AUTO = {value}
sys.modules["zemvara.transform.schema"] = schema
try:
    import zemvara.transform.affine as affine
except Exception as exc:
    tb = exc.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    print(type(exc).__name__ + ": " + str(exc), tb.tb_frame.f_code.co_name)
else:
    print("ok", affine.affine_transform.__defaults__)
"""
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        expected = outcome if outcome.startswith("ok") else outcome + " init zemvara.transform.affine"
        assert out.stdout.strip() == expected


class TestInverse:
    @pytest.mark.parametrize("xp", [np, cp])
    @pytest.mark.parametrize("rows, inverse", [
        ([[1, 0, 0], [0, 1, 0]], [[1, 0, 0], [0, 1, 0]]),
        ([[2, 0, 10], [0, 2, 20]], [[0.5, 0, -5], [0, 0.5, -10]]),
        ([[2, 0, 10], [0, 2, 20], [7, 8, 9]], [[0.5, 0, -5], [0, 0.5, -10]]),  # any last row is dropped
        ([[0, -1, 4], [1, 0, 0]], [[0, 1, 0], [-1, 0, 4]]),
    ])
    def test_the_inverse_on_the_matrix_side(self, xp, rows, inverse):
        result = get_inverse_matrix(matrix(rows, xp))
        assert type(result) is xp.ndarray and result.shape == (2, 3) and result.dtype == np.float64
        np.testing.assert_allclose(cp.asnumpy(result), inverse, atol=1e-12)
        assert result.base is not None and result.base.shape == (3, 3)   # the top of the 3 x 3 inverse

    class Shaped:
        shape = (2, 3)

    def test_refusals(self):
        with pytest.raises(AttributeError):
            get_inverse_matrix([[1, 0, 0], [0, 1, 0]])
        with pytest.raises(ValueError) as e:
            get_inverse_matrix(self.Shaped())
        assert str(e.value) == f"Unsupported type: {self.Shaped}"
        with pytest.raises(np.linalg.LinAlgError):
            get_inverse_matrix(np.zeros((2, 3)))
        with pytest.raises(TypeError, match=r"^get_inverse_matrix\(\) takes exactly 1 positional argument \(0 given\)$"):
            get_inverse_matrix()

    def test_library_types_are_read_at_call_time(self, monkeypatch):
        monkeypatch.setattr(affine, "np", cp)         # both tests now ask for CuPy arrays
        with pytest.raises(ValueError, match="^Unsupported type: <class 'numpy.ndarray'>$"):
            get_inverse_matrix(np.eye(2, 3))


class Recorder:
    """Stands in for a kernel object and records its launches."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __call__(self, *args, **kwargs):
        self.log.append((self.name, args, kwargs))


@pytest.fixture
def launches(monkeypatch):
    log = []
    for k in KERNELS:
        monkeypatch.setattr(affine, f"{k}_affine_kernel", Recorder(k, log))
    return log


class TestDispatch:
    @pytest.mark.parametrize("flag", list(DISPATCH))
    def test_each_filter_launches_its_kernel_once(self, launches, flag):
        src = picture()
        m = matrix([[2, 0, 1], [0, 4, 2]])
        out = affine_transform(src, m, (40, 24), getattr(schema, flag))
        kernel, extra = DISPATCH[flag]
        ((name, (grid, block, args), kwargs),) = launches
        assert (name, grid, block, kwargs) == (kernel, (2, 3), (16, 16, 1), {})
        assert out.shape == (40, 24, 3) and out.dtype == np.float32 and out.flags.c_contiguous
        assert not out.any()                          # zero-filled; only the kernel writes it
        assert args[0] is src and args[1] is out
        flat = args[2]
        assert isinstance(flat, cp.ndarray) and flat.dtype == np.float32 and flat.shape == (6,)
        np.testing.assert_array_equal(cp.asnumpy(flat), np.float32([0.5, 0, -0.5, 0, 0.25, -0.5]))
        assert args[3:7] == (12, 10, 40, 24) and all(type(a) is int for a in args[3:7])
        assert len(args) == 7 + len(extra)
        for got, want in zip(args[7:], extra):
            assert type(got) is type(want) and got == want

    @pytest.mark.parametrize("dsize, grid", [((480, 640), (40, 30)), ((17, 33), (3, 2)), ((1, 1), (1, 1)),
                                             ((1_048_560, 1), (1, 65535))])
    def test_the_grid_covers_the_output(self, launches, dsize, grid):
        affine_transform(picture(), matrix([[1, 0, 0], [0, 1, 0]]), dsize, schema.INTER_LINEAR)
        assert launches[0][1][0] == grid

    def test_an_output_taller_than_one_grid_is_refused_before_allocating(self, launches, monkeypatch):
        # Once it reached the driver, which refused a grid of 65536 block rows.
        monkeypatch.setattr(affine, "cp", None)
        with pytest.raises(ValueError, match="^Output height 1048561 exceeds the launch limit of 1048560 rows"):
            affine_transform(picture(), np.eye(2, 3), (1_048_561, 1), schema.INTER_LINEAR)
        assert launches == []

    def test_the_source_size_passed_is_read_once_from_its_own_fields(self, launches):
        class Lies(cp.ndarray):
            shape = property(lambda self: (2**23, 2**23, 3))

        src = picture()
        affine_transform(Lies(src.shape, src.dtype, memptr=src.data), np.eye(2, 3), (4, 4), schema.INTER_LINEAR)
        assert launches[0][1][2][3:5] == src.shape[:2]

    @pytest.mark.parametrize("xp", [np, cp])
    @pytest.mark.parametrize("rows, kernel", [
        ([[2, 0, 0], [0, 1, 0]], "mitchell"),             # enlarges along x only
        ([[1, 0, 0], [0, 1.01, 0]], "mitchell"),
        ([[1, 1, 0], [0, 1, 0]], "mitchell"),             # the y axis is stretched by the shear
        ([[1, 0, 0], [0, 1, 0]], "area"),                 # a scale of exactly 1 is not an enlargement
        ([[-1, 0, 5], [0, 1, 3]], "area"),
        ([[0.5, 0, 0], [0, 0.25, 0], [0, 0, 1]], "area"),
    ])
    def test_automatic_choice_by_scale(self, launches, xp, rows, kernel):
        affine_transform(picture(), matrix(rows, xp), (8, 8))
        affine_transform(picture(), matrix(rows, xp), (8, 8), schema.INTER_AUTO)
        assert [entry[0] for entry in launches] == [kernel, kernel]
        if kernel == "mitchell":
            assert launches[0][1][2][7:] == (np.float32(1 / 3), np.float32(1 / 3))

    def test_a_3x3_matrix_launches_as_its_first_two_rows(self, launches):
        src = picture()
        affine_transform(src, matrix([[1, 2, 3], [4, 5, 6]], cp), (4, 4), schema.INTER_CUBIC)
        affine_transform(src, matrix([[1, 2, 3], [4, 5, 6], [0, 9, 9]], cp), (4, 4), schema.INTER_CUBIC)
        first, second = (cp.asnumpy(entry[1][2][2]) for entry in launches)
        np.testing.assert_array_equal(first, second)

    def test_unknown_flags_fail_after_the_inverse(self, launches, monkeypatch):
        calls = []
        monkeypatch.setattr(affine, "get_inverse_matrix", lambda m: calls.append(m) or get_inverse_matrix(m))
        unused = max(getattr(schema, c) for c in CONSTANTS) + 1
        with pytest.raises(ValueError) as e:
            affine_transform(picture(), matrix([[1, 0, 0], [0, 1, 0]]), (4, 4), unused)
        assert str(e.value) == f"Unsupported interpolation: {unused}" and len(calls) == 1 and launches == []

    def test_constants_are_read_at_call_time_and_the_first_match_wins(self, launches, monkeypatch):
        identity = matrix([[1, 0, 0], [0, 1, 0]])
        monkeypatch.setattr(affine, "INTER_NEAREST", schema.INTER_LINEAR)
        affine_transform(picture(), identity, (4, 4), schema.INTER_LINEAR)
        monkeypatch.setattr(affine, "INTER_LINEAR", -1)
        affine_transform(picture(), identity, (4, 4), schema.INTER_LINEAR)
        assert [e[0] for e in launches] == ["bilinear", "nearest"]
        monkeypatch.setattr(affine, "INTER_AUTO", -1)   # the default stays the value taken at initialisation
        with pytest.raises(ValueError, match=f"^Unsupported interpolation: {schema.INTER_AUTO}$"):
            affine_transform(picture(), identity, (4, 4))


class TestMessages:
    @pytest.mark.parametrize("args, message", [
        ((np.eye(2, 3), [4, 4]), "Argument 'dsize' has incorrect type (expected tuple, got list)"),
        ((np.eye(2, 3), None, True), "Argument 'dsize' has incorrect type (expected tuple, got NoneType)"),  # dsize first
        ((np.eye(2, 3), (4, 4), True), "Argument 'flags' has incorrect type (expected int, got bool). "),
        ((np.eye(2, 3), (4, 4), np.int64(1)), "Argument 'flags' has incorrect type (expected int, got int64)"),
        ((np.eye(2, 3),), "affine_transform() takes at least 3 positional arguments (2 given)"),
        ((np.eye(2, 3), (4, 4), 1, 2), "affine_transform() takes at most 4 positional arguments (5 given)"),
    ])
    def test_argument_checks(self, launches, args, message):
        with pytest.raises(TypeError) as e:
            affine_transform(picture(), *args)
        assert_message(str(e.value), message)
        assert launches == []

    @pytest.mark.parametrize("dsize, message", [
        ((480, 640, 3), "too many values to unpack (expected 2)"),
        ((480,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ])
    def test_dsize_takes_two_items(self, launches, dsize, message):
        with pytest.raises(ValueError) as e:
            affine_transform(picture(), np.eye(2, 3), dsize)
        assert str(e.value) == message and launches == []

    def test_each_failing_step_has_its_own_line(self, launches, monkeypatch):
        def line(*args):
            with pytest.raises(Exception) as info:
                affine_transform(picture(), *args)
            tb = entry(info.value, "zemvara.transform.affine.affine_transform")
            assert tb.tb_frame.f_code.co_filename == SOURCE and tb.tb_frame.f_globals is vars(affine)
            return tb.tb_lineno

        lines = [line([[1, 0, 0], [0, 1, 0]], (4, 4)), line(np.eye(2, 3), (4, 4, 3)),
                 line(np.zeros((2, 3)), (4, 4)), line(np.eye(2, 3), (4, 4), 12345)]
        monkeypatch.setattr(affine, "bilinear_affine_kernel", None)
        lines.append(line(np.eye(2, 3), (4, 4), schema.INTER_LINEAR))
        assert len(set(lines)) == 5 and min(lines) > 25
        with pytest.raises(np.linalg.LinAlgError) as info:
            get_inverse_matrix(np.zeros((2, 3)))
        assert entry(info.value, "zemvara.transform.affine.get_inverse_matrix").tb_lineno > 106


class TestWarps:
    """The real kernels: exact where the filter interpolates at integer positions, steady on flat images."""

    @pytest.mark.parametrize("flag", ["INTER_NEAREST", "INTER_LINEAR", "INTER_CUBIC", "INTER_AREA", "INTER_LANCZOS2",
                                      "INTER_LANCZOS3", "INTER_LANCZOS4", "INTER_CATMULL_ROM"])
    def test_an_integer_translation_moves_pixels(self, flag):
        src = picture(9, 11)
        out = cp.asnumpy(affine_transform(src, matrix([[1, 0, 2], [0, 1, 3]]), (10, 14), getattr(schema, flag)))
        expected = np.zeros((10, 14, 3), np.float32)
        expected[3:, 2:13] = cp.asnumpy(src)[:7, :]
        np.testing.assert_allclose(out, expected, atol=1e-5)

    @pytest.mark.parametrize("flag", CONSTANTS)
    @pytest.mark.parametrize("scale, side", [(4, 40), (0.3, 120)])
    def test_a_flat_image_stays_flat_inside(self, flag, scale, side):
        # The middle half of the output samples the source far enough from its
        # border that even the widest reduced filter (Lanczos-4 stretched by
        # 1 / 0.3) reads no outside tap.
        src = cp.full((side, side, 3), 0.625, cp.float32)
        size = int(side * scale)
        out = cp.asnumpy(affine_transform(src, matrix([[scale, 0, 0], [0, scale, 0]]), (size, size),
                                          getattr(schema, flag)))
        margin = size // 4
        np.testing.assert_allclose(out[margin:-margin, margin:-margin], 0.625, atol=1e-5)
