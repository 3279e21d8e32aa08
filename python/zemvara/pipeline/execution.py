"""Running a pipeline over files: one after another, overlapped in one process, or on a Dask cluster.

Every way runs the same per-file function (`process_file`), which runs
`Pipeline.__call__`: read, the steps, write (picstore writes the file whole
under a hidden temporary and renames it). A file that fails is reported with
its error and the run goes on. The results are identical whichever way runs
them: each file is processed by the same calls in the same order, only
different files run at the same time.

Overlapped: a pool of host threads, each processing one file at a time on its
own CUDA stream, so that one file's decoding and encoding (OpenCV and OpenEXR
release the interpreter lock) overlap other files' GPU work. At most twice as
many files as threads are queued, so memory stays flat however many files a
run has. The Dask way submits the same function per file, keeping at most
four files per worker thread of the cluster unfinished, and reads progress
from the futures.

Ctrl-C stops a run between two stages of a file (read, each step, write): the
files in flight are dropped, nothing partial is left, and `run` raises
`Interrupted` carrying the report of what was done.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import numbers
import os
import sys
import time
import uuid
from types import SimpleNamespace
from typing import Any, Iterable, Union

from . import large, paths
from .groups import run_groups
from .steps import Load, Store, UsageError, apply, contract_of, in_linear_light, parse_step
from .work import POLL, check, on_pool, process_file, windowed

__all__ = ["Pipeline", "process_file", "run", "default_threads", "Interrupted", "ReportError", "write_report"]


class Interrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C (KeyboardInterrupt); `report` is what was done, its "pending" what was not."""

    def __init__(self, report):
        super().__init__(f"interrupted with {len(report['pending'])} files not done")
        self.report = report


class ReportError(OSError):
    """The report could not be written (the run itself is done)."""


@dataclasses.dataclass(frozen=True)
class Pipeline:
    """`load`, then each of `steps` in order, then `store`."""

    steps: tuple = ()
    load: Load = Load()
    store: Store = Store()
    memory_budget: int | None = None  # bytes: TIFF inputs beyond it go tile by tile (pipeline.large)
    tile_progress: bool = False  # a bar of a large file's tiles

    @classmethod
    def of(cls, steps):
        """A pipeline from a Pipeline, a comma-separated step list, or a sequence of steps and step strings.

        A sequence may begin with a `Load` and end with a `Store` to set their
        parameters; every other item is a step string (see `steps.STEPS`) or a
        callable image -> image.
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
            contract_of(item)  # a malformed contract is refused before any file is read
        return cls(tuple(items), load, store)

    def __call__(self, source, output, stop=None):
        """One file: read `source`, run the steps, write `output` (its folder made); `stop` checked between."""
        if self.memory_budget is not None and large.run_if_large(self, source, output, lambda: check(stop)):
            return
        image = self.read(source, output)
        for step in self.steps:
            check(stop)
            image = apply(step, image)
        check(stop)
        folder = os.path.dirname(output)
        if folder:
            os.makedirs(folder, exist_ok=True)
        self.write(source, output, image)

    def read(self, source, output=None):
        """The load step on `source`, told the first step (for its shrink-on-load), its pixels as stored where
        the store step carries the file's ICC profile to `output`."""
        keep = output is not None and self.store.carries(output)
        return self.load(source, self.steps[0] if self.steps else None, False if keep else None)

    def write(self, source, output, image):
        """The store step on `image`, with the ICC profile of `source` where it carries one to `output`."""
        from .reading import profile

        self.store(output, image, profile(source) if self.store.carries(output) else None)

    def prepare(self):
        """Load this process's engines now rather than at the first frame.

        An engine that cannot be loaded is left for the files to fail on, each
        with its error, so the run still ends with a report.
        """
        for step in self.steps:
            prepare = contract_of(step).prepare
            if prepare is not None:
                try:
                    prepare()
                except Exception:
                    pass


def default_threads():
    """Files in flight in one process: one per CPU, at least 4 (decoding, computing, encoding) and at most 8."""
    return max(4, min(8, os.cpu_count() or 4))


# ----- the three ways ------------------------------------------------------------------


def _serial(jobs, pipeline, resume, finish):
    for job in jobs:
        finish(job, process_file(job, pipeline, resume))


def _overlapped(jobs, pipeline, resume, finish, threads):
    on_pool(jobs, lambda job, stop: process_file(job, pipeline, resume, stop), finish, threads, "zemvara-pipeline")


def _first_completed(wait, futures):
    """The Dask futures among these that are done, waiting at most POLL seconds for one."""
    try:
        return wait(futures, timeout=POLL, return_when="FIRST_COMPLETED").done
    except TimeoutError:
        return ()


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
        pending = {}
        try:
            windowed(jobs,
                     lambda job: client.submit(process_file, job, pipeline, resume,
                                               key=f"zemvara-{run_id}-{job.index}"),
                     lambda fs: _first_completed(wait, fs),
                     _cluster_result, 4 * slots, finish, pending)
        except BaseException:
            for future, job in pending.items():
                if future.status == "finished":
                    finish(job, future.result())
            client.cancel(list(pending))
            raise


def _local(workers, run_on):
    """run_on(address) on a local cluster of `workers` processes, closed when it returns."""
    from .cluster import drain, local_cluster

    with local_cluster(workers) as cluster:
        try:
            run_on(cluster.scheduler_address)
        except BaseException:
            drain(cluster)
            raise


def run(inputs: Iterable[Union[str, bytes, os.PathLike[str]]], out: Union[str, bytes, os.PathLike[str]],
        steps: Iterable[Any] = (), ext: str | None = None, workers: int | None = None, scheduler: str | None = None,
        resume: bool = False, progress: bool = True, threads: int | None = None,
        report: Union[str, os.PathLike[str], None] = None, memory_budget: int | None = None,
        batch: int | None = None, linear: bool = False) -> dict[str, list[Any]]:
    """Run a pipeline over files and folders; returns {"written", "skipped", "failed", "pending"}.

    inputs: files and folders (see `zemvara.pipeline.paths`); out: the output
    folder; steps: what `Pipeline.of` takes; ext: a new extension for the
    outputs (".tif" or "tif"). workers: run on a local Dask cluster of that
    many worker processes; scheduler: the address of a running Dask
    scheduler; neither: one process, `threads` files in flight (1: one file
    after another). resume: skip outputs that already read back as images.
    progress: a progress bar on standard error. report: a path where the
    report is also written as JSON, whole or not at all, when the run ends or
    is interrupted. memory_budget: device bytes; a TIFF input whose decoded
    image would take more than a third of it is resized and warped tile by
    tile (see `zemvara.pipeline.large`).
    batch: the files N at a time, in one process (`threads`
    batches in flight, 2 by default), each step once over a batch (see
    `zemvara.pipeline.groups`). linear: the resize, fit and warp steps
    resample in linear light (values taken as sRGB-encoded).

    "written" and "skipped" hold {"input", "output"} dicts, "failed"
    {"input", "output", "error"} ("output" None where the input does not
    exist), "pending" the inputs that an interruption left undone; paths are
    as given. Raises UsageError, before anything is written, for a malformed
    pipeline, conflicting options, clashing outputs, or a report path that
    names an input, an output or a folder. Ctrl-C raises `Interrupted` (a
    KeyboardInterrupt) with the report, after writing it.
    """
    if workers is not None and scheduler is not None:
        raise UsageError("--workers and --scheduler exclude each other: start a local cluster or join one")
    _count(workers, "--workers")
    _count(threads, "threads")
    _count(batch, "--batch")
    if batch is not None and (workers is not None or scheduler is not None):
        raise UsageError("--batch runs in one process: leave out --workers and --scheduler")
    pipeline = Pipeline.of(steps)
    if not isinstance(linear, bool):
        raise UsageError(f"linear must be True or False, got {linear!r}")
    if linear:
        pipeline = dataclasses.replace(pipeline, steps=tuple(in_linear_light(step) for step in pipeline.steps))
    if memory_budget is not None:
        pipeline = dataclasses.replace(pipeline, memory_budget=large.budget(memory_budget), tile_progress=progress)
    jobs = paths.plan(inputs, out, ext, resume)
    if report is not None:
        report = _report_path(report, jobs)
    results = [None] * len(jobs)
    todo = [job for job in jobs if job.error is None]
    paths.remove_temporaries(job.write for job in todo)  # what a killed run left
    large.remove_stale_scratch()

    started = time.time_ns()
    with _progress_bar(len(jobs), progress) as bar:
        def finish(job, result):
            if result[0] != "stopped":
                results[job.index] = result
                bar.update(1)

        for job in jobs:
            if job.error is not None:
                finish(job, ("failed", job.error))
        try:
            if scheduler is not None:
                _on_cluster(todo, pipeline, resume, finish, scheduler)
            elif workers is not None:
                _local(workers, lambda address: _on_cluster(todo, pipeline, resume, finish, address))
            elif batch is not None:
                pipeline.prepare()
                run_groups(todo, pipeline, resume, finish, batch, threads or 2)
            elif threads == 1:
                pipeline.prepare()
                _serial(todo, pipeline, resume, finish)
            else:
                pipeline.prepare()
                _overlapped(todo, pipeline, resume, finish, threads or default_threads())
        except KeyboardInterrupt:
            if scheduler is not None or workers is not None:
                _written_meanwhile(todo, results, started)
            done = _report(jobs, results)
            if report is not None:
                write_report(done, report)
            raise Interrupted(done) from None
        finally:
            paths.remove_temporaries(job.write for job in todo)
    done = _report(jobs, results)
    if report is not None:
        write_report(done, report)
    return done


def _written_meanwhile(jobs, results, since):
    """Mark "written" the jobs without a result whose output was renamed into place at or after `since`
    (time.time_ns()): the files that a cluster's workers finished after Ctrl-C reached this process, each
    output being its own job's alone."""
    for job in jobs:
        if results[job.index] is None:
            try:
                if os.stat(job.write).st_mtime_ns >= since:
                    results[job.index] = ("written", None)
            except OSError:
                pass


def _count(value, what):
    """UsageError unless `value` is None or an int of at least 1 (not a bool, a float or a string)."""
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise UsageError(f"{what} must be an int, got {value!r}")
    if value < 1:
        raise UsageError(f"{what} must be at least 1, got {value}")


def _progress_bar(total, shown):
    """A tqdm bar on standard error (files/s, time left), or one that shows nothing."""
    if not shown:
        return contextlib.nullcontext(SimpleNamespace(update=lambda n: None))
    from tqdm import tqdm

    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)


def _report(jobs, results):
    """The run's report, entries in input order."""
    out = {"written": [], "skipped": [], "failed": [], "pending": []}
    for job, result in zip(jobs, results):
        if result is None:
            out["pending"].append(job.source)
            continue
        status, error = result
        entry = {"input": job.source, "output": job.output}
        out[status].append(entry if status != "failed" else {**entry, "error": error})
    return out


def _report_path(path, jobs):
    """The report's path as a str; UsageError where writing it would replace an input or an output, or a folder."""
    path = paths._path(path)
    key = os.path.realpath(path)
    if os.path.isdir(path):
        raise UsageError(f"--report {path} is a folder; name a file")
    for job in jobs:
        for role, named in (("an input", job.source), ("an output", job.output)):
            if named is not None and os.path.realpath(named) == key:
                raise UsageError(f"--report {path} would replace {role} of the run")
    return path


def write_report(report, path):
    """Writes the report as JSON at `path`, whole or not at all: a temporary beside it, renamed when complete.

    Raises ReportError (an OSError) naming `path`; what stood there is kept.
    """
    folder = os.path.dirname(path)
    temporary = os.path.join(folder, f".{os.path.basename(path)}.{uuid.uuid4().hex[:12]}.tmp")
    try:
        if folder:
            os.makedirs(folder, exist_ok=True)
        handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as f:
                json.dump(report, f, indent=2)  # names that are not UTF-8 are written as \udcXX escapes
                f.write("\n")
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.remove(temporary)
            raise
    except OSError as exc:
        raise ReportError(exc.errno, f"cannot write the report {path}: {exc.strerror or exc}") from exc
