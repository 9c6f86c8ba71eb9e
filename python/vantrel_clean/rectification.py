"""Rectifying a page: the homography of four corners, the page's true proportions from the
camera's focal length (recovered from the two vanishing points, else the photo's EXIF, else a
typical phone lens), the output size that keeps the page's resolution, and the native warp
that averages the source over each output pixel's footprint."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _steps
from .options import NAMED_ASPECTS, Corners, check_corners, parse_aspect

RGBArray = npt.NDArray[np.uint8]

#: A phone's main camera, as the 35 mm equivalent focal length, when nothing better is known.
PHONE_FOCAL_35MM = 26.0
#: The diagonal of a 35 mm frame (36 x 24 mm), to which 35 mm equivalent focal lengths refer.
FRAME_DIAGONAL_MM = math.hypot(36.0, 24.0)
#: Focal lengths recovered from vanishing points outside this range (35 mm equivalent) are noise:
#: the quad is too close to a parallelogram to tell.
PLAUSIBLE_FOCAL_35MM = (12.0, 200.0)


def homography(source: npt.ArrayLike, target: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The 3x3 matrix that maps the four source points onto the four target points (a 4x2 each)."""
    src = np.asarray(source, np.float64).reshape(4, 2)
    dst = np.asarray(target, np.float64).reshape(4, 2)
    rows = np.zeros((8, 8))
    values = np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src, dst)):
        rows[2 * i] = (x, y, 1, 0, 0, 0, -u * x, -u * y)
        rows[2 * i + 1] = (0, 0, 0, x, y, 1, -v * x, -v * y)
        values[2 * i], values[2 * i + 1] = u, v
    solution = np.linalg.solve(rows, values)
    return np.append(solution, 1.0).reshape(3, 3)


def focal_from_vanishing_points(corners: Corners, width: int, height: int) -> float | None:
    """The focal length in pixels for which the quad's two pairs of sides meet at right angles
    in space (principal point at the picture's centre), or None when a pair is nearly parallel
    in the picture or the answer is implausible."""
    centre = np.array([(width - 1) / 2.0, (height - 1) / 2.0])
    quad = np.asarray(corners, np.float64) - centre
    scale = math.hypot(width, height)
    h = homography([(0, 0), (1, 0), (1, 1), (0, 1)], quad / scale)
    h1, h2 = h[:, 0], h[:, 1]
    # Both vanishing points (h1 and h2 as points) must be finite: h1z and h2z not near zero
    # against the in-plane parts; else the constraint is mostly noise.
    if min(abs(h1[2]) / np.hypot(h1[0], h1[1]), abs(h2[2]) / np.hypot(h2[0], h2[1])) < 0.05:
        return None
    squared = -(h1[0] * h2[0] + h1[1] * h2[1]) / (h1[2] * h2[2])
    if not squared > 0:
        return None
    focal = math.sqrt(squared) * scale
    low, high = (f / FRAME_DIAGONAL_MM * math.hypot(width, height) for f in PLAUSIBLE_FOCAL_35MM)
    return focal if low <= focal <= high else None


def focal_from_35mm(focal_35mm: float, width: int, height: int) -> float:
    """A 35 mm equivalent focal length in pixels of a width x height picture (by the diagonal)."""
    return focal_35mm / FRAME_DIAGONAL_MM * math.hypot(width, height)


def page_aspect(corners: Corners, width: int, height: int, focal_35mm: float | None = None) -> float:
    """The page's width over its height in space, from the quad's corners (TL, TR, BR, BL) in a
    width x height photo: with the focal length from the vanishing points where the quad allows
    it, else focal_35mm (the photo's EXIF), else a typical phone lens."""
    focal = focal_from_vanishing_points(corners, width, height)
    if focal is None:
        focal = focal_from_35mm(focal_35mm or PHONE_FOCAL_35MM, width, height)
    centre = np.array([(width - 1) / 2.0, (height - 1) / 2.0])
    h = homography([(0, 0), (1, 0), (1, 1), (0, 1)], np.asarray(corners, np.float64) - centre)
    across = np.array([h[0, 0] / focal, h[1, 0] / focal, h[2, 0]])
    down = np.array([h[0, 1] / focal, h[1, 1] / focal, h[2, 1]])
    return float(np.linalg.norm(across) / np.linalg.norm(down))


def chosen_aspect(aspect: str | float, measured: float) -> float:
    """The width over height to rectify to: measured for "auto", a named page turned the way the
    measured one is, or the number given."""
    if isinstance(aspect, float):
        return aspect
    if aspect in NAMED_ASPECTS:
        short_over_long = NAMED_ASPECTS[aspect]
        return short_over_long if measured <= 1 else 1 / short_over_long
    return measured


def corners_in(corners: object, width: int, height: int) -> Corners:
    """corners checked (see options.check_corners), none further outside the width x height
    picture than its own size."""
    quad = check_corners(corners)
    if any(not (-width <= x <= 2 * width and -height <= y <= 2 * height) for x, y in quad):
        raise ValueError(f"corners lie too far outside the {width}x{height} picture")
    return quad


def as_corners(points: npt.ArrayLike) -> Corners:
    p = np.asarray(points, np.float64).reshape(4, 2)
    return (
        (float(p[0, 0]), float(p[0, 1])),
        (float(p[1, 0]), float(p[1, 1])),
        (float(p[2, 0]), float(p[2, 1])),
        (float(p[3, 0]), float(p[3, 1])),
    )


def quad_area(points: npt.ArrayLike) -> float:
    p = np.asarray(points, np.float64).reshape(4, 2)
    x, y = p[:, 0], p[:, 1]
    return float(0.5 * abs(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1))))


@dataclass(frozen=True)
class Rectification:
    """Where a page goes: its corners in the photo, the output size, and the map from output
    positions to photo positions (pixel edges at integers)."""

    corners: Corners
    out_width: int
    out_height: int
    map: tuple[float, ...]


def plan_rectification(corners: Corners, aspect: float, width: int, height: int) -> Rectification:
    """The output of a page of the given proportions whose area in pixels is about the quad's in
    the photo (its resolution kept), no larger than 1.5 times the photo."""
    area = min(quad_area(corners), 1.5 * width * height)
    out_width = max(3, round(math.sqrt(area * aspect)))
    out_height = max(3, round(math.sqrt(area / aspect)))
    out_width, out_height = min(out_width, 65536), min(out_height, 65536)
    # Corners are pixel centres; the warp's positions put pixel edges at integers.
    target = np.asarray(corners, np.float64) + 0.5
    h = homography([(0, 0), (out_width, 0), (out_width, out_height), (0, out_height)], target)
    return Rectification(corners, out_width, out_height, tuple(float(v) for v in h.ravel()))


def warp(source: RGBArray | tuple[object, object], width: int, height: int, plan: Rectification) -> RGBArray:
    """The page of a width x height picture rectified as planned; source is its samples as
    background.samples_of gives them (a C-contiguous array or a Pillow image's Arrow export)."""
    out = _steps.warp_perspective(source, width, height, plan.map, plan.out_width, plan.out_height)
    return np.frombuffer(out, np.uint8).reshape(plan.out_height, plan.out_width, 3)


def rectify(
    picture: RGBArray, corners: Sequence[Sequence[float]], aspect: object = "auto", focal_35mm: float | None = None
) -> RGBArray:
    """The page inside corners (TL, TR, BR, BL, pixel centres of the picture) rectified with its
    true proportions (aspect "auto") or those given."""
    height, width = picture.shape[:2]
    quad = corners_in(corners, width, height)
    ratio = chosen_aspect(parse_aspect(aspect), page_aspect(quad, width, height, focal_35mm))
    return warp(np.ascontiguousarray(picture), width, height, plan_rectification(quad, ratio, width, height))
