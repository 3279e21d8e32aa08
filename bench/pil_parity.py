"""Pillow parity of `resize_pil` over a folder of pictures: differing bytes against `Image.resize`.

    python bench/pil_parity.py FOLDER [--limit N]

Every picture Pillow opens in FOLDER (its test images, say) is taken in mode
L, LA, RGB or RGBA (other modes converted to the nearest of them) and as mode
F (its grey values as float32), and resized with every filter at 1/2, 1/3,
0.37, 2 and 2.6 of its size and to 1-pixel sides. Prints, per mode, the
resizes made, those with any differing byte (uint8) or any value off by more
than 1e-6 of the range (F), and the worst case; exits 1 when any differs.
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np
from PIL import Image

HERE = Path(__file__).resolve().parent
if os.environ.get("ZEMVARA_DEVICE") != "gpu":
    sys.path.insert(0, str(HERE.parent / "hostdevice"))  # the host device, as the other benchmarks

SCALES = (0.5, 1 / 3, 0.37, 2.0, 2.6)
MODES = {"L": "L", "LA": "LA", "RGB": "RGB", "RGBA": "RGBA", "P": "RGBA", "PA": "RGBA", "1": "L", "La": "LA",
         "RGBa": "RGBA", "RGBX": "RGB", "CMYK": "RGB", "YCbCr": "RGB", "LAB": "RGB", "HSV": "RGB"}  # fmt: skip


def sizes(w, h):
    out = {(max(1, round(w * s)), max(1, round(h * s))) for s in SCALES}
    return sorted(out | {(1, h), (w, 1)})


def pictures(folder, limit):
    count = 0
    for path in sorted(Path(folder).rglob("*")):
        if count >= limit:
            return
        try:
            with Image.open(path) as im:
                im.load()
                if im.width * im.height > 4_000_000:
                    continue
                mode = MODES.get(im.mode, "RGB" if "A" not in im.getbands() else "RGBA")
                yield path, im.convert(mode)
                count += 1
        except Exception:  # not a picture Pillow reads whole: skipped
            continue


def main(argv=None):
    import cupy as cp

    from zemvara.transform.resampling import pil

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--limit", type=int, default=10_000, help="at most this many pictures")
    args = parser.parse_args(argv)
    made, differing, worst = {}, {}, {}
    for path, im in pictures(args.folder, args.limit):
        grey = np.asarray(im.convert("F"), np.float32)
        for mode, picture in ((im.mode, im), ("F", Image.fromarray(grey, "F"))):
            src = cp.asarray(np.asarray(picture))
            for size in sizes(*picture.size):
                for f in pil.PIL_FILTERS:
                    want = np.asarray(picture.resize(size, f))
                    got = cp.asnumpy(pil.resize_pil(src, size, f))
                    if mode == "F":
                        off = int(np.count_nonzero(np.abs(got - want) > 1e-6 * max(1.0, float(np.abs(want).max()))))
                    else:
                        off = int(np.count_nonzero(got != want))
                    made[mode] = made.get(mode, 0) + 1
                    if off:
                        differing[mode] = differing.get(mode, 0) + 1
                        if off > worst.get(mode, (0,))[0]:
                            worst[mode] = (off, f"{path.name} {picture.size} -> {size} {pil.PIL_FILTERS[f]}")
    for mode in sorted(made):
        print(f"{mode:5} {made[mode]:6} resizes, {differing.get(mode, 0)} differing"
              + (f"; worst {worst[mode][0]} values: {worst[mode][1]}" if mode in worst else ""))  # fmt: skip
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
