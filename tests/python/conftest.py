"""Shared fixtures: the module's state is global to the process, so every test starts from a
released, zero-sized state."""

import subprocess
import sys

import pytest

import vantrel

INK_BYTES = [f"{ink}Ink{part}" for ink in ("red", "green", "blue") for part in ("Max", "Min", "Range")]


@pytest.fixture(autouse=True)
def fresh_state():
    vantrel.Cleanup()
    for name in ("pos", "width", "height", "outWidth", "outHeight", *INK_BYTES):
        setattr(vantrel.cvar, name, 0)
    yield
    vantrel.Cleanup()


def allocate(width, height, out_width=None, out_height=None):
    """Sets the four sizes (output half the input unless given) and allocates the buffers."""
    c = vantrel.cvar
    c.width, c.height = width, height
    c.outWidth = (width - 1) // 2 if out_width is None else out_width
    c.outHeight = (height - 1) // 2 if out_height is None else out_height
    vantrel.CreateArrays()


def run_fresh(code):
    """Runs code in a new interpreter with a freshly loaded module; returns its stdout."""
    result = subprocess.run([sys.executable, "-c", "import vantrel\n" + code], capture_output=True, text=True,
                            check=True)
    return result.stdout
