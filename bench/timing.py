"""Small timing helpers shared by the benchmarks."""

import os
import time


def best_of(fn, repeat=5, number=1):
    """Best wall time of `number` calls of `fn`, over `repeat` rounds, in seconds per call."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def gpu_seconds(fn, repeat=20):
    """Best GPU time of `fn` between two CUDA events on the current stream, in seconds, after one warm-up call."""
    import cupy as cp

    start, end = cp.cuda.Event(), cp.cuda.Event()
    fn()
    cp.cuda.Device().synchronize()
    best = float("inf")
    for _ in range(repeat):
        start.record()
        fn()
        end.record()
        end.synchronize()
        best = min(best, cp.cuda.get_elapsed_time(start, end) / 1e3)
    return best


def table(title, header, rows):
    """Print rows (sequences of already formatted cells) under a title, columns aligned."""
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    print(title)
    print("  " + "  ".join(str(h).ljust(w) for h, w in zip(header, widths)))
    print("  " + "  ".join("-" * w for w in widths))
    for row in rows:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(row, widths)))


def peak_rss_mib():
    """This process's peak resident memory, MiB (NaN where /proc does not say)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def parts(*run, gpu=()):
    """Runs a benchmark's parts, a blank line between them; those in `gpu` only on a real GPU."""
    on_gpu = os.environ.get("ZEMVARA_DEVICE") == "gpu"
    for i, part in enumerate([*run, *(gpu if on_gpu else ())]):
        if i:
            print()
        part()
