"""Interpolation constants of the affine warp and of `resize`.

Plain, distinct ints. The five filters that OpenCV also has take OpenCV's own
values, so a caller passing `cv2.INTER_*` gets the filter of that name; the
results match OpenCV's except for INTER_NEAREST, which takes the pixel at
floor(p + 1/2) (OpenCV's INTER_NEAREST_EXACT rule), and except that the
widening filters are antialiased on reduction. The others lie
at 64 and above: OpenCV's interpolation and warp flags occupy the bits below 64
(INTER_* 0-7, WARP_FILL_OUTLIERS 8, WARP_INVERSE_MAP 16, WARP_RELATIVE_MAP 32),
so no combination of them can be taken for one of ours.
"""

INTER_NEAREST = 0
INTER_LINEAR = 1
INTER_CUBIC = 2
INTER_AREA = 3
INTER_LANCZOS4 = 4
INTER_LANCZOS2 = 64
INTER_LANCZOS3 = 65
INTER_MITCHELL = 66
INTER_CATMULL_ROM = 67
INTER_B_SPLINE = 68
INTER_AUTO = 69
