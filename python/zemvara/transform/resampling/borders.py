"""The border modes of the warps: one row each. Everything else is derived from this table.

A row names the mode's constant in `zemvara.transform.warp`, its value (as
OpenCV numbers it), a diagram of what the taps beyond the edges of a row
`abcdefgh` read (as OpenCV's documentation draws it), the same in words, the
fold its taps beyond an edge follow (one of `FOLDS`), and whether the mode
needs a `dst` to keep (such a mode is refused without one, and left out of
`docs/warp.png` and of the tests that warp into new arrays).

Derived from it: the warp module's constants, its stub's and the message that
names the accepted modes; the kernels' constants and their switches over the
modes (`KERNEL_CODE`, compiled in front of `_warp.cu`, which defines
each fold's rule); the tiled warp's windows; the README table; the tests and
their reference; the picture. Each of them dispatches on a row's fold and
refuses, by the mode's name, a fold it has no rule for.

Adding a border mode: a row here; a new fold also needs its rule in each
place above ("Adding a border mode" in docs/developing.md has the recipe).
"""

from typing import NamedTuple


class Border(NamedTuple):
    name: str  # "BORDER_REFLECT"
    value: int  # 2
    diagram: str  # "fedcba|abcdefgh|hgfedcb"
    reads: str  # what a tap beyond the edge reads, in words
    fold: str  # where a tap beyond an edge reads: a name of FOLDS
    needs_dst: bool = False  # pixels outside the source keep what dst holds


# Where a tap i beyond an edge of an axis of n pixels reads, by name: the rule
# each border mode's taps follow (its row's `fold`).
FOLDS = {
    "constant": "no pixel: the tap reads the fill",
    "clamp": "the edge pixel",
    "mirror": "the mirror image about the edge, the edge pixel repeated (period 2n)",
    "mirror-101": "the mirror image about the edge pixel (period 2n - 2; an axis of one pixel: that pixel)",
    "wrap": "the opposite side (period n)",
}


BORDERS = (
    Border("BORDER_CONSTANT", 0, "iiiiii|abcdefgh|iiiiiii",
           "`border_value` (i): one number for every channel, or one per channel", "constant"),
    Border("BORDER_REPLICATE", 1, "aaaaaa|abcdefgh|hhhhhhh", "the edge pixel", "clamp"),
    Border("BORDER_REFLECT", 2, "fedcba|abcdefgh|hgfedcb", "the mirror image, edge repeated", "mirror"),
    Border("BORDER_WRAP", 3, "cdefgh|abcdefgh|abcdefg", "the opposite side", "wrap"),
    Border("BORDER_REFLECT_101", 4, "gfedcb|abcdefgh|gfedcba", "the mirror image about the edge pixel", "mirror-101"),
    Border("BORDER_TRANSPARENT", 5, "uvwxyz|abcdefgh|ijklmno",
           "nothing: pixels whose position lies outside the source keep what `dst` holds (`dst` required; "
           "taps near the edge as `BORDER_REFLECT_101`)", "mirror-101", needs_dst=True),
)  # fmt: skip

BY_NAME = {row.name: row for row in BORDERS}
VALUES = tuple(row.value for row in BORDERS)



def row_of(value):
    """The row of a mode's value in the table as it stands; None for a value it does not hold."""
    return next((row for row in BORDERS if row.value == value), None)


def check_fold(row, known, who, where):
    """Refuse, by the mode's name, a row whose fold is not among those `known` (the folds that
    `where` has a rule for)."""
    if row.fold not in known:
        raise ValueError(f"{who}: border mode {row.name} folds its taps by {row.fold!r}, which has no rule in "
                         f"{where}; known: {', '.join(known)}")


def _c_name(fold):
    return fold.replace("-", "_")


def _cases(rows, fold_call, default):
    """A switch over the modes, one body per fold (modes of one fold share it)."""
    by_fold = {}
    for row in rows:
        by_fold.setdefault(row.fold, []).append(row.name)
    lines = ["    switch (border) {"]
    for fold, names in by_fold.items():
        if fold == "constant":  # taken by the default
            continue
        lines += [f"    case {name}:" for name in names] + [f"        return {fold_call(_c_name(fold))};"]
    return "\n".join(lines + ["    default:", f"        return {default};", "    }"])


def _any_of(rows):
    return " || ".join(f"border == {row.name}" for row in rows) or "false"


def kernel_code(rows=None):
    """The code compiled in front of the warp source: the modes' constants and the functions over a
    mode that its row's fold and `needs_dst` give. `_warp.cu` defines each fold's
    `fold_<fold>` (the source index of a tap beyond the edge) and `far_<fold>` (a position far
    outside moved to one that reads the same pixels)."""
    rows = BORDERS if rows is None else rows
    for row in rows:
        check_fold(row, FOLDS, "kernel_code", "the warp kernels")
    folds = [_c_name(f) for f in FOLDS if f != "constant"]
    return "\n".join([
        "namespace zemvara {",
        "enum { " + ", ".join(f"{row.name} = {row.value}" for row in rows) + " };",
        "",
        "// Each fold's rules, defined in the warp source.",
        *(f"__device__ __forceinline__ int fold_{f}(int i, int n);" for f in folds),
        *(f"__device__ __forceinline__ float far_{f}(float p, int n, float reach);" for f in folds),
        "",
        "// The source index a tap i outside 0 .. n - 1 reads under a border mode;",
        "// -1 for the fill. Kept out of line: only taps beyond an edge call it, and",
        "// the tap loop stays short.",
        "__device__ __noinline__ int border_index_outside(int i, int n, int border) {",
        _cases(rows, lambda f: f"fold_{f}(i, n)", "-1"),
        "}",
        "",
        "// A position p far beyond an axis of n pixels moved to one whose taps, reach",
        "// on each side, read the same pixels (any position, for the fill).",
        "__device__ __forceinline__ float border_far(float p, int n, float reach, int border) {",
        _cases(rows, lambda f: f"far_{f}(p, n, reach)", "far_clamp(p, n, reach)"),
        "}",
        "",
        "// Whether a mode's taps beyond the edge read the fill.",
        "__device__ __forceinline__ bool border_fills(int border) {",
        f"    return {_any_of([row for row in rows if row.fold == 'constant'])};",
        "}",
        "",
        "// Whether a pixel whose position lies outside the source keeps what dst holds.",
        "__device__ __forceinline__ bool border_keeps_dst(int border) {",
        f"    return {_any_of([row for row in rows if row.needs_dst])};",
        "}",
        "}  // namespace zemvara",
        "",
    ])


# The kernels' constants and switches, compiled in front of the warp source.
KERNEL_CODE = kernel_code()


def accepted_names():
    """The modes as a message names them: "BORDER_CONSTANT (0), BORDER_REPLICATE, ... or BORDER_TRANSPARENT (5)"."""
    names = [row.name for row in BORDERS]
    names[0] += f" ({BORDERS[0].value})"
    names[-1] += f" ({BORDERS[-1].value})"
    return ", ".join(names[:-1]) + " or " + names[-1]


def stub_line(row):
    """The line of the warp module's stub that declares a mode's constant."""
    return f"{row.name}: int = {row.value}  # {row.diagram}: {row.reads}"


def readme_row(row):
    """The row of the README's table of border modes."""
    diagram = row.diagram.replace("|", "\\|")
    return f"| `{row.name}` | {row.value} | `{diagram}` | {row.reads} |"
