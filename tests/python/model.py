"""A small reference model of the vantrel module, written independently of the C++ code.

It keeps the whole module state: the sizes and `pos`, the ink-range bytes, the nine registers and
the picture buffers. Memory is a set of named blocks (bytearrays) and every buffer variable names
a (block, offset) pair, so two variables can name the same bytes, a buffer can name a register,
and every pass runs in its literal order of visits, one sample at a time. Nothing is checked: the
model trusts its caller as the core does, and tests only drive it with calls the module accepted.
"""

from __future__ import annotations

import math
import struct

INTEGERS = ("pos", "width", "height", "outWidth", "outHeight")
BUFFERS = ("data", "red", "green", "blue", "outRed", "outGreen", "outBlue")
INK_BYTES = tuple(f"{ink}Ink{part}" for ink in ("red", "green", "blue") for part in ("Max", "Min", "Range"))
REGISTERS = (
    "leftPixel",
    "centerPixel",
    "rightPixel",
    "topPixel",
    "bottomPixel",
    "topLeftPixel",
    "topRightPixel",
    "bottomLeftPixel",
    "bottomRightPixel",
)

# (register, row offset, column offset, B-spline weight) for each cell of a neighbourhood, in the
# order the averaging kernels add them.
CELLS = (
    ("centerPixel", 0, 0, 4),
    ("leftPixel", 0, -1, 2),
    ("rightPixel", 0, 1, 2),
    ("topPixel", -1, 0, 2),
    ("bottomPixel", 1, 0, 2),
    ("topLeftPixel", -1, -1, 1),
    ("topRightPixel", -1, 1, 1),
    ("bottomLeftPixel", 1, -1, 1),
    ("bottomRightPixel", 1, 1, 1),
)

CUT = 200
THRESHOLDS = (0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9)


def to_single(value: float) -> float:
    """Rounds a double to the nearest single-precision value."""
    return struct.unpack("f", struct.pack("f", value))[0]


def luminance(r: int, g: int, b: int) -> int:
    return int((0.299 * r + 0.587 * g) + 0.114 * b)


def is_background(r: int, g: int, b: int) -> bool:
    return g > CUT and (r > CUT or b > CUT)


def is_dark(r: int, g: int, b: int) -> bool:
    return g < CUT and (r < CUT or b < CUT)


def is_light(v: int) -> bool:
    return CUT < v < 255


def ink_of(r: int, g: int, b: int) -> int | None:
    if r >= g + 50 and r >= b + 50:
        return 0
    if g >= r + 50 and g >= b + 50:
        return 1
    if b >= r + 50 and b >= g + 50:
        return 2
    return None


class Model:
    def __init__(self) -> None:
        self.pos = self.width = self.height = self.outWidth = self.outHeight = 0
        self.ink = {name: 0 for name in INK_BYTES}
        self.blocks: dict[str, bytearray] = {name: bytearray(3) for name in REGISTERS}
        self.pointers: dict[str, tuple[str, int] | None] = {name: None for name in BUFFERS}
        self.allocations = 0

    # -- memory -----------------------------------------------------------------------------
    def get(self, variable: str, index: int) -> int:
        block, offset = self.pointers[variable]
        return self.blocks[block][offset + index]

    def put(self, variable: str, index: int, value: int) -> None:
        block, offset = self.pointers[variable]
        self.blocks[block][offset + index] = value

    def register(self, name: str, channel: int) -> int:
        return self.blocks[name][channel]

    # -- buffers ----------------------------------------------------------------------------
    def CreateArrays(self) -> None:
        self.allocations += 1
        n, m = self.width * self.height, self.outWidth * self.outHeight
        sizes = {"red": n, "green": n, "blue": n, "outRed": m, "outGreen": m, "outBlue": m, "data": 3 * n + 1}
        for name, size in sizes.items():
            block = f"{name}#{self.allocations}"
            self.blocks[block] = bytearray(size)  # zero-filled
            self.pointers[name] = (block, 0)

    def Cleanup(self) -> None:
        for name in BUFFERS:
            self.pointers[name] = None

    def SetData(self, source: bytes) -> None:
        for j in range(max(self.width * self.height, 0)):
            self.put("red", j, source[3 * j])
            self.put("green", j, source[3 * j + 1])
            self.put("blue", j, source[3 * j + 2])
            self.put("data", j, source[j])

    def GetData(self) -> bytes:
        for j in range(max(self.outWidth * self.outHeight, 0)):
            self.put("data", 3 * j, self.get("outRed", j) or 1)
            self.put("data", 3 * j + 1, self.get("outGreen", j) or 1)
            self.put("data", 3 * j + 2, self.get("outBlue", j) or 1)
        block, offset = self.pointers["data"]
        text = bytes(self.blocks[block][offset:])
        end = text.find(0)
        return text if end < 0 else text[:end]

    def SetPixelData(self, r: int, g: int, b: int, index: int) -> None:
        self.put("red", index, r)
        self.put("green", index, g)
        self.put("blue", index, b)

    def GetRed(self, index: int) -> int:
        return self.get("outRed", index)

    def GetGreen(self, index: int) -> int:
        return self.get("outGreen", index)

    def GetBlue(self, index: int) -> int:
        return self.get("outBlue", index)

    # -- registers and kernels --------------------------------------------------------------
    def set_register(self, name: str, r: int, g: int, b: int) -> None:
        self.blocks[name][0:3] = bytes((r, g, b))

    def _store(self, values: tuple[int, int, int]) -> None:
        self.put("outRed", self.pos, values[0])
        self.put("outGreen", self.pos, values[1])
        self.put("outBlue", self.pos, values[2])

    def _weighted(self, divisor: float, weights: bool) -> tuple[int, int, int]:
        values = []
        for channel in range(3):
            accumulator = 0.0
            for name, _, _, weight in CELLS:
                accumulator = to_single(accumulator + self.register(name, channel) * (weight if weights else 1))
            quotient = to_single(accumulator / divisor)
            quotient = min(quotient, 255.0)
            quotient = max(quotient, 0.0)
            values.append(int(quotient))
        return values[0], values[1], values[2]

    def CenterFilter(self) -> None:
        self._store(tuple(self.register("centerPixel", c) for c in range(3)))

    def AverageFilter(self) -> None:
        self._store(self._weighted(9.0, weights=False))

    def BSplineFilter(self) -> None:
        self._store(self._weighted(16.0, weights=True))

    def Calculate(self) -> None:
        self.pos = 0
        w, h = self.width, self.height
        for row in range(h):
            for column in range(w):
                j = column + row * w
                r, g, b = self.get("red", j), self.get("green", j), self.get("blue", j)
                if (r > CUT and g > CUT) or (g > CUT and b > CUT):
                    self.put("red", j, 255)
                    self.put("green", j, 255)
                    self.put("blue", j, 255)
        i = 0
        r = 1
        while r < self.height - 1:
            c = 1
            while c < self.width - 1:
                for name, dr, dc, _ in CELLS:
                    index = (c + dc) + (r + dr) * self.width
                    self.blocks[name][0] = self.get("red", index)
                    self.blocks[name][1] = self.get("green", index)
                    self.blocks[name][2] = self.get("blue", index)
                self.BSplineFilter()
                self.pos += 1
                c += 2
            i += 1
            self.pos = i * self.outWidth
            r += 2

    # -- ink colours ------------------------------------------------------------------------
    def CalculateColorRange(self) -> None:
        maxima, minima = [0, 0, 0], [255, 255, 255]
        for i in range(max(self.outWidth * self.outHeight, 0)):
            r, g, b = self.get("outRed", i), self.get("outGreen", i), self.get("outBlue", i)
            ink = ink_of(r, g, b)
            if ink is None:
                continue
            level = luminance(r, g, b)
            if level > maxima[ink]:
                maxima[ink] = level
            if level < minima[ink]:
                minima[ink] = level
        for ink, name in enumerate(("red", "green", "blue")):
            self.ink[f"{name}InkMax"] = maxima[ink]
            self.ink[f"{name}InkMin"] = minima[ink]
            self.ink[f"{name}InkRange"] = (maxima[ink] - minima[ink]) % 256

    def StandardizeColors(self, value: int, channel: int) -> int:
        if channel not in (0, 1, 2):
            return 0
        name = ("red", "green", "blue")[channel]
        low, spread = self.ink[f"{name}InkMin"], self.ink[f"{name}InkRange"]
        difference = value - low
        if spread == 0:
            position = math.inf if difference > 0 else -math.inf if difference < 0 else math.nan
        else:
            position = difference / spread
        level = 10
        for threshold in THRESHOLDS:
            if not position >= threshold:
                break
            level += 10
        return level

    def SetColors(self) -> None:
        for row in range(self.outHeight):
            for column in range(self.outWidth):
                k = column + row * self.outWidth
                r, g, b = self.get("outRed", k), self.get("outGreen", k), self.get("outBlue", k)
                if is_background(r, g, b):
                    new = (255, 255, 255)
                else:
                    ink = ink_of(r, g, b)
                    level = luminance(r, g, b)
                    if ink is None:
                        grey = 15 * (level // 25)
                        new = (grey, grey, grey)
                    else:
                        n = self.StandardizeColors(level, ink)
                        samples = [r, g, b]
                        q = to_single(samples[ink] / n)
                        new = tuple(n if channel == ink else int(samples[channel] / q) for channel in range(3))
                self.put("outRed", k, new[0])
                self.put("outGreen", k, new[1])
                self.put("outBlue", k, new[2])

    # -- flatten and specks -----------------------------------------------------------------
    def Flatten(self) -> None:
        for k in range(max(self.outWidth * self.outHeight, 0)):
            r, g, b = self.get("outRed", k), self.get("outGreen", k), self.get("outBlue", k)
            if is_light(g) and (is_light(r) or (r < CUT and is_light(b))):
                new = (max(r - 30, 0), max(g - 30, 0), max(b - 30, 0))
            elif is_dark(r, g, b):
                new = (0, 0, 0)
            else:
                continue
            self.put("outRed", k, new[0])
            self.put("outGreen", k, new[1])
            self.put("outBlue", k, new[2])

    def RemoveNoise(self, limit: int) -> None:
        i = 0
        while i < self.outHeight:
            j = 0
            while j < self.outWidth:
                count = 0
                for row in range(i - 3, i + 4):
                    if (row < i and not row > 0) or (row > i and not row < self.outHeight):
                        continue
                    for column in range(j - 2, j + 3):
                        if (column < j and not column > 0) or (column > j and not column < self.outWidth):
                            continue
                        k = column + row * self.outWidth
                        count += is_dark(self.get("outRed", k), self.get("outGreen", k), self.get("outBlue", k))
                if count <= limit:
                    k = j + i * self.outWidth
                    self.put("outRed", k, 255)
                    self.put("outGreen", k, 255)
                    self.put("outBlue", k, 255)
                j += 1
            i += 7


for _name in REGISTERS:
    _setter = "Set" + _name[0].upper() + _name[1:]
    setattr(Model, _setter, lambda self, r, g, b, _register=_name: self.set_register(_register, r, g, b))
