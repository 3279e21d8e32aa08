"""Datasets of image files: a folder with one subfolder per class, or a list of (path, label) pairs.

A dataset is a sequence of (path, label) pairs; the loader reads and decodes
the files. Labels of a folder are the class folders' indices in sorted order
of their names, so a model trained here and one trained on the same folder
through PyTorch's usual folder dataset share their label numbers.
"""

import os

# The file name endings a class folder's images are recognised by (compared lower case).
IMAGE_EXTENSIONS = (".jpg", ".jpeg", ".png", ".ppm", ".bmp", ".pgm", ".tif", ".tiff", ".webp")


class ImageList:
    """A dataset of (path, label) pairs given as they are."""

    def __init__(self, samples):
        """Take a sequence of (path, label) pairs; paths are strings or path objects, labels ints."""
        pairs = []
        for k, item in enumerate(samples):
            try:
                path, label = item
            except (TypeError, ValueError):
                raise ValueError(f"ImageList: sample {k} is {item!r}, not a (path, label) pair") from None
            if isinstance(label, bool) or not isinstance(label, int):
                raise TypeError(f"ImageList: sample {k} has the label {label!r}, not an int")
            pairs.append((os.fspath(path), label))
        self.samples = pairs

    def __len__(self):
        """The number of samples."""
        return len(self.samples)

    def __getitem__(self, index):
        """The (path, label) pair at index."""
        return self.samples[index]


class ImageFolder(ImageList):
    """The images under root/<class>/..., labelled by the class folders' sorted names."""

    def __init__(self, root, extensions=IMAGE_EXTENSIONS):
        """Find every image under root's subfolders (symbolic links followed), in sorted order.

        Raises FileNotFoundError when root has no subfolder, or a class
        folder holds no file with one of `extensions`.
        """
        root = os.fspath(root)
        self.root = root
        self.classes = sorted(entry.name for entry in os.scandir(root) if entry.is_dir())
        if not self.classes:
            raise FileNotFoundError(f"ImageFolder: no class folder in {root}")
        self.class_to_idx = {name: i for i, name in enumerate(self.classes)}
        ends = tuple(e.lower() for e in extensions)
        pairs = []
        for name in self.classes:
            found = []
            for folder, _, files in sorted(os.walk(os.path.join(root, name), followlinks=True)):
                found += [os.path.join(folder, f) for f in sorted(files) if f.lower().endswith(ends)]
            if not found:
                raise FileNotFoundError(f"ImageFolder: the class folder {name!r} holds no image ({', '.join(ends)})")
            pairs += [(path, self.class_to_idx[name]) for path in found]
        super().__init__(pairs)
