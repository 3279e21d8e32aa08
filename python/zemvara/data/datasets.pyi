"""Datasets of image files: a folder with one subfolder per class, or a list of (path, label) pairs."""

import os
from typing import Iterable, List, Sequence, Tuple, Union

_Path = Union[str, os.PathLike[str]]

IMAGE_EXTENSIONS: Tuple[str, ...]  # the file name endings of a class folder's images (compared lower case)

class ImageList:
    """A dataset of (path, label) pairs given as they are."""

    samples: List[Tuple[str, int]]

    def __init__(self, samples: Iterable[Tuple[_Path, int]]) -> None:
        """Take a sequence of (path, label) pairs; paths are strings or path objects, labels ints.

        Raises ValueError for an item that is not a pair, TypeError for a label that is not an int.
        """

    def __len__(self) -> int:
        """The number of samples."""

    def __getitem__(self, index: int) -> Tuple[str, int]:
        """The (path, label) pair at index."""

class ImageFolder(ImageList):
    """The images under root/<class>/..., labelled by the class folders' sorted names.

    `classes` holds the class folders' names in sorted order and
    `class_to_idx` maps each to its label, its place in that order.
    """

    root: str
    classes: List[str]
    class_to_idx: dict[str, int]

    def __init__(self, root: _Path, extensions: Sequence[str] = IMAGE_EXTENSIONS) -> None:
        """Find every image under root's subfolders (symbolic links followed), in sorted order.

        Raises FileNotFoundError when root has no subfolder, or a class
        folder holds no file with one of `extensions`.
        """
