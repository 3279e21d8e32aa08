"""Calling module functions: argument binding and its messages, exact-type checks, typed results, unpacking, recursion."""

import re
import sys

import numpy as np
import pytest

import zemvara.transform.subsample as sub

X = np.zeros((2, 2), np.float32)
NOTE = ". Note that"


def vectorcall(f, *args, **kwargs):
    return f(*args, **kwargs)


def tp_call(f, *args, **kwargs):
    return type(f).__call__(f, *args, **kwargs)


@pytest.fixture(params=[vectorcall, tp_call], ids=["vectorcall", "tp_call"])
def invoke(request):
    return request.param


class TestBinding:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "subsample_image() takes exactly 2 positional arguments (0 given)"),
        ((X,), {}, "subsample_image() takes exactly 2 positional arguments (1 given)"),
        ((X, 1, 2), {}, "subsample_image() takes exactly 2 positional arguments (3 given)"),
        ((X, 1, 2), {"dim": 1}, "subsample_image() takes exactly 2 positional arguments (3 given)"),
        ((X,), {"image": X}, "subsample_image() got multiple values for keyword argument 'image'"),
        ((X, 1), {"size": 1}, "subsample_image() got an unexpected keyword argument 'size'"),
        ((), {"dim": 1}, "subsample_image() takes exactly 2 positional arguments (0 given)"),
        ((), {"image": X}, "subsample_image() takes exactly 2 positional arguments (1 given)"),
    ])
    def test_messages_of_a_function_without_defaults(self, invoke, args, kwargs, message):
        with pytest.raises(TypeError) as e:
            invoke(sub.subsample_image, *args, **kwargs)
        assert str(e.value) == message

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "echo() takes at least 1 positional argument (0 given)"),
        ((), {"dtype": "fp16"}, "echo() takes at least 1 positional argument (0 given)"),
        ((b"", "a", 1, None, 5), {}, "echo() takes at most 4 positional arguments (5 given)"),
        ((b"",), {"src": b""}, "echo() got multiple values for keyword argument 'src'"),
    ])
    def test_messages_of_a_function_with_defaults(self, probe, invoke, args, kwargs, message):
        with pytest.raises(TypeError) as e:
            invoke(probe.echo, *args, **kwargs)
        assert str(e.value) == message

    def test_keywords_bind_by_name_in_any_order_and_defaults_fill_the_rest(self, probe, invoke):
        assert invoke(probe.echo, out=b"o", src=b"s") == b"o"
        assert invoke(probe.echo, b"s", count=None) == b"s"
        assert invoke(probe.call, str) == "" and invoke(probe.call, fn=str, arg=5) == "5"

    def test_a_str_subclass_keyword_with_equal_text_matches(self, invoke):
        class Key(str):
            pass
        result = invoke(sub.subsample_image, **{Key("image"): X, Key("dim"): 1})
        assert len(result) == 1

    def test_keywords_must_be_strings(self, invoke):
        # the interpreter validates a ** dictionary before either protocol sees it
        with pytest.raises(TypeError, match="keywords must be strings"):
            invoke(sub.subsample_image, X, **{1: 2})

    def test_both_protocols_give_the_same_results(self):
        image = np.arange(16.0).reshape(4, 4)
        a, b = sub.subsample_image(image, 2), tp_call(sub.subsample_image, image, dim=2)
        assert all((p == q).all() for p, q in zip(a, b))


class TestTypeChecks:
    @pytest.mark.parametrize("dim, got, note", [
        (True, "bool", True), (2.0, "float", False), (None, "NoneType", False),
        (np.int64(2), "int64", False), ("2", "str", False),
    ])
    def test_an_int_parameter_takes_exactly_int(self, invoke, dim, got, note):
        with pytest.raises(TypeError) as e:
            invoke(sub.subsample_image, X, dim)
        head = f"Argument 'dim' has incorrect type (expected int, got {got})"
        if note:
            assert str(e.value).startswith(head + NOTE) and "stricter than PEP 484" in str(e.value)
        else:
            assert str(e.value) == head

    def test_bytes_str_and_optional_parameters(self, probe):
        class Blob(bytes):
            pass
        with pytest.raises(TypeError) as e:
            probe.echo(bytearray(b"x"))
        assert str(e.value) == "Argument 'src' has incorrect type (expected bytes, got bytearray)"
        with pytest.raises(TypeError, match=r"^Argument 'src' has incorrect type \(expected bytes, got Blob\)\. "):
            probe.echo(Blob(b"x"))
        with pytest.raises(TypeError, match=r"^Argument 'dtype' has incorrect type \(expected str, got NoneType\)$"):
            probe.echo(b"x", None)
        assert probe.echo(b"x", "fp16", None) == b"x"          # Optional[int] lets None through
        with pytest.raises(TypeError, match=r"expected int, got bool\)\. Note"):
            probe.echo(b"x", "fp16", False)

    def test_parameters_are_checked_in_order_before_the_body(self, probe):
        with pytest.raises(TypeError, match="'src'"):
            probe.echo(1, 2, 3)

    def test_typed_results(self, probe):
        with pytest.raises(TypeError) as e:
            probe.echo(b"x", out=bytearray(b"y"))
        assert str(e.value) == "Expected bytes, got bytearray"
        counter = probe.Counter(1)
        assert counter.bump() == 2
        counter.value = 0.5
        with pytest.raises(TypeError, match="^Expected int, got float$"):
            counter.bump()


class FakeImage:
    def __init__(self, ndim, shape):
        self.ndim, self.shape = ndim, shape


class TestUnpacking:
    @pytest.mark.parametrize("seq, message", [
        ((1, 2), "need more than 2 values to unpack"),
        ([1], "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        ((1, 2, 3, 4), "too many values to unpack (expected 3)"),
        (iter([1]), "need more than 1 value to unpack"),
        (iter(range(9)), "too many values to unpack (expected 3)"),
    ])
    def test_messages(self, probe, seq, message):
        with pytest.raises(ValueError) as e:
            probe.unpack3(seq)
        assert str(e.value) == message

    def test_any_iterable_of_the_right_length(self, probe):
        assert probe.unpack3(iter("abc")) == ("a", "b", "c")
        assert probe.unpack3([1, 2, 3]) == (1, 2, 3)

    def test_an_image_shape_of_the_wrong_length(self):
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            sub.subsample_image(FakeImage(2, (1, 2, 3)), 1)
        with pytest.raises(ValueError, match="^need more than 2 values to unpack$"):
            sub.subsample_image(FakeImage(3, (4, 4)), 1)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="3.12 counts C recursion apart from the recursion limit")
def test_recursion_while_calling_a_native_callable(probe):
    old = sys.getrecursionlimit()
    error = None
    try:
        for limit in range(5, old):
            try:
                sys.setrecursionlimit(limit)    # fails until the limit exceeds the current depth
            except RecursionError:
                continue
            try:
                probe.call(probe.call, int)     # two nested guarded calls, one level left
            except RecursionError as e:
                error = e
            break
    finally:
        sys.setrecursionlimit(old)
    assert str(error) == "maximum recursion depth exceeded while calling a Python object"


class Manager:
    """A context manager that records __exit__ and answers with `result` (or raises `raises`)."""

    def __init__(self, result=False, raises=None):
        self.result, self.raises, self.exits = result, raises, []

    def __enter__(self):
        return "token"

    def __exit__(self, *info):
        self.exits.append(info[0])
        if self.raises:
            raise self.raises
        return self.result


class TestWith:
    def test_normal_exit(self, probe):
        m = Manager()
        assert probe.guarded(m) == ("token", False) and m.exits == [None]

    @pytest.mark.parametrize("fail, error, message", [
        (True, ValueError, "token"),
        ("c++", RuntimeError, "a C++ exception"),  # translated as at the function boundary
    ])
    def test_an_error_reaches_exit_and_passes_unless_suppressed(self, probe, fail, error, message):
        m = Manager()
        with pytest.raises(error, match=f"^{re.escape(message)}$"):
            probe.guarded(m, fail)
        assert m.exits == [error]
        suppressing = Manager(result=1)
        assert probe.guarded(suppressing, fail) == ("token", True) and suppressing.exits == [error]

    def test_an_error_in_exit_replaces_the_pending_one(self, probe):
        with pytest.raises(KeyError) as info:
            probe.guarded(Manager(raises=KeyError("exit")), True)
        assert isinstance(info.value.__context__, ValueError)

    def test_the_pending_error_re_raised_by_exit_is_not_its_own_context(self, probe):
        class Reraising(Manager):
            def __exit__(self, type, value, tb):
                raise value

        with pytest.raises(ValueError) as info:
            probe.guarded(Reraising(), True)
        assert info.value.__context__ is None
