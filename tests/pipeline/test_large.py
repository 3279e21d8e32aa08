"""The batch road with a memory budget: TIFF inputs beyond it go tile by tile, other cases fail by name."""

import os

import cv2
import numpy as np
import pytest
import tifffile

from zemvara.pipeline import Resize, UsageError, Warp, run
from zemvara.pipeline import large
from zemvara.pipeline.large import parse_size
from test_keeps import PROFILES  # tests/pipeline/test_keeps.py

SHAPE = (600, 500, 3)  # 900,000 bytes: beyond a third of a 1 MB budget
BUDGET = 1_000_000


@pytest.fixture
def big_tiff(tmp_path):
    rng = np.random.default_rng(3)
    image = rng.integers(0, 256, SHAPE, dtype=np.uint8)
    path = tmp_path / "in" / "big.tif"
    path.parent.mkdir()
    tifffile.imwrite(path, image, photometric="rgb", tile=(128, 128))
    return path, image


@pytest.mark.parametrize("batch", [None, 2])
def test_small_result_is_stored_as_on_the_whole_image_road(tmp_path, big_tiff, monkeypatch, batch):
    path, _ = big_tiff
    steps = [Resize((150, 125))]
    whole = run([path], tmp_path / "whole", steps, ext=".png", progress=False)
    tiled_runs = []
    through = large.run_if_large
    monkeypatch.setattr(large, "run_if_large", lambda *a, **k: tiled_runs.append(through(*a, **k)) or tiled_runs[-1])
    tiled = run([path], tmp_path / "tiled", steps, ext=".png", progress=False, memory_budget=BUDGET, batch=batch)
    assert len(whole["written"]) == len(tiled["written"]) == 1 and tiled_runs == [True]
    a, b = (cv2.imread(str(tmp_path / folder / "big.png"), cv2.IMREAD_UNCHANGED) for folder in ("whole", "tiled"))
    np.testing.assert_array_equal(a, b)


def test_large_result_is_written_as_tiled_tiff_or_refused_by_name(tmp_path, big_tiff):
    path, image = big_tiff
    angle = np.radians(10)
    steps = [Warp(np.array([[np.cos(angle), -np.sin(angle), 60.0], [np.sin(angle), np.cos(angle), -20.0]]),
                  (520, 620), flags=1)]  # fmt: skip
    report = run([path], tmp_path / "out", steps, progress=False, memory_budget=BUDGET)
    assert len(report["written"]) == 1
    with tifffile.TiffFile(tmp_path / "out" / "big.tif") as tif:
        assert tif.pages[0].is_tiled
        result = tif.asarray()
    from zemvara.transform import tiled

    reference = tiled.warp_affine(image, steps[0].matrix, (520, 620), 1, memory_budget=10 << 20)
    assert np.abs(result.astype(np.int16) - reference).max() <= 1  # other tiles: positions rounded otherwise
    refused = run([path], tmp_path / "png", steps, ext=".png", progress=False, memory_budget=BUDGET)
    (failure,) = refused["failed"]
    assert "520 x 620 x 3 uint8 (0.92 MiB)" in failure["error"] and "1,000,000 bytes (0.95 MiB)" in failure["error"]


def test_command_line_takes_a_budget(tmp_path, big_tiff, monkeypatch):
    from click.testing import CliRunner

    from zemvara.pipeline.cli import main

    monkeypatch.chdir(tmp_path)
    done = CliRunner().invoke(main, ["run", "in", "--out", "out", "--steps", "resize:100x", "--ext", ".png",
                                     "--memory-budget", "1MB", "--no-progress"])  # fmt: skip
    assert done.exit_code == 0 and cv2.imread("out/big.png").shape == (120, 100, 3)
    refused = CliRunner().invoke(main, ["run", "in", "--out", "out", "--memory-budget", "lots"])
    assert refused.exit_code == 2 and "--memory-budget" in refused.output


@pytest.mark.parametrize("text, size", [("256MiB", 256 << 20), ("2G", 2 * 10**9), ("1.5gib", 3 << 29),
                                        ("1e6", 10**6), ("4096", 4096)])  # fmt: skip
def test_parse_size(text, size):
    assert parse_size(text) == size


def _kinds():
    rng = np.random.default_rng(5)
    rgb = rng.integers(0, 256, (600, 500, 3), dtype=np.uint8)
    alpha = rng.integers(0, 256, (600, 500, 1), dtype=np.uint8)
    return {
        "rgba": lambda p: tifffile.imwrite(p, np.dstack([rgb, alpha]), photometric="rgb", extrasamples=["unassalpha"]),
        "float": lambda p: tifffile.imwrite(p, rgb.astype(np.float32) / 100, photometric="rgb"),
        "two_samples": lambda p: tifffile.imwrite(p, np.dstack([rgb[..., :1], alpha]), photometric="minisblack",
                                                  extrasamples=["unassalpha"]),
        "two_pages": lambda p: tifffile.imwrite(p, np.stack([rgb, rgb[::-1]]), photometric="rgb"),
        "planar": lambda p: tifffile.imwrite(p, np.moveaxis(rgb, -1, 0), photometric="rgb", planarconfig="separate"),
        "adobe_rgb_profile": lambda p: tifffile.imwrite(p, rgb, photometric="rgb", iccprofile=PROFILES["adobe"],
                                                        rowsperstrip=600, compression="zlib"),
    }


@pytest.mark.parametrize("kind", list(_kinds()))
def test_tiled_road_gives_the_picture_of_the_whole_image_road(tmp_path, kind):
    source = tmp_path / "in" / f"{kind}.tif"
    source.parent.mkdir()
    _kinds()[kind](source)
    steps = [Resize((125, 150))]
    whole = run([source], tmp_path / "whole", steps, progress=False)
    tiled = run([source], tmp_path / "tiled", steps, progress=False, memory_budget=BUDGET)
    assert len(whole["written"]) == 1
    expected = tifffile.imread(tmp_path / "whole" / f"{kind}.tif")
    assert expected.shape == (150, 125, 4 if kind in ("rgba", "two_samples") else 3)
    assert expected.dtype == (np.float32 if kind == "float" else np.uint8)
    if kind == "planar":  # read right whole, refused by name tile by tile
        assert "interleaved" in tiled["failed"][0]["error"]
        return
    if kind in ("rgba", "two_samples"):  # resampled with colour weighted by alpha whole, refused tile by tile
        assert "alpha channel" in tiled["failed"][0]["error"] and not (tmp_path / "tiled" / f"{kind}.tif").exists()
        return
    np.testing.assert_allclose(tifffile.imread(tmp_path / "tiled" / f"{kind}.tif"), expected, atol=1e-5)


def test_a_killed_runs_scratch_is_removed_by_the_next_run(tmp_path):
    import subprocess
    import sys
    import tempfile

    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    stale = os.path.join(tempfile.gettempdir(), f"zemvara-large-{int(gone.stdout)}-test")
    live = os.path.join(tempfile.gettempdir(), f"zemvara-large-{os.getppid()}-test")
    for folder in (stale, live):
        os.makedirs(folder, exist_ok=True)
    cv2.imwrite(str(tmp_path / "a.png"), np.zeros((4, 4, 3), np.uint8))
    run([tmp_path / "a.png"], tmp_path / "out", progress=False, resume=True)
    assert not os.path.exists(stale) and os.path.isdir(live)
    os.rmdir(live)


@pytest.mark.parametrize("option", [dict(memory_budget=0), dict(memory_budget=-1), dict(memory_budget=1.5),
                                    dict(memory_budget=True), dict(memory_budget="lots"), dict(batch=2.5),
                                    dict(batch="3"), dict(batch=True), dict(threads=0), dict(workers=1.0)])
def test_malformed_options_are_refused_before_any_work(tmp_path, option):
    with pytest.raises(UsageError):
        run([tmp_path], tmp_path / "out", "resize:8x8", progress=False, **option)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("text", ["1e400", "0", "-5", "lots", "1.5x"])
def test_parse_size_refuses(text):
    with pytest.raises(UsageError):
        parse_size(text)


def test_a_budget_may_be_a_size_string(tmp_path, big_tiff):
    path, _ = big_tiff
    assert large.budget("1G") == 10**9
    assert len(run([path], tmp_path / "out", "resize:100x", ext=".png", progress=False, memory_budget="1MB")["written"]) == 1
