"""A local Dask cluster for `zemvara run --workers N`: one worker process per GPU.

Where real GPUs are present, dask-cuda's `LocalCUDACluster` starts the workers,
each pinned to its own device. Elsewhere (the host device, or GPUs without
dask-cuda installed) plain worker processes of `distributed.LocalCluster` run;
they inherit the environment, so they run on the same device as this process.
"""

import warnings

__all__ = ["local_cluster", "THREADS_PER_WORKER"]

# Files in flight per worker: one decoding or encoding while another computes.
THREADS_PER_WORKER = 2


def _gpu_count():
    try:
        import cupy

        if hasattr(cupy, "_hostdevice"):
            return 0
        return cupy.cuda.runtime.getDeviceCount()
    except Exception:
        return 0


def local_cluster(workers):
    """A started local cluster of `workers` worker processes (use it as a context manager)."""
    if _gpu_count() > 0:
        try:
            from dask_cuda import LocalCUDACluster
        except ImportError:
            warnings.warn("dask-cuda is not installed: the workers are not pinned to one GPU each "
                          "(pip install dask-cuda)", RuntimeWarning, stacklevel=2)
        else:
            return LocalCUDACluster(n_workers=workers, threads_per_worker=THREADS_PER_WORKER,
                                    dashboard_address=None)
    from distributed import LocalCluster

    return LocalCluster(n_workers=workers, threads_per_worker=THREADS_PER_WORKER, processes=True,
                        dashboard_address=None)
