"""Files in groups: a pipeline's steps over lists of images, one launch per pass, one download per group.

`run(..., batch=N)` (`zemvara run --batch N`) groups the files into groups of
N, in input order, and runs each group through `process_group` on one host
thread and its CUDA stream, as the one-process ways run a file:

1. each file is read (`Load`); a file that cannot be read, or later written,
   runs alone (`process_file`) for its own result and error;
2. each step runs once over the group: a step whose contract has a list call
   (`Resize`, `Fit` and `Warp`: `resize` or the warps over images of
   different sizes, one launch per pass) runs it once per element type and
   channel count, every other step (conversions, upscaling, a callable) image
   by image; the images are converted around each step as its contract says,
   as on the file-by-file road;
3. each result is converted for its writer (`stored`), and the batch comes to
   the host in one transfer (the results side by side in one device buffer,
   copied once: one host wait per batch instead of one per file);
4. each file is written whole, as `Store` writes it.

Should a step fail for the batch, the batch runs again file by file
(`process_file`), so that each file gets its own result and error. The
results are those of the file-by-file run: a list call gives each image what
the single call gives it.
"""

import os

from . import large, paths
from .steps import apply, contract_of, stored
from .work import Stopped, check, on_pool, process_file, stream

__all__ = ["process_group", "run_groups"]


def _over_list(step, images):
    """One step over the batch: its contract's list call where it has one (one per element type and channel
    count), else image by image; each image converted around it as the contract says."""
    contract = contract_of(step)
    if contract.over_list is None:
        return [apply(step, image) for image in images]
    results = _grouped(contract.over_list, [contract.taken(image) for image in images])
    return [contract.given(result, image) for image, result in zip(images, results)]


def _grouped(call, images):
    """call(list) over the images of each element type and channel count, the results in the images' order."""
    groups = {}
    for i, image in enumerate(images):
        groups.setdefault((image.dtype, image.shape[2:]), []).append(i)
    out = [None] * len(images)
    for members in groups.values():
        for i, result in zip(members, call([images[i] for i in members])):
            out[i] = result
    return out


def _write(pipeline, job, image):
    folder = os.path.dirname(job.write)
    if folder:
        os.makedirs(folder, exist_ok=True)
    pipeline.write(job.read, job.write, image)


def _to_host(images):
    """The images as NumPy arrays, brought over in one transfer where they share an element type."""
    import cupy as cp

    if len({image.dtype for image in images}) != 1 or not all(isinstance(i, cp.ndarray) for i in images):
        return images  # the writer brings each over itself
    flat = cp.concatenate([image.ravel() for image in images]).get()
    out, at = [], 0
    for image in images:
        out.append(flat[at : at + image.size].reshape(image.shape))
        at += image.size
    return out


def process_group(jobs, pipeline, resume=False, stop=None):
    """[(status, error)] for the jobs, as `process_file` gives one, the batch run together (see the module)."""
    results = [None] * len(jobs)
    live = []
    for k, job in enumerate(jobs):
        if job.error is not None:
            results[k] = ("failed", job.error)
        elif resume and paths.reads_back(job.write):
            results[k] = ("skipped", None)
        else:
            live.append(k)
    try:
        with stream():
            images = []
            for k in list(live):
                check(stop)
                if large.too_large(pipeline, jobs[k].read):  # tile by tile, alone below
                    live.remove(k)
                    continue
                try:
                    images.append(pipeline.read(jobs[k].read, jobs[k].write))
                except Exception:  # run alone below, for the file-by-file result and its error text
                    live.remove(k)
            if live:
                for step in pipeline.steps:
                    check(stop)
                    images = _over_list(step, images)
                check(stop)
                images = _to_host([stored(image, jobs[k].write) for k, image in zip(live, images)])
    except Stopped:
        return [r if r is not None else ("stopped", None) for r in results]
    except Exception:
        live = []  # one file spoilt the batch: every file runs alone below, with its own result
    for k, image in zip(live, images):
        try:
            check(stop)
            _write(pipeline, jobs[k], image)
            results[k] = ("written", None)
        except Stopped:
            results[k] = ("stopped", None)
        except Exception:
            results[k] = None
    # Files that failed on their own run alone: the file-by-file result and error text.
    return [r if r is not None else process_file(job, pipeline, resume, stop) for job, r in zip(jobs, results)]


def run_groups(jobs, pipeline, resume, finish, size, threads):
    """Batches of `size` jobs on a pool of `threads` host threads, each finished job reported by finish(job, result)."""
    batches = [tuple(jobs[i : i + size]) for i in range(0, len(jobs), size)]

    def done(batch, results):
        for job, result in zip(batch, results):
            finish(job, result)

    on_pool(batches, lambda batch, stop: process_group(batch, pipeline, resume, stop), done, threads,
            "zemvara-batches")
