"""Which files a run reads and where each output goes; the temporaries that a killed run leaves.

Inputs are files and folders as the user typed them (str, bytes or path
objects). A folder is walked recursively (in sorted order) for the extensions
that `picload` reads, in any case; a file named directly is taken whatever its
extension. An output is `out` joined with the input's path relative to the
folder it was found in (its bare name for a file named directly), with the
last suffix replaced by `ext`. Only regular files are read: anything else
(a FIFO, a device, a socket) fails alone, with its error, and is never opened.

Every job also carries its input and output as absolute paths: those are what
the files are opened by, so that worker processes started in another folder,
or on another machine sharing the storage, find them.
"""

import collections
import os
import re
import stat

from .steps import UsageError

__all__ = ["READABLE", "Job", "plan", "normalise_ext", "remove_temporaries", "reads_back", "is_temporary"]

# What the road reads (`reading`): OpenCV's image readers, Pillow's JPEG, tifffile, and OpenEXR.
READABLE = frozenset({
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".avif", ".pbm", ".pgm", ".ppm",
    ".pxm", ".pnm", ".pfm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic",
})

# One input and its output. `source` and `output` are the paths as the user
# gave them (a file found in a folder: that folder as typed, joined with its
# relative path); `read` and `write` are the same paths made absolute. `error`
# is set, and `output` may be None, for an input that cannot be read.
Job = collections.namedtuple("Job", "index source output error read write", defaults=(None, None, None))

# The hidden temporary that picstore writes beside an output before renaming
# it: ".<first 100 characters of the name>.<pid>-<counter>-<hex time>.tmp".
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)-[0-9]+-[0-9a-f]+\.tmp")


def is_temporary(name):
    """Whether a file name is one of picstore's hidden temporaries."""
    return _TEMPORARY.fullmatch(name) is not None


def normalise_ext(ext):
    """".tif" from ".tif" or "tif"; None stays None."""
    if ext is None:
        return None
    bare = ext[1:] if ext.startswith(".") else ext
    if not bare or "." in bare or "/" in bare or os.sep in bare:
        raise UsageError(f"--ext takes an extension such as .tif or tif, got {ext!r}")
    ext = "." + bare
    problem = _unwritable(ext)
    if problem:
        raise UsageError(f"--ext {ext}: {problem}")
    return ext


def _unwritable(ext):
    """Why no file with extension `ext` can be written ("" when one can)."""
    if ext == ".exr":
        return ""
    if ext.lower() == ".exr":
        return "OpenEXR files are written for the lower-case extension .exr only"
    import cv2

    return "" if cv2.haveImageWriter("image" + ext.lower()) else "no image format is written with that extension"


def _output(out, relative, ext):
    if ext is not None:
        relative = os.path.splitext(relative)[0] + ext
    return os.path.join(out, relative)


def _path(value):
    """A str path from str, bytes or a path object (bytes decoded as the file system does); TypeError otherwise."""
    try:
        return os.fsdecode(value)
    except TypeError:
        raise TypeError(f"an input or output path must be str, bytes or os.PathLike, not "
                        f"{type(value).__name__}") from None


def _walk(folder, skip):
    """Paths relative to `folder` of the files below it with a readable extension, sorted; `skip` is not entered."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(root, d)) not in skip)
        for name in sorted(files):
            if os.path.splitext(name)[1].lower() in READABLE and not is_temporary(name):
                found.append(os.path.relpath(os.path.join(root, name), folder))
    return found


def _unreadable(path):
    """Why `path` cannot be read as an input ("" for a regular file, followed through links)."""
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        return f"{type(exc).__name__}: {exc.strerror}"
    if not stat.S_ISREG(mode):
        return "OSError: not a regular file (a FIFO, device or socket): only regular files are read"
    return ""


def _unwritable_at(path):
    """Why no output can be written at `path` (""): a FIFO, device or socket stands there, and would block."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return ""  # nothing there (or a link to nothing yet): the writer creates it
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        return ""  # a folder is refused by the writer itself, with its error
    return f"OSError: the output {path} is not a regular file: only regular files are written"


def plan(inputs, out, ext=None, resume=False):
    """The jobs of a run, in input order: one per file, carrying an error where the input cannot be read.

    Raises UsageError when there is no input, or when two inputs would be
    written to one output or an output would replace an input. With `resume`,
    a file found in a folder that is itself the output of another input (an
    in-place conversion such as shot.png -> shot.tif interrupted and resumed)
    is taken for that output, not read as an input.
    """
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    inputs = [_path(p) for p in inputs]
    if not inputs:
        raise UsageError("no input: name files or folders to read")
    out, ext = _path(out), normalise_ext(ext)
    skip = {os.path.realpath(out)}
    pairs = []  # (source, output or None, walked)
    for given in inputs:
        if os.path.isdir(given):
            pairs += [(os.path.join(given, rel), _output(out, rel, ext), True) for rel in _walk(given, skip)]
        elif os.path.lexists(given):
            pairs.append((given, _output(out, os.path.basename(given), ext), False))
        else:
            pairs.append((given, None, False))
    if resume:
        written_by = collections.defaultdict(set)  # output: the inputs written to it
        for source, output, _ in pairs:
            if output is not None:
                written_by[os.path.realpath(output)].add(os.path.realpath(source))
        pairs = [(s, o, w) for s, o, w in pairs if not (w and written_by[os.path.realpath(s)] - {os.path.realpath(s)})]
    sources = {os.path.realpath(s) for s, o, _ in pairs if o is not None}
    jobs, taken = [], {}
    for source, output, _ in pairs:
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
        why = _unwritable(os.path.splitext(output)[1])
        error = _unreadable(source) or (why and f"ValueError: cannot write {output}: {why}") or _unwritable_at(output)
        jobs.append(Job(len(jobs), source, output, error or None, os.path.abspath(source), os.path.abspath(output)))
    return jobs


def _alive(pid):
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's process
    return True


def remove_temporaries(outputs):
    """Remove picstore's temporaries beside these outputs whose writer is gone; returns how many.

    A temporary belongs to an output when its name starts with the output's
    (first 100 bytes). One whose process (the id in its name) still runs
    on this machine is left: it may be writing now. This process's own count
    as gone: its writes are over when it calls this.
    """
    by_folder = collections.defaultdict(set)
    for output in outputs:
        folder, name = os.path.split(output)
        by_folder[folder].add(os.fsencode(name)[:100])
    removed = 0
    for folder, names in by_folder.items():
        try:
            entries = os.listdir(folder or ".")
        except OSError:
            continue
        for entry in entries:
            match = _TEMPORARY.fullmatch(entry)
            if match is None or os.fsencode(match["name"]) not in names or _alive(int(match["pid"])):
                continue
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
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return False
    if ext in (".jpg", ".jpeg", ".jpe") and not data.endswith(b"\xff\xd9"):
        return False
    import cv2
    import numpy as np

    # decoded from bytes: OpenCV opens files by a name it encodes itself, which fails on names that are not UTF-8
    return cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED) is not None
