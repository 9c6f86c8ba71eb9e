"""Synthetic whiteboard-like photos for the benchmark: a light, unevenly lit, noisy background
with marker strokes in black, red, green and blue, and a sprinkling of specks. Deterministic
for a given size and seed."""

from __future__ import annotations

import math

import numpy as np

# Marker colours as a phone photo sees them: black ink is a dark grey, coloured inks are muted.
INKS = np.array([[40, 42, 48], [190, 45, 50], [40, 140, 70], [40, 70, 180]], dtype=np.int16)
STROKE_SCALE = 4  # strokes are drawn on a grid this many pixels coarser, then enlarged


def dimensions(megapixels: float) -> tuple[int, int]:
    """Width and height of a 4:3 picture of about that many megapixels."""
    width = round(math.sqrt(megapixels * 1e6 * 4 / 3))
    return width, round(width * 3 / 4)


def _strokes(rng: np.random.Generator, rows: int, columns: int) -> np.ndarray:
    """Ink index per coarse cell: 0 none, 1..4 an ink of INKS. Strokes are wobbly segments."""
    mask = np.zeros((rows, columns), dtype=np.uint8)
    count = max(4, rows * columns // 900)
    for _ in range(count):
        ink = rng.integers(1, 5)
        length = rng.uniform(5, 40)
        steps = int(length * 3)
        angle = rng.uniform(0, 2 * math.pi) + np.cumsum(rng.normal(0, 0.15, steps))
        y = rng.uniform(0, rows) + np.cumsum(np.sin(angle)) / 3
        x = rng.uniform(0, columns) + np.cumsum(np.cos(angle)) / 3
        for dy, dx in ((0, 0), (1, 0), (0, 1)):  # two cells thick
            yi = np.clip((y + dy).astype(np.int64), 0, rows - 1)
            xi = np.clip((x + dx).astype(np.int64), 0, columns - 1)
            mask[yi, xi] = ink
    return mask


def whiteboard(width: int, height: int, seed: int = 1) -> bytes:
    """An interleaved RGB picture of width x height pixels."""
    rng = np.random.default_rng(seed)
    # Uneven lighting: brighter towards one corner, between about 205 and 245.
    ys = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    xs = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    light = (242 - 22 * ys - 14 * xs * xs).astype(np.int16)
    noise = rng.integers(-7, 8, size=(height, width), dtype=np.int16)
    base = light + noise
    picture = np.empty((height, width, 3), dtype=np.uint8)
    for channel, tint in enumerate((0, 3, -6)):  # a slightly warm white balance
        np.clip(base + tint, 0, 255, out=picture[:, :, channel], casting="unsafe")

    coarse = _strokes(rng, -(-height // STROKE_SCALE), -(-width // STROKE_SCALE))
    ink = np.repeat(np.repeat(coarse, STROKE_SCALE, axis=0), STROKE_SCALE, axis=1)[:height, :width]
    where = ink > 0
    colours = INKS[ink[where] - 1] + (noise[where] * 2)[:, None]
    picture[where] = np.clip(colours, 0, 255)

    # Specks: isolated dark dots, the dust that speck removal is for.
    specks = max(1, width * height // 20000)
    sy = rng.integers(0, height, specks)
    sx = rng.integers(0, width, specks)
    picture[sy, sx] = (60, 60, 60)
    return picture.tobytes()
