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
