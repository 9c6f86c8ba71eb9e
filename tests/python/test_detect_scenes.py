"""The detection benchmark's camera and scenes: a pan moves a point where it is asked to, the
camera's aspect stays recoverable, and each kind of scene keeps its promise (a finger over a
corner, a scan turned by at most 5 degrees, polygons clipped and hulled right)."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import detect_camera  # noqa: E402
import detect_scenes  # noqa: E402
from detect_geometry import apply_homography, clip_polygon, convex_hull, outside_distance, polygon_area  # noqa: E402

SIZE = (1600, 1200)


def test_pan_moves_the_picture_point_and_keeps_the_camera_centre():
    focal = detect_camera.focal_pixels(26, *SIZE)
    view = detect_camera.look_at(np.array([100.0, 150.0, 0.0]), math.radians(30), 0.7, 0.1, 600.0, focal, SIZE)
    page_point = np.array([[20.0, 40.0]])
    before = apply_homography(view.homography, page_point)[0]
    turned = detect_camera.pan(view, tuple(before), (before[0] + 90, before[1] - 40), SIZE)
    after = apply_homography(turned.homography, page_point)[0]
    assert after == pytest.approx([before[0] + 90, before[1] - 40], abs=1e-6)
    assert np.allclose(turned.centre, view.centre)


def test_tilt_is_the_angle_from_the_plane_normal():
    focal = detect_camera.focal_pixels(28, *SIZE)
    straight = detect_camera.look_at(np.zeros(3), 0.0, 0.0, 0.0, 500.0, focal, SIZE)
    tilted = detect_camera.look_at(np.zeros(3), math.radians(40), 1.0, 0.3, 500.0, focal, SIZE)
    assert straight.tilt_deg == pytest.approx(0.0, abs=1e-9)
    assert tilted.tilt_deg == pytest.approx(40.0)


def test_focal_length_of_the_35mm_equivalent_follows_the_diagonal():
    # A 43.3 mm "normal" lens sees the frame's diagonal at 2 * atan(0.5) wide.
    assert detect_camera.focal_pixels(math.hypot(36, 24), 4000, 3000) == pytest.approx(5000.0)


def test_clip_of_a_concave_quad_and_hull_and_outside_distance():
    square = np.array([[0, 0], [10, 0], [10, 10], [0, 10]], dtype=float)
    arrow = np.array([[-5, 5], [5, 0], [2, 5], [5, 10]], dtype=float)  # concave at (2, 5)
    inside = clip_polygon(arrow, square)
    # The dart (35) less its tip left of x = 0 (a triangle of base 5 and height 5).
    assert abs(polygon_area(arrow)) == pytest.approx(35.0)
    assert abs(polygon_area(inside)) == pytest.approx(35.0 - 12.5)
    hull = convex_hull(np.array([[0, 0], [4, 0], [4, 4], [0, 4], [2, 2], [1, 3]], dtype=float))
    assert len(hull) == 4 and abs(polygon_area(hull)) == pytest.approx(16.0)
    distances = outside_distance(square, np.array([[5, 5], [13, 5], [-3, -4]], dtype=float))
    assert distances == pytest.approx([0.0, 3.0, 5.0])


def test_finger_scene_covers_a_true_corner_with_skin():
    seed = detect_scenes.seed_of("tuning", "finger", 7)
    scene = detect_scenes.make_scene(seed, long_side=800)
    finger = scene.truth["finger"]
    corner = scene.truth["corners"][finger["corner"]]
    r, g, b = (int(v) for v in np.asarray(scene.picture)[round(corner[1]), round(corner[0])])
    assert r > g > b  # skin, not paper (neutral) nor most desks


@pytest.mark.parametrize("index", [0, 1, 2])
def test_scan_is_turned_by_at_most_five_degrees_and_lies_on_the_bed(index):
    scene = detect_scenes.make_scene(detect_scenes.seed_of("tuning", "scan", index), long_side=800)
    truth = scene.truth
    assert 0 < abs(truth["rotation"]) <= 5
    corners = np.asarray(truth["corners"])
    width, height = truth["size"]
    assert (corners >= 0).all() and (corners[:, 0] <= width - 1).all() and (corners[:, 1] <= height - 1).all()
    assert truth["aspect"] == pytest.approx(210 / 297, rel=0.01) or truth["aspect"] == pytest.approx(
        216 / 279.4, rel=0.01
    )
