"""`vantrel detect PHOTO...`: one JSON line per photo with the page or board found in it, and
with --overlay DIR each photo with the quad drawn on it."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

DESCRIPTION = """\
Finds the page, or a board's writing surface, in each PHOTO and prints one JSON line per photo:
{"file": ..., "found": true|false, "corners": [[x, y] x 4], "confidence": 0..1, "aspect": w/h}.
The corners are TL, TR, BR, BL in the photo's pixels after its EXIF orientation (they may lie
outside the photo); when no page is found with confidence, found is false and the corners are
the whole photo's. aspect is the page's width over its height in space (the photo's own when
nothing is found). A photo that cannot be read gets one line on standard error and the others go
on; the exit status is then 1."""

#: The long side of an overlay picture, at most: enough to judge the quad, small to keep.
OVERLAY_SIDE = 1600


def add_detect_command(commands: Any) -> None:
    """Adds the detect subcommand to the command's subparsers."""
    detect = commands.add_parser(
        "detect",
        help="find the page or board in photos (JSON lines)",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    detect.add_argument("photos", nargs="+", metavar="PHOTO", help="picture files")
    detect.add_argument(
        "--overlay",
        metavar="DIR",
        type=Path,
        help="also write each photo, at most 1600 pixels on its long side, with the quad drawn on it "
        "(green: found, red: not found) to DIR/<name>.overlay.jpg",
    )


def draw_overlay(image: Any, corners: Any, found: bool, path: Path) -> None:
    """Writes the image, shrunk, with the quad drawn on it."""
    from PIL import ImageDraw

    from .pictures import write_atomically

    scale = min(1.0, OVERLAY_SIDE / max(image.size))
    shown = image.resize((max(1, round(image.width * scale)), max(1, round(image.height * scale))))
    draw = ImageDraw.Draw(shown)
    points = [((x + 0.5) * scale, (y + 0.5) * scale) for x, y in corners]
    colour = (0, 200, 0) if found else (230, 0, 0)
    line = max(2, round(max(shown.size) / 300))
    draw.line(points + points[:1], fill=colour, width=line, joint="curve")
    for k, (x, y) in enumerate(points):
        radius = 2 * line
        draw.ellipse((x - radius, y - radius, x + radius, y + radius), outline=colour, width=line)
        draw.text((x + 2 * radius, y + radius), "TL TR BR BL".split()[k], fill=colour)
    write_atomically(path, lambda stream: shown.save(stream, "JPEG", quality=85))


def detect_command(arguments: argparse.Namespace) -> int:
    from .detection import exif_focal_35mm, find_page
    from .pictures import PictureError, read_picture
    from .road import PictureTooSmall

    failed = 0
    if arguments.overlay is not None:
        try:
            arguments.overlay.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            print(f"vantrel: cannot make the folder {arguments.overlay}: {error.strerror or error}", file=sys.stderr)
            return 1
    for name in arguments.photos:
        try:
            image = read_picture(name)
            found = find_page(image, image.width, image.height, exif_focal_35mm(image))
        except (PictureError, PictureTooSmall) as error:
            print(f"vantrel: {name}: {error}", file=sys.stderr)
            failed += 1
            continue
        record = {
            "file": str(name),
            "found": found.found,
            "corners": [[round(x, 2), round(y, 2)] for x, y in found.corners],
            "confidence": found.confidence,
            "aspect": round(found.aspect, 4),
        }
        print(json.dumps(record), flush=True)
        if arguments.overlay is not None:
            target = arguments.overlay / f"{Path(name).stem}.overlay.jpg"
            try:
                draw_overlay(image, found.corners, found.found, target)
            except OSError as error:
                print(f"vantrel: {target}: cannot write the overlay: {error.strerror or error}", file=sys.stderr)
                failed += 1
    return 1 if failed else 0
