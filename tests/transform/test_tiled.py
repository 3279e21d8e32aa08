"""zemvara.transform.tiled: tile by tile equals the whole-image call, within the budget, from and to files."""

import os

import cupy as cp
import numpy as np
import pytest
import tifffile
import tifffile.zarr
import zarr
from PIL import Image

from zemvara.transform import tiled, warp
from zemvara.transform.resampling.filters import FILTERS
from zemvara.transform.resize import resize

RNG = np.random.default_rng(7)
SRC = RNG.random((97, 83, 3), dtype=np.float32)
INTERS = [pytest.param(row.inter, id=row.name) for row in FILTERS]
BORDERS = [pytest.param(b, id=name) for b, name in enumerate(
    ("constant", "replicate", "reflect", "wrap", "reflect_101", "transparent"))]
FILL = (0.25, 0.5, 0.75)


class Peak(cp.cuda.MemoryHook):
    """The most device memory held at once while active."""

    name = "tiled-test-peak"

    def __init__(self):
        self.used = self.peak = 0

    def malloc_postprocess(self, **kw):
        self.used += kw["mem_size"]
        self.peak = max(self.peak, self.used)

    def free_postprocess(self, **kw):
        self.used -= kw["mem_size"]


def counted():
    calls = []
    return calls, lambda done, total: calls.append((done, total))


@pytest.mark.parametrize("inter", INTERS)
@pytest.mark.parametrize("dsize", [(29, 31), (160, 70)], ids=["reduce", "mixed"])
def test_resize_equals_whole_image(inter, dsize):
    calls, progress = counted()
    result = tiled.resize(SRC, dsize, inter, memory_budget=150_000, progress=progress)
    assert calls[-1][0] == calls[-1][1] > 1 and [c[0] for c in calls] == list(range(1, len(calls) + 1))
    np.testing.assert_array_equal(result, resize(cp.asarray(SRC), dsize, inter).get())


@pytest.mark.parametrize("mode", ["RGBA", "L", "F"])
@pytest.mark.parametrize("pil_filter", range(6), ids=lambda f: Image.Resampling(f).name)
def test_resize_compat_pil_gives_pillows_bytes_whatever_the_tiling(mode, pil_filter):
    """Every tile's passes read their neighbours' rows: reductions, enlargements, one axis only, and
    a height shrunk enough that Pillow filters along y first, each cut into many tiles."""
    rng = np.random.default_rng(pil_filter)
    src = (rng.normal(0, 50, (97, 83)).astype(np.float32) if mode == "F"
           else rng.integers(0, 256, (97, 83, 4) if mode == "RGBA" else (97, 83), dtype=np.uint8))  # fmt: skip
    if mode == "RGBA":
        src[:, 30:40, 3] = 0  # transparent columns: premultiplying matters
    budget = 20_000 if mode == "L" else 70_000  # several tiles each
    for size in [(40, 30), (170, 211), (30, 97), (83, 20)]:
        calls, progress = counted()
        got = tiled.resize(src, size, pil_filter, compat="pil", memory_budget=budget, progress=progress)
        want = np.asarray(Image.fromarray(src, mode).resize(size, pil_filter))
        assert calls[-1][1] > 1
        if mode == "F":
            np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6 * np.abs(want).max())
        else:
            assert np.count_nonzero(got != want) == 0, size


@pytest.mark.parametrize("border", BORDERS)
@pytest.mark.parametrize("inter", INTERS)
def test_warp_affine_equals_whole_image(inter, border):
    # An inverse map of dyadic entries: tile and whole positions are exact, so the results agree
    # but for the last bit where a position far past a replicated edge is moved there (the
    # weights of one pixel then sum to 1 in another order); it maps parts of the output outside
    # the source, so every border is read.
    M = np.array([[0.75, 0.25, -30.0], [-0.25, 1.5, 7.5]])
    flags = inter | warp.WARP_INVERSE_MAP
    before = RNG.random((110, 120, 3), dtype=np.float32)
    kept = {"dst": cp.asarray(before)} if border == warp.BORDER_TRANSPARENT else {}
    whole = warp.warp_affine(cp.asarray(SRC), M, (120, 110), flags, border, FILL, **kept).get()
    out = before.copy() if kept else None
    calls, progress = counted()
    result = tiled.warp_affine(SRC, M, (120, 110), flags, border, FILL, memory_budget=100_000, out=out,
                               progress=progress)  # fmt: skip
    assert calls[-1][1] > 4
    np.testing.assert_allclose(result, whole, rtol=0, atol=1e-6)


@pytest.mark.parametrize("border", BORDERS)
@pytest.mark.parametrize("inter", [warp.INTER_LINEAR, warp.INTER_AREA, warp.INTER_LANCZOS3])
@pytest.mark.parametrize("M", [
    pytest.param(np.array([[0.93, 0.21, 4.3], [-0.17, 1.07, -6.1], [0.0011, -0.0007, 1.0]]), id="tilt"),
    pytest.param(np.array([[2.4, 0.31, -9.0], [0.23, 2.2, 5.0], [0.0013, 0.0031, 1.0]]), id="reduce"),
])  # fmt: skip
def test_warp_perspective_within_rounding(M, inter, border):
    perspective_against_whole(M, (100, 90), inter, border, 200_000, atol=2e-4)


@pytest.mark.parametrize("border", [warp.BORDER_CONSTANT, warp.BORDER_REPLICATE, warp.BORDER_TRANSPARENT])
def test_warp_perspective_across_the_horizon(border):
    # w = 0 crosses the output: tiles beyond it are filled, tiles across it cut until their windows fit.
    M = np.array([[1.01, 0.113, 3.17], [0.0513, 0.917, -4.31], [0.00013, -0.0101, 1.0]])
    perspective_against_whole(M, (190, 150), warp.INTER_LINEAR, border, 150_000, atol=1e-3)


def perspective_against_whole(M, dsize, inter, border, memory_budget, atol):
    """The tiled perspective warp of SRC (M inverse) against the whole-image one, BORDER_TRANSPARENT over
    the same random destination."""
    flags = inter | warp.WARP_INVERSE_MAP
    before = RNG.random((dsize[1], dsize[0], 3), dtype=np.float32)
    kept = {"dst": cp.asarray(before)} if border == warp.BORDER_TRANSPARENT else {}
    whole = warp.warp_perspective(cp.asarray(SRC), M, dsize, flags, border, FILL, **kept).get()
    out = before.copy() if kept else None
    result = tiled.warp_perspective(SRC, M, dsize, flags, border, FILL, memory_budget=memory_budget, out=out)
    np.testing.assert_allclose(result, whole, atol=atol)


def tiff_source(tmp_path, image, **layout):
    path = tmp_path / "src.tif"
    tifffile.imwrite(path, image, photometric="rgb", **layout)
    return path


@pytest.mark.parametrize("source, dest", [
    ("tiled_tiff", "tiff"), ("striped_bigtiff", "zarr"), ("npy", "numpy"), ("zarr", "tiff"),
])  # fmt: skip
def test_sources_and_destinations(tmp_path, source, dest):
    image = RNG.integers(0, 256, (300, 200, 3), dtype=np.uint8)
    src = {
        "tiled_tiff": lambda: tiff_source(tmp_path, image, tile=(64, 64)),
        "striped_bigtiff": lambda: str(tiff_source(tmp_path, image, rowsperstrip=40, bigtiff=True)),
        "npy": lambda: (np.save(tmp_path / "src.npy", image), tmp_path / "src.npy")[1],
        "zarr": lambda: zarr.array(image, chunks=(50, 50, 3)),
    }[source]()
    M = np.array([[np.cos(0.2), -np.sin(0.2), 30.0], [np.sin(0.2), np.cos(0.2), -10.0]])
    expected = warp.warp_affine(cp.asarray(image), M, (180, 260), warp.INTER_CUBIC).get()
    out = {"tiff": tmp_path / "out.tiff", "zarr": zarr.zeros((260, 180, 3), chunks=(48, 48, 3), dtype=np.uint8),
           "numpy": np.zeros((260, 180, 3), np.uint8)}[dest]  # fmt: skip
    returned = tiled.warp_affine(src, M, (180, 260), warp.INTER_CUBIC, memory_budget=200_000, out=out)
    assert returned is out
    if dest == "tiff":
        assert not any(name.endswith(".tmp") for name in os.listdir(tmp_path))
        with tifffile.TiffFile(out) as tif:
            assert tif.is_bigtiff and tif.pages[0].is_tiled
            returned = tif.asarray()
    # Rounding of positions may move a uint8 value by one.
    assert np.abs(np.asarray(returned[...], np.int16) - expected).max() <= 1


@pytest.mark.parametrize("layout", [dict(rowsperstrip=300), dict(rowsperstrip=32, compression="zlib"),
                                    dict(rowsperstrip=300, compression="zlib")],
                         ids=["one strip", "strips, deflate", "one strip, deflate"])
def test_tiff_strips_are_each_read_once(tmp_path, monkeypatch, layout):
    image = RNG.integers(0, 256, (300, 200, 3), dtype=np.uint8)
    path = tiff_source(tmp_path, image, **layout)
    reads, get = [], tifffile.zarr.ZarrTiffStore.get

    async def counted_get(self, key, *args, **kwargs):
        reads.append(key)
        return await get(self, key, *args, **kwargs)

    monkeypatch.setattr(tifffile.zarr.ZarrTiffStore, "get", counted_get)
    calls, progress = counted()
    result = tiled.resize(path, (75, 50), warp.INTER_LANCZOS3, memory_budget=150_000, progress=progress)
    np.testing.assert_array_equal(result, resize(cp.asarray(image), (75, 50), warp.INTER_LANCZOS3).get())
    strips = [key for key in reads if key[0].isdigit()]
    assert calls[-1][1] > 4 and len(strips) == len(set(strips)), reads


def test_large_source_small_budget():
    """300 MB through a 4 MiB budget: blocks of 800 x 800 pixels reduce to blocks of 100 x 100."""
    src = np.empty((10000, 10000, 3), np.uint8)
    value = lambda i, j: (i * 37 + j * 11) % 256  # noqa: E731
    for i in range(13):
        for j in range(13):
            src[800 * i:800 * (i + 1), 800 * j:800 * (j + 1)] = value(i, j)
    budget = 4 << 20
    with Peak() as peak:
        result = tiled.resize(src, (1250, 1250), warp.INTER_AREA, memory_budget=budget)
    assert 0 < peak.peak <= budget
    blocks = np.arange(1250) // 100
    np.testing.assert_array_equal(result, np.repeat(value(blocks[:, None], blocks[None, :])[..., None], 3, 2))


# A map whose horizon (w = 0) crosses the output where the positions stay inside the source: the
# pixels beside it take windows far wider than any tile's.
HORIZON = np.array([[1.0, 6.0, -697.0], [0.0, 7.0, -697.0], [0.0, 0.01, -0.995]])


@pytest.mark.parametrize("call", [
    lambda budget: tiled.resize(SRC, (20, 20), warp.INTER_LANCZOS3, memory_budget=budget),
    lambda budget: tiled.warp_affine(SRC, np.array([[0.2, 0.05, 0.0], [-0.05, 0.2, 0.0]]), (20, 20),
                                     warp.INTER_AREA, memory_budget=budget),
    lambda budget: tiled.resize(np.zeros((128, 128, 3), np.uint8), (35, 35), warp.INTER_LINEAR, memory_budget=budget),
    lambda budget: tiled.warp_perspective(np.zeros((1200, 1200), np.float32), HORIZON, (200, 200),
                                          warp.INTER_AREA | warp.WARP_INVERSE_MAP, memory_budget=budget),
    lambda budget: tiled.resize(np.zeros((128, 128, 4), np.uint8), (35, 50), 1, compat="pil", memory_budget=budget),
], ids=["resize", "warp_affine", "resize_tables", "warp_perspective_horizon", "resize_pil"])  # fmt: skip
def test_budget_below_one_tile_names_the_minimum(call):
    with pytest.raises(MemoryError, match=r"give at least memory_budget=(\d+)") as refused:
        call(1)
    minimum = int(refused.value.args[0].rsplit("=", 1)[1])
    with Peak() as peak:
        call(minimum)  # the minimum named is enough
    assert peak.peak <= minimum


def test_failure_midway_leaves_the_old_file(tmp_path):
    path = tmp_path / "out.tif"
    path.write_bytes(b"old")

    def fail(done, total):
        if done == 3:
            raise RuntimeError("stopped at tile 3")

    with pytest.raises(RuntimeError, match="tile 3"):
        tiled.resize(SRC, (150, 150), warp.INTER_LINEAR, memory_budget=60_000, out=path, progress=fail)
    assert os.listdir(tmp_path) == ["out.tif"] and path.read_bytes() == b"old"


@pytest.mark.parametrize("call, error, match", [
    (lambda: tiled.warp_affine(SRC, np.eye(2, 3), (0, 0), border_mode=warp.BORDER_TRANSPARENT), ValueError, "pass out"),
    (lambda: tiled.resize(SRC, (10, 10), out=np.zeros((10, 11, 3), np.float32)), ValueError, "out has shape"),
    (lambda: tiled.resize(SRC, (10, 10), out=np.zeros((10, 10, 3), np.uint8)), TypeError, "element type"),
    (lambda: tiled.resize(cp.asarray(SRC), (10, 10)), TypeError, "host-side source"),
    (lambda: tiled.resize(SRC, (10, 10), out="result.png"), ValueError, r"\.tif"),
    (lambda: tiled.resize(SRC, (10, 10), 1, compat="cv2"), ValueError, "compat must be None or 'pil'"),
    (lambda: tiled.resize(SRC.astype(np.float16), (10, 10), 1, compat="pil"), TypeError, "src must be uint8 or float32"),
    (lambda: tiled.resize(SRC, (10, 10), 7, compat="pil"), ValueError, "unknown filter 7"),
    (lambda: tiled.warp_affine(SRC, np.zeros((2, 3)), (10, 10)), ValueError, "singular"),
    (lambda: tiled.warp_affine(SRC, np.eye(2, 3), (0, 0), border_mode=warp.BORDER_TRANSPARENT, out=SRC), ValueError,
     "overlaps"),
])  # fmt: skip
def test_bad_arguments_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.host_only
def test_tiles_alternate_between_two_streams():
    from cupy import _hostdevice

    _hostdevice.clear()
    calls, progress = counted()
    tiled.warp_affine(SRC, np.eye(2, 3), (0, 0), warp.INTER_LINEAR, memory_budget=60_000, progress=progress)
    streams = [launch.stream for launch in _hostdevice.launches]
    assert len(streams) == calls[-1][1] > 2
    assert 0 not in streams and len(set(streams)) == 2
    assert all(a != b for a, b in zip(streams, streams[1:]))  # tile i + 1 goes while tile i computes


def _shared(tmp_path, src_kind):
    """(src, out): out a second handle on the storage src is read from."""
    image = RNG.random((40, 30, 3), dtype=np.float32)
    if src_kind.startswith("npy"):
        np.save(tmp_path / "a.npy", image)
        src = tmp_path / "a.npy" if src_kind == "npy path" else np.load(tmp_path / "a.npy", mmap_mode="r")
        return src, np.load(tmp_path / "a.npy", mmap_mode="r+")[:, :]
    folder = str(tmp_path / "a.zarr")
    zarr.open(folder, mode="w", shape=image.shape, chunks=(16, 16, 3), dtype=np.float32)[...] = image
    return (folder if src_kind == "zarr path" else zarr.open(folder, mode="r")), zarr.open(folder, mode="r+")


@pytest.mark.parametrize("src_kind", ["npy memmap", "npy path", "zarr", "zarr path"])
def test_out_sharing_storage_with_src_is_refused(tmp_path, src_kind):
    src, out = _shared(tmp_path, src_kind)
    before = np.array(out[...])
    with pytest.raises(ValueError, match="^warp_affine: out .* src is read from; later tiles would read"):
        tiled.warp_affine(src, np.array([[1.0, 0.0, 3.0], [0.0, 1.0, 2.0]]), (0, 0), memory_budget=20_000, out=out)
    np.testing.assert_array_equal(out[...], before)


@pytest.mark.parametrize("tile", [None, (16, 16)], ids=["striped", "tiled"])
def test_planar_tiff_reads_samples_last(tmp_path, tile):
    image = RNG.integers(0, 256, (40, 30, 3), dtype=np.uint8)
    tifffile.imwrite(tmp_path / "p.tif", image.transpose(2, 0, 1), photometric="rgb", planarconfig="separate",
                     tile=tile)  # fmt: skip
    result = tiled.resize(tmp_path / "p.tif", (20, 15), warp.INTER_AREA, memory_budget=60_000)
    np.testing.assert_array_equal(result, resize(cp.asarray(image), (20, 15), warp.INTER_AREA).get())


def _eight_bytes(tmp_path):
    (tmp_path / "e.tif").write_bytes(b"II*\x00\x08\x00\x00\x00")
    return {"src": tmp_path / "e.tif"}


def _corrupt_tile(tmp_path):
    tifffile.imwrite(tmp_path / "c.tif", np.zeros((64, 64), np.uint8), tile=(32, 32), compression="zlib")
    with tifffile.TiffFile(tmp_path / "c.tif") as tif:
        at = tif.pages[0].dataoffsets[1]
    with open(tmp_path / "c.tif", "r+b") as f:
        f.seek(at)
        f.write(b"\xff" * 16)
    return {"src": tmp_path / "c.tif"}


def _page_stack(tmp_path):
    tifffile.imwrite(tmp_path / "s.tif", np.zeros((3, 20, 30), np.uint8), photometric="minisblack")
    return {"src": tmp_path / "s.tif"}


def _read_only(tmp_path, kind):
    if kind == "numpy":
        out = np.zeros((10, 10, 3), np.float32)
        out.flags.writeable = False
    else:
        zarr.zeros((10, 10, 3), store=str(tmp_path / "o.zarr"), dtype=np.float32)
        out = zarr.open_array(str(tmp_path / "o.zarr"), mode="r")
    return {"src": SRC, "out": out}


def _torch(where):
    torch = pytest.importorskip("torch")
    tensor = torch.zeros((10, 10), dtype=torch.float32)
    return {"src": tensor} if where == "src" else {"src": SRC[..., 0], "out": tensor}


@pytest.mark.parametrize("make, error, match", [
    (_eight_bytes, ValueError, r"cannot read '.*e\.tif' as a TIFF image"),
    (_corrupt_tile, ValueError, r"cannot read src '.*c\.tif' at rows 0\.\.\d+, columns \d+\.\.63: .*rror"),
    (lambda p: {"src": zarr.open_group(str(p / "g.zarr"), mode="w").store.root}, ValueError,
     "cannot read '.*g\\.zarr' as a zarr store: a zarr group that holds no array"),
    (_page_stack, ValueError, r"'.*s\.tif' holds 3 images \(TIFF axes 'QYX'"),
    (lambda p: _read_only(p, "numpy"), ValueError, "out is read-only"),
    (lambda p: _read_only(p, "zarr"), ValueError, "out is read-only"),
    (lambda p: _torch("src"), TypeError, "src is a torch.Tensor of element type torch.float32"),
    (lambda p: _torch("out"), TypeError, "out is a torch.Tensor of element type torch.float32"),
], ids=["8-byte tiff", "corrupt tile", "empty zarr group", "stack of pages", "read-only numpy", "read-only zarr",
        "torch src", "torch out"])  # fmt: skip
def test_unreadable_sources_and_unwritable_outs_are_refused_by_name(tmp_path, make, error, match):
    with pytest.raises(error, match=f"^resize: {match}"):
        tiled.resize(dsize=(10, 10), memory_budget=20_000, **make(tmp_path))
