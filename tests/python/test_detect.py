"""Finding the page in a photo and rectifying it: detect() on pictures drawn here, the whole
photo when nothing is found, corners and aspect given by hand, `vantrel detect` and the crop
options of `vantrel clean`, and refusals with clear errors."""

import json
import math

import numpy as np
import pytest
from PIL import Image, ImageDraw

import vantrel_clean as vc
from vantrel_clean.cli import main
from vantrel_clean.options import check_corners, parse_aspect
from vantrel_clean.rectification import Rectification, homography, page_aspect, plan_rectification, warp

TILTED = ((150.0, 90.0), (520.0, 120.0), (490.0, 420.0), (110.0, 380.0))


def tilted_page(corners=TILTED, size=(640, 480), desk=(55, 50, 45), paper=(246, 246, 240), seed=1):
    """A page with handwriting-like strokes inside corners (TL, TR, BR, BL) on a desk, with noise;
    drawn at twice the size and halved, so that its edges are smooth as a lens makes them."""
    rng = np.random.default_rng(seed)
    image = Image.new("RGB", (2 * size[0], 2 * size[1]), desk)
    draw = ImageDraw.Draw(image)
    corners = [(2 * x + 0.5, 2 * y + 0.5) for x, y in corners]  # pixel centres at the double size
    draw.polygon(corners, fill=paper)
    # Strokes between the sides, kept well inside the page.
    h = homography([(0, 0), (1, 0), (1, 1), (0, 1)], corners)
    for row in np.linspace(0.2, 0.8, 6):
        points = []
        for u in np.linspace(0.15, 0.7 + 0.1 * rng.random(), 20):
            v = row + 0.01 * math.sin(40 * u)
            x, y, w = h @ (u, v, 1)
            points.append((x / w, y / w))
        draw.line(points, fill=(25, 30, 90), width=6)
    samples = np.asarray(image.reduce(2)).astype(np.float64) + rng.normal(0, 3, (size[1], size[0], 3))
    return np.clip(samples, 0, 255).astype(np.uint8)


def test_detect_finds_a_tilted_page_on_a_dark_desk_within_a_few_pixels():
    found = vc.detect(tilted_page())
    assert found.found and found.confidence > 0.8
    assert np.abs(np.array(found.corners) - np.array(TILTED)).max() < 3


def test_detect_takes_pillow_images_and_paths_alike(tmp_path):
    picture = tilted_page()
    path = tmp_path / "page.png"
    Image.fromarray(picture).save(path)
    from_array = vc.detect(picture)
    assert vc.detect(Image.fromarray(picture)) == from_array
    assert vc.detect(path) == from_array
    assert vc.detect(str(path)) == from_array


def test_detect_falls_back_to_the_whole_photo_on_a_blank_picture():
    blank = np.full((300, 400, 3), 235, np.uint8)
    found = vc.detect(blank)
    assert not found.found
    assert found.corners == ((0.0, 0.0), (399.0, 0.0), (399.0, 299.0), (0.0, 299.0))
    assert found.aspect == pytest.approx(400 / 300)
    assert 0 <= found.confidence < 0.55


def graph_paper_scan(size=(1740, 1100), pitch=30, seed=3):
    """A scan of yellow graph paper filling the frame: its grid in thin pale lines, a green
    margin line, and two lines of pencil-like writing near the top."""
    rng = np.random.default_rng(seed)
    image = Image.new("RGB", size, (236, 234, 170))
    draw = ImageDraw.Draw(image)
    for x in range(pitch // 2, size[0], pitch):
        draw.line([(x, 0), (x, size[1])], fill=(185, 205, 185), width=2)
    for y in range(pitch // 2, size[1], pitch):
        draw.line([(0, y), (size[0], y)], fill=(185, 205, 185), width=2)
    draw.line([(90, 0), (90, size[1])], fill=(40, 110, 60), width=4)
    for top in (120, 170):
        draw.line([(260 + 14 * k, top + (22 if k % 2 else 0)) for k in range(40)], fill=(110, 110, 110), width=4)
    samples = np.asarray(image).astype(np.float64) + rng.normal(0, 3, (size[1], size[0], 3))
    return np.clip(samples, 0, 255).astype(np.uint8)


def test_detect_never_takes_a_grid_square_that_leaves_writing_outside():
    # The grid's lines make many quads on the same paper; each one would cut a line of writing off.
    found = vc.detect(graph_paper_scan())
    if found.found:
        (left, top), _, (right, bottom), _ = found.corners
        assert top <= 115 and left <= 255 and right >= 830 and bottom >= 200


@pytest.mark.parametrize("shape", [(20, 9000, 3), (9000, 20, 3), (3, 3, 3)])
def test_detect_takes_long_thin_and_tiny_pictures_whole(shape):
    found = vc.detect(np.full(shape, 128, np.uint8))
    assert not found.found
    assert found.corners[2] == (shape[1] - 1.0, shape[0] - 1.0)


def test_detect_result_is_a_frozen_record():
    found = vc.detect(tilted_page())
    with pytest.raises(AttributeError):
        found.found = False  # type: ignore[misc]


def test_detect_refuses_what_is_not_a_picture():
    with pytest.raises(TypeError):
        vc.detect(42)
    with pytest.raises(ValueError, match="H x W x 3 uint8"):
        vc.detect(np.zeros((10, 10), np.uint8))
    with pytest.raises(vc.PictureTooSmall):
        vc.detect(np.zeros((2, 10, 3), np.uint8))
    with pytest.raises(vc.PictureError):
        vc.detect("/no/such/photo.jpg")


def test_aspect_of_a_rectangle_seen_head_on_is_its_own():
    corners = ((100.0, 100.0), (400.0, 100.0), (400.0, 300.0), (100.0, 300.0))
    assert page_aspect(corners, 500, 400) == pytest.approx(1.5)


def test_aspect_of_a_page_in_perspective_comes_back_through_the_vanishing_points():
    # An A4 page tilted about both axes, seen by a camera of focal length 800 pixels.
    focal, width, height = 800.0, 1000, 800
    ax, ay = math.radians(30), math.radians(-20)
    rx = np.array([[1, 0, 0], [0, math.cos(ax), -math.sin(ax)], [0, math.sin(ax), math.cos(ax)]])
    ry = np.array([[math.cos(ay), 0, math.sin(ay)], [0, 1, 0], [-math.sin(ay), 0, math.cos(ay)]])
    rotation = ry @ rx
    page = np.array([[-0.105, -0.1485, 0], [0.105, -0.1485, 0], [0.105, 0.1485, 0], [-0.105, 0.1485, 0]])
    points = page @ rotation.T + (0.02, 0.01, 0.5)
    corners = tuple((focal * x / z + (width - 1) / 2, focal * y / z + (height - 1) / 2) for x, y, z in points)
    assert page_aspect(corners, width, height) == pytest.approx(210 / 297, rel=0.005)


def test_parse_aspect_takes_names_ratios_and_numbers():
    assert parse_aspect("auto") == "auto"
    assert parse_aspect("A4") == "a4"
    assert parse_aspect("letter") == "letter"
    assert parse_aspect("4:3") == pytest.approx(4 / 3)
    assert parse_aspect(0.5) == 0.5
    for bad in ("", "4:0", "4:3:2", "wide", "-1:2", "nan:1", "1000:1"):
        with pytest.raises(ValueError, match="aspect"):
            parse_aspect(bad)
    with pytest.raises(TypeError):
        parse_aspect(True)


def test_check_corners_refuses_what_is_not_a_clockwise_convex_quad():
    assert check_corners([[0, 0], [10, 0], [10, 10], [0, 10]]) == ((0, 0), (10, 0), (10, 10), (0, 10))
    with pytest.raises(ValueError, match="clockwise"):
        check_corners([(0, 0), (0, 10), (10, 10), (10, 0)])  # counter-clockwise
    with pytest.raises(ValueError, match="convex"):
        check_corners([(0, 0), (10, 10), (10, 0), (0, 10)])  # a bow tie
    with pytest.raises(ValueError, match="four"):
        check_corners([(0, 0), (10, 0), (10, 10)])
    with pytest.raises(ValueError, match="finite"):
        check_corners([(0, 0), (float("inf"), 0), (10, 10), (0, 10)])
    with pytest.raises(ValueError, match="9 square pixels"):
        check_corners([(0, 0), (2, 0), (2, 2), (0, 2)])


def test_clean_options_check_crop_corners_and_aspect():
    options = vc.CleanOptions(corners=[(0, 0), (10, 0), (10, 10), (0, 10)], aspect="3:2")
    assert options.corners == ((0, 0), (10, 0), (10, 10), (0, 10))
    assert options.aspect == pytest.approx(1.5)
    with pytest.raises(ValueError, match="crop"):
        vc.CleanOptions(crop="maybe")
    with pytest.raises(ValueError, match="aspect"):
        vc.CleanOptions(aspect="tall")


def test_warp_of_the_identity_map_copies_the_picture():
    picture = np.random.default_rng(3).integers(0, 256, (37, 53, 3), np.uint8)
    corners = ((-0.5, -0.5), (52.5, -0.5), (52.5, 36.5), (-0.5, 36.5))  # the picture's outer edges
    plan = plan_rectification(corners, 53 / 37, 53, 37)
    assert (plan.out_width, plan.out_height) == (53, 37)
    out = warp(picture, 53, 37, plan)
    assert np.abs(out.astype(int) - picture).max() <= 1


def test_warp_that_shrinks_averages_instead_of_skipping():
    # Stripes one pixel wide, shrunk four times: plain sampling gives black or white, averaging grey.
    picture = np.zeros((64, 64, 3), np.uint8)
    picture[:, ::2] = 255
    quarter = homography([(0, 0), (16, 0), (16, 16), (0, 16)], [(0, 0), (64, 0), (64, 64), (0, 64)])
    plan = Rectification(((0.0, 0.0), (63.0, 0.0), (63.0, 63.0), (0.0, 63.0)), 16, 16, tuple(quarter.ravel()))
    out = warp(picture, 64, 64, plan)
    assert np.abs(out.astype(int) - 128).max() <= 2


def test_clean_rectifies_a_page_found_and_keeps_its_proportions():
    picture = tilted_page(corners=((100.0, 60.0), (540.0, 60.0), (540.0, 420.0), (100.0, 420.0)))
    result = vc.clean(picture)
    height, width = result.shape[:2]
    assert width / height == pytest.approx(440 / 360, rel=0.02)
    assert result.shape[0] < (480 - 1) // 2 - 20  # the desk is gone


def test_clean_with_crop_none_keeps_the_photo():
    picture = tilted_page()
    assert vc.clean(picture, vc.CleanOptions(crop="none")).shape == (239, 319, 3)


def test_clean_with_corners_rectifies_them_with_the_aspect_given():
    picture = tilted_page()
    result = vc.clean(picture, vc.CleanOptions(crop="none", corners=TILTED, aspect="a4"))
    height, width = result.shape[:2]
    assert width / height == pytest.approx(297 / 210, rel=0.02)  # turned as the page is: landscape


def test_clean_refuses_corners_far_outside_the_picture():
    with pytest.raises(ValueError, match="outside"):
        vc.clean(tilted_page(), vc.CleanOptions(corners=((0, 0), (5000, 0), (5000, 5000), (0, 5000))))


def test_detect_command_prints_one_json_line_per_photo_and_draws_overlays(tmp_path, capsys):
    Image.fromarray(tilted_page()).save(tmp_path / "page.png")
    Image.fromarray(np.full((50, 60, 3), 230, np.uint8)).save(tmp_path / "blank.png")
    status = main(["detect", str(tmp_path / "page.png"), str(tmp_path / "blank.png"), "--overlay", str(tmp_path / "o")])
    assert status == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [line["file"] for line in lines] == [str(tmp_path / "page.png"), str(tmp_path / "blank.png")]
    assert set(lines[0]) == {"file", "found", "corners", "confidence", "aspect"}
    assert lines[0]["found"] and np.abs(np.array(lines[0]["corners"]) - np.array(TILTED)).max() < 3
    assert not lines[1]["found"] and lines[1]["corners"] == [[0, 0], [59, 0], [59, 49], [0, 49]]
    assert sorted(p.name for p in (tmp_path / "o").iterdir()) == ["blank.overlay.jpg", "page.overlay.jpg"]


def test_detect_command_reports_unreadable_photos_and_goes_on(tmp_path, capsys):
    Image.fromarray(tilted_page()).save(tmp_path / "page.png")
    (tmp_path / "bad.jpg").write_bytes(b"not a picture")
    status = main(["detect", str(tmp_path / "bad.jpg"), str(tmp_path / "page.png")])
    captured = capsys.readouterr()
    assert status == 1
    assert len(captured.out.splitlines()) == 1
    assert "bad.jpg: not a picture" in captured.err


def test_clean_command_says_in_one_line_when_no_page_is_found(tmp_path, capsys):
    Image.fromarray(np.full((50, 60, 3), 230, np.uint8)).save(tmp_path / "blank.png")
    Image.fromarray(tilted_page()).save(tmp_path / "page.png")
    status = main(["clean", str(tmp_path / "blank.png"), str(tmp_path / "page.png"), "-o", str(tmp_path / "out"), "-q"])
    err = capsys.readouterr().err.splitlines()
    assert status == 0
    assert err == [f"vantrel: {tmp_path / 'blank.png'}: no page found (confidence 0.00): the whole photo is cleaned"]
    assert Image.open(tmp_path / "out" / "blank.png").size == (29, 24)


def test_clean_command_parses_corners_and_aspect(tmp_path, capsys):
    Image.fromarray(tilted_page()).save(tmp_path / "page.png")
    corners = ",".join(str(v) for point in TILTED for v in point)
    out = tmp_path / "out"
    status = main(["clean", str(tmp_path / "page.png"), "-o", str(out), "-q", "--corners", corners, "--aspect", "1:1"])
    assert status == 0 and capsys.readouterr().err == ""
    width, height = Image.open(out / "page.png").size
    assert abs(width - height) <= 1


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("--corners", "1,2,3", "eight numbers"),
        ("--corners", "0,0,0,10,10,10,10,0", "clockwise"),
        ("--aspect", "wide", "aspect"),
        ("--crop", "maybe", "invalid choice"),
    ],
)
def test_clean_command_refuses_bad_crop_options(tmp_path, capsys, option, value, message):
    with pytest.raises(SystemExit) as exit:
        main(["clean", str(tmp_path / "page.png"), "-o", str(tmp_path), option, value])
    assert exit.value.code == 2
    assert message in capsys.readouterr().err
