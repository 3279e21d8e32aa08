"""The resampling filters: one row each. Everything else is derived from this table.

A row names the filter, its kernel family (the module `resampling.<family>`
that exports `<family>_affine_kernel`), its interpolation constant, the CUDA
traits block in `_filters.cuh` that computes its weights, whether its support
widens on reduction, its support radius (in source pixels, at stretch 1), its
named parameters (passed to the traits block in the order given here) and a
margin added to the stretched radius (area: the source pixel's half-width).

A family's kernel takes as call arguments, after the seven common ones, the
parameters whose values differ among the family's rows (Mitchell-Netravali
`B`, `C`; Lanczos `A`); a parameter with one value is bound from the row.

Derived from it: the kernels' specialisations (`_sources`), `resize`, the
warp kernels' filters and the warp module's message (`warping`),
`affine_transform`'s dispatch of the rows its chain does not name
(`_affine.affine_call`), the tests' reference and the benchmark.

Adding a filter: a traits block in `_filters.cuh` and a row here (plus a
module `<family>.py` of two lines when the family is new); "Adding a filter"
in docs/developing.md says how to name its INTER_* value.
"""

from pathlib import Path
from typing import NamedTuple

from ..schema import (
    INTER_AREA,
    INTER_B_SPLINE,
    INTER_CATMULL_ROM,
    INTER_CUBIC,
    INTER_LANCZOS2,
    INTER_LANCZOS3,
    INTER_LANCZOS4,
    INTER_LINEAR,
    INTER_MITCHELL,
    INTER_NEAREST,
)

# The shared device code; a kernel source is compiled with it in front.
FILTERS_CODE = (Path(__file__).parent / "_filters.cuh").read_text()


class Param(NamedTuple):
    """A named filter parameter: its value in the row, and what a kernel call may pass instead."""

    name: str
    value: float
    kind: type = float  # int: an integer is required; float: any real number
    low: float = float("-inf")
    high: float = float("inf")


class Filter(NamedTuple):
    name: str  # "lanczos3"
    family: str  # kernel family and module: "lanczos"
    inter: int  # its INTER_* constant
    traits: str  # the C++ traits block: "zemvara::Lanczos"
    widens: bool  # support stretched by the reduction factor
    radius: float  # support radius at stretch 1, in source pixels
    params: tuple = ()  # Param, in the order the traits block takes them (at most two)
    margin: float = 0.0  # added to the stretched radius: area counts the source pixel's half-width

    def reach(self, spacing):
        """Taps i with |i - p| < reach can weigh, destination pixels lying `spacing` source pixels apart."""
        stretch = max(1.0, spacing) if self.widens else 1.0
        return self.radius * stretch + self.margin

    def values(self):
        """The parameters as the kernels take them: two float32-ready floats, zero-padded."""
        values = [float(p.value) for p in self.params]
        return tuple(values + [0.0] * (2 - len(values)))


KEYS_A = -0.75  # Keys' cubic convolution parameter, as OpenCV's bicubic uses it
LANCZOS_A = Param("A", 3, int, 1, 64)  # the window; the kernels accept 1..64

FILTERS = (
    Filter("nearest", "nearest", INTER_NEAREST, "zemvara::Nearest", False, 1.0),
    Filter("bilinear", "bilinear", INTER_LINEAR, "zemvara::Bilinear", False, 1.0),
    Filter("bicubic", "bicubic", INTER_CUBIC, "zemvara::Keys", True, 2.0, (Param("a", KEYS_A),)),
    Filter("area", "area", INTER_AREA, "zemvara::Area", True, 0.5, margin=0.5),
    Filter("mitchell", "mitchell", INTER_MITCHELL, "zemvara::MitchellNetravali", True, 2.0,
           (Param("B", 1 / 3), Param("C", 1 / 3))),
    Filter("catmull_rom", "mitchell", INTER_CATMULL_ROM, "zemvara::MitchellNetravali", True, 2.0,
           (Param("B", 0.0), Param("C", 0.5))),
    Filter("b_spline", "mitchell", INTER_B_SPLINE, "zemvara::MitchellNetravali", True, 2.0,
           (Param("B", 1.0), Param("C", 0.0))),
    Filter("lanczos2", "lanczos", INTER_LANCZOS2, "zemvara::Lanczos", True, 2.0, (LANCZOS_A._replace(value=2),)),
    Filter("lanczos3", "lanczos", INTER_LANCZOS3, "zemvara::Lanczos", True, 3.0, (LANCZOS_A._replace(value=3),)),
    Filter("lanczos4", "lanczos", INTER_LANCZOS4, "zemvara::Lanczos", True, 4.0, (LANCZOS_A._replace(value=4),)),
)  # fmt: skip

BY_NAME = {f.name: f for f in FILTERS}
BY_INTER = {f.inter: f for f in FILTERS}

# Kernel family -> its rows, in table order.
FAMILIES = {}
for _row in FILTERS:
    FAMILIES.setdefault(_row.family, []).append(_row)
FAMILIES = {family: tuple(rows) for family, rows in FAMILIES.items()}
del _row


def call_params(family):
    """The parameters a family's kernel takes as call arguments: those that differ among its rows."""
    rows = FAMILIES[family]
    return tuple(p for k, p in enumerate(rows[0].params) if len({r.params[k].value for r in rows}) > 1)


def accepted_names():
    """The filters as a message names them, by INTER_* value: "INTER_NEAREST, ..., INTER_LANCZOS2/3/4,
    ... or INTER_B_SPLINE"; names that differ only in a last digit share one entry."""
    from .. import schema

    constants = {v: k for k, v in vars(schema).items() if k.startswith("INTER_")}
    entries = {}  # name without its last digit (or the whole name) -> digits, in order of first value
    for row in sorted(FILTERS, key=lambda r: r.inter):
        name = constants[row.inter]
        stem, digit = (name[:-1], name[-1]) if name[-1].isdigit() else (name, "")
        entries.setdefault(stem, []).append(digit)
    names = [stem + "/".join(sorted(digits)) for stem, digits in entries.items()]
    return ", ".join(names[:-1]) + " or " + names[-1]
