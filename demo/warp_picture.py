"""Draws docs/warp.png: a perspective reduction antialiased beside OpenCV's, and the border modes.

Top: a generated photograph-like picture (sky, sun, a tiled floor with fine
stripes) laid onto a plane that recedes to a ninth of its size, by
`warp_perspective` with Lanczos-3 (antialiased from the local stretch of the
map) and by `cv2.warpPerspective` with INTER_LINEAR and INTER_AREA (which
OpenCV samples as bilinear in warps): the far tiles alias into moire.
Bottom: one rotation and reduction under each border mode of the table that
needs no dst, a per-channel fill for BORDER_CONSTANT.

Run from the repository root: `python demo/warp_picture.py [output.png]`.
"""

import sys
from pathlib import Path

import cupy as cp
import cv2
import numpy as np

from zemvara.transform import warp as W
from zemvara.transform.resampling import borders

OUT = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "docs" / "warp.png"


def scene(size=768):
    """A photograph-like BGR uint8 picture: sky gradient, sun, tiled floor with stripes and grout lines."""
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    sky = np.stack([0.95 - 0.3 * y, 0.75 - 0.25 * y, 0.45 + 0.2 * y], axis=2)
    sun = (np.hypot(x - 0.75, y - 0.18) < 0.08)[..., None] * np.array([0.2, 0.85, 1.0])
    sky = np.where(sun.any(axis=2, keepdims=True), sun, sky)
    tiles = ((np.floor(x * 16) + np.floor(y * 16)) % 2)[..., None]
    stripes = 0.5 + 0.5 * np.sin(2 * np.pi * 90 * x * (1 + 0.3 * y))[..., None]
    floor = 0.25 + 0.5 * tiles * np.array([0.6, 0.7, 0.9]) + 0.25 * stripes * np.array([0.9, 0.8, 0.6])
    grout = ((np.abs(x * 16 - np.round(x * 16)) < 0.06) | (np.abs(y * 16 - np.round(y * 16)) < 0.06))[..., None]
    floor = np.where(grout, 0.15, floor)
    picture = np.where((y < 0.35)[..., None], sky, floor)
    return (np.clip(picture, 0, 1) * 255).astype(np.uint8)


def label(image, text):
    out = image.copy()
    cv2.putText(out, text, (6, 18), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 0), 3, cv2.LINE_AA)
    cv2.putText(out, text, (6, 18), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (255, 255, 255), 1, cv2.LINE_AA)
    return out


def main():
    src = scene()
    h, w = src.shape[:2]
    size = (256, 200)  # width, height of each perspective panel
    corners = np.float32([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]])
    plane = np.float32([[100, 8], [156, 8], [size[0] - 1, size[1] - 1], [0, size[1] - 1]])
    M = cv2.getPerspectiveTransform(corners, plane)
    ours = cp.asnumpy(W.warp_perspective(cp.asarray(src), M, size, W.INTER_LANCZOS3, W.BORDER_CONSTANT, (40, 40, 40)))
    linear = cv2.warpPerspective(src, M, size, flags=cv2.INTER_LINEAR, borderValue=(40, 40, 40))
    area = cv2.warpPerspective(src, M, size, flags=cv2.INTER_AREA, borderValue=(40, 40, 40))
    top = np.hstack([label(ours, "zemvara Lanczos-3"), label(linear, "cv2 INTER_LINEAR"),
                     label(area, "cv2 INTER_AREA")])  # fmt: skip

    tile = cv2.resize(src, (256, 256), interpolation=cv2.INTER_AREA)
    c, s = np.cos(0.35) * 2.4, np.sin(0.35) * 2.4  # rotate and reduce by 2.4 about the tile's centre
    spin = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])
    centre = lambda cx, cy: np.array([[1, 0, cx], [0, 1, cy], [0, 0, 1]])  # noqa: E731
    inverse = (centre(128, 128) @ spin @ centre(-76, -76))[:2]
    modes = [row.name for row in borders.BORDERS if not row.needs_dst]
    panels = [
        label(cp.asnumpy(W.warp_affine(cp.asarray(tile), inverse, (153, 153), W.INTER_LANCZOS3 | W.WARP_INVERSE_MAP,
                                       getattr(W, mode), (230, 160, 40))), mode[7:])
        for mode in modes
    ]  # fmt: skip
    bottom = np.hstack(panels)
    bottom = np.pad(bottom, ((4, 0), (0, top.shape[1] - bottom.shape[1]), (0, 0)), constant_values=255)
    OUT.parent.mkdir(parents=True, exist_ok=True)
    cv2.imwrite(str(OUT), np.vstack([top, bottom]))
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
