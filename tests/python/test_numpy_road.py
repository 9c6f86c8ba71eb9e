"""The benchmark's NumPy road must stay the module's road: same bytes after every step."""

import sys
from pathlib import Path

import numpy as np
import pytest

import vantrel
from pointers import read_bytes

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import numpy_road  # noqa: E402
import pictures  # noqa: E402


def plane_bytes(pointer, size):
    return read_bytes(pointer, size)


@pytest.mark.parametrize("width, height, seed", [(64, 48, 1), (33, 17, 2), (17, 33, 3), (5, 1, 4), (1, 9, 5)])
def test_numpy_road_matches_module_after_every_step(width, height, seed):
    picture = pictures.whiteboard(width, height, seed)
    c = vantrel.cvar
    out_width, out_height = max((width - 1) // 2, 1), max((height - 1) // 2, 1)
    c.width, c.height, c.outWidth, c.outHeight = width, height, out_width, out_height
    vantrel.CreateArrays()
    road = numpy_road.Road(width, height, out_width, out_height)
    m = out_width * out_height
    steps = [
        ("SetData", lambda: vantrel.SetData(picture), lambda: road.SetData(np.frombuffer(picture, np.uint8))),
        ("Calculate", vantrel.Calculate, road.Calculate),
        ("CalculateColorRange", vantrel.CalculateColorRange, road.CalculateColorRange),
        ("SetColors", vantrel.SetColors, road.SetColors),
        ("RemoveNoise", lambda: vantrel.RemoveNoise(2), lambda: road.RemoveNoise(2)),
        ("Flatten", vantrel.Flatten, road.Flatten),
    ]
    for name, ours, theirs in steps:
        ours()
        theirs()
        for variable, plane in (("outRed", road.out_red), ("outGreen", road.out_green), ("outBlue", road.out_blue)):
            assert plane_bytes(getattr(c, variable), m) == plane.tobytes(), f"{variable} after {name}"
    assert [c.redInkMin, c.greenInkMin, c.blueInkMin] == road.ink_min
    assert [c.redInkMax, c.greenInkMax, c.blueInkMax] == road.ink_max
    assert vantrel.GetData() == road.GetData()


def test_numpy_remove_noise_follows_erasure_chains():
    # Alternating dark pixels with limit 1: every erasure lowers the next counts, so each
    # pixel's fate depends on the one before it, all along the row.
    road = numpy_road.Road(1, 1, 40, 1)
    row = np.full(40, 255, np.uint8)
    row[::2] = 0
    row[1::4] = 180
    pixels = np.stack([row, row, row], axis=1)
    c = vantrel.cvar
    c.width, c.height, c.outWidth, c.outHeight = 40, 1, 40, 1
    vantrel.CreateArrays()
    c.red, c.green, c.blue = c.outRed, c.outGreen, c.outBlue
    vantrel.SetData(pixels.tobytes())
    road.out_red[:], road.out_green[:], road.out_blue[:] = row, row, row
    for limit in (1, 2, 3):
        vantrel.RemoveNoise(limit)
        road.RemoveNoise(limit)
        assert plane_bytes(c.outRed, 40) == road.out_red.tobytes()
