"""Where the time goes inside the cleaning of one photo with the default settings: the imports
of the command, reading the file, each step of the colour road (the road's own functions,
called one by one as road.clean_picture calls them; their result checked against it), writing
the PNG. Best of --repeat runs of each stage, in one process.

    .venv/bin/python benchmarks/stages.py [PHOTO...]   # default: ../shared/samples/imagelabs-whiteboard2.jpg
"""

from __future__ import annotations

import time

started = time.perf_counter()
import vantrel_clean.cli  # noqa: E402,F401  (what the command imports before it reads a file)

imported = time.perf_counter() - started

import argparse  # noqa: E402
import tempfile  # noqa: E402
from collections.abc import Callable  # noqa: E402
from dataclasses import replace  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import vantrel  # noqa: E402
from vantrel_clean import pictures, road  # noqa: E402
from vantrel_clean.background import even_into_module  # noqa: E402
from vantrel_clean.drawing import InkDecision, classify_inks, paint_inks  # noqa: E402
from vantrel_clean.options import CleanOptions  # noqa: E402
from vantrel_clean.page_crop import crop_page  # noqa: E402
from vantrel_clean.palette import fit_inks  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
#: The sample photo beside the repository, or beside the folder of a git worktree of it.
PHOTO = next(
    (
        folder / "imagelabs-whiteboard2.jpg"
        for folder in (ROOT.parent / "shared" / "samples", ROOT.parent.parent / "shared" / "samples")
        if folder.is_dir()
    ),
    ROOT.parent / "shared" / "samples" / "imagelabs-whiteboard2.jpg",
)


def best(stage: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        stage()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("photos", nargs="*", type=Path, default=[PHOTO])
    parser.add_argument("--repeat", type=int, default=3)
    arguments = parser.parse_args()
    for photo in arguments.photos:
        stages(photo, arguments.repeat)


def stages(photo: Path, repeat: int) -> None:
    """Times the road's own functions, called as road.clean_picture calls them, one by one."""
    photo_samples = np.asarray(pictures.read_picture(photo))
    options = CleanOptions()
    rows: list[tuple[str, float]] = [("imports of the command", imported)]
    rows.append(("read and decode the file", best(lambda: pictures.read_picture(photo), repeat)))
    rows.append(("the page's crop (found, rectified)", best(lambda: crop_page(photo_samples, options), repeat)))
    cropped, _ = crop_page(photo_samples, options)
    picture = np.asarray(cropped)
    options = replace(options, crop="none", corners=None)  # as the road goes on after the crop
    height, width = picture.shape[:2]
    road.check_size(width, height)
    out_width, out_height = road.halved_size(width, height)
    style = road.STYLES[options.style]
    exponent, knee = road.tone_curve(style, options.even_background)
    decision = InkDecision(exponent, knee, options.sensitivity)
    c = vantrel.cvar

    def module_road() -> tuple[dict[str, float], tuple[object, object]]:
        times: dict[str, float] = {}

        def timed(name: str, step: Callable[[], object]) -> object:
            start = time.perf_counter()
            result = step()
            times[name] = time.perf_counter() - start
            return result

        with road.MODULE_LOCK:
            c.width, c.height, c.outWidth, c.outHeight = width, height, out_width, out_height
            timed("CreateArrays", vantrel.CreateArrays)
            contrast = timed(
                "paper estimate, evening into the planes, contrast map",
                lambda: even_into_module(picture, exponent, knee, style.colour_classes),
            )
            timed("Calculate (whiten and halve)", vantrel.Calculate)
            timed("the style's module passes", lambda: road.run_passes(options.module_passes, options.speck_limit))
            halved = timed("output planes read back", lambda: road.read_output(out_width, out_height, False))
            timed("Cleanup", vantrel.Cleanup)
        return times, (halved, contrast)

    runs = [module_road() for _ in range(repeat)]
    rows += [(name, min(times[name] for times, _ in runs)) for name in runs[0][0]]
    halved, contrast = runs[0][1]

    rows.append(("strokes and ink classes", best(lambda: classify_inks(halved, contrast, decision), repeat)))
    codes, histogram = classify_inks(halved, contrast, decision)
    rows.append(("inks fitted", best(lambda: fit_inks(histogram), repeat)))
    inks = fit_inks(histogram)
    paint = lambda: paint_inks(codes, inks, out_width, out_height, decision.rules.vote_radius)  # noqa: E731
    rows.append(("palette indexes, vote along strokes", best(paint, repeat)))
    cleaned = paint()
    assert np.array_equal(cleaned.rgb(), road.clean_picture(photo_samples, CleanOptions()).rgb()), "not the road's"
    with tempfile.TemporaryDirectory() as folder:
        output = Path(folder) / "out.png"
        rows.append(("write the palette PNG", best(lambda: pictures.save_picture(cleaned, output), repeat)))
        size = output.stat().st_size
    whole = best(lambda: road.clean_picture(photo_samples, CleanOptions()), repeat)
    total = sum(seconds for _, seconds in rows)
    photo_height, photo_width = photo_samples.shape[:2]
    print(f"{photo.name}: {photo_width}x{photo_height}, page {width}x{height}, PNG of {size / 1000:.1f} KB")
    for name, seconds in rows:
        print(f"  {name:54} {1000 * seconds:7.1f} ms")
    print(f"  {'sum':54} {1000 * total:7.1f} ms")
    print(f"  {'road.clean_picture in one call (array in)':54} {1000 * whole:7.1f} ms")


if __name__ == "__main__":
    main()
