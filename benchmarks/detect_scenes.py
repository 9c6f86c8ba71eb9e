"""Scenes of the detection benchmark, deterministic for a seed: a page or a whiteboard placed in
the plane, seen by a phone camera (24-30 mm equivalent, tilted up to 45 degrees) or lying on a
scanner, rendered by a homography (bilinear sampling of the textures at twice the resolution,
then averaged), then the light and the file: uneven light, a shadow, glare, a finger, blur,
noise, JPEG. Each comes with its truth (see `truth` in make_scene)."""

from __future__ import annotations

import io
import json
import math
from dataclasses import dataclass
from pathlib import Path

import detect_camera as camera
import detect_surfaces as surfaces
import numpy as np
from detect_geometry import (
    apply_homography,
    convex_hull,
    edge_angle,
    homography_from_points,
    order_clockwise_from_top_left,
    polygon_area,
)
from PIL import Image, ImageDraw, ImageFilter

KINDS = ("desk", "white-desk", "board", "wood", "finger", "corner-out", "scan")
KIND_TITLES = {
    "desk": "page on a contrasting desk",
    "white-desk": "page on a white desk",
    "board": "whiteboard on a wall",
    "wood": "page on wood",
    "finger": "finger over a corner",
    "corner-out": "a corner outside the frame",
    "scan": "flatbed scan, rotated 0-5 degrees",
}
SET_BASES = {"tuning": 1_000_000, "test": 2_000_000}
GENERATOR_VERSION = 2
SCAN_BED_MM = (250.0, 335.0)


def seed_of(set_name: str, kind: str, index: int) -> int:
    """Seeds of the two sets never meet: set, kind and index are spelled in the number."""
    return SET_BASES[set_name] + KINDS.index(kind) * 100_000 + index


def kind_of(seed: int) -> str:
    return KINDS[(seed % 1_000_000) // 100_000]


@dataclass
class Scene:
    picture: Image.Image  # RGB, as written to the file
    truth: dict
    jpeg_quality: int | None  # None: lossless PNG
    focal_35mm: float | None  # written as EXIF when JPEG


def _photo_size(rng: np.random.Generator, long_side: int, portrait_share: float) -> tuple[int, int]:
    short = round(long_side * 3 / 4)
    return (short, long_side) if rng.random() < portrait_share else (long_side, short)


def _place_camera(
    rng: np.random.Generator, kind: str, texture: surfaces.Texture, size: tuple[int, int]
) -> tuple[camera.View, float]:
    """A view of the texture that satisfies the kind (all corners in, or one corner out)."""
    width, height = size
    sx0, sy0, sx1, sy1 = texture.surface_mm
    surface = np.array([[sx0, sy0], [sx1, sy0], [sx1, sy1], [sx0, sy1]])
    left, top, right, bottom = texture.extent_mm
    extent = np.array([[left, top], [right, top], [right, bottom], [left, bottom]])
    centre = surface.mean(axis=0)
    for _attempt in range(200):
        focal_35mm = rng.uniform(24, 30)
        focal = camera.focal_pixels(focal_35mm, width, height)
        tilt = math.radians(rng.uniform(0, 45))
        if kind == "board":
            azimuth = rng.choice([0.0, math.pi]) + math.radians(rng.normal(0, 25))
            roll = math.radians(rng.normal(0, 4))
            fill = rng.uniform(0.6, 0.97)
        else:
            azimuth = rng.uniform(0, 2 * math.pi)
            roll = math.radians(np.clip(rng.normal(0, 12), -30, 30))
            if width > height and rng.random() < 0.6:
                roll += math.pi / 2 * rng.choice([-1, 1])
            fill = rng.uniform(0.55, 0.95) if kind == "corner-out" else rng.uniform(0.5, 0.92)
        distance = 3.0 * max(right - left, bottom - top)
        view = camera.look_at(np.array([*centre, 0.0]), tilt, azimuth, roll, distance, focal, size)
        for _ in range(4):
            projected = apply_homography(view.homography, extent if kind == "board" else surface)
            if not np.isfinite(projected).all():
                break
            span = np.ptp(projected, axis=0)
            distance *= max(span[0] / width, span[1] / height) / fill
            view = camera.look_at(np.array([*centre, 0.0]), tilt, azimuth, roll, distance, focal, size)
        margin = 0.02 * min(size)
        corners = apply_homography(view.homography, surface)
        if not np.isfinite(corners).all():
            continue
        # Move the page about the picture by turning the camera a little.
        middle = apply_homography(view.homography, centre[None])[0]
        if kind == "corner-out":
            which = rng.integers(4)
            corner = corners[which]
            overshoot = rng.uniform(0.02, 0.15) * min(size)
            goal = corner.copy()
            horizontal = corner[0] < width / 2
            vertical = corner[1] < height / 2
            side = rng.integers(3)  # 0: across the side edge, 1: top or bottom edge, 2: both
            if side in (0, 2):
                goal[0] = -overshoot if horizontal else width - 1 + overshoot
            if side in (1, 2):
                goal[1] = -overshoot if vertical else height - 1 + overshoot
            view = camera.pan(view, tuple(corner), tuple(goal), size)
        else:
            low = corners.min(axis=0)
            high = corners.max(axis=0)
            room_x = (margin - low[0], width - 1 - margin - high[0])
            room_y = (margin - low[1], height - 1 - margin - high[1])
            if room_x[0] > room_x[1] or room_y[0] > room_y[1]:
                continue
            shift = np.array([rng.uniform(*room_x), rng.uniform(*room_y)])
            view = camera.pan(view, tuple(middle), tuple(middle + shift), size)
        corners = apply_homography(view.homography, surface)
        if not np.isfinite(corners).all() or not camera.sees_only_plane(view, size, 40 * max(sx1 - sx0, sy1 - sy0)):
            continue
        inside = (
            (corners[:, 0] >= margin)
            & (corners[:, 0] <= width - 1 - margin)
            & (corners[:, 1] >= margin)
            & (corners[:, 1] <= height - 1 - margin)
        )
        if kind == "corner-out":
            outside = (
                (corners[:, 0] < -2) | (corners[:, 0] > width + 1) | (corners[:, 1] < -2) | (corners[:, 1] > height + 1)
            )
            if outside.sum() != 1 or inside.sum() != 3:
                continue
        elif not inside.all():
            continue
        if view.tilt_deg > 47:
            continue
        return view, focal_35mm
    raise RuntimeError(f"no view found for a {kind} scene")


def _render_plane(
    rng: np.random.Generator,
    surface_kind: str,
    texture: surfaces.Texture,
    homography: np.ndarray,
    size: tuple[int, int],
    supersample: int,
    shadow: tuple[float, float] | None,
) -> np.ndarray:
    """The surface and the texture on it as the camera sees them: float32 H x W x 3."""
    width, height = size
    # The surface behind, evaluated at half resolution (it has no fine detail worth the time).
    hw, hh = (width + 1) // 2, (height + 1) // 2
    gx, gy = np.meshgrid(np.arange(hw, dtype=np.float64) * 2 + 0.5, np.arange(hh, dtype=np.float64) * 2 + 0.5)
    inverse = np.linalg.inv(homography)
    denominator = inverse[2, 0] * gx + inverse[2, 1] * gy + inverse[2, 2]
    px = ((inverse[0, 0] * gx + inverse[0, 1] * gy + inverse[0, 2]) / denominator).astype(np.float32)
    py = ((inverse[1, 0] * gx + inverse[1, 1] * gy + inverse[1, 2]) / denominator).astype(np.float32)
    back = surfaces.background(rng, surface_kind, px, py)
    surfaces.draw_props(back, px, py, surfaces.props_for(rng, surface_kind, texture.extent_mm))
    if shadow is not None:
        back *= surfaces.drop_shadow(px, py, texture.surface_mm, (shadow[0], shadow[0]), shadow[1], 0.35)[..., None]
    back_image = Image.fromarray(np.clip(back, 0, 255).astype(np.uint8)).resize(
        (width, height), Image.Resampling.BILINEAR, box=(0, 0, width / 2, height / 2)
    )
    # The texture: output pixel areas (Pillow's convention) -> picture -> plane -> texture pixels.
    left, top = texture.extent_mm[0], texture.extent_mm[1]
    s, pad = texture.scale, texture.pad
    to_texture = np.array([[s, 0, pad - left * s], [0, s, pad - top * s], [0, 0, 1.0]])
    from_output = np.array([[1 / supersample, 0, -0.5], [0, 1 / supersample, -0.5], [0, 0, 1.0]])
    m = to_texture @ inverse @ from_output
    m /= m[2, 2]
    # Premultiplied, so that Pillow samples it as it is (no conversion) and edges blend right.
    layer = texture.picture.convert("RGBa").transform(
        (width * supersample, height * supersample),
        Image.Transform.PERSPECTIVE,
        tuple(m.flatten()[:8]),
        resample=Image.Resampling.BILINEAR,
        fillcolor=(0, 0, 0, 0),
    )
    if supersample > 1:
        layer = layer.reduce(supersample)
    front = np.asarray(layer, dtype=np.float32)
    picture = np.asarray(back_image, dtype=np.float32) * (1 - front[..., 3:] / 255)
    picture += front[..., :3]
    return picture


def _finger(
    rng: np.random.Generator, picture: np.ndarray, corners: np.ndarray, px_per_mm: float
) -> tuple[np.ndarray, dict]:
    """A fingertip from outside the page over one of its corners, in place; returns its cover."""
    height, width = picture.shape[:2]
    which = int(rng.integers(4))
    corner = corners[which]
    middle = corners.mean(axis=0)
    outward = (corner - middle) / np.linalg.norm(corner - middle)
    turn = math.radians(rng.uniform(-35, 35))
    c, s = math.cos(turn), math.sin(turn)
    outward = np.array([c * outward[0] - s * outward[1], s * outward[0] + c * outward[1]])
    half = rng.uniform(11, 16) * px_per_mm  # near the lens, a finger looks wider than its 18 mm
    tip = corner - outward * half * rng.uniform(0.9, 2.2)
    cover = np.zeros((height, width), dtype=np.float32)
    # Only the box the finger (and its shadow) can reach: from the tip out past the frame.
    end = tip + outward * 2 * (width + height)
    low = np.floor(np.maximum(np.minimum(tip, end) - 2 * half, 0)).astype(int)
    high = np.ceil(np.minimum(np.maximum(tip, end) + 2 * half, [width, height])).astype(int)
    if (high <= low).any():
        return cover, {"corner": which, "tip": [round(float(v), 2) for v in tip], "width_px": round(2 * half, 1)}
    gx, gy = np.meshgrid(np.arange(low[0], high[0], dtype=np.float32), np.arange(low[1], high[1], dtype=np.float32))
    rx, ry = gx - tip[0], gy - tip[1]
    along = rx * outward[0] + ry * outward[1]
    across = -rx * outward[1] + ry * outward[0]
    distance = np.where(along > 0, np.abs(across), np.hypot(across, along))
    box_cover = np.clip((half - distance) / 1.5, 0, 1)
    # Its shadow on the page, a little offset and soft.
    shadow_distance = np.where(along > -half * 0.2, np.abs(across - half * 0.3), np.hypot(across, along + half * 0.2))
    shade = 1 - 0.35 * np.clip((half * 1.5 - shadow_distance) / (half * 0.6), 0, 1)
    skin = np.array([rng.uniform(195, 235), rng.uniform(145, 180), rng.uniform(115, 150)], dtype=np.float32)
    roundness = 1 - 0.35 * np.minimum(1, (across / half) ** 2)
    nail = ((along > half * 0.15) & (along < half * 1.3) & (np.abs(across) < half * 0.55)) * np.float32(0.08)
    colour = skin * (roundness + nail)[..., None]
    box = picture[low[1] : high[1], low[0] : high[0]]
    box *= (shade * (1 - box_cover))[..., None]
    box += colour * box_cover[..., None]
    cover[low[1] : high[1], low[0] : high[0]] = box_cover
    return cover, {"corner": which, "tip": [round(float(v), 2) for v in tip], "width_px": round(2 * half, 1)}


def _light(rng: np.random.Generator, picture: np.ndarray, kind: str, quad: np.ndarray) -> list[str]:
    """Exposure and white balance, then maybe uneven light, a shadow and glare; in place. The
    light is smooth, so its fields are made at an eighth of the size and enlarged."""
    height, width = picture.shape[:2]
    step = 8
    fw, fh = (width + step - 1) // step, (height + step - 1) // step
    yy, xx = np.mgrid[0:fh, 0:fw].astype(np.float32) * step + step / 2
    conditions = []
    balance = [np.array([1.04, 1.0, 0.9]), np.array([0.96, 1.0, 1.04]), np.array([1.0, 1.0, 1.0])]
    tint = balance[rng.integers(3)] * rng.uniform(0.985, 1.015, 3) if kind != "scan" else np.ones(3)
    gain = rng.uniform(0.97, 1.03) if kind == "scan" else rng.uniform(0.85, 1.05)
    field = np.ones((fh, fw), dtype=np.float32)
    glare = np.zeros((fh, fw), dtype=np.float32)
    if rng.random() < (0.1 if kind == "scan" else 0.5):
        conditions.append("uneven")
        angle = rng.uniform(0, 2 * math.pi)
        ramp = xx * math.cos(angle) + yy * math.sin(angle)
        ramp = (ramp - ramp.min()) / max(1e-6, float(np.ptp(ramp)))
        r2 = ((xx - width / 2) ** 2 + (yy - height / 2) ** 2) / ((width / 2) ** 2 + (height / 2) ** 2)
        field *= (1 - rng.uniform(0.15, 0.4) * ramp) * (1 - rng.uniform(0.05, 0.3) * r2)
    if kind != "scan" and rng.random() < 0.3:
        conditions.append("shadow")
        mask = Image.new("L", (fw, fh), 0)
        a = np.array([rng.uniform(0, width), rng.uniform(0, height)]) / step
        angle = rng.uniform(0, 2 * math.pi)
        direction = np.array([math.cos(angle), math.sin(angle)])
        normal = np.array([-direction[1], direction[0]])
        far = 3 * max(fw, fh)
        points = [
            a - direction * far,
            a + direction * far,
            a + (direction + normal) * far,
            a + (normal - direction) * far,
        ]
        ImageDraw.Draw(mask).polygon([tuple(p) for p in points], fill=255)
        mask = mask.filter(ImageFilter.GaussianBlur(rng.uniform(10, 50) * width / 1600 / step))
        field *= 1 - rng.uniform(0.2, 0.45) * np.asarray(mask, dtype=np.float32) / 255
    if kind != "scan" and rng.random() < (0.5 if kind == "board" else 0.25):
        conditions.append("glare")
        low, high = quad.min(axis=0), quad.max(axis=0)
        centre = rng.uniform(np.maximum(low, 0), np.minimum(high, [width - 1, height - 1]))
        sigma = rng.uniform(0.03, 0.1) * math.hypot(width, height)
        stretch = rng.uniform(0.5, 1.0)
        r2 = ((xx - centre[0]) ** 2 * stretch + (yy - centre[1]) ** 2) / (2 * sigma**2)
        glare = (rng.uniform(0.5, 0.95) * np.exp(-r2)).astype(np.float32)

    def enlarge(values: np.ndarray) -> np.ndarray:
        image = Image.fromarray(values.astype(np.float32), "F")
        box = (0, 0, width / step, height / step)
        return np.asarray(image.resize((width, height), Image.Resampling.BILINEAR, box=box))[..., None]

    picture *= enlarge(field) * (gain * tint).astype(np.float32)
    if glare.any():
        spot = enlarge(glare)
        picture += (255 - picture) * spot
    return conditions


def _texture_for(rng: np.random.Generator, kind: str, long_side: int) -> surfaces.Texture:
    if kind == "board":
        return surfaces.board_texture(rng, float(rng.integers(8, 16)) / 10 * long_side / 1600)
    paper = "a4" if rng.random() < 0.6 else "letter"
    return surfaces.page_texture(rng, paper, 4.0 * max(1.0, long_side / 1600))


def _ink_outline(
    texture: surfaces.Texture, homography: np.ndarray, size: tuple[int, int], covered: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray]:
    """The convex hull of the visible ink in the picture (in the frame, not under a finger) and
    the quad of the ink's bounding box in the plane."""
    width, height = size
    rows, cols = np.nonzero(texture.ink)
    if len(rows) == 0:
        return np.zeros((0, 2)), np.zeros((0, 2))
    left, top = texture.extent_mm[0], texture.extent_mm[1]
    plane = np.column_stack(
        [(cols + 0.5 - texture.pad) / texture.scale + left, (rows + 0.5 - texture.pad) / texture.scale + top]
    )
    box = np.array(
        [
            [plane[:, 0].min(), plane[:, 1].min()],
            [plane[:, 0].max(), plane[:, 1].min()],
            [plane[:, 0].max(), plane[:, 1].max()],
            [plane[:, 0].min(), plane[:, 1].max()],
        ]
    )
    points = apply_homography(homography, plane)
    visible = (points[:, 0] >= 0) & (points[:, 0] <= width - 1) & (points[:, 1] >= 0) & (points[:, 1] <= height - 1)
    points = points[visible]
    if covered is not None and len(points):
        under = covered[np.round(points[:, 1]).astype(int), np.round(points[:, 0]).astype(int)] > 0.5
        points = points[~under]
    quad = order_clockwise_from_top_left(apply_homography(homography, box))
    if len(points) < 3:
        return points, quad
    # Row and column extremes keep the hull (to within a pixel) and cut the work a hundredfold.
    keep = []
    for axis in (0, 1):
        bins = np.round(points[:, 1 - axis]).astype(int)
        order = np.lexsort((points[:, axis], bins))
        sorted_bins = bins[order]
        starts = np.flatnonzero(np.r_[True, sorted_bins[1:] != sorted_bins[:-1]])
        ends = np.r_[starts[1:], len(order)] - 1
        keep.extend([order[starts], order[ends]])
    return convex_hull(points[np.unique(np.concatenate(keep))]), quad


def make_scene(seed: int, long_side: int = 1600, supersample: int = 2) -> Scene:
    """The scene of a seed (its kind follows from the seed, see seed_of)."""
    kind = kind_of(seed)
    rng = np.random.default_rng(seed)
    texture = _texture_for(rng, kind, long_side)
    sx0, sy0, sx1, sy1 = texture.surface_mm
    surface = np.array([[sx0, sy0], [sx1, sy0], [sx1, sy1], [sx0, sy1]])
    focal_35mm = None
    tilt = 0.0
    if kind == "scan":
        px_per_mm = long_side / SCAN_BED_MM[1]
        size = (round(SCAN_BED_MM[0] * px_per_mm), long_side)
        angle = math.radians(rng.uniform(0, 5) * rng.choice([-1, 1]))
        c, s = math.cos(angle), math.sin(angle)
        turned = surface @ np.array([[c, s], [-s, c]])
        slack = np.array(SCAN_BED_MM) - np.ptp(turned, axis=0)
        offset = np.array([rng.uniform(1, min(12, slack[0] - 1)), rng.uniform(1, min(12, slack[1] - 1))])
        shift = (offset - turned.min(axis=0)) * px_per_mm - 0.5
        homography = np.array(
            [[c * px_per_mm, -s * px_per_mm, shift[0]], [s * px_per_mm, c * px_per_mm, shift[1]], [0, 0, 1.0]]
        )
        surface_kind, shadow = "lid", (rng.uniform(0.1, 0.5), rng.uniform(0.2, 0.6))
    else:
        portrait = 0.15 if kind == "board" else 0.7
        size = _photo_size(rng, long_side, portrait)
        view, focal_35mm = _place_camera(rng, kind, texture, size)
        homography, tilt = view.homography, view.tilt_deg
        surface_kind = {"desk": "desk", "white-desk": "white-desk", "board": "wall", "wood": "wood"}.get(kind)
        if surface_kind is None:
            surface_kind = ["desk", "wood", "white-desk"][rng.choice(3, p=[0.5, 0.3, 0.2])]
        shadow = None if kind == "board" else (rng.uniform(0.2, 1.5), rng.uniform(0.8, 3.0))
    width, height = size
    picture = _render_plane(rng, surface_kind, texture, homography, size, supersample, shadow)
    projected = apply_homography(homography, surface)
    if polygon_area(projected) <= 0:
        raise RuntimeError("the camera sees the page from behind")
    start = int(np.argmin(projected[:, 0] + projected[:, 1]))
    order = [(start + i) % 4 for i in range(4)]
    corners = projected[order]
    plane = surface[order]
    frame_w = float(np.linalg.norm(plane[1] - plane[0]))
    frame_h = float(np.linalg.norm(plane[2] - plane[1]))
    frame_homography = homography_from_points([(0, 0), (frame_w, 0), (frame_w, frame_h), (0, frame_h)], corners)
    perimeter_px = float(np.sum(np.linalg.norm(corners - np.roll(corners, -1, axis=0), axis=1)))
    px_per_mm = perimeter_px / (2 * (frame_w + frame_h))
    covered = None
    finger = None
    if kind == "finger":
        covered, finger = _finger(rng, picture, corners, px_per_mm)
    conditions = _light(rng, picture, kind, corners)
    if rng.random() < (0.2 if kind == "scan" else 0.25):
        conditions.append("blur")
        blurred = Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8)).filter(
            ImageFilter.GaussianBlur(rng.uniform(0.6, 1.0 if kind == "scan" else 2.2) * long_side / 1600)
        )
        picture = np.asarray(blurred, dtype=np.float32)
    noise = rng.uniform(1, 3) if kind == "scan" else (rng.uniform(4, 9) if rng.random() < 0.3 else rng.uniform(1, 4))
    if noise >= 4:
        conditions.append("noise")
    picture += rng.standard_normal(picture.shape, dtype=np.float32) * np.float32(noise)
    image = Image.fromarray(np.clip(picture + 0.5, 0, 255).astype(np.uint8))
    quality = None
    if rng.random() < (0.5 if kind == "scan" else 0.85):
        quality = int(rng.integers(55, 96)) if kind != "scan" else int(rng.integers(70, 96))
        conditions.append(f"jpeg{quality}")
    hull, ink_quad = _ink_outline(texture, homography, size, covered)
    truth = {
        "seed": seed,
        "kind": kind,
        "size": [width, height],
        "corners": _rounded(corners),
        "aspect": frame_w / frame_h,
        "frame_mm": [frame_w, frame_h],
        "homography": frame_homography.tolist(),
        "ink_quad": _rounded(ink_quad),
        "ink_hull": _rounded(hull),
        "rotation": edge_angle(corners[0], corners[1]) if kind == "scan" else None,
        "target": "board" if kind == "board" else ("a4" if abs(sx1 - sx0 - 210) < 1 else "letter"),
        "focal_35mm": focal_35mm,
        "tilt": tilt,
        "conditions": conditions,
        "finger": finger,
    }
    return Scene(image, truth, quality, focal_35mm)


def _rounded(points: np.ndarray) -> list[list[float]]:
    return [[round(float(x), 3), round(float(y), 3)] for x, y in points]


def encode(scene: Scene) -> tuple[bytes, str]:
    """The scene's file: JPEG with the camera's 35 mm focal length in its EXIF, or PNG."""
    buffer = io.BytesIO()
    if scene.jpeg_quality is None:
        scene.picture.save(buffer, "PNG", compress_level=1)
        return buffer.getvalue(), ".png"
    exif = Image.Exif()
    if scene.focal_35mm is not None:
        exif[0x010F] = "vantrel-bench"
        exif.get_ifd(0x8769)[0xA405] = round(scene.focal_35mm)
    scene.picture.save(buffer, "JPEG", quality=scene.jpeg_quality, exif=exif.tobytes())
    return buffer.getvalue(), ".jpg"


def cached_scene(folder: Path, seed: int, long_side: int = 1600) -> tuple[Path, dict]:
    """The scene's file and truth, made once and kept under folder (keyed by generator version,
    size and seed)."""
    where = folder / f"scenes-v{GENERATOR_VERSION}-{long_side}"
    truth_path = where / f"{seed}.json"
    if truth_path.exists():
        truth = json.loads(truth_path.read_text())
        path = where / truth["file"]
        if path.exists():
            return path, truth
    scene = make_scene(seed, long_side, supersample=2 if long_side <= 2000 else 1)
    data, suffix = encode(scene)
    where.mkdir(parents=True, exist_ok=True)
    path = where / f"{seed}{suffix}"
    temporary = path.with_suffix(".part")
    temporary.write_bytes(data)
    temporary.replace(path)
    scene.truth["file"] = path.name
    temporary = truth_path.with_suffix(".part")
    temporary.write_text(json.dumps(scene.truth))
    temporary.replace(truth_path)
    return path, scene.truth
