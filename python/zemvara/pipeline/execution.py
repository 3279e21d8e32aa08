"""Running a pipeline over files: one after another, overlapped in one process, or on a Dask cluster.

Every way runs the same per-file function (`process_file`): read, the steps,
write under a temporary name and rename. A file that fails is reported with
its error and the run goes on. The results are identical whichever way runs
them: each file is processed by the same calls in the same order, only
different files run at the same time.

Overlapped: a pool of host threads, each processing one file at a time on its
own CUDA stream, so that one file's decoding and encoding (OpenCV and OpenEXR
release the interpreter lock) overlap other files' GPU work. At most twice as
many files as threads are queued, so memory stays flat however many files a
run has. The Dask way submits the same function per file, with the same
bounded window, and reads progress from the futures.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import os
import sys
import threading
import uuid
from types import SimpleNamespace
from typing import Any, Iterable, Union

from . import paths
from .steps import Load, Store, Upscale, UsageError, engine_zoom, parse_step

__all__ = ["Pipeline", "process_file", "run", "default_threads"]


@dataclasses.dataclass(frozen=True)
class Pipeline:
    """`load`, then each of `steps` in order, then `store`."""

    steps: tuple = ()
    load: Load = Load()
    store: Store = Store()

    @classmethod
    def of(cls, steps):
        """A pipeline from a Pipeline, a comma-separated step list, or a sequence of steps and step strings.

        A sequence may begin with a `Load` and end with a `Store` to set their
        parameters; every other item is a step string (`resize:WxH`,
        `upscale:ENGINE`, `convert:TYPE`) or a callable image -> image.
        """
        if isinstance(steps, cls):
            return steps
        if isinstance(steps, str):
            steps = steps.split(",") if steps.strip() else []
        items = [parse_step(s) if isinstance(s, str) else s for s in steps]
        load = items.pop(0) if items and isinstance(items[0], Load) else Load()
        store = items.pop() if items and isinstance(items[-1], Store) else Store()
        for item in items:
            if isinstance(item, (Load, Store)) or not callable(item):
                raise UsageError(f"{item!r} cannot stand there: steps between load and store take an image "
                                 "and return one")
        return cls(tuple(items), load, store)

    def __call__(self, source, output):
        image = self.load(source)
        for step in self.steps:
            image = step(image)
        paths.write_atomically(output, image, self.store)

    def prepare(self):
        """Load this process's engines now rather than at the first frame."""
        for step in self.steps:
            if isinstance(step, Upscale):
                engine_zoom(step.engine, step.device_id)


_local = threading.local()


def _stream():
    """This thread's CUDA stream: every image in flight has its own."""
    stream = getattr(_local, "stream", None)
    if stream is None:
        import cupy as cp

        stream = _local.stream = cp.cuda.Stream(non_blocking=True)
    return stream


def process_file(job, pipeline, resume=False):
    """("written" | "skipped" | "failed", error text or None) for one job, on this thread's stream."""
    if job.error is not None:
        return "failed", job.error
    try:
        if resume and paths.reads_back(job.output):
            return "skipped", None
        with _stream():
            pipeline(job.source, job.output)
        return "written", None
    except Exception as exc:
        return "failed", f"{type(exc).__name__}: {exc}"


def default_threads():
    """Files in flight in one process: one per CPU, at least 4 (decoding, computing, encoding) and at most 8."""
    return max(4, min(8, os.cpu_count() or 4))


# ----- the three ways ------------------------------------------------------------------


def _serial(jobs, pipeline, resume, finish):
    for job in jobs:
        finish(job, process_file(job, pipeline, resume))


def _windowed(jobs, submit, wait_first, result, window, finish):
    """Submit jobs keeping at most `window` unfinished; finish(job, result(future)) each as it completes."""
    pending = {}
    for job in jobs:
        while len(pending) >= window:
            for future in wait_first(list(pending)):
                finish(pending.pop(future), result(future))
        pending[submit(job)] = job
    while pending:
        for future in wait_first(list(pending)):
            finish(pending.pop(future), result(future))


def _overlapped(jobs, pipeline, resume, finish, threads):
    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="zemvara-pipeline")
    try:
        _windowed(jobs, lambda job: pool.submit(process_file, job, pipeline, resume),
                  lambda fs: concurrent.futures.wait(fs, return_when=concurrent.futures.FIRST_COMPLETED).done,
                  concurrent.futures.Future.result, 2 * threads, finish)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _cluster_result(future):
    """A task's result; a task whose workers kept dying (KilledWorker) fails its file, not the run."""
    try:
        return future.result()
    except Exception as exc:
        return "failed", f"{type(exc).__name__}: {exc}"


def _on_cluster(jobs, pipeline, resume, finish, address):
    from distributed import Client, wait

    run_id = uuid.uuid4().hex[:12]
    try:
        client = Client(address)
    except OSError as exc:
        raise ConnectionError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    with client:
        slots = sum(client.nthreads().values()) or 1
        _windowed(jobs,
                  lambda job: client.submit(process_file, job, pipeline, resume, key=f"zemvara-{run_id}-{job.index}"),
                  lambda fs: wait(fs, return_when="FIRST_COMPLETED").done,
                  _cluster_result, 4 * slots, finish)


def run(inputs: Iterable[Union[str, os.PathLike[str]]], out: Union[str, os.PathLike[str]], steps: Iterable[Any] = (),
        ext: str | None = None, workers: int | None = None, scheduler: str | None = None, resume: bool = False,
        progress: bool = True, threads: int | None = None) -> dict[str, list[Any]]:
    """Run a pipeline over files and folders; returns {"written": [...], "skipped": [...], "failed": [...]}.

    inputs: files and folders (see `zemvara.pipeline.paths`); out: the output
    folder; steps: what `Pipeline.of` takes; ext: a new extension for the
    outputs (".tif" or "tif"). workers: run on a local Dask cluster of that
    many worker processes; scheduler: the address of a running Dask
    scheduler; neither: one process, `threads` files in flight (1: one file
    after another). resume: skip outputs that already read back as images.
    progress: a progress bar on standard error.

    Entries are input paths as given; "failed" holds {"input", "error"}
    dicts. Raises UsageError, before anything is written, for a malformed
    pipeline, conflicting options or clashing outputs.
    """
    if workers is not None and scheduler is not None:
        raise UsageError("--workers and --scheduler exclude each other: start a local cluster or join one")
    if workers is not None and workers < 1:
        raise UsageError(f"--workers must be at least 1, got {workers}")
    if threads is not None and threads < 1:
        raise UsageError(f"threads must be at least 1, got {threads}")
    pipeline = Pipeline.of(steps)
    jobs = paths.plan(inputs, out, ext)
    results = [None] * len(jobs)

    with _progress_bar(len(jobs), progress) as bar:
        def finish(job, result):
            results[job.index] = result
            bar.update(1)

        todo = [job for job in jobs if job.error is None]
        for job in jobs:
            if job.error is not None:
                finish(job, ("failed", job.error))
        try:
            if scheduler is not None:
                _on_cluster(todo, pipeline, resume, finish, scheduler)
            elif workers is not None:
                from .cluster import local_cluster

                with local_cluster(workers) as cluster:
                    _on_cluster(todo, pipeline, resume, finish, cluster.scheduler_address)
            elif threads == 1:
                pipeline.prepare()
                _serial(todo, pipeline, resume, finish)
            else:
                pipeline.prepare()
                _overlapped(todo, pipeline, resume, finish, threads or default_threads())
        finally:
            paths.remove_temporaries(job.output for job in todo)
    return report(jobs, results)


def _progress_bar(total, shown):
    """A tqdm bar on standard error (files/s, time left), or one that shows nothing."""
    if not shown:
        return contextlib.nullcontext(SimpleNamespace(update=lambda n: None))
    from tqdm import tqdm

    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)


def report(jobs, results):
    """The run's report, entries in input order."""
    out = {"written": [], "skipped": [], "failed": []}
    for job, (status, error) in zip(jobs, results):
        if status == "failed":
            out["failed"].append({"input": job.source, "error": error})
        else:
            out[status].append(job.source)
    return out
