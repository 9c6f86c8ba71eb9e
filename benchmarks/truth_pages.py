"""Synthetic photos and scans of notes with a label map: what every pixel truly is. Deterministic
for a seed. Each page varies what real photos vary: the paper (white, yellow, ruled, graph, a
whiteboard), pens and markers of six inks, faint strokes, the light (warm, cool, uneven, vignette,
a soft shadow, a glare spot), sensor noise, defocus, and the file (JPEG 80-90 or a lossless scan).

Labels (one byte a pixel): PAPER, the inks (BLACK ... TEAL), RULE for printed rules and grid
lines, EDGE for the band around strokes; RULE and EDGE are not scored as ink or paper. A second
map flags the pixels of faint strokes.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

PAPER, BLACK, RED, GREEN, BLUE, PURPLE, TEAL = range(7)
RULE, EDGE = 10, 11
INK_NAMES = {BLACK: "black", RED: "red", GREEN: "green", BLUE: "blue", PURPLE: "purple", TEAL: "teal"}
COLOURED = (RED, GREEN, BLUE, PURPLE, TEAL)

#: Inks as a camera sees them over white paper (muted, not pure).
INK_COLOURS = {
    BLACK: (30, 30, 35),
    RED: (190, 40, 50),
    GREEN: (30, 130, 70),
    BLUE: (40, 70, 180),
    PURPLE: (110, 50, 150),
    TEAL: (0, 125, 130),
}
#: Colours the truth is drawn in: clean versions of the inks.
TRUTH_COLOURS = {
    PAPER: (255, 255, 255),
    BLACK: (0, 0, 0),
    RED: (220, 30, 40),
    GREEN: (20, 150, 60),
    BLUE: (30, 70, 220),
    PURPLE: (130, 40, 180),
    TEAL: (0, 140, 145),
    RULE: (255, 255, 255),
    EDGE: (255, 255, 255),
}
#: How the contact sheets show the labels that are not scored.
SHEET_COLOURS = {RULE: (190, 215, 240), EDGE: (225, 225, 225)}


@dataclass(frozen=True)
class PageKind:
    name: str
    paper: tuple[int, int, int]
    rules: str  # "", "ruled" or "graph"
    light: str  # "warm", "cool", "even", "uneven"
    marker: bool  # marker strokes (6-10 px) rather than pens (2-5 px)
    shadow: bool
    glare: bool
    lossless: bool
    jpeg_quality: int = 85


KINDS = [
    PageKind("white-warm", (248, 246, 240), "", "warm", False, False, False, False, 85),
    PageKind("ruled-cool", (250, 250, 252), "ruled", "cool", False, False, False, False, 88),
    PageKind("yellow-uneven", (252, 240, 185), "", "uneven", False, True, False, False, 82),
    PageKind("graph-scan", (250, 250, 248), "graph", "even", False, False, False, True),
    PageKind("whiteboard-glare", (242, 246, 248), "", "cool", True, False, True, False, 80),
    PageKind("whiteboard-warm", (240, 240, 236), "", "warm", True, True, False, False, 90),
    PageKind("ruled-shadow", (246, 244, 236), "ruled", "uneven", False, True, False, False, 85),
    PageKind("white-vignette", (250, 250, 250), "graph", "warm", True, False, True, False, 86),
]


@dataclass
class Page:
    name: str
    picture: np.ndarray  # H x W x 3 uint8, as the camera wrote it
    labels: np.ndarray  # H x W uint8
    faint: np.ndarray  # H x W bool
    lossless: bool
    jpeg_quality: int


def _handwriting(rng: np.random.Generator, x: float, y: float, length: float, size: float) -> list[tuple[float, float]]:
    """A word-like run of loops: x advances while y swings, like cursive."""
    points = []
    steps = max(8, int(length / 2))
    phase = rng.uniform(0, 2 * math.pi)
    speed = rng.uniform(0.25, 0.45)
    for i in range(steps):
        t = i / steps
        wobble = math.sin(phase + i * speed) * size * 0.5 + math.sin(i * speed * 0.37) * size * 0.15
        loop = math.cos(phase + i * speed) * size * 0.25
        points.append((x + t * length + loop, y + wobble))
    return points


def _diagram(rng: np.random.Generator, width: int, height: int) -> list[list[tuple[float, float]]]:
    """A box, a circle and a line, as drawn on a whiteboard."""
    x, y = rng.uniform(0.1, 0.6) * width, rng.uniform(0.1, 0.6) * height
    w, h = rng.uniform(0.1, 0.3) * width, rng.uniform(0.1, 0.25) * height
    box = [(x, y), (x + w, y + rng.normal(0, 3)), (x + w, y + h), (x + rng.normal(0, 3), y + h), (x, y)]
    cx, cy, r = x + w + rng.uniform(60, 200), y + h / 2, rng.uniform(40, 120)
    circle = [
        (cx + r * math.cos(a) * (1 + 0.05 * math.sin(3 * a)), cy + r * math.sin(a))
        for a in np.linspace(0, 2 * math.pi, 80)
    ]
    line = [(x, y + h + 40), (x + w * 1.5, y + h + 40 + rng.normal(0, 20))]
    return [box, circle, line]


def _blur(mask: Image.Image, radius: int) -> Image.Image:
    return mask.filter(ImageFilter.MaxFilter(2 * radius + 1))


def make_page(kind: PageKind, seed: int, width: int = 2400, height: int = 1700) -> Page:
    rng = np.random.default_rng(seed)
    labels = Image.new("L", (width, height), PAPER)
    faint = Image.new("L", (width, height), 0)
    draw, draw_faint = ImageDraw.Draw(labels), ImageDraw.Draw(faint)
    scale = width / 2400

    if kind.rules == "ruled":
        gap = int(60 * scale)
        for y in range(gap * 2, height, gap):
            draw.line([(0, y), (width, y)], fill=RULE, width=max(2, int(2 * scale)))
        draw.line([(int(0.1 * width), 0), (int(0.1 * width), height)], fill=RULE, width=max(2, int(2 * scale)))
    elif kind.rules == "graph":
        gap = int(40 * scale)
        for v in range(gap, max(width, height), gap):
            draw.line([(0, v), (width, v)], fill=RULE, width=1)
            draw.line([(v, 0), (v, height)], fill=RULE, width=1)

    # Strokes: (points, ink, width, strength); drawn into the labels and the ink layers.
    strokes: list[tuple[list[tuple[float, float]], int, int, float]] = []
    line_gap = (90 if kind.marker else 60) * scale
    y = 1.7 * line_gap
    while y < height - line_gap:
        x = rng.uniform(0.12, 0.2) * width
        ink = int(rng.choice([BLACK, BLACK, RED, GREEN, BLUE, PURPLE, TEAL]))
        while x < width * 0.85:
            length = rng.uniform(80, 260) * scale * (1.6 if kind.marker else 1)
            size = line_gap * rng.uniform(0.35, 0.5)
            pen = int(rng.integers(6, 11) if kind.marker else rng.integers(2, 6))
            faint_word = rng.random() < 0.12
            strength = rng.uniform(0.35, 0.5) if faint_word else rng.uniform(0.85, 1.0)
            strokes.append((_handwriting(rng, x, y, length, size), ink, pen, strength))
            x += length + rng.uniform(30, 70) * scale
            if rng.random() < 0.2:
                ink = int(rng.choice(list(INK_NAMES)))
        y += line_gap
    for shape in _diagram(rng, width, height):
        ink = int(rng.choice(list(INK_NAMES)))
        strokes.append((shape, ink, int(rng.integers(6, 11) if kind.marker else rng.integers(3, 6)), 1.0))

    transmittance = np.ones((height, width, 3), np.float32)
    for points, ink, pen, strength in strokes:
        mask = Image.new("L", (width, height), 0)
        ImageDraw.Draw(mask).line(points, fill=255, width=pen, joint="curve")
        draw.line(points, fill=ink, width=pen, joint="curve")
        if strength < 0.6:
            draw_faint.line(points, fill=255, width=pen, joint="curve")
        box = mask.getbbox()
        if box is None:
            continue
        x0, y0, x1, y1 = box
        m = np.asarray(mask.crop(box), np.float32)[..., None] / 255
        ink_t = np.array(INK_COLOURS[ink], np.float32) / 255
        transmittance[y0:y1, x0:x1] *= 1 - m * strength * (1 - ink_t)

    label_array = np.asarray(labels).copy()
    # Rules printed on the paper: a pale blue (a red margin on ruled paper), under the ink.
    rules = label_array == RULE
    rule_colour = np.array([0.72, 0.82, 0.95], np.float32)
    transmittance[rules] *= rule_colour
    if kind.rules == "ruled":
        margin = int(0.1 * width)
        band = slice(margin - 1, margin + 2)
        transmittance[:, band] = np.where(
            rules[:, band, None], np.array([0.95, 0.7, 0.72], np.float32), transmittance[:, band]
        )

    # The band around strokes is not scored: the halving and the blur smear it either way.
    ink_mask = Image.fromarray(((label_array >= BLACK) & (label_array <= TEAL)).astype(np.uint8) * 255)
    around = np.asarray(_blur(ink_mask, 2)) > 0
    inside = np.asarray(ink_mask) > 0
    core = np.asarray(ink_mask.filter(ImageFilter.MinFilter(3))) > 0
    near_core = np.asarray(_blur(Image.fromarray(core.astype(np.uint8) * 255), 1)) > 0
    label_array[(around & ~inside) | (inside & ~core & near_core)] = EDGE
    # Rules are smeared the same way: the paper right beside them is not scored either.
    rule_mask = Image.fromarray(rules.astype(np.uint8) * 255)
    label_array[(np.asarray(_blur(rule_mask, 2)) > 0) & (label_array == PAPER)] = EDGE

    # The light on the page.
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    u, v = xx / width, yy / height
    light = np.ones((height, width, 3), np.float32)
    tint = {"warm": (1.0, 0.9, 0.74), "cool": (0.9, 0.95, 1.0), "even": (1, 1, 1), "uneven": (1.0, 0.95, 0.88)}
    light *= np.array(tint[kind.light], np.float32)
    if kind.light in ("uneven", "warm"):
        light *= (0.72 + 0.28 * (1 - u * 0.8 - v * 0.4).clip(0, 1))[..., None]
    if not kind.lossless:
        light *= (1 - 0.25 * ((u - 0.5) ** 2 + (v - 0.5) ** 2) * 2)[..., None]  # vignette
    if kind.shadow:
        cx, cy = rng.uniform(0.6, 0.9), rng.uniform(0.5, 0.9)
        light *= (1 - 0.35 / (1 + np.exp(-(((u - cx) ** 2 + (v - cy) ** 2) ** 0.5 * -25 + 4))))[..., None]
    photo = np.array(kind.paper, np.float32) * light * transmittance
    if kind.glare:
        cx, cy = rng.uniform(0.3, 0.7), rng.uniform(0.2, 0.5)
        glare = np.exp(-(((u - cx) * width) ** 2 + ((v - cy) * height) ** 2) / (2 * (0.06 * width) ** 2))
        photo += (255 - photo) * (0.8 * glare)[..., None]

    picture = Image.fromarray(np.clip(photo, 0, 255).astype(np.uint8))
    picture = picture.filter(
        ImageFilter.GaussianBlur(rng.uniform(0.5, 0.9) if kind.lossless else rng.uniform(0.7, 1.2))
    )
    samples = np.asarray(picture).astype(np.float32)
    samples += rng.normal(0, 1.5 if kind.lossless else 3.0, samples.shape).astype(np.float32)
    return Page(
        kind.name,
        np.clip(samples, 0, 255).astype(np.uint8),
        label_array,
        np.asarray(faint) > 0,
        kind.lossless,
        kind.jpeg_quality,
    )


def write_page(page: Page, folder: Path) -> Path:
    """Writes the photo as the camera or scanner would and the truth beside it; returns the
    photo's path. The truth is <name>.labels.png and <name>.faint.png."""
    folder.mkdir(parents=True, exist_ok=True)
    if page.lossless:
        path = folder / f"{page.name}.png"
        Image.fromarray(page.picture).save(path)
    else:
        path = folder / f"{page.name}.jpg"
        Image.fromarray(page.picture).save(path, quality=page.jpeg_quality)
    Image.fromarray(page.labels).save(folder / f"{page.name}.labels.png")
    Image.fromarray(page.faint.astype(np.uint8) * 255).save(folder / f"{page.name}.faint.png")
    return path


def read_truth(photo: Path) -> tuple[np.ndarray, np.ndarray]:
    """The label map and the faint-stroke flags of a page written by write_page."""
    stem = photo.with_suffix("")
    with Image.open(f"{stem}.labels.png") as labels, Image.open(f"{stem}.faint.png") as faint:
        return np.asarray(labels), np.asarray(faint) > 0


def render_truth(labels: np.ndarray, for_sheet: bool = False) -> np.ndarray:
    """The truth drawn in clean colours: what a perfect cleaner would write. For a sheet, the
    labels that are not scored are shown in light tints."""
    table = np.full((256, 3), 255, np.uint8)
    for label, colour in {**TRUTH_COLOURS, **(SHEET_COLOURS if for_sheet else {})}.items():
        table[label] = colour
    return table[labels]
