"""Cleaners that show the quality scorer can fail, and two classic baselines, run as command lines
like any other. Each writes one picture of the page's size into OUTDIR (the scorer accepts any
size); the thresholds write one bit a pixel.

python sanity_cleaners.py truth PAGE OUTDIR       # the page's truth: scores 1.0
python sanity_cleaners.py threshold PAGE OUTDIR   # a fixed grey threshold at 128: colour scores 0
python sanity_cleaners.py otsu PAGE OUTDIR        # a global threshold at Otsu's level
python sanity_cleaners.py sauvola PAGE OUTDIR     # Sauvola's local threshold (window 1/40 of the short side)
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
from PIL import Image

from truth_pages import read_truth, render_truth

SAUVOLA_K, SAUVOLA_RANGE = 0.2, 128.0


def luma(page: Path) -> np.ndarray:
    with Image.open(page) as image:
        return np.asarray(image.convert("L"), np.float64)


def otsu_level(grey: np.ndarray) -> float:
    """The level that maximises the variance between the two classes (ink: at or below it)."""
    histogram = np.bincount(np.clip(grey, 0, 255).astype(np.int64).ravel(), minlength=256).astype(np.float64)
    weight = np.cumsum(histogram)
    mass = np.cumsum(histogram * np.arange(256))
    total, total_mass = weight[-1], mass[-1]
    background = total - weight
    with np.errstate(divide="ignore", invalid="ignore"):
        between = (total_mass * weight - mass * total) ** 2 / (weight * background)
    between[(weight == 0) | (background == 0)] = 0
    return float(np.argmax(between))


def window_sums(values: np.ndarray, radius: int) -> tuple[np.ndarray, np.ndarray]:
    """Sum of values and number of pixels in the (2 radius + 1)^2 window around every pixel,
    clipped at the borders, from one integral image."""
    height, width = values.shape
    integral = np.zeros((height + 1, width + 1))
    integral[1:, 1:] = values.cumsum(0).cumsum(1)
    y0 = np.clip(np.arange(height) - radius, 0, height)
    y1 = np.clip(np.arange(height) + radius + 1, 0, height)
    x0 = np.clip(np.arange(width) - radius, 0, width)
    x1 = np.clip(np.arange(width) + radius + 1, 0, width)
    sums = integral[y1][:, x1] - integral[y0][:, x1] - integral[y1][:, x0] + integral[y0][:, x0]
    counts = (y1 - y0)[:, None] * (x1 - x0)[None, :]
    return sums, counts.astype(np.float64)


def sauvola_ink(grey: np.ndarray) -> np.ndarray:
    """Ink where grey <= mean * (1 + k (deviation / R - 1)) over the window around the pixel."""
    radius = max(7, min(grey.shape) // 80)
    sums, counts = window_sums(grey, radius)
    squares, _ = window_sums(grey * grey, radius)
    mean = sums / counts
    deviation = np.sqrt(np.maximum(squares / counts - mean * mean, 0))
    return grey <= mean * (1 + SAUVOLA_K * (deviation / SAUVOLA_RANGE - 1))


def main(argv: list[str]) -> None:
    kind, page, outdir = argv[0], Path(argv[1]), Path(argv[2])
    if kind == "truth":
        result = Image.fromarray(render_truth(read_truth(page).labels))
    elif kind in ("threshold", "otsu", "sauvola"):
        grey = luma(page)
        if kind == "threshold":
            ink = grey < 128
        elif kind == "otsu":
            ink = grey <= otsu_level(grey)
        else:
            ink = sauvola_ink(grey)
        result = Image.fromarray(~ink)  # one bit a pixel: white paper, black ink
    else:
        raise SystemExit(f"unknown sanity cleaner {kind!r}")
    result.save(outdir / f"{page.stem}.png")


if __name__ == "__main__":
    main(sys.argv[1:])
