"""Shared fixtures: the module's state is global to the process, so every test starts from a
released, zero-sized state."""

import subprocess
import sys

import pytest

import vantrel

from model import INK_BYTES, INTEGERS


def reset_state():
    """Releases the buffers and sets every variable and register back to its load-time zero."""
    vantrel.Cleanup()
    for name in (*INTEGERS, *INK_BYTES):
        setattr(vantrel.cvar, name, 0)
    for name in dir(vantrel):
        if name.startswith("Set") and name.endswith("Pixel"):  # the nine register setters
            getattr(vantrel, name)(0, 0, 0)


@pytest.fixture(autouse=True)
def fresh_state():
    reset_state()
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
    result = subprocess.run(
        [sys.executable, "-c", "import vantrel\n" + code], capture_output=True, text=True, check=True
    )
    return result.stdout


def set_output(pixels):
    """Allocates for an output picture of the given pixels (an H x W x 3 array-like) and stores
    them in the output planes. The input planes get the same size and serve as the source."""
    import numpy as np

    array = np.asarray(pixels, dtype=np.uint8)
    if array.ndim == 2:
        array = array[np.newaxis]
    height, width = array.shape[:2]
    allocate(width, height, width, height)
    c = vantrel.cvar
    planes = (c.red, c.green, c.blue)
    c.red, c.green, c.blue = c.outRed, c.outGreen, c.outBlue
    vantrel.SetData(array.tobytes())
    c.red, c.green, c.blue = planes
    return array


def get_output():
    """The output planes as an outHeight x outWidth x 3 array, sample by sample."""
    import numpy as np

    c = vantrel.cvar
    n = c.outWidth * c.outHeight
    samples = [(vantrel.GetRed(i), vantrel.GetGreen(i), vantrel.GetBlue(i)) for i in range(n)]
    return np.array(samples, dtype=np.uint8).reshape(c.outHeight, c.outWidth, 3)


def register(name):
    """The three bytes of a neighbourhood register, read through an output plane pointed at it."""
    c = vantrel.cvar
    saved = c.outRed
    c.outRed = getattr(c, name)
    try:
        return tuple(vantrel.GetRed(i) for i in range(3))
    finally:
        c.outRed = saved


def pytest_configure(config):
    # The sanitizer run puts its own build of the module in front of the installed one: make
    # sure that is the module under test.
    import os

    expected = os.environ.get("VANTREL_EXPECT_MODULE")
    if expected and os.path.realpath(vantrel.__file__) != os.path.realpath(expected):
        raise pytest.UsageError(f"testing {vantrel.__file__}, expected {expected}")


# Hypothesis profiles: HYPOTHESIS_PROFILE names one; CI runs a fixed, bounded set of examples
# (and a smaller one under the sanitizers), a developer's run draws new ones each time.
def _hypothesis_profiles():
    import os

    from hypothesis import HealthCheck, settings

    common = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    settings.register_profile("dev", max_examples=100, stateful_step_count=40, **common)
    settings.register_profile("ci", max_examples=300, stateful_step_count=50, derandomize=True, database=None, **common)
    settings.register_profile(
        "sanitize", max_examples=100, stateful_step_count=40, derandomize=True, database=None, **common
    )
    settings.register_profile("long", max_examples=2000, stateful_step_count=60, **common)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev"))


_hypothesis_profiles()
