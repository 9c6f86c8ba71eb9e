"""The Python API: arrays, Pillow images and paths in, the same kind out, exactly what the
module's own road gives; the lock; batches on executors, a dask cluster among them."""

import concurrent.futures
import io
import sys
import threading

import numpy as np
import pytest
from PIL import Image

import vantrel
import vantrel_clean as vc
from vantrel_clean import CleanOptions, PictureTooSmall

from conftest import get_output

# The module road as it is: the styles that leave the planes as the passes made them.
RAW = dict(even_background=False, style="levels")


def notes(width=41, height=29, seed=0):
    """A synthetic page: light warm paper with noise, black strokes, a red and a blue stroke."""
    rng = np.random.default_rng(seed)
    picture = np.empty((height, width, 3), np.uint8)
    picture[...] = (235, 225, 205)
    picture += rng.integers(0, 20, picture.shape, dtype=np.uint8)
    picture[5:8, 3:-3] = (10, 10, 12)
    picture[3:-3, 20:22] = (0, 0, 0)
    picture[12:14, 4:30] = (200, 30, 30)
    picture[18:20, 6:34] = (30, 40, 190)
    picture[height - 5, 10] = (40, 40, 40)  # a speck
    return picture


def module_road(picture, passes, limit=2, exact=False):
    """The road written out call by call, as a script using the module would."""
    height, width = picture.shape[:2]
    c = vantrel.cvar
    c.width, c.height = width, height
    c.outWidth, c.outHeight = (width - 1) // 2, (height - 1) // 2
    vantrel.CreateArrays()
    vantrel.SetData(picture.tobytes())
    vantrel.Calculate()
    for name in passes:
        if name == "despeckle":
            vantrel.RemoveNoise(limit)
        elif name == "recolour":
            vantrel.CalculateColorRange()
            vantrel.SetColors()
        else:
            vantrel.Flatten()
    if exact:
        result = get_output()
    else:
        n = c.outWidth * c.outHeight
        result = np.frombuffer(vantrel.GetData()[: 3 * n], np.uint8).reshape(c.outHeight, c.outWidth, 3)
    vantrel.Cleanup()
    return result


ROADS = [(), ("recolour",), ("flatten", "recolour"), ("despeckle", "recolour", "flatten"), ("flatten", "flatten")]


@pytest.mark.parametrize("passes", ROADS)
@pytest.mark.parametrize("exact", [False, True])
def test_clean_array_equals_module_road(passes, exact):
    picture = notes()
    options = CleanOptions(passes=passes, speck_limit=3, exact_black=exact, **RAW)
    got = vc.clean(picture, options)
    assert got.dtype == np.uint8 and got.shape == (14, 20, 3)
    np.testing.assert_array_equal(got, module_road(picture, passes, 3, exact))


@pytest.mark.parametrize("passes", ROADS[1:4])
def test_clean_array_equals_the_reference_model(passes):
    from model import Model

    picture = notes(23, 17)
    model = Model()
    model.width, model.height, model.outWidth, model.outHeight = 23, 17, 11, 8
    model.CreateArrays()
    model.SetData(picture.tobytes())
    model.Calculate()
    for name in passes:
        if name == "despeckle":
            model.RemoveNoise(3)
        elif name == "recolour":
            model.CalculateColorRange()
            model.SetColors()
        else:
            model.Flatten()
    expected = [(model.GetRed(i), model.GetGreen(i), model.GetBlue(i)) for i in range(11 * 8)]
    got = vc.clean(picture, CleanOptions(passes=passes, speck_limit=3, **RAW))
    np.testing.assert_array_equal(got, np.array(expected, np.uint8).reshape(8, 11, 3))


@pytest.mark.parametrize("style", ["bw", "levels"])
def test_module_styles_even_the_background_first(style):
    picture = notes()
    expected = module_road(vc.even_background(picture, 1.5), vc.STYLES[style].passes, 2, exact=True)
    np.testing.assert_array_equal(vc.clean(picture, CleanOptions(style=style)), expected)


def test_exact_black_keeps_zero_samples_getdata_turns_into_one():
    picture = notes()
    exact = vc.clean(picture, CleanOptions(passes=("flatten",), **RAW))
    plain = vc.clean(picture, CleanOptions(passes=("flatten",), exact_black=False, **RAW))
    assert (exact == 0).any() and not (plain == 0).any()
    np.testing.assert_array_equal(np.where(exact == 0, 1, exact), plain)


def test_bw_result_is_black_ink_on_white_paper():
    result = vc.clean(notes(), CleanOptions(style="bw"))
    colours = {tuple(p) for p in result.reshape(-1, 3)}
    assert colours == {(0, 0, 0), (255, 255, 255)}
    assert (result[3, 2:-2] == 0).all()  # the black stroke survives halving
    assert (result[-1, :] == 255).all()  # paper is white


def test_pillow_image_round_trip_and_modes():
    picture = notes()
    expected = vc.clean(picture)
    image = vc.clean(Image.fromarray(picture))
    assert isinstance(image, Image.Image) and image.mode == "RGB" and image.size == (20, 14)
    np.testing.assert_array_equal(np.asarray(image), expected)
    grey = Image.fromarray(picture).convert("L")
    np.testing.assert_array_equal(np.asarray(vc.clean(grey)), vc.clean(np.asarray(grey.convert("RGB"))))


def test_path_round_trip_writes_beside_input(tmp_path):
    picture = notes()
    source = tmp_path / "page.png"
    Image.fromarray(picture).save(source)
    before = source.read_bytes()
    written = vc.clean(source)
    assert written == tmp_path / "page.clean.png"
    assert source.read_bytes() == before
    with Image.open(written) as image:
        assert image.mode == "P"  # two colours: stored with a palette
        np.testing.assert_array_equal(np.asarray(image.convert("RGB")), vc.clean(picture))
    assert vc.clean(str(source)) == written


def test_clean_file_chooses_format_and_refuses_to_overwrite(tmp_path):
    source = tmp_path / "page.png"
    Image.fromarray(notes()).save(source)
    out = vc.clean_file(source, tmp_path / "out.webp")
    with Image.open(out) as image:
        assert image.format == "WEBP"
    with pytest.raises(ValueError, match="overwrite the input"):
        vc.clean_file(source, source)
    with pytest.raises(ValueError, match="format"):
        vc.clean_file(source, tmp_path / "out.bmp")


@pytest.mark.parametrize("shape", [(2, 10, 3), (10, 2, 3), (1, 1, 3), (0, 5, 3)])
def test_too_small_to_halve(shape):
    with pytest.raises(PictureTooSmall, match="too small to halve"):
        vc.clean(np.full(shape, 255, np.uint8))


def test_smallest_picture_gives_one_pixel():
    assert vc.clean(np.full((3, 3, 3), 255, np.uint8)).shape == (1, 1, 3)


@pytest.mark.parametrize(
    "bad, error",
    [
        (np.zeros((5, 5, 3), np.uint16), ValueError),
        (np.zeros((5, 5), np.uint8), ValueError),
        (np.zeros((5, 5, 4), np.uint8), ValueError),
        ([[[0, 0, 0]]], TypeError),
    ],
)
def test_bad_arrays_are_refused(bad, error):
    with pytest.raises(error):
        vc.clean_array(bad)


def test_options_are_checked():
    with pytest.raises(ValueError, match="unknown pass 'blur'"):
        CleanOptions(passes=("recolour", "blur"))
    with pytest.raises(TypeError):
        CleanOptions(speck_limit=2.5)
    with pytest.raises(ValueError):
        CleanOptions(speck_limit=2**31)
    with pytest.raises(TypeError, match="sequence of pass names"):
        CleanOptions(passes="recolour")
    with pytest.raises(ValueError, match="unknown style 'sepia'"):
        CleanOptions(style="sepia")
    assert CleanOptions(style="bw").passes == ("despeckle", "recolour", "flatten")
    assert CleanOptions(style="bw", passes=()).passes == ()
    assert CleanOptions(speck_limit=np.int64(4), passes=["flatten"]) == CleanOptions(speck_limit=4, passes=("flatten",))


def test_non_contiguous_array_is_cleaned_as_its_values():
    picture = notes(60, 40)
    view = picture[::-1, 5:46]
    np.testing.assert_array_equal(vc.clean(view), vc.clean(np.ascontiguousarray(view)))


def test_threads_share_the_module_safely():
    pictures = [notes(31 + 2 * i, 21 + i, seed=i) for i in range(6)]
    expected = [vc.clean(p) for p in pictures]
    start = threading.Barrier(6)

    def work(i):
        start.wait()
        return [vc.clean(pictures[i]) for _ in range(5)]

    switching = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads between module calls as often as possible
    try:
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            results = list(pool.map(work, range(6)))
    finally:
        sys.setswitchinterval(switching)
    for got, want in zip(results, expected):
        for each in got:
            np.testing.assert_array_equal(each, want)


def write_pages(folder, count):
    folder.mkdir(exist_ok=True)
    for i in range(count):
        Image.fromarray(notes(31 + 2 * i, 25, seed=i)).save(folder / f"page{i}.png")
    return folder


def test_batch_on_an_executor_keeps_job_order(tmp_path):
    jobs, refused = vc.plan([write_pages(tmp_path / "in", 4)], tmp_path / "out")
    assert not refused and [j.source.name for j in jobs] == [f"page{i}.png" for i in range(4)]
    seen = []
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        outcomes = vc.run(jobs, executor=pool, keep_pages=True, on_done=seen.append)
    assert [o.source for o in outcomes] == [j.source for j in jobs]
    assert sorted(map(id, seen)) == sorted(map(id, outcomes))
    for outcome in outcomes:
        assert outcome.ok and outcome.output.exists()
        with Image.open(io.BytesIO(outcome.page)) as kept:  # the page as the PDF embeds it
            np.testing.assert_array_equal(
                np.asarray(kept.convert("RGB")), vc.clean(np.asarray(Image.open(outcome.source)))
            )


def test_batch_timeout_fails_the_jobs_not_done(tmp_path):
    jobs, _ = vc.plan([write_pages(tmp_path / "in", 2)], tmp_path / "out")
    release = threading.Event()

    class Stalled(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            return super().submit(lambda: release.wait() and fn(*args, **kwargs))

    with Stalled(2) as pool:
        outcomes = vc.run(jobs, executor=pool, timeout=0.2)
        release.set()
    # Running jobs cannot be stopped: the outcome says that they may still write their files, as they do.
    assert [o.error for o in outcomes] == [
        f"not done within 0.2 s (it is still running; it may still write {job.output})" for job in jobs
    ]
    assert all(job.output.exists() for job in jobs)


def test_batch_on_a_dask_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    jobs, _ = vc.plan([write_pages(tmp_path / "in", 3)], tmp_path / "out")
    with (
        distributed.LocalCluster(
            processes=False, n_workers=1, threads_per_worker=2, protocol="tcp", host="127.0.0.1", dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        outcomes = vc.run(jobs, executor=client.get_executor(), timeout=120)
    assert all(o.ok for o in outcomes)
    for outcome in outcomes:
        with Image.open(outcome.output) as image:
            expected = vc.clean(np.asarray(Image.open(outcome.source)))
            np.testing.assert_array_equal(np.asarray(image.convert("RGB")), expected)


# The colour default


def coloured_page(seed=0):
    """A 240 x 320 page under warm light that fades to one side: black, red, blue, purple and
    teal pen strokes, a faint pencil stroke, pale blue rules and specks."""
    rng = np.random.default_rng(seed)
    height, width = 240, 320
    light = np.linspace(0.75, 1.0, width)[None, :, None] * np.array([1.0, 0.93, 0.82])
    page = np.ones((height, width, 3))
    page[30::40, :] = (0.75, 0.85, 0.97)  # pale printed rules, one pixel high
    inks = {
        "black": (0.12, 0.12, 0.14),
        "red": (0.8, 0.15, 0.18),
        "blue": (0.16, 0.27, 0.72),
        "purple": (0.45, 0.2, 0.6),
        "teal": (0.0, 0.5, 0.52),
        "faint": (0.72, 0.72, 0.72),
    }
    rows = {}
    for n, (name, ink) in enumerate(inks.items()):
        row = 12 + 38 * n
        page[row : row + 4, 20:300] *= ink
        rows[name] = row
    page[220, 40] = page[223, 90:92] = 0.3  # specks, clear of the rules
    picture = np.clip(page * light * 245 + rng.normal(0, 2, page.shape), 0, 255).astype(np.uint8)
    return picture, rows


def test_colour_default_keeps_each_ink_in_its_own_colour():
    from test_steps import hue_of, lab

    picture, rows = coloured_page()
    result = vc.clean(picture)
    assert len(np.unique(result.reshape(-1, 3), axis=0)) <= 16  # a small palette
    for name, ink_hue in [
        ("red", hue_of((204, 38, 46))),
        ("blue", hue_of((41, 69, 184))),
        ("purple", hue_of((115, 51, 153))),
        ("teal", hue_of((0, 128, 133))),
    ]:
        stroke = result[rows[name] // 2 + 1, 15:145]
        L, a, b = lab(stroke)
        hues = np.degrees(np.arctan2(b, a)) % 360
        assert (np.hypot(a, b) > 25).all() and (np.abs((hues - ink_hue + 180) % 360 - 180) < 25).all(), name
        assert (L > 30).all(), name  # light enough to read as its colour
    assert (result[rows["black"] // 2 + 1, 15:145] == 0).all()
    faint = result[rows["faint"] // 2 + 1, 15:145]
    assert (faint < 250).all() and (faint > 60).all()  # kept whole, and pale
    paper = np.ones(result.shape[:2], bool)
    for row in rows.values():
        paper[row // 2 - 1 : row // 2 + 4] = False
    paper[14::20] = paper[15::20] = False  # the rules, one pixel high between two output rows
    paper[108:118] = False
    assert (result[paper] == 255).all()  # paper white, the specks gone
    rules = result[15::20][:, 5:155]
    assert (lab(rules)[0] > 60).all()  # pale rules stay pale, never black


def test_colour_default_is_stored_with_its_palette(tmp_path):
    picture, _ = coloured_page()
    source = tmp_path / "page.png"
    Image.fromarray(picture).save(source)
    written = vc.clean(source)
    with Image.open(written) as image:
        assert image.mode == "P"
        np.testing.assert_array_equal(np.asarray(image.convert("RGB")), vc.clean(picture))


def test_bundled_sample_keeps_its_coloured_marks(tmp_path):
    from test_cli import EXAMPLE

    result = vc.clean_file(EXAMPLE, tmp_path / "sketch.png")
    with Image.open(result) as image:
        colours = np.asarray(image.convert("RGB")).reshape(-1, 3)
    from test_steps import lab

    L, a, b = lab(np.unique(colours, axis=0))
    coloured = np.hypot(a, b) > 30
    hues = np.degrees(np.arctan2(b[coloured], a[coloured])) % 360
    assert coloured.sum() >= 3 and np.ptp(hues) > 90  # red, teal and purple marks, not one hue


@pytest.mark.parametrize("colours", [1, 2, 3, 4, 5, 16, 17, 256])
@pytest.mark.parametrize("width", [1, 7, 8, 13])
def test_palette_png_packs_any_palette_and_width_losslessly(colours, width):
    import io

    from vantrel_clean.pictures import write_palette_png

    rng = np.random.default_rng(colours * 100 + width)
    indexes = rng.integers(0, colours, (9, width)).astype(np.uint8)
    palette = rng.integers(0, 256, (colours, 3)).astype(np.uint8)
    stream = io.BytesIO()
    write_palette_png(stream, indexes, palette)
    stream.seek(0)
    with Image.open(stream) as image:
        assert image.mode == "P"
        assert np.array_equal(np.asarray(image.convert("RGB")), palette[indexes])
