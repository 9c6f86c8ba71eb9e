"""The passes over whole planes take vectorised fast paths when the buffers do not overlap and
exact pixel-by-pixel paths when they do. Both must give the bytes of the plain rules: random
pictures at sizes that end vector loops and chunks at every remainder, erasure chains across
the segments of RemoveNoise, and planes that share memory."""

import sys
from pathlib import Path

import numpy as np
import pytest

import vantrel
from conftest import allocate, set_output
from model import Model
from pointers import address, pointer_at, read

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import numpy_road  # noqa: E402

c = vantrel.cvar


def random_pixels(rng, height, width, kind):
    """Pictures that reach every class of pixel: uniform noise, greys (whose luminance is
    one below their value for some levels), or few values near the cut."""
    if kind == "uniform":
        return rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    if kind == "greys":
        v = rng.integers(0, 256, (height, width, 1), dtype=np.uint8)
        return np.repeat(v, 3, axis=2)
    values = np.array([0, 30, 150, 199, 200, 201, 230, 254, 255], np.uint8)
    return values[rng.integers(0, len(values), (height, width, 3))]


def output_planes():
    n = c.outWidth * c.outHeight
    return [read(getattr(c, name), n) for name in ("outRed", "outGreen", "outBlue")]


# --- the reference model, over one block of memory so planes may share bytes -------------------


def model_over(mem, offsets, width, height):
    """The reference model with its three output planes at offsets into mem, a bytearray it
    changes in place."""
    model = Model()
    model.outWidth, model.outHeight = width, height
    model.blocks["picture"] = mem
    for name, offset in zip(("outRed", "outGreen", "outBlue"), offsets):
        model.pointers[name] = ("picture", offset)
    return model


def remove_noise_model(mem, offsets, w, h, limit):
    model_over(mem, offsets, w, h).RemoveNoise(limit)


def flatten_model(mem, offsets, n):
    model_over(mem, offsets, n, 1).Flatten()


# --- RemoveNoise ---------------------------------------------------------------------------


@pytest.mark.parametrize("width, height", [(1, 1), (1, 9), (9, 1), (2, 8), (17, 8), (33, 15), (4103, 8), (8195, 1)])
def test_remove_noise_matches_the_rule_at_every_size(width, height):
    rng = np.random.default_rng(width * 1000 + height)
    for limit in (-1, 0, 1, 2, 4, 35):
        # Sparse and dense dark pixels: erasures then lower the counts of their right neighbours.
        dark = rng.random((height, width)) < rng.choice([0.15, 0.4])
        pixels = np.where(dark[..., None], np.uint8(20), rng.choice([np.uint8(255), np.uint8(210)]))
        pixels = np.broadcast_to(pixels, (height, width, 3)).astype(np.uint8)
        set_output(pixels)
        mem = bytearray(pixels.transpose(2, 0, 1).tobytes())
        remove_noise_model(mem, (0, width * height, 2 * width * height), width, height, limit)
        vantrel.RemoveNoise(limit)
        expected = np.frombuffer(bytes(mem), np.uint8).reshape(3, -1)
        for plane, want in zip(output_planes(), expected):
            assert np.array_equal(plane, want), f"limit {limit}"


@pytest.mark.parametrize("phase", range(4))
def test_remove_noise_erasure_chain_crosses_segment_boundaries(phase):
    # Pairs of dark pixels two apart with limit 1: whether a pixel is erased depends on the
    # erasures just before it, so one erasure decides the rest of the row, across 4096-column
    # segments; the phase moves the pairs across each boundary.
    width = 9000
    row = np.full(width, 255, np.uint8)
    row[phase::4] = 0
    row[phase + 1 :: 4] = 0
    pixels = np.repeat(row[None, :, None], 3, axis=2)
    set_output(pixels)
    mem = bytearray(pixels.transpose(2, 0, 1).tobytes())
    for _ in range(2):
        remove_noise_model(mem, (0, width, 2 * width), width, 1, 1)
        vantrel.RemoveNoise(1)
        assert output_planes()[0].tobytes() == bytes(mem[:width])


@pytest.mark.parametrize("green_offset, blue_offset", [(1, 2), (0, 0), (5, 40), (-3, 3)])
def test_remove_noise_on_overlapping_planes_counts_every_cell_afresh(green_offset, blue_offset):
    width, height = 9, 15
    rng = np.random.default_rng(7)
    pixels = random_pixels(rng, height, width, "near_cut")
    set_output(pixels)
    base = 3  # room for the negative offset
    c.outRed = pointer_at(c.outRed, base)
    c.outGreen = pointer_at(c.outRed, green_offset)
    c.outBlue = pointer_at(c.outRed, blue_offset)
    c.outHeight = height - 5  # every plane stays inside the block
    block = pointer_at(c.outRed, -base)
    mem = bytearray(read(block, width * height).tobytes())
    offsets = (base, base + green_offset, base + blue_offset)
    remove_noise_model(mem, offsets, width, height - 5, 2)
    vantrel.RemoveNoise(2)
    assert read(block, width * height).tobytes() == bytes(mem)


# --- Flatten -------------------------------------------------------------------------------


@pytest.mark.parametrize("n", [1, 15, 16, 17, 31, 33, 63, 65, 100])
def test_flatten_matches_the_rule_at_every_length(n):
    rng = np.random.default_rng(n)
    for kind in ("uniform", "near_cut"):
        pixels = random_pixels(rng, 1, n, kind)
        set_output(pixels)
        mem = bytearray(pixels.transpose(2, 0, 1).tobytes())
        flatten_model(mem, (0, n, 2 * n), n)
        vantrel.Flatten()
        assert np.concatenate(output_planes()).tobytes() == bytes(mem)


@pytest.mark.parametrize("green_offset, blue_offset", [(1, 2), (0, 1), (2, 2)])
def test_flatten_on_overlapping_planes_keeps_the_order_of_visits(green_offset, blue_offset):
    rng = np.random.default_rng(11)
    pixels = random_pixels(rng, 1, 40, "near_cut")
    set_output(pixels)
    c.outGreen = pointer_at(c.outRed, green_offset)
    c.outBlue = pointer_at(c.outRed, blue_offset)
    c.outWidth = 37
    mem = bytearray(read(c.outRed, 40).tobytes())
    flatten_model(mem, (0, green_offset, blue_offset), 37)
    vantrel.Flatten()
    assert read(c.outRed, 40).tobytes() == bytes(mem)


# --- Calculate, the ink passes, SetData and GetData against the NumPy road ----------------------


def load_road(width, height, out_width, out_height, pixels):
    road = numpy_road.Road(width, height, out_width, out_height)
    road.SetData(np.frombuffer(pixels.tobytes(), np.uint8))
    return road


@pytest.mark.parametrize(
    "width, height", [(1, 1), (3, 3), (1, 7), (7, 1), (4, 5), (17, 9), (33, 17), (66, 5), (131, 4)]
)
def test_set_data_and_calculate_match_the_rules(width, height):
    rng = np.random.default_rng(width * 100 + height)
    for kind in ("uniform", "near_cut"):
        pixels = random_pixels(rng, height, width, kind)
        out_width, out_height = max((width - 1) // 2, 1) + 1, max((height - 1) // 2, 1)
        allocate(width, height, out_width, out_height)
        vantrel.SetData(pixels.tobytes())
        road = load_road(width, height, out_width, out_height, pixels)
        n = width * height
        assert read(c.data, n).tobytes() == road.data[:n].tobytes()
        vantrel.Calculate()
        road.Calculate()
        for name, plane in (("red", road.red), ("green", road.green), ("blue", road.blue)):
            assert read(getattr(c, name), n).tobytes() == plane.tobytes(), name
        ours = output_planes()
        for plane, want in zip(ours, (road.out_red, road.out_green, road.out_blue)):
            assert plane.tobytes() == want.tobytes()


@pytest.mark.parametrize("width, height", [(1, 1), (17, 1), (33, 3), (511, 1), (513, 1), (1031, 2), (40, 40)])
def test_ink_passes_match_the_rules(width, height):
    rng = np.random.default_rng(width + height)
    for kind in ("uniform", "greys", "near_cut"):
        pixels = random_pixels(rng, height, width, kind)
        set_output(pixels)
        road = numpy_road.Road(1, 1, width, height)
        road.out_red[:], road.out_green[:], road.out_blue[:] = (pixels[..., k].reshape(-1) for k in range(3))
        vantrel.CalculateColorRange()
        road.CalculateColorRange()
        assert [c.redInkMin, c.greenInkMin, c.blueInkMin] == road.ink_min
        assert [c.redInkMax, c.greenInkMax, c.blueInkMax] == road.ink_max
        assert [c.redInkRange, c.greenInkRange, c.blueInkRange] == road.ink_range
        vantrel.SetColors()
        road.SetColors()
        for plane, want in zip(output_planes(), (road.out_red, road.out_green, road.out_blue)):
            assert plane.tobytes() == want.tobytes(), kind


@pytest.mark.parametrize("n", [1, 2, 15, 16, 17, 31, 32, 33, 95, 97])
def test_get_data_interleaves_at_every_length(n):
    rng = np.random.default_rng(n)
    pixels = random_pixels(rng, 1, n, "uniform")
    pixels[0, rng.integers(0, n, max(1, n // 4))] = 0  # zero samples are written as 1
    set_output(pixels)
    expected = np.maximum(pixels.reshape(-1), 1).tobytes()
    assert vantrel.GetData()[: 3 * n] == expected


@pytest.mark.parametrize("speck", [0, 1, 2, 4093, 4094, 4095, 4096, 4097, 4098, 4099, 8191, 8192, 8193, 8194])
def test_remove_noise_counts_a_speck_in_every_window_that_holds_it(speck):
    # Yellow (255, 255, 0) is neither dark nor white: with limit 0 it turns white unless a dark
    # pixel lies in its window, so the row shows exactly which windows counted the speck.
    width = 8195
    pixels = np.zeros((1, width, 3), np.uint8)
    pixels[..., :2] = 255
    pixels[0, speck] = (0, 0, 0)
    set_output(pixels)
    mem = bytearray(pixels.transpose(2, 0, 1).tobytes())
    remove_noise_model(mem, (0, width, 2 * width), width, 1, 0)
    vantrel.RemoveNoise(0)
    assert output_planes()[2].tobytes() == bytes(mem[2 * width :])


@pytest.mark.parametrize(
    "width, height, shared", [(1027, 15, False), (1025, 16, True), (8199, 3, False), (8201, 5, True)]
)
def test_pictures_beyond_one_chunk_agree_with_the_reference_model(width, height, shared):
    # Output rows longer than the 512-pixel chunks of the ink passes and the 4096-column
    # segments of RemoveNoise; with shared set, outGreen starts one byte into outRed, so every
    # pass runs its exact pixel-by-pixel path.
    from test_reference import Mirror, picture_bytes

    rng = np.random.default_rng(width + height)
    mirror = Mirror()
    for name, value in (
        ("width", width),
        ("height", height),
        ("outWidth", (width - 1) // 2),
        ("outHeight", (height - 1) // 2),
    ):
        mirror.set_int(name, value)
    mirror.call("CreateArrays")
    mirror.call("SetData", picture_bytes(rng, width * height))
    mirror.call("Calculate")
    if shared:
        block, offset = mirror.model.pointers["outRed"]
        mirror.point("outGreen", block, offset + 1)
        mirror.set_int("outHeight", mirror.model.outHeight - 1)
    for name in ("CalculateColorRange", "SetColors", "Flatten"):
        mirror.call(name)
    mirror.call("RemoveNoise", 3)
    mirror.call("GetData")
    mirror.check()
