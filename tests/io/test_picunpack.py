"""Decoding encoded bytes with `picunpack`: layouts, channel order, element types, failures."""

from types import SimpleNamespace

import cupy as cp
import numpy as np
import pytest
from tracebacks import assert_message, raised_line  # tests/tracebacks.py

import zemvara.io.picunpack as module
from zemvara.io.picunpack import picunpack
from zemvara.utils import dtypes

NAME, SOURCE = "zemvara.io.picunpack.picunpack", "src/zemvara_source/io/picunpack"
DOC = """
    Decode an image from a bytes object into a CuPy array.

    Args:
        src (bytes): The input image data as bytes.
        dtype (str): The desired data type for the output array. Default is "fp32".
        swap_rb (bool): If True, the image will be converted from BGR to RGB after decoding. Default is False (BGR).
    Returns:
        cp.ndarray: The image as a CuPy array.
    """
KINDS = [
    "png8", "png16", "png8_grey", "png16_grey", "png8_bgra", "png16_bgra", "jpeg", "jpeg_grey",
    "tiff8", "tiff16", "tiff_float", "tiff_float_grey", "tiff_float_bgra",
]
CONVERSIONS = {"fp32": dtypes.to_float32, "uint8": dtypes.to_uint8, "uint16": dtypes.to_uint16, "fp16": dtypes.to_float16}


def swapped(pixels):
    """Channels 0 and 2 exchanged for colour images, alpha in place; grey as it is."""
    return pixels[:, :, [2, 1, 0, 3][: pixels.shape[2]]] if pixels.ndim == 3 else pixels


def test_function_object():
    assert (picunpack.__name__, picunpack.__qualname__, picunpack.__module__) == ("picunpack", "picunpack", "zemvara.io.picunpack")
    assert picunpack.__doc__ == DOC
    assert picunpack.__defaults__ == ("fp32", False) and picunpack.__kwdefaults__ is None
    assert picunpack.__annotations__ == {"src": "bytes", "dtype": "str", "swap_rb": "bool", "return": "cp.ndarray"}
    code = picunpack.__code__
    assert (code.co_argcount, code.co_firstlineno, code.co_filename, code.co_name) == (3, 9, SOURCE, "picunpack")
    assert code.co_varnames == ("src", "dtype", "swap_rb", "image")
    assert [k for k in vars(module) if not k.startswith("__")] == [
        "cp", "cv2", "np", "bgr_to_rgb", "to_float16", "to_float32", "to_uint8", "to_uint16", "picunpack",
    ]
    assert list(vars(module))[-1] == "__test__" and module.__test__ == {}


class TestDecoding:
    @pytest.mark.parametrize("kind", KINDS)
    def test_layout_and_order_as_decoded(self, files, helpers, kind):
        sample = getattr(files, kind)
        decoded = helpers.host(dtypes.to_float32(cp.asarray(sample.pixels)))
        bgr, rgb = helpers.host(picunpack(sample.data)), helpers.host(picunpack(sample.data, "fp32", 1))
        assert bgr.shape == sample.pixels.shape and bgr.dtype == np.float32  # grey stays 2-D, alpha stays
        np.testing.assert_array_equal(bgr, decoded)
        np.testing.assert_array_equal(rgb, swapped(decoded))

    def test_same_image_as_the_file_reader(self, files, helpers):
        from zemvara.io.picload import picload

        np.testing.assert_array_equal(helpers.host(picunpack(files.tiff16.data)), helpers.host(picload(files.tiff16.path)))

    def test_swap_sees_the_decoded_element_type(self, files, monkeypatch):
        seen = []
        monkeypatch.setitem(vars(module), "bgr_to_rgb", lambda image: seen.append(image.dtype) or image)
        picunpack(files.png16.data, "uint8", True)
        picunpack(files.png16.data, "uint8", [])
        assert seen == [np.uint16]


class TestElementTypes:
    @pytest.mark.parametrize("kind", ["png8", "png16", "tiff_float", "png8_grey", "png16_bgra"])
    @pytest.mark.parametrize("dtype", list(CONVERSIONS))
    def test_each_name_selects_its_conversion(self, files, helpers, kind, dtype):
        sample = getattr(files, kind)
        image = picunpack(sample.data, dtype)
        expected = CONVERSIONS[dtype](cp.asarray(sample.pixels))
        assert image.dtype == expected.dtype
        np.testing.assert_array_equal(helpers.host(image), helpers.host(expected))

    @pytest.mark.parametrize("dtype", ["float32", "FP16", "", "uint8 "])
    def test_other_names_give_float32(self, files, helpers, dtype):
        for sample in (files.png8, files.png16):
            image = picunpack(sample.data, dtype)
            assert image.dtype == np.float32
            np.testing.assert_array_equal(helpers.host(image), helpers.host(picunpack(sample.data)))

    def test_values_survive(self, files, helpers):
        for sample in (files.png8, files.png8_bgra, files.jpeg):
            np.testing.assert_array_equal(helpers.host(picunpack(sample.data, "uint8")), sample.pixels)
        np.testing.assert_array_equal(helpers.host(picunpack(files.png16.data, "uint16")), files.png16.pixels)
        np.testing.assert_array_equal(helpers.host(picunpack(files.tiff_float.data)), files.tiff_float.pixels)
        image = helpers.host(picunpack(files.png16.data))
        assert (image.min(), image.max()) == (0.0, 1.0)


class TestMessages:
    @pytest.mark.parametrize("data", [b"no picture here", b"\x89PNG\r\n\x1a\n", bytes(1000), "truncated"])
    def test_undecodable_bytes(self, broken, data):
        if data == "truncated":
            data = broken.png_bytes[: len(broken.png_bytes) // 2]
        with pytest.raises(RuntimeError) as info:
            picunpack(data)
        assert type(info.value) is RuntimeError and info.value.args == ("Failed to decode image from bytes",)

    class Blob(bytes):
        pass

    class Text(str):
        pass

    @pytest.mark.parametrize("args,message", [
        ((bytearray(b"x"), None), "Argument 'src' has incorrect type (expected bytes, got bytearray)"),  # src first
        ((memoryview(b"x"),), "Argument 'src' has incorrect type (expected bytes, got memoryview)"),
        ((None,), "Argument 'src' has incorrect type (expected bytes, got NoneType)"),
        (("x",), "Argument 'src' has incorrect type (expected bytes, got str)"),
        ((np.zeros(3, np.uint8),), "Argument 'src' has incorrect type (expected bytes, got ndarray)"),
        ((Blob(b"x"),), "Argument 'src' has incorrect type (expected bytes, got Blob). "),
        ((b"x", None), "Argument 'dtype' has incorrect type (expected str, got NoneType)"),
        ((b"x", b"fp32"), "Argument 'dtype' has incorrect type (expected str, got bytes)"),
        ((b"x", Text("fp32")), "Argument 'dtype' has incorrect type (expected str, got Text). "),
        ((), "picunpack() takes at least 1 positional argument (0 given)"),
        ((b"", "fp32", False, 1), "picunpack() takes at most 3 positional arguments (4 given)"),
    ])
    def test_argument_checks_before_decoding(self, args, message):
        with pytest.raises(TypeError) as info:
            picunpack(*args)
        assert_message(str(info.value), message)

    def test_keyword_binding(self):
        with pytest.raises(TypeError, match=r"^picunpack\(\) got multiple values for keyword argument 'src'$"):
            picunpack(b"...", src=b"...")
        with pytest.raises(TypeError, match=r"^picunpack\(\) takes at least 1 positional argument \(0 given\)$"):
            picunpack(dtype="fp16")


class TestTracebacksAndGlobals:
    def line(self, helpers, call):
        return raised_line(call, NAME, SOURCE, module)

    def test_each_failing_step_has_its_own_line(self, helpers, broken, monkeypatch):
        def boom(image):
            raise MemoryError("out of device memory")

        undecodable = self.line(helpers, lambda: picunpack(b"nothing"))
        monkeypatch.setitem(vars(module), "bgr_to_rgb", boom)
        swap = self.line(helpers, lambda: picunpack(broken.png_bytes, swap_rb=True))
        monkeypatch.setitem(vars(module), "to_uint16", boom)
        with pytest.raises(MemoryError, match="^out of device memory$"):  # passes through unchanged
            picunpack(broken.png_bytes, "uint16")
        convert = self.line(helpers, lambda: picunpack(broken.png_bytes, "uint16"))
        assert len({undecodable, swap, convert}) == 3 and min(undecodable, swap, convert) > 9

    def test_globals_are_read_at_call_time(self, broken, monkeypatch):
        calls = []
        fake_cv2 = SimpleNamespace(IMREAD_UNCHANGED=-1, imdecode=lambda buf, flags: calls.append((buf.dtype, buf.tobytes(), flags)) or np.ones((2, 2), np.uint8))
        monkeypatch.setitem(vars(module), "cv2", fake_cv2)
        monkeypatch.setitem(vars(module), "to_float32", lambda image: ("converted", image.shape))
        assert picunpack(b"abc", "anything") == ("converted", (2, 2))
        assert calls == [(np.uint8, b"abc", -1)]
        monkeypatch.delitem(vars(module), "np")
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            picunpack(broken.png_bytes)
