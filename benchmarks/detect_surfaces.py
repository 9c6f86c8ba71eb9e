"""What lies in the plane of a detection scene: a page with handwriting, a whiteboard (writing
surface with marker writing, aluminium frame, corner caps, marker tray with markers), and the
surface under or behind it (a desk, a white desk, wood, a wall, a scanner's lid), all in
millimetres of the plane. Textures are RGBA pictures with a transparent border, so that sampling
them gives smooth edges; the ink is drawn into a mask too, for the "no ink cut off" check."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

PAGE_SIZES_MM = {"a4": (210.0, 297.0), "letter": (215.9, 279.4)}
BOARD_SIZES_MM = [(900, 600), (1200, 900), (1500, 1000), (1800, 1200), (1200, 800), (2000, 1000), (1000, 700)]
PEN_INKS = [(35, 40, 60), (30, 50, 140), (25, 25, 30), (40, 60, 160)]
MARKER_INKS = [(30, 32, 38), (30, 60, 170), (185, 40, 45), (30, 130, 70)]


@dataclass
class Texture:
    picture: Image.Image  # RGBA
    ink: np.ndarray  # bool, same size: pixels of ink
    scale: float  # texture pixels per millimetre
    pad: float  # texture pixels before the plane's origin
    surface_mm: tuple[float, float, float, float]  # the page or writing surface: left, top, right, bottom
    extent_mm: tuple[float, float, float, float]  # everything drawn: left, top, right, bottom


def _scribble(
    rng: np.random.Generator,
    draws: list[ImageDraw.ImageDraw],
    box: tuple[float, float, float, float],
    line_height: float,
    width: float,
    colour: tuple[int, ...],
    fill: float,
) -> None:
    """Handwriting-like lines of words (wavy polylines) inside box, in texture pixels."""
    left, top, right, bottom = box
    y = top + line_height * 0.7
    while y < bottom - line_height * 0.2:
        if rng.random() < 1 - fill:
            y += line_height
            continue
        x = left + rng.uniform(0, 0.15) * (right - left) * (rng.random() < 0.3)
        end = right - rng.uniform(0, 0.4) * (right - left)
        while x < end:
            word = min(rng.uniform(2.0, 7.0) * line_height * 0.45, right - x)
            if word < line_height * 0.5:
                break
            n = max(4, int(word / (line_height * 0.12)))
            xs = x + np.linspace(0, word, n) + rng.normal(0, line_height * 0.03, n)
            ys = y - np.abs(rng.normal(0, line_height * 0.22, n)) * (rng.random(n) < 0.8)
            ys[::2] = y - rng.uniform(0, line_height * 0.15, len(ys[::2]))
            points = [(float(a), float(b)) for a, b in zip(xs, ys)]
            for draw in draws:
                draw.line(points, fill=colour if draw.mode != "L" else 255, width=max(1, round(width)), joint="curve")
            x += word + rng.uniform(0.4, 0.9) * line_height * 0.6
        y += line_height


def _ensure_ink(
    rng: np.random.Generator,
    draws: list[ImageDraw.ImageDraw],
    mask: Image.Image,
    box: tuple[float, float, float, float],
    line_height: float,
    width: float,
    colour: tuple[int, ...],
) -> None:
    """One full line of writing in the middle of box when the dice left the page blank."""
    if mask.getbbox() is not None:
        return
    middle = (box[1] + box[3]) / 2
    _scribble(rng, draws, (box[0], middle - line_height, box[2], middle + line_height), line_height, width, colour, 1.0)


def _sketch(
    rng: np.random.Generator,
    draws: list[ImageDraw.ImageDraw],
    box: tuple[float, float, float, float],
    width: float,
    colour: tuple[int, ...],
) -> None:
    """A box, an ellipse or an arrow inside box."""
    left, top, right, bottom = box
    if right - left < 20 or bottom - top < 20:
        return
    x0, x1 = sorted(rng.uniform(left, right, 2))
    y0, y1 = sorted(rng.uniform(top, bottom, 2))
    shape = rng.integers(3)
    for draw in draws:
        fill = colour if draw.mode != "L" else 255
        w = max(1, round(width))
        if shape == 0:
            draw.rectangle((x0, y0, x1, y1), outline=fill, width=w)
        elif shape == 1:
            draw.ellipse((x0, y0, x1, y1), outline=fill, width=w)
        else:
            draw.line([(x0, y0), (x1, y1)], fill=fill, width=w)
            draw.line([(x1, y1), (x1 - (x1 - x0) * 0.2, y1)], fill=fill, width=w)


def page_texture(rng: np.random.Generator, paper: str, scale: float) -> Texture:
    """A sheet of paper with handwriting; now and then writing runs close to an edge."""
    width_mm, height_mm = PAGE_SIZES_MM[paper]
    pad = 4.0
    w, h = round(width_mm * scale + 2 * pad), round(height_mm * scale + 2 * pad)
    tone = np.array([246, 245, 240]) + rng.integers(-6, 5) + rng.integers(-2, 3, 3)
    picture = Image.new("RGBA", (w, h), (*[int(v) for v in tone], 0))
    ImageDraw.Draw(picture).rectangle((pad, pad, w - pad - 1, h - pad - 1), fill=(*[int(v) for v in tone], 255))
    mask = Image.new("L", (w, h), 0)
    draws = [ImageDraw.Draw(picture), ImageDraw.Draw(mask)]
    near = rng.random() < 0.3
    margins = rng.uniform(3, 7, 4) if near else rng.uniform(10, 35, 4)
    box = (
        pad + margins[0] * scale,
        pad + margins[1] * scale,
        w - pad - margins[2] * scale,
        h - pad - margins[3] * scale,
    )
    ink = PEN_INKS[rng.integers(len(PEN_INKS))]
    _scribble(rng, draws, box, rng.uniform(7, 10) * scale, rng.uniform(0.35, 0.7) * scale, ink, rng.uniform(0.5, 0.95))
    for _ in range(rng.integers(0, 3)):
        _sketch(rng, draws, box, rng.uniform(0.4, 0.8) * scale, ink)
    if near:
        # A note in a margin, right at an edge, so that a quad cutting the page shows.
        edge = rng.integers(4)
        x = pad + rng.uniform(30, width_mm - 60) * scale
        y = pad + rng.uniform(30, height_mm - 60) * scale
        spot = [
            (x, pad + 2.5 * scale, x + 40 * scale, pad + 9 * scale),
            (w - pad - 9 * scale, y, w - pad - 2.5 * scale, y + 40 * scale),
            (x, h - pad - 9 * scale, x + 40 * scale, h - pad - 2.5 * scale),
            (pad + 2.5 * scale, y, pad + 9 * scale, y + 40 * scale),
        ][edge]
        _scribble(rng, draws, spot, 6 * scale, 0.5 * scale, ink, 1.0)
    _ensure_ink(rng, draws, mask, box, 8 * scale, 0.5 * scale, ink)
    # The sheet's true size is the drawn one (whole texture pixels).
    sheet = (0.0, 0.0, (w - 2 * pad) / scale, (h - 2 * pad) / scale)
    return Texture(picture, np.asarray(mask) > 127, scale, pad, sheet, sheet)


def board_texture(rng: np.random.Generator, scale: float) -> Texture:
    """A whiteboard: the writing surface at [0, W] x [0, H] mm with marker writing and faint
    ghosts of old writing, its aluminium frame, dark corner caps and a tray with markers."""
    width_mm, height_mm = BOARD_SIZES_MM[rng.integers(len(BOARD_SIZES_MM))]
    frame = rng.uniform(15, 30)
    tray = rng.uniform(40, 75)
    left, top = -frame, -frame
    right, bottom = width_mm + frame, height_mm + frame + tray
    pad = 4.0
    w, h = round((right - left) * scale + 2 * pad), round((bottom - top) * scale + 2 * pad)

    def px(x: float, y: float) -> tuple[float, float]:
        return (pad + (x - left) * scale, pad + (y - top) * scale)

    surface_tone = np.array([240, 243, 245]) + rng.integers(-8, 6, 3)
    aluminium = int(rng.integers(165, 215))
    picture = Image.new("RGBA", (w, h), (aluminium, aluminium, aluminium, 0))
    draw = ImageDraw.Draw(picture)
    mask = Image.new("L", (w, h), 0)
    # Tray: a darker strip below the frame, with a lip.
    tray_tone = aluminium - int(rng.integers(20, 60))
    draw.rectangle((*px(left + 10, height_mm + frame), *px(right - 10, bottom)), fill=(tray_tone,) * 3 + (255,))
    draw.rectangle((*px(left + 10, bottom - tray * 0.25), *px(right - 10, bottom)), fill=(tray_tone + 25,) * 3 + (255,))
    # Frame: a bevelled aluminium band, lighter on its outer half, dark seam next to the surface.
    for i, (inset, tone) in enumerate([(0.0, aluminium - 35), (0.08, aluminium + 15), (0.55, aluminium - 10)]):
        d = frame * inset
        draw.rectangle(
            (*px(-frame + d, -frame + d), *px(width_mm + frame - d, height_mm + frame - d)),
            fill=(min(255, tone),) * 3 + (255,),
        )
    seam = max(1.0, 1.5 * scale)
    # The surface covers whole texture pixels [x0, x1) x [y0, y1); its size in mm follows from them.
    x0, y0 = (round(v) for v in px(0, 0))
    x1, y1 = (round(v) for v in px(width_mm, height_mm))
    draw.rectangle((x0 - seam, y0 - seam, x1 - 1 + seam, y1 - 1 + seam), fill=(aluminium - 70,) * 3 + (255,))
    draw.rectangle((x0, y0, x1 - 1, y1 - 1), fill=tuple(int(v) for v in surface_tone) + (255,))
    surface = ((x0 - pad) / scale + left, (y0 - pad) / scale + top, (x1 - pad) / scale + left, (y1 - pad) / scale + top)
    # Corner caps: grey or black plastic over the frame's corners.
    cap = int(rng.integers(30, 110))
    for cx, cy in [(0, 0), (width_mm, 0), (width_mm, height_mm), (0, height_mm)]:
        ox = -frame - 3 if cx == 0 else cx - 3
        oy = -frame - 3 if cy == 0 else cy - 3
        draw.rectangle((*px(ox, oy), *px(ox + frame + 6, oy + frame + 6)), fill=(cap, cap, cap + 5, 255))
    # Ghosts of erased writing: wide, very pale strokes.
    ghost = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    ghost_draw = ImageDraw.Draw(ghost)
    for _ in range(rng.integers(0, 4)):
        gx, gy = px(rng.uniform(0, width_mm * 0.7), rng.uniform(0, height_mm * 0.8))
        ghost_draw.ellipse(
            (gx, gy, gx + rng.uniform(100, 400) * scale, gy + rng.uniform(50, 200) * scale),
            fill=(150, 160, 170, int(rng.integers(6, 18))),
        )
    picture.alpha_composite(ghost.filter(ImageFilter.GaussianBlur(20 * scale)))
    draws = [ImageDraw.Draw(picture), ImageDraw.Draw(mask)]
    near = rng.random() < 0.25
    margins = rng.uniform(15, 40, 4) if near else rng.uniform(40, 200, 4)
    box = (*px(margins[0], margins[1]), *px(width_mm - margins[2], height_mm - margins[3]))
    line = rng.uniform(50, 110) * scale
    for k in sorted(rng.choice(3, int(rng.integers(1, 4)), replace=False)):
        ink = MARKER_INKS[rng.integers(len(MARKER_INKS))]
        sub_top = box[1] + (box[3] - box[1]) * k / 3
        sub = (box[0], sub_top, box[2], sub_top + (box[3] - box[1]) / 3)
        _scribble(rng, draws, sub, line, rng.uniform(2.5, 5) * scale, ink, rng.uniform(0.4, 0.9))
    for _ in range(rng.integers(0, 3)):
        _sketch(rng, draws, box, rng.uniform(3, 5) * scale, MARKER_INKS[rng.integers(len(MARKER_INKS))])
    _ensure_ink(rng, draws, mask, box, line, 3 * scale, MARKER_INKS[0])
    # Markers and an eraser lying in the tray.
    x = left + rng.uniform(40, 200)
    for _ in range(rng.integers(2, 5)):
        length, thick = rng.uniform(115, 140), rng.uniform(15, 20)
        y = height_mm + frame + rng.uniform(3, max(4, tray - thick - 3))
        if x + length > right - 20:
            break
        body = MARKER_INKS[rng.integers(len(MARKER_INKS))] if rng.random() < 0.5 else (235, 235, 230)
        cap_colour = MARKER_INKS[rng.integers(len(MARKER_INKS))]
        draw.rounded_rectangle((*px(x, y), *px(x + length, y + thick)), radius=thick * scale / 2, fill=(*body, 255))
        draw.rounded_rectangle(
            (*px(x + length * 0.72, y - 1), *px(x + length, y + thick + 1)),
            radius=thick * scale / 2,
            fill=(*cap_colour, 255),
        )
        x += length + rng.uniform(10, 120)
    if rng.random() < 0.5 and x + 150 < right - 20:
        y = height_mm + frame + 2
        draw.rectangle((*px(x, y), *px(x + 150, y + min(tray - 4, 50))), fill=(45, 45, 50, 255))
    return Texture(picture, np.asarray(mask) > 127, scale, pad, surface, (left, top, right, bottom))


def value_noise(rng: np.random.Generator, x: np.ndarray, y: np.ndarray, cell: float, cells: int = 64) -> np.ndarray:
    """Smooth noise in -1..1: a random grid of `cells` x `cells` values `cell` mm apart (repeating),
    interpolated with a smoothstep."""
    grid = rng.uniform(-1, 1, (cells, cells)).astype(np.float32)
    gx, gy = x / cell, y / cell
    ix, iy = np.floor(gx), np.floor(gy)
    fx, fy = gx - ix, gy - iy
    fx, fy = fx * fx * (3 - 2 * fx), fy * fy * (3 - 2 * fy)
    ix0, iy0 = ix.astype(np.int64) % cells, iy.astype(np.int64) % cells
    ix1, iy1 = (ix0 + 1) % cells, (iy0 + 1) % cells
    top = grid[iy0, ix0] * (1 - fx) + grid[iy0, ix1] * fx
    bottom = grid[iy1, ix0] * (1 - fx) + grid[iy1, ix1] * fx
    return (top * (1 - fy) + bottom * fy).astype(np.float32)


def background(rng: np.random.Generator, kind: str, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """RGB float32 (0..255) of the surface at plane points x, y (mm): 'desk', 'white-desk',
    'wood', 'wall' or 'lid'."""
    shape = x.shape
    if kind == "desk":
        palette = [(60, 60, 65), (95, 65, 45), (40, 50, 85), (50, 85, 60), (28, 28, 30), (140, 45, 45), (115, 115, 120)]
        base = np.array(palette[rng.integers(len(palette))], dtype=np.float32) * rng.uniform(0.8, 1.2)
        shade = 1 + 0.12 * value_noise(rng, x, y, 150) + 0.04 * value_noise(rng, x, y, 12)
        colour = base * shade[..., None]
    elif kind in ("white-desk", "wall", "lid"):
        if kind == "white-desk":
            base = np.array([228, 228, 226]) + rng.integers(-14, 14) + rng.integers(-5, 5, 3)
        elif kind == "wall":
            palette = [(228, 220, 200), (205, 205, 205), (210, 222, 230), (215, 228, 210), (236, 234, 230)]
            base = np.array(palette[rng.integers(len(palette))]) + rng.integers(-10, 10)
        else:
            base = np.array([220, 221, 224]) + rng.integers(-18, 12)
        shade = 1 + 0.03 * value_noise(rng, x, y, 200) + 0.01 * value_noise(rng, x, y, 8)
        colour = base.astype(np.float32) * shade[..., None]
    elif kind == "wood":
        angle = rng.uniform(0, math.pi)
        u = x * math.cos(angle) + y * math.sin(angle)
        v = -x * math.sin(angle) + y * math.cos(angle)
        period = rng.uniform(4, 12)
        warp = 25 * value_noise(rng, u / 6, v, 40) + 4 * value_noise(rng, u / 4, v, 6)
        rings = 0.5 + 0.5 * np.sin(2 * math.pi * (v + warp) / period)
        rings = rings**2.5
        streak = value_noise(rng, u / 30, v, 0.8)
        light = np.array([205, 155, 105]) * rng.uniform(0.75, 1.1)
        dark = light * rng.uniform(0.55, 0.75)
        t = np.clip(0.65 * rings + 0.15 * streak + 0.1, 0, 1)[..., None]
        colour = (light * (1 - t) + dark * t).astype(np.float32)
        plank = rng.uniform(90, 200)
        offset = rng.uniform(0, plank)
        seam = np.abs(((v + offset) % plank) - plank / 2) > plank / 2 - 0.8
        colour[seam] *= 0.45
    else:
        raise ValueError(f"unknown surface {kind!r}")
    return colour.reshape(*shape, 3).astype(np.float32)


def drop_shadow(
    x: np.ndarray,
    y: np.ndarray,
    extent: tuple[float, float, float, float],
    offset: tuple[float, float],
    reach: float,
    strength: float,
) -> np.ndarray:
    """Multiplier (<= 1) of the soft shadow a sheet lying on the surface casts around itself."""
    left, top, right, bottom = extent
    xs, ys = x - offset[0], y - offset[1]
    dx = np.maximum(np.maximum(left - xs, xs - right), 0)
    dy = np.maximum(np.maximum(top - ys, ys - bottom), 0)
    distance = np.hypot(dx, dy)
    return (1 - strength * np.exp(-distance / reach)).astype(np.float32)


@dataclass
class Prop:
    """A flat thing lying beside the page or hanging beside the board: a rotated rectangle."""

    centre: tuple[float, float]
    size: tuple[float, float]
    angle: float
    colour: tuple[int, int, int]
    name: str


DESK_PROPS = [
    ("phone", (70, 145), [(22, 22, 26), (200, 200, 205), (40, 45, 70)]),
    ("pen", (140, 9), [(20, 40, 140), (25, 25, 25), (200, 40, 40), (240, 240, 240)]),
    ("sticky note", (76, 76), [(250, 232, 100), (250, 170, 190), (150, 210, 240)]),
    ("card", (85, 55), [(248, 248, 246), (235, 235, 230)]),
    ("ruler", (310, 32), [(235, 235, 225), (200, 220, 240)]),
]
WALL_PROPS = [
    ("poster", (420, 594), [(240, 235, 220), (60, 90, 140), (200, 70, 60)]),
    ("switch", (85, 85), [(245, 245, 240), (235, 235, 228)]),
    ("door frame", (90, 2400), [(250, 250, 250), (170, 140, 110)]),
    ("note", (210, 297), [(250, 250, 250)]),
]


def props_for(rng: np.random.Generator, kind: str, extent: tuple[float, float, float, float]) -> list[Prop]:
    """Up to three distractors around the page or board, never over it."""
    choices = WALL_PROPS if kind == "wall" else DESK_PROPS
    if kind == "lid":
        return []
    left, top, right, bottom = extent
    reach = max(right - left, bottom - top)
    props: list[Prop] = []
    for _ in range(int(rng.integers(0, 4))):
        name, (w, h), colours = choices[rng.integers(len(choices))]
        angle = rng.uniform(0, math.pi) if kind != "wall" else rng.normal(0, 0.02)
        half = math.hypot(w, h) / 2
        for _attempt in range(10):
            cx = rng.uniform(left - reach * 0.5, right + reach * 0.5)
            cy = rng.uniform(top - reach * 0.5, bottom + reach * 0.5)
            clear_x = max(left - cx, cx - right, 0)
            clear_y = max(top - cy, cy - bottom, 0)
            if math.hypot(clear_x, clear_y) > half + 8:
                colour = colours[rng.integers(len(colours))]
                props.append(Prop((cx, cy), (w, h), angle, colour, name))
                break
    return props


def draw_props(colour: np.ndarray, x: np.ndarray, y: np.ndarray, props: list[Prop]) -> None:
    """Paints the props over the surface colours (in place), with a soft shadow under each;
    edges are smoothed over the size of a sample (in mm, from the spacing of x and y)."""
    footprint = np.hypot(np.gradient(x, axis=1), np.gradient(y, axis=1)) + 1e-6
    for prop in props:
        c, s = math.cos(prop.angle), math.sin(prop.angle)
        dx, dy = x - prop.centre[0], y - prop.centre[1]
        u = np.abs(dx * c + dy * s) - prop.size[0] / 2
        v = np.abs(-dx * s + dy * c) - prop.size[1] / 2
        outside = np.hypot(np.maximum(u, 0), np.maximum(v, 0))
        colour *= (1 - 0.25 * np.exp(-outside / 3) * (outside > 0))[..., None]
        cover = np.clip(0.5 - np.maximum(u, v) / footprint, 0, 1)[..., None]
        colour += (np.asarray(prop.colour, dtype=np.float32) - colour) * cover
