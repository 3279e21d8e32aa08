"""A local Dask cluster for `zemvara run --workers N`: one worker process per GPU.

Where real GPUs are present, dask-cuda's `LocalCUDACluster` starts the workers,
each pinned to its own device. Elsewhere (the host device, or GPUs without
dask-cuda installed) plain worker processes of `distributed.LocalCluster` run;
they inherit the environment, so they run on the same device as this process.

The workers belong to this process: Ctrl-C in a terminal reaches them too, but
they ignore it (`QuietWorkers`) and this process closes them. Their nannies
give them `CLOSE_TIMEOUT` seconds to finish the file in hand and exit; a
worker process that has loaded PyTorch and OpenCV takes seconds to exit on a
busy machine, past distributed's default of 5 (which then kills it, with a
warning).
"""

import signal
import time
import warnings

from distributed import Client, LocalCluster, Nanny, WorkerPlugin

__all__ = ["local_cluster", "drain", "THREADS_PER_WORKER", "CLOSE_TIMEOUT", "QuietWorkers"]

# Files in flight per worker: one decoding or encoding while another computes.
THREADS_PER_WORKER = 2
CLOSE_TIMEOUT = 60


def _gpu_count():
    try:
        import cupy

        if hasattr(cupy, "_hostdevice"):
            return 0
        return cupy.cuda.runtime.getDeviceCount()
    except Exception:
        return 0


class PatientNanny(Nanny):
    """A nanny that waits CLOSE_TIMEOUT seconds for its worker process to exit before killing it."""

    async def close(self, timeout=CLOSE_TIMEOUT, reason="nanny-close"):
        return await super().close(timeout=timeout, reason=reason)


class QuietWorkers(WorkerPlugin):
    """A Dask worker plugin: the worker process ignores SIGINT, which its cluster's owner handles."""

    name = "zemvara-quiet-workers"

    def setup(self, worker):
        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        except ValueError:
            pass  # not the process's main thread (a worker inside another program): nothing to change


def local_cluster(workers):
    """A started local cluster of `workers` worker processes (use it as a context manager)."""
    options = dict(n_workers=workers, threads_per_worker=THREADS_PER_WORKER, dashboard_address=None,
                   worker_class=PatientNanny)
    cluster = None
    if _gpu_count() > 0:
        try:
            from dask_cuda import LocalCUDACluster
        except ImportError:
            warnings.warn("dask-cuda is not installed: the workers are not pinned to one GPU each "
                          "(pip install dask-cuda)", RuntimeWarning, stacklevel=2)
        else:
            cluster = LocalCUDACluster(**options)
    if cluster is None:
        cluster = LocalCluster(processes=True, **options)
    with Client(cluster) as client:
        client.register_plugin(QuietWorkers())
    return cluster


def _executing(dask_worker):
    return len(dask_worker.state.executing)


def drain(cluster, timeout=CLOSE_TIMEOUT):
    """Wait until no worker of the cluster runs a task (the files in hand are done), at most `timeout` seconds.

    A worker closed while a task runs cancels it with a warning; its files
    were cancelled already, so waiting for them costs what they have left.
    """
    deadline = time.monotonic() + timeout
    with Client(cluster) as client:
        while any(client.run(_executing).values()) and time.monotonic() < deadline:
            time.sleep(0.05)
