"""Random numbers on the device, drawn on the host."""

import numpy

from ._core import _from_host

_generator = numpy.random.default_rng()


def seed(seed=None):
    global _generator
    _generator = numpy.random.default_rng(seed)


def rand(*size, dtype=float):
    return random_sample(size, dtype)


def random_sample(size=None, dtype=float):
    return _from_host(_generator.random(size).astype(dtype, copy=False))


random = random_sample


def randint(low, high=None, size=None, dtype=int):
    if high is None:
        low, high = 0, low
    return _from_host(numpy.asarray(
        _generator.integers(low, high, size=size, dtype=dtype)))
