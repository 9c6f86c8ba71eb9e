"""Plane geometry of the detection benchmark: homographies, polygons (area, clipping, hull,
containment). Points are (x, y) in image pixels (a pixel's centre at integer coordinates) or in
millimetres of a page's own frame."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

Point = tuple[float, float]


def homography_from_points(source: Sequence[Point], target: Sequence[Point]) -> np.ndarray:
    """The 3x3 homography mapping four source points onto four target points (exact, DLT)."""
    rows = []
    for (x, y), (u, v) in zip(source, target, strict=True):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y, -u])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y, -v])
    _, _, vt = np.linalg.svd(np.asarray(rows, dtype=np.float64))
    h = vt[-1].reshape(3, 3)
    h = h / h[2, 2]
    # Sign chosen so that the source points map with w > 0 (in front, for apply_homography).
    centroid = np.append(np.mean(np.asarray(source, dtype=np.float64), axis=0), 1.0)
    return h if h[2] @ centroid > 0 else -h


def apply_homography(h: np.ndarray, points: np.ndarray) -> np.ndarray:
    """Maps N x 2 points; a point sent to or beyond the vanishing line comes back as NaN."""
    points = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    mapped = np.column_stack([points, np.ones(len(points))]) @ h.T
    w = mapped[:, 2:3]
    with np.errstate(divide="ignore", invalid="ignore"):
        result = mapped[:, :2] / w
    result[(w[:, 0] <= 1e-12) | ~np.isfinite(result).all(axis=1)] = np.nan
    return result


def polygon_area(polygon: np.ndarray) -> float:
    """Signed area (shoelace): positive for clockwise corners in image coordinates (y down)."""
    if len(polygon) < 3:
        return 0.0
    x, y = polygon[:, 0], polygon[:, 1]
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))


def clip_polygon(subject: np.ndarray, clip: np.ndarray) -> np.ndarray:
    """Sutherland-Hodgman: the part of subject inside the convex polygon clip (either winding)."""
    orientation = 1.0 if polygon_area(clip) >= 0 else -1.0
    output = [tuple(p) for p in subject]
    for i in range(len(clip)):
        if not output:
            break
        a, b = clip[i], clip[(i + 1) % len(clip)]
        points, output = output, []
        for j, current in enumerate(points):
            previous = points[j - 1]
            s_cur, s_prev = orientation * _side(a, b, current), orientation * _side(a, b, previous)
            if s_cur >= 0:
                if s_prev < 0:
                    output.append(_crossing(previous, current, s_prev, s_cur))
                output.append(current)
            elif s_prev >= 0:
                output.append(_crossing(previous, current, s_prev, s_cur))
    return np.asarray(output, dtype=np.float64).reshape(-1, 2)


def _side(a: np.ndarray, b: np.ndarray, p: tuple[float, float]) -> float:
    """Positive when p lies to the right of a -> b in image coordinates (inside, clockwise)."""
    return float((b[0] - a[0]) * (p[1] - a[1]) - (b[1] - a[1]) * (p[0] - a[0]))


def _crossing(p: tuple[float, float], q: tuple[float, float], sp: float, sq: float) -> tuple[float, float]:
    t = sp / (sp - sq)
    return (p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]))


def convex_hull(points: np.ndarray) -> np.ndarray:
    """Andrew's monotone chain; clockwise in image coordinates, no repeated last point."""
    pts = np.unique(np.asarray(points, dtype=np.float64).reshape(-1, 2), axis=0)
    if len(pts) < 3:
        return pts

    def chain(sequence: np.ndarray) -> list[tuple[float, float]]:
        hull: list[tuple[float, float]] = []
        for x, y in sequence:
            while len(hull) >= 2:
                (ox, oy), (ax, ay) = hull[-2], hull[-1]
                if (ax - ox) * (y - oy) - (ay - oy) * (x - ox) > 0:
                    break
                hull.pop()
            hull.append((float(x), float(y)))
        return hull

    lower, upper = chain(pts), chain(pts[::-1])
    return np.asarray(lower[:-1] + upper[:-1], dtype=np.float64)


def outside_distance(polygon: np.ndarray, points: np.ndarray) -> np.ndarray:
    """For each point: 0 inside polygon (even-odd rule), else its distance to the boundary."""
    points = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    x, y = points[:, 0:1], points[:, 1:2]
    a = polygon
    b = np.roll(polygon, -1, axis=0)
    ax, ay, bx, by = a[:, 0], a[:, 1], b[:, 0], b[:, 1]
    crosses = (ay > y) != (by > y)
    with np.errstate(divide="ignore", invalid="ignore"):
        at_x = ax + (y - ay) * (bx - ax) / (by - ay)
    inside = np.sum(crosses & (x < at_x), axis=1) % 2 == 1
    dx, dy = bx - ax, by - ay
    length2 = np.maximum(dx * dx + dy * dy, 1e-12)
    t = np.clip(((x - ax) * dx + (y - ay) * dy) / length2, 0.0, 1.0)
    distance = np.hypot(x - (ax + t * dx), y - (ay + t * dy)).min(axis=1)
    return np.where(inside, 0.0, distance)


def order_clockwise_from_top_left(corners: np.ndarray) -> np.ndarray:
    """The four corners clockwise in the picture (y down), starting at the one nearest the
    picture's top left (smallest x + y)."""
    corners = np.asarray(corners, dtype=np.float64).reshape(4, 2)
    if polygon_area(corners) < 0:
        corners = corners[::-1]
    start = int(np.argmin(corners[:, 0] + corners[:, 1]))
    return np.roll(corners, -start, axis=0)


def edge_angle(p: np.ndarray, q: np.ndarray) -> float:
    """Direction of the segment p -> q in degrees, y down (clockwise positive)."""
    return math.degrees(math.atan2(q[1] - p[1], q[0] - p[0]))
