"""A phone camera looking at a plane: the page or board lies in the plane z = 0 (millimetres, its
top left at the origin, x right, y down the page) and the camera, a pinhole with its principal
point at the picture's centre, sits above it. Placing the camera gives the homography from the
plane to the picture, so the aspect ratio stays recoverable from the four corners."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from detect_geometry import apply_homography

FULL_FRAME_DIAGONAL_MM = math.hypot(36.0, 24.0)


@dataclass
class View:
    homography: np.ndarray  # plane millimetres -> picture pixels
    rotation: np.ndarray  # world -> camera
    centre: np.ndarray  # camera centre in the world
    focal_px: float
    tilt_deg: float  # angle between the optical axis and the plane's normal


def intrinsics(focal_px: float, width: int, height: int) -> np.ndarray:
    return np.array([[focal_px, 0, (width - 1) / 2], [0, focal_px, (height - 1) / 2], [0, 0, 1]])


def focal_pixels(focal_35mm: float, width: int, height: int) -> float:
    """Focal length in pixels from the 35 mm equivalent (which refers to the frame's diagonal)."""
    return focal_35mm * math.hypot(width, height) / FULL_FRAME_DIAGONAL_MM


def look_at(
    target: np.ndarray,
    tilt: float,
    azimuth: float,
    roll: float,
    distance: float,
    focal_px: float,
    size: tuple[int, int],
) -> View:
    """The camera `distance` mm from `target`, its axis tilted by `tilt` radians from the plane's
    normal towards `azimuth`, the picture turned by `roll` about the axis."""
    normal_out = np.array([math.sin(tilt) * math.cos(azimuth), math.sin(tilt) * math.sin(azimuth), -math.cos(tilt)])
    centre = target + distance * normal_out
    forward = -normal_out
    down = np.array([0.0, 1.0, 0.0])
    if abs(forward @ down) > 0.99:
        down = np.array([1.0, 0.0, 0.0])
    down = down - (down @ forward) * forward
    down /= np.linalg.norm(down)
    right = np.cross(down, forward)
    c, s = math.cos(roll), math.sin(roll)
    right, down = c * right + s * down, -s * right + c * down
    rotation = np.vstack([right, down, forward])
    return _view(rotation, centre, focal_px, size)


def _view(rotation: np.ndarray, centre: np.ndarray, focal_px: float, size: tuple[int, int]) -> View:
    k = intrinsics(focal_px, *size)
    t = -rotation @ centre
    h = k @ np.column_stack([rotation[:, 0], rotation[:, 1], t])
    tilt = math.degrees(math.acos(min(1.0, abs(rotation[2] @ np.array([0.0, 0.0, 1.0])))))
    # Scaled by a positive number only, so that points in front of the camera keep w > 0.
    return View(h / abs(h[2, 2]), rotation, centre, focal_px, tilt)


def pan(view: View, source: tuple[float, float], target: tuple[float, float], size: tuple[int, int]) -> View:
    """Turns the camera about its centre so that the picture point `source` moves to `target`
    (keeps the principal point at the picture's centre, unlike shifting the picture)."""
    k_inv = np.linalg.inv(intrinsics(view.focal_px, *size))
    a = k_inv @ np.array([*source, 1.0])
    b = k_inv @ np.array([*target, 1.0])
    a /= np.linalg.norm(a)
    b /= np.linalg.norm(b)
    axis = np.cross(a, b)
    sin_angle = np.linalg.norm(axis)
    if sin_angle < 1e-12:
        return view
    axis /= sin_angle
    angle = math.atan2(sin_angle, a @ b)
    kx = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    turn = np.eye(3) + math.sin(angle) * kx + (1 - math.cos(angle)) * kx @ kx
    return _view(turn @ view.rotation, view.centre, view.focal_px, size)


def sees_only_plane(view: View, size: tuple[int, int], limit_mm: float) -> bool:
    """True when every picture corner looks at the plane within limit_mm of the origin, so no
    horizon is in view."""
    width, height = size
    corners = np.array([[0, 0], [width - 1, 0], [width - 1, height - 1], [0, height - 1]], dtype=np.float64)
    world = apply_homography(np.linalg.inv(view.homography), corners)
    if not np.isfinite(world).all():
        return False
    # The picture's corners must lie in front of the camera, not behind it.
    rays = np.column_stack([world, np.zeros(4)]) - view.centre
    if ((rays @ view.rotation[2]) <= 0).any():
        return False
    return bool(np.abs(world).max() < limit_mm)
