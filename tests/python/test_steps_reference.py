"""The native steps against their NumPy reference (steps_model.py): byte for byte where the step
fixes its arithmetic, within a stated tolerance where it leaves it open; at 1x1, 1xN, Nx1, odd
sizes and sizes above the split into row ranges, on one thread and on many."""

import dataclasses
import math

import numpy as np
import pytest

import steps_model as model
import vantrel
from vantrel_clean import _steps, road
from vantrel_clean.options import INK_RULES
from vantrel_clean.rectification import homography, plan_rectification

#: Shapes (height, width): single pixels, single rows and columns, odd sizes, and one large
#: enough to be split into row ranges (a million samples a range).
SMALL_SHAPES = [(1, 1), (1, 23), (23, 1), (17, 33), (65, 47)]
SPLIT_SHAPE = (801, 1003)


@pytest.fixture(params=[1, 8], ids=["one_thread", "threads"])
def threads(request):
    _steps.set_thread_limit(request.param)
    yield request.param
    _steps.set_thread_limit(0)


def page(shape, seed):
    """A photo of a page: warm paper under a light that falls off, its grain, pale printed rules,
    strokes of several inks and contrasts, thin and thick, a filled shape."""
    rng = np.random.default_rng(seed)
    height, width = shape
    ys, xs = np.mgrid[0:height, 0:width]
    light = 0.65 + 0.35 * np.cos(1.5 * xs / max(width, 2) + 0.8 * ys / max(height, 2))
    picture = np.array([235.0, 222.0, 196.0]) * light[..., None]
    picture += rng.normal(0, 2.0, picture.shape)
    for _ in range(max(1, height * width // 4000)):
        colour = rng.choice([(0.2, 0.2, 0.25), (0.3, 0.4, 0.9), (0.9, 0.3, 0.3), (0.4, 0.8, 0.4), (0.85, 0.85, 0.9)])
        y, x = rng.integers(0, height), rng.integers(0, width)
        thick, length = rng.integers(1, 4), rng.integers(3, 60)
        if rng.random() < 0.5:
            picture[y : y + thick, x : x + length] *= colour
        else:
            picture[y : y + length, x : x + thick] *= colour
    picture[7::31] *= (0.8, 0.85, 0.97)  # pale printed rules, one pixel thick
    picture[:, 11::97] *= (0.97, 0.75, 0.8)  # and margins down
    if height > 40 and width > 40:
        picture[height // 3 : height // 2, width // 4 : width // 2] *= (0.95, 0.9, 0.2)  # a highlighter block
    return np.clip(picture, 0, 255).astype(np.uint8)


def noise(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, (*shape, 3), np.uint8)


def pictures(shape, seed):
    return [("page", page(shape, seed)), ("noise", noise(shape, seed + 1))]


def show_difference(native, expected):
    """The count and first places of differing samples, for the assertion's message."""
    where = np.argwhere(native != expected)
    return (
        f"{len(where)} differ, first at {where[:3].tolist()}: {native[tuple(where[0])]} != {expected[tuple(where[0])]}"
    )


def assert_same(native, expected):
    assert native.shape == expected.shape
    assert np.array_equal(native, expected), show_difference(native, expected)


# Block means of the detection's small copy


@pytest.mark.parametrize("shape, factor", [((1, 1), 1), ((1, 23), 1), ((23, 1), 1), ((17, 33), 4), ((65, 47), 3)])
def test_detection_block_means_match_the_model(shape, factor):
    for _, picture in pictures(shape, 1):
        height, width = shape
        native = np.frombuffer(_steps.shrink_for_detection(picture, width, height, factor), np.float32)
        expected = model.block_means(picture, factor, partial=False)
        # The step multiplies by 1 / factor**2, the model divides: they may part in the last bit.
        np.testing.assert_allclose(native.reshape(expected.shape), expected, rtol=2**-23, atol=0)


# The evening: block means, the 3x3 max, the quantised median, the fill, the blur, the taps


@pytest.mark.parametrize("shape", [*SMALL_SHAPES, (129, 257), (300, 520), SPLIT_SHAPE])
@pytest.mark.parametrize("exponent, knee", [(1.5, 0.0), (1.5, 0.04), (2.5, 0.2)])
def test_even_background_matches_the_model(shape, exponent, knee, threads):
    if shape == SPLIT_SHAPE and (exponent, knee) != (1.5, 0.04):
        pytest.skip("the large picture runs with the road's own curve only")
    height, width = shape
    for _, picture in pictures(shape, 2):
        native = np.frombuffer(_steps.even_background(picture, width, height, exponent, knee), np.uint8)
        assert_same(native.reshape(picture.shape), model.even_background(picture, exponent, knee))


def test_even_background_model_lifts_thin_strokes_and_fills_filled_shapes():
    # The model itself: a thin dark line vanishes from the estimate (the 3x3 max), a block much
    # darker than the paper around it is filled from that paper.
    picture = np.full((256, 256, 3), 200, np.uint8)
    picture[100, :] = 20
    picture[150:200, 40:120] = 60
    estimate = model.paper_estimate(picture)
    assert np.allclose(estimate, 200, atol=0.5)


# The contrast map


@pytest.mark.parametrize("shape", [(3, 3), (3, 41), (41, 3), (35, 19), (1001, 1201)])
def test_contrast_map_matches_the_model(shape, threads):
    height, width = shape
    for _, picture in pictures(shape, 3):
        native = model.split_contrast_map(
            _steps.contrast_map(picture, width, height), (height - 1) // 2, (width - 1) // 2
        )
        for native_part, expected in zip(native, (*model.contrast_map(picture), model.halved_colour(picture))):
            assert_same(native_part, expected)


def test_contrast_map_model_tints_coloured_ink_and_not_grey():
    # The model itself: grey ink and paper have no tint, a red stroke the difference of its
    # darkest and lightest samples' contrasts; the halved colour keeps the red.
    picture = np.full((9, 9, 3), 255, np.uint8)
    picture[:, :3] = 60
    picture[:, 6:] = (200, 40, 40)
    smooth, peak, tint = model.contrast_map(picture)
    assert tint[:, :2].max() == 0 and smooth[:, 1].min() > 0 and tint[:, 2].min() > 0
    assert (tint[:, 3] == round((200 - 40) / 255 * 65535)).all()
    assert (peak[:, 0] == round(195 / 255 * 65535)).all()
    colour = model.halved_colour(picture)
    assert tuple(colour[0, 0]) == (60, 60, 60) and tuple(colour[0, 3]) == (200, 40, 40)


@pytest.mark.parametrize("shape", [(3, 3), (35, 19), (301, 203)])
@pytest.mark.parametrize("exponent, knee", [(1.5, 0.04), (2.0, 0.0)])
def test_evening_into_the_module_gives_the_contrast_map_of_the_model(shape, exponent, knee):
    # The contrast is read back through the inverse of the tone curve.
    height, width = shape
    picture = page(shape, 4)
    out_width, out_height = road.halved_size(width, height)
    c = vantrel.cvar
    with road.MODULE_LOCK:
        c.width, c.height, c.outWidth, c.outHeight = width, height, out_width, out_height
        vantrel.CreateArrays()
        try:
            contrast = _steps.even_into_module(picture, exponent, knee, True)
        finally:
            vantrel.Cleanup()
    evened = model.even_background(picture, exponent, knee)
    native = model.split_contrast_map(contrast, (height - 1) // 2, (width - 1) // 2)
    for native_part, expected in zip(
        native, (*model.contrast_map(evened, exponent, knee), model.halved_colour(evened))
    ):
        assert_same(native_part, expected)


# The strokes and their ink classes


def halved_page(shape, seed):
    """A halved picture as the road hands it to the ink decision, its contrast map (contrast,
    peak, tint) and its halved colour from before the whitening."""
    height, width = shape
    picture = page((2 * height + 1, 2 * width + 1), seed)
    evened = model.even_background(picture, 1.5, 0.04)
    halved = evened[1::2, 1::2][:height, :width].copy()
    halved[halved >= 200] = 255  # the module whitens what is lighter than its background cut
    smooth, peak, tint = model.contrast_map(evened, 1.5, 0.04)
    return halved, smooth, peak, tint, model.halved_colour(evened)


RULES = [
    ("defaults", 1.0, INK_RULES),
    ("sensitive", 2.5, dataclasses.replace(INK_RULES, min_stroke=1, full_contrast=0.2, chroma_cut=6.0)),
]


#: The contrast map as the ink decision may take it: two planes, three with the tint, or all of
#: it with the halved colour (as even_into_module returns it).
MAP_PARTS = ["contrast_and_peak", "with_tint", "with_colour"]


@pytest.mark.parametrize("shape", [(1, 1), (1, 40), (40, 1), (33, 47), (130, 170), (520, 530)])
@pytest.mark.parametrize("name, sensitivity, rules", RULES, ids=[r[0] for r in RULES])
@pytest.mark.parametrize("parts", MAP_PARTS)
def test_ink_classes_match_the_model(shape, name, sensitivity, rules, parts, threads):
    if shape == (520, 530) and (name != "defaults" or parts == "with_tint"):
        pytest.skip("the large picture runs with the defaults only, with two planes or all the map")
    halved, smooth, peak, tint, colour = halved_page(shape, 5)
    height, width = shape
    args = (1.5, 0.04, sensitivity, *dataclasses.astuple(rules)[:-1])
    given = {
        "tint": tint if parts != "contrast_and_peak" else None,
        "colour": colour if parts == "with_colour" else None,
    }
    data = b"".join(part.tobytes() for part in (smooth, peak, given["tint"], given["colour"]) if part is not None)
    native_codes, native_histogram = _steps.classify_ink(halved, data, width, height, *args)
    codes, histogram = model.classify_ink(halved, smooth, peak, 1.5, 0.04, sensitivity, rules, **given)
    assert_same(np.frombuffer(native_codes, np.uint8).reshape(shape), codes)
    native_histogram = np.frombuffer(native_histogram, np.float64).reshape(histogram.shape)
    assert_same(native_histogram[:, :2], histogram[:, :2])  # the counts
    # The sums of L*, a*, b* are added in another order (and per row range), and the step's cube root
    # (two of Halley's steps) is good to about 1e-11 where the model takes NumPy's.
    np.testing.assert_allclose(native_histogram[:, 2:], histogram[:, 2:], rtol=1e-9, atol=1e-6)


# The vote along strokes


@pytest.mark.parametrize("shape", [(1, 1), (1, 29), (29, 1), (31, 45), (700, 800)])
@pytest.mark.parametrize("radius", [0, 1, 2, 3])
def test_ink_vote_matches_the_model(shape, radius, threads):
    if shape == (700, 800) and radius != 2:
        pytest.skip("the large picture runs with the road's radius only")
    rng = np.random.default_rng(6)
    indexes = rng.choice(np.array([0, 0, 1, 2, 3, 4, 7, 8, 253, 254], np.uint8), shape)
    height, width = shape
    native = np.frombuffer(_steps.vote_inks(indexes, width, height, radius), np.uint8).reshape(shape)
    voted, allowed = model.vote_inks(indexes, radius)
    ties = native != voted
    # Where other inks tie for the most weight, the definition allows any of them.
    assert allowed((native.astype(np.intp) - 1) // 2).all()
    assert np.array_equal(native[ties] % 2, voted[ties] % 2)  # the level stays
    assert_same(native[~ties], voted[~ties])


# The detection's gradients and line votes


@pytest.mark.parametrize("shape", [(1, 1), (1, 23), (23, 1), (2, 5), (37, 61)])
def test_colour_gradients_match_the_model(shape):
    small = np.random.default_rng(7).uniform(0, 255, (*shape, 3)).astype(np.float32)
    height, width = shape
    gx, gy = _steps.colour_gradients(small, width, height)
    expected_x, expected_y = model.colour_gradients(small)
    assert_same(np.frombuffer(gx, np.float32).reshape(shape), expected_x)
    assert_same(np.frombuffer(gy, np.float32).reshape(shape), expected_y)


@pytest.mark.parametrize("shape", [(1, 1), (1, 23), (23, 1), (37, 61)])
@pytest.mark.parametrize("angle_bins, spread", [(360, 2), (12, 3), (64, 0)])
def test_line_votes_match_the_model(shape, angle_bins, spread):
    rng = np.random.default_rng(8)
    gx, gy = (rng.normal(0, 20, shape).astype(np.float32) for _ in range(2))
    height, width = shape
    native = _steps.vote_lines(gx, gy, width, height, angle_bins, spread, 4.0, 40.0)
    expected = model.vote_lines(gx, gy, angle_bins, spread, 4.0, 40.0)
    assert_same(np.frombuffer(native, np.float32).reshape(expected.shape), expected)


# The warp and the geometry of the page


def affine(scale_x, scale_y, angle_degrees, shift_x, shift_y):
    """A map from output positions to source positions: scaled, turned, shifted."""
    turn = math.radians(angle_degrees)
    cos, sin = math.cos(turn), math.sin(turn)
    return [scale_x * cos, -scale_y * sin, shift_x, scale_x * sin, scale_y * cos, shift_y, 0.0, 0.0, 1.0]


MAPS = {
    "identity": affine(1, 1, 0, 0, 0),
    "shifted_half_outside": affine(1, 1, 0, -9.3, 4.6),
    "halved": affine(2, 2, 0, 0, 0),
    "shrunk_unevenly": affine(3.4, 1.7, 0, 0.2, 0.7),
    "turned": affine(1, 1, 30, 12, -5),
    "turned_and_shrunk": affine(2.6, 2.6, -17, 20, 3),
    "enlarged": affine(0.4, 0.4, 0, 1.1, 2.2),
}


@pytest.mark.parametrize("shape", [(1, 1), (1, 23), (23, 1), (37, 61), (900, 1000)])
@pytest.mark.parametrize("name", list(MAPS))
def test_warp_matches_the_model(shape, name, threads):
    if shape == (900, 1000) and name not in ("identity", "turned_and_shrunk"):
        pytest.skip("the large picture runs with two maps only")
    picture = page(shape, 9)
    height, width = shape
    out_height, out_width = shape
    native = _steps.warp_perspective(picture, width, height, MAPS[name], out_width, out_height)
    native = np.frombuffer(native, np.uint8).reshape(out_height, out_width, 3).astype(int)
    expected = model.warp_perspective(picture, MAPS[name], out_width, out_height).astype(int)
    # The step samples in fixed point (positions in 1/256 of a pixel, weights of 1/256).
    difference = np.abs(native - expected)
    assert difference.max() <= 1, show_difference(native, expected)


@pytest.mark.parametrize(
    "corners",
    [
        ((20.0, 30.0), (380.0, 10.0), (390.0, 290.0), (5.0, 270.0)),
        ((100.0, 100.0), (300.0, 120.0), (280.0, 200.0), (120.0, 190.0)),
        ((-30.0, -20.0), (420.0, 5.0), (380.0, 330.0), (10.0, 310.0)),
    ],
)
def test_warp_of_a_page_in_perspective_matches_the_model(corners, threads):
    # A strong perspective on a small picture: the map strays from a straight line over a run of
    # 16 pixels by up to 3/100 of a pixel, and the step must then take the exact positions.
    picture = page((300, 400), 3)
    plan = plan_rectification(corners, 1.3, 400, 300)
    native = _steps.warp_perspective(picture, 400, 300, plan.map, plan.out_width, plan.out_height)
    native = np.frombuffer(native, np.uint8).reshape(plan.out_height, plan.out_width, 3).astype(int)
    expected = model.warp_perspective(picture, plan.map, plan.out_width, plan.out_height).astype(int)
    assert np.abs(native - expected).max() <= 1, show_difference(native, expected)


@pytest.mark.parametrize(
    "corners",
    [
        [(0, 0), (640, 0), (640, 480), (0, 480)],
        [(102.5, 80.25), (1910.0, 140.0), (1780.5, 1420.0), (60.0, 1300.75)],
        [(-40.0, 12.0), (700.0, -30.0), (650.0, 900.0), (10.0, 880.0)],
    ],
)
def test_homography_matches_the_null_space_of_the_linear_system(corners):
    square = [(0, 0), (1, 0), (1, 1), (0, 1)]
    found = homography(square, corners)
    np.testing.assert_allclose(found, model.homography_by_null_space(square, corners), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(model.apply(found, square), corners, atol=1e-9)
