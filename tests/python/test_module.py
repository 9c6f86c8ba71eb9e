"""The module as the interpreter sees it: import, constants, the method table, exported symbols."""

import shutil
import subprocess

import pytest

import vantrel

FUNCTIONS = [
    "dump",
    "GetBlue",
    "GetGreen",
    "GetRed",
    "SetBottomRightPixel",
    "SetBottomLeftPixel",
    "SetTopRightPixel",
    "SetTopLeftPixel",
    "SetBottomPixel",
    "SetTopPixel",
    "SetRightPixel",
    "SetCenterPixel",
    "SetLeftPixel",
    "BSplineFilter",
    "AverageFilter",
    "CenterFilter",
    "RemoveNoise",
    "Flatten",
    "StandardizeColors",
    "CalculateColorRange",
    "SetColors",
    "Cleanup",
    "Calculate",
    "SetPixelData",
    "CreateArrays",
    "SetData",
    "GetData",
]


def test_constants_are_plain_integers():
    assert (vantrel.RED, vantrel.GREEN, vantrel.BLUE, vantrel.BACKGROUND_CUT) == (0, 1, 2, 200)
    assert all(type(v) is int for v in (vantrel.RED, vantrel.GREEN, vantrel.BLUE, vantrel.BACKGROUND_CUT))


def test_the_27_functions_are_registered_in_table_order():
    names = [name for name in vars(vantrel) if callable(getattr(vantrel, name)) and not name.startswith("_")]
    assert names == FUNCTIONS


def test_cvar_is_the_link_object():
    assert type(vantrel.cvar).__name__ == "varlink"
    assert repr(vantrel.cvar) == "<Global variables>"


def test_extra_argument_raises_and_allocates_nothing():
    vantrel.cvar.width = vantrel.cvar.height = 4
    with pytest.raises(TypeError, match="CreateArrays"):
        vantrel.CreateArrays(1)
    assert vantrel.cvar.red == "NULL"


def test_set_data_refuses_an_integer():
    with pytest.raises(TypeError):
        vantrel.SetData(5)


def test_set_data_refuses_text():
    vantrel.cvar.width = vantrel.cvar.height = 1
    vantrel.CreateArrays()
    with pytest.raises(TypeError):
        vantrel.SetData("abc")


def test_byte_arguments_use_the_interpreter_range_checks():
    vantrel.cvar.width = vantrel.cvar.height = 1
    vantrel.CreateArrays()
    with pytest.raises(OverflowError):
        vantrel.SetPixelData(256, 0, 0, 0)
    with pytest.raises(OverflowError):
        vantrel.SetPixelData(-1, 0, 0, 0)
    with pytest.raises(OverflowError):
        vantrel.GetRed(2**31)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_entry_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", vantrel.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_vantrel"]
