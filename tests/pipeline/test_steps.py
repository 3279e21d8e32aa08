"""Pipelines built from step objects: where Load and Store may stand, and the warp's fallback."""

import sys

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


def test_warp_without_the_warp_module_runs_affine_transform_and_refuses_perspective(monkeypatch):
    from zemvara.transform.affine import affine_transform
    from zemvara.transform.schema import INTER_LINEAR

    monkeypatch.setitem(sys.modules, "zemvara.transform.warp", None)   # as where it is not installed
    image = cp.asarray(np.random.default_rng(1).uniform(0, 1, (20, 30, 3)).astype(np.float32))
    matrix = [[0.5, 0.1, 1.0], [0.0, 0.5, 2.0]]
    out = Warp(matrix, (12, 8), INTER_LINEAR)(image)                    # dsize is (width, height)
    expected = affine_transform(image, np.array(matrix), (8, 12), INTER_LINEAR)
    assert out.shape == (8, 12, 3) and bool(cp.array_equal(out, expected))
    with pytest.raises(ValueError, match="perspective warp needs zemvara.transform.warp"):
        Warp([[1, 0, 0], [0, 1, 0], [1e-3, 0, 1]], (12, 8))(image)
