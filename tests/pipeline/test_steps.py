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
