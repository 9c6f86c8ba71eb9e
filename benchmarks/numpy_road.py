"""The road of one picture through vantrel, written as vectorised NumPy over the same state.

Each method mirrors the module function of the same name and leaves the same bytes in its
planes, so the benchmark can check the two byte for byte before it times either. The state is
one picture's buffers, laid out as the module lays them out (flat planes, a `data` buffer of
3 x width x height + 1 bytes); pointer aliasing through `cvar` is not modelled.
"""

from __future__ import annotations

import numpy as np

BACKGROUND_CUT = 200
MARGIN = 50
THRESHOLDS = np.array([0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9])


def _background(r, g, b):
    return (g > BACKGROUND_CUT) & ((r > BACKGROUND_CUT) | (b > BACKGROUND_CUT))


def _dark(r, g, b):
    return (g < BACKGROUND_CUT) & ((r < BACKGROUND_CUT) | (b < BACKGROUND_CUT))


def _light_sample(v):
    return (v > BACKGROUND_CUT) & (v < 255)


def _luminance(r, g, b):
    """(0.299 R + 0.587 G) + 0.114 B in double precision, each operation rounded, truncated."""
    return ((0.299 * r.astype(np.float64) + 0.587 * g) + 0.114 * b).astype(np.int64)


def _inks(r, g, b):
    """Masks of the red, green and blue ink pixels: the dominance test, in that order."""
    r16, g16, b16 = (p.astype(np.int16) for p in (r, g, b))
    red = (r16 >= g16 + MARGIN) & (r16 >= b16 + MARGIN)
    green = ~red & (g16 >= r16 + MARGIN) & (g16 >= b16 + MARGIN)
    blue = ~red & ~green & (b16 >= r16 + MARGIN) & (b16 >= g16 + MARGIN)
    return red, green, blue


class Road:
    """The buffers of one picture: sizes, input planes, output planes, `data` and the ink bytes."""

    def __init__(self, width: int, height: int, out_width: int, out_height: int):
        self.width, self.height = width, height
        self.out_width, self.out_height = out_width, out_height
        n, m = width * height, out_width * out_height
        self.red, self.green, self.blue = (np.zeros(n, np.uint8) for _ in range(3))
        self.out_red, self.out_green, self.out_blue = (np.zeros(m, np.uint8) for _ in range(3))
        self.data = np.zeros(3 * n + 1, np.uint8)
        self.ink_min = [0, 0, 0]
        self.ink_max = [0, 0, 0]
        self.ink_range = [0, 0, 0]

    def SetData(self, picture: np.ndarray) -> None:
        n = self.width * self.height
        pixels = picture[: 3 * n].reshape(n, 3)
        self.red[:] = pixels[:, 0]
        self.green[:] = pixels[:, 1]
        self.blue[:] = pixels[:, 2]
        self.data[:n] = picture[:n]

    def Calculate(self) -> None:
        w, h = self.width, self.height
        # 255 where the pixel is light, 0 elsewhere: an OR whitens without a boolean index.
        white = _background(self.red, self.green, self.blue).view(np.uint8) * np.uint8(255)
        for plane in (self.red, self.green, self.blue):
            plane |= white
        rows = (h - 1) // 2 if h >= 3 else 0
        columns = (w - 1) // 2 if w >= 3 else 0
        if rows == 0 or columns == 0:
            return
        for plane, out in ((self.red, self.out_red), (self.green, self.out_green), (self.blue, self.out_blue)):
            p = plane.reshape(h, w)
            # The 1-2-1 kernel is separable: columns first over the centre rows, then rows.
            v = p[0 : 2 * rows - 1 : 2].astype(np.uint16)
            v += p[2 : 2 * rows + 1 : 2]
            v += p[1 : 2 * rows : 2].astype(np.uint16) << 1
            s = v[:, 0 : 2 * columns - 1 : 2] + v[:, 2 : 2 * columns + 1 : 2]
            s += v[:, 1 : 2 * columns : 2] << 1
            block = out[: rows * self.out_width].reshape(rows, self.out_width)
            block[:, :columns] = s >> 4

    def CalculateColorRange(self) -> None:
        r, g, b = self.out_red, self.out_green, self.out_blue
        for ink, mask in enumerate(_inks(r, g, b)):
            where = np.flatnonzero(mask)
            values = _luminance(r[where], g[where], b[where])
            self.ink_max[ink] = int(values.max()) if values.size else 0
            self.ink_min[ink] = int(values.min()) if values.size else 255
            self.ink_range[ink] = (self.ink_max[ink] - self.ink_min[ink]) % 256

    def level_table(self, ink: int) -> np.ndarray:
        """StandardizeColors for every luminance 0..255 of one ink, from its Min and Range."""
        values = np.arange(256, dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            position = (values - self.ink_min[ink]) / np.float64(self.ink_range[ink])
        passed = np.cumprod(position[:, None] >= THRESHOLDS[None, :], axis=1).sum(axis=1)
        return (10 + 10 * passed).astype(np.int64)

    def SetColors(self) -> None:
        r, g, b = self.out_red, self.out_green, self.out_blue
        background = _background(r, g, b)
        inks = [mask & ~background for mask in _inks(r, g, b)]
        lum = _luminance(r, g, b).astype(np.uint8)
        grey = np.where(background, np.uint8(255), (lum // np.uint8(25)) * np.uint8(15))
        new = [grey, grey.copy(), grey.copy()]
        samples = (r, g, b)
        for ink, mask in enumerate(inks):
            where = np.flatnonzero(mask)
            if where.size == 0:
                continue
            level = self.level_table(ink)[lum[where]]
            # The ratio is held in single precision, then widened back for the divisions.
            ratio = (samples[ink][where] / level).astype(np.float32).astype(np.float64)
            for channel in range(3):
                if channel == ink:
                    new[channel][where] = level
                else:
                    new[channel][where] = (samples[channel][where] / ratio).astype(np.int64)
        for plane, values in zip(samples, new):
            plane[:] = values

    def RemoveNoise(self, limit: int) -> None:
        w, h = self.out_width, self.out_height
        if w <= 0 or h <= 0:
            return
        planes = [p[: w * h].reshape(h, w) for p in (self.out_red, self.out_green, self.out_blue)]
        dark = _dark(*planes)
        visited = np.arange(0, h, 7)
        # Rows of each window: rows above only from row 1 on, rows below only inside the picture.
        top = np.where(visited == 0, 0, np.maximum(visited - 3, 1))
        bottom = np.minimum(visited + 3, h - 1)
        down = np.vstack([np.zeros((1, w), np.int32), np.cumsum(dark, axis=0, dtype=np.int32)])
        columns = down[bottom + 1] - down[top]
        across = np.hstack([np.zeros((len(visited), 1), np.int32), np.cumsum(columns, axis=1, dtype=np.int32)])
        j = np.arange(w)
        left = np.where(j == 0, 0, np.maximum(j - 2, 1))
        right = np.minimum(j + 2, w - 1)
        counts = across[:, right + 1] - across[:, left]
        # The pass works in place: a dark pixel erased at column j no longer counts for columns
        # j + 1 and j + 2 (those whose windows hold it: column j > 0). Erasures only lower later
        # counts, and each column depends on earlier ones only, so iterating from "no erasure"
        # reaches the one consistent result.
        own = dark[visited]
        erased = np.zeros_like(own)
        while True:
            lost = own & erased
            lowered = counts.copy()
            lowered[:, 2:] -= lost[:, 1:-1]
            lowered[:, 3:] -= lost[:, 1:-2]
            now = lowered <= limit
            if np.array_equal(now, erased):
                break
            erased = now
        for plane in planes:
            rows = plane[visited]
            rows[erased] = 255
            plane[visited] = rows

    def Flatten(self) -> None:
        r, g, b = self.out_red, self.out_green, self.out_blue
        pale = _light_sample(g) & (_light_sample(r) | ((r < BACKGROUND_CUT) & _light_sample(b)))
        dark = ~pale & _dark(r, g, b)
        for plane in (r, g, b):
            plane[pale] = np.maximum(plane[pale].astype(np.int16) - 30, 0)
            plane[dark] = 0

    def GetData(self) -> bytes:
        m = self.out_width * self.out_height
        out = self.data[: 3 * m].reshape(m, 3)
        for channel, plane in enumerate((self.out_red, self.out_green, self.out_blue)):
            np.maximum(plane[:m], 1, out=out[:, channel])  # a 0 sample is written as 1
        # The result is the text at data: it ends at the first zero byte, past the picture.
        end = 3 * m + int(np.argmax(self.data[3 * m :] == 0))
        return self.data[:end].tobytes()
