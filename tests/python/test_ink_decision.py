"""What the colour road keeps and how it draws it: strokes decided against the picture's own
paper and noise, kept and toned whole, filled areas filled, show-through dropped, the sensitivity
knob; and the contrast map the evening hands to the ink decision."""

import numpy as np
import pytest
from PIL import Image, ImageDraw, ImageFilter

import vantrel
import vantrel_clean as vc
from vantrel_clean import _steps
from vantrel_clean.cli import main

PAPER = np.array([246, 240, 226], np.float64)
#: The pictures here are pages filling the frame: no page is looked for in them.
AS_IT_IS = vc.CleanOptions(crop="none")


def photo(draw_on, seed=0, size=(640, 480), noise=2.0, back=None):
    """A warm page under light that fades to one side, with what draw_on draws into a darkening
    mask (0 paper, 1 black) and, if given, back: mirrored, blurred writing seen through the page."""
    width, height = size
    darkening = Image.new("L", size, 0)
    draw_on(ImageDraw.Draw(darkening))
    transmittance = 1 - np.asarray(darkening, np.float64)[..., None] / 255
    if back is not None:
        mask = Image.new("L", size, 0)
        back(ImageDraw.Draw(mask))
        mask = mask.transpose(Image.Transpose.FLIP_LEFT_RIGHT).filter(ImageFilter.GaussianBlur(3))
        transmittance *= 1 - 0.12 * np.asarray(mask, np.float64)[..., None] / 255
    light = np.linspace(0.8, 1.0, width)[None, :, None]
    rng = np.random.default_rng(seed)
    picture = PAPER * light * transmittance + rng.normal(0, noise, (height, width, 3))
    return np.clip(picture, 0, 255).astype(np.uint8)


def halved(box):
    """A box (x0, y0, x1, y1) of the input as a slice of the halved result, shrunk by a pixel."""
    x0, y0, x1, y1 = box
    return slice(y0 // 2 + 1, y1 // 2 - 1), slice(x0 // 2 + 1, x1 // 2 - 1)


def ink(result):
    return (result.min(axis=2) < 230) | (np.ptp(result.astype(int), axis=2) > 30)


def test_filled_shapes_stay_filled_and_dark():
    black, red, band = (60, 60, 220, 180), (300, 60, 560, 170), (40, 260, 600, 330)
    picture = photo(
        lambda d: (
            d.rectangle(black, fill=240),
            d.rectangle(red, fill=200),  # grey stands in for red here: a fill of 80 % contrast
            d.rectangle(band, fill=120),  # a highlighter band, wider than the paper estimate's filters
        )
    )
    result = vc.clean(picture, AS_IT_IS)
    assert (result[halved(black)] < 40).all()
    assert ink(result[halved(red)]).all() and ink(result[halved(band)]).all()
    assert (result[5:20, 5:300] == 255).all()


def test_thin_black_lines_are_solid_black():
    picture = photo(
        lambda d: [d.line([(20, 40 + 40 * w), (620, 60 + 40 * w)], fill=250, width=w) for w in (1, 2, 3, 4)]
    )
    result = vc.clean(picture, AS_IT_IS)
    for w in (1, 2, 3, 4):
        rows = result[:, 15:305]
        # along the line every column holds black pixels
        band = rows[(40 + 40 * w) // 2 - 2 : (60 + 40 * w) // 2 + 3]
        assert (band.max(axis=2).min(axis=0) == 0).all(), w


def test_faint_strokes_are_kept_whole_and_show_through_is_dropped():
    def front(d):
        for n, strength in enumerate((26, 38, 51)):  # 10, 15 and 20 % contrast
            d.line([(40, 60 + 30 * n), (600, 70 + 30 * n)], fill=strength, width=3)

    def back(d):
        for n in range(4):
            d.line([(100, 300 + 30 * n), (560, 310 + 30 * n)], fill=255, width=4)

    result = vc.clean(photo(front, back=back), AS_IT_IS)
    for n in range(3):
        band = result[(60 + 30 * n) // 2 - 2 : (70 + 30 * n) // 2 + 3, 25:295]
        assert ink(band).any(axis=0).mean() > 0.95, n  # whole along its length
    assert not ink(result[140:235]).any()  # the writing from the back of the page is gone


def test_sensitivity_keeps_more_or_less():
    picture = photo(lambda d: d.line([(40, 200), (600, 210)], fill=18, width=3), noise=1.0)  # 7 % contrast
    line = slice(96, 110), slice(25, 295)
    kept = [
        ink(vc.clean(picture, vc.CleanOptions(sensitivity=s, crop="none"))[line]).any(axis=0).mean()
        for s in (0.5, 1.0, 2.0)
    ]
    assert kept[0] <= kept[1] <= kept[2] and kept[0] < 0.1 and kept[2] > 0.9


def test_colour_road_without_evening_decides_on_white_paper():
    picture = np.full((120, 160, 3), 250, np.uint8)
    picture[40:80, 30:130] = (200, 30, 40)
    result = vc.clean(picture, vc.CleanOptions(even_background=False, crop="none"))
    assert ink(result[22:38, 17:63]).all() and (result[:15] == 255).all()


@pytest.mark.parametrize("value", ["0", "-1", "11", "nan", "much"])
def test_command_refuses_a_bad_sensitivity(tmp_path, capsys, value):
    source = tmp_path / "page.png"
    Image.fromarray(np.full((20, 20, 3), 250, np.uint8)).save(source)
    with pytest.raises(SystemExit) as stop:
        main(["clean", "--crop", "none", str(source), "-o", str(tmp_path / "out"), "--sensitivity", value])
    assert stop.value.code == 2 and "sensitivity" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_command_passes_the_sensitivity_on(tmp_path):
    source = tmp_path / "page.png"
    Image.fromarray(photo(lambda d: d.line([(40, 200), (600, 210)], fill=18, width=3), noise=1.0)).save(source)
    for s in ("1", "2"):
        assert main(["clean", "--crop", "none", str(source), "-o", str(tmp_path / s), "-q", "--sensitivity", s]) == 0
    kept = [ink(np.asarray(Image.open(tmp_path / s / "page.png").convert("RGB"))).sum() for s in ("1", "2")]
    assert kept[1] > kept[0]


@pytest.mark.parametrize("value", [0, -0.5, float("inf"), 10.5])
def test_options_refuse_a_sensitivity_out_of_range(value):
    with pytest.raises(ValueError, match="sensitivity"):
        vc.CleanOptions(sensitivity=value)


def test_options_refuse_a_sensitivity_that_is_not_a_number():
    with pytest.raises(TypeError, match="sensitivity"):
        vc.CleanOptions(sensitivity="2")  # type: ignore[arg-type]


# The contrast map


def test_evening_returns_the_contrast_map_of_the_halved_picture():
    picture = np.full((21, 31, 3), 240, np.uint8)
    picture[10:13, 4:27] = 24  # a stroke of 90 % contrast under output row 5
    c = vantrel.cvar
    with vc.MODULE_LOCK:
        c.width, c.height, c.outWidth, c.outHeight = 31, 21, 15, 10
        vantrel.CreateArrays()
        try:
            assert _steps.even_into_module(picture, 1.5, 0.04) is None
            contrast = _steps.even_into_module(picture, 1.5, 0.04, True)
        finally:
            vantrel.Cleanup()
    smooth, peak, tint = np.frombuffer(contrast, np.uint16, 3 * 150).reshape(3, 10, 15) / 65535
    colour = np.frombuffer(contrast, np.uint8, offset=6 * 150).reshape(10, 15, 3)
    assert smooth[5, 4:12] == pytest.approx(0.9, abs=0.03) and peak[5, 4:12] == pytest.approx(0.9, abs=0.03)
    assert (smooth[:3] < 0.01).all() and (peak[:3] < 0.01).all()
    assert (tint < 0.01).all()  # grey ink and paper have no tint
    assert (colour[:3] > 250).all()  # the halved colour before whitening: paper evened to white ...
    assert (colour[5, 4:12] < 40).all()  # ... and the stroke's dark samples
    map_bytes = _steps.contrast_map(picture, 31, 21)
    plain = np.frombuffer(map_bytes, np.uint16, 3 * 150).reshape(3, 10, 15) / 65535
    # Without evening, the halved colour is the picture's own, halved as the module halves.
    plain_colour = np.frombuffer(map_bytes, np.uint8, offset=6 * 150).reshape(10, 15, 3)
    kernel = np.array([1, 2, 1])
    expected = (
        np.einsum("i,j,ijc->c", kernel, kernel, picture[8:11, 14:17].astype(int)) / 16
    )  # rows 8-10, columns 14-16
    assert plain_colour[4, 7] == pytest.approx(expected, abs=0.51)
    assert plain[0, 5, 8] == pytest.approx(1 - 24 / 255, abs=0.01)  # against white, not its paper
    assert plain[0, 0, 0] == pytest.approx(1 - 240 / 255, abs=0.01)


def test_contrast_map_refuses_what_it_cannot_halve():
    with pytest.raises(ValueError, match="too small to halve"):
        _steps.contrast_map(b"\0" * 12, 2, 2)
    with pytest.raises(ValueError, match="takes 27 bytes"):
        _steps.contrast_map(b"\0" * 12, 3, 3)


def test_printed_rules_are_pale_where_writing_crosses_them():
    def page(d):
        for y in (100, 200, 300):
            d.line([(0, y), (640, y + 3)], fill=125, width=2)  # rules of about half contrast, a little aslant
        d.line([(400, 20), (100, 260)], fill=250, width=3)  # pen across all of them
        d.line([(300, 360), (300, 470)], fill=250, width=3)  # pen across none

    result = vc.clean(photo(page), AS_IT_IS).astype(int)
    for y in (100, 200, 300):
        rule = result[y // 2 - 2 : y // 2 + 4, 260:320]
        drawn = rule[rule.min(axis=2) < 230]
        assert len(drawn) > 40, y
        assert (drawn.min(axis=1) > 100).all(), y  # pale, never black
    stroke = result[30:45, 150:180]  # the pen between two rules
    assert (stroke.max(axis=2) == 0).any()
    assert (result[200:230, 140:160].max(axis=2) == 0).any()
