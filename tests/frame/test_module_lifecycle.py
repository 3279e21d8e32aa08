"""Module initialisation: one body run per process, refused re-initialisation, failed imports, imports in the body."""

import _imp
import ctypes
import importlib
import re
import sys
import types

import pytest
from conftest import PROBE_COMPILE_VERSION

SUB = "zemvara.transform.subsample"


def test_importing_again_returns_the_module_without_rerunning_the_body(monkeypatch):
    mod = importlib.import_module(SUB)
    kernel = mod.reconstruct_optimized_kernel

    def refuse(*args, **kwargs):
        raise AssertionError("the module body ran again")

    monkeypatch.setattr(mod.cp, "RawKernel", refuse)
    assert importlib.import_module(SUB) is mod
    assert importlib.reload(mod) is mod
    _imp.exec_dynamic(mod)
    assert mod.reconstruct_optimized_kernel is kernel
    assert sys.modules[SUB] is mod


def test_running_the_body_for_another_module_object_is_refused():
    mod = importlib.import_module(SUB)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    message = "Module 'subsample' has already been imported. Re-initialisation is not supported."
    with pytest.raises(RuntimeError, match=re.escape(message)):
        api.PyModule_ExecDef(types.ModuleType(SUB), api.PyModule_GetDef(mod))


def test_module_globals_and_attributes(run_python):
    import builtins
    mod = importlib.import_module(SUB)
    assert mod.__builtins__ is builtins
    assert mod.__test__ == {}
    assert mod.__package__ == "zemvara.transform"
    assert mod.__file__ == mod.__spec__.origin and mod.__loader__ is mod.__spec__.loader
    assert not hasattr(mod, "__path__")
    out = run_python(f"import {SUB} as m; print([k for k in vars(m) if not k.startswith('__')])").stdout
    assert out.strip() == str(["cp", "subsample_image", "reconstruct_optimized_kernel_code",
                               "reconstruct_optimized_kernel", "subsample_image_back"])


BROKEN_CUPY = """\
import os
if os.environ["BROKEN"] == "import":
    raise ImportError("cupy is broken here")
class RawKernel:
    def __init__(self, code, name):
        raise RuntimeError("no compiler here")
"""


@pytest.mark.parametrize("broken, error, line", [
    ("import", "ImportError: cupy is broken here", 1),
    ("kernel", "RuntimeError: no compiler here", 82),
])
def test_a_failed_import_names_the_statement_and_can_be_retried(run_python, tmp_path, broken, error, line):
    (tmp_path / "cupy").mkdir()
    (tmp_path / "cupy" / "__init__.py").write_text(BROKEN_CUPY)
    out = run_python(f"""
        import sys, traceback
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import zemvara.transform.subsample
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
            print([(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                   if f.name.startswith("init ")])
        print({SUB!r} in sys.modules)
        sys.path.pop(0)
        sys.modules.pop("cupy", None)
        import zemvara.transform.subsample as m
        print(type(m.reconstruct_optimized_kernel).__name__)
    """, env={"BROKEN": broken}).stdout.splitlines()
    assert out[0] == error
    assert out[1] == str([(f"init {SUB}", "src/zemvara_source/transform/subsample", line)])
    assert out[2] == "False"
    assert out[3] == "RawKernel"


def test_a_second_interpreter_cannot_load_the_module(run_python):
    pytest.importorskip("_xxsubinterpreters")
    out = run_python("""
        import sys, _xxsubinterpreters as interpreters
        import zemvara.transform.subsample
        code = "import sys\\nsys.path[:] = %r\\n" % sys.path + (
            "try:\\n    import zemvara.transform.subsample\\n"
            "except ImportError as e:\\n    print('ImportError:', e, flush=True)\\n")
        try:  # a legacy (shared-GIL) interpreter reaches the module's own check
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()
        interpreters.run_string(interp, code)
    """).stdout
    assert out.strip() == ("ImportError: Interpreter change detected - this module can only be loaded "
                           "into one interpreter per process.")


class TestBodyImports:
    def test_absolute_and_relative_imports_bind_their_names(self, probe):
        import os
        import typing
        assert probe.os is os and probe.Optional is typing.Optional
        assert probe.value == 41                                  # from ..sibling import value
        assert probe.near is sys.modules["zvprobe.sub.near"]      # from . import near
        # ghost is no attribute of its package any more: found in sys.modules
        assert not hasattr(sys.modules["zvprobe.sub"], "ghost")
        assert probe.ghost is sys.modules["zvprobe.sub.ghost"]

    def test_a_missing_name_fails_the_import_until_it_is_not_needed(self, run_python):
        out = run_python("""
            import os, sys, traceback, warnings
            warnings.simplefilter("ignore", RuntimeWarning)
            try:
                import zvprobe.sub.probe
            except ImportError as e:
                print(e)
                print([(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__)][-1])
            del os.environ["ZVPROBE_MISSING"]
            import zvprobe.sub.probe as p
            print(p.value)
        """, env={"ZVPROBE_MISSING": "1"}).stdout.splitlines()
        assert out == ["cannot import name missing",
                       str(("init zvprobe.sub.probe", "tests/frame/probe/probe", 5)), "41"]


def test_version_mismatch_warns_and_an_error_filter_fails_the_import(run_python):
    out = run_python("""
        import sys, traceback, warnings
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("error", RuntimeWarning)
            try:
                import zvprobe.sub.probe
            except RuntimeWarning as e:
                print(e)
                print([f.name for f in traceback.extract_tb(e.__traceback__) if f.name.startswith("init")])
            print("zvprobe.sub.probe" in sys.modules)
            warnings.simplefilter("always", RuntimeWarning)
            import zvprobe.sub.probe
            print([str(w.message) for w in seen])
    """).stdout.splitlines()
    expected = ("compile time Python version %d.%d of module 'zvprobe.sub.probe' does not match "
                "runtime version %d.%d" % (*PROBE_COMPILE_VERSION, *sys.version_info[:2]))
    assert out == [expected, "[]", "False", str([expected])]
