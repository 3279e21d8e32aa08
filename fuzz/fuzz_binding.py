"""Fuzz target: argument binding of every public function and method.

Random mixes of positional and keyword arguments (names real and made up),
wrong types, subclasses of built-ins and of cp.ndarray that lie or change their
answers, huge and negative integers. Every call must return or refuse clearly.
"""

import sys

import common
from common import NATIVE_MODULES, Values, call, cp

from zemvara.upscale.enginezoom import EngineZoom


def public_callables(name):
    """The functions and classes a module defines itself (not those it imports)."""
    module = sys.modules[name]
    return [v for k, v in sorted(vars(module).items())
            if not k.startswith("_") and callable(v) and getattr(v, "__module__", None) == name]


# Every public callable of every extension module (modules.cmake) and of resize.
FUNCTIONS = [f for name in NATIVE_MODULES + ["zemvara.transform.resize"] for f in public_callables(name)]
METHODS = ["initialize", "pre_process", "post_process", "get"]


def parameters(f):
    code = (f.__init__ if isinstance(f, type) else f).__code__
    names = code.co_varnames[:code.co_argcount]
    return names[1:] if isinstance(f, type) else names


def an_engine():
    from tensorrt import engines
    return EngineZoom(model_bytes=engines.engine((1, 3, -1, -1), factor=2))


def TestOneInput(data):
    v = Values(data)
    if v.below(8) == 0 and common.ON_HOST:
        f = getattr(call(an_engine) or an_engine(), v.pick(METHODS))
        names = parameters(f)[1:]
    else:
        f = v.pick(FUNCTIONS)
        names = parameters(f)
    positional = [v.value() for _ in range(v.small(len(names) + 1))]
    keywords = {}
    for _ in range(v.small(3)):
        name = v.pick(list(names) + ["bogus", "self"]) if names else "bogus"
        keywords[name] = v.value()
    call(f, *positional, **keywords)
    cp.cuda.Stream.null.synchronize()


def seeds():
    return [bytes((i * 7 + k) % 256 for k in range(64)) for i in range(16)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
