"""Encoding images to bytes with `picpack`: format families, conversions, options, failures."""

from types import SimpleNamespace

import cupy as cp
import cv2
import numpy as np
import pytest
from tracebacks import assert_message  # tests/tracebacks.py

import zemvara.io.picpack as module
from zemvara.io.picpack import picpack
from zemvara.io.picunpack import picunpack
from zemvara.utils import dtypes

NAME, SOURCE = "zemvara.io.picpack.picpack", "src/zemvara_source/io/picpack"
DOC = """
    Encode an image to a bytes object from a CuPy array.

    Args:
        image (cp.ndarray): The input image as a CuPy array.
        format (str): The image format to encode. Default is "png".
        param (int): Optional parameter for image encoding.
        swap_rb (bool): If True, the image will be encoded with red and blue channels swapped. Default is False.
    Returns:
        bytes: The encoded image as bytes.
    """
# Family: (extension for OpenCV, option flag, default param, conversion of a non-8-bit image, of an 8-bit one).
FAMILIES = {
    "jpeg": (".jpg", cv2.IMWRITE_JPEG_QUALITY, 100, dtypes.to_uint8, dtypes.to_uint8),
    "png": (".png", cv2.IMWRITE_PNG_COMPRESSION, 3, dtypes.to_uint16, None),
    "tiff": (".tif", cv2.IMWRITE_TIFF_COMPRESSION, 5, dtypes.to_uint16, None),
}


def expected_bytes(family, image, param=-1):
    ext, flag, default, convert, convert_8bit = FAMILIES[family]
    convert = convert_8bit if image.dtype == np.uint8 else convert
    ok, buffer = cv2.imencode(ext, convert(image) if convert else image, [flag, default if param == -1 else param])
    assert ok
    return buffer.tobytes()


def test_function_object():
    assert (picpack.__name__, picpack.__qualname__, picpack.__module__) == ("picpack", "picpack", "zemvara.io.picpack")
    assert picpack.__doc__ == DOC
    assert picpack.__defaults__ == (".png", -1, False) and picpack.__kwdefaults__ is None
    assert picpack.__annotations__ == {"image": "cp.ndarray", "ext": "str", "param": "int", "swap_rb": "bool", "return": "bytes"}
    code = picpack.__code__
    assert (code.co_argcount, code.co_firstlineno, code.co_filename, code.co_name) == (4, 9, SOURCE, "picpack")
    assert code.co_varnames == ("image", "ext", "param", "swap_rb", "options", "success", "encoded_image")
    assert [k for k in vars(module) if not k.startswith("__")] + ["__test__"] == [
        "cp", "cv2", "np", "rgb_to_bgr", "to_uint8", "to_uint16", "picpack", "__test__",
    ]
    assert list(vars(module))[-1] == "__test__" and module.__test__ == {}


class TestFamilies:
    @pytest.mark.parametrize("ext,family", [
        ("jpg", "jpeg"), (".JPEG", "jpeg"), ("Jpg", "jpeg"), ("png.jpg", "jpeg"),  # "jpg" is tested before "png"
        (".png", "png"), ("PNG", "png"), ("apng", "png"),
        ("png\udcff", "png"), ("png\ud800", "png"),  # lone surrogates once crashed OpenCV
        ("tif", "tiff"), (".TIFF", "tiff"), (".Tif", "tiff"),
    ])
    @pytest.mark.parametrize("dtype,channels", [(np.uint8, 3), (np.uint16, 3), (np.float32, 4), (np.uint8, 0)])
    def test_conversion_and_default_option(self, helpers, ext, family, dtype, channels):
        image = helpers.picture(dtype, channels, 60)
        data = picpack(cp.asarray(image), ext)
        assert type(data) is bytes and data == expected_bytes(family, image)
        depth = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED).dtype
        assert depth == (np.uint8 if dtype == np.uint8 or family == "jpeg" else np.uint16)

    @pytest.mark.parametrize("ext,family,param", [("jpg", "jpeg", 95), (".jpeg", "jpeg", 0), ("png", "png", 9), ("tiff", "tiff", 1)])
    def test_explicit_param(self, helpers, ext, family, param):
        image = helpers.picture(np.float32, 3, 61)
        assert picpack(cp.asarray(image), ext, param) == expected_bytes(family, image, param) != expected_bytes(family, image)

    def test_default_is_png_and_decodes_back(self, helpers):
        image = helpers.picture(np.uint8, 3, 62)
        data = picpack(cp.asarray(image))
        assert data == expected_bytes("png", image)
        np.testing.assert_array_equal(helpers.host(picunpack(data, "uint8")), image)
        np.testing.assert_array_equal(helpers.host(picunpack(picpack(cp.asarray(image), "tif"), "uint8")), image)

    def test_swap_rb_encodes_bgr(self, helpers):
        bgr = helpers.picture(np.uint16, 3, 63)
        rgb = cp.asarray(np.ascontiguousarray(bgr[:, :, ::-1]))
        assert picpack(rgb, "png", -1, True) == picpack(cp.asarray(bgr)) == picpack(bgr)


class TestMessages:
    @pytest.mark.parametrize("ext", ["bmp", ".exr", "WebP", "", ".", "ti"])
    def test_unsupported_format(self, helpers, ext):
        with pytest.raises(ValueError) as info:
            picpack(cp.asarray(helpers.picture(np.uint8, 3, 64)), ext)
        assert type(info.value) is ValueError and info.value.args == ("Unsupported image format: " + ext,)

    @pytest.mark.parametrize("ext", ["tif", "png"])
    @pytest.mark.parametrize("shape", [(6, 4, 2, 1), (7,)])
    def test_an_image_of_other_than_two_or_three_dimensions_is_refused(self, ext, shape):
        # Found by fuzzing: a (6, 4, 2, 1) image came back as TIFF bytes that decode to nothing.
        with pytest.raises(ValueError, match=r"^Image of shape \(.*\) is neither \(height, width\) nor"):
            picpack(np.zeros(shape, np.uint16), ext)

    def test_swap_and_host_copy_come_before_the_format_test(self, helpers, monkeypatch):
        def boom(image):
            raise MemoryError("out of device memory")

        monkeypatch.setitem(vars(module), "rgb_to_bgr", boom)
        with pytest.raises(MemoryError, match="^out of device memory$"):
            picpack(cp.asarray(helpers.picture(np.uint8, 3, 65)), "bmp", -1, True)

    @pytest.mark.parametrize("ext", [".png", "JPG", "tif"])
    def test_encoder_failure(self, helpers, monkeypatch, ext):
        monkeypatch.setitem(vars(module), "cv2", helpers.fake_cv2(encode_result=(False, None)))
        with pytest.raises(RuntimeError) as info:
            picpack(cp.asarray(helpers.picture(np.uint8, 3, 66)), ext)
        assert type(info.value) is RuntimeError and info.value.args == ("Failed to encode image to " + ext + " format",)
        assert helpers.entry(info.value, NAME).tb_frame.f_code.co_filename == SOURCE

    def test_result_must_be_bytes(self, helpers, monkeypatch):
        encoded = SimpleNamespace(tobytes=lambda: bytearray(b"x"))
        monkeypatch.setitem(vars(module), "cv2", helpers.fake_cv2(encode_result=(True, encoded)))
        with pytest.raises(TypeError, match="^Expected bytes, got bytearray$"):
            picpack(cp.asarray(helpers.picture(np.uint8, 3, 67)))

    class Text(str):
        pass

    @pytest.mark.parametrize("args,message", [
        ((None, 5, None), "Argument 'ext' has incorrect type (expected str, got int)"),  # ext before param
        ((None, Text(".png")), "Argument 'ext' has incorrect type (expected str, got Text). "),
        ((None, ".png", None), "Argument 'param' has incorrect type (expected int, got NoneType)"),
        ((None, ".png", False), "Argument 'param' has incorrect type (expected int, got bool). "),
    ])
    def test_argument_checks(self, args, message):
        with pytest.raises(TypeError) as info:
            picpack(*args)
        assert_message(str(info.value), message)


@pytest.mark.parametrize("ext,param,passed,options", [
    (".png", -1, "..png", [cv2.IMWRITE_PNG_COMPRESSION, 3]),
    ("TIF", -7, ".tif", [cv2.IMWRITE_TIFF_COMPRESSION, -7]),  # out of range: passed on unchanged
])
def test_imencode_arguments(helpers, monkeypatch, ext, param, passed, options):
    fake = helpers.fake_cv2()
    monkeypatch.setitem(vars(module), "cv2", fake)
    picpack(cp.asarray(helpers.picture(np.uint8, 3, 68)), ext, param)
    ((given_ext, image, given_options),) = fake.calls
    assert (given_ext, type(image), given_options) == (passed, np.ndarray, options) and type(given_options) is list
