"""Which files a run reads and where each output goes; writing an output so that no truncated file is left.

Inputs are files and folders as the user typed them. A folder is walked
recursively (in sorted order) for the extensions that `picload` reads, in any
case; a file named directly is taken whatever its extension. An output is
`out` joined with the input's path relative to the folder it was found in (its
bare name for a file named directly), with the last suffix replaced by `ext`.
"""

import collections
import os
import re
import uuid

from .steps import UsageError

__all__ = ["READABLE", "Job", "plan", "normalise_ext", "write_atomically", "remove_temporaries", "reads_back"]

# What picload reads: OpenCV's image readers, and OpenEXR.
READABLE = frozenset({
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".avif", ".pbm", ".pgm", ".ppm",
    ".pxm", ".pnm", ".pfm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic",
})

# One input and its output. `source` is the path as the user gave it (a file
# found in a folder: that folder as typed, joined with its relative path);
# `error` is set, and `output` None, for an input that does not exist.
Job = collections.namedtuple("Job", "index source output error", defaults=(None,))

# Temporary outputs: ".NAME.<12 hex digits>.part" plus the output's own
# extension, which picstore needs to choose the format.
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.[0-9a-f]{12}\.part(\.[^./]*)?")


def normalise_ext(ext):
    """".tif" from ".tif" or "tif"; None stays None."""
    if ext is None:
        return None
    bare = ext[1:] if ext.startswith(".") else ext
    if not bare or "." in bare or "/" in bare or os.sep in bare:
        raise UsageError(f"--ext takes an extension such as .tif or tif, got {ext!r}")
    ext = "." + bare
    import cv2

    if ext.lower() != ".exr" and not cv2.haveImageWriter("image" + ext.lower()):
        raise UsageError(f"--ext {ext}: no image format is written with that extension")
    return ext


def _output(out, relative, ext):
    if ext is not None:
        relative = os.path.splitext(relative)[0] + ext
    return os.path.join(out, relative)


def _walk(folder, skip):
    """Paths relative to `folder` of the readable files below it, sorted; `skip` (real paths) is not entered."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(root, d)) not in skip)
        for name in sorted(files):
            if os.path.splitext(name)[1].lower() in READABLE and not _TEMPORARY.fullmatch(name):
                found.append(os.path.relpath(os.path.join(root, name), folder))
    return found


def plan(inputs, out, ext=None):
    """The jobs of a run, in input order: one per file, and one carrying an error per input that does not exist.

    Raises UsageError when there is no input, or when two inputs would be
    written to one output or an output would replace an input.
    """
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    inputs = [os.fspath(p) for p in inputs]
    if not inputs:
        raise UsageError("no input: name files or folders to read")
    out, ext = os.fspath(out), normalise_ext(ext)
    skip = {os.path.realpath(out)}
    pairs = []
    for given in inputs:
        if os.path.isdir(given):
            pairs += [(os.path.join(given, rel), _output(out, rel, ext)) for rel in _walk(given, skip)]
        elif os.path.exists(given):
            pairs.append((given, _output(out, os.path.basename(given), ext)))
        else:
            pairs.append((given, None))
    sources = {os.path.realpath(s) for s, o in pairs if o is not None}
    jobs, taken = [], {}
    for source, output in pairs:
        if output is None:
            jobs.append(Job(len(jobs), source, None, "FileNotFoundError: no such file or folder"))
            continue
        key = os.path.realpath(output)
        if key in taken:
            if os.path.realpath(taken[key]) == os.path.realpath(source):
                continue  # the same file named twice (directly and through its folder)
            raise UsageError(f"{taken[key]} and {source} would both be written to {output}")
        if key in sources:
            raise UsageError(f"the output {output} would replace an input")
        taken[key] = source
        jobs.append(Job(len(jobs), source, output))
    return jobs


def write_atomically(path, image, store):
    """store(temporary, image) beside `path`, then rename it to `path`: a reader never sees a partial file.

    The temporary ends in the output's extension in lower case: the writer
    chooses the format by it, and takes "shot.PNG" for a PNG file only so
    spelt. It is removed when anything fails, interruptions included. A
    writer that reports success without writing a file is an error here.
    """
    folder, name = os.path.split(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    ext = os.path.splitext(name)[1].lower()
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}.part{ext}")
    try:
        store(temporary, image)
        if not os.path.isfile(temporary) or os.path.getsize(temporary) == 0:
            raise RuntimeError(f"no image was written for {path}")
        try:
            os.replace(temporary, path)
        except OSError as exc:  # say which output, not which temporary
            raise type(exc)(exc.errno, f"cannot write {path}: {exc.strerror}") from None
    except BaseException:
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
        raise


def remove_temporaries(outputs):
    """Remove the temporaries that a killed process left beside these outputs; returns how many."""
    by_folder = collections.defaultdict(set)
    for output in outputs:
        folder, name = os.path.split(output)
        by_folder[folder].add(name)
    removed = 0
    for folder, names in by_folder.items():
        try:
            entries = os.listdir(folder or ".")
        except OSError:
            continue
        for entry in entries:
            match = _TEMPORARY.fullmatch(entry)
            if match and match["name"] in names:
                try:
                    os.remove(os.path.join(folder, entry))
                    removed += 1
                except OSError:
                    pass
    return removed


def reads_back(path):
    """Whether `path` holds a whole image: not empty, decodable, and a JPEG ends with its end marker."""
    try:
        size = os.path.getsize(path)
    except OSError:
        return False
    if size < 2:
        return False
    ext = os.path.splitext(path)[1].lower()
    if ext == ".exr":
        import OpenEXR

        try:
            with OpenEXR.File(path, separate_channels=True) as f:
                return all(c.pixels is not None for c in f.channels().values())
        except Exception:
            return False
    if ext in (".jpg", ".jpeg", ".jpe"):
        with open(path, "rb") as f:
            f.seek(-2, os.SEEK_END)
            if f.read(2) != b"\xff\xd9":
                return False
    import cv2

    return cv2.imread(path, cv2.IMREAD_UNCHANGED) is not None
