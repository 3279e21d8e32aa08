"""The training and evaluation transforms of a batch: a list resize or one warp launch, or a resize and a centre crop.

A transform's `params(height, width, rng)` runs on the host for one decoded
image and draws whatever is random from `rng`, that sample's own generator;
its `apply(images, params, out=None)` runs on the device for a whole batch of
(H, W, C) uint8 images of any sizes and returns the (N, height, width, C)
uint8 batch, filling `out` where it is given. A transform may also say how far its source may be reduced
before it runs: `reduction(params, height, width)` and `reduced(params, scale)`.
"""

from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import cupy as cp
import numpy as np

from ..transform.schema import INTER_CUBIC as INTER_CUBIC

_Size = Union[int, Tuple[int, int]]

class Crop(NamedTuple):
    """The parameters of a crop that is neither turned nor sheared: its box, whether it is mirrored, its matrix."""

    top: int
    left: int
    height: int
    width: int
    mirrored: bool
    matrix: np.ndarray

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

    size: Tuple[int, int]
    scale: Tuple[float, float]
    ratio: Tuple[float, float]
    flip: float
    degrees: Tuple[float, float]
    shear: Tuple[float, float]
    interpolation: int

    def __init__(
        self, size: _Size = 224, scale: Tuple[float, float] = (0.08, 1.0), ratio: Tuple[float, float] = (3 / 4, 4 / 3),
        flip: float = 0.5, degrees: Union[float, Tuple[float, float]] = 0, shear: Union[float, Tuple[float, float]] = 0,
        interpolation: int = INTER_CUBIC,
    ) -> None:
        """size: an int or (height, width); scale, ratio: (low, high); flip: a probability; degrees, shear: above."""

    def crop(self, height: int, width: int, rng: np.random.Generator) -> Tuple[int, int, int, int]:
        """(top, left, crop height, crop width) of one image, drawn from rng."""

    def params(self, height: int, width: int, rng: np.random.Generator) -> Union[Crop, np.ndarray]:
        """The drawn part: a Crop where it is neither turned nor sheared, else the forward 2 x 3 matrix (float64)
        that takes it to the output."""

    def reduction(self, params: Union[Crop, np.ndarray], height: int, width: int) -> float:
        """The smallest factor by which the matrix shrinks the image along any direction (1 / its largest scale)."""

    def reduced(self, params: Union[Crop, np.ndarray], scale: int) -> np.ndarray:
        """The matrix for the image decoded at 1/scale: each reduced pixel the mean of a scale x scale block.

        The reduced part's box is no longer whole pixels: it is warped.
        """

    @staticmethod
    def part(image: cp.ndarray, crop: Crop) -> cp.ndarray:
        """The view of image that a Crop resizes: its box, read right to left where mirrored."""

    def apply(self, images: List[cp.ndarray], params: Sequence[Union[Crop, np.ndarray]],
              out: Optional[cp.ndarray] = None) -> cp.ndarray:
        """The parts resized (one list call) and the matrices warped (one launch); the batch."""

class ResizeCenterCrop:
    """Each image resized so that its shorter side is `resize_size`, then its centre cut to `size`.

    resize_size defaults to size / 0.875 rounded (256 for 224). Nothing is random.
    """

    size: Tuple[int, int]
    resize_size: int
    interpolation: int

    def __init__(self, size: _Size = 224, resize_size: int | None = None, interpolation: int = INTER_CUBIC) -> None:
        """size: an int or (height, width); resize_size: the shorter side after the resize."""

    def resized(self, height: int, width: int) -> Tuple[int, int]:
        """(width, height) of an image after the resize of its shorter side."""

    def params(self, height: int, width: int, rng: Any) -> Tuple[int, int]:
        """(width, height) after the resize; rng is not used."""

    def reduction(self, params: Tuple[int, int], height: int, width: int) -> float:
        """The factor by which the resize shrinks the image (the smaller of the two axes')."""

    def reduced(self, params: Tuple[int, int], scale: int) -> Tuple[int, int]:
        """params unchanged: the reduced image is resized to the size the full one gives."""

    def apply(self, images: List[cp.ndarray], params: Sequence[Tuple[int, int]],
              out: Optional[cp.ndarray] = None) -> cp.ndarray:
        """Resize every image (one list call) and cut out its centre; the batch."""

_Factor = Union[float, Tuple[float, float]]

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
    Raises ValueError for a negative number or a pair that is not
    0 <= low <= high.
    """

    transform: Any
    size: Tuple[int, int]  # the wrapped transform's
    brightness: Tuple[float, float]
    contrast: Tuple[float, float]
    saturation: Tuple[float, float]

    def __init__(self, transform: Any, brightness: _Factor = 0, contrast: _Factor = 0, saturation: _Factor = 0) -> None:
        """transform: the geometric transform (RandomResizedCrop, say); brightness, contrast, saturation: above."""

    def params(self, height: int, width: int, rng: np.random.Generator) -> Tuple[Any, np.ndarray]:
        """(the wrapped transform's params, [brightness, contrast, saturation, order] as float32).

        order holds the operations' codes (0 brightness, 1 contrast,
        2 saturation) two bits each, the first in the low bits.
        """

    def reduction(self, params: Tuple[Any, np.ndarray], height: int, width: int) -> float:
        """The wrapped transform's reduction (1 for one that says none)."""

    def reduced(self, params: Tuple[Any, np.ndarray], scale: int) -> Tuple[Any, np.ndarray]:
        """The wrapped transform's params reduced; the colour factors unchanged."""

    def apply(self, images: List[cp.ndarray], params: Sequence[Tuple[Any, np.ndarray]],
              out: Optional[cp.ndarray] = None) -> cp.ndarray:
        """The wrapped transform's batch, then the jitter of every image of it in place, in one launch.

        Raises ValueError when out is not a contiguous (N, H, W, 3) uint8 array.
        """
