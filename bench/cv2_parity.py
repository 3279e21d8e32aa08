"""OpenCV parity of `resize_cv2` over a folder of pictures: values off against `cv2.resize`.

    python bench/cv2_parity.py FOLDER [--limit N] [--no-ipp]

The pictures and sizes of pil_parity.py (every picture Pillow opens in
FOLDER, taken as grey, grey and alpha, RGB or RGBA, and as float32 grey; 1/2,
1/3, 0.37, 2 and 2.6 of its size and 1-pixel sides), resized with every
interpolation. Prints, per element type and interpolation, the resizes made,
the largest difference, the values off by more than 1 (uint8) or by more
than 2e-4 of the range (float32), and the worst case; exits 1 when any value
is off by more. --no-ipp compares with OpenCV's own code instead of Intel's
IPP, which OpenCV uses for some resizes when its build has it.
"""

import argparse
import sys

import numpy as np
from pil_parity import pictures, sizes  # the same pictures and sizes (and the host device on the path)

# Off by more: uint8 values, float32 values of 0..1 (IPP's float cubic differs from OpenCV's own code by
# up to 1.1e-4 on these pictures).
TOLERANCE = {"uint8": 1.0, "float32": 2e-4}


def main(argv=None):
    import cupy as cp
    import cv2

    from zemvara.transform.resampling import opencv, planning

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--limit", type=int, default=10_000, help="at most this many pictures")
    parser.add_argument("--no-ipp", action="store_true", help="compare with OpenCV's own code, not IPP's")
    args = parser.parse_args(argv)
    cv2.ipp.setUseIPP(not args.no_ipp)
    made, largest, off, worst = {}, {}, {}, {}
    for path, im in pictures(args.folder, args.limit):
        colour = np.asarray(im)  # each channel resized alike: the channel order does not matter
        if colour.ndim == 3 and planning.is_channel_first(colour.shape):
            continue  # a picture of 1 to 4 rows that resize_cv2 would take as channel-first
        grey = np.asarray(im.convert("F"), np.float32) / 255
        for src in (colour, grey):
            device = cp.asarray(src)
            kind = src.dtype.name
            for size in sizes(src.shape[1], src.shape[0]):
                for interpolation, name in opencv.CV2_INTERPOLATIONS.items():
                    want = cv2.resize(src, size, interpolation=interpolation)
                    got = cp.asnumpy(opencv.resize_cv2(device, size, interpolation))
                    difference = np.abs(got.astype(np.float64) - want)
                    count = int(np.count_nonzero(difference > TOLERANCE[kind]))
                    key = (kind, name)
                    made[key] = made.get(key, 0) + 1
                    largest[key] = max(largest.get(key, 0.0), float(difference.max()))
                    off[key] = off.get(key, 0) + count
                    if count > worst.get(key, (0,))[0]:
                        worst[key] = (count, f"{path.name} {src.shape[1]}x{src.shape[0]} -> {size}")
    for key in sorted(made):
        print(f"{key[0]:8} {key[1]:20} {made[key]:6} resizes, largest difference {largest[key]:.3g}, "
              f"{off[key]} values off by more than {TOLERANCE[key[0]]:g}"
              + (f"; worst {worst[key][0]} values: {worst[key][1]}" if key in worst else ""))  # fmt: skip
    return 1 if any(off.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
