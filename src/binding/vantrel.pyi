"""Cleans photos and scans of ink on a light background.

All state is global to the process: four picture sizes, the output index ``pos``, seven byte
buffers, nine neighbourhood registers and nine ink-range bytes, reached through ``cvar``. A picture
travels as interleaved red, green, blue bytes. The usual road::

    cvar.width, cvar.height = w, h
    cvar.outWidth, cvar.outHeight = (w - 1) // 2, (h - 1) // 2
    CreateArrays(); SetData(picture); Calculate()
    RemoveNoise(2); CalculateColorRange(); SetColors()      # any passes, any order
    cleaned = GetData()[: 3 * cvar.outWidth * cvar.outHeight]
    Cleanup()

A call the buffers cannot serve raises before anything changes: ``ValueError`` when a buffer
is missing or smaller than the current sizes need (call ``CreateArrays`` after setting them),
``IndexError`` for an index outside its plane. The module holds no lock: callers on several
threads serialise the whole road themselves (the ``vantrel_clean`` package does).
"""

from typing import Final

from typing_extensions import Buffer

RED: Final[int]
"""Channel selector of the red ink: 0."""
GREEN: Final[int]
"""Channel selector of the green ink: 1."""
BLUE: Final[int]
"""Channel selector of the blue ink: 2."""
BACKGROUND_CUT: Final[int]
"""The brightness 200. A pixel is background when its green sample is above it together with its
red or its blue sample; every comparison with it is strict."""

class _GlobalVariables:
    """The module variables, read and assigned as attributes (``<Global variables>``).

    Integers travel as ``int``; buffer pointers as pointer strings such as
    ``'_55d0c1a2b3c0_unsigned_char_p'`` or ``'NULL'``. An assigned pointer string is adopted
    unchanged, without copying. Wrong kinds raise ``TypeError``; unknown names ``NameError``.
    """

    pos: int
    """Output index at which the kernels write; ``Calculate`` advances it."""
    width: int
    """Width of the input picture in pixels."""
    height: int
    """Height of the input picture in pixels."""
    outWidth: int
    """Width of the output picture; ``(width - 1) // 2`` fills every output pixel."""
    outHeight: int
    """Height of the output picture; ``(height - 1) // 2`` fills every output pixel."""

    data: str
    """Interleaved buffer of ``3 * width * height + 1`` bytes (pointer string)."""
    red: str
    """Input plane of red samples, ``width * height`` bytes (pointer string)."""
    green: str
    """Input plane of green samples (pointer string)."""
    blue: str
    """Input plane of blue samples (pointer string)."""
    outRed: str
    """Output plane of red samples, ``outWidth * outHeight`` bytes (pointer string)."""
    outGreen: str
    """Output plane of green samples (pointer string)."""
    outBlue: str
    """Output plane of blue samples (pointer string)."""

    redInkMax: int
    """Highest luminance of the red-ink pixels at the last ``CalculateColorRange`` (0 … 255;
    an assignment keeps the low 8 bits)."""
    redInkMin: int
    """Lowest luminance of the red-ink pixels; 255 when there was none."""
    redInkRange: int
    """``(redInkMax - redInkMin) % 256``; 1 when there was no red ink."""
    greenInkMax: int
    """Highest luminance of the green-ink pixels."""
    greenInkMin: int
    """Lowest luminance of the green-ink pixels."""
    greenInkRange: int
    """``(greenInkMax - greenInkMin) % 256``."""
    blueInkMax: int
    """Highest luminance of the blue-ink pixels."""
    blueInkMin: int
    """Lowest luminance of the blue-ink pixels."""
    blueInkRange: int
    """``(blueInkMax - blueInkMin) % 256``."""

    @property
    def leftPixel(self) -> str:
        """Address of the left neighbourhood register (red, green, blue bytes); read-only."""
    @property
    def centerPixel(self) -> str:
        """Address of the centre register; read-only."""
    @property
    def rightPixel(self) -> str:
        """Address of the right register; read-only."""
    @property
    def topPixel(self) -> str:
        """Address of the top register; read-only."""
    @property
    def bottomPixel(self) -> str:
        """Address of the bottom register; read-only."""
    @property
    def topLeftPixel(self) -> str:
        """Address of the top-left register; read-only."""
    @property
    def topRightPixel(self) -> str:
        """Address of the top-right register; read-only."""
    @property
    def bottomLeftPixel(self) -> str:
        """Address of the bottom-left register; read-only."""
    @property
    def bottomRightPixel(self) -> str:
        """Address of the bottom-right register; read-only."""

cvar: _GlobalVariables
"""The 30 module variables. Printing it lists their names."""

def dump() -> None:
    """Prints the four picture sizes to standard output."""

def CreateArrays() -> None:
    """Allocates the input planes, the output planes and ``data`` for the current sizes.

    Raises ``ValueError`` for a negative size and ``MemoryError`` when allocation fails."""

def SetData(picture: Buffer, /) -> None:
    """Splits ``3 * width * height`` interleaved bytes into the input planes."""

def GetData() -> bytes:
    """Interleaves the output planes into ``data`` and returns its text up to the first zero.

    A sample of 0 is written as 1, so the first ``3 * outWidth * outHeight`` bytes are the
    output picture and never contain a zero; ``GetRed`` and friends read exact samples."""

def SetPixelData(red: int, green: int, blue: int, index: int, /) -> None:
    """Stores one pixel (bytes 0 … 255) at ``index`` of the input planes."""

def GetRed(index: int, /) -> int:
    """Red sample at ``index`` of the output planes, unchanged (0 stays 0)."""

def GetGreen(index: int, /) -> int:
    """Green sample at ``index`` of the output planes."""

def GetBlue(index: int, /) -> int:
    """Blue sample at ``index`` of the output planes."""

def Cleanup() -> None:
    """Releases the seven buffers."""

def Calculate() -> None:
    """Whitens the background in the input planes, then writes the half-resolution picture
    (3×3 B-spline kernel on every odd row and column) into the output planes."""

def CenterFilter() -> None:
    """Writes ``centerPixel`` into the output planes at ``pos``."""

def AverageFilter() -> None:
    """Writes the mean of the nine registers at ``pos``."""

def BSplineFilter() -> None:
    """Writes the 1-2-1 weighted mean of the nine registers at ``pos``."""

def SetLeftPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``leftPixel``."""

def SetCenterPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``centerPixel``."""

def SetRightPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``rightPixel``."""

def SetTopPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``topPixel``."""

def SetBottomPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``bottomPixel``."""

def SetTopLeftPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``topLeftPixel``."""

def SetTopRightPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``topRightPixel``."""

def SetBottomLeftPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``bottomLeftPixel``."""

def SetBottomRightPixel(red: int, green: int, blue: int, /) -> None:
    """Fills the register ``bottomRightPixel``."""

def CalculateColorRange() -> None:
    """Measures the lowest and highest luminance of each ink into the nine ink-range bytes."""

def StandardizeColors(value: int, channel: int, /) -> int:
    """The ink level 10 … 100 of a luminance within the range of ink ``channel`` (``RED``,
    ``GREEN`` or ``BLUE``); 0 for any other channel."""

def SetColors() -> None:
    """Re-colours every output pixel: background to white, ink to its level, the rest to one of
    eleven greys. Uses the ranges of the last ``CalculateColorRange``."""

def Flatten() -> None:
    """Blackens dark output pixels and darkens pale ones by 30."""

def RemoveNoise(limit: int, /) -> None:
    """On every seventh output row, whitens each pixel whose 7×5 window holds at most ``limit``
    dark pixels."""
