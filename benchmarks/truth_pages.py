"""Synthetic photos and scans of notes with their truth: what every pixel is, and which stroke.

Deterministic for a kind and a seed. A page is written with pens, pencils of several hardnesses
(grey, grainy), fresh and dry markers (a dry one streaky and light), highlighters (translucent,
wide), thin lines of 1-3 px and filled shapes (boxes, bars, highlighter bands, a QR-like block),
each stroke at a contrast of its own, spread continuously from 5 % to 100 %. Under them: paper
texture (mottling, grain, fibres, and the damage of a kind: creases, stains), writing that shows
through from the back of the page (mirrored and blurred) or the ghosts of an erased whiteboard,
printed rules. Over them: the light (warm, cool, dim, uneven, vignetting, a shadow, a fold, glare),
defocus, sensor noise, and the file (JPEG or a lossless scan).

The truth of a page <name>.jpg|png:
  <name>.labels.png   one byte a pixel: PAPER, an ink (BLACK ... YELLOW), RULE for printed rules,
                      EDGE for the band around strokes (RULE and EDGE are not scored), SHOW for
                      show-through or whiteboard ghosts and TEXTURE for visible paper texture and
                      damage (both scored as paper, and reported on their own);
  <name>.strokes.png  16 bits a pixel: the id of the stroke an ink pixel belongs to (0: none);
  <name>.strokes.json the page's kind and seed, and per stroke: id, kind, ink, width, filled,
                      full_black (black ink at full strength), strength, contrast (1 - its
                      darkest sample / the darkest sample of the paper around it, measured on the
                      picture before noise and compression), pixels.
"""

from __future__ import annotations

import json
import math
from dataclasses import asdict, dataclass, field
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

PAPER, BLACK, RED, GREEN, BLUE, PURPLE, TEAL, YELLOW = range(8)
RULE, EDGE, SHOW, TEXTURE = 10, 11, 12, 13
INKS = (BLACK, RED, GREEN, BLUE, PURPLE, TEAL, YELLOW)
COLOURED = (RED, GREEN, BLUE, PURPLE, TEAL, YELLOW)
PAPER_LIKE = (PAPER, SHOW, TEXTURE)
INK_NAMES = {BLACK: "black", RED: "red", GREEN: "green", BLUE: "blue", PURPLE: "purple", TEAL: "teal", YELLOW: "yellow"}

#: Inks as a camera sees them over white paper (muted, not pure); the reference hues of the scorer.
INK_COLOURS = {
    BLACK: (30, 30, 35),
    RED: (190, 40, 50),
    GREEN: (30, 130, 70),
    BLUE: (40, 70, 180),
    PURPLE: (110, 50, 150),
    TEAL: (0, 125, 130),
    YELLOW: (235, 215, 40),
}
#: The darkest black a fresh pen or marker lays down.
FULL_BLACK = (14, 14, 18)
#: Highlighters: translucent, light, of two classes.
HIGHLIGHTERS = {YELLOW: (250, 236, 60), GREEN: (140, 230, 110)}
#: Colours the truth is drawn in: clean versions of the inks.
TRUTH_COLOURS = {
    PAPER: (255, 255, 255),
    BLACK: (0, 0, 0),
    RED: (220, 30, 40),
    GREEN: (20, 150, 60),
    BLUE: (30, 70, 220),
    PURPLE: (130, 40, 180),
    TEAL: (0, 140, 145),
    YELLOW: (245, 215, 0),
    RULE: (255, 255, 255),
    EDGE: (255, 255, 255),
    SHOW: (255, 255, 255),
    TEXTURE: (255, 255, 255),
}
#: How the contact sheets show the labels that are not ink.
SHEET_COLOURS = {RULE: (190, 215, 240), EDGE: (225, 225, 225), SHOW: (250, 205, 205), TEXTURE: (215, 240, 205)}

TOOLS_PAPER = ("pen", "pen", "pen", "pencil", "pencil", "marker", "dry-marker")
TOOLS_BOARD = ("marker", "marker", "dry-marker", "dry-marker")


@dataclass(frozen=True)
class PageKind:
    name: str
    paper: tuple[int, int, int]
    board: bool  # a whiteboard: markers, ghosts of erased writing, no pencil or highlighter
    rules: str  # "", "ruled" or "graph"
    light: str  # "warm", "cool", "even", "uneven", "dim"
    shadow: bool = False
    glare: bool = False
    lossless: bool = False
    jpeg_quality: int = 85
    show_through: float = 0.0  # peak contrast of the writing from the back (ghosts on a board)
    texture: float = 0.5  # 0 smooth ... 1 recycled paper
    damage: str = ""  # "", "crease", "stain", "fold"
    noise: float = 3.0  # sensor noise (standard deviation, levels)
    blur: float = 1.0  # defocus (Gaussian radius, px at 2400 wide)


#: Pages to choose parameters on.
TUNING_KINDS = [
    PageKind("white-warm", (248, 246, 240), False, "", "warm", texture=0.4),
    PageKind("ruled-cool-show", (250, 250, 252), False, "ruled", "cool", show_through=0.08, jpeg_quality=88),
    PageKind("yellow-uneven-shadow", (252, 240, 185), False, "", "uneven", shadow=True, jpeg_quality=82),
    PageKind("graph-scan-show", (250, 250, 248), False, "graph", "even", lossless=True, show_through=0.06, noise=1.5),
    PageKind("board-glare", (242, 246, 248), True, "", "cool", glare=True, show_through=0.06, jpeg_quality=80),
    PageKind("recycled-dim", (236, 232, 222), False, "", "dim", texture=1.0, noise=5.0),
    PageKind("ruled-warm-crease", (248, 247, 242), False, "ruled", "warm", damage="crease", texture=0.6),
    PageKind("board-warm-shadow", (240, 240, 236), True, "", "warm", shadow=True, show_through=0.1, jpeg_quality=90),
]
#: Pages only to report on: other papers, boards, light and damage, and other seeds.
TEST_KINDS = [
    PageKind("cream-uneven-stain", (246, 238, 218), False, "", "uneven", damage="stain", texture=0.7),
    PageKind("ruled-scan-thin", (251, 251, 250), False, "ruled", "even", lossless=True, show_through=0.12, noise=1.5),
    PageKind("graph-warm-glare", (249, 249, 246), False, "graph", "warm", glare=True, jpeg_quality=80),
    PageKind("board-dim-ghosts", (238, 242, 244), True, "", "dim", show_through=0.12, noise=5.0, jpeg_quality=82),
    PageKind("yellow-ruled-fold", (250, 236, 170), False, "ruled", "cool", damage="fold", show_through=0.05),
    PageKind("white-shadow-soft", (250, 250, 250), False, "", "warm", shadow=True, jpeg_quality=70, blur=1.5),
    PageKind("recycled-scan", (232, 229, 220), False, "", "even", lossless=True, texture=1.2, show_through=0.08),
    PageKind("board-uneven-blur", (244, 244, 240), True, "", "uneven", show_through=0.08, blur=1.6, damage="stain"),
]
MIN_CONTRAST = 0.04
#: Changes whenever the pages drawn for a seed change: cached pages of another version are not reused.
VERSION = 5
SETS = {"tuning": (TUNING_KINDS, (11, 12)), "test": (TEST_KINDS, (21, 22))}


@dataclass
class Stroke:
    id: int
    kind: str  # pen, pencil, marker, dry-marker, highlighter, line, box, bar, band, qr
    ink: int  # its label: BLACK (also pencil) or a coloured ink
    width: int  # px: of the pen, or the height of a shape (of a module for a QR block)
    filled: bool
    full_black: bool
    strength: float
    contrast: float = 0.0
    pixels: int = 0


@dataclass
class Page:
    name: str
    picture: np.ndarray  # H x W x 3 uint8, as the camera wrote it
    labels: np.ndarray  # H x W uint8
    stroke_ids: np.ndarray  # H x W uint16
    strokes: list[Stroke]
    lossless: bool
    jpeg_quality: int
    about: dict[str, object] = field(default_factory=dict)


@dataclass
class Truth:
    labels: np.ndarray
    stroke_ids: np.ndarray
    strokes: list[Stroke]


def dilate(mask: np.ndarray, radius: int) -> np.ndarray:
    """Binary dilation by a square of side 2 * radius + 1 (separable shifts)."""
    out = mask.copy()
    for axis in (0, 1):
        grown = out.copy()
        for shift in range(1, radius + 1):
            if axis == 0:
                grown[shift:] |= out[:-shift]
                grown[:-shift] |= out[shift:]
            else:
                grown[:, shift:] |= out[:, :-shift]
                grown[:, :-shift] |= out[:, shift:]
        out = grown
    return out


def erode(mask: np.ndarray, radius: int) -> np.ndarray:
    return ~dilate(~mask, radius)


def _handwriting(rng: np.random.Generator, x: float, y: float, length: float, size: float) -> list[tuple[float, float]]:
    """A word-like run of loops: x advances while y swings, like cursive, slanted, with a few tall
    letters."""
    points = []
    steps = max(8, int(length / 2))
    phase = rng.uniform(0, 2 * math.pi)
    speed = rng.uniform(0.25, 0.45)
    slant = rng.uniform(-0.1, 0.35)
    tall = [(rng.uniform(0, steps), steps / rng.uniform(8, 14)) for _ in range(int(rng.integers(0, 3)))]
    for i in range(steps):
        t = i / steps
        wobble = math.sin(phase + i * speed) * size * 0.5 + math.sin(i * speed * 0.37) * size * 0.15
        wobble *= 1 + sum(1.3 * math.exp(-(((i - centre) / spread) ** 2)) for centre, spread in tall)
        loop = math.cos(phase + i * speed) * size * 0.25
        points.append((x + t * length + loop - wobble * slant, y + wobble))
    return points


def _marks(rng: np.random.Generator, x: float, y: float, length: float, size: float) -> list[list[tuple[float, float]]]:
    """The small strokes around a word: a dot over a letter, a full stop or a comma after it."""
    marks = []
    if rng.random() < 0.35:
        dx, dy = x + rng.uniform(0.1, 0.9) * length, y - size * rng.uniform(0.8, 1.1)
        marks.append([(dx, dy), (dx + 1.5, dy + 0.8)])
    if rng.random() < 0.25:
        dx, dy = x + length + size * 0.3, y + size * 0.45
        tail = rng.uniform(0, size * 0.3)  # a comma's tail, or none for a full stop
        marks.append([(dx, dy), (dx + 1.2, dy + 1.0), (dx - tail * 0.4, dy + 1.0 + tail)])
    return marks


def _log_uniform(rng: np.random.Generator, low: float, high: float) -> float:
    return float(math.exp(rng.uniform(math.log(low), math.log(high))))


class _Canvas:
    """Strokes drawn one by one into the page's transmittance, labels and stroke ids."""

    def __init__(self, width: int, height: int) -> None:
        self.width, self.height = width, height
        self.transmittance = np.ones((height, width, 3), np.float32)
        self.labels = np.zeros((height, width), np.uint8)
        self.ids = np.zeros((height, width), np.uint16)
        self.cover = np.zeros((height, width), np.uint16)  # topmost stroke touching a pixel at all
        self.layers = np.zeros((height, width), np.uint8)  # how many strokes touch a pixel
        self.strokes: list[Stroke] = []

    def add(self, stroke: Stroke, colour: tuple[int, int, int], x0: int, y0: int, alpha: np.ndarray) -> None:
        """alpha: the stroke's coverage in [0, 1] over a crop whose corner is (x0, y0)."""
        h, w = alpha.shape
        cx0, cy0 = max(0, x0), max(0, y0)
        cx1, cy1 = min(self.width, x0 + w), min(self.height, y0 + h)
        if cx1 <= cx0 or cy1 <= cy0:
            return
        a = alpha[cy0 - y0 : cy1 - y0, cx0 - x0 : cx1 - x0]
        ink = 1 - np.array(colour, np.float32) / 255
        self.transmittance[cy0:cy1, cx0:cx1] *= 1 - (a * stroke.strength)[..., None] * ink
        inside = a >= 0.3
        self.labels[cy0:cy1, cx0:cx1][inside] = stroke.ink
        self.ids[cy0:cy1, cx0:cx1][inside] = stroke.id
        touched = a > 0.02
        self.cover[cy0:cy1, cx0:cx1][touched] = stroke.id
        self.layers[cy0:cy1, cx0:cx1] += touched
        self.strokes.append(stroke)


def _polyline_alpha(
    points: list[tuple[float, float]], width: int, pad: int = 4
) -> tuple[int, int, np.ndarray, list[tuple[float, float]]]:
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    x0, y0 = int(min(xs)) - width - pad, int(min(ys)) - width - pad
    w, h = int(max(xs)) - x0 + width + pad, int(max(ys)) - y0 + width + pad
    local = [(x - x0, y - y0) for x, y in points]
    mask = Image.new("L", (w, h), 0)
    ImageDraw.Draw(mask).line(local, fill=255, width=width, joint="curve")
    return x0, y0, np.asarray(mask, np.float32) / 255, local


def _streaks(
    rng: np.random.Generator, local: list[tuple[float, float]], width: int, shape: tuple[int, int]
) -> np.ndarray:
    """A dry marker: streaks along the stroke of uneven strength, and a few skips."""
    pts = np.array(local, np.float64)
    tangent = np.gradient(pts, axis=0)
    tangent /= np.maximum(np.hypot(tangent[:, 0], tangent[:, 1]), 1e-6)[:, None]
    normal = np.stack([-tangent[:, 1], tangent[:, 0]], axis=1)
    streak = Image.new("L", (shape[1], shape[0]), 0)
    draw = ImageDraw.Draw(streak)
    for k in range(width):
        offset = k - (width - 1) / 2
        value = int(255 * rng.uniform(0.5, 1.0))
        shifted = [tuple(p) for p in pts + offset * normal]
        draw.line(shifted, fill=value, width=2)
    alpha = np.asarray(streak, np.float32) / 255
    # Skips: stretches where the marker barely touched the surface.
    n = len(local)
    for _ in range(int(rng.integers(0, 3))):
        i = int(rng.integers(0, n))
        x, y = local[i]
        r = width * rng.uniform(0.6, 1.2)
        yy, xx = np.ogrid[0 : shape[0], 0 : shape[1]]
        alpha = np.where((xx - x) ** 2 + (yy - y) ** 2 < r * r, alpha * 0.15, alpha)
    return alpha


def _grain(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
    """Graphite on paper grain: coverage between about 0.55 and 1."""
    noise = rng.uniform(0, 1, shape).astype(np.float32)
    smooth = np.asarray(Image.fromarray((noise * 255).astype(np.uint8)).filter(ImageFilter.BoxBlur(1)), np.float32)
    return 0.55 + 0.45 * np.clip((smooth / 255 - 0.3) / 0.4, 0, 1)


def _ink_for(rng: np.random.Generator, tool: str) -> int:
    if tool == "pencil":
        return BLACK
    return int(rng.choice([BLACK, BLACK, BLACK, RED, GREEN, BLUE, BLUE, PURPLE, TEAL]))


def _tool_colour(tool: str, ink: int, rng: np.random.Generator) -> tuple[int, int, int]:
    if tool == "pencil":
        grey = int(rng.uniform(60, 80))  # a soft lead; harder leads are the same grey, lighter
        return (grey, grey, grey + 6)
    if ink == BLACK:
        return FULL_BLACK
    return INK_COLOURS[ink]


def _strength(contrast: float, colour: tuple[int, int, int], width: int = 9) -> float:
    """The strength at which an ink darkens white paper by about that contrast (at most full),
    allowing for what the defocus takes from thin strokes."""
    reach = (1 - min(colour) / 255) * {1: 0.5, 2: 0.7, 3: 0.85}.get(width, 1.0)
    return float(min(1.0, contrast / reach))


def _contrast_for(rng: np.random.Generator, tool: str) -> float:
    if tool == "pencil":  # 4H ... 6B
        return _log_uniform(rng, 0.05, 0.7)
    if tool == "dry-marker":
        return _log_uniform(rng, 0.05, 0.5)
    if tool == "marker":
        return float(rng.uniform(0.3, 1.0))
    return _log_uniform(rng, 0.05, 1.0)


def _tool_width(rng: np.random.Generator, tool: str, scale: float) -> int:
    low, high = {"pen": (1, 4), "pencil": (1, 3), "marker": (5, 12), "dry-marker": (6, 12)}[tool]
    return max(1, round(rng.uniform(low, high + 0.99) * max(scale, 0.5)))


def _text_rows(rng: np.random.Generator, canvas: _Canvas, kind: PageKind, scale: float, skip: list[range]) -> None:
    width, height = canvas.width, canvas.height
    tools = TOOLS_BOARD if kind.board else TOOLS_PAPER
    y = 110 * scale
    while y < height - 60 * scale:
        if any(int(y) in band for band in skip):
            y += 30 * scale
            continue
        tool = str(rng.choice(tools))
        gap = (95 if tool in ("marker", "dry-marker") else 62) * scale
        ink = _ink_for(rng, tool)
        contrast = _contrast_for(rng, tool)
        if ink == BLACK and tool in ("pen", "marker") and rng.random() < 0.4:
            contrast = 1.0  # a fresh black pen or marker: black ink at full strength
        x = rng.uniform(0.12, 0.2) * width
        words = []
        while x < width * 0.86:
            length = rng.uniform(80, 260) * scale * (1.5 if tool in ("marker", "dry-marker") else 1)
            words.append((x, length))
            x += length + rng.uniform(30, 70) * scale
        if not kind.board and rng.random() < 0.2 and len(words) > 1:  # a highlighter over a few words
            first = int(rng.integers(0, len(words) - 1))
            last = min(len(words) - 1, first + int(rng.integers(0, 3)))
            hx0, hx1 = words[first][0] - 10 * scale, words[last][0] + words[last][1] + 10 * scale
            _highlighter(rng, canvas, [(hx0, y), (hx1, y + rng.normal(0, 4 * scale))], int(gap * rng.uniform(0.6, 0.9)))
        for wx, length in words:
            size = gap * rng.uniform(0.3, 0.45)
            word_contrast = float(np.clip(contrast * rng.uniform(0.8, 1.25), 0.04, 1.0))
            _word(rng, canvas, tool, ink, word_contrast, _handwriting(rng, wx, y, length, size), scale)
            for mark in _marks(rng, wx, y, length, size):
                _word(rng, canvas, tool, ink, word_contrast, mark, scale)
        y += gap


def _word(
    rng: np.random.Generator,
    canvas: _Canvas,
    tool: str,
    ink: int,
    contrast: float,
    points: list[tuple[float, float]],
    scale: float,
) -> None:
    width = _tool_width(rng, tool, scale)
    colour = _tool_colour(tool, ink, rng)
    strength = _strength(contrast, colour, width)
    x0, y0, alpha, local = _polyline_alpha(points, width)
    if tool == "pencil":
        alpha = alpha * _grain(rng, alpha.shape)
    elif tool == "dry-marker":
        alpha = np.minimum(alpha, _streaks(rng, local, width, alpha.shape))
    full = ink == BLACK and tool in ("pen", "marker") and strength >= 0.9
    stroke = Stroke(len(canvas.strokes) + 1, tool, ink, width, False, full, strength)
    canvas.add(stroke, colour, x0, y0, alpha)


def _highlighter(rng: np.random.Generator, canvas: _Canvas, points: list[tuple[float, float]], width: int) -> None:
    ink = int(rng.choice(list(HIGHLIGHTERS)))
    x0, y0, alpha, _ = _polyline_alpha(points, width)
    stroke = Stroke(len(canvas.strokes) + 1, "highlighter", ink, width, True, False, float(rng.uniform(0.6, 1.0)))
    canvas.add(stroke, HIGHLIGHTERS[ink], x0, y0, alpha)


def _shape(
    canvas: _Canvas,
    kind: str,
    ink: int,
    colour: tuple[int, int, int],
    strength: float,
    x0: int,
    y0: int,
    alpha: np.ndarray,
    width: int,
) -> None:
    full = ink == BLACK and strength >= 0.9
    stroke = Stroke(len(canvas.strokes) + 1, kind, ink, width, kind != "line", full, strength)
    canvas.add(stroke, colour, x0, y0, alpha)


def _qr_block(rng: np.random.Generator, module: int) -> np.ndarray:
    """A QR-like block of 25 x 25 modules: three finder squares and random data."""
    n = 25
    bits = rng.random((n, n)) < 0.5
    for fy, fx in ((0, 0), (0, n - 7), (n - 7, 0)):
        finder = np.zeros((7, 7), bool)
        finder[[0, 6], :] = finder[:, [0, 6]] = True
        finder[2:5, 2:5] = True
        bits[fy : fy + 7, fx : fx + 7] = finder
    return np.repeat(np.repeat(bits, module, 0), module, 1).astype(np.float32)


def _rectangle(rect_w: int, rect_h: int, angle: float) -> np.ndarray:
    """A filled rectangle turned by angle, centred in a crop of twice its size."""
    c, s = math.cos(angle), math.sin(angle)
    corners = [
        (rect_w + dx * rect_w / 2 * c - dy * rect_h / 2 * s, rect_h + dx * rect_w / 2 * s + dy * rect_h / 2 * c)
        for dx, dy in ((-1, -1), (1, -1), (1, 1), (-1, 1))
    ]
    mask = Image.new("L", (2 * rect_w, 2 * rect_h), 0)
    ImageDraw.Draw(mask).polygon(corners, fill=255)
    return np.asarray(mask, np.float32) / 255


def _any_contrast_ink(rng: np.random.Generator, low: float) -> tuple[int, tuple[int, int, int], float]:
    ink = _ink_for(rng, "marker")
    colour = FULL_BLACK if ink == BLACK else INK_COLOURS[ink]
    return ink, colour, _strength(_log_uniform(rng, low, 1.0), colour)


def _shapes_row(rng: np.random.Generator, canvas: _Canvas, kind: PageKind, scale: float, top: int) -> int:
    """Filled shapes and thin lines along a row starting at top; returns the row's height."""
    x = int(0.1 * canvas.width)
    tall = int(120 * scale)
    if not kind.board:  # a QR-like block, printed black
        module = max(2, round(rng.uniform(5, 8) * scale))
        block = _qr_block(rng, module)
        _shape(canvas, "qr", BLACK, FULL_BLACK, float(rng.uniform(0.9, 1.0)), x, top, block, module)
        x += block.shape[1] + int(60 * scale)
        tall = max(tall, block.shape[0])
    # A filled box, a bar and a band under it, each at a contrast of its own.
    box_w, box_h = int(rng.uniform(90, 200) * scale), int(rng.uniform(70, 160) * scale)
    ink, colour, strength = _any_contrast_ink(rng, 0.08)
    alpha = _rectangle(box_w, box_h, rng.uniform(-0.15, 0.15))
    _shape(canvas, "box", ink, colour, strength, x - box_w // 2, top - box_h // 2, alpha, box_h)
    x += box_w + int(60 * scale)
    tall = max(tall, box_h)
    bar_w, bar_h = int(rng.uniform(200, 450) * scale), max(4, int(rng.uniform(16, 40) * scale))
    ink, colour, strength = _any_contrast_ink(rng, 0.1)
    if rng.random() < 0.5:  # a redaction bar: black at full strength
        ink, colour, strength = BLACK, FULL_BLACK, 1.0
    alpha = _rectangle(bar_w, bar_h, rng.uniform(-0.04, 0.04))
    _shape(canvas, "bar", ink, colour, strength, x - bar_w // 2, top - bar_h // 2, alpha, bar_h)
    band_w, band_h = int(rng.uniform(300, 600) * scale), max(8, int(rng.uniform(70, 90) * scale))
    band_top = top + bar_h + int(40 * scale)
    if kind.board:  # a marker filled in
        ink, colour, strength = _any_contrast_ink(rng, 0.1)
    else:
        ink = int(rng.choice(list(HIGHLIGHTERS)))
        colour, strength = HIGHLIGHTERS[ink], float(rng.uniform(0.6, 1.0))
    _shape(canvas, "band", ink, colour, strength, x, band_top, np.ones((band_h, band_w), np.float32), band_h)
    x += max(bar_w, band_w) + int(60 * scale)
    tall = max(tall, band_top + band_h - top)
    # Thin lines of 1-3 px: underlines, arrows, ruled-off lines, at any angle and contrast.
    right = canvas.width - int(0.05 * canvas.width)
    while x < right - 60 * scale:
        length = rng.uniform(150, 450) * scale
        angle = rng.uniform(-0.5, 0.5) if rng.random() < 0.7 else rng.uniform(0.9, 1.5)
        dx, dy = length * math.cos(angle), length * math.sin(angle)
        start_y = top + (0 if dy > 0 else -dy) + rng.uniform(0, 20 * scale)
        points = [(x, start_y), (x + dx, start_y + dy)]
        if max(p[0] for p in points) > right:
            break
        width = int(rng.integers(1, 4))
        ink, colour, strength = _any_contrast_ink(rng, 0.05)
        if ink != BLACK and rng.random() < 0.5:
            ink, colour = BLACK, FULL_BLACK
        strength = min(1.0, strength / {1: 0.5, 2: 0.7, 3: 0.85}[width])
        lx0, ly0, alpha, _ = _polyline_alpha(points, width)
        _shape(canvas, "line", ink, colour, strength, lx0, ly0, alpha, width)
        tall = max(tall, int(abs(dy) + 20 * scale))
        x += int(rng.uniform(25, 80) * scale) + int(max(0.0, dx) * rng.uniform(0.2, 0.6))
    return tall


def _back_writing(rng: np.random.Generator, width: int, height: int, board: bool, scale: float) -> np.ndarray:
    """Darkening in [0, 1] of the writing on the back of the page, mirrored and blurred through
    the paper; on a board, the smeared ghosts of erased writing."""
    mask = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(mask)
    gap = (95 if board else 62) * scale
    y = rng.uniform(60, 120) * scale
    while y < height - 40 * scale:
        x = rng.uniform(0.08, 0.2) * width
        pen = max(1, round((rng.uniform(6, 11) if board else rng.uniform(2, 4)) * scale))
        while x < width * 0.9:
            length = rng.uniform(80, 260) * scale
            value = int(255 * rng.uniform(0.6, 1.0))
            draw.line(_handwriting(rng, x, y, length, gap * 0.4), fill=value, width=pen, joint="curve")
            x += length + rng.uniform(30, 70) * scale
        y += gap * rng.uniform(0.9, 1.3)
    if not board:
        mask = mask.transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    radius = (rng.uniform(2.5, 4.0) if board else rng.uniform(2.0, 3.5)) * max(scale, 0.5)
    back = np.asarray(mask.filter(ImageFilter.GaussianBlur(radius)), np.float32) / 255
    if board:  # wiped: the ghosts come and go
        wipe = rng.uniform(0, 1, (max(2, height // 200), max(2, width // 200))).astype(np.float32)
        wipe_image = Image.fromarray((wipe * 255).astype(np.uint8)).resize((width, height), Image.Resampling.BICUBIC)
        back *= np.asarray(wipe_image, np.float32) / 255
    return back / max(float(back.max()), 1e-6)


def _texture(rng: np.random.Generator, kind: PageKind, width: int, height: int, scale: float) -> np.ndarray:
    """The paper's own darkening (mottling, grain, fibres, damage), >= 0, as a fraction."""
    small = rng.normal(0, 1, (max(2, height // 24), max(2, width // 24))).astype(np.float32)
    mottle_image = Image.fromarray(np.clip(128 + small * 40, 0, 255).astype(np.uint8))
    mottle = np.asarray(mottle_image.resize((width, height), Image.Resampling.BICUBIC), np.float32) / 255 - 0.5
    grain = rng.normal(0, 1, (height, width)).astype(np.float32)
    dark = kind.texture * (0.03 * (mottle + 0.5) + 0.006 * np.abs(grain))
    fibres = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(fibres)
    for _ in range(int(kind.texture * 600 * (width * height) / 4e6)):
        x, y = rng.uniform(0, width), rng.uniform(0, height)
        angle, length = rng.uniform(0, 2 * math.pi), rng.uniform(8, 40) * scale
        bend = rng.normal(0, 0.4)
        points = [
            (x + t * length * math.cos(angle + bend * t), y + t * length * math.sin(angle + bend * t))
            for t in np.linspace(0, 1, 6)
        ]
        draw.line(points, fill=int(rng.uniform(80, 255)), width=1)
    fibre_dark = 0.1 * math.sqrt(kind.texture)
    dark += fibre_dark * np.asarray(fibres.filter(ImageFilter.GaussianBlur(0.6)), np.float32) / 255
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    if kind.damage == "crease":  # a crease: a dark line with a bright ridge beside it
        x0, angle = rng.uniform(0.3, 0.7) * width, rng.uniform(-0.3, 0.3)
        d = (xx - x0 - (yy - height / 2) * math.tan(angle)) * math.cos(angle)
        dark += 0.09 * np.exp(-((d / (1.5 * max(scale, 0.5))) ** 2)) - 0.03 * np.exp(-(((d - 5 * scale) / 4) ** 2))
    elif kind.damage == "stain":  # a coffee ring: a tinted disc with a darker rim
        cx, cy, r = rng.uniform(0.3, 0.8) * width, rng.uniform(0.3, 0.8) * height, rng.uniform(0.08, 0.15) * width
        d = np.hypot(xx - cx, yy - cy) / r
        dark += np.where(d < 1, 0.04 + 0.08 * np.exp(-(((1 - d) * r / (4 * max(scale, 0.5))) ** 2)), 0)
    return dark


def make_page(kind: PageKind, seed: int, width: int = 2400, height: int = 1700) -> Page:
    rng = np.random.default_rng(seed)
    scale = width / 2400
    canvas = _Canvas(width, height)

    # Printed rules, under everything.
    rules = np.zeros((height, width), bool)
    rule_image = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(rule_image)
    if kind.rules == "ruled":
        gap = int(62 * scale)
        for y in range(gap * 2, height, gap):
            draw.line([(0, y), (width, y)], fill=255, width=max(2, int(2 * scale)))
        draw.line([(int(0.1 * width), 0), (int(0.1 * width), height)], fill=255, width=max(2, int(2 * scale)))
    elif kind.rules == "graph":
        gap = int(40 * scale)
        for v in range(gap, max(width, height), gap):
            draw.line([(0, v), (width, v)], fill=255, width=1)
            draw.line([(v, 0), (v, height)], fill=255, width=1)
    rules = np.asarray(rule_image) > 0

    # Rows of shapes first (their place is kept free of writing), then the writing, then the
    # strokes' contrasts once the picture is made.
    shape_rows = []
    for fraction in (0.3, 0.7) if height >= 600 else (0.5,):
        top = int(fraction * height)
        tall = _shapes_row(rng, canvas, kind, scale, top)
        shape_rows.append(range(top - int(70 * scale), top + tall + int(30 * scale)))
    _text_rows(rng, canvas, kind, scale, shape_rows)

    transmittance = canvas.transmittance
    transmittance[rules] *= np.array([0.72, 0.82, 0.95], np.float32)
    if kind.rules == "ruled":
        margin = int(0.1 * width)
        band = slice(margin - 1, margin + 2)
        transmittance[:, band] = np.where(
            rules[:, band, None], np.array([0.95, 0.7, 0.72], np.float32), transmittance[:, band]
        )
    texture = _texture(rng, kind, width, height, scale)
    transmittance *= (1 - texture)[..., None]
    back = np.zeros((height, width), np.float32)
    if kind.show_through:
        back = _back_writing(rng, width, height, kind.board, scale) * kind.show_through * rng.uniform(0.8, 1.2)
        tint = np.array([0.85, 0.9, 1.0] if kind.board else [1.0, 0.97, 0.9], np.float32)  # ink seen through paper
        transmittance *= 1 - back[..., None] * tint

    labels = canvas.labels
    labels[rules & (labels == PAPER)] = RULE
    # The band around strokes is not scored: the halving and the blur smear it either way.
    inside = np.isin(labels, INKS)
    around = dilate(inside, 2)
    core = erode(inside, 1)
    edge = (around & ~inside) | (inside & ~core & dilate(core, 1))
    labels[edge] = EDGE
    labels[dilate(rules, 2) & (labels == PAPER)] = EDGE
    labels[(back >= 0.02) & (labels == PAPER)] = SHOW
    labels[(texture >= 0.02) & (labels == PAPER)] = TEXTURE
    ids = canvas.ids
    ids[~np.isin(labels, INKS)] = 0

    # The light on the page.
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    u, v = xx / width, yy / height
    light = np.ones((height, width, 3), np.float32)
    tint = {
        "warm": (1.0, 0.9, 0.74),
        "cool": (0.9, 0.95, 1.0),
        "even": (1, 1, 1),
        "uneven": (1.0, 0.95, 0.88),
        "dim": (0.66, 0.64, 0.6),
    }
    light *= np.array(tint[kind.light], np.float32)
    if kind.light in ("uneven", "warm", "dim"):
        light *= (0.72 + 0.28 * (1 - u * 0.8 - v * 0.4).clip(0, 1))[..., None]
    if not kind.lossless:
        light *= (1 - 0.25 * ((u - 0.5) ** 2 + (v - 0.5) ** 2) * 2)[..., None]  # vignette
    if kind.shadow:
        cx, cy = rng.uniform(0.6, 0.9), rng.uniform(0.5, 0.9)
        light *= (1 - 0.35 / (1 + np.exp(-(((u - cx) ** 2 + (v - cy) ** 2) ** 0.5 * -25 + 4))))[..., None]
    if kind.damage == "fold":  # a fold across the page: a soft shadow along it
        fold = rng.uniform(0.35, 0.65)
        light *= (1 - 0.18 * np.exp(-(((v - fold) * height / (25 * scale)) ** 2)))[..., None]
    photo = np.array(kind.paper, np.float32) * light * transmittance
    if kind.glare:
        cx, cy = rng.uniform(0.3, 0.7), rng.uniform(0.2, 0.5)
        glare = np.exp(-(((u - cx) * width) ** 2 + ((v - cy) * height) ** 2) / (2 * (0.06 * width) ** 2))
        photo += (255 - photo) * (0.8 * glare)[..., None]

    blurred = Image.fromarray(np.clip(photo, 0, 255).astype(np.uint8)).filter(
        ImageFilter.GaussianBlur(kind.blur * rng.uniform(0.75, 1.15) * max(scale, 0.5))
    )
    clean = np.asarray(blurred).astype(np.float32)
    strokes = _measure(canvas, clean.min(axis=2), dilate(rules, 1), labels)
    samples = clean + rng.normal(0, kind.noise, clean.shape).astype(np.float32)
    return Page(
        kind.name,
        np.clip(samples, 0, 255).astype(np.uint8),
        labels,
        ids,
        strokes,
        kind.lossless,
        kind.jpeg_quality,
        {"kind": asdict(kind), "seed": seed},
    )


def _measure(canvas: _Canvas, darkest: np.ndarray, rules: np.ndarray, labels: np.ndarray) -> list[Stroke]:
    """Each stroke's contrast (1 - its darkest sample / the paper's darkest sample around it) and
    scored pixels, measured on the picture before noise. Crossings (with printed rules or other
    strokes) are left out of both samples. Strokes left with no pixel are dropped, and so are
    strokes below MIN_CONTRAST, which no reader sees: their pixels are not scored."""
    ids, cover, layers = canvas.ids, canvas.cover, canvas.layers
    height, width = ids.shape
    ys, xs = np.nonzero(ids)
    order = np.argsort(ids[ys, xs], kind="stable")
    ys, xs = ys[order], xs[order]
    starts = np.searchsorted(ids[ys, xs], np.arange(len(canvas.strokes) + 2))
    kept = []
    for stroke in canvas.strokes:
        lo, hi = starts[stroke.id], starts[stroke.id + 1]
        if hi <= lo:
            continue
        sy, sx = ys[lo:hi], xs[lo:hi]
        pad = 9
        y0, y1 = max(0, int(sy.min()) - pad), min(height, int(sy.max()) + pad + 1)
        x0, x1 = max(0, int(sx.min()) - pad), min(width, int(sx.max()) + pad + 1)
        own = ids[y0:y1, x0:x1] == stroke.id
        free = ~rules[y0:y1, x0:x1]
        ring = dilate(own, 7) & ~dilate(cover[y0:y1, x0:x1] == stroke.id, 3) & free
        ring &= cover[y0:y1, x0:x1] < stroke.id
        alone = own & free & (layers[y0:y1, x0:x1] == 1)
        values = darkest[y0:y1, x0:x1]
        paper = float(np.median(values[ring])) if ring.any() else float(np.percentile(darkest, 90))
        dark = float(np.percentile(values[alone if alone.sum() >= 10 else own], 5))
        stroke.contrast = round(float(np.clip(1 - dark / max(paper, 1.0), 0, 1)), 4)
        stroke.pixels = int(hi - lo)
        if stroke.contrast < MIN_CONTRAST:
            labels[sy, sx] = EDGE
            ids[sy, sx] = 0
            continue
        kept.append(stroke)
    return kept


def write_page(page: Page, folder: Path) -> Path:
    """Writes the photo as the camera or scanner would and its truth beside it; returns the
    photo's path."""
    folder.mkdir(parents=True, exist_ok=True)
    if page.lossless:
        path = folder / f"{page.name}.png"
        Image.fromarray(page.picture).save(path)
    else:
        path = folder / f"{page.name}.jpg"
        Image.fromarray(page.picture).save(path, quality=page.jpeg_quality)
    Image.fromarray(page.labels).save(folder / f"{page.name}.labels.png")
    Image.fromarray(page.stroke_ids.astype(np.uint16)).save(folder / f"{page.name}.strokes.png")
    about = {**page.about, "strokes": [asdict(s) for s in page.strokes]}
    (folder / f"{page.name}.strokes.json").write_text(json.dumps(about, indent=0))
    return path


def truth_files(photo: Path) -> list[Path]:
    stem = photo.with_suffix("")
    return [Path(f"{stem}.labels.png"), Path(f"{stem}.strokes.png"), Path(f"{stem}.strokes.json")]


def read_truth(photo: Path) -> Truth:
    """The truth of a page written by write_page."""
    labels_path, ids_path, about_path = truth_files(photo)
    with Image.open(labels_path) as labels, Image.open(ids_path) as ids:
        label_array = np.asarray(labels)
        id_array = np.asarray(ids).astype(np.int32)
    about = json.loads(about_path.read_text())
    return Truth(label_array, id_array, [Stroke(**s) for s in about["strokes"]])


def render_truth(labels: np.ndarray, for_sheet: bool = False) -> np.ndarray:
    """The truth drawn in clean colours: what a perfect cleaner would write. For a sheet, the
    labels that are not ink are shown in light tints."""
    table = np.full((256, 3), 255, np.uint8)
    for label, colour in {**TRUTH_COLOURS, **(SHEET_COLOURS if for_sheet else {})}.items():
        table[label] = colour
    return table[labels]
