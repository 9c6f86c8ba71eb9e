"""The `vantrel clean` command end to end: real and synthetic files, bad files in a batch, the
PDF, atomic writes, and the conversions of unusual pictures."""

import io
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import png
import pytest
from PIL import Image, features

import vantrel_clean as vc
from vantrel_clean.cli import main

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "whiteboarder-red_kneecap.input.jpg"


def page(width=41, height=29):
    """White paper with a black band across rows 3-6: the band survives cleaning as black."""
    picture = np.full((height, width, 3), 250, np.uint8)
    picture[3:7, 2:-2] = 5
    return picture


def save(path, picture, **options):
    image = picture if isinstance(picture, Image.Image) else Image.fromarray(picture)
    image.save(path, **options)
    return path


def clean(capsys, *args):
    """Runs the command in this process; returns (status, stderr lines), leaving out the notices
    of photos cleaned whole because no page was found in them (test_detect.py checks those)."""
    status = main(["clean", *map(str, args)])
    lines = capsys.readouterr().err.splitlines()
    return status, [line for line in lines if not line.endswith("the whole photo is cleaned")]


def cleaned(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))


def pdf_pages(path):
    return len(re.findall(rb"/Type\s*/Page\b(?!s)", Path(path).read_bytes()))


def test_batch_with_bad_files_goes_on_and_fails(tmp_path, capsys):
    inputs = tmp_path / "in"
    inputs.mkdir()
    save(inputs / "a.png", page())
    jpeg = io.BytesIO()
    Image.fromarray(page(200, 150)).save(jpeg, "JPEG")
    (inputs / "b-truncated.jpg").write_bytes(jpeg.getvalue()[: len(jpeg.getvalue()) // 2])
    (inputs / "c-text.png").write_text("not a picture at all\n")
    save(inputs / "d-tiny.png", page(2, 10))
    save(inputs / "e.jpg", page(33, 21), quality=95)
    status, errors = clean(capsys, inputs, tmp_path / "missing.png", "-o", tmp_path / "out")

    assert status == 1
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.png", "e.png"]
    assert len(errors) == 4, errors
    assert all(line.startswith("vantrel: ") for line in errors)
    joined = "\n".join(errors)
    assert re.search(r"b-truncated\.jpg: truncated or damaged", joined)
    assert re.search(r"c-text\.png: not a picture", joined)
    assert re.search(r"d-tiny\.png: 2x10 pixels is too small to halve", joined)
    assert re.search(r"missing\.png: cannot read it", joined)
    np.testing.assert_array_equal(cleaned(tmp_path / "out" / "a.png"), vc.clean(page()))


def test_all_good_exits_zero_and_folders_keep_their_layout(tmp_path, capsys):
    save((tmp_path / "in" / "sub").mkdir(parents=True) or tmp_path / "in" / "sub" / "x.png", page())
    save(tmp_path / "in" / "y.tif", page())
    (tmp_path / "in" / "notes.txt").write_text("skipped: not a picture name")
    status, errors = clean(capsys, tmp_path / "in", "-o", tmp_path / "out", "-q")
    assert (status, errors) == (0, [])
    assert (tmp_path / "out" / "sub" / "x.png").exists() and (tmp_path / "out" / "y.png").exists()


def test_pdf_gathers_the_cleaned_pages_in_order(tmp_path, capsys):
    for name, width in [("p1.png", 41), ("p2.png", 61), ("p3.png", 51)]:
        save(tmp_path / name, page(width))
    (tmp_path / "p4.png").write_bytes(b"\x89PNG broken")
    files = [tmp_path / n for n in ("p1.png", "p2.png", "p3.png", "p4.png")]
    status, errors = clean(capsys, *files, "--pdf", tmp_path / "book" / "all.pdf", "--style", "bw")
    assert status == 1 and len(errors) == 1 and "p4.png" in errors[0]
    assert pdf_pages(tmp_path / "book" / "all.pdf") == 3
    if features.check("libtiff"):  # black-and-white pages go in losslessly, fax-compressed
        assert (tmp_path / "book" / "all.pdf").read_bytes().count(b"/CCITTFaxDecode") == 3
    status, _ = clean(capsys, *files[:3], "--pdf", tmp_path / "three.pdf", "-o", tmp_path / "out")
    assert status == 0 and pdf_pages(tmp_path / "three.pdf") == 3 and len(list((tmp_path / "out").iterdir())) == 3


@pytest.mark.parametrize("interrupt", [OSError(28, "No space left on device"), KeyboardInterrupt()])
def test_interrupted_write_leaves_no_file(tmp_path, capsys, monkeypatch, interrupt):
    source = save(tmp_path / "a.png", page())
    out = tmp_path / "out"

    def failing_save(self, fp, *args, **kwargs):
        fp.write(b"\x89PNG\r\n\x1a\n half of a picture")
        raise interrupt

    # Palette PNGs are written by pypng, the others by Pillow: both fail half-way.
    monkeypatch.setattr(Image.Image, "save", failing_save)
    monkeypatch.setattr(png.Writer, "write_packed", failing_save)
    status, errors = clean(capsys, source, "-o", out)
    assert status == (130 if isinstance(interrupt, KeyboardInterrupt) else 1)
    assert list(out.iterdir()) == []  # neither the picture nor its temporary file
    if isinstance(interrupt, OSError):
        assert len(errors) == 1 and "No space left on device" in errors[0]


def test_output_never_overwrites_an_input(tmp_path, capsys):
    source = save(tmp_path / "a.png", page())
    before = source.read_bytes()
    status, errors = clean(capsys, source, "-o", tmp_path)
    assert status == 1 and len(errors) == 1 and "would overwrite an input" in errors[0]
    assert source.read_bytes() == before
    status, _ = clean(capsys, source, "-o", tmp_path, "--format", "webp")
    assert status == 0 and source.read_bytes() == before and (tmp_path / "a.webp").exists()


def test_two_inputs_with_one_output_name(tmp_path, capsys):
    save(tmp_path / "a.png", page())
    save(tmp_path / "a.jpg", page())
    status, errors = clean(capsys, tmp_path / "a.jpg", tmp_path / "a.png", "-o", tmp_path / "out")
    assert (
        status == 1
        and len(errors) == 1
        and re.search(r"a\.png: output .* is already the output of .*a\.jpg", errors[0])
    )
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["a.png"]


def test_output_folder_inside_the_input_folder_is_not_cleaned_again(tmp_path, capsys):
    save(tmp_path / "a.png", page())
    for _ in range(2):
        assert clean(capsys, tmp_path, "-o", tmp_path / "cleaned") == (0, [])
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == [
        "a.png",
        "cleaned",
        "cleaned/a.png",
    ]


def test_png_has_a_palette_only_when_lossless(tmp_path, capsys):
    gradient = np.zeros((41, 61, 3), np.uint8)
    gradient[..., 0] = np.arange(61)[None, :] * 4
    gradient[..., 1] = np.arange(41)[:, None] * 6
    gradient[..., 2] = 100
    source = save(tmp_path / "g.png", gradient)
    raw = ["--style", "levels", "--passes", "none", "--no-even-background"]
    assert clean(capsys, source, "-o", tmp_path / "rgb", *raw)[0] == 0
    with Image.open(tmp_path / "rgb" / "g.png") as image:
        assert image.mode == "RGB"
    np.testing.assert_array_equal(
        cleaned(tmp_path / "rgb" / "g.png"),
        vc.clean(gradient, vc.CleanOptions(style="levels", passes=(), even_background=False)),
    )
    assert (
        clean(
            capsys,
            source,
            "-o",
            tmp_path / "pal",
            "--style",
            "levels",
            "--passes",
            "flatten,recolour",
            "--no-even-background",
        )[0]
        == 0
    )
    with Image.open(tmp_path / "pal" / "g.png") as image:
        assert image.mode == "P"
        options = vc.CleanOptions(style="levels", passes=("flatten", "recolour"), even_background=False)
        np.testing.assert_array_equal(np.asarray(image.convert("RGB")), vc.clean(gradient, options))


def unusual_pictures(tmp_path):
    """(mode, file, the RGB picture it stands for, written out by hand)."""
    grey = page()[..., 0]
    rgb = page()
    rgba = np.zeros((29, 41, 4), np.uint8)  # transparent black: white paper once shown on white
    rgba[3:7, 2:-2] = (5, 5, 5, 255)
    cmyk = np.zeros((29, 41, 4), np.uint8)
    cmyk[3:7, 2:-2, 3] = 250
    bitonal = np.where(rgb > 128, 255, 0).astype(np.uint8)
    paper = np.full_like(rgb, 255)
    paper[3:7, 2:-2] = 5
    yield "L", save(tmp_path / "l.png", Image.fromarray(grey)), rgb
    yield "P", save(tmp_path / "p.png", Image.fromarray(rgb).convert("P")), rgb
    yield "RGBA", save(tmp_path / "rgba.png", Image.fromarray(rgba)), paper
    yield "CMYK", save(tmp_path / "cmyk.tif", Image.frombytes("CMYK", (41, 29), cmyk.tobytes())), paper
    yield "I;16", save(tmp_path / "i16.png", Image.fromarray(grey.astype(np.uint16) * 257)), rgb
    yield "I", save(tmp_path / "i32.tif", Image.fromarray(grey.astype(np.int32) * 257)), rgb
    yield "LA", save(tmp_path / "la.png", Image.fromarray(rgba[..., [0, 3]])), paper
    yield "1", save(tmp_path / "bw.png", Image.fromarray(grey).convert("1", dither=Image.Dither.NONE)), bitonal


def test_unusual_modes_are_converted_to_rgb(tmp_path, capsys):
    for mode, path, rgb in unusual_pictures(tmp_path):
        with Image.open(path) as image:
            assert image.mode == mode
        status, errors = clean(capsys, path, "-o", tmp_path / "out" / path.stem)
        assert (status, errors) == (0, []), mode
        np.testing.assert_array_equal(
            cleaned(tmp_path / "out" / path.stem / f"{path.stem}.png"), vc.clean(rgb), err_msg=mode
        )


def test_exif_orientation_is_honoured(tmp_path, capsys):
    exif = Image.Exif()
    exif[0x0112] = 6  # stored sideways: shown turned 90 degrees clockwise
    source = save(tmp_path / "turned.jpg", page(), exif=exif, quality=95)
    assert clean(capsys, source, "-o", tmp_path / "out") == (0, [])
    result = cleaned(tmp_path / "out" / "turned.png")
    assert result.shape == (20, 14, 3)  # the upright picture is 29 wide and 41 high
    with Image.open(source) as stored:
        upright = np.rot90(np.asarray(stored.convert("RGB")), k=-1)
    np.testing.assert_array_equal(result, vc.clean(np.ascontiguousarray(upright)))


def test_help_explains_every_option(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["clean", "--help"])
    assert stop.value.code == 0
    text = capsys.readouterr().out
    for option in (
        "-o OUTDIR",
        "--pdf FILE",
        "--jobs N",
        "--format",
        "--passes LIST",
        "--speck-limit N",
        "--flatten",
        "--no-recolour",
        "--even-background",
        "--exact-black",
        "--quality",
    ):
        assert option in text, option
    for name in vc.PASSES:
        assert name in text


@pytest.mark.parametrize(
    "args", [["x.png"], ["x.png", "-o", "out", "--jobs", "0"], ["x.png", "-o", "out", "--passes", "blur"]]
)
def test_usage_errors_exit_two(args, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["clean", *args])
    assert stop.value.code == 2


def test_console_script_on_the_bundled_sample_with_workers(tmp_path):
    synthetic = save(tmp_path / "page.png", page())
    script = Path(sys.executable).with_name("vantrel")
    done = subprocess.run(
        [script, "clean", EXAMPLE, synthetic, "-o", tmp_path / "out", "--jobs", "2"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    result = cleaned(tmp_path / "out" / "whiteboarder-red_kneecap.input.png")
    assert result.shape == (359, 539, 3)
    ink = (result == 0).all(axis=2).mean()
    assert 0.01 < ink < 0.2  # the sketch's lines, not a black or an empty page
    np.testing.assert_array_equal(cleaned(tmp_path / "out" / "page.png"), vc.clean(page()))
