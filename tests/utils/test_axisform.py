"""zemvara.utils.axisform: layout inference, packing images into batches and back, and that callers' arrays stay put."""

import typing
from types import SimpleNamespace

import cupy as cp
import numpy as np
import pytest
from tracebacks import entry  # tests/tracebacks.py

import zemvara.utils.axisform as axisform
from zemvara.transform import resize as resize_module
from zemvara.utils.axisform import batch_to_images, guess_image_layout, image_to_batch, images_to_batch

SOURCE = "src/zemvara_source/utils/axisform"
LAYOUTS = ("HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported")
VALUES = "float | tuple[float, float, float] | None"
SIZE = "int | tuple[int, int] | None"


def picture(shape, dtype=np.float32, seed=0):
    return cp.asarray((np.random.default_rng(seed).random(shape) * 100).astype(dtype))


def host(a):
    return cp.asnumpy(a)


def shares(a, b):
    return host(a).size > 0 and a.data.ptr <= b.data.ptr + b.nbytes - 1 and b.data.ptr <= a.data.ptr + a.nbytes - 1


@pytest.fixture
def resizes(monkeypatch):
    """Replaces `resize` with a recorder that returns a new array of the same shape, values doubled."""
    calls = []

    def fake(image, **kwargs):
        calls.append((image.shape, kwargs))
        return image * 2

    monkeypatch.setattr(axisform, "resize", fake)
    return calls


class TestModule:
    def test_body_order(self):
        names = [k for k in vars(axisform) if not k.startswith("__")]
        assert names == ["Literal", "cp", "bgr_to_rgb", "rgb_to_bgr", "INTER_AUTO", "resize", "to_float32", "Layout",
                         "guess_image_layout", "batch_to_images", "images_to_batch", "image_to_batch"]
        assert list(vars(axisform))[-1] == "__test__" and axisform.__test__ == {}
        assert axisform.Literal is typing.Literal and typing.get_args(axisform.Layout) == LAYOUTS
        assert axisform.resize is resize_module.resize and axisform.INTER_AUTO is resize_module.INTER_AUTO

    @pytest.mark.parametrize("f, doc, defaults, annotations, varnames, line", [
        (guess_image_layout,
         "\n    Infer the layout of an image array.\n\n    Args:\n        image (cp.ndarray): The input image array.\n"
         "    Returns:\n        Layout: The inferred layout of the image array.\n    ",
         None, {"image": "cp.ndarray", "return": "Layout"}, ("image", "nd", "c_first", "c_last", "candidates"), 12),
        (batch_to_images,
         "\n    Convert a batch of images to a list of images.\n\n    Args:\n        batch (cp.ndarray): The input batch "
         "of images with shape (N, C, H, W) or (N, H, W, C).\n\n    Returns:\n        list[cp.ndarray]: A list of "
         "images, each with shape (H, W, C).\n    ",
         (None, None, True, "NCHW"),
         {"batch": "cp.ndarray", "std": VALUES, "mean": VALUES, "swap_rb": "bool", "layout": "Layout",
          "return": "list[cp.ndarray]"},
         ("batch", "std", "mean", "swap_rb", "layout", "results", "image"), 48),
        (images_to_batch, "\n    Convert a list of images to batches.\n    ", (None, None, None, True, "HWC"),
         {"images": "cp.ndarray | list[cp.ndarray]", "size": SIZE, "std": VALUES, "mean": VALUES, "swap_rb": "bool",
          "layout": "Layout", "return": "cp.ndarray"},
         ("images", "size", "std", "mean", "swap_rb", "layout", "results", "image", "result"), 91),
        (image_to_batch, "\n    Convert a single image to a batch.\n    ", (None, None, None, True, "HWC"),
         {"image": "cp.ndarray", "std": VALUES, "size": SIZE, "mean": VALUES, "swap_rb": "bool", "layout": "Layout",
          "return": "cp.ndarray"},
         ("image", "std", "size", "mean", "swap_rb", "layout", "array_dtype"), 105),
    ])
    def test_function_objects(self, f, doc, defaults, annotations, varnames, line):
        name = f.__code__.co_name
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "zemvara.utils.axisform")
        assert f.__doc__ == doc and f.__defaults__ == defaults and f.__kwdefaults__ is None
        assert f.__annotations__ == annotations and list(f.__annotations__) == list(annotations)
        code = f.__code__
        argcount = len(annotations) - 1
        assert (code.co_argcount, code.co_varnames, code.co_filename, code.co_firstlineno) == (
            argcount, varnames, SOURCE, line)


class TestGuess:
    @pytest.mark.parametrize("shape, layout", [
        ((480, 640), "HW"), ((1, 1), "HW"), ((0, 0), "HW"),
        ((480, 640, 3), "HWC"), ((480, 640, 4), "HWC"), ((480, 640, 1), "HWC"), ((2, 3, 3), "HWC"),
        ((100, 100, 2), "HWC"), ((5, 5, 2), "HWC"), ((5, 5, 0), "HWC"),
        ((3, 480, 640), "CHW"), ((1, 480, 640), "CHW"), ((2, 100, 100), "CHW"), ((2, 5, 5), "CHW"),
        ((4, 2, 6), "CHW"), ((4, 3, 4), "ambiguous"),             # one channel count decides; two need sizes
        ((3, 3, 3), "ambiguous"), ((1, 1, 1), "ambiguous"), ((4, 100, 3), "ambiguous"), ((100, 100, 5), "ambiguous"),
        ((5, 5, 5), "ambiguous"), ((2, 4, 5), "ambiguous"), ((2, 5, 4), "HWC"), ((0, 9, 9), "CHW"),
        ((1, 3, 64, 64), "NCHW"), ((8, 4, 64, 64), "NCHW"), ((1, 4, 5, 5), "NCHW"), ((1, 3, 5, 5), "NCHW"),
        ((1, 64, 64, 3), "NHWC"), ((4, 64, 64, 3), "NHWC"), ((1, 5, 5, 4), "NHWC"),
        ((1, 3, 4, 4), "ambiguous"), ((1, 3, 64, 3), "ambiguous"), ((1, 3, 4, 5), "ambiguous"), ((1, 64, 64, 5), "ambiguous"),
        ((1, 3, 64, 4), "ambiguous"), ((1, 4, 64, 3), "ambiguous"),
        ((), "unsupported"), ((10,), "unsupported"), ((1, 3, 64, 64, 1), "unsupported"), ((1,) * 6, "unsupported"),
    ])
    def test_shapes(self, shape, layout):
        # Only ndim and shape exist: the data is never touched.
        assert guess_image_layout(SimpleNamespace(ndim=len(shape), shape=shape)) == layout

    def test_objects_without_a_usable_shape(self):
        with pytest.raises(AttributeError):
            guess_image_layout([[1, 2], [3, 4]])
        with pytest.raises(IndexError):
            guess_image_layout(SimpleNamespace(ndim=3, shape=(2,)))


class TestImageToBatch:
    def test_channel_last_with_the_defaults(self):
        x = picture((6, 8, 3))
        out = image_to_batch(x)
        assert out.shape == (1, 3, 6, 8) and out.dtype == np.float32
        np.testing.assert_array_equal(host(out)[0], host(x)[:, :, ::-1].transpose(2, 0, 1))

    @pytest.mark.parametrize("shape, layout, packed", [
        ((6, 8, 3), "HWC", lambda a: a.transpose(2, 0, 1)[None]),
        ((6, 8, 4), None, lambda a: a.transpose(2, 0, 1)[None]),      # inferred "HWC"
        ((3, 6, 8), "CHW", lambda a: a[None]),
        ((3, 6, 8), "chw", lambda a: a[None]),                        # inferred "CHW"
        ((6, 8), "HW", lambda a: a[None, None]),
        ((6, 8), 0, lambda a: a[None, None]),                         # inferred "HW"
    ])
    def test_without_options_the_result_is_a_view(self, shape, layout, packed):
        x = picture(shape)
        out = image_to_batch(x, swap_rb=False, layout=layout)
        assert shares(out, x)
        np.testing.assert_array_equal(host(out), packed(host(x)))

    @pytest.mark.parametrize("layout, shape", [("NCHW", (2, 3, 6, 8)), ("NHWC", (2, 6, 8, 3)), (None, (2, 3, 6, 8))])
    def test_batches_pass_through_untouched(self, resizes, layout, shape):
        x = picture(shape)
        before = host(x)
        out = image_to_batch(x, std=2.0, size=4, mean=1.0, swap_rb=True, layout=layout)
        if layout == "NHWC":
            assert out.shape == (2, 3, 6, 8) and shares(out, x)
            np.testing.assert_array_equal(host(out), before.transpose(0, 3, 1, 2))
        else:
            assert out is x
        assert resizes == [] and np.array_equal(host(x), before)

    @pytest.mark.parametrize("value, triple", [
        (0.5, (0.5,) * 3), ((0.5,), (0.5,) * 3), ([0.5, 0.5, 0.5], (0.5,) * 3), (np.float64(2.5), (2.5,) * 3),
        (True, (1, 1, 1)), (2, (2, 2, 2)), ([1, 2, 3], (1, 2, 3)),
    ])
    def test_normalisation_values(self, value, triple):
        x = picture((4, 5, 3))
        expected = (host(x) - np.float32(triple)) / np.float32(triple)
        out = image_to_batch(x, std=value, mean=value, swap_rb=False)
        np.testing.assert_allclose(host(out)[0].transpose(1, 2, 0), expected, rtol=1e-6)

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"mean": (0.1, 0.2)}, ValueError, "Mean must be a single value or a tuple of three values."),
        ({"std": []}, ValueError, "Standard deviation must be a single value or a tuple of three values."),
        ({"mean": np.int64(1)}, TypeError, None),             # neither a Python number nor sized
    ])
    def test_bad_normalisation_values(self, kwargs, error, message):
        x = picture((4, 5, 3))
        with pytest.raises(error) as e:
            image_to_batch(x, **kwargs)
        assert message is None or str(e.value) == message

    def test_values_apply_per_channel_after_the_swap(self):
        x = picture((4, 5, 3))
        out = image_to_batch(x, std=(2, 4, 8), mean=(1, 2, 3))          # swap_rb defaults to true
        rgb = host(x)[:, :, ::-1]
        np.testing.assert_allclose(host(out)[0].transpose(1, 2, 0), (rgb - [1, 2, 3]) / np.float32([2, 4, 8]), rtol=1e-6)

    def test_the_values_take_the_input_element_type(self):
        x = picture((4, 5, 3), np.float16)
        out = image_to_batch(x, std=3.0, mean=0.1, swap_rb=False)
        assert out.dtype == np.float16
        np.testing.assert_allclose(host(out)[0].transpose(1, 2, 0), (host(x) - np.float16(0.1)) / np.float16(3), rtol=1e-3)
        with pytest.raises(TypeError):                            # an integer image cannot hold the quotient
            image_to_batch(picture((4, 5, 3), np.uint8), std=2)

    def test_size(self, resizes, monkeypatch):
        monkeypatch.setattr(axisform, "INTER_AUTO", "auto")
        x = picture((6, 8, 3))
        out = image_to_batch(x, size=5)
        np.testing.assert_array_equal(host(out)[0], 2 * host(x)[:, :, ::-1].transpose(2, 0, 1))
        image_to_batch(x, size=(7, 3), swap_rb=False)
        image_to_batch(picture((3, 6, 8)), size=[4, 4], layout="CHW")
        assert resizes == [((6, 8, 3), {"dsize": (5, 5), "interpolation": "auto"}),
                           ((6, 8, 3), {"dsize": (7, 3), "interpolation": "auto"}),
                           ((3, 6, 8), {"dsize": [4, 4], "interpolation": "auto"})]

    def test_size_with_the_real_resize(self):
        out = image_to_batch(picture((16, 20, 3)), size=(10, 8), mean=0.5)   # dsize is (width, height)
        assert out.shape == (1, 3, 8, 10) and out.dtype == np.float32

    @pytest.mark.parametrize("shape, kwargs, error", [
        ((6, 8), {"layout": "HW", "mean": 1.0}, ValueError),       # three values do not fit one channel
        ((6, 8), {}, ValueError),                                   # "HWC" is not inferred: the transpose fails
        ((3, 6, 8), {"layout": "CHW", "mean": 1.0}, ValueError),    # the values meet the width axis
    ])
    def test_library_errors(self, shape, kwargs, error):
        x = picture(shape)
        before = host(x)
        with pytest.raises(error):
            image_to_batch(x, **kwargs)
        assert np.array_equal(host(x), before)

    def test_an_undecidable_layout_fails_after_every_other_step(self, resizes, monkeypatch):
        swaps = []
        monkeypatch.setattr(axisform, "bgr_to_rgb", lambda image: swaps.append(image) or image)
        with pytest.raises(ValueError) as e:
            image_to_batch(picture((3, 3, 3)), size=2, mean=1.0, std=[2.0], layout=None)
        assert str(e.value) == "Unsupported image layout: ambiguous"
        assert len(resizes) == 1 and swaps == []                   # no swap: the layout is not "HWC"


class TestCallersArraysStayPut:
    """Normalisation works in place on the working array, never on the caller's data."""

    @pytest.mark.parametrize("shape, kwargs", [
        ((4, 5, 3), {"mean": (1, 2, 3), "std": 2.0, "swap_rb": False}),
        ((4, 5, 3), {"std": 4.0, "swap_rb": False}),
        ((3, 4, 3), {"mean": (1, 2, 3), "layout": "CHW"}),          # applied along the width, as broadcasting says
        ((4, 5, 3), {"mean": 1.0, "std": 2.0, "size": 9, "swap_rb": False}),
        ((4, 5, 3), {"mean": 1.0, "std": "fails", "swap_rb": False}),
    ])
    def test_image_to_batch(self, monkeypatch, shape, kwargs):
        monkeypatch.setattr(axisform, "resize", lambda image, **kw: image)    # a resize that hands back its input
        x = picture(shape)
        before = host(x)
        try:
            out = host(image_to_batch(x, **kwargs))[0]
        except ValueError:
            assert kwargs["std"] == "fails"
        else:
            swapped = kwargs.get("swap_rb", True) and kwargs.get("layout", "HWC") == "HWC"
            work = before[:, :, ::-1] if swapped else before
            mean = np.float32(kwargs.get("mean", 0))
            expected = (work - mean) / np.float32(kwargs.get("std", 1))
            np.testing.assert_allclose(out, expected if kwargs.get("layout") == "CHW" else expected.transpose(2, 0, 1),
                                       rtol=1e-6)
        assert np.array_equal(host(x), before)

    @pytest.mark.parametrize("kwargs", [{"std": 2.0, "swap_rb": False}, {"mean": (1, 2, 3), "swap_rb": False},
                                        {"std": 2.0, "mean": 1.0}])
    def test_batch_to_images(self, kwargs):
        batch = picture((2, 3, 4, 5))
        before = host(batch)
        images = batch_to_images(batch, **kwargs)
        assert np.array_equal(host(batch), before) and not any(shares(i, batch) for i in images)

    def test_without_normalisation_results_are_views(self):
        batch = picture((2, 3, 4, 5))
        images = batch_to_images(batch, swap_rb=False)
        assert all(shares(i, batch) for i in images)
        np.testing.assert_array_equal(host(images[1]), host(batch)[1].transpose(1, 2, 0))


class TestImagesToBatch:
    def test_a_list_is_packed_image_by_image(self):
        a, b = picture((4, 5, 3), seed=1), picture((4, 5, 3), seed=2)
        for images in ([a, b], type("Images", (list,), {})([a, b])):
            out = images_to_batch(images, mean=0.5)
            assert out.shape == (2, 3, 4, 5)
            np.testing.assert_array_equal(host(out[1]), host(image_to_batch(b, mean=0.5))[0])

    def test_options_go_by_keyword_to_the_module_global(self, monkeypatch):
        calls = []
        monkeypatch.setattr(axisform, "image_to_batch", lambda image, **kw: calls.append((image, kw)) or cp.zeros((1, 1)))
        a = picture((2, 2, 3))
        assert images_to_batch([a, a], 5, 0.5, 0.1, False, "HW").shape == (2, 1)
        assert images_to_batch(a).shape == (1, 1)
        options = {"std": 0.5, "size": 5, "mean": 0.1, "swap_rb": False, "layout": "HW"}
        assert [list(kw.items()) for _, kw in calls[:2]] == [list(options.items())] * 2
        assert calls[2] == (a, {"std": None, "size": None, "mean": None, "swap_rb": True, "layout": "HWC"})

    @pytest.mark.parametrize("images, error", [
        ([], ValueError),                                        # nothing to concatenate
        ((picture((4, 5, 3)),), AttributeError),                 # a tuple is one object, without dtype
        (picture((2, 4, 5, 3)), ValueError),                     # one 4-D "image": the transpose takes three axes
    ])
    def test_what_fails(self, images, error):
        with pytest.raises(error):
            images_to_batch(images)


class TestBatchToImages:
    def test_defaults_swap_the_channels(self):
        batch = picture((2, 3, 4, 5))
        images = batch_to_images(batch)
        assert isinstance(images, list) and [i.shape for i in images] == [(4, 5, 3)] * 2
        np.testing.assert_array_equal(host(images[1]), host(batch)[1, ::-1].transpose(1, 2, 0))

    def test_denormalisation_after_the_swap(self):
        batch = picture((2, 3, 4, 5), np.float16)
        images = batch_to_images(batch, std=(2, 3, 4), mean=[1])
        bgr = host(batch)[:, ::-1].transpose(0, 2, 3, 1)
        for image, expected in zip(images, bgr):
            assert image.dtype == np.float16
            np.testing.assert_allclose(host(image), expected * np.float16([2, 3, 4]) + np.float16(1), rtol=1e-3)

    @pytest.mark.parametrize("shape, layout", [((2, 6, 7, 3), "NHWC"), ((2, 6, 7, 3), None), ((2, 3, 6, 7), "NHWC")])
    def test_the_layout_argument_is_a_hint(self, shape, layout):
        batch = picture(shape)
        images = batch_to_images(batch, swap_rb=False, layout=layout)
        planar = host(batch) if shape[1] == 3 else host(batch).transpose(0, 3, 1, 2)
        np.testing.assert_array_equal(np.stack([host(i) for i in images]), planar.transpose(0, 2, 3, 1))

    def test_a_list_of_planar_images(self):
        planes = [picture((3, 4, 5), seed=s) for s in (1, 2)]
        images = batch_to_images(planes, swap_rb=False)
        np.testing.assert_array_equal(host(images[0]), host(planes[0]).transpose(1, 2, 0))
        with pytest.raises(AttributeError):
            batch_to_images(planes, layout="NHWC")

    def test_an_undecidable_batch(self):
        with pytest.raises(ValueError) as e:
            batch_to_images(picture((2, 3, 3, 3)), layout="NHWC")
        assert str(e.value) == "Unsupported image layout: ambiguous"

class TestTracebacks:
    def test_each_failing_step_has_its_own_line(self):
        def line(fn, *args, **kwargs):
            with pytest.raises(Exception) as info:
                fn(*args, **kwargs)
            tb = entry(info.value, f"zemvara.utils.axisform.{fn.__name__}")
            assert tb.tb_frame.f_code.co_filename == SOURCE and tb.tb_frame.f_globals is vars(axisform)
            return tb.tb_lineno

        image_lines = {line(image_to_batch, picture((3, 3, 3)), layout=None),
                       line(image_to_batch, picture((4, 4, 3)), mean=(1, 2)),
                       line(image_to_batch, picture((4, 4, 3)), std=(1, 2)),
                       line(image_to_batch, picture((4, 4))), line(image_to_batch, [1, 2])}
        batch_lines = {line(batch_to_images, picture((2, 3, 3, 3)), layout=None),
                       line(batch_to_images, picture((2, 3, 4, 5)), std=(1, 2)),
                       line(batch_to_images, [[1]])}
        assert len(image_lines) == 5 and min(image_lines) > 105
        assert len(batch_lines) == 3 and 48 < min(batch_lines) and max(batch_lines) < 91
        assert 12 < line(guess_image_layout, [1]) < 48
