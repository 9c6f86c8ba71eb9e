"""Scores a cleaned page against its label map.

The output is scaled to the page size (nearest neighbour). A pixel is paper when it is white or
near white: CIELAB L* >= PAPER_LIGHTNESS and chroma C* < PAPER_CHROMA; otherwise ink. An ink
pixel is neutral when C* < CHROMA_CUT, otherwise of the coloured class whose reference hue (the
hue of its ink as the camera sees it, truth_pages.INK_COLOURS) is nearest. Dark means
L* < DARK_LIGHTNESS.
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields

import numpy as np
from PIL import Image

from truth_pages import BLACK, COLOURED, EDGE, INK_COLOURS, PAPER, RULE, TEAL

PAPER_LIGHTNESS, PAPER_CHROMA = 90.0, 10.0
CHROMA_CUT = 15.0
DARK_LIGHTNESS = 60.0
NEUTRAL = 0


def lab(rgb: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """CIELAB (D65) of sRGB colours, any shape ending in 3."""
    c = np.asarray(rgb, np.float64) / 255
    linear = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    xyz = linear @ np.array(
        [[0.4124564, 0.2126729, 0.0193339], [0.3575761, 0.7151522, 0.1191920], [0.1804375, 0.0721750, 0.9503041]]
    )
    xyz /= (0.95047, 1.0, 1.08883)
    f = np.where(xyz > (6 / 29) ** 3, np.cbrt(xyz), xyz / (3 * (6 / 29) ** 2) + 4 / 29)
    return 116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])


def _hue(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return np.degrees(np.arctan2(b, a)) % 360


REFERENCE_HUES = {ink: float(_hue(*lab(np.array(INK_COLOURS[ink]))[1:])) for ink in COLOURED}


def classify_output(picture: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per pixel: is ink, colour class (NEUTRAL or a coloured label), is dark. Computed once per
    distinct colour."""
    keys = (picture[..., 0].astype(np.uint32) << 16) | (picture[..., 1].astype(np.uint32) << 8) | picture[..., 2]
    colours, inverse = np.unique(keys.ravel(), return_inverse=True)
    rgb = np.stack([(colours >> 16) & 255, (colours >> 8) & 255, colours & 255], axis=1)
    L, a, b = lab(rgb)
    chroma = np.hypot(a, b)
    ink = ~((L >= PAPER_LIGHTNESS) & (chroma < PAPER_CHROMA))
    hues = _hue(a, b)
    classes = np.array(list(REFERENCE_HUES))
    distance = np.abs((hues[:, None] - np.array(list(REFERENCE_HUES.values()))[None, :] + 180) % 360 - 180)
    colour_class = np.where(chroma < CHROMA_CUT, NEUTRAL, classes[distance.argmin(axis=1)])
    shape = picture.shape[:2]
    return (
        ink[inverse].reshape(shape),
        colour_class[inverse].reshape(shape),
        (L < DARK_LIGHTNESS)[inverse].reshape(shape),
    )


@dataclass
class Counts:
    """Pixel counts from which every metric follows; counts of pages add up."""

    true_ink: int = 0
    output_ink: int = 0
    both_ink: int = 0
    faint: int = 0
    faint_found: int = 0
    coloured: int = 0
    coloured_right: int = 0
    black: int = 0
    black_right: int = 0
    paper: int = 0
    paper_clean: int = 0
    rule: int = 0
    rule_dark: int = 0
    per_class: dict[int, list[int]] = field(default_factory=dict)  # label: [pixels, right]

    def add(self, other: Counts) -> None:
        for name in (counter.name for counter in fields(self) if counter.name != "per_class"):
            setattr(self, name, getattr(self, name) + getattr(other, name))
        for label, (pixels, right) in other.per_class.items():
            mine = self.per_class.setdefault(label, [0, 0])
            mine[0] += pixels
            mine[1] += right

    def metrics(self) -> dict[str, float]:
        def ratio(a: int, b: int) -> float:
            return a / b if b else float("nan")

        precision, recall = ratio(self.both_ink, self.output_ink), ratio(self.both_ink, self.true_ink)
        return {
            "precision": precision,
            "recall": recall,
            "f1": 2 * precision * recall / (precision + recall) if precision + recall else 0.0,
            "faint_recall": ratio(self.faint_found, self.faint),
            "colour_accuracy": ratio(self.coloured_right, self.coloured),
            "black_accuracy": ratio(self.black_right, self.black),
            "paper_clean": ratio(self.paper_clean, self.paper),
            "rules_dark": ratio(self.rule_dark, self.rule),
        }


def score(output: np.ndarray, labels: np.ndarray, faint: np.ndarray) -> Counts:
    """Counts for one cleaned page (any size; scaled to the labels' size)."""
    height, width = labels.shape
    if output.shape[:2] != (height, width):
        output = np.asarray(Image.fromarray(output).resize((width, height), Image.Resampling.NEAREST))
    ink, colour_class, dark = classify_output(output)
    true_ink = (labels >= BLACK) & (labels <= TEAL)
    scored = (labels != EDGE) & (labels != RULE)
    counts = Counts()
    counts.true_ink = int(true_ink.sum())
    counts.output_ink = int((ink & scored).sum())
    counts.both_ink = int((ink & true_ink).sum())
    faint_ink = faint & true_ink
    counts.faint, counts.faint_found = int(faint_ink.sum()), int((faint_ink & ink).sum())
    right_class = ink & (colour_class == np.where(labels == BLACK, NEUTRAL, labels))
    coloured = np.isin(labels, COLOURED)
    counts.coloured, counts.coloured_right = int(coloured.sum()), int((coloured & right_class).sum())
    black = labels == BLACK
    counts.black, counts.black_right = int(black.sum()), int((black & right_class).sum())
    paper = labels == PAPER
    counts.paper, counts.paper_clean = int(paper.sum()), int((paper & ~ink).sum())
    rule = labels == RULE
    counts.rule, counts.rule_dark = int(rule.sum()), int((rule & dark & ink).sum())
    for label in (BLACK, *COLOURED):
        where = labels == label
        counts.per_class[label] = [int(where.sum()), int((where & right_class).sum())]
    return counts
