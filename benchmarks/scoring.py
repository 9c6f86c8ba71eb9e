"""Scores a cleaned page against its truth (label map, stroke ids and strokes).

The output may have any size: it is scaled to the page size (nearest neighbour). A pixel is paper
when it is white or near white: CIELAB L* >= PAPER_LIGHTNESS and chroma C* < PAPER_CHROMA;
otherwise ink. An ink pixel is neutral when C* < CHROMA_CUT, otherwise of the coloured class whose
reference hue (the hue of its ink as the camera sees it, truth_pages.INK_COLOURS) is nearest. Dark
means L* < DARK_LIGHTNESS; black ink at full strength in lines and writing is drawn dark when
its luma is below BLACK_LUMA. A pixel's
tone is paper, or its colour class with its L* in steps of TONE_STEP: a stroke is consistent in
the share of its pixels drawn in its most frequent tone.

Every ink pixel belongs to a stroke whose contrast is known; the recall of the pixels of lines
and writing (filled shapes apart) is reported per contrast band (BANDS) and in steps of 5 % for
the plot. Show-through and paper texture count as paper (for
precision and "paper clean") and are reported on their own. Filled shapes are scored on their
interior: their pixels at least FILL_MARGIN pixels inside their outline.
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields

import numpy as np
from PIL import Image

from truth_pages import BLACK, COLOURED, INK_COLOURS, INKS, PAPER_LIKE, RULE, SHOW, TEXTURE, Truth, erode

PAPER_LIGHTNESS, PAPER_CHROMA = 90.0, 10.0
CHROMA_CUT = 15.0
DARK_LIGHTNESS = 60.0
BLACK_LUMA = 128
TONE_STEP = 20.0
FILL_MARGIN = 3
NEUTRAL = 0
#: Contrast bands of the report: [low, high).
BANDS = ((0.0, 0.1), (0.1, 0.2), (0.2, 0.3), (0.3, 1.01))
BAND_NAMES = ("< 10 %", "10-20 %", "20-30 %", ">= 30 %")
#: Contrast steps of the plot: 5 % wide.
STEPS = 20


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


def classify_output(picture: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per pixel: is ink, colour class (NEUTRAL or a coloured label), is dark, luma below
    BLACK_LUMA, tone. Computed once per distinct colour."""
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
    luma = 0.299 * rgb[:, 0] + 0.587 * rgb[:, 1] + 0.114 * rgb[:, 2]
    steps = int(100 // TONE_STEP) + 1
    tone = np.where(ink, 1 + colour_class * steps + np.clip(L // TONE_STEP, 0, steps - 1), 0).astype(np.int64)
    shape = picture.shape[:2]
    return (
        ink[inverse].reshape(shape),
        colour_class[inverse].reshape(shape),
        (L < DARK_LIGHTNESS)[inverse].reshape(shape),
        (luma < BLACK_LUMA)[inverse].reshape(shape),
        tone[inverse].reshape(shape),
    )


@dataclass
class Counts:
    """Pixel counts from which every metric follows; counts of pages add up."""

    true_ink: int = 0
    output_ink: int = 0
    both_ink: int = 0
    coloured: int = 0
    coloured_right: int = 0
    black: int = 0
    black_right: int = 0
    full_black: int = 0
    full_black_dark: int = 0
    stroke_pixels: int = 0
    stroke_main_tone: int = 0
    filled: int = 0
    filled_ink: int = 0
    paper: int = 0
    paper_clean: int = 0
    show: int = 0
    show_clean: int = 0
    texture: int = 0
    texture_clean: int = 0
    rule: int = 0
    rule_dark: int = 0
    band_pixels: list[int] = field(default_factory=lambda: [0] * len(BANDS))
    band_found: list[int] = field(default_factory=lambda: [0] * len(BANDS))
    step_pixels: list[int] = field(default_factory=lambda: [0] * STEPS)
    step_found: list[int] = field(default_factory=lambda: [0] * STEPS)
    per_class: dict[int, list[int]] = field(default_factory=dict)  # label: [pixels, right]
    per_kind: dict[str, list[int]] = field(default_factory=dict)  # kind of stroke: [pixels, found]

    def add(self, other: Counts) -> None:
        for counter in fields(self):
            mine, theirs = getattr(self, counter.name), getattr(other, counter.name)
            if isinstance(mine, list):
                setattr(self, counter.name, [a + b for a, b in zip(mine, theirs)])
            elif isinstance(mine, dict):
                for label, (pixels, right) in theirs.items():
                    entry = mine.setdefault(label, [0, 0])
                    entry[0] += pixels
                    entry[1] += right
            else:
                setattr(self, counter.name, mine + theirs)

    def metrics(self) -> dict[str, float]:
        def ratio(a: int, b: int) -> float:
            return a / b if b else float("nan")

        precision, recall = ratio(self.both_ink, self.output_ink), ratio(self.both_ink, self.true_ink)
        result = {
            "precision": precision,
            "recall": recall,
            "f1": 2 * precision * recall / (precision + recall) if precision + recall else 0.0,
            "colour_accuracy": ratio(self.coloured_right, self.coloured),
            "black_accuracy": ratio(self.black_right, self.black),
            "black_dark": ratio(self.full_black_dark, self.full_black),
            "consistency": ratio(self.stroke_main_tone, self.stroke_pixels),
            "filled": ratio(self.filled_ink, self.filled),
            "paper_clean": ratio(self.paper_clean, self.paper),
            "show_removed": ratio(self.show_clean, self.show),
            "texture_removed": ratio(self.texture_clean, self.texture),
            "rules_dark": ratio(self.rule_dark, self.rule),
        }
        for n, (found, pixels) in enumerate(zip(self.band_found, self.band_pixels)):
            result[f"recall_band{n}"] = ratio(found, pixels)
        for kind, (pixels, found) in sorted(self.per_kind.items()):
            result[f"recall_{kind}"] = ratio(found, pixels)
        return result

    def recall_curve(self) -> list[tuple[float, float, int]]:
        """(contrast at the middle of a 5 % step, recall, pixels) for every step with pixels."""
        return [
            ((n + 0.5) / STEPS, found / pixels, pixels)
            for n, (found, pixels) in enumerate(zip(self.step_found, self.step_pixels))
            if pixels
        ]


def score(output: np.ndarray, truth: Truth) -> Counts:
    """Counts for one cleaned page (any size; scaled to the truth's size)."""
    labels, ids = truth.labels, truth.stroke_ids
    height, width = labels.shape
    if output.shape[:2] != (height, width):
        output = np.asarray(Image.fromarray(output).resize((width, height), Image.Resampling.NEAREST))
    ink, colour_class, dark, below_luma, tone = classify_output(output)
    true_ink = np.isin(labels, INKS)
    scored = true_ink | np.isin(labels, PAPER_LIKE)
    counts = Counts()
    counts.true_ink = int(true_ink.sum())
    counts.output_ink = int((ink & scored).sum())
    counts.both_ink = int((ink & true_ink).sum())
    right_class = ink & (colour_class == np.where(labels == BLACK, NEUTRAL, labels))
    coloured = np.isin(labels, COLOURED)
    counts.coloured, counts.coloured_right = int(coloured.sum()), int((coloured & right_class).sum())
    black = labels == BLACK
    counts.black, counts.black_right = int(black.sum()), int((black & right_class).sum())
    paper = np.isin(labels, PAPER_LIKE)
    counts.paper, counts.paper_clean = int(paper.sum()), int((paper & ~ink).sum())
    show, texture = labels == SHOW, labels == TEXTURE
    counts.show, counts.show_clean = int(show.sum()), int((show & ~ink).sum())
    counts.texture, counts.texture_clean = int(texture.sum()), int((texture & ~ink).sum())
    rule = labels == RULE
    counts.rule, counts.rule_dark = int(rule.sum()), int((rule & dark & ink).sum())
    for label in INKS:
        where = labels == label
        counts.per_class[label] = [int(where.sum()), int((where & right_class).sum())]

    # Per stroke: tables indexed by stroke id.
    size = max([s.id for s in truth.strokes], default=0) + 1
    contrast = np.zeros(size)
    full_black = np.zeros(size, bool)
    filled = np.zeros(size, bool)
    for stroke in truth.strokes:
        contrast[stroke.id], full_black[stroke.id], filled[stroke.id] = (
            stroke.contrast,
            stroke.full_black,
            stroke.filled,
        )
    stroke_ids = np.where(true_ink, ids, 0)
    where = stroke_ids > 0
    pixel_ids, pixel_ink = stroke_ids[where], ink[where]
    lines = ~filled[pixel_ids]  # filled shapes are scored on their interior instead
    line_contrast, line_ink = contrast[pixel_ids][lines], pixel_ink[lines]
    for n, (low, high) in enumerate(BANDS):
        band = (line_contrast >= low) & (line_contrast < high)
        counts.band_pixels[n], counts.band_found[n] = int(band.sum()), int((band & line_ink).sum())
    step = np.clip((line_contrast * STEPS).astype(np.int64), 0, STEPS - 1)
    counts.step_pixels = np.bincount(step, minlength=STEPS).tolist()
    counts.step_found = np.bincount(step, weights=line_ink, minlength=STEPS).astype(np.int64).tolist()
    kinds = sorted({s.kind for s in truth.strokes})
    kind_index = np.zeros(size, np.int64)
    for stroke in truth.strokes:
        kind_index[stroke.id] = kinds.index(stroke.kind)
    pixel_kinds = kind_index[pixel_ids]
    kind_pixels = np.bincount(pixel_kinds, minlength=len(kinds))
    kind_found = np.bincount(pixel_kinds, weights=pixel_ink, minlength=len(kinds))
    for n, kind in enumerate(kinds):
        counts.per_kind[kind] = [int(kind_pixels[n]), int(kind_found[n])]
    on_full_black = full_black[pixel_ids] & lines
    counts.full_black = int(on_full_black.sum())
    counts.full_black_dark = int((on_full_black & below_luma[where]).sum())
    tones = int(tone.max()) + 1
    table = np.bincount(pixel_ids * tones + tone[where], minlength=size * tones).reshape(size, tones)
    counts.stroke_pixels, counts.stroke_main_tone = int(table.sum()), int(table.max(axis=1).sum())
    interior = erode(filled[stroke_ids] & where, FILL_MARGIN)
    counts.filled, counts.filled_ink = int(interior.sum()), int((interior & ink).sum())
    return counts
