"""Call overhead of the module frame: a native module function against Python and C builtins."""

import timeit

import numpy as np

from timing import table
from zemvara.transform.subsample import subsample_image


def python_subsample_image(image, dim):
    """The same steps as the native function, written in Python."""
    if type(dim) is not int:
        raise TypeError("dim")
    if image.ndim == 2:
        height, width = image.shape
        channels = None
    elif image.ndim == 3:
        height, width, channels = image.shape
    else:
        raise ValueError("Image must be 2D or 3D")
    if height % dim != 0 or width % dim != 0:
        raise ValueError("size")
    new_height = height // dim
    new_width = width // dim
    if channels is None:
        reshaped = image.reshape(new_height, dim, new_width, dim)
        transposed = reshaped.transpose(1, 3, 0, 2)
        flattened = transposed.reshape(dim * dim, new_height, new_width)
    else:
        reshaped = image.reshape(new_height, dim, new_width, dim, channels)
        transposed = reshaped.transpose(1, 3, 0, 2, 4)
        flattened = transposed.reshape(dim * dim, new_height, new_width, channels)
    return [flattened[i] for i in range(dim * dim)]


def per_call(stmt, env, number=200_000):
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=5)) / number * 1e9


def main():
    image = np.zeros((1, 1), dtype=np.float32)
    env = {
        "f": subsample_image, "p": python_subsample_image, "x": image, "t": (1, 2, 3),
        "isinstance": isinstance, "len": len,
    }
    native_pos = per_call("f(x, 1)", env)
    native_kw = per_call("f(image=x, dim=1)", env)
    python_pos = per_call("p(x, 1)", env)
    python_kw = per_call("p(image=x, dim=1)", env)
    builtin = per_call("isinstance(x, int)", env)
    length = per_call("len(t)", env)
    rows = [
        ["subsample_image(x, 1)", f"{native_pos:.0f}"],
        ["subsample_image(image=x, dim=1)", f"{native_kw:.0f}"],
        ["Python function, positional", f"{python_pos:.0f}"],
        ["Python function, by keyword", f"{python_kw:.0f}"],
        ["isinstance(x, int) (C builtin)", f"{builtin:.0f}"],
        ["len(t) (C builtin)", f"{length:.0f}"],
        ["keyword binding cost (kw - positional)", f"{native_kw - native_pos:.0f}"],
    ]
    table("Frame call overhead, 1x1 host array, dim=1", ["call", "ns per call"], rows)


if __name__ == "__main__":
    main()
