"""Memory: many pictures through the module and the native steps keep the process's resident
memory flat, and calls, accepted or refused, leave no Python objects or buffer exports behind.

The resident-memory checks run in a fresh interpreter and compare VmRSS after a warm-up with
VmRSS after thousands more rounds; the bound is generous, since it checks for leaks, not for
speed. Under AddressSanitizer freed blocks wait in its quarantine, so those checks are skipped
there."""

import subprocess
import sys
import tracemalloc

import pytest

import vantrel

c = vantrel.cvar


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


needs_plain_allocator = pytest.mark.skipif(under_address_sanitizer(), reason="ASan's quarantine holds freed memory")

ROUNDS_SCRIPT = """
import vantrel
c = vantrel.cvar

def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

picture = bytes(range(256)) * ({width} * {height} * 3 // 256 + 1)

def full_road():
    c.width, c.height, c.outWidth, c.outHeight = {width}, {height}, {width} // 2, {height} // 2
    vantrel.CreateArrays()
    vantrel.SetData(picture)
    vantrel.Calculate()
    vantrel.CalculateColorRange()
    vantrel.Flatten()
    vantrel.RemoveNoise(2)
    vantrel.SetColors()
    vantrel.GetData()
    {cleanup}

for _ in range(200):
    full_road()
before = rss_kb()
for _ in range({rounds}):
    full_road()
print(rss_kb() - before)
"""


def rss_growth_kb(rounds, cleanup, width=200, height=150):
    code = ROUNDS_SCRIPT.format(
        rounds=rounds, width=width, height=height, cleanup="vantrel.Cleanup()" if cleanup else "pass"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(result.stdout)


@needs_plain_allocator
@pytest.mark.parametrize("cleanup", [True, False], ids=["with_cleanup", "createarrays_only"])
def test_resident_memory_stays_flat_over_thousands_of_pictures(cleanup):
    # Each round allocates about 200 kB; a leak of one round in ten would show as 60 MB.
    assert rss_growth_kb(3000, cleanup) < 4096


@needs_plain_allocator
def test_resident_memory_stays_flat_when_sizes_change_every_picture():
    # Sizes that vary from one picture to the next still reuse the released memory.
    script = """
import vantrel
c = vantrel.cvar
def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
def road(k):
    c.width, c.height = 60 + k % 13, 40 + k % 7
    c.outWidth, c.outHeight = c.width // 2, c.height // 2
    vantrel.CreateArrays()
    vantrel.SetData(bytes(3 * c.width * c.height))
    vantrel.Calculate()
    vantrel.GetData()
    if k % 2:
        vantrel.Cleanup()
for k in range(500):
    road(k)
before = rss_kb()
for k in range(5000):
    road(k)
print(rss_kb() - before)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert int(result.stdout) < 4096


def allocate_small():
    c.width, c.height, c.outWidth, c.outHeight = 5, 5, 2, 2
    vantrel.CreateArrays()


# One call of every kind, accepted or refused, with the arguments it is given.
def mixed_calls(picture, short_picture, stale):
    refusals = 0
    allocate_small()
    vantrel.SetData(picture)
    vantrel.Calculate()
    vantrel.GetData()
    vantrel.GetRed(3)
    vantrel.StandardizeColors(100, 0)
    vantrel.SetColors()
    for call, args in (
        (vantrel.SetData, (short_picture,)),
        (vantrel.SetData, ("text",)),
        (vantrel.GetRed, (99,)),
        (vantrel.GetBlue, (-1,)),
        (vantrel.SetPixelData, (1, 2, 3, 2**40)),
        (vantrel.CreateArrays, (1,)),
        (vantrel.RemoveNoise, ("x",)),
    ):
        try:
            call(*args)
        except (TypeError, ValueError, IndexError, OverflowError):
            refusals += 1
    for name, value in (("width", "640"), ("red", stale), ("red", 5), ("leftPixel", "NULL"), ("depth", 1)):
        try:
            setattr(c, name, value)
        except (TypeError, NameError):
            refusals += 1
    for name in ("depth", "x" * 300):
        try:
            getattr(c, name)
        except NameError:
            refusals += 1
    c.red = stale  # adopted; every call that touches it is refused
    try:
        vantrel.SetPixelData(1, 2, 3, 0)
    except ValueError:
        refusals += 1
    vantrel.Cleanup()
    return refusals


def test_calls_leave_no_python_memory_behind():
    allocate_small()
    stale = c.red
    vantrel.Cleanup()
    picture, short_picture = bytes(range(75)), b"ab"
    for _ in range(50):  # warm up the interpreter's caches and the error machinery
        mixed_calls(picture, short_picture, stale)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            # The stale pointer is adopted, and may name a block allocated anew at its address.
            assert mixed_calls(picture, short_picture, stale) >= 13
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 2000 rounds of 30 calls: a leaked object per round would be at least 60 kB.
    assert growth < 20_000


def test_arguments_and_results_hold_no_extra_references():
    allocate_small()
    picture = bytes(range(75))
    short_picture = bytes(3)
    index = 10**6 + 1  # not a cached small integer
    counts = [sys.getrefcount(o) for o in (picture, short_picture, index)]
    for _ in range(100):
        vantrel.SetData(picture)
        with pytest.raises(ValueError):
            vantrel.SetData(short_picture)
        with pytest.raises(IndexError):
            vantrel.GetGreen(index)
        with pytest.raises(IndexError):
            vantrel.SetPixelData(1, 2, 3, index)
    assert [sys.getrefcount(o) for o in (picture, short_picture, index)] == counts
    # Results are fresh objects the caller owns alone.
    text = vantrel.GetData()
    assert sys.getrefcount(text) == 2
    name = c.outRed
    assert sys.getrefcount(name) == 2


@pytest.mark.parametrize("accepted", [True, False])
def test_set_data_releases_the_buffer_it_borrows(accepted):
    allocate_small()
    picture = bytearray(75 if accepted else 10)
    if accepted:
        vantrel.SetData(picture)
    else:
        with pytest.raises(ValueError):
            vantrel.SetData(picture)
    # A bytearray whose buffer is still exported cannot change size.
    picture.extend(b"more")
    view = memoryview(bytes(75))
    vantrel.SetData(view)
    view.release()


# The tool's native steps (vantrel_clean._steps), held to the same checks.

STEPS_ROUNDS_SCRIPT = """
import numpy as np
import vantrel
from vantrel_clean import _steps

def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))

width, height = 96, 64
picture = np.random.default_rng(0).integers(0, 256, (height, width, 3), np.uint8)
half = picture[1::2, 1::2][: (height - 1) // 2, : (width - 1) // 2].copy()
c = vantrel.cvar

def every_step():
    contrast = _steps.contrast_map(picture, width, height)
    _steps.even_background(picture, width, height, 1.5, 0.04)
    codes, _ = _steps.classify_ink(half, contrast, half.shape[1], half.shape[0], 1.5, 0.04, 1.0,
                                   3.0, 0.04, 6.0, 0.07, 0.4, 0.12, 0.25, 0.33, 0.45, 0.3, 3, 12.0)
    _steps.vote_inks(codes, half.shape[1], half.shape[0], 2)
    small = _steps.shrink_for_detection(picture, width, height, 2)
    gx, gy = _steps.colour_gradients(small, width // 2, height // 2)
    _steps.vote_lines(gx, gy, width // 2, height // 2, 90, 2, 4.0, 40.0)
    _steps.warp_perspective(picture, width, height, (1.3, 0.1, 2, -0.1, 1.2, 3, 0, 0.0001, 1), 60, 40)
    c.width, c.height, c.outWidth, c.outHeight = width, height, (width - 1) // 2, (height - 1) // 2
    vantrel.CreateArrays()
    _steps.even_into_module(picture, 1.5, 0.04, True)
    vantrel.Calculate()
    _steps.module_output(False)
    vantrel.Cleanup()

for _ in range(30):
    every_step()
before = rss_kb()
for _ in range({rounds}):
    every_step()
print(rss_kb() - before)
"""


@needs_plain_allocator
def test_resident_memory_stays_flat_over_thousands_of_step_calls():
    # 500 rounds of twelve calls; a round's evened picture alone is 18 kB: one result leaked a
    # round would show as 9 MB.
    code = STEPS_ROUNDS_SCRIPT.replace("{rounds}", "500")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert int(result.stdout) < 4096


def mixed_step_calls(picture, short_picture, floats):
    """One call of each step, accepted or refused; returns the number refused."""
    from vantrel_clean import _steps

    refusals = 0
    _steps.even_background(picture, 5, 5, 1.5)
    contrast = _steps.contrast_map(picture, 5, 5)
    _steps.classify_ink(bytes(12), contrast, 2, 2, 1.0, 0.0, 1.0, *[0.1] * 10, 3, 12.0)
    _steps.vote_inks(bytes(range(25)), 5, 5, 1)
    _steps.shrink_for_detection(picture, 5, 5, 2)
    _steps.colour_gradients(floats, 5, 5)
    _steps.warp_perspective(picture, 5, 5, (1, 0, 0, 0, 1, 0, 0, 0, 1), 4, 4)
    for call, args in (
        (_steps.even_background, (short_picture, 5, 5, 1.5)),
        (_steps.even_background, (picture, 5, 5, -1.0)),
        (_steps.even_background, ("text", 5, 5, 1.5)),
        (_steps.contrast_map, (picture, 2, 2)),
        (_steps.classify_ink, (bytes(12), b"x", 2, 2, 1.0, 0.0, 1.0, *[0.1] * 10, 3, 12.0)),
        (_steps.vote_inks, (bytes([255] * 4), 2, 2, 1)),
        (_steps.vote_inks, (bytes(4), 2, 2, 99)),
        (_steps.shrink_for_detection, (picture, 5, 5, 9)),
        (_steps.shrink_for_detection, ((b"not", b"capsules"), 5, 5, 1)),
        (_steps.colour_gradients, (floats, 9, 9)),
        (_steps.vote_lines, (floats, floats, 5, 5, 1, 0, 4.0, 40.0)),
        (_steps.warp_perspective, (picture, 5, 5, (1, 0, 0), 4, 4)),
        (_steps.warp_perspective, (picture, 5, 5, "map", 4, 4)),
        (_steps.even_into_module, (picture, 1.5)),  # no module buffers
        (_steps.module_output, (True,)),
        (_steps.set_thread_limit, (-1,)),
    ):
        try:
            call(*args)
        except (TypeError, ValueError, OverflowError):
            refusals += 1
    return refusals


def test_step_calls_leave_no_python_memory_behind():
    vantrel.Cleanup()
    picture, short_picture = bytes(range(75)), b"ab"
    floats = bytes(3 * 25 * 4)
    # Traced from the start: under the sanitizers' allocator the interpreter keeps about a
    # thousand small objects it replaces as calls go on; traced only after the warm-up, each
    # replacement would count as growth while the total stays flat.
    tracemalloc.start()
    try:
        for _ in range(1100):
            mixed_step_calls(picture, short_picture, floats)
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            assert mixed_step_calls(picture, short_picture, floats) == 16
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 1000 rounds of 23 calls: a leaked object per round would be at least 30 kB.
    assert growth < 20_000


def test_step_arguments_and_results_hold_no_extra_references():
    from vantrel_clean import _steps

    picture, short_picture = bytes(range(75)), bytes(3)
    exponent = 1.5 + 1e-9  # a float object of its own
    size = 10**6 + 1  # not a cached small integer
    corners_map = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
    objects = (picture, short_picture, exponent, size, corners_map)
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        _steps.even_background(picture, 5, 5, exponent)
        with pytest.raises(ValueError):
            _steps.even_background(short_picture, 5, 5, exponent)
        with pytest.raises(ValueError):
            _steps.even_background(picture, size, 5, exponent)
        _steps.warp_perspective(picture, 5, 5, corners_map, 3, 3)
        with pytest.raises(ValueError):
            _steps.warp_perspective(short_picture, 5, 5, corners_map, 3, 3)
    assert [sys.getrefcount(o) for o in objects] == counts
    # Results are fresh objects the caller owns alone.
    assert sys.getrefcount(_steps.even_background(picture, 5, 5, exponent)) == 1 + 1
    codes, histogram = _steps.classify_ink(bytes(12), bytes(16), 2, 2, 1.0, 0.0, 1.0, *[0.1] * 10, 3, 12.0)
    assert sys.getrefcount(codes) == 2 and sys.getrefcount(histogram) == 2


@pytest.mark.parametrize("accepted", [True, False])
def test_steps_release_the_buffers_they_borrow(accepted):
    from vantrel_clean import _steps

    picture = bytearray(75 if accepted else 10)
    indexes = bytearray(25 if accepted else 7)
    for call, argument in (
        (lambda: _steps.even_background(picture, 5, 5, 1.5), picture),
        (lambda: _steps.vote_inks(indexes, 5, 5, 1), indexes),
        (lambda: _steps.shrink_for_detection(picture, 5, 5, 1), picture),
        (lambda: _steps.warp_perspective(picture, 5, 5, (1, 0, 0, 0, 1, 0, 0, 0, 1), 3, 3), picture),
    ):
        if accepted:
            call()
        else:
            with pytest.raises(ValueError):
                call()
        # A bytearray whose buffer is still exported cannot change size.
        argument.extend(b"more")
        del argument[-4:]
