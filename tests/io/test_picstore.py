"""Writing image files with `picstore`: writers by extension, conversions, options, EXR headers, failures."""

import os
import pathlib
import re
import resource
import signal
import struct
import subprocess
import sys
from types import SimpleNamespace

import cupy as cp
import cv2
import Imath
import numpy as np
import OpenEXR
import pytest
from tracebacks import assert_message  # tests/tracebacks.py
import torch

import zemvara.io.picstore as module
from zemvara.io.picload import picload
from zemvara.io.picstore import picstore
from zemvara.utils import dtypes

NAME, SOURCE = "zemvara.io.picstore.picstore", "src/zemvara_source/io/picstore"
# Extension: (option flag, default param, conversion of a non-8-bit image, of an 8-bit one).
WRITERS = {
    ".png": (cv2.IMWRITE_PNG_COMPRESSION, 3, dtypes.to_uint16, None),
    ".tif": (cv2.IMWRITE_TIFF_COMPRESSION, 5, dtypes.to_uint16, None),
    ".tiff": (cv2.IMWRITE_TIFF_COMPRESSION, 5, dtypes.to_uint16, None),
    ".jpg": (cv2.IMWRITE_JPEG_QUALITY, 100, dtypes.to_uint8, dtypes.to_uint8),
    ".jpeg": (cv2.IMWRITE_JPEG_QUALITY, 100, dtypes.to_uint8, dtypes.to_uint8),
}


def encoded(ext, image, options):
    ok, buffer = cv2.imencode(ext, image, options)
    assert ok
    return buffer.tobytes()


def expected_file(ext, image, param=-1):
    """The bytes that OpenCV writes for `image` (BGR, host) with the writer's conversion and option."""
    flag, default, convert, convert_8bit = WRITERS[ext]
    convert = convert_8bit if image.dtype == np.uint8 else convert
    return encoded(ext, convert(image) if convert else image, [flag, default if param == -1 else param])


def tiff_compression(data):
    """The Compression tag (259) of a little-endian TIFF's first directory."""
    assert data[:4] == b"II*\x00"
    (ifd,) = struct.unpack_from("<I", data, 4)
    (count,) = struct.unpack_from("<H", data, ifd)
    for i in range(count):
        tag, kind, _, value = struct.unpack_from("<HHIH", data, ifd + 2 + 12 * i)
        if tag == 259:
            return value
    return None


def write_exr(path, rgb, level):
    """OpenEXR's classic write of an (H, W, 3) R, G, B image, whose header and pixels picstore's files must have."""
    header = OpenEXR.Header(rgb.shape[1], rgb.shape[0])
    header["compression"] = Imath.Compression(Imath.Compression.DWAA_COMPRESSION)
    header["dwaCompressionLevel"] = float(level)
    header["channels"] = {c: Imath.Channel(Imath.PixelType(Imath.PixelType.HALF)) for c in "RGB"}
    OpenEXR.OutputFile(str(path), header).writePixels({c: rgb[:, :, i].astype(np.float16).tobytes() for i, c in enumerate("RGB")})


def store(tmp_path, name, image, *args, **kwargs):
    path = str(tmp_path / name)
    assert picstore(path, image, *args, **kwargs) is None
    return pathlib.Path(path).read_bytes()


def test_function_object():
    assert (picstore.__name__, picstore.__qualname__, picstore.__module__) == ("picstore", "picstore", "zemvara.io.picstore")
    assert picstore.__doc__ is None
    assert picstore.__defaults__ == (-1, False) and picstore.__kwdefaults__ is None
    assert picstore.__annotations__ == {
        "output_path": "str", "image": "cp.ndarray | np.ndarray", "param": "int", "swap_rb": "bool", "return": "None",
    }
    code = picstore.__code__
    assert (code.co_argcount, code.co_firstlineno, code.co_filename, code.co_name) == (4, 15, SOURCE, "picstore")
    assert code.co_varnames == (
        "output_path", "image", "param", "swap_rb", "filename", "ext", "image_rgb", "header", "output", "image_bgr", "options",
    )
    assert [k for k in vars(module) if not k.startswith("__")] + ["__test__"] == [
        "os", "cp", "cv2", "Imath", "np", "OpenEXR", "sys", "bgr_to_rgb", "rgb_to_bgr", "to_numpy",
        "to_float16", "to_uint8", "to_uint16", "picstore", "__test__",
    ]
    assert list(vars(module))[-1] == "__test__" and module.__test__ == {}


class TestOpenCVWriters:
    @pytest.mark.parametrize("ext", list(WRITERS))
    @pytest.mark.parametrize("dtype,channels", [(np.uint8, 3), (np.uint16, 3), (np.float32, 3), (np.float16, 4), (np.uint8, 0)])
    def test_conversion_and_default_option(self, tmp_path, ext, dtype, channels, helpers):
        image = helpers.picture(dtype, channels, 40)
        data = store(tmp_path, "a" + ext, image)
        assert data == expected_file(ext, image)
        depth = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED).dtype
        assert depth == (np.uint8 if dtype == np.uint8 or "jp" in ext else np.uint16)

    @pytest.mark.parametrize("ext,param", [(".jpg", 90), (".jpeg", 0), (".png", 9), (".png", 0), (".tif", 1), (".tiff", 8)])
    def test_explicit_param_shows_in_the_file(self, tmp_path, ext, param, helpers):
        image = helpers.picture(np.float32, 3, 41)
        data = store(tmp_path, "a" + ext, image, param)
        assert data == expected_file(ext, image, param) != expected_file(ext, image)
        if "tif" in ext:
            assert tiff_compression(data) == param

    def test_defaults_visible_in_the_files(self, tmp_path):
        image = np.add.outer(np.arange(40), np.arange(50))[:, :, None].astype(np.uint8).repeat(3, 2)  # compressible
        assert tiff_compression(store(tmp_path, "a.tif", image)) == 5  # LZW
        assert len(store(tmp_path, "a.png", image)) < len(store(tmp_path, "b.png", image, 0))
        assert len(store(tmp_path, "a.jpg", image)) > len(store(tmp_path, "b.jpg", image, 90))

    def test_round_trip_through_the_reader(self, tmp_path, helpers):
        image = helpers.picture(np.uint16, 3, 43)
        for ext in (".png", ".tiff"):
            picstore(str(tmp_path / ("a" + ext)), image)
            np.testing.assert_array_equal(helpers.host(picload(str(tmp_path / ("a" + ext)), "uint16")), image)

    @pytest.mark.parametrize("name,param", [("a.PNG", 9), ("a.Jpg", 9), ("a.TIF", 1), ("a.bmp", 9)])
    def test_other_extensions_take_no_conversion_and_no_options(self, tmp_path, name, param, helpers):
        image = helpers.picture(np.uint16 if name != "a.bmp" else np.uint8, 3, 44)
        assert store(tmp_path, name, image, param) == encoded("." + name.split(".")[1].lower(), image, [])

    def test_swap_rb_hands_bgr_to_opencv(self, tmp_path, helpers):
        bgr = helpers.picture(np.float32, 3, 45)
        assert store(tmp_path, "a.png", bgr[:, :, ::-1].copy(), swap_rb=True) == store(tmp_path, "b.png", bgr)


class TestOpenEXRWriter:
    def planes(self, data_path):
        with OpenEXR.File(str(data_path), separate_channels=True) as f:
            # Closing the file empties the dictionaries it gave out.
            return dict(f.header()), {name: channel.pixels for name, channel in f.channels().items()}

    @pytest.mark.parametrize("param,level,dtype", [(-1, 1.0, np.float32), (45, 45.0, np.uint8), (0, 0.0, np.uint16)])
    def test_dwaa_half_rgb_as_openexr_writes_it(self, tmp_path, helpers, param, level, dtype):
        bgr = helpers.picture(dtype, 3, 46)
        picstore(str(tmp_path / "a.exr"), bgr, param)
        write_exr(tmp_path / "own.exr", dtypes.to_float16(bgr)[:, :, ::-1], level)  # integers scaled to 0..1
        header, planes = self.planes(tmp_path / "a.exr")
        assert header["compression"] == OpenEXR.DWAA_COMPRESSION and header["dwaCompressionLevel"] == level
        assert sorted(planes) == ["B", "G", "R"] and all(p.dtype == np.float16 and p.shape == (6, 7) for p in planes.values())
        # OpenEXR.File adds only the part type; windows, line order, channels and the compressed pixels are the same.
        own_header, own_planes = self.planes(tmp_path / "own.exr")
        assert {k: str(v) for k, v in header.items()} == {k: str(v) for k, v in own_header.items()}
        for name in "RGB":
            np.testing.assert_array_equal(planes[name], own_planes[name])

    def test_channel_order_and_values(self, tmp_path, helpers):
        bgra = helpers.picture(np.float32, 4, 47)
        bgra[:, :, 2] += 50.0  # red far from blue, beyond any loss of the compression
        picstore(str(tmp_path / "bgr.exr"), bgra)  # the fourth channel is dropped
        picstore(str(tmp_path / "rgb.exr"), bgra[:, :, [2, 1, 0]], swap_rb=True)
        assert (tmp_path / "bgr.exr").read_bytes() == (tmp_path / "rgb.exr").read_bytes()
        _, planes = self.planes(tmp_path / "bgr.exr")
        for i, name in enumerate("BGR"):
            np.testing.assert_allclose(planes[name], bgra[:, :, i], rtol=0.01, atol=0.01)
        np.testing.assert_array_equal(helpers.host(picload(str(tmp_path / "bgr.exr"))), np.stack([planes[c] for c in "BGR"], -1))


@pytest.mark.parametrize("name", ["a.png", "a.jpg", "a.tiff", "a.exr", "a.bmp"])
def test_device_arrays_and_tensors_give_the_host_array_file(tmp_path, name, helpers):
    image = helpers.picture(np.float32 if name != "a.bmp" else np.uint8, 3, 49)
    data = store(tmp_path, "host_" + name, image)
    assert store(tmp_path, "device_" + name, cp.asarray(image)) == data
    assert store(tmp_path, "tensor_" + name, torch.from_numpy(image).requires_grad_(name == "a.exr")) == data
    assert store(tmp_path, "view_" + name, cp.asarray(image[::-1])[::-1]) == data


FORMATS = ["a.png", "a.jpg", "a.tiff", "a.bmp", "a.exr"]


class TestWholeFiles:
    """The path holds the complete new image or what it held before; no failed write passes for a success."""

    @pytest.mark.parametrize("name", FORMATS)
    def test_a_full_disk_raises(self, tmp_path, helpers, name):
        # OpenCV and the classic OpenEXR writer ignored the failed final flush: picstore returned None.
        (tmp_path / name).symlink_to("/dev/full")
        with pytest.raises((OSError, RuntimeError), match="No space left on device"):
            picstore(str(tmp_path / name), helpers.picture(np.uint8, 3, 60))

    @pytest.mark.parametrize("name", FORMATS)
    @pytest.mark.parametrize("failure", ["size limit", "bad rank"])
    def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(self, tmp_path, helpers, name, failure):
        # Once the old file was deleted or truncated, or a file one byte short was left and reported as written.
        image = helpers.picture(np.float32, 3, 62)
        picstore(str(tmp_path / ("probe" + name)), image)
        size = (tmp_path / ("probe" + name)).stat().st_size
        path = tmp_path / name
        picstore(str(path), helpers.picture(np.uint8, 3, 61))
        before, listing = path.read_bytes(), sorted(tmp_path.iterdir())
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)
        with pytest.raises((OSError, RuntimeError) if failure == "size limit" else ValueError) as info:
            try:
                if failure == "size limit":
                    resource.setrlimit(resource.RLIMIT_FSIZE, (size - 1, limit[1]))
                picstore(str(path), image if failure == "size limit" else np.zeros((2, 8, 8, 3), np.float32))
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        # The EXR bindings once raised naming the hidden temporary, not the path.
        assert failure == "bad rank" or (info.value.filename, info.value.errno) == (str(path), 27)
        assert path.read_bytes() == before and sorted(tmp_path.iterdir()) == listing

    def test_a_symbolic_link_keeps_pointing_at_the_rewritten_file_and_its_mode(self, tmp_path, helpers):
        (tmp_path / "real.png").write_bytes(b"old")
        (tmp_path / "real.png").chmod(0o640)
        (tmp_path / "link.png").symlink_to(tmp_path / "real.png")
        picstore(str(tmp_path / "link.png"), helpers.picture(np.uint8, 3, 63))
        assert (tmp_path / "link.png").is_symlink() and (tmp_path / "real.png").stat().st_mode & 0o777 == 0o640
        assert (tmp_path / "real.png").read_bytes() == encoded(".png", helpers.picture(np.uint8, 3, 63), [cv2.IMWRITE_PNG_COMPRESSION, 3])

    @pytest.mark.parametrize("name", ["a.png", "a.exr"])
    def test_symbolic_links_are_written_through(self, tmp_path, helpers, name):
        # A link to a file not made yet was replaced by a regular file.
        image = helpers.picture(np.uint8, 3, 65)
        expected = store(tmp_path, "plain_" + name, image)
        (tmp_path / "out").mkdir()
        (tmp_path / name).symlink_to("out/target" + name)
        (tmp_path / ("chain_" + name)).symlink_to(tmp_path / name)
        for link in (name, "chain_" + name):
            (tmp_path / "out" / ("target" + name)).unlink(missing_ok=True)
            picstore(str(tmp_path / link), image)
            assert (tmp_path / link).is_symlink() and (tmp_path / "out" / ("target" + name)).read_bytes() == expected
        with pytest.raises(ValueError):  # the target keeps its file, no temporary beside link or target
            picstore(str(tmp_path / name), np.zeros((2, 8, 8, 3), np.float32))
        assert (tmp_path / "out" / ("target" + name)).read_bytes() == expected
        assert sorted(p.name for p in tmp_path.rglob("*")) == sorted(["plain_" + name, name, "chain_" + name, "out", "target" + name])
        (tmp_path / ("lost" + name)).symlink_to("no such folder/x" + name)
        with pytest.raises(FileNotFoundError) as info:
            picstore(str(tmp_path / ("lost" + name)), image)
        assert info.value.filename == str(tmp_path / ("lost" + name))

    @pytest.mark.skipif(os.geteuid() == 0, reason="the superuser may write any file")
    def test_a_file_the_process_may_not_write_is_refused(self, tmp_path, helpers):
        # Renaming over it once replaced it, as cv2.imwrite would not.
        (tmp_path / "a.png").write_bytes(b"old")
        (tmp_path / "a.png").chmod(0o444)
        with pytest.raises(PermissionError):
            picstore(str(tmp_path / "a.png"), helpers.picture(np.uint8, 3, 66))
        assert (tmp_path / "a.png").read_bytes() == b"old"

    @pytest.mark.parametrize("name", ["a.png", "a.exr"])
    def test_a_killed_write_leaves_the_old_file_and_a_temporary_of_the_documented_name(self, tmp_path, helpers, name):
        # Clean-ups of killed runs find the temporaries by this name.
        path = tmp_path / name
        picstore(str(path), helpers.picture(np.uint8, 3, 67))
        before = path.read_bytes()
        child = (
            "import resource, signal, numpy as np; from zemvara.io.picstore import picstore\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_DFL); resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
            f"picstore({str(path)!r}, np.random.default_rng(0).random((300, 400, 3)).astype(np.float32))\n"
        )
        proc = subprocess.run([sys.executable, "-c", child], capture_output=True)
        assert proc.returncode == -signal.SIGXFSZ, proc.stderr
        assert path.read_bytes() == before
        left = [p.name for p in tmp_path.iterdir() if p.name != name]
        assert len(left) == 1 and re.fullmatch(re.escape("." + name) + r"\.(\d+)-1-([0-9a-f]+)\.tmp", left[0]), left

    @pytest.mark.skipif(os.environ.get("PYTHONMALLOC") == "malloc",
                        reason="with the C allocator (the sanitized run), OpenEXR's bindings alone keep some "
                               "hundreds of bytes a call, freed addresses coming back less often")
    def test_the_exr_writer_keeps_no_memory_per_call(self, tmp_path, helpers):
        # The classic OutputFile kept about 1.6 KB of Python objects per call.
        import tracemalloc
        image = helpers.picture(np.float32, 3, 64)
        for _ in range(20):
            picstore(str(tmp_path / "a.exr"), image)
        tracemalloc.start()
        for _ in range(50):
            picstore(str(tmp_path / "a.exr"), image)
        kept = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        assert kept < 50 * 200


class TestMessages:
    @pytest.mark.parametrize("name", FORMATS)
    def test_a_missing_folder_raises_naming_the_path(self, tmp_path, helpers, name):
        path = str(tmp_path / "no such folder" / name)
        with pytest.raises(FileNotFoundError) as info:
            picstore(path, helpers.picture(np.uint8, 3, 50))
        assert info.value.filename == path
        assert helpers.entry(info.value, NAME).tb_frame.f_code.co_filename == SOURCE

    def test_an_encoding_that_opencv_reports_failed_raises(self, tmp_path, helpers, monkeypatch):
        monkeypatch.setattr(module, "cv2", helpers.fake_cv2(encode_result=(False, np.zeros(1, np.uint8))))
        path = str(tmp_path / "a.png")
        with pytest.raises(RuntimeError) as info:
            picstore(path, helpers.picture(np.uint8, 3, 50))
        assert type(info.value) is RuntimeError and info.value.args == ("Failed to write image to " + path,)
        assert list(tmp_path.iterdir()) == []

    def test_a_failed_exr_encoding_names_the_path(self, tmp_path, helpers, monkeypatch):
        # The bindings' error named the hidden temporary the file went to.
        failure = RuntimeError('Failed to write pixel data to image file "/tmp/.x.exr.1-1-0.tmp"')

        class File:
            __init__ = lambda self, *args: None
            __enter__ = lambda self: self
            __exit__ = lambda self, *exc: None

            def write(self, stream):
                raise failure

        monkeypatch.setattr(module, "OpenEXR", SimpleNamespace(DWAA_COMPRESSION=OpenEXR.DWAA_COMPRESSION, Channel=OpenEXR.Channel, File=File))
        path = str(tmp_path / "a.exr")
        with pytest.raises(RuntimeError) as info:
            picstore(path, helpers.picture(np.uint8, 3, 54))
        assert info.value.args == ("Failed to write image to " + path,) and info.value.__cause__ is failure
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("name", FORMATS)
    def test_a_name_that_is_not_utf8_is_written(self, tmp_path, helpers, name):
        # OpenCV once got the surrogate-escaped name and crashed the process; OpenEXR refused it.
        image = helpers.picture(np.float32, 3, 55)
        path = os.fsdecode(os.fsencode(str(tmp_path)) + b"/bad\xff" + name.encode())
        picstore(path, image)
        assert pathlib.Path(path).read_bytes() == store(tmp_path, name, image)

    def test_library_failures_pass_through(self, tmp_path, helpers):
        with pytest.raises(cv2.error):
            picstore(str(tmp_path / "a.unknown"), helpers.picture(np.uint8, 3, 51))
        with pytest.raises(IndexError):
            picstore(str(tmp_path / "grey.exr"), helpers.picture(np.float32, 0, 51))

    @pytest.mark.parametrize("shape,error", [((0, 7, 3), ValueError), ((6, 0), ValueError), ((6, 7), IndexError), ((6, 7, 2), IndexError)])
    def test_exr_refusals_come_before_the_file_is_opened(self, tmp_path, helpers, shape, error):
        # A side of 0 once aborted the process inside the bindings' Header; an
        # image without three channels once truncated the file already there.
        path = tmp_path / "a.exr"
        picstore(str(path), helpers.picture(np.float32, 3, 52))
        before = path.read_bytes()
        with pytest.raises(error, match="has no pixels" if error is ValueError else None):
            picstore(str(path), np.zeros(shape, np.float32))
        assert path.read_bytes() == before

    @pytest.mark.parametrize("name", ["a.png\0b.png", "a\0b.exr", "a.png\0.exr", "a.jpg\0.bmp"])
    def test_a_nul_in_the_path_writes_nothing(self, tmp_path, helpers, name):
        # The libraries once cut the path at the NUL and wrote "a.png" or "a" instead.
        with pytest.raises(ValueError, match="^embedded null byte$"):
            picstore(str(tmp_path / name), helpers.picture(np.uint8, 3, 53))
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("args,message", [
        ((pathlib.Path("a.png"), None, None), "Argument 'output_path' has incorrect type (expected str, got PosixPath)"),
        (("a.png", None, None), "Argument 'param' has incorrect type (expected int, got NoneType)"),
        (("a.png", None, True), "Argument 'param' has incorrect type (expected int, got bool). "),
        (("a.png",), "picstore() takes at least 2 positional arguments (1 given)"),
        (("a.ppm", 2**64 + 5), "image must be a NumPy or CuPy array or a PyTorch tensor, not int"),  # was SystemError
    ])
    def test_argument_checks(self, args, message):
        with pytest.raises(TypeError) as info:
            picstore(*args)
        assert_message(str(info.value), message)
