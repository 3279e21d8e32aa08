"""Border modes by their row's fold on every path (kernels, tiled windows, the reference); positions of any size."""

import cupy as cp
import numpy as np
import pytest

import warp_reference as wref
from zemvara.transform import tiled
from zemvara.transform import warp as W
from zemvara.transform.resampling import _sources, borders, filters, warping

RNG = np.random.default_rng(11)
SRC = RNG.random((9, 11, 3), dtype=np.float32)
# An inverse map whose taps reach well beyond every edge.
M = np.array([[0.8, 0.3, -6.0], [-0.2, 0.9, -5.0]])
FLAGS = W.INTER_LINEAR | W.WARP_INVERSE_MAP


class Kernels:
    """The warp source compiled with the code generated from a border table, as `_sources.WARP` serves it."""

    def __init__(self, code, rows):
        self.code, self.rows, self.kernels = code, rows, {}

    def function(self, expression):
        if expression not in self.kernels:
            code = self.code.replace(borders.KERNEL_CODE, borders.kernel_code(self.rows))
            module = cp.RawModule(code=code, options=_sources.OPTIONS, name_expressions=(expression,))
            self.kernels[expression] = module.get_function(expression)
        return self.kernels[expression]


@pytest.fixture
def table(monkeypatch):
    """Adds rows to the border table wherever the package holds it; the kernels are compiled from it."""

    def add(*rows):
        new = borders.BORDERS + rows
        monkeypatch.setattr(borders, "BORDERS", new)
        monkeypatch.setattr(borders, "VALUES", tuple(row.value for row in new))
        monkeypatch.setattr(warping, "BORDERS", borders.VALUES)
        monkeypatch.setattr(W, "WARP_BORDERS", new)
        monkeypatch.setattr(_sources, "WARP", Kernels(_sources.WARP.code, new))

    return add


def test_a_new_row_warps_by_its_fold_on_every_path(table):
    # A new row of each fold, and one that keeps dst, against the existing mode of that fold.
    like = {row.fold: row for row in borders.BORDERS if not row.needs_dst}
    keep = borders.BY_NAME["BORDER_TRANSPARENT"]
    pairs = [(like[f]._replace(name=f"BORDER_NEW_{k}", value=10 + k), like[f]) for k, f in enumerate(borders.FOLDS)]
    pairs.append((keep._replace(name="BORDER_NEW_KEEP", value=20), keep))
    table(*(new for new, _ in pairs))
    before = RNG.random((17, 20, 3), dtype=np.float32)
    for new, old in pairs:
        kept = (lambda: cp.asarray(before)) if new.needs_dst else (lambda: None)
        whole, same = (W.warp_affine(cp.asarray(SRC), M, (20, 17), FLAGS, row.value, 0.5, kept()).get()
                       for row in (new, old))  # fmt: skip
        np.testing.assert_array_equal(whole, same, err_msg=new.name)
        out = before.copy() if new.needs_dst else None
        result = tiled.warp_affine(SRC, M, (20, 17), FLAGS, new.value, 0.5, memory_budget=40_000, out=out)
        np.testing.assert_allclose(result, whole, atol=1e-6, err_msg=new.name)
        want = wref.warp(SRC, np.vstack([M, [0, 0, 1]]), (20, 17), "bilinear", new.value, 0.5, before)
        np.testing.assert_allclose(whole, want, atol=2e-5, err_msg=new.name)


def test_a_fold_without_a_rule_is_refused_by_name(table):
    ramp = borders.BY_NAME["BORDER_REFLECT"]._replace(name="BORDER_RAMP", value=10, fold="ramp")
    kept_wrap = borders.BY_NAME["BORDER_TRANSPARENT"]._replace(name="BORDER_KEPT_WRAP", value=11, fold="wrap")
    with pytest.raises(ValueError, match="border mode BORDER_RAMP folds its taps by 'ramp', which has no rule in "
                                         "the warp kernels"):  # fmt: skip
        borders.kernel_code(borders.BORDERS + (ramp,))
    table(ramp, kept_wrap)
    with pytest.raises(ValueError, match="BORDER_RAMP .* no rule in the tests' reference"):
        wref.border_index(np.arange(-3, 3), 5, ramp.value)
    for row, where in ((ramp, "the tiled warp"), (kept_wrap, "the tiled warp for a mode that keeps dst")):
        with pytest.raises(ValueError, match=f"^warp_affine: border mode {row.name} .* no rule in {where};"):
            tiled.warp_affine(SRC, M, (20, 17), FLAGS, row.value, out=np.zeros((17, 20, 3), np.float32))


# One filter of each kernel family.
FAMILY_FLAGS = [pytest.param(rows[0].inter, id=family) for family, rows in filters.FAMILIES.items()]


@pytest.mark.parametrize("inter", FAMILY_FLAGS)
@pytest.mark.parametrize("border", [row.name for row in borders.BORDERS])
def test_positions_of_any_size_read_within_the_source(border, inter):
    # Positions from 1e7 to 3e37, along one axis or both: every value within the source's
    # range (or the fill, or what dst held, each inside it too).
    maps = np.array([[[1e25, 0, 0], [0, 1e25, 0]], [[1e30, 0, 0], [0, 1e30, 0]],
                     [[-3e37, 2e37, 5.0], [0.0, 1.0, 1e7]], [[0.5, 0, 3e9], [0.3, -1e28, 2.0]]])  # fmt: skip
    src = cp.asarray(np.stack([0.25 + 0.5 * SRC] * len(maps)))
    dst = cp.full((len(maps), 6, 7, 3), 0.5, np.float32)
    got = W.warp_affine(src, maps, (7, 6), inter | W.WARP_INVERSE_MAP, getattr(W, border), 0.5, dst).get()
    assert 0.25 <= got.min() and got.max() <= 0.75
