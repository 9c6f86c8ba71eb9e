"""The detection benchmark's scorer and scenes: Jaccard index in the page's own frame, corner
matching, ink cut off, deskew, and truth that matches the rendered picture."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import detect_scenes
import detect_scoring
from detect_geometry import apply_homography, homography_from_points

PAGE_MM = (200.0, 100.0)
# A page seen at a slant: its far edge (top) much shorter than its near edge.
SLANTED = [(300.0, 100.0), (500.0, 120.0), (640.0, 420.0), (150.0, 380.0)]


def truth_for(corners, size=(800, 600), hull=()):
    w, h = PAGE_MM
    homography = homography_from_points([(0, 0), (w, 0), (w, h), (0, h)], corners)
    return {
        "seed": 1,
        "kind": "desk",
        "size": list(size),
        "corners": [list(c) for c in corners],
        "aspect": w / h,
        "frame_mm": [w, h],
        "homography": homography.tolist(),
        "ink_hull": [list(p) for p in hull],
        "rotation": None,
    }


def page_points(truth, points_mm):
    return apply_homography(np.asarray(truth["homography"]), np.asarray(points_mm, dtype=np.float64)).tolist()


def test_jaccard_exact_quad_is_one():
    truth = truth_for(SLANTED)
    result = detect_scoring.score(truth, {"found": True, "corners": SLANTED, "aspect": 2.0})
    assert result["jaccard"] == pytest.approx(1.0)
    assert result["corner_error"] == pytest.approx(0.0, abs=1e-9)
    assert result["aspect_error"] == pytest.approx(0.0)


def test_jaccard_half_page_is_half_in_page_frame_whatever_its_picture_area():
    truth = truth_for(SLANTED)
    w, h = PAGE_MM
    near_half = page_points(truth, [(0, h / 2), (w, h / 2), (w, h), (0, h)])
    far_half = page_points(truth, [(0, 0), (w, 0), (w, h / 2), (0, h / 2)])
    for quad in (near_half, far_half):
        result = detect_scoring.score(truth, {"found": True, "corners": quad, "aspect": 2.0})
        assert result["jaccard"] == pytest.approx(0.5)


def test_jaccard_shifted_quad_matches_hand_computation():
    truth = truth_for(SLANTED)
    w, h = PAGE_MM
    shifted = page_points(truth, [(w / 2, 0), (1.5 * w, 0), (1.5 * w, h), (w / 2, h)])
    result = detect_scoring.score(truth, {"found": True, "corners": shifted, "aspect": 2.0})
    assert result["jaccard"] == pytest.approx(1 / 3)
    assert result["corner_error"] == pytest.approx((w / 2) / (2 * (w + h)))


def test_corner_error_ignores_starting_corner_and_winding_but_aspect_follows_order():
    truth = truth_for(SLANTED)
    rolled = SLANTED[1:] + SLANTED[:1]
    result = detect_scoring.score(truth, {"found": True, "corners": rolled, "aspect": 0.5})
    assert result["corner_error"] == pytest.approx(0.0, abs=1e-9)
    assert result["aspect_error"] == pytest.approx(0.0)  # started at TR: the detector's w/h is h/w
    reversed_quad = SLANTED[::-1]
    result = detect_scoring.score(truth, {"found": True, "corners": reversed_quad, "aspect": 2.0})
    assert result["corner_error"] == pytest.approx(0.0, abs=1e-9)
    assert result["jaccard"] == pytest.approx(1.0)


def test_corner_beyond_the_horizon_scores_zero():
    truth = truth_for(SLANTED)
    inverse = np.linalg.inv(np.asarray(truth["homography"]))
    # The vanishing line of the page plane: points with w = 0; go a little past it.
    a, b, c = inverse[2]
    beyond = (300.0, float(-(a * 300.0 + c) / b) - 50.0)
    quad = [beyond, SLANTED[1], SLANTED[2], SLANTED[3]]
    result = detect_scoring.score(truth, {"found": True, "corners": quad, "aspect": 2.0})
    assert result["jaccard"] == 0.0
    assert result["corner_error"] == 1.0


def test_not_found_is_scored_as_the_whole_frame():
    truth = truth_for(SLANTED)
    result = detect_scoring.score(truth, {"found": False, "corners": SLANTED, "aspect": 2.0})
    assert not result["found"]
    assert result["corners"] == detect_scoring.frame_corners(800, 600).tolist()
    assert result["aspect_error"] == pytest.approx(abs((800 / 600) / 2.0 - 1))


def test_ink_cut_when_visible_ink_lies_outside_the_quad():
    truth = truth_for(SLANTED, hull=[(320.0, 130.0), (600.0, 390.0), (200.0, 370.0)])
    whole = detect_scoring.score(truth, {"found": True, "corners": SLANTED, "aspect": 2.0})
    assert not whole["ink_cut"]
    cut = [(300.0, 100.0), (500.0, 120.0), (580.0, 380.0), (150.0, 380.0)]  # the BR corner pulled in
    result = detect_scoring.score(truth, {"found": True, "corners": cut, "aspect": 2.0})
    assert result["ink_cut"]
    assert result["ink_outside_px"] > 5
    nearly = [(x, y) for x, y in SLANTED]
    nearly[2] = (600.5, 390.0)  # ink half a pixel outside: within the tolerance
    assert not detect_scoring.score(truth, {"found": True, "corners": nearly, "aspect": 2.0})["ink_cut"]


def test_deskew_error_of_a_turned_quad():
    angle = math.radians(3.0)
    c, s = math.cos(angle), math.sin(angle)
    w, h = PAGE_MM
    corners = [(100 + 2 * (c * x - s * y), 50 + 2 * (s * x + c * y)) for x, y in [(0, 0), (w, 0), (w, h), (0, h)]]
    truth = truth_for(corners)
    truth["rotation"] = 3.0
    assert detect_scoring.score(truth, {"found": True, "corners": corners, "aspect": 2.0})["deskew_error"] == (
        pytest.approx(0.0, abs=1e-9)
    )
    assert detect_scoring.score(truth, {"found": False})["deskew_error"] == pytest.approx(3.0)


def test_summary_counts_shares_per_group():
    truth = truth_for(SLANTED)
    good = detect_scoring.score(truth, {"found": True, "corners": SLANTED, "aspect": 2.0, "seconds": 0.01})
    bad = detect_scoring.score(truth, {"found": False, "seconds": 0.03})
    summary = detect_scoring.summarise([good, bad])
    assert summary["n"] == 2
    assert summary["found"] == 0.5
    assert summary["jaccard_good"] == 0.5
    assert summary["aspect_good"] == 1.0  # of the found only
    assert summary["ms_median"] == pytest.approx(20.0)


@pytest.mark.parametrize("kind", ["desk", "scan", "board"])
def test_scene_truth_lies_on_the_page_edges(kind):
    """Just inside the true edges the picture is page (bright), just outside it is not."""
    seed = detect_scenes.seed_of("tuning", kind, 3)
    scene = detect_scenes.make_scene(seed, long_side=800, supersample=2)
    picture = np.asarray(scene.picture.convert("L"), dtype=np.float64)
    corners = np.asarray(scene.truth["corners"])
    middle = corners.mean(axis=0)
    differences = []
    for i in range(4):
        for t in (0.3, 0.5, 0.7):
            p = corners[i] + t * (corners[(i + 1) % 4] - corners[i])
            normal = (middle - p) / np.linalg.norm(middle - p)
            inside = p + 3 * normal
            outside = p - 3 * normal
            differences.append(
                picture[round(inside[1]), round(inside[0])] - picture[round(outside[1]), round(outside[0])]
            )
    assert np.median(differences) > 8


def test_scene_is_the_same_for_a_seed_and_its_truth_is_consistent():
    seed = detect_scenes.seed_of("test", "corner-out", 0)
    first = detect_scenes.make_scene(seed, long_side=640)
    second = detect_scenes.make_scene(seed, long_side=640)
    assert np.array_equal(np.asarray(first.picture), np.asarray(second.picture))
    truth = first.truth
    width, height = truth["size"]
    corners = np.asarray(truth["corners"])
    outside = (corners[:, 0] < 0) | (corners[:, 0] > width - 1) | (corners[:, 1] < 0) | (corners[:, 1] > height - 1)
    assert outside.sum() == 1
    w, h = truth["frame_mm"]
    mapped = apply_homography(np.asarray(truth["homography"]), np.array([[0, 0], [w, 0], [w, h], [0, h]]))
    assert np.allclose(mapped, corners, atol=0.01)
    assert truth["aspect"] == pytest.approx(w / h)
    assert detect_scenes.kind_of(seed) == "corner-out"


def test_blank_surface_gets_a_line_of_writing_and_no_visible_ink_is_never_cut():
    import detect_surfaces
    from PIL import Image, ImageDraw

    rng = np.random.default_rng(0)
    picture = Image.new("RGBA", (200, 100), (255, 255, 255, 255))
    mask = Image.new("L", (200, 100), 0)
    draws = [ImageDraw.Draw(picture), ImageDraw.Draw(mask)]
    detect_surfaces._ensure_ink(rng, draws, mask, (10, 10, 190, 90), 20, 2, (0, 0, 0))
    assert mask.getbbox() is not None
    truth = truth_for(SLANTED, hull=[])
    result = detect_scoring.score(truth, {"found": True, "corners": SLANTED[:3] + [(400.0, 300.0)], "aspect": 2.0})
    assert not result["ink_cut"]


def test_corner_error_is_capped_so_one_wild_corner_cannot_swamp_the_median():
    truth = truth_for(SLANTED)
    w, h = PAGE_MM
    wild = page_points(truth, [(0, 0), (w, 0), (w * 40, h * 40), (0, h)])
    wrong = detect_scoring.score(truth, {"found": True, "corners": wild, "aspect": 2.0})
    assert wrong["corner_error"] == 1.0
    right = detect_scoring.score(truth, {"found": True, "corners": SLANTED, "aspect": 2.0})
    assert detect_scoring.summarise([wrong, right, right])["median_corner_error"] == pytest.approx(0.0, abs=1e-9)
