"""The training and evaluation transforms of a batch: one warp launch, or a resize and a centre crop.

A transform has two halves. `params(height, width, rng)` runs on the host
for one decoded image, drawing whatever is random from `rng`, a generator
that belongs to that sample alone (so the draws do not depend on which
thread decoded which file). `apply(images, params, out)` runs on the device
for a whole batch: `images` is a list of (H, W, C) uint8 arrays of any sizes,
`out`, where given, an (N, height, width, C) uint8 array that it fills; it
returns the batch, out or an array of its own.

A transform may also say how far its source may be reduced before it runs:
`reduction(params, height, width)` is the factor by which it shrinks an
image of that size along both axes, and `reduced(params, scale)` the parameters for the same image
decoded at 1/scale of its size (pixel blocks of scale x scale averaged, as
a JPEG decoder's reduced decoding does).
"""

import functools
import math
import pathlib
from typing import NamedTuple

import cupy as cp
import numpy as np

from ..transform import warp
from ..transform.resize import resize
from ..transform.schema import INTER_CUBIC


def _size_pair(who, size):
    """(height, width) from an int or a pair, as the transforms take their output size."""
    pair = (size, size) if isinstance(size, int) else tuple(size)
    if len(pair) != 2 or not all(isinstance(v, int) and v > 0 for v in pair):
        raise ValueError(f"{who}: size must be a positive int or (height, width), not {size!r}")
    return pair


def _range(who, name, value, limit):
    """(low, high) in degrees from one number d (-d, d) or a pair, each below `limit` in size."""
    pair = (-value, value) if isinstance(value, (int, float)) else tuple(value)
    if len(pair) != 2 or not pair[0] <= pair[1] or not all(abs(v) < limit for v in pair):
        raise ValueError(f"{who}: {name} must be a number of degrees or (low, high) within "
                         f"(-{limit}, {limit}), not {value!r}")
    return float(pair[0]), float(pair[1])


class Crop(NamedTuple):
    """The parameters of a crop that is neither turned nor sheared: its box, whether it is mirrored, its matrix."""

    top: int
    left: int
    height: int
    width: int
    mirrored: bool
    matrix: np.ndarray  # the forward 2 x 3 map of the part to the output, as a turned crop's params


def _batch(images, out, size):
    """out, or a new (N, height, width, 3) uint8 array for the images."""
    return cp.empty((len(images), *size, 3), cp.uint8) if out is None else out


def _together(results, out):
    """The same-shaped results as one (N, ...) array, copied into out where it is given.

    A list call leaves its results one after another in one buffer; the
    view over them is then the batch itself, with no copy.
    """
    first = results[0]
    end_to_end = all(r.flags.c_contiguous and r.shape == first.shape and r.dtype == first.dtype and
                     r.data.ptr == first.data.ptr + k * first.nbytes for k, r in enumerate(results))
    batch = (cp.ndarray((len(results), *first.shape), first.dtype, memptr=first.data) if end_to_end
             else cp.stack(results))
    if out is None:
        return batch
    out[...] = batch
    return out


class RandomResizedCrop:
    """A random part of each image stretched to `size`, mirrored, and turned and sheared where asked.

    Each image is mirrored left to right with probability `flip`, then
    turned and sheared along x about the output's centre.

    The part covers a share of the image's area drawn uniformly from `scale`,
    with a width to height ratio drawn log-uniformly from `ratio`; up to ten
    draws are tried for one that fits in the image, then the largest centred
    part within `ratio` is taken. The angle (counter-clockwise) and the shear
    angle are drawn uniformly in degrees from `degrees` and `shear`, one
    number d meaning (-d, d). The filter widens on reduction (antialiased).

    A part that is neither turned nor sheared is cut out and resized, as
    torchvision cuts and resizes it (its edges repeat at the filter's
    reach), the mirrored ones read right to left: one list resize for the
    batch, two passes. Crop, stretch, mirror, turn and shear otherwise form
    one affine matrix per image, applied to the batch by one warp launch
    (the part's neighbours then lie under the filter's reach at its edges).
    """

    def __init__(self, size=224, scale=(0.08, 1.0), ratio=(3 / 4, 4 / 3), flip=0.5, degrees=0, shear=0,
                 interpolation=INTER_CUBIC):
        """size: an int or (height, width); scale, ratio: (low, high); flip: a probability; degrees, shear: above."""
        self.size = _size_pair("RandomResizedCrop", size)
        if not 0 < scale[0] <= scale[1]:
            raise ValueError(f"RandomResizedCrop: scale must be (low, high) with 0 < low <= high, not {scale!r}")
        if not 0 < ratio[0] <= ratio[1]:
            raise ValueError(f"RandomResizedCrop: ratio must be (low, high) with 0 < low <= high, not {ratio!r}")
        if not 0 <= flip <= 1:
            raise ValueError(f"RandomResizedCrop: flip is a probability, not {flip!r}")
        self.scale, self.ratio, self.flip = tuple(scale), tuple(ratio), flip
        self.degrees = _range("RandomResizedCrop", "degrees", degrees, 360)
        self.shear = _range("RandomResizedCrop", "shear", shear, 90)
        self.interpolation = interpolation

    def crop(self, height, width, rng):
        """(top, left, crop height, crop width) of one image, drawn from rng."""
        area = height * width
        log_low, log_high = math.log(self.ratio[0]), math.log(self.ratio[1])
        for _ in range(10):
            target = area * rng.uniform(self.scale[0], self.scale[1])
            aspect = math.exp(rng.uniform(log_low, log_high))
            w = int(round(math.sqrt(target * aspect)))
            h = int(round(math.sqrt(target / aspect)))
            if 0 < w <= width and 0 < h <= height:
                top = int(rng.integers(0, height - h + 1))
                left = int(rng.integers(0, width - w + 1))
                return top, left, h, w
        ratio = width / height
        if ratio < min(self.ratio):
            w, h = width, int(round(width / min(self.ratio)))
        elif ratio > max(self.ratio):
            h, w = height, int(round(height * max(self.ratio)))
        else:
            h, w = height, width
        return (height - h) // 2, (width - w) // 2, h, w

    def params(self, height, width, rng):
        """The drawn part: a Crop where it is neither turned nor sheared, else the forward 2 x 3 matrix (float64)
        that takes it to the output."""
        top, left, h, w = self.crop(height, width, rng)
        mirrored = rng.random() < self.flip
        out_h, out_w = self.size
        sx, sy = out_w / w, out_h / h
        # Pixel centres at integer positions: the part's outer edges, left - 0.5
        # and left + w - 0.5, go to the output's, -0.5 and out_w - 0.5.
        tx, ty = (0.5 - left) * sx - 0.5, (0.5 - top) * sy - 0.5
        if mirrored:
            sx, tx = -sx, out_w - 1 - tx
        M = np.array([[sx, 0.0, tx], [0.0, sy, ty], [0.0, 0.0, 1.0]])
        if self.degrees != (0.0, 0.0) or self.shear != (0.0, 0.0):
            angle = math.radians(rng.uniform(*self.degrees))
            shear = math.tan(math.radians(rng.uniform(*self.shear)))
            cx, cy = (out_w - 1) / 2, (out_h - 1) / 2
            # About the centre: move it to the origin, shear along x, turn (y points down), move back.
            cos, sin = math.cos(angle), math.sin(angle)
            turn = np.array([[cos, sin, 0.0], [-sin, cos, 0.0], [0.0, 0.0, 1.0]])
            sheared = np.array([[1.0, shear, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
            to_origin = np.array([[1.0, 0.0, -cx], [0.0, 1.0, -cy], [0.0, 0.0, 1.0]])
            back = np.array([[1.0, 0.0, cx], [0.0, 1.0, cy], [0.0, 0.0, 1.0]])
            return (back @ turn @ sheared @ to_origin @ M)[:2]
        return Crop(top, left, h, w, mirrored, M[:2])

    @staticmethod
    def _matrix(params):
        return params.matrix if isinstance(params, Crop) else np.asarray(params)

    def reduction(self, params, height, width):
        """The smallest factor by which the matrix shrinks the image along any direction (1 / its largest scale)."""
        largest = np.linalg.svd(self._matrix(params)[:, :2], compute_uv=False)[0]
        return 1.0 / largest if largest > 0 else math.inf

    def reduced(self, params, scale):
        """The matrix for the image decoded at 1/scale: each reduced pixel the mean of a scale x scale block.

        The reduced part's box is no longer whole pixels: it is warped.
        """
        # Reduced pixel j covers source pixels j * scale ... (j + 1) * scale - 1, centre j * scale + (scale - 1) / 2.
        block = np.array([[scale, 0.0, (scale - 1) / 2], [0.0, scale, (scale - 1) / 2], [0.0, 0.0, 1.0]])
        return self._matrix(params) @ block

    @staticmethod
    def part(image, crop):
        """The view of image that a Crop resizes: its box, read right to left where mirrored."""
        view = image[crop.top:crop.top + crop.height, crop.left:crop.left + crop.width]
        return view[:, ::-1] if crop.mirrored else view

    def apply(self, images, params, out=None):
        """The parts resized (one list call) and the matrices warped (one launch); the batch."""
        out_h, out_w = self.size
        crops = [k for k, p in enumerate(params) if isinstance(p, Crop)]
        if len(crops) == len(params) and params:
            parts = [self.part(image, p) for image, p in zip(images, params)]
            return _together(resize(parts, [(out_w, out_h)] * len(parts), self.interpolation), out)
        out = _batch(images, out, self.size)
        warped = [k for k, p in enumerate(params) if not isinstance(p, Crop)]
        if warped:
            warp.warp_affine([images[k] for k in warped], np.stack([params[k] for k in warped]), (out_w, out_h),
                             self.interpolation, warp.BORDER_REPLICATE, dst=[out[k] for k in warped])
        if crops:
            parts = [self.part(images[k], params[k]) for k in crops]
            out[cp.asarray(crops)] = cp.stack(resize(parts, [(out_w, out_h)] * len(parts), self.interpolation))
        return out


class ResizeCenterCrop:
    """Each image resized so that its shorter side is `resize_size`, then its centre cut to `size`.

    resize_size defaults to size / 0.875 rounded (256 for 224). Nothing is random.
    """

    def __init__(self, size=224, resize_size=None, interpolation=INTER_CUBIC):
        """size: an int or (height, width); resize_size: the shorter side after the resize."""
        self.size = _size_pair("ResizeCenterCrop", size)
        if resize_size is None:
            resize_size = int(round(max(self.size) / 0.875))
        if not isinstance(resize_size, int) or resize_size < max(self.size):
            raise ValueError(f"ResizeCenterCrop: resize_size must be an int of at least {max(self.size)}, "
                             f"not {resize_size!r}")
        self.resize_size = resize_size
        self.interpolation = interpolation

    def resized(self, height, width):
        """(width, height) of an image after the resize of its shorter side."""
        short, long = (width, height) if width <= height else (height, width)
        new_long = int(self.resize_size * long / short)
        return (self.resize_size, new_long) if width <= height else (new_long, self.resize_size)

    def params(self, height, width, rng):
        """(width, height) after the resize; rng is not used."""
        return self.resized(height, width)

    def reduction(self, params, height, width):
        """The factor by which the resize shrinks the image (the smaller of the two axes')."""
        return min(width / params[0], height / params[1])

    def reduced(self, params, scale):
        """params unchanged: the reduced image is resized to the size the full one gives."""
        return params

    def apply(self, images, params, out=None):
        """Resize every image (one list call) and cut out its centre; the batch."""
        out_h, out_w = self.size
        centres = []
        for k, image in enumerate(resize(images, list(params), self.interpolation)):
            w, h = params[k]
            top, left = int(round((h - out_h) / 2.0)), int(round((w - out_w) / 2.0))
            centres.append(image[top:top + out_h, left:left + out_w])
        return _together(centres, out) if centres else _batch(images, out, self.size)


def _factor_range(name, value):
    """(low, high) of a jitter factor: (max(0, 1 - v), 1 + v) for one number v >= 0, or a pair 0 <= low <= high."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if value < 0:
            raise ValueError(f"ColorJitter: {name} must be >= 0 or (low, high), not {value!r}")
        return max(0.0, 1.0 - value), 1.0 + value
    pair = tuple(value)
    if len(pair) != 2 or not 0 <= pair[0] <= pair[1]:
        raise ValueError(f"ColorJitter: {name} must be >= 0 or (low, high) with 0 <= low <= high, not {value!r}")
    return float(pair[0]), float(pair[1])


@functools.lru_cache(maxsize=None)
def _jitter_kernel():
    source = (pathlib.Path(__file__).parent / "_jitter.cu").read_text()
    return cp.RawKernel(source, "zemvara_data_jitter")


# The jitter kernel's threads per block (JITTER_THREADS in _jitter.cu).
_JITTER_THREADS = 256


class ColorJitter:
    """Another transform's images with their brightness, contrast and saturation jittered, one launch per batch.

    Each image gets its own factors, each drawn uniformly from
    (max(0, 1 - v), 1 + v) for one number v or from a (low, high) pair, and
    its own order of the three operations (a random permutation), as
    torchvision's ColorJitter draws them (without hue). Brightness scales
    the pixel, saturation blends it with its grey (0.2989 R + 0.587 G +
    0.114 B), contrast blends it with the mean grey of the image as it
    stands before the contrast; each clamps to 0..255, values are kept in
    float between the operations and rounded to the nearest level at the
    end. A factor of 1 changes nothing; an operation left at 0 is not drawn.
    """

    def __init__(self, transform, brightness=0, contrast=0, saturation=0):
        """transform: the geometric transform (RandomResizedCrop, say); brightness, contrast, saturation: above."""
        self.transform = transform
        self.size = transform.size
        self.brightness = _factor_range("brightness", brightness)
        self.contrast = _factor_range("contrast", contrast)
        self.saturation = _factor_range("saturation", saturation)

    def params(self, height, width, rng):
        """(the wrapped transform's params, [brightness, contrast, saturation, order] as float32).

        order holds the operations' codes (0 brightness, 1 contrast,
        2 saturation) two bits each, the first in the low bits.
        """
        inner = self.transform.params(height, width, rng)
        order = rng.permutation(3)
        factors = [rng.uniform(*r) if r != (1.0, 1.0) else 1.0
                   for r in (self.brightness, self.contrast, self.saturation)]
        code = int(order[0]) | int(order[1]) << 2 | int(order[2]) << 4
        return inner, np.array(factors + [code], np.float32)

    def reduction(self, params, height, width):
        """The wrapped transform's reduction (1 for one that says none)."""
        reduction = getattr(self.transform, "reduction", None)
        return 1.0 if reduction is None else reduction(params[0], height, width)

    def reduced(self, params, scale):
        """The wrapped transform's params reduced; the colour factors unchanged."""
        return self.transform.reduced(params[0], scale), params[1]

    def apply(self, images, params, out=None):
        """The wrapped transform's batch, then the jitter of every image of it in place, in one launch."""
        if out is not None and (out.ndim != 4 or out.shape[3] != 3 or out.dtype != cp.uint8 or
                                not out.flags.c_contiguous):
            raise ValueError(f"ColorJitter: out must be a contiguous (N, H, W, 3) uint8 array, not {out.shape} "
                             f"{out.dtype}")
        out = self.transform.apply(images, [p[0] for p in params], out)
        if not len(params):
            return out
        if not out.flags.c_contiguous:
            out = cp.ascontiguousarray(out)
        table = cp.asarray(np.stack([p[1] for p in params]))
        _jitter_kernel()((len(params),), (_JITTER_THREADS,), (out, table, np.int64(out.shape[1] * out.shape[2])))
        return out
