"""Interpolation constants of `affine_transform` and `resize`: plain, distinct ints.

The five values below 64 are OpenCV's own numbers for its similarly named
filters; the others lie at 64 and above, clear of OpenCV's flag bits.
"""

from typing import Final

INTER_NEAREST: Final = 0
"""Nearest neighbour: the source pixel whose centre is nearest (ties round up), never widened."""
INTER_LINEAR: Final = 1
"""Bilinear over the 2 x 2 neighbours, never widened (reductions alias)."""
INTER_CUBIC: Final = 2
"""Keys cubic with a = -0.75, widened on reduction."""
INTER_AREA: Final = 3
"""Area averaging (box filter), widened on reduction."""
INTER_LANCZOS4: Final = 4
"""Lanczos with the window A = 4, widened on reduction."""
INTER_LANCZOS2: Final = 64
"""Lanczos with the window A = 2, widened on reduction."""
INTER_LANCZOS3: Final = 65
"""Lanczos with the window A = 3, widened on reduction."""
INTER_MITCHELL: Final = 66
"""Mitchell-Netravali cubic, B = C = 1/3, widened on reduction."""
INTER_CATMULL_ROM: Final = 67
"""Catmull-Rom cubic (B = 0, C = 1/2), widened on reduction."""
INTER_B_SPLINE: Final = 68
"""Cubic B-spline (B = 1, C = 0), widened on reduction."""
INTER_AUTO: Final = 69
"""Mitchell when the map enlarges along either axis, area averaging otherwise."""
