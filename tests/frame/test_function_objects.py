"""Function objects: attributes, setters and their messages, defaults, pickling, introspection, methods."""

import inspect
import pickle
import pydoc
import types

import pytest

import zemvara.transform.subsample as sub

DOC = ("Perform interleaved subsampling of an image without for loops.\n\n    Args:\n"
       "        image: Input image (cp.ndarray) with shape (height, width) or (height, width, channels).\n"
       "        dim: Block size for subsampling.\n\n    Returns:\n"
       "        List of interleaved subsampled images.\n    ")


class TestAttributes:
    def test_subsample_image(self):
        f = sub.subsample_image
        assert (f.__name__, f.__qualname__, f.__module__) == (
            "subsample_image", "subsample_image", "zemvara.transform.subsample")
        assert f.__doc__ == DOC
        assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
        assert f.__annotations__ == {"image": "cp.ndarray", "dim": "int", "return": "list[cp.ndarray]"}
        assert f.__globals__ is vars(sub)
        assert f.__dict__ == {}
        code = f.__code__
        assert isinstance(code, types.CodeType)
        assert (code.co_argcount, code.co_name, code.co_filename, code.co_firstlineno) == (
            2, "subsample_image", "src/zemvara_source/transform/subsample", 4)
        assert code.co_varnames[:3] == ("image", "dim", "height") and code.co_nlocals == len(code.co_varnames)

    def test_subsample_image_back(self):
        f = sub.subsample_image_back
        assert f.__annotations__ == {"subsampled_images": "cp.ndarray | list[cp.ndarray]", "dim": "int",
                                     "return": "cp.ndarray"}
        assert f.__code__.co_varnames[:3] == ("subsampled_images", "dim", "first")
        assert f.__code__.co_firstlineno == 85
        assert f.__doc__.startswith("Ultra-optimized reconstruction using single-pass kernel.\n\n    Args:\n")

    def test_defaults_in_parameter_order(self, probe):
        assert probe.echo.__defaults__ == ("fp32", None, None)
        assert probe.echo.__annotations__ == {"src": "bytes", "dtype": "str", "count": "Optional[int]",
                                              "return": "bytes"}

    def test_repr_and_type(self):
        assert repr(sub.subsample_image) == "<function zemvara.transform.subsample.subsample_image>"
        assert type(sub.subsample_image) is type(sub.subsample_image_back)


class TestIntrospection:
    def test_signature(self, probe):
        assert str(inspect.signature(sub.subsample_image)) == "(image: 'cp.ndarray', dim: 'int') -> 'list[cp.ndarray]'"
        assert str(inspect.signature(probe.echo)) == (
            "(src: 'bytes', dtype: 'str' = 'fp32', count: 'Optional[int]' = None, out=None) -> 'bytes'")

    def test_help_shows_signature_and_docstring(self):
        text = pydoc.plain(pydoc.render_doc(sub.subsample_image))
        assert "subsample_image(image: 'cp.ndarray', dim: 'int') -> 'list[cp.ndarray]'" in text
        assert "Perform interleaved subsampling of an image without for loops." in text
        assert "dim: Block size for subsampling." in text

    def test_pickled_by_reference(self, probe):
        assert sub.subsample_image.__reduce__() == "subsample_image"
        for f in (sub.subsample_image, sub.subsample_image_back, probe.Counter.bump):
            assert pickle.loads(pickle.dumps(f)) is f


class TestSetters:
    @pytest.mark.parametrize("attr, value, message", [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", "x", "__annotations__ must be set to a dict object"),
        ("__dict__", [], "setting function's dictionary to a non-dict"),
    ])
    def test_wrong_types_are_refused(self, probe, attr, value, message):
        with pytest.raises(TypeError) as e:
            setattr(probe.unpack3, attr, value)
        assert str(e.value) == message

    def test_deleting(self, probe):
        f = probe.unpack3
        with pytest.raises(TypeError, match="^function's dictionary may not be deleted$"):
            del f.__dict__
        with pytest.raises(TypeError, match="^__name__ must be set to a string object$"):
            del f.__name__
        saved = f.__annotations__
        del f.__annotations__
        assert f.__annotations__ == {}
        f.__annotations__ = saved

    def test_names_doc_module_dict_and_attributes_can_be_set(self, probe):
        f = probe.unpack3
        saved = f.__name__, f.__qualname__, f.__module__, f.__doc__
        try:
            f.__name__, f.__qualname__, f.__module__, f.__doc__ = "n", "q", "m", "d"
            assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("n", "q", "m", "d")
            f.tag = 1
            assert f.__dict__ == {"tag": 1}
            f.__dict__ = {"other": 2}
            assert f.other == 2 and not hasattr(f, "tag")
            with pytest.raises(TypeError, match=r"^unpack3\(\) takes"):   # messages keep the real name
                f()
        finally:
            f.__name__, f.__qualname__, f.__module__, f.__doc__ = saved
            f.__dict__ = {}

    def test_new_defaults_are_reported_back_but_calls_keep_the_initial_ones(self, probe):
        f = probe.call
        with pytest.warns(RuntimeWarning, match="__defaults__ of call"):
            f.__defaults__ = (5,)
        with pytest.warns(RuntimeWarning, match="__kwdefaults__ of call"):
            f.__kwdefaults__ = {"arg": 6}
        try:
            assert f.__defaults__ == (5,) and f.__kwdefaults__ == {"arg": 6}
            assert f(str) == ""           # the initial default None: fn() was called
        finally:
            with pytest.warns(RuntimeWarning):
                f.__defaults__ = (None,)
            with pytest.warns(RuntimeWarning):
                f.__kwdefaults__ = None

    def test_code_globals_and_closure_are_read_only(self):
        for attr in ("__code__", "__globals__", "__closure__"):
            with pytest.raises(AttributeError):
                setattr(sub.subsample_image, attr, None)


class TestMethods:
    def test_a_method_binds_to_its_instance(self, probe):
        counter = probe.Counter(start=10)
        bound = counter.bump
        assert isinstance(bound, types.MethodType) and bound.__self__ is counter
        assert bound(by=5) == 15 and probe.Counter.bump(counter) == 16
        assert probe.Counter.__dict__["bump"] is probe.Counter.bump
        assert str(inspect.signature(bound)) == "(by: 'int' = 1) -> 'int'"

    def test_names(self, probe):
        bump = probe.Counter.bump
        assert (bump.__name__, bump.__qualname__, bump.__module__) == ("bump", "Counter.bump", "zvprobe.sub.probe")
        assert bump.__code__.co_varnames[0] == "self"
        assert probe.Counter.__qualname__ == "Counter" and probe.Counter.__module__ == "zvprobe.sub.probe"
        assert probe.Counter.__doc__ == "Counts." and bump.__doc__ == "Add by to value."

    def test_binding_messages_count_self(self, probe):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 2 positional arguments \(3 given\)$"):
            probe.Counter(1, 2)
        with pytest.raises(TypeError, match=r"^Argument 'start' has incorrect type \(expected int, got str\)$"):
            probe.Counter("1")


class TestDefaultsFromTheModule:
    def test_a_global_default_is_its_value_at_the_def(self, probe):
        assert probe.pick.__defaults__ == (41, False) and probe.pick() == 41

    def test_a_global_default_of_another_type_fails_the_import(self, run_python):
        out = run_python("""
            import traceback
            try:
                import zvprobe.sub.probe
            except TypeError as e:
                print(e)
                print([(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)][-1])
        """, env={"ZVPROBE_BAD_DEFAULT": "1"}).stdout.splitlines()
        assert out == ["Expected int, got str", str(("init zvprobe.sub.probe", 34))]


def test_a_builtin_the_module_does_not_list_is_looked_up(probe):
    with pytest.raises(LookupError, match="^7$"):
        probe.pick(7, True)
