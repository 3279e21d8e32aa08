"""Global lookup at call time and the traceback entries that failing functions add."""

import builtins
import os
import subprocess
import sys
import textwrap
import traceback

import cupy as cp
import numpy as np
import pytest

import zemvara.transform.subsample as sub
from conftest import build_probe

FILE = "src/zemvara_source/transform/subsample"


def last_entry(excinfo):
    """The innermost entry of our own modules (a library's frames may lie below it)."""
    entry = [e for e in traceback.extract_tb(excinfo.value.__traceback__)
             if e.name.startswith(("zemvara.", "zvprobe."))][-1]
    return entry.name, entry.filename, entry.lineno


class TestGlobalLookup:
    def test_deleting_cp_breaks_the_next_call_and_restoring_it_mends_it(self):
        batch = cp.zeros((1, 1, 2, 2), cp.float32)
        saved = sub.cp
        del sub.cp
        try:
            with pytest.raises(NameError) as e:
                sub.subsample_image_back(batch, 1)
            assert str(e.value) == "name 'cp' is not defined"
        finally:
            sub.cp = saved
        assert sub.subsample_image_back(batch, 1).shape == (2, 2)

    def test_a_replaced_global_is_used_by_the_next_call(self, monkeypatch):
        calls = []
        monkeypatch.setattr(sub, "reconstruct_optimized_kernel", lambda *a: calls.append(a))
        sub.subsample_image_back(cp.zeros((4, 1, 2, 2), cp.float32), 2)
        assert len(calls) == 1

    def test_builtins_are_the_fallback_and_changes_of_either_dict_are_seen(self, probe, monkeypatch):
        with pytest.raises(NameError, match="^name 'zv_probe_name' is not defined$"):
            probe.lookup()
        monkeypatch.setattr(builtins, "zv_probe_name", 1, raising=False)
        assert probe.lookup() == 1
        monkeypatch.setattr(probe, "zv_probe_name", 2, raising=False)
        assert probe.lookup() == 2
        monkeypatch.delattr(probe, "zv_probe_name")
        assert probe.lookup() == 1
        monkeypatch.setattr(builtins, "zv_probe_name", 3)
        assert probe.lookup() == 3
        monkeypatch.delattr(builtins, "zv_probe_name")
        with pytest.raises(NameError):
            probe.lookup()

    def test_plain_lookups_where_the_dict_versions_are_not_used(self, tmp_path):
        # The build that an unverified interpreter gets: the same sequence as above.
        build_probe(tmp_path, "-DZEMVARA_PLAIN_GLOBAL_LOOKUPS")
        code = """
            import builtins, warnings
            warnings.simplefilter("ignore")
            import zvprobe.sub.probe as probe
            seen = []
            for where, value in [(builtins, 1), (probe, 2)]:
                setattr(where, "zv_probe_name", value)
                seen.append(probe.lookup())
            del probe.zv_probe_name
            seen.append(probe.lookup())
            print(seen)
        """
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              env=dict(os.environ, PYTHONPATH=str(tmp_path)), timeout=120)
        assert proc.stdout.strip() == "[1, 2, 1]", proc.stderr


class TestTracebackEntries:
    @pytest.mark.parametrize("call, error, line", [
        (lambda: sub.subsample_image(np.zeros(3), 1), ValueError, 20),
        (lambda: sub.subsample_image(np.zeros((5, 4)), 2), ValueError, 23),
        (lambda: sub.subsample_image(np.zeros((4, 4, 1)), 0), ZeroDivisionError, 22),
        (lambda: sub.subsample_image(np.zeros((4, 4)), -2), ValueError, 29),
        (lambda: sub.subsample_image(object(), 1), AttributeError, 14),
        (lambda: sub.subsample_image(np.zeros((4, 4)), True), TypeError, 4),
        (lambda: sub.subsample_image(), TypeError, 4),
    ])
    def test_subsample_image(self, call, error, line):
        with pytest.raises(error) as e:
            call()
        assert last_entry(e) == ("zemvara.transform.subsample.subsample_image", FILE, line)

    @pytest.mark.parametrize("make, dim, line", [
        (lambda: [], 2, 97),
        (lambda: cp.zeros((4, 3, 2)), 2, 109),
        (lambda: [cp.zeros((2, 2))] * 9, 2, 114),
        (lambda: (cp.zeros((2, 2)),) * 4, 2, 108),
        (lambda: [cp.zeros((2, 2)), cp.zeros((3, 3))], 2, 101),
    ])
    def test_subsample_image_back(self, make, dim, line):
        with pytest.raises(Exception) as e:
            sub.subsample_image_back(make(), dim)
        assert last_entry(e) == ("zemvara.transform.subsample.subsample_image_back", FILE, line)

    def test_a_library_exception_keeps_its_type_and_message(self):
        with pytest.raises(ZeroDivisionError, match="modulo by zero"):
            sub.subsample_image(np.zeros((2, 2)), 0)

    def test_entries_have_the_module_globals_and_reuse_their_code_objects(self):
        frames = []
        for _ in range(2):
            with pytest.raises(ValueError) as e:
                sub.subsample_image(np.zeros(3), 1)
            tb = e.value.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            frames.append(tb.tb_frame)
        assert frames[0].f_globals is vars(sub)
        assert frames[0].f_code is frames[1].f_code

    def test_a_method_entry_is_named_by_module_class_and_method(self, probe):
        counter = probe.Counter()
        counter.value = None
        with pytest.raises(TypeError) as e:
            counter.bump()
        assert last_entry(e) == ("zvprobe.sub.probe.Counter.bump", "tests/frame/probe/probe", 31)
