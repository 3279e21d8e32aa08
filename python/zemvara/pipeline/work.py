"""What every way of running files shares: one file's run, the stop between its stages, each thread's stream,
and a pool of host threads.

`process_file` runs a pipeline over one job on this thread's CUDA stream and
says what became of it; `check` raises `Stopped` between two stages of a file
once a run is stopping; `on_pool` runs work on a pool of host threads with
at most twice as many items in flight as threads (`windowed`).
"""

import concurrent.futures
import threading

from . import paths

__all__ = ["Stopped", "check", "stream", "process_file", "windowed", "on_pool", "POLL"]


class Stopped(Exception):
    """Raised between two stages of a file once the run is stopping."""


def check(stop):
    """Raise `Stopped` where the event `stop` is set (None: never)."""
    if stop is not None and stop.is_set():
        raise Stopped


_thread = threading.local()


def stream():
    """This thread's CUDA stream: every image in flight has its own."""
    own = getattr(_thread, "stream", None)
    if own is None:
        import cupy as cp

        own = _thread.stream = cp.cuda.Stream(non_blocking=True)
    return own


def process_file(job, pipeline, resume=False, stop=None):
    """("written" | "skipped" | "failed" | "stopped", error text or None) for one job, on this thread's stream."""
    if job.error is not None:
        return "failed", job.error
    try:
        if resume and paths.reads_back(job.write):
            return "skipped", None
        with stream():
            pipeline(job.read, job.write, stop)
        return "written", None
    except Stopped:
        return "stopped", None
    except Exception as exc:
        # the error names the paths as the caller gave them, not the absolute ones the file was run by
        text = f"{type(exc).__name__}: {exc}".replace(job.write, job.output).replace(job.read, job.source)
        return "failed", text


# The longest wait for a file to finish before the waiting thread looks for Ctrl-C again. A blocked wait
# is not interrupted when the kernel hands SIGINT to another thread (a pool's, or Dask's event loop).
POLL = 0.2


def windowed(jobs, submit, wait_first, result, window, finish, pending):
    """Submit jobs keeping at most `window` unfinished in `pending` (future: job); finish each as it completes.

    wait_first(futures) returns those that are done, possibly none after a
    short wait.
    """
    for job in jobs:
        while len(pending) >= window:
            for future in wait_first(list(pending)):
                finish(pending.pop(future), result(future))
        pending[submit(job)] = job
    while pending:
        for future in wait_first(list(pending)):
            finish(pending.pop(future), result(future))


def on_pool(items, work, finish, threads, name):
    """work(item, stop) for each item on a pool of `threads` host threads, at most 2 * threads in flight;
    finish(item, result) as each completes. On an exception or Ctrl-C, `stop` is set (the items in flight
    stop at their next stage) and the items that completed meanwhile are still finished."""
    stop = threading.Event()
    pending = {}
    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix=name)
    try:
        windowed(items, lambda item: pool.submit(work, item, stop),
                 lambda fs: concurrent.futures.wait(fs, POLL, concurrent.futures.FIRST_COMPLETED).done,
                 concurrent.futures.Future.result, 2 * threads, finish, pending)
    except BaseException:
        stop.set()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        for future, item in pending.items():  # items that completed while the run was stopping
            if future.done() and not future.cancelled() and future.exception() is None:
                finish(item, future.result())
