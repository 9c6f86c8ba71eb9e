"""Which sides the detector keeps: a side with writing just outside it (a side taken along a line
of writing, in even or uneven light) makes the quad one that cuts ink off, a shadow or a plain
desk does not; a side on the outside of a board's frame moves to the frame's inner edge, unless
the strip it would give up has writing in it."""

import numpy as np
import pytest

from vantrel_clean import detection as d

WIDTH, HEIGHT = 420, 320
PAGE = np.array([[60.0, 40.0], [360.0, 40.0], [360.0, 280.0], [60.0, 280.0]])


def written_page(light_below=1.0, shadow=False, seed=5):
    """A page (level 225) on a dark desk (60) with five lines of dashes like writing; below y=200
    the light is light_below times as strong; with shadow, the desk's right part is darker."""
    rng = np.random.default_rng(seed)
    picture = np.full((HEIGHT, WIDTH, 3), 60.0)
    if shadow:
        picture[:, 380:] = 30.0
    picture[40:281, 60:361] = 225.0
    for top in (80, 115, 150, 185, 215):
        for left in range(80, 330, 9):
            picture[top : top + 4, left : left + 3 + int(rng.integers(0, 3))] = 70.0
    picture[200:281, 60:361] *= light_below
    picture += rng.normal(0, 2, picture.shape)
    return np.clip(picture, 0, 255).astype(np.uint8)


def small_copy(picture):
    return d.SmallCopy.of(np.ascontiguousarray(picture), picture.shape[1], picture.shape[0], 1)


def test_writing_outside_is_none_for_the_whole_page():
    small = small_copy(written_page())
    assert d.writing_outside(small, PAGE) < d.WRITING_LIMIT
    assert not d.leaves_ink_out(small, PAGE)


@pytest.mark.parametrize("light_below", [1.0, 1.1, 0.95])
def test_a_side_along_a_line_of_writing_leaves_ink_out(light_below):
    # The bottom side just above the last line of writing, which lies outside, in the same light
    # or in more or less of it than the rest of the page.
    small = small_copy(written_page(light_below))
    cut = PAGE.copy()
    cut[2:, 1] = 211.0
    assert d.writing_outside(small, cut) >= d.WRITING_LIMIT
    assert d.leaves_ink_out(small, cut)


def test_a_side_inside_the_margin_leaves_nothing_out():
    # Moved up into the blank margin below the writing, nothing but paper lies outside.
    small = small_copy(written_page())
    inside = PAGE.copy()
    inside[2:, 1] = 250.0
    assert d.writing_outside(small, inside) < d.WRITING_LIMIT


def test_a_shadow_on_the_desk_is_no_writing():
    small = small_copy(written_page(shadow=True))
    assert d.writing_outside(small, PAGE) < d.WRITING_LIMIT


def framed_board(marks_in_frame=False):
    """A board: a light wall (150), a frame of 8 pixels on the right (light aluminium, 205, with a
    darker groove at its inner edge), and the writing surface (228) with a few strokes."""
    picture = np.full((HEIGHT, WIDTH, 3), 150.0)
    picture[40:281, 60:361] = 228.0
    picture[40:281, 353:361] = 205.0
    picture[40:281, 353] = 170.0
    picture[100:200, 100:300:20] = 60.0
    if marks_in_frame:
        picture[60:260:12, 356:358] = 80.0
    return picture.astype(np.uint8)


def test_a_side_on_the_outside_of_a_frame_moves_to_its_inner_edge():
    small = small_copy(framed_board())
    moved = d.inside_frames(small, PAGE)
    # The right side comes in by the frame's width (to within a pixel); the others stay.
    assert moved[1, 0] == pytest.approx(353.0, abs=1.5)
    assert moved[2, 0] == pytest.approx(353.0, abs=1.5)
    assert np.allclose(moved[[0, 3]], PAGE[[0, 3]])


def test_a_strip_with_writing_in_it_is_no_frame():
    small = small_copy(framed_board(marks_in_frame=True))
    assert np.array_equal(d.inside_frames(small, PAGE), PAGE)


def test_a_page_edge_is_no_frame():
    small = small_copy(written_page())
    assert np.array_equal(d.inside_frames(small, PAGE), PAGE)


def test_contains_and_areas_of_quads():
    inner = PAGE + np.array([[5, 5], [-5, 5], [-5, -5], [5, -5]])
    assert d.contains(PAGE, inner) and not d.contains(inner, PAGE)
    assert d.quad_areas(np.stack([PAGE, inner])) == pytest.approx([300 * 240, 290 * 230])


def test_contains_judges_only_the_part_inside_the_picture():
    # Two pages whose right sides cross below the picture: within it, the first holds the second.
    wider = np.array([[60.0, 40.0], [385.0, 40.0], [375.0, 400.0], [60.0, 400.0]])
    crossing = np.array([[60.0, 40.0], [350.0, 40.0], [380.0, 400.0], [60.0, 400.0]])
    assert not d.contains(wider, crossing)
    assert d.contains(wider, crossing, picture=(WIDTH, HEIGHT))
    assert not d.contains(crossing, wider, picture=(WIDTH, HEIGHT))


def tilted_edge_picture(degrees, neighbour=False):
    """A light surface (200) above a long straight edge through (210, 160) at degrees to the
    horizontal and a wall (150) below; with neighbour, a darker tray (90) from 4 pixels below the
    edge on, whose own edge is the stronger."""
    ys, xs = np.mgrid[0:HEIGHT, 0:WIDTH].astype(float)
    angle = np.radians(degrees)
    below = (xs - 210.0) * -np.sin(angle) + (ys - 160.0) * np.cos(angle)
    # Each pixel takes the share of it on either side, as a camera sees an edge.
    picture = 200.0 - 50.0 * np.clip(below + 0.5, 0, 1)
    if neighbour:
        picture -= 60.0 * np.clip(below - 3.5, 0, 1)
    picture = np.repeat(picture[:, :, None], 3, axis=2) + np.random.default_rng(3).normal(0, 1, (HEIGHT, WIDTH, 3))
    return np.clip(picture, 0, 255).astype(np.uint8)


def edge_line(degrees):
    """The edge of tilted_edge_picture as a normal angle (radians, 0 to 180 degrees) and rho."""
    theta = np.radians(90.0 + degrees)
    return theta, 210.0 * np.cos(theta) + 160.0 * np.sin(theta)


@pytest.mark.parametrize("neighbour", [False, True])
def test_a_line_between_vote_bins_is_fitted_onto_its_edge(neighbour):
    # Half a degree off its edge, a voted line leaves it by 2 pixels 200 pixels away; the fit
    # turns it onto the edge, and a stronger edge a few pixels off does not pull it over.
    small = small_copy(tilted_edge_picture(8.5, neighbour))
    theta, rho = edge_line(8.5)
    voted = d.Lines(np.array([theta - np.radians(0.5)]), np.array([rho + 0.7]), np.ones(1))
    fitted = d.fit_lines(small, voted)
    assert abs(np.degrees(fitted.theta[0] - theta)) < 0.25
    assert abs(fitted.rho[0] - rho) < 0.6
    assert d.edge_support(small, fitted.theta, fitted.rho)[0] > 1.1 * d.edge_support(small, voted.theta, voted.rho)[0]


def test_a_line_on_its_edge_is_left_as_voted_and_copies_are_one():
    small = small_copy(tilted_edge_picture(8.0))
    theta, rho = edge_line(8.0)
    voted = d.Lines(np.array([theta, theta]), np.array([rho, rho + 1.0]), np.array([2.0, 1.0]))
    fitted = d.fit_lines(small, voted)
    assert len(fitted.theta) == 1
    assert fitted.theta[0] == theta and fitted.rho[0] == rho


def test_a_board_edge_and_its_tray_edge_close_by_are_two_lines():
    # The surface's own edge and the tray's, 4 pixels apart, each a peak of the votes.
    small = small_copy(tilted_edge_picture(8.0, neighbour=True))
    theta, rho = edge_line(8.0)
    lines = d.strongest_lines(small)
    near = np.abs(np.degrees(lines.theta - theta)) <= 1.0
    offsets = np.sort(lines.rho[near] - rho)
    assert len(offsets) >= 2 and abs(offsets[0]) <= 1.0 and abs(offsets[-1] - 4.0) <= 1.0
