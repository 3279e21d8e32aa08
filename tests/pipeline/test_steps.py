"""Pipelines built from step objects: where Load and Store may stand, and the warp's filter."""

import cupy as cp
import numpy as np
import pytest

from zemvara.pipeline import Convert, Load, Pipeline, Resize, Store, UsageError, Warp


def test_load_and_store_set_the_ends_and_nowhere_else():
    pipeline = Pipeline.of([Load(dtype="uint8"), "resize:8x6", Convert("float16"), Store(param=80)])
    assert pipeline == Pipeline((Resize((8, 6)), Convert("float16")), Load(dtype="uint8"), Store(param=80))
    for misplaced in ([Resize((8, 6)), Load()], [Store(), Resize((8, 6))], ["resize:8x6", 42]):
        with pytest.raises(UsageError, match="cannot stand there"):
            Pipeline.of(misplaced)


@pytest.mark.parametrize("matrix, auto", [
    ([[0.5, 0.1, 1.0], [0.0, 0.5, 2.0]], "INTER_AREA"),
    ([[2.0, 0.0, 0.0], [0.0, 0.5, 0.0]], "INTER_MITCHELL"),
    ([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [1e-3, 0.0, 1.0]], "INTER_AREA"),
])
def test_warp_runs_the_warp_module_with_inter_auto_resolved(matrix, auto):
    from zemvara.transform import schema, warp

    image = cp.asarray(np.random.default_rng(1).uniform(0, 1, (20, 30, 3)).astype(np.float32))
    step = Warp(matrix, (12, 8))                                       # dsize is (width, height)
    function = warp.warp_affine if len(matrix) == 2 else warp.warp_perspective
    expected = function(image, np.array(matrix), (12, 8), flags=getattr(schema, auto))
    out = step(image)
    assert out.shape == (8, 12, 3) and bool(cp.array_equal(out, expected))


def test_step_table_is_what_the_parser_help_and_readme_use():
    from pathlib import Path

    from click.testing import CliRunner

    from zemvara.pipeline.cli import main
    from zemvara.pipeline.steps import STEPS, parse_step

    forms = [f"{form.name}:{form.syntax}" for form in STEPS]
    helped = " ".join(CliRunner().invoke(main, ["run", "--help"], terminal_width=1000).output.split())
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    with pytest.raises(UsageError) as unknown:
        parse_step("blur:3")
    for form in forms:
        # the README's step table escapes the pipes inside its cells
        assert form in helped and "`{}`".format(form.replace("|", "\\|")) in readme and form in str(unknown.value)
    examples = {"resize": "8x6", "fit": "8x6", "upscale": __file__, "convert": "uint8"}
    assert sorted(examples) == sorted(form.name for form in STEPS)
    assert [type(parse_step(f"{name}:{arg}")).__name__ for name, arg in examples.items()] == [
        "Resize", "Fit", "Upscale", "Convert"]


@pytest.mark.parametrize("step, size", [
    ("resize:12x", (12, 8)), ("resize:x10", (15, 10)), ("resize:7x9", (7, 9)),
    ("fit:12x12", (12, 8)), ("fit:60x10", (15, 10)), ("fit:3x1000", (3, 2)), ("fit:1x1", (1, 1)),
    ("fit:60x60", (30, 20)), ("fit:60x60:up", (60, 40)), ("fit:60x60:UP", (60, 40)),
])
def test_one_side_and_fit_keep_the_aspect_ratio(step, size):
    from zemvara.pipeline import parse_steps

    image = cp.asarray(np.random.default_rng(2).integers(0, 255, (20, 30, 3), dtype=np.uint8))
    out = parse_steps(step)[0](image)
    assert (out.shape[1], out.shape[0]) == size and out.dtype == cp.uint8


@pytest.mark.parametrize("text, size, pil_filter", [
    ("resize:17x:pil-lanczos", (17, 11), 1), ("fit:12x60:up:pil", (12, 8), 3), ("resize:7x9:PIL-Box", (7, 9), 4),
])  # fmt: skip
def test_pil_option_gives_pillows_bytes_whole_and_tiled(text, size, pil_filter):
    """`:pil[-FILTER]` (bicubic by default): Pillow's bytes on the device and tile by tile; 16-bit images go
    to Pillow's float mode, and a JPEG is not decoded at reduced scale before it."""
    from PIL import Image

    from zemvara.pipeline import parse_steps
    from zemvara.pipeline.steps import contract_of

    picture = np.random.default_rng(3).integers(0, 256, (20, 30, 3), dtype=np.uint8)
    step = parse_steps(text)[0]
    contract = contract_of(step)
    want = np.asarray(Image.fromarray(picture).resize(size, pil_filter))
    assert np.array_equal(cp.asnumpy(step(cp.asarray(picture))), want)
    assert np.array_equal(contract.tiled(picture, picture.shape, 20_000, None, None), want)
    assert contract.takes == ("float32", "uint8") and not contract.rescales and contract.over_list is None


@pytest.mark.parametrize("text", ["resize:" + "9" * 5000 + "x4", "fit:16777216x4", "resize:x", "fit:12x",
                                  "resize:0x3", "resize:１２x3", "convert:int8", "fit:60x60:down",
                                  "resize:8x6:pil-sinc", "fit:8x6:pil:up"])
def test_sizes_the_kernels_cannot_take_are_usage_errors(text):
    from zemvara.pipeline import parse_steps

    with pytest.raises(UsageError):
        parse_steps(text)


def _exif_png(path, picture, orientation):
    from PIL import Image

    exif = Image.Exif()
    exif[0x0112] = orientation
    Image.fromarray(picture).save(path, exif=exif.tobytes())


@pytest.mark.parametrize("orientation", range(1, 9))
def test_load_turns_images_upright_by_their_exif_orientation(tmp_path, orientation):
    from PIL import Image, ImageOps

    picture = np.random.default_rng(orientation).integers(0, 255, (5, 7, 3), dtype=np.uint8)
    path = str(tmp_path / "shot.png")
    _exif_png(path, picture, orientation)
    upright = np.asarray(ImageOps.exif_transpose(Image.open(path)))[:, :, ::-1]   # RGB -> BGR
    loaded = Load()(path)
    assert loaded.dtype == cp.uint8 and loaded.flags.c_contiguous
    np.testing.assert_array_equal(cp.asnumpy(loaded), upright)
    np.testing.assert_array_equal(cp.asnumpy(Load(exif=False)(path)), picture[:, :, ::-1])


def test_a_tiff_past_pillows_pixel_limit_keeps_its_orientation_and_profile(tmp_path, monkeypatch):
    import tifffile
    from PIL import Image, ImageCms

    from zemvara.pipeline.reading import Header, header

    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()
    path = str(tmp_path / "huge.tif")
    tifffile.imwrite(path, np.zeros((20, 30, 3), np.uint8), photometric="rgb",
                     extratags=[(274, "H", 1, 6, True), (34675, "B", len(icc), icc, True)])
    assert header(path) == Header(6, icc)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)  # 600 pixels: over twice the limit, as 179 MP are
    assert header(path) == Header(6, icc)


@pytest.mark.parametrize("kind", ["plain", "exif", "icc", "jpeg named png", "truncated"])
def test_a_png_header_gives_what_pillow_reads(tmp_path, kind):
    """Orientation and profile of files named .png, whether or not their chunks hold either."""
    from PIL import Image, ImageCms, PngImagePlugin

    from zemvara.pipeline.reading import Header, header

    text = PngImagePlugin.PngInfo()
    text.add_text("Comment", "a chunk before the pixels")
    exif = Image.Exif()
    exif[0x0112] = 6
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()
    saves = {"plain": dict(format="PNG", pnginfo=text), "exif": dict(format="PNG", pnginfo=text, exif=exif),
             "icc": dict(format="PNG", icc_profile=icc), "jpeg named png": dict(format="JPEG", exif=exif),
             "truncated": dict(format="PNG", pnginfo=text)}  # fmt: skip
    path = tmp_path / "a.png"
    Image.fromarray(np.full((6, 5, 3), 90, np.uint8)).save(path, **saves[kind])
    if kind == "truncated":
        path.write_bytes(path.read_bytes()[:40])  # ends inside the text chunk
    turn = 6 if kind in ("exif", "jpeg named png") else 1
    assert header(str(path)) == Header(turn, icc if kind == "icc" else None)


@pytest.mark.parametrize("kept_most", [1 << 20, 100])  # files read into the thread's kept buffer, or not
def test_each_file_decodes_from_its_own_bytes_after_a_larger_one(tmp_path, monkeypatch, kept_most):
    import cv2

    from zemvara.pipeline import reading

    monkeypatch.setattr(reading, "_KEPT_BUFFER_MOST", kept_most)
    big = np.random.default_rng(0).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    small = np.full((8, 8, 3), 7, np.uint8)
    cv2.imwrite(str(tmp_path / "big.png"), big)
    cv2.imwrite(str(tmp_path / "small.png"), small)
    whole = (tmp_path / "small.png").read_bytes()
    (tmp_path / "cut.png").write_bytes(whole[:-12])  # without its IEND chunk, which the larger file's bytes hold
    np.testing.assert_array_equal(reading.read(str(tmp_path / "big.png")), big)
    np.testing.assert_array_equal(reading.read(str(tmp_path / "small.png")), small)
    reading.read(str(tmp_path / "big.png"))
    with pytest.raises(RuntimeError, match="truncated"):
        reading.read(str(tmp_path / "cut.png"))


@pytest.mark.parametrize("how", ["run", "batch", "cli"])
def test_resampling_steps_take_linear_light_and_weigh_colour_by_alpha(tmp_path, how):
    """A checkerboard reduced in linear light is its mean in light (188, not 128); a red square on a
    transparent green background, fitted and warped, shows no green where anything shows."""
    import cv2

    from zemvara.pipeline import execution

    board = (np.indices((64, 64)).sum(0) % 2 * 255).astype(np.uint8)
    square = np.zeros((64, 64, 4), np.uint8)
    square[...] = (0, 255, 0, 0)  # BGRA
    square[20:44, 20:44] = (0, 0, 255, 255)
    cv2.imwrite(str(tmp_path / "board.png"), board)
    cv2.imwrite(str(tmp_path / "square.png"), square)
    c, si = np.cos(0.2), np.sin(0.2)  # a rotation about the centre of the 16 x 16 fitted image
    turn = Warp([[c, -si, 7.5 - 7.5 * c + 7.5 * si], [si, c, 7.5 - 7.5 * si - 7.5 * c]], (16, 16))
    steps = ["fit:16x16", turn]
    inputs, out = [str(tmp_path / "board.png"), str(tmp_path / "square.png")], str(tmp_path / "out")
    if how == "cli":
        from click.testing import CliRunner

        from zemvara.pipeline.cli import main

        result = CliRunner().invoke(main, ["run", *inputs, "--out", out, "--steps", "fit:16x16", "--linear",
                                           "--no-progress"])  # fmt: skip
        assert result.exit_code == 0, result.output
    else:
        report = execution.run(inputs, out, steps, progress=False, linear=True, batch=2 if how == "batch" else None)
        assert len(report["written"]) == 2
    grey = cv2.imread(str(tmp_path / "out" / "board.png"), cv2.IMREAD_UNCHANGED)
    assert np.abs(grey[4:-4, 4:-4].astype(int) - 188).max() <= 1
    got = cv2.imread(str(tmp_path / "out" / "square.png"), cv2.IMREAD_UNCHANGED)
    assert got[..., 1][got[..., 3] > 0].max() == 0 and (got[..., 3] == 255).any()
    with pytest.raises(UsageError, match="linear"):
        execution.run(inputs, out, steps, linear="yes")
