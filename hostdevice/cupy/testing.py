"""Array assertions that accept device and host arrays alike."""

import numpy.testing

from ._core import ndarray


def _host(x):
    return x.get() if isinstance(x, ndarray) else x


def assert_array_equal(x, y, err_msg='', verbose=True, strict=False):
    numpy.testing.assert_array_equal(_host(x), _host(y), err_msg=err_msg,
                                     verbose=verbose, strict=strict)


def assert_allclose(actual, desired, rtol=1e-7, atol=0, equal_nan=True,
                    err_msg='', verbose=True):
    numpy.testing.assert_allclose(_host(actual), _host(desired), rtol=rtol,
                                  atol=atol, equal_nan=equal_nan,
                                  err_msg=err_msg, verbose=verbose)
