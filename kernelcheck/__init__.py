"""Checks of the kernels' compiled GPU code without a GPU, shared by the tests and the bench.

- `sass_paths`: sm_90 SASS executed thread by thread, warp by warp or block by block.
- `compiled`: the kernel sources compiled for sm_90 with nvcc from .venv-tools, the
  launches a call makes captured instead of run, and a launch's arguments loaded into
  the executor's memory.
- `cost`: a launch's figures on sampled warps (instructions, sectors, shared-memory
  wavefronts), occupancy and the H100 model of the kernel report.

This package sits at the top of the repository, beside `tests/` and `bench/`, and is
not part of the installed `zemvara` package: it needs nvcc and nvdisasm, which a user's
installation has no use for. `tests/conftest.py` and `bench/kernel_report.py` put the
repository's root on `sys.path` to import it.
"""
