"""zemvara.data: labels, sharding, determinism, the transforms against direct calls, bad files, a training loop."""

import os
import sys

import cupy as cp
import cv2
import numpy as np
import pytest
import torch
from torch.utils.data import DistributedSampler

from zemvara.data import (ColorJitter, Crop, ImageFolder, ImageList, Loader, RandomResizedCrop, ResizeCenterCrop,
                          shard_indices)
from zemvara.data.loader import decode, pack
from zemvara.transform import warp
from zemvara.transform.resize import resize


def make_folder(root, classes, per_class=3, seed=0, sizes=((30, 44), (52, 36), (40, 40))):
    """A class folder per name with per_class small JPEGs of varied sizes; each class has its own mean colour."""
    rng = np.random.default_rng(seed)
    for c, name in enumerate(classes):
        os.makedirs(root / name, exist_ok=True)
        for i in range(per_class):
            h, w = sizes[i % len(sizes)]
            image = rng.integers(0, 60, (h, w, 3)).astype(np.uint8) + np.uint8(60 * (c % 3))
            cv2.imwrite(str(root / name / f"{i}.jpg"), image)
    return root


def test_folder_labels_follow_the_sorted_class_names(tmp_path):
    make_folder(tmp_path, ["b", "B", "a10", "a9"], per_class=1)
    os.makedirs(tmp_path / "a9" / "deeper")
    cv2.imwrite(str(tmp_path / "a9" / "deeper" / "x.PNG"), np.zeros((4, 4, 3), np.uint8))
    (tmp_path / "b" / "notes.txt").write_text("not an image")
    folder = ImageFolder(tmp_path)
    assert folder.classes == ["B", "a10", "a9", "b"]
    assert [(os.path.relpath(p, tmp_path), label) for p, label in folder.samples] == [
        ("B/0.jpg", 0), ("a10/0.jpg", 1), ("a9/0.jpg", 2), ("a9/deeper/x.PNG", 2), ("b/0.jpg", 3)]
    os.makedirs(tmp_path / "empty")
    with pytest.raises(FileNotFoundError, match="'empty' holds no image"):
        ImageFolder(tmp_path)


@pytest.mark.parametrize("n,world_size", [(10, 1), (10, 3), (7, 4), (2, 5), (0, 2)])
@pytest.mark.parametrize("shuffle,drop_last", [(False, False), (True, False), (True, True), (False, True)])
def test_sharding_matches_the_distributed_sampler(n, world_size, shuffle, drop_last):
    for epoch in (0, 3):
        for rank in range(world_size):
            sampler = DistributedSampler(range(n), world_size, rank, shuffle=shuffle, seed=5, drop_last=drop_last)
            sampler.set_epoch(epoch)
            expected = list(sampler)
            assert shard_indices(n, rank, world_size, shuffle, 5, epoch, drop_last) == expected
            loader = Loader(ImageList([("x.jpg", 0)] * n), 3, shuffle=shuffle, seed=5, drop_last=drop_last,
                            rank=rank, world_size=world_size)
            loader.set_epoch(epoch)
            assert loader.indices() == expected
            assert len(loader) == (len(expected) // 3 if drop_last else -(-len(expected) // 3))


def batches(loader):
    return [(cp.asnumpy(x), cp.asnumpy(y)) for x, y in loader]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return ImageFolder(make_folder(tmp_path_factory.mktemp("folder"), ["cat", "dog"], per_class=4))


def test_the_same_seed_gives_the_same_batches_whatever_the_threads(folder):
    def run(threads, seed=1, epoch=2):
        loader = Loader(folder, 3, shuffle=True, seed=seed, threads=threads, prefetch=1, output="cupy",
                        transform=RandomResizedCrop(24), dtype="float16", mean=0.5, std=0.2)
        loader.set_epoch(epoch)
        return batches(loader)

    first = run(1)
    assert [b[0].shape for b in first] == [(3, 3, 24, 24)] * 2 + [(2, 3, 24, 24)]
    for again in (run(3), run(1)):
        assert all(np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]) for a, b in zip(first, again))
    other = run(1, epoch=3)
    assert not all(np.array_equal(a[0], b[0]) for a, b in zip(first, other))


def single(transform, source, params):
    """One image's augmentation called directly: the resize of its part, or the warp of its matrix."""
    if isinstance(params, Crop):
        return resize(transform.part(cp.asarray(source), params), (28, 20), transform.interpolation)
    return warp.warp_affine(cp.asarray(source), params, (28, 20), transform.interpolation, warp.BORDER_REPLICATE)


@pytest.mark.parametrize("degrees,shear", [(0, 0), (15, (-5, 10))])
def test_each_augmented_image_is_its_single_resize_or_warp(folder, degrees, shear):
    transform = RandomResizedCrop((20, 28), scale=(0.2, 1.0), degrees=degrees, shear=shear)
    loader = Loader(folder, 8, seed=3, output="cupy", transform=transform, layout="NHWC", dtype="uint8")
    (images, labels), = batches(loader)
    assert labels.tolist() == [label for _, label in folder.samples]
    mirrored = set()
    for place, (path, _) in enumerate(folder.samples):
        source = decode(path)
        params = transform.params(*source.shape[:2], loader.rng(place))
        assert isinstance(params, Crop) == (degrees == 0)
        mirrored.add(getattr(params, "mirrored", None))
        np.testing.assert_array_equal(images[place], cp.asnumpy(single(transform, source, params)))
    if not degrees:  # both kinds of part among the batch's
        assert mirrored == {True, False}
        # A part's pixels are the source's where the resize keeps its size.
        crop = RandomResizedCrop((5, 7), scale=(2.0, 2.0), ratio=(1.4, 1.4), flip=1.0)
        source = np.arange(5 * 7 * 3, dtype=np.uint8).reshape(5, 7, 3)
        params = crop.params(5, 7, np.random.default_rng(0))
        np.testing.assert_array_equal(cp.asnumpy(crop.apply([cp.asarray(source)], [params]))[0], source[:, ::-1])


def test_the_crop_rule_and_its_fallback():
    rng = np.random.default_rng(0)
    crop = RandomResizedCrop(8, scale=(0.25, 0.5), ratio=(0.5, 2.0))
    for _ in range(50):
        top, left, h, w = crop.crop(60, 80, rng)
        assert 0.2 <= h * w / 4800 <= 0.55 and 0.4 <= w / h <= 2.5
        assert 0 <= top <= 60 - h and 0 <= left <= 80 - w
    # No part of 2x the area fits: the largest centred part within the ratio range.
    wide = RandomResizedCrop(8, scale=(2.0, 2.0))
    assert wide.crop(10, 100, rng) == (0, 43, 10, 13)
    assert wide.crop(100, 10, rng) == (43, 0, 13, 10)
    assert wide.crop(40, 50, rng) == (0, 0, 40, 50)
    # A mirrored identity crop reverses the columns.
    M = RandomResizedCrop((10, 100), scale=(2.0, 2.0), ratio=(10, 10), flip=1.0).params(10, 100, rng)
    assert M[:5] == (0, 0, 10, 100, True)
    np.testing.assert_allclose(M.matrix, [[-1, 0, 99], [0, 1, 0]])
    # Turned by 90 degrees about the centre: the crop's centre stays, its x axis points up.
    M = RandomResizedCrop(9, scale=(2.0, 2.0), ratio=(1, 1), flip=0, degrees=(90, 90)).params(9, 9, rng)
    np.testing.assert_allclose(M @ [4, 4, 1], [4, 4], atol=1e-12)
    np.testing.assert_allclose(M[:, :2], [[0, 1], [-1, 0]], atol=1e-12)


@pytest.mark.parametrize("layout", ["NCHW", "NHWC"])
@pytest.mark.parametrize("dtype", ["float16", "float32"])
@pytest.mark.parametrize("shape", [(2, 5, 7, 3), (3, 1, 1, 1), (1, 4, 4, 4)])  # pixels a thread takes, and a tail
def test_pack_scales_normalises_and_lays_out(layout, dtype, shape):
    batch = np.random.default_rng(1).integers(0, 256, shape, dtype=np.uint8)
    mean, std = np.linspace(0.3, 0.6, shape[3]), np.linspace(0.2, 0.3, shape[3])
    got = cp.asnumpy(pack(cp.asarray(batch), layout, dtype, mean, std))
    expected = ((batch / 255 - mean) / std).astype(dtype)
    np.testing.assert_allclose(got, expected.transpose(0, 3, 1, 2) if layout == "NCHW" else expected,
                               rtol=1e-3 if dtype == "float16" else 1e-6, atol=1e-3 if dtype == "float16" else 1e-6)


def test_an_eval_batch_is_resize_crop_and_pack_called_directly(folder):
    transform = ResizeCenterCrop(20, resize_size=26)
    mean, std = (0.4, 0.5, 0.6), (0.2, 0.25, 0.3)
    loader = Loader(folder, 8, output="cupy", transform=transform, mean=mean, std=std)
    (images, _), = batches(loader)
    for k, (path, _) in enumerate(folder.samples):
        source = decode(path)
        h, w = source.shape[:2]
        dsize = (26, int(26 * h / w)) if w <= h else (int(26 * w / h), 26)
        resized = cp.asnumpy(resize(cp.asarray(source), dsize, transform.interpolation))
        top, left = int(round((dsize[1] - 20) / 2)), int(round((dsize[0] - 20) / 2))
        crop = resized[top:top + 20, left:left + 20].astype(np.float64) / 255
        expected = ((crop - mean) / std).transpose(2, 0, 1)
        np.testing.assert_allclose(images[k], expected, atol=1e-5)


@pytest.mark.parametrize("on_error", ["skip", "replace", "raise"])
def test_a_bad_file_is_reported_and_skipped_replaced_or_raised(folder, tmp_path, on_error):
    bad, missing = tmp_path / "bad.jpg", tmp_path / "missing.jpg"
    bad.write_bytes(b"\xff\xd8 not a jpeg")
    samples = folder.samples[:2] + [(str(bad), 1), (str(missing), 0)] + folder.samples[2:5]
    loader = Loader(ImageList(samples), 4, output="cupy", transform=ResizeCenterCrop(8), on_error=on_error)
    if on_error == "raise":
        with pytest.raises(RuntimeError, match="bad.jpg: not an image"):
            batches(loader)
        return
    with pytest.warns(RuntimeWarning) as caught:
        got = batches(loader)
    messages = sorted(str(w.message) for w in caught)
    assert "bad.jpg: not an image that can be decoded" in messages[0] and "missing.jpg: " in messages[1]
    assert set(loader.skipped) == {str(bad), str(missing)}
    sizes = [len(labels) for _, labels in got]
    assert sizes == ([2, 3] if on_error == "skip" else [4, 3])
    if on_error == "replace":  # the nearest good image of the batch, with its label
        assert got[0][1].tolist() == [samples[0][1], samples[1][1], samples[1][1], samples[1][1]]


def test_a_small_model_trains_over_a_folder(tmp_path):
    folder = ImageFolder(make_folder(tmp_path, ["dark", "light"], per_class=4))
    loader = Loader(folder, 4, shuffle=True, transform=RandomResizedCrop(16, scale=(0.5, 1.0)),
                    mean=(0.485, 0.456, 0.406), std=(0.229, 0.224, 0.225), threads=2)
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Conv2d(3, 4, 3), torch.nn.AdaptiveAvgPool2d(1), torch.nn.Flatten(),
                                torch.nn.Linear(4, 2))
    optimiser = torch.optim.SGD(model.parameters(), lr=0.5)
    losses = []
    for epoch in range(4):
        loader.set_epoch(epoch)
        for images, labels in loader:
            assert images.shape[1:] == (3, 16, 16) and images.dtype == torch.float32
            loss = torch.nn.functional.cross_entropy(model(images), labels)
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            losses.append(loss.item())
    assert len(losses) == 8 and all(np.isfinite(losses))
    assert np.mean(losses[-2:]) < np.mean(losses[:2])


def test_a_training_batch_is_a_few_launches_on_the_callers_stream_with_no_host_wait(folder):
    from cupy import _hostdevice

    loader = Loader(folder, 8, shuffle=True, output="cupy", transform=RandomResizedCrop(16), dtype="float16",
                    mean=0.5, std=0.25)
    next(iter(loader))  # kernels compiled, constants on the device
    with cp.cuda.Stream() as stream:
        _hostdevice.clear()
        before = _hostdevice.launch_count()
        next(iter(loader))
    launched = list(_hostdevice.launches)  # not one per image: the resize's weights, its two passes, the packing
    assert _hostdevice.launch_count() - before == len(launched) <= 4, [launch.name for launch in launched]
    assert {launch.stream for launch in launched} == {stream.ptr}
    assert [e for e in _hostdevice.events if e[0] == "synchronize"] == []


def jitter_reference(image, factors):
    """The colour jitter in NumPy float32: the operations in their order, each clamped, rounded at the end."""
    v = image.astype(np.float32)
    weights = np.array([0.2989, 0.587, 0.114], np.float32)
    for op in (int(factors[3]) >> shift & 3 for shift in (0, 2, 4)):
        f = np.float32(factors[op])
        grey = (v * weights).sum(axis=-1, keepdims=True)
        blend = np.float32(0) if op == 0 else np.float32(grey.mean(dtype=np.float64)) if op == 1 else grey
        v = np.clip(f * v + (np.float32(1) - f) * blend, 0, 255)
    return np.floor(v + 0.5).astype(np.uint8)


def test_colour_jitter_follows_the_warp_in_one_more_launch_the_same_whatever_the_threads(folder):
    from cupy import _hostdevice

    transform = ColorJitter(RandomResizedCrop((20, 28), scale=(0.2, 1.0)), brightness=0.5, contrast=(0.2, 1.8),
                            saturation=0.6)

    def run(threads):
        loader = Loader(folder, 8, seed=3, threads=threads, output="cupy", transform=transform, layout="NHWC",
                        dtype="uint8")
        _hostdevice.clear()
        got = batches(loader)
        return got, [launch.name for launch in _hostdevice.launches]

    (images, _), = run(1)[0]
    (again, _), = run(3)[0]
    np.testing.assert_array_equal(images, again)
    launches = run(2)[1]
    assert "jitter" in launches[-1] and sum("jitter" in name for name in launches) == 1  # no packing for uint8 NHWC
    orders = set()
    for place, (path, _) in enumerate(folder.samples):
        source = decode(path)
        params, factors = transform.params(*source.shape[:2], Loader(folder, 8, seed=3).rng(place))
        orders.add(int(factors[3]))
        warped = cp.asnumpy(single(transform.transform, source, params))
        # The kernel's mean grey is summed in another order than NumPy's: a level apart at most.
        np.testing.assert_allclose(images[place], jitter_reference(warped, factors), atol=1)
    assert len(orders) > 1


@pytest.mark.parametrize("kwargs", [{"brightness": -0.1}, {"contrast": (1.5, 0.5)}, {"saturation": (1, 2, 3)}])
def test_colour_jitter_refuses_bad_ranges(kwargs):
    with pytest.raises(ValueError, match="ColorJitter: " + next(iter(kwargs))):
        ColorJitter(RandomResizedCrop(8), **kwargs)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """JPEGs large enough to be decoded reduced for small outputs: smooth colours, one grey, one PNG."""
    root = tmp_path_factory.mktemp("large")
    rng = np.random.default_rng(1)
    for i, (h, w) in enumerate([(200, 160), (130, 250), (97, 121)]):
        image = cv2.resize(rng.integers(0, 256, (5, 6, 3), dtype=np.uint8), (w, h), interpolation=cv2.INTER_CUBIC)
        cv2.imwrite(str(root / f"{i}.jpg"), image)
    cv2.imwrite(str(root / "grey.jpg"), cv2.resize(rng.integers(0, 256, (4, 4), dtype=np.uint8), (180, 120)))
    cv2.imwrite(str(root / "still.png"), cv2.resize(rng.integers(0, 256, (4, 4, 3), dtype=np.uint8), (90, 64)))
    return ImageList([(str(p), k) for k, p in enumerate(sorted(root.iterdir()))])


@pytest.mark.parametrize("transform", [RandomResizedCrop(16, scale=(0.3, 1.0), degrees=10),
                                       ResizeCenterCrop(24, resize_size=30)])
def test_pillow_decodes_reduced_where_the_transform_shrinks_enough(large, transform):
    from PIL import Image

    loader = Loader(large, 8, seed=2, output="cupy", transform=transform, layout="NHWC", dtype="uint8",
                    decoder="pillow")
    (images, labels), = batches(loader)
    full, = batches(Loader(large, 8, seed=2, output="cupy", transform=transform, layout="NHWC", dtype="uint8"))
    scales = []
    for place, (path, _) in enumerate(large.samples):
        with Image.open(path) as im:
            width, height = im.size
            params = transform.params(height, width, loader.rng(place))
            scale = next((s for s in (8, 4, 2) if s <= transform.reduction(params, height, width)), 1)
            if path.endswith(".jpg") and scale > 1:
                im.draft("RGB", (width // scale, height // scale))
            else:
                scale = 1
            reduced = np.asarray(im.convert("RGB"))
        scales.append(scale)
        out = cp.empty((1, *transform.size, 3), cp.uint8)
        transform.apply([cp.asarray(reduced)], [transform.reduced(params, scale) if scale > 1 else params], out)
        np.testing.assert_array_equal(images[place], cp.asnumpy(out[0]))
        # Reduced or not, the same picture as the full decode's within JPEG's and the filter's differences.
        assert np.abs(images[place].astype(int) - full[0][place].astype(int)).mean() < 6
    assert max(scales) >= 4 and scales[-1] == 1


def test_the_device_decoder_gives_the_cpu_batches_and_falls_back_without_the_codec(folder, tmp_path, monkeypatch):
    bad = tmp_path / "bad.jpg"
    bad.write_bytes(b"\xff\xd8 not a jpeg")
    samples = ImageList(folder.samples[:3] + [(str(bad), 1)] + folder.samples[3:6])
    transform = ColorJitter(RandomResizedCrop(12), brightness=0.3)

    def run(decoder):
        with pytest.warns(RuntimeWarning) as caught:
            loader = Loader(samples, 4, shuffle=True, output="cupy", transform=transform, decoder=decoder,
                            on_error="replace")
            return batches(loader), loader, [str(w.message) for w in caught]

    cpu, _, _ = run("opencv")
    device, loader, messages = run("device")
    assert loader.decoder == "device" and any("bad.jpg: not an image" in m for m in messages)
    assert all(np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]) for a, b in zip(cpu, device))
    monkeypatch.setitem(sys.modules, "nvidia.nvimgcodec", None)
    fallback, loader, messages = run("device")
    assert loader.decoder == "opencv" and "decoding on the CPU with OpenCV" in messages[0]
    assert all(np.array_equal(a[0], b[0]) for a, b in zip(cpu, fallback))
