"""`make demo` redraws the committed contact sheet as it is, so that running it leaves the tree clean."""

import importlib.util
import os
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(os.environ.get("ZEMVARA_DEVICE") == "gpu",
                                reason="the committed pictures are the host device's")


def test_the_committed_contact_sheet_is_what_the_demo_draws():
    spec = importlib.util.spec_from_file_location("zemvara_demo", ROOT / "demo" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    sheet, _ = demo.contact_sheet()
    committed = cv2.imread(str(ROOT / "docs" / "demo" / "contact_sheet.png"))
    drawn = np.pad(sheet, ((6, 6), (6, 6), (0, 0)), constant_values=255)  # the margin write_picture adds
    assert committed.shape == drawn.shape
    differing = int((committed != drawn).any(axis=2).sum())
    assert differing == 0, f"{differing} pixels differ: run make demo and commit docs/demo/contact_sheet.png"
