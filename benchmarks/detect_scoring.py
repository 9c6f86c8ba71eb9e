"""Scores of one detection against a scene's truth, and their summary per kind.

The quad a detection gives is the quad the tool would use: its corners when found, else the
whole picture. Scores, as in the SmartDoc 2015 challenge, are taken in the page's own frame
(millimetres; both quads mapped by the inverse of the true homography), so a far corner of a
tilted page weighs as much as a near one:

- jaccard: area(found ∩ page) / area(found ∪ page) in the page's frame;
- corner_error: the worst corner's distance from its true place, over the page's perimeter, at
  most 1 (corners matched in the cyclic order that fits best, so a quad started at another corner is
  not an error);
- aspect_error: |found / true - 1| for the detector's w/h, true w/h taken in the same order;
- deskew_error (scans): degrees between the found quad's mean edge direction and the page's;
- ink_cut: some visible ink lies more than INK_TOLERANCE_PX outside the quad used.
"""

from __future__ import annotations

import math

import numpy as np
from detect_geometry import apply_homography, clip_polygon, outside_distance, polygon_area

INK_TOLERANCE_PX = 1.5
JACCARD_GOOD = 0.9
ASPECT_GOOD = 0.02


def frame_corners(width: int, height: int) -> np.ndarray:
    return np.array([[0, 0], [width - 1, 0], [width - 1, height - 1], [0, height - 1]], dtype=np.float64)


def jaccard_in_page_frame(truth: dict, quad: np.ndarray) -> float:
    """SmartDoc's Jaccard index: both quads in the page's frame, where the page is a rectangle."""
    inverse = np.linalg.inv(np.asarray(truth["homography"]))
    mapped = apply_homography(inverse, quad)
    if not np.isfinite(mapped).all():
        return 0.0  # a corner at or beyond the page plane's horizon: nothing sensible to compare
    w, h = truth["frame_mm"]
    page = np.array([[0, 0], [w, 0], [w, h], [0, h]], dtype=np.float64)
    inter = abs(polygon_area(clip_polygon(mapped, page)))
    union = abs(polygon_area(mapped)) + w * h - inter
    return float(min(1.0, max(0.0, inter / union))) if union > 0 else 0.0


def matched_corner_error(truth: dict, quad: np.ndarray) -> tuple[float, int]:
    """(worst corner distance / perimeter in the page's frame, cyclic shift that fits best)."""
    inverse = np.linalg.inv(np.asarray(truth["homography"]))
    w, h = truth["frame_mm"]
    page = np.array([[0, 0], [w, 0], [w, h], [0, h]], dtype=np.float64)
    if polygon_area(quad) < 0:
        quad = quad[[0, 3, 2, 1]]
    mapped = apply_homography(inverse, quad)
    if not np.isfinite(mapped).all():
        return 1.0, 0
    best, best_shift = math.inf, 0
    for shift in range(4):
        worst = float(np.max(np.linalg.norm(np.roll(mapped, -shift, axis=0) - page, axis=1)))
        if worst < best:
            best, best_shift = worst, shift
    # Capped at a whole perimeter: a corner near the horizon would otherwise swamp any summary.
    return min(1.0, best / (2 * (w + h))), best_shift


def mean_edge_angle(quad: np.ndarray) -> float:
    """The quad's rotation in degrees (y down): its four edges' directions, each taken modulo
    90 degrees into (-45, 45], averaged."""
    angles = []
    for i in range(4):
        p, q = quad[i], quad[(i + 1) % 4]
        a = math.degrees(math.atan2(q[1] - p[1], q[0] - p[0]))
        angles.append((a + 45) % 90 - 45)
    return float(np.mean(angles))


def score(truth: dict, detection: dict) -> dict:
    """Scores of one detection ({"found", "corners", "aspect", "seconds"}) of one scene."""
    width, height = truth["size"]
    found = bool(detection.get("found"))
    corners = detection.get("corners")
    quad = np.asarray(corners, dtype=np.float64).reshape(4, 2) if found and corners is not None else None
    if quad is None or not np.isfinite(quad).all():
        found, quad = False, frame_corners(width, height)
    aspect = detection.get("aspect") if found else width / height
    jaccard = jaccard_in_page_frame(truth, quad)
    corner_error, shift = matched_corner_error(truth, quad)
    true_aspect = truth["aspect"] if shift % 2 == 0 else 1 / truth["aspect"]
    aspect_error = abs(float(aspect) / true_aspect - 1) if aspect else math.inf
    hull = np.asarray(truth["ink_hull"], dtype=np.float64).reshape(-1, 2)
    ink_outside = float(outside_distance(quad, hull).max()) if len(hull) else 0.0
    result = {
        "seed": truth["seed"],
        "kind": truth["kind"],
        "found": found,
        "jaccard": jaccard,
        "corner_error": corner_error,
        "aspect_error": aspect_error,
        "ink_outside_px": ink_outside,
        "ink_cut": ink_outside > INK_TOLERANCE_PX,
        "seconds": detection.get("seconds"),
        "corners": quad.round(2).tolist(),
        "confidence": detection.get("confidence"),
    }
    if truth.get("rotation") is not None:
        result["deskew_error"] = abs(mean_edge_angle(quad) - truth["rotation"])
    return result


def summarise(scores: list[dict]) -> dict:
    """Per group of scores: count, found share, mean Jaccard, share >= 0.9, median corner error,
    aspect within 2 % (of the found), ink cut count, deskew, time median and p95."""
    if not scores:
        return {"n": 0}
    jaccard = np.array([s["jaccard"] for s in scores])
    found = [s for s in scores if s["found"]]
    seconds = np.array([s["seconds"] for s in scores if s["seconds"] is not None], dtype=np.float64)
    deskew = np.array([s["deskew_error"] for s in scores if "deskew_error" in s])
    summary = {
        "n": len(scores),
        "found": len(found) / len(scores),
        "mean_jaccard": float(jaccard.mean()),
        "jaccard_good": float(np.mean(jaccard >= JACCARD_GOOD)),
        "median_corner_error": float(np.median([s["corner_error"] for s in scores])),
        "aspect_good": float(np.mean([s["aspect_error"] <= ASPECT_GOOD for s in found])) if found else None,
        "ink_cut": int(sum(s["ink_cut"] for s in scores)),
        "ms_median": float(np.median(seconds) * 1000) if len(seconds) else None,
        "ms_p95": float(np.percentile(seconds, 95) * 1000) if len(seconds) else None,
    }
    if len(deskew):
        summary["deskew_mean"] = float(deskew.mean())
        summary["deskew_max"] = float(deskew.max())
        summary["deskew_good"] = float(np.mean(deskew <= 0.2))
    return summary
