"""Randomized comparison of the module with the reference model in model.py.

Each case allocates a small picture of random, often degenerate size, fills it with
boundary-heavy samples, sometimes makes buffer variables name the same memory, runs Calculate and
a random sequence of the other passes, ink-byte writes, register setters and direct kernel calls,
and then compares every byte of every buffer, the registers and the variables. A call the module
refuses is not run on the model; the state must then still agree.

VANTREL_REFERENCE_CASES sets the number of cases (default 400); a failing case names its seed.
"""

import os

import numpy as np
import pytest

import vantrel
from conftest import reset_state
from pointers import address, pointer_text
from model import BUFFERS, INK_BYTES, INTEGERS, REGISTERS, Model

c = vantrel.cvar
CASES = int(os.environ.get("VANTREL_REFERENCE_CASES", "400"))
SEED_GROUPS = 8

SIZES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 20, 21, 33]
# Samples at and around every threshold the passes test: the background cut, the grey steps of
# the posterisation, the ink margin and the ends of the byte range.
EDGES = np.array(
    [
        0,
        1,
        24,
        25,
        26,
        30,
        31,
        49,
        50,
        51,
        99,
        100,
        101,
        149,
        150,
        151,
        170,
        175,
        199,
        200,
        201,
        229,
        230,
        231,
        249,
        250,
        254,
        255,
    ],
    dtype=np.uint8,
)
SETTERS = {name: "Set" + name[0].upper() + name[1:] for name in REGISTERS}


class Mirror:
    """Runs every call on the module and on the model, and maps the model's blocks to the
    addresses the module allocated."""

    def __init__(self):
        self.model = Model()
        self.base = {name: address(getattr(c, name)) for name in REGISTERS}  # model block -> address
        self.size = {name: 3 for name in REGISTERS}

    def call(self, name, *args):
        try:
            result = getattr(vantrel, name)(*args)
        except (ValueError, IndexError):
            return None
        expected = getattr(self.model, name)(*args)
        if name in ("GetData", "StandardizeColors", "GetRed", "GetGreen", "GetBlue"):
            assert result == expected, name
        if name == "CreateArrays":
            self.allocated()
        return result

    def allocated(self):
        live = {block for block in self.base if block in REGISTERS}
        for variable in BUFFERS:
            block, offset = self.model.pointers[variable]
            self.base[block] = address(getattr(c, variable))
            self.size[block] = len(self.model.blocks[block])
            live.add(block)
        # Blocks of earlier pictures are released: forget them.
        self.base = {block: self.base[block] for block in live}

    def set_int(self, name, value):
        setattr(c, name, value)
        setattr(self.model, name, value)

    def set_ink(self, name, value):
        setattr(c, name, value)
        self.model.ink[name] = value % 256

    def point(self, variable, block, offset=0):
        """Makes a buffer variable name a byte of a block (a plane, data or a register)."""
        setattr(c, variable, pointer_text(self.base[block] + offset))
        self.model.pointers[variable] = (block, offset)

    def module_bytes(self, block):
        saved = c.outRed
        c.outRed = pointer_text(self.base[block])
        try:
            return bytes(vantrel.GetRed(i) for i in range(self.size[block]))
        finally:
            c.outRed = saved

    def check(self):
        for name in INTEGERS:
            assert getattr(c, name) == getattr(self.model, name), name
        for name in INK_BYTES:
            assert getattr(c, name) == self.model.ink[name], name
        for block in self.base:
            assert self.module_bytes(block) == bytes(self.model.blocks[block]), block
        for variable in BUFFERS:
            pointer = self.model.pointers[variable]
            expected = "NULL" if pointer is None else pointer_text(self.base[pointer[0]] + pointer[1])
            assert getattr(c, variable) == expected, variable


def picture_bytes(rng, n):
    kind = rng.integers(4)
    if kind == 0:
        samples = rng.integers(0, 256, 3 * n)
    elif kind == 1:
        samples = rng.choice(EDGES, 3 * n)
    else:
        # Light background with inks: one channel dominant by a margin around 50, and greys.
        samples = np.full((n, 3), 255, dtype=np.int64)
        for j in range(n):
            choice = rng.integers(5)
            if choice < 3:
                base = int(rng.integers(0, 206))
                margin = int(rng.choice([48, 49, 50, 51, 80]))
                pixel = [base + int(rng.integers(0, 3)), base, base + int(rng.integers(0, 3))]
                pixel[choice] = min(base + margin, 255)
                samples[j] = pixel
            elif choice == 3:
                samples[j] = int(rng.choice(EDGES))
        samples = samples.reshape(-1)
    return np.asarray(samples, dtype=np.uint8).tobytes()


def output_size(rng, width, height):
    columns, rows = max((width - 1) // 2, 0), max((height - 1) // 2, 0)
    choice = rng.integers(6)
    if choice == 0:
        return width // 2, height // 2
    if choice == 1:
        return columns + int(rng.integers(0, 3)), rows + int(rng.integers(0, 3))
    if choice == 2:
        # Narrower than the written block: output rows overlap, or the call is refused.
        return max(columns - int(rng.integers(1, 3)), 0), rows + int(rng.integers(0, 4))
    return columns, rows


def alias(mirror, rng):
    """Points one buffer variable at other memory: another plane, a register or an inner byte."""
    model = mirror.model
    variable = str(rng.choice(["red", "green", "blue", "outRed", "outGreen", "outBlue", "data"]))
    target = str(rng.choice(list(BUFFERS) + ["register"]))
    if target == "register":
        mirror.point(variable, str(rng.choice(REGISTERS)))
        return
    if model.pointers[target] is None:
        return
    block, offset = model.pointers[target]
    room = len(model.blocks[block]) - offset
    shift = int(rng.integers(0, room)) if room > 1 and rng.integers(3) == 0 else 0
    mirror.point(variable, block, offset + shift)


def load_output_planes(mirror, rng):
    """Fills the output planes straight from a picture, through the input variables."""
    m = mirror.model
    outputs = [m.pointers[name] for name in ("outRed", "outGreen", "outBlue")]
    if None in outputs:
        return
    saved = [m.pointers[name] for name in ("red", "green", "blue")]
    sizes = m.width, m.height
    for plane, target in zip(("red", "green", "blue"), outputs):
        mirror.point(plane, *target)
    mirror.set_int("width", m.outWidth)
    mirror.set_int("height", m.outHeight)
    mirror.call("SetData", picture_bytes(rng, max(m.outWidth * m.outHeight, 0)))
    mirror.set_int("width", sizes[0])
    mirror.set_int("height", sizes[1])
    for plane, target in zip(("red", "green", "blue"), saved):
        if target is not None:
            mirror.point(plane, *target)


def random_step(mirror, rng):
    m = mirror.model
    step = rng.integers(12)
    if step == 0:
        mirror.call("Flatten")
    elif step == 1:
        limit = int(rng.choice([-1, 0, 1, 2, 3, 5, 8, 35, 36]))
        mirror.call("RemoveNoise", limit)
    elif step == 2:
        mirror.call("CalculateColorRange")
    elif step in (3, 4):
        if rng.integers(2):
            for name in rng.choice(INK_BYTES, int(rng.integers(1, 5))):
                mirror.set_ink(str(name), int(rng.integers(-300, 600)))
        mirror.call("SetColors")
    elif step == 5:
        mirror.call("StandardizeColors", int(rng.integers(0, 256)), int(rng.integers(-1, 4)))
    elif step == 6:
        for name in rng.choice(REGISTERS, int(rng.integers(1, 10))):
            mirror.call(SETTERS[str(name)], *(int(v) for v in rng.choice(EDGES, 3)))
        n = max(m.outWidth * m.outHeight, 1)
        mirror.set_int("pos", int(rng.integers(-1, n + 1)))
        mirror.call(str(rng.choice(["CenterFilter", "AverageFilter", "BSplineFilter"])))
    elif step == 7:
        mirror.call("Calculate")
    elif step == 8:
        mirror.call("GetData")
    elif step == 9:
        n = max(m.outWidth * m.outHeight, 1)
        mirror.call(str(rng.choice(["GetRed", "GetGreen", "GetBlue"])), int(rng.integers(0, n)))
    elif step == 10:
        load_output_planes(mirror, rng)
    else:
        alias(mirror, rng)


def run_case(seed):
    rng = np.random.default_rng(seed)
    mirror = Mirror()
    width, height = (int(v) for v in rng.choice(SIZES, 2))
    out_width, out_height = output_size(rng, width, height)
    for name, value in (("width", width), ("height", height), ("outWidth", out_width), ("outHeight", out_height)):
        mirror.set_int(name, value)
    mirror.call("CreateArrays")
    if rng.integers(6) == 0:
        alias(mirror, rng)
    mirror.call("SetData", picture_bytes(rng, width * height))
    mirror.call("Calculate")
    for _ in range(int(rng.integers(0, 8))):
        random_step(mirror, rng)
    mirror.check()


@pytest.mark.parametrize("group", range(SEED_GROUPS))
def test_module_agrees_with_the_reference_model(group):
    for seed in range(group, CASES, SEED_GROUPS):
        reset_state()
        try:
            run_case(seed)
        except AssertionError as failure:
            raise AssertionError(f"case with seed {seed} differs: {failure}") from failure


@pytest.mark.parametrize("width,height", [(1, 9), (9, 1), (3, 3), (17, 5), (33, 9), (34, 10)])
def test_degenerate_and_odd_sizes_with_every_pass(width, height):
    rng = np.random.default_rng(width * 100 + height)
    mirror = Mirror()
    for name, value in (
        ("width", width),
        ("height", height),
        ("outWidth", max((width - 1) // 2, 0)),
        ("outHeight", max((height - 1) // 2, 0)),
    ):
        mirror.set_int(name, value)
    mirror.call("CreateArrays")
    mirror.call("SetData", picture_bytes(rng, width * height))
    for name in ("Calculate", "CalculateColorRange", "SetColors", "Flatten", "GetData"):
        mirror.call(name)
    mirror.call("RemoveNoise", 2)
    mirror.check()
