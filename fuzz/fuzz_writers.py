"""Fuzz target: picstore and picpack on random arrays, paths and parameters.

The file check: after picstore the path holds the whole new file, or exactly
what it held before when picstore raised; no temporary file is ever left. A
file-size limit, a full device or a folder at the path make some writes fail
on purpose. Where both succeed, picstore's file holds picpack's bytes; every
encoding picpack returns decodes again.
"""

import os
import resource

import common
from common import Values, attempt, call, check, cp, cv2, np, torch

from zemvara.io.picpack import picpack
from zemvara.io.picstore import picstore

PACKED = (".png", ".jpg", ".jpeg", ".tif", ".tiff")  # picstore's own choices that picpack shares


def image(v):
    shape = v.pick([(v.small(6) + 1, v.small(6) + 1, v.pick([1, 3, 4])), (v.small(6) + 1, v.small(6) + 1), v.shape()])
    kind = v.below(6)
    if kind == 0:
        return v.device_array(shape, v.pick(common.IMAGE_DTYPES))
    if kind == 1:
        return torch.from_numpy(v.host_array(shape, v.pick([np.uint8, np.float32])))
    if kind == 2:
        return v.value()
    return v.host_array(shape, v.pick(common.DTYPES if kind == 3 else common.IMAGE_DTYPES))


def listing():
    return sorted(os.listdir("."))


def TestOneInput(data):
    v = Values(data)
    (packed_bytes_decode if v.below(4) == 0 else stored)(v)


def stored(v):
    ext = v.pick(common.EXTENSIONS)
    name = v.pick(["out", "out", "sub/out"]) + ext
    picture, param, swap_rb = image(v), v.pick([-1, v.small(100), v.int_()]), v.flag()
    before = None
    # 0: a full device at the path, 1: a folder, 2: an old file, 3: the same under a size limit, 4-5: nothing
    setup = v.below(6) if "/" not in name else 5
    if setup == 0:
        os.symlink("/dev/full", name)
    elif setup == 1:
        os.makedirs(name)
    elif setup in (2, 3):
        before = v.fdp.ConsumeBytes(v.small(64)) or b"old"
        with open(name, "wb") as f:
            f.write(before)
    files = listing()
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    try:
        if setup == 3:
            resource.setrlimit(resource.RLIMIT_FSIZE, (v.small(4096), limit[1]))
        ok, _ = attempt(picstore, name, picture, param, swap_rb)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
    new = [f for f in listing() if f not in files]
    check(new == ([name] if ok and before is None and setup > 1 else []), f"picstore left {new} behind")
    if not ok:
        if before is not None:
            with open(name, "rb") as f:
                check(f.read() == before, "a failed picstore changed the file at the path")
        cleanup(name)
        return
    check(setup > 1, "picstore reported success writing to a full device or a folder")
    with open(name, "rb") as f:
        content = f.read()
    packed = call(picpack, picture, ext, param, swap_rb) if ext in PACKED else None
    if packed is not None:
        check(content == packed, f"picstore's {ext} file differs from picpack's bytes")
    if ext == ".exr":
        import OpenEXR
        with OpenEXR.File(name) as f:
            rgb = f.channels()["RGB"].pixels
        check(rgb.dtype == np.float16 and rgb.shape[:2] == tuple(picture.shape)[:2], f"EXR holds {rgb.shape} {rgb.dtype}")
    cleanup(name)


def packed_bytes_decode(v):
    picture, ext = image(v), v.pick(list(PACKED) + [".PNG", "TIF", "bmp", "exr"])
    packed = call(picpack, picture, ext, v.pick([-1, v.small(100), v.int_()]), v.flag())
    if packed is not None:
        check(type(packed) is bytes, f"picpack returned {type(packed)}")
        check(cv2.imdecode(np.frombuffer(packed, np.uint8), cv2.IMREAD_UNCHANGED) is not None,
              f"picpack({ext}) returned bytes that do not decode")


def cleanup(name):
    for path in (name, "sub"):
        if os.path.islink(path) or os.path.isfile(path):
            os.remove(path)
        elif os.path.isdir(path):
            for root, dirs, files in os.walk(path, topdown=False):
                for f in files:
                    os.remove(os.path.join(root, f))
                for d in dirs:
                    os.rmdir(os.path.join(root, d))
            os.rmdir(path)


def seeds():
    return [bytes([k, j]) + bytes(range(i, i + 40)) for k in range(12) for j in (0, 2, 3) for i in (0, 100)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
