"""Memory: many pictures through the module keep the process's resident memory flat, and calls,
accepted or refused, leave no Python objects or buffer exports behind.

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
