"""Reading image files with `picload`: the three readers and their fix-ups, element types, failures."""

import os
import pathlib
import shutil
import signal
from types import SimpleNamespace

import cupy as cp
import numpy as np
import pytest
from tracebacks import assert_message, raised_line  # tests/tracebacks.py

import zemvara.io.picload as module
from zemvara.io.picload import picload
from zemvara.utils import dtypes

NAME, SOURCE = "zemvara.io.picload.picload", "src/zemvara_source/io/picload"
DOC = """
    Read an image from a file into a CuPy array.

    Args:
        input_path (str): Path to the image file.
        swap_rb (bool): If True, the image will be read with red and blue channels swapped. Default is False.
        is_nvimgcodec (bool): If True, use NVIDIA's nvimgcodec for reading the image. Default is False.
    Returns:
        cp.ndarray: The image as a CuPy array.
    Raises:
        FileNotFoundError: If the image file does not exist.
    """
KEEP = "keep"  # none of the four names: the reader's own element type comes back
CONVERSIONS = {"fp32": dtypes.to_float32, "uint8": dtypes.to_uint8, "uint16": dtypes.to_uint16, "fp16": dtypes.to_float16}
OPENCV_KINDS = [
    "png8", "png16", "png8_grey", "png16_grey", "png8_bgra", "png16_bgra", "jpeg", "jpeg_grey",
    "tiff8", "tiff16", "tiff_float", "tiff_float_grey", "tiff_float_bgra", "dotname",
]


def three_channels(pixels):
    """What the reader makes of a decode: grey replicated, alpha dropped."""
    return np.stack([pixels] * 3, axis=-1) if pixels.ndim == 2 else pixels[:, :, :3]


def test_function_object():
    assert (picload.__name__, picload.__qualname__, picload.__module__) == ("picload", "picload", "zemvara.io.picload")
    assert picload.__doc__ == DOC
    assert picload.__defaults__ == ("fp32", False, False) and picload.__kwdefaults__ is None
    assert picload.__annotations__ == {"input_path": "str", "dtype": "str", "return": "cp.ndarray"}
    code = picload.__code__
    assert (code.co_argcount, code.co_firstlineno, code.co_filename, code.co_name) == (4, 14, SOURCE, "picload")
    assert code.co_varnames == (
        "input_path", "dtype", "swap_rb", "is_nvimgcodec", "filename", "ext", "image_exr", "r_header", "pixeltype",
        "r_str", "g_str", "b_str", "red", "green", "blue", "dw", "size", "image", "decoder", "nv_image", "cv2_image",
    )
    assert [k for k in vars(module) if not k.startswith("__")] + ["__test__"] == [
        "os", "cp", "cv2", "Imath", "np", "OpenEXR", "nvimgcodec", "bgr_to_rgb", "rgb_to_bgr",
        "to_float16", "to_float32", "to_uint8", "to_uint16", "picload", "__test__",
    ]
    assert list(vars(module))[-1] == "__test__" and module.__test__ == {}


class TestOpenCVReader:
    @pytest.mark.parametrize("kind", OPENCV_KINDS)
    def test_library_decode_with_grey_replicated_and_alpha_dropped(self, files, helpers, kind, monkeypatch):
        monkeypatch.setitem(vars(module), "nvimgcodec", None)  # is_nvimgcodec false: never consulted
        sample = getattr(files, kind)
        bgr, rgb = (helpers.host(picload(sample.path, KEEP, swap, 0)) for swap in (False, True))
        assert bgr.shape == (6, 7, 3) and bgr.dtype == sample.pixels.dtype
        np.testing.assert_array_equal(bgr, three_channels(sample.pixels))
        np.testing.assert_array_equal(rgb, bgr[:, :, ::-1])


class TestOpenEXRReader:
    @pytest.mark.parametrize("kind", ["half", "float", "half_rgba", "float_window", "upper", "mixed_case"])
    def test_planes_in_both_orders(self, exr_files, helpers, kind):
        sample = getattr(exr_files, kind)
        bgr, rgb = helpers.host(picload(sample.path)), helpers.host(picload(sample.path, swap_rb=True))
        assert bgr.shape == (6, 7, 3) and bgr.dtype == sample.pixels.dtype
        np.testing.assert_array_equal(rgb, sample.pixels)  # values outside 0..1 included
        np.testing.assert_array_equal(bgr, sample.pixels[:, :, ::-1])

    @pytest.mark.parametrize("dtype", ["fp32", "fp16", "uint8", "uint16", KEEP])
    def test_dtype_never_applies(self, exr_files, dtype, monkeypatch):
        monkeypatch.setitem(vars(module), "nvimgcodec", None)  # and neither does is_nvimgcodec
        assert picload(exr_files.half.path, dtype, False, True).dtype == np.float16
        assert picload(exr_files.float.path, dtype, False, True).dtype == np.float32

    @pytest.mark.parametrize("kind,dtype", [("half_red", np.float16), ("float_red", np.float32)])
    def test_the_red_channel_chooses_the_pixel_type(self, exr_files, helpers, kind, dtype):
        sample = getattr(exr_files, kind)
        image = picload(sample.path, swap_rb=True)
        assert image.dtype == dtype
        np.testing.assert_array_equal(helpers.host(image), sample.pixels.astype(dtype))

    def test_library_failures_pass_through(self, exr_files, broken, helpers):
        with pytest.raises(KeyError, match="'R'"):
            picload(exr_files.luminance.path)
        with pytest.raises(Exception) as library:
            module.OpenEXR.File(broken.garbage_exr, separate_channels=True)
        with pytest.raises(Exception) as info:
            picload(broken.garbage_exr)
        assert type(info.value) is type(library.value) and info.value.args == library.value.args
        assert helpers.entry(info.value, NAME).tb_lineno > 14


class FakeCodec:
    """Stands in for the nvimgcodec module global and records what the reader asks of it."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def Decoder(self):
        self.calls.append("Decoder")
        return SimpleNamespace(read=lambda source: self.calls.append(("read", source)) or self.result)

    def DecodeSource(self, path):
        self.calls.append(("DecodeSource", path))
        return "source"


class TestNvimgcodecReader:
    @pytest.mark.parametrize("kind", ["png8", "png8_grey", "png16_bgra"])
    def test_rgb_from_the_decoder_becomes_bgr_unless_swap_rb(self, files, helpers, kind):
        path = getattr(files, kind).path
        decoded = helpers.host(cp.asarray(module.nvimgcodec.Decoder().read(module.nvimgcodec.DecodeSource(path))))
        np.testing.assert_array_equal(helpers.host(picload(path, KEEP, True, True)), decoded)
        np.testing.assert_array_equal(helpers.host(picload(path, KEEP, False, "yes")), decoded[:, :, ::-1])
        if kind == "png8":
            np.testing.assert_array_equal(helpers.host(picload(path, is_nvimgcodec=True)), helpers.host(picload(path)))

    @pytest.mark.parametrize("shape", [(2, 3), (2, 3, 4), (2, 3, 2)])
    def test_channel_fix_up_and_calls(self, monkeypatch, files, helpers, shape):
        decoded = cp.asarray(np.arange(np.prod(shape), dtype=np.uint8).reshape(shape))
        fake = FakeCodec(decoded)
        monkeypatch.setitem(vars(module), "nvimgcodec", fake)
        image = helpers.host(picload(files.png8.path, KEEP, True, True))
        expected = helpers.host(decoded) if shape[-1] == 2 else three_channels(helpers.host(decoded))
        np.testing.assert_array_equal(image, expected)
        assert fake.calls == ["Decoder", ("DecodeSource", files.png8.path), ("read", "source")]

    def test_failure_to_decode(self, monkeypatch, files, broken):
        with pytest.raises(RuntimeError, match="^Failed to read image from " + broken.garbage_png + "$"):
            picload(broken.garbage_png, is_nvimgcodec=True)
        monkeypatch.setitem(vars(module), "nvimgcodec", FakeCodec(None))
        with pytest.raises(RuntimeError, match="^Failed to read image from " + files.png8.path + "$"):
            picload(files.png8.path, is_nvimgcodec=True)


class TestElementTypes:
    @pytest.mark.parametrize("kind", ["png8", "png16", "tiff_float", "png8_grey", "png16_bgra"])
    @pytest.mark.parametrize("dtype", list(CONVERSIONS))
    def test_each_name_selects_its_conversion_after_the_swap(self, files, helpers, kind, dtype):
        sample = getattr(files, kind)
        image = picload(sample.path, dtype, True)
        expected = CONVERSIONS[dtype](cp.asarray(three_channels(sample.pixels)[:, :, ::-1]))
        assert image.dtype == expected.dtype
        np.testing.assert_array_equal(helpers.host(image), helpers.host(expected))

    @pytest.mark.parametrize("dtype", ["float32", "FP32", "", "uint8 "])
    def test_other_names_convert_nothing(self, files, dtype):
        assert picload(files.png8.path, dtype).dtype == np.uint8
        assert picload(files.png16.path, dtype).dtype == np.uint16

    def test_nominal_range_edges(self, files, helpers):
        for sample in (files.png8, files.png16):
            image = helpers.host(picload(sample.path))
            assert image.dtype == np.float32 and (image.min(), image.max()) == (0.0, 1.0)
        floats = helpers.host(picload(files.tiff_float.path, "fp16"))
        np.testing.assert_array_equal(floats, files.tiff_float.pixels.astype(np.float16))


class TestMessages:
    @pytest.mark.parametrize("name,nv", [("none.png", False), ("none.exr", False), ("none.EXR", True), ("none.jpg", True)])
    def test_missing_file_before_any_reader(self, tmp_path, monkeypatch, name, nv):
        for reader in ("cv2", "OpenEXR", "nvimgcodec", "Imath"):
            monkeypatch.setitem(vars(module), reader, None)
        path = str(tmp_path / name)
        with pytest.raises(FileNotFoundError) as info:
            picload(path, is_nvimgcodec=nv)
        assert type(info.value) is FileNotFoundError and info.value.args == ("Image not found at " + path,)

    @pytest.mark.parametrize("which", ["garbage_png", "truncated_png", "empty_jpg", "notes_tiff", "folder_png"])
    def test_undecodable_file(self, broken, which):
        path = getattr(broken, which)
        with pytest.raises(RuntimeError) as info:
            picload(path)
        assert type(info.value) is RuntimeError and info.value.args == ("Failed to read image from " + path,)

    class Text(str):
        pass

    @pytest.mark.parametrize("args,message", [
        ((b"a.png",), "Argument 'input_path' has incorrect type (expected str, got bytes)"),
        ((None, None), "Argument 'input_path' has incorrect type (expected str, got NoneType)"),
        ((pathlib.Path("a.png"),), "Argument 'input_path' has incorrect type (expected str, got PosixPath)"),
        (("a.png", None), "Argument 'dtype' has incorrect type (expected str, got NoneType)"),
        (("a.png", Text("fp32")), "Argument 'dtype' has incorrect type (expected str, got Text). "),
        ((Text("a.png"),), "Argument 'input_path' has incorrect type (expected str, got Text). "),
        (("a", "fp32", 0, 0, 0), "picload() takes at most 4 positional arguments (5 given)"),
        ((), "picload() takes at least 1 positional argument (0 given)"),
    ])
    def test_argument_checks(self, args, message):
        with pytest.raises(TypeError) as info:
            picload(*args)
        assert_message(str(info.value), message)

    @pytest.mark.parametrize("parts,message", [
        (("a", ".png", "x"), "too many values to unpack (expected 2)"),
        (("a",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ])
    def test_splitext_unpacking(self, files, monkeypatch, parts, message):
        path = SimpleNamespace(exists=os.path.exists, splitext=lambda p: parts)
        monkeypatch.setitem(vars(module), "os", SimpleNamespace(path=path))
        with pytest.raises(ValueError, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
            picload(files.png8.path)


class TestFileSystem:
    @pytest.mark.parametrize("kind,nv", [("png8", False), ("tiff16", False), ("png8", True), ("half", False)])
    def test_a_name_that_is_not_utf8_is_read(self, files, exr_files, tmp_path, helpers, kind, nv):
        # OpenCV once got the surrogate-escaped str and crashed the process (SIGSEGV).
        sample = getattr(files, kind, None) or getattr(exr_files, kind)
        path = os.fsdecode(os.fsencode(str(tmp_path)) + b"/bad\xff" + os.fsencode(os.path.splitext(sample.path)[1]))
        shutil.copyfile(sample.path, path)
        expected = helpers.host(picload(sample.path, KEEP, False, nv))
        np.testing.assert_array_equal(helpers.host(picload(path, KEEP, False, nv)), expected)

    @pytest.mark.parametrize("name,nv", [("fifo.png", False), ("fifo.exr", False), ("fifo.jpg", True), ("/dev/zero", False)])
    def test_only_regular_files_are_read(self, tmp_path, name, nv):
        # A FIFO with no writer once blocked the call for ever.
        path = name if name.startswith("/") else str(tmp_path / name)
        if not name.startswith("/"):
            os.mkfifo(path)
        handler = signal.signal(signal.SIGALRM, lambda *_: pytest.fail("picload blocked on " + path))
        signal.alarm(10)
        try:
            with pytest.raises(RuntimeError) as info:
                picload(path, is_nvimgcodec=nv)
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, handler)
        assert info.value.args == ("Failed to read image from " + path,)


class TestTracebacksAndGlobals:
    def line(self, helpers, call):
        return raised_line(call, NAME, SOURCE, module)

    def test_each_failing_step_has_its_own_line(self, tmp_path, broken, exr_files, files, helpers, monkeypatch):
        missing = self.line(helpers, lambda: picload(str(tmp_path / "none.png")))
        assert missing == self.line(helpers, lambda: picload(str(tmp_path / "other.exr")))
        undecodable = self.line(helpers, lambda: picload(broken.garbage_png))
        no_red = self.line(helpers, lambda: picload(exr_files.luminance.path))
        monkeypatch.setitem(vars(module), "to_uint8", None)
        conversion = self.line(helpers, lambda: picload(files.png8.path, "uint8"))
        lines = [missing, undecodable, no_red, conversion]
        assert len(set(lines)) == 4 and min(lines) > 14
        assert self.line(helpers, lambda: picload(None)) == 14  # argument checks: the def line

    def test_globals_are_read_at_call_time(self, files, monkeypatch):
        calls = []
        fake_cv2 = SimpleNamespace(IMREAD_UNCHANGED=-1, imread=lambda *a: calls.append(a) or np.zeros((1, 2, 3), np.uint8))
        monkeypatch.setitem(vars(module), "cv2", fake_cv2)
        monkeypatch.setitem(vars(module), "to_float16", lambda image: ("converted", image.shape))
        assert picload(files.png8.path, "fp16") == ("converted", (1, 2, 3))
        assert calls == [(files.png8.path, -1)]
        monkeypatch.delitem(vars(module), "cp")
        with pytest.raises(NameError, match="^name 'cp' is not defined$"):
            picload(files.png8.path)
