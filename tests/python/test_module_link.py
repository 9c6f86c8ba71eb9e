"""The road's native steps that read and write the vantrel module's own buffers: the evening
into the input planes (from an array or from a Pillow image's memory), the output planes read
back in one step, their refusals; and the road's faster pieces, which must leave every output
as it was."""

import os
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

import vantrel
from vantrel_clean import _steps, pictures, road

from pointers import read


def photo(height=90, width=121, seed=7):
    """Warm paper with a gradient, dark and coloured strokes, and some zero samples."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:height, :width]
    paper = np.stack([200 + 30 * x / width, 185 + 20 * y / height, 150 + 0 * x], axis=2)
    picture = paper + rng.normal(0, 3, paper.shape)
    picture[20:24, 10:110] = (0, 0, 0)
    picture[40:46, 15:100] = (180, 20, 30)
    picture[60:63, 30:90] = (25, 60, 170)
    return np.clip(picture, 0, 255).astype(np.uint8)


@pytest.fixture
def sized():
    """The module's sizes set for a picture, its buffers allocated; released afterwards."""

    def allocate(picture):
        height, width = picture.shape[:2]
        c = vantrel.cvar
        c.width, c.height = width, height
        c.outWidth, c.outHeight = road.halved_size(width, height)
        vantrel.CreateArrays()
        return 3 * c.outWidth * c.outHeight

    with road.MODULE_LOCK:
        yield allocate
        vantrel.Cleanup()


def module_bytes(count):
    return bytes(vantrel.GetData()[:count])


@pytest.mark.parametrize("exponent", [1.0, 2.5])
def test_evening_into_the_planes_is_set_data_of_the_evened_picture(sized, exponent):
    picture = photo()
    height, width = picture.shape[:2]
    count = sized(picture)
    vantrel.SetData(_steps.even_background(picture, width, height, exponent))
    vantrel.Calculate()
    expected = module_bytes(count)
    sized(picture)
    _steps.even_into_module(picture, exponent)
    vantrel.Calculate()
    assert module_bytes(count) == expected
    # A Pillow image read where it is, four bytes a pixel, gives the same planes.
    with pictures.single_block_images():
        image = Image.fromarray(picture)
        image.load()
    sized(picture)
    _steps.even_into_module(image.__arrow_c_array__(), exponent)
    vantrel.Calculate()
    assert module_bytes(count) == expected


def test_output_planes_read_back_exactly_or_as_get_data_gives_them(sized):
    picture = photo()
    count = sized(picture)
    _steps.even_into_module(picture, 2.5)
    vantrel.Calculate()
    vantrel.Flatten()  # black ink: zero samples
    delivered = module_bytes(count)
    assert bytes(_steps.module_output(False)) == delivered
    exact = np.frombuffer(_steps.module_output(True), np.uint8)
    assert (exact == 0).any()
    zeros = np.flatnonzero(exact == 0)
    getters = (vantrel.GetRed, vantrel.GetGreen, vantrel.GetBlue)
    assert all(getters[i % 3](i // 3) == 0 for i in zeros[:50])
    assert np.array_equal(np.where(exact == 0, 1, exact), np.frombuffer(delivered, np.uint8))


def input_planes(count):
    c = vantrel.cvar
    return [bytes(read(pointer, count)) for pointer in (c.red, c.green, c.blue)]


def test_module_steps_refuse_what_does_not_fit_the_module(sized):
    picture = photo()
    height, width = picture.shape[:2]
    sized(picture)
    # A pattern with no zero sample in the input planes: every refusal must leave it as it is.
    pattern = (np.arange(picture.size) % 251 + 1).astype(np.uint8)
    vantrel.SetData(pattern.tobytes())
    before = input_planes(width * height)
    refusals = [
        ((picture[:-1], 1.0), ValueError, "takes"),
        ((picture, 0.0), ValueError, "exponent"),
        ((picture, 1.0, 0.7), ValueError, "knee"),
        ((Image.fromarray(picture[:-2]).__arrow_c_array__(), 1.0), ValueError, "one block"),
        ((12, 1.0), TypeError, None),
        ((picture.tobytes()[:-3], 1.0, 0.0, True), ValueError, "takes"),
    ]
    for arguments, error, message in refusals:
        with pytest.raises(error, match=message):
            _steps.even_into_module(*arguments)
        assert input_planes(width * height) == before, arguments[1:]
    # Sizes grown after CreateArrays: the module's own check refuses before a sample is written.
    vantrel.cvar.height += 10
    with pytest.raises(IndexError):
        _steps.even_into_module(np.zeros((picture.shape[0] + 10, picture.shape[1], 3), np.uint8), 1.0)
    vantrel.cvar.height -= 10
    assert input_planes(width * height) == before
    vantrel.cvar.outWidth += 5
    with pytest.raises(IndexError):
        _steps.module_output(True)
    vantrel.Cleanup()
    with pytest.raises(ValueError, match="no buffers"):
        _steps.module_output(True)
    with pytest.raises(ValueError, match="no buffers"):
        _steps.even_into_module(picture, 1.0)


CLEANUP_RACE = """
import sys, threading
import numpy as np
import vantrel
from vantrel_clean import _steps

sys.setswitchinterval(1e-6)
width, height = 1201, 1001
picture = np.random.default_rng(3).integers(0, 256, (height, width, 3), np.uint8)
c = vantrel.cvar
c.width, c.height, c.outWidth, c.outHeight = width, height, (width - 1) // 2, (height - 1) // 2
stop = threading.Event()

def churn():
    while not stop.is_set():
        vantrel.CreateArrays()
        vantrel.Cleanup()

thread = threading.Thread(target=churn)
thread.start()
done = refused = 0
try:
    for _ in range(60):
        for call in (lambda: _steps.even_into_module(picture, 1.5, 0.04, True), lambda: _steps.module_output(False)):
            try:
                vantrel.CreateArrays()
                call()
                done += 1
            except ValueError as error:  # released before the step reached the planes
                assert any(word in str(error) for word in ("no buffers", "NULL", "released", "changed")), error
                refused += 1
finally:
    stop.set()
    thread.join()
print(done, refused)
"""


def test_module_steps_keep_the_planes_while_another_thread_releases_them():
    # Freed planes are given back to the system at once, so a step writing into them crashes.
    environment = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_TOP_PAD_": "0"}
    done = subprocess.run(
        [sys.executable, "-c", CLEANUP_RACE], capture_output=True, text=True, env=environment, timeout=300
    )
    assert done.returncode == 0, done.stderr[-2000:]
    finished, refused = map(int, done.stdout.split())
    assert finished + refused == 120


@pytest.mark.parametrize("style", list(road.STYLES))
def test_image_and_array_clean_alike_and_a_consumed_image_is_released(style):
    with pictures.single_block_images():
        image = Image.fromarray(photo(131, 170))
        image.load()
    options = road.CleanOptions(style=style)
    from_array = road.clean_picture(np.asarray(image), options).rgb()
    chained = Image.fromarray(np.asarray(image))  # not in one block: copied, same result
    assert np.array_equal(road.clean_picture(chained, options).rgb(), from_array)
    assert np.array_equal(road.clean_picture(image, options, consume=True).rgb(), from_array)
    with pytest.raises(ValueError):
        image.load()  # closed: its memory is gone


def test_the_command_imports_no_numpy_before_it_has_a_picture():
    code = "import sys, vantrel_clean.cli; print(sorted({'numpy', 'vantrel'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"


def test_package_names_load_on_first_use():
    import vantrel_clean

    assert vantrel_clean.clean_picture is road.clean_picture
    assert "clean" in dir(vantrel_clean) and set(vantrel_clean.__all__) <= set(dir(vantrel_clean))
    with pytest.raises(AttributeError):
        vantrel_clean.no_such_name  # noqa: B018


def test_names_of_the_road_stay_where_callers_found_them():
    import vantrel_clean
    from vantrel_clean import api, background, cleaned, drawing

    assert vantrel_clean.Cleaned is road.Cleaned is cleaned.Cleaned
    assert road.classify_inks is drawing.classify_inks and road.draw_inks is drawing.draw_inks
    assert road.samples_of is background.samples_of and road.as_rgb_array is background.as_rgb_array
    assert vantrel_clean.even_background is background.even_background
    assert api.clean_array is road.clean_array and api.CleanOptions is road.CleanOptions


@pytest.mark.parametrize("picture, error", [([[[0, 0, 0]]], TypeError), (np.zeros((4, 4), np.uint8), ValueError)])
def test_even_background_and_the_road_refuse_arrays_alike(picture, error):
    import vantrel_clean

    for call in (vantrel_clean.even_background, road.clean_array):
        with pytest.raises(error, match="H x W x 3 uint8"):
            call(picture)
