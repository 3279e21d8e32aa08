"""The border modes of the warps: one row each. Everything else is derived from this table.

A row names the mode's constant in `zemvara.transform.warp`, its value (as
OpenCV numbers it), a diagram of what the taps beyond the edges of a row
`abcdefgh` read (as OpenCV's documentation draws it), the same in words, and
whether the mode needs a `dst` to keep (such a mode is refused without one,
and left out of `docs/warp.png` and of the tests that warp into new arrays).

Derived from it: the warp module's constants, its stub's and the message that
names the accepted modes; the kernels' constants (`KERNEL_CODE`, compiled in
front of `_border_warp.cu`, whose `border_index_outside` and `warp_axis`
implement each mode); the README table; the tests and their reference; the
picture.

Adding a border mode: a row here, its case in `_border_warp.cu` and in the
tests' reference (`tests/transform/warp_reference.py`); "Adding a border
mode" in docs/developing.md has the whole recipe.
"""

from typing import NamedTuple


class Border(NamedTuple):
    name: str  # "BORDER_REFLECT"
    value: int  # 2
    diagram: str  # "fedcba|abcdefgh|hgfedcb"
    reads: str  # what a tap beyond the edge reads, in words
    needs_dst: bool = False  # pixels outside the source keep what dst holds


BORDERS = (
    Border("BORDER_CONSTANT", 0, "iiiiii|abcdefgh|iiiiiii",
           "`border_value` (i): one number for every channel, or one per channel"),
    Border("BORDER_REPLICATE", 1, "aaaaaa|abcdefgh|hhhhhhh", "the edge pixel"),
    Border("BORDER_REFLECT", 2, "fedcba|abcdefgh|hgfedcb", "the mirror image, edge repeated"),
    Border("BORDER_WRAP", 3, "cdefgh|abcdefgh|abcdefg", "the opposite side"),
    Border("BORDER_REFLECT_101", 4, "gfedcb|abcdefgh|gfedcba", "the mirror image about the edge pixel"),
    Border("BORDER_TRANSPARENT", 5, "uvwxyz|abcdefgh|ijklmno",
           "nothing: pixels whose position lies outside the source keep what `dst` holds (`dst` required; "
           "taps near the edge as `BORDER_REFLECT_101`)", needs_dst=True),
)  # fmt: skip

BY_NAME = {row.name: row for row in BORDERS}
VALUES = tuple(row.value for row in BORDERS)

# The kernels' constants, compiled in front of the warp source.
KERNEL_CODE = (
    "namespace zemvara {\nenum { "
    + ", ".join(f"{row.name} = {row.value}" for row in BORDERS)
    + " };\n}  // namespace zemvara\n"
)


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
