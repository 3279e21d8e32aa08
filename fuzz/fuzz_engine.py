"""Fuzz target: EngineZoom on mutated engine files and frames.

The first byte chooses the frame (shape, element type) and whether the engine
comes as bytes or as a file; the rest is the serialised engine. An engine that
loads must upscale a frame it accepts into a (H', W', 3) float32 image.
"""

import common
from common import Values, call, check, cp, np

from zemvara.upscale.enginezoom import EngineZoom


def TestOneInput(data):
    if len(data) < 2:
        return
    options, body = data[0], data[1:]
    if options & 1:
        with open("model.engine", "wb") as f:
            f.write(body)
        zoom = call(EngineZoom, model_path="model.engine")
    else:
        zoom = call(EngineZoom, model_bytes=body)
    if zoom is None:
        return
    v = Values(bytes([options]) * 16)
    shape = v.pick([(4, 5, 3), (1, 1, 3), (6, 4, 4), (3, 3), (0, 4, 3), (4, 5, 3, 1)])
    frame = v.device_array(shape, v.pick([np.float32, np.uint8, np.float16]))
    out = call(zoom.get, frame)
    if out is not None:
        check(isinstance(out, cp.ndarray) and out.ndim == 3 and out.shape[2] == 3, f"get gave {getattr(out, 'shape', out)}")
    cp.cuda.Stream.null.synchronize()


def seeds():
    from tensorrt import engines
    out = []
    for i, (shape, factor, flt, dtype) in enumerate([
            ((1, 3, -1, -1), 2, "nearest", "float32"), ((1, 3, 4, 5), 1, "nearest", "float32"),
            ((1, 3, -1, -1), 3, "bilinear", "float16"), ((1, 3, 4, 5), 2, "bilinear", "float32")]):
        out.append(bytes([i * 2 + 1 if i % 2 else i * 2]) + engines.engine(shape, factor, flt, dtype))
    return out


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
