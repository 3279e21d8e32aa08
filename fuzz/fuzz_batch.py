"""Fuzz target: batch runs, `zemvara.pipeline.run` and the command line `zemvara run`.

Hostile step strings (odd sizes, unknown names, stray separators, engine paths
that are missing, corrupt or real), extensions, file names and folder
layouts (the output folder inside the input, equal to it, or a file), and
small corrupt inputs (empty, truncated, random bytes under an image's name).
Every run returns a report or refuses clearly, and:
- a refused run (a usage error; exit status 2) writes nothing;
- an input is never changed, and no temporary file is left anywhere;
- the report holds each planned input once; a written output holds a whole
  image, and a failed one leaves its output as it was.
"""

import hashlib
import os
import re
import shutil

import common
from common import Values, attempt, check, cp, cv2, np

from click.testing import CliRunner
from zemvara.pipeline import Load, Store, plan, run
from zemvara.pipeline.cli import main
from zemvara.pipeline.paths import reads_back

NAMES = ["a.png", "b.jpg", "c.tif", "d.exr", "e.PNG", "f.bmp", "g", "h.png.png", " sp ace.png", "-dash.png",
         ".hidden.png", "ü.png", ".a.0123456789ab.part.png", "x.txt"]
# Steps that parse (engine.bin is a real engine, corrupt.bin is not), and steps that must not.
GOOD_STEPS = ["resize:4x3", "resize:1x1", "resize:3X2", "resize:99999x99999", "resize:4x", "resize:x3", "fit:4x3",
              "fit:1x99999", "convert:uint8", "convert:float16", "upscale:engine.bin", "upscale:corrupt.bin"]
BAD_STEPS = ["resize:0x5", "resize:-1x2", "resize:99999999999999999999x1", "resize: 4x3", "resize", "resize:",
             "resize:x", "fit:4x", "fit:0x3", "convert:int8", "convert:", "upscale:missing.bin", "upscale:",
             "upscale:in", "warp:1x1", ":", "", " ", "\0", "resize:4x3:5"]
TEMPORARY = re.compile(r"\..+\.[0-9]+-[0-9]+-[0-9a-f]+\.tmp$")  # the writer's hidden temporary of an output
EXTS = [None, ".png", "png", ".tif", ".jpg", ".exr", ".EXR", "", ".", "..png", "a/b", ".nope", ".png\0"]


def engine_file():
    """A real x2 engine file of the TensorRT stand-in, written once beside the case folders (None on a GPU)."""
    path = os.path.abspath("engine.bin")
    if not os.path.exists(path) and common.ON_HOST:
        from tensorrt import engines
        engines.write(path, engines.engine((1, 3, -1, -1), factor=2))
    return path if os.path.exists(path) else None


def content(v):
    """An input file's bytes: a small image, or a corrupt one."""
    kind = v.below(6)
    picture = v.host_array((v.small(5) + 1, v.small(5) + 1, v.pick([1, 3, 4])), v.pick([np.uint8, np.uint16]))
    if kind <= 2:
        ext = v.pick([".png", ".tif", ".bmp"]) if picture.dtype == np.uint8 else v.pick([".png", ".tif"])
        good = cv2.imencode(ext, picture)[1].tobytes()
        return good if kind < 2 else good[:v.below(len(good))]  # whole, or truncated
    if kind == 3:
        return b""
    return v.fdp.ConsumeBytes(v.small(48))


def tree(root):
    """{relative path: sha1 of its bytes, or None for a folder} of everything below root."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            found[os.path.relpath(os.path.join(folder, name), root)] = None
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = hashlib.sha1(f.read()).hexdigest()
    return found


def layout(v):
    """The case folder: inputs below in/, maybe an out/ already there; returns (inputs, out) as typed."""
    for i in range(v.small(4)):
        folder = v.pick(["in", "in", "in/sub", "in/sub/deeper", "in/out"])
        os.makedirs(folder, exist_ok=True)
        name = v.pick(NAMES) if v.below(4) else v.text().replace("\0", "") or "z.png"
        try:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content(v))
        except OSError:
            pass  # a name the file system refuses
    os.makedirs("in", exist_ok=True)
    if v.flag():
        os.makedirs("in/folder.png", exist_ok=True)
    out = v.pick(["out", "out", "in/out", "in", "in/a.png", "out/x/y", "."])
    if v.below(4) == 0 and not os.path.isdir(out):
        os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
        with open(out, "wb") as f:  # a file where the output folder should be
            f.write(b"not a folder")
    inputs = [v.pick(["in", "in", "in/sub", "in/a.png", "missing", "in/b.jpg", "out", ".", "in/folder.png"])
              for _ in range(v.small(3))]
    return inputs or ["in"], out


def steps(v):
    kind = v.below(6)
    if kind == 0:
        return v.value()
    parts = [v.pick(GOOD_STEPS) if v.below(4) else v.pick(BAD_STEPS) if v.flag() else v.text()
             for _ in range(v.small(3))]
    text = v.pick([",", ",", ", ", ";", ",,"]).join(parts)
    if kind == 1:  # a sequence: step strings between a Load and a Store
        return [Load(v.pick(["fp32", "uint8", "fp16", "bogus"]))] + parts + [Store(v.pick([-1, 0, 100, v.int_()]))]
    return text


def through_api(v, inputs, out, step_list, ext):
    before = tree(".")
    jobs_ok, jobs = attempt(plan, inputs, out, ext)
    ok, report = attempt(run, inputs, out, step_list, ext, resume=v.flag(), progress=False, threads=v.pick([1, 2]))
    after = tree(".")
    if not ok:
        check(after == before, f"a refused run ({report!r}) changed {changes(before, after)}")
        return
    check(jobs_ok, f"run went ahead where plan refused: {jobs!r}")
    check(set(report) == {"written", "skipped", "failed", "pending"}, f"report keys {sorted(report)}")
    check(not report["pending"], f"an uninterrupted run left files pending: {report['pending']}")
    done = {status: [e["input"] for e in report[status]] for status in ("written", "skipped", "failed")}
    sources = done["written"] + done["skipped"] + done["failed"]
    check(sorted(sources) == sorted(j.source for j in jobs), f"report {sources} against jobs {jobs}")
    outputs = {os.path.normpath(j.output): j for j in jobs if j.output is not None}
    for path, digest in before.items():
        if os.path.normpath(path) not in outputs:
            check(after.get(path) == digest, f"{path}, not an output of the run, changed")
    written = {j.source for j in jobs if j.source in done["written"]}
    for j in jobs:
        if j.output is None:
            continue
        key = os.path.normpath(j.output)
        if j.source in written:
            check(reads_back(j.output), f"{j.output}, reported written, does not read back")
        elif j.source not in done["skipped"]:
            check(after.get(key) == before.get(key), f"{j.output}: a failed file changed its output")
    left = [p for p in after if TEMPORARY.search(p) and p not in before]
    check(not left, f"temporaries left behind: {left}")


def through_cli(v, inputs, out, step_list, ext):
    args = ["run", *inputs, "--out", out, "--no-progress"]
    if isinstance(step_list, str):
        args += ["--steps", step_list]
    if ext is not None:
        args += ["--ext", ext]
    if v.flag():
        args.append(v.pick(["--dry-run", "--resume", "--workers=0", "--report=report/r.json", "--report=in",
                            "--bogus"]))
    args = [a.replace("\0", "") for a in args]  # a command line cannot hold a NUL byte
    before = tree(".")
    result = CliRunner().invoke(main, args, catch_exceptions=True)
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    check(result.exit_code in (0, 1, 2), f"exit status {result.exit_code}: {result.output[-300:]}")
    if result.exit_code == 2 or "--dry-run" in args:
        check(tree(".") == before, f"zemvara {args} wrote {changes(before, tree('.'))} (status {result.exit_code})")


def changes(before, after):
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))[:8]


def TestOneInput(data):
    v = Values(data)
    home, engine = os.getcwd(), engine_file()
    os.makedirs("case", exist_ok=True)
    os.chdir("case")
    try:
        with open("corrupt.bin", "wb") as f:
            f.write(v.fdp.ConsumeBytes(v.small(64)))
        if engine is not None:
            shutil.copyfile(engine, "engine.bin")
        inputs, out = layout(v)
        step_list, ext = steps(v), v.pick(EXTS)
        (through_cli if v.flag() else through_api)(v, inputs, out, step_list, ext)
        cp.cuda.Stream.null.synchronize()
    finally:
        os.chdir(home)
        shutil.rmtree("case", ignore_errors=True)


def seeds():
    return [bytes([k, j]) + bytes(range(i, i + 64)) for k in (0, 1, 255) for j in (0, 1, 6, 9) for i in (0, 64)]


if __name__ == "__main__":
    common.run(TestOneInput, seeds)
