"""Upscaling frames that an engine cannot take whole: overlapping tiles blended with a smooth window.

An engine with a static input takes frames of one size; a dynamic one takes
sizes within its optimisation profile, and the GPU's memory may hold less than
that. `tiled_upscale` cuts the frame into tiles that the engine takes, which
overlap their neighbours, runs each through `EngineZoom.get` and blends the
overlaps. A frame smaller than the engine's smallest input is padded by
repeating its edge and the result cropped back.

Blending: along each axis a tile's weight rises over its overlap with the
previous tile as sin^2 and falls over its overlap with the next one as cos^2,
so two neighbours' weights sum to one everywhere in their overlap and no tile
edge (where the engine sees no context) shows as a seam. The weighted sum is
divided by the summed weights, so the interior of a tile, where its weight is
exactly one, is the engine's own output unchanged.
"""

import math

import cupy as cp
import numpy as np

__all__ = ["tiled_upscale", "engine_sizes", "tile_starts"]

# A tile never shrinks below this side (input pixels) when memory runs out.
MIN_TILE = 32


def engine_sizes(zoom):
    """((min_h, min_w), (max_h, max_w)): the frame sizes the engine's first input takes."""
    engine, name = zoom.engine, zoom.input_tensor
    declared = [int(d) for d in engine.get_tensor_shape(name)]
    if len(declared) != 4:
        raise ValueError(f"engine input {name!r} has shape {declared}; an image engine takes (1, C, H, W)")
    if -1 not in declared:
        return tuple(declared[2:]), tuple(declared[2:])
    lo, _, hi = engine.get_tensor_profile_shape(name, 0)
    return tuple(int(d) for d in list(lo)[2:]), tuple(int(d) for d in list(hi)[2:])


def tile_starts(length, tile, overlap):
    """Start offsets of tiles of `tile` samples covering `length`, each overlapping the next by at least `overlap`."""
    if tile >= length:
        return [0]
    step = max(1, tile - overlap)
    return list(range(0, length - tile, step)) + [length - tile]


def _ramp(n):
    """n weights rising smoothly from near 0 to near 1 (sin^2 at pixel centres); ramp + ramp[::-1] == 1."""
    return np.sin(0.5 * math.pi * (np.arange(n) + 0.5) / n) ** 2


def _window(starts, i, tile, factor):
    """The weights along one axis of tile i (output pixels), given every tile's start (input pixels)."""
    w = np.ones(tile * factor)
    if i > 0:
        rise = (starts[i - 1] + tile - starts[i]) * factor
        w[:rise] *= _ramp(rise)
    if i + 1 < len(starts):
        fall = (starts[i] + tile - starts[i + 1]) * factor
        w[len(w) - fall:] *= _ramp(fall)[::-1]
    return w


def _engine_run(zoom, frame):
    """The engine's output for one frame, as a new array (the instance reuses its result buffer).

    The instance's stream waits for the copy, so the next frame's inference,
    which first waits for that stream, cannot overwrite the buffer while the
    copy still reads it.
    """
    out = zoom.get(frame).copy()
    done = cp.cuda.Event(disable_timing=True)
    done.record()
    zoom.stream.wait_event(done)
    return out


def _edge_pad(frame, height, width):
    """The frame grown to at least height x width by repeating its last row and column."""
    h, w = frame.shape[:2]
    if h < height:
        frame = cp.take(frame, cp.asarray(np.minimum(np.arange(height), h - 1)), axis=0)
    if w < width:
        frame = cp.take(frame, cp.asarray(np.minimum(np.arange(width), w - 1)), axis=1)
    return frame


def _tiled(zoom, frame, size, overlap):
    height, width = frame.shape[:2]
    th, tw = size
    if (th, tw) == (height, width):
        return _engine_run(zoom, frame)
    ys = tile_starts(height, th, min(overlap, th // 2))
    xs = tile_starts(width, tw, min(overlap, tw // 2))
    acc = weights = None
    for i, y in enumerate(ys):
        for j, x in enumerate(xs):
            out = _engine_run(zoom, frame[y:y + th, x:x + tw])
            fy, fx = out.shape[0] // th, out.shape[1] // tw
            if (out.shape[0], out.shape[1]) != (th * fy, tw * fx) or fy < 1 or fx < 1:
                raise ValueError(f"engine output {out.shape[:2]} for a {th} x {tw} tile is not a whole "
                                 "multiple of it; such an engine cannot be tiled")
            if acc is None:
                dtype, scale = out.dtype, (fy, fx)
                acc = cp.zeros((height * fy, width * fx) + out.shape[2:], dtype=cp.float32)
                weights = cp.zeros((height * fy, width * fx), dtype=cp.float32)
            elif (fy, fx) != scale:
                raise ValueError("engine gave different scales for tiles of the same size")
            w = cp.asarray(np.outer(_window(ys, i, th, fy), _window(xs, j, tw, fx)).astype(np.float32))
            region = (slice(y * fy, (y + th) * fy), slice(x * fx, (x + tw) * fx))
            acc[region] += out * (w[:, :, None] if out.ndim == 3 else w)
            weights[region] += w
    result = acc / (weights[:, :, None] if acc.ndim == 3 else weights)
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        result = cp.clip(cp.around(result), info.min, info.max)
    return result.astype(dtype)


def tiled_upscale(zoom, image, tile=None, overlap=16):
    """Run `image` through `zoom` (an `EngineZoom`), whole where the engine takes it, in blended tiles otherwise.

    tile: (width, height) cap on the tile size, or None for as large as the
    engine takes. overlap: input pixels shared by neighbouring tiles (at most
    half a tile). When the GPU runs out of memory, the tiles are halved (not
    below the engine's smallest input or 32 pixels) and the frame is run again.
    Returns a new array: the engine's output scale, channels and element type.
    """
    height, width = image.shape[:2]
    lo, hi = engine_sizes(zoom)
    frame = _edge_pad(image, *lo)
    size = [min(n, m) for n, m in zip(frame.shape[:2], hi)]
    if tile is not None:
        size = [max(a, min(s, t)) for a, s, t in zip(lo, size, (tile[1], tile[0]))]
    while True:
        try:
            out = _tiled(zoom, frame, tuple(size), overlap)
            break
        except cp.cuda.memory.OutOfMemoryError:
            smaller = [max(a, MIN_TILE, s // 2) for a, s in zip(lo, size)]
            if smaller == size:
                raise
            size = smaller
            pool = getattr(cp, "get_default_memory_pool", None)
            if pool is not None:
                pool().free_all_blocks()
    if frame.shape[:2] != (height, width):
        fy, fx = out.shape[0] // frame.shape[0], out.shape[1] // frame.shape[1]
        out = out[:height * fy, :width * fx].copy()
    return out
