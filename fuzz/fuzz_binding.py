"""Fuzz target: argument binding of every public function and method.

Random mixes of positional and keyword arguments (names real and made up),
wrong types, subclasses of built-ins and of cp.ndarray that lie or change their
answers, huge and negative integers. Every call must return or refuse clearly.
"""

import common
from common import Values, call, cp

from zemvara.io.picload import picload
from zemvara.io.picpack import picpack
from zemvara.io.picstore import picstore
from zemvara.io.picunpack import picunpack
from zemvara.transform.affine import affine_transform, get_inverse_matrix
from zemvara.transform.resize import resize
from zemvara.transform.subsample import subsample_image, subsample_image_back
from zemvara.transform.weavepack import (create_output_order_indices, subsample_image_back_flattened,
                                         subsample_image_back_gather)
from zemvara.upscale.enginezoom import EngineZoom
from zemvara.utils.axisform import batch_to_images, guess_image_layout, image_to_batch, images_to_batch

FUNCTIONS = [subsample_image, subsample_image_back, create_output_order_indices, subsample_image_back_flattened,
             subsample_image_back_gather, get_inverse_matrix, affine_transform, guess_image_layout, image_to_batch,
             images_to_batch, batch_to_images, picload, picstore, picpack, picunpack, resize, EngineZoom]
METHODS = ["initialize", "pre_process", "post_process", "get"]


def parameters(f):
    code = (f.__init__ if isinstance(f, type) else f).__code__
    names = code.co_varnames[:code.co_argcount]
    return names[1:] if isinstance(f, type) else names


def an_engine():
    from tensorrt import engines
    return EngineZoom(model_bytes=engines.engine((1, 3, -1, -1), factor=2))


def TestOneInput(data):
    v = Values(data)
    if v.below(8) == 0 and common.ON_HOST:
        f = getattr(call(an_engine) or an_engine(), v.pick(METHODS))
        names = parameters(f)[1:]
    else:
        f = v.pick(FUNCTIONS)
        names = parameters(f)
    positional = [v.value() for _ in range(v.small(len(names) + 1))]
    keywords = {}
    for _ in range(v.small(3)):
        name = v.pick(list(names) + ["bogus", "self"]) if names else "bogus"
        keywords[name] = v.value()
    call(f, *positional, **keywords)
    cp.cuda.Stream.null.synchronize()


def seeds():
    return [bytes((i * 7 + k) % 256 for k in range(64)) for i in range(16)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
