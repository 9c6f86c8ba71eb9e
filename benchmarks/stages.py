"""Where the time goes inside the cleaning of one photo with the default settings: the imports
of the command, reading the file, each step of the colour road, writing the PNG. Best of
--repeat runs of each stage, in one process.

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
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import vantrel  # noqa: E402
from vantrel_clean import _steps, pictures, road  # noqa: E402
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
    picture = np.asarray(pictures.read_picture(photo))
    height, width = picture.shape[:2]
    out_width, out_height = road.halved_size(width, height)
    style = road.STYLES[road.DEFAULT_STYLE]
    rules = road.INK_RULES
    c = vantrel.cvar
    c.width, c.height, c.outWidth, c.outHeight = width, height, out_width, out_height

    rows: list[tuple[str, float]] = [("imports of the command", imported)]
    rows.append(("read and decode the file", best(lambda: pictures.read_picture(photo), repeat)))

    def module_road() -> dict[str, float]:
        times = {}
        start = time.perf_counter()
        vantrel.CreateArrays()
        times["CreateArrays"] = time.perf_counter() - start
        start = time.perf_counter()
        _steps.even_into_module(picture, style.exponent, style.knee, style.colour_classes)
        times["paper estimate, evening into the planes, contrast map"] = time.perf_counter() - start
        start = time.perf_counter()
        vantrel.Calculate()
        times["Calculate (whiten and halve)"] = time.perf_counter() - start
        start = time.perf_counter()
        _steps.module_output(False)
        times["output planes read back"] = time.perf_counter() - start
        start = time.perf_counter()
        vantrel.Cleanup()
        times["Cleanup"] = time.perf_counter() - start
        return times

    runs = [module_road() for _ in range(repeat)]
    rows += [(name, min(run[name] for run in runs)) for name in runs[0]]

    vantrel.CreateArrays()
    contrast = _steps.even_into_module(picture, style.exponent, style.knee, True)
    assert contrast is not None
    vantrel.Calculate()
    halved = np.frombuffer(_steps.module_output(False), np.uint8).reshape(out_height, out_width, 3)
    vantrel.Cleanup()
    classify = lambda: road.classify_inks(halved, contrast, style.exponent, style.knee)  # noqa: E731
    rows.append(("strokes and ink classes", best(classify, repeat)))
    codes, histogram = classify()
    rows.append(
        (
            "inks fitted, palette indexes",
            best(lambda: fit_inks(histogram).lookup[np.frombuffer(codes, np.uint8)], repeat),
        )
    )
    inks = fit_inks(histogram)
    indexes = inks.lookup[np.frombuffer(codes, np.uint8)]
    rows.append(
        (
            "vote along strokes",
            best(lambda: _steps.vote_inks(indexes, out_width, out_height, rules.vote_radius), repeat),
        )
    )
    cleaned = road.draw_inks(halved, contrast, style.exponent, style.knee)
    with tempfile.TemporaryDirectory() as folder:
        output = Path(folder) / "out.png"
        rows.append(("write the palette PNG", best(lambda: pictures.save_picture(cleaned, output), repeat)))
        size = output.stat().st_size
    total = sum(seconds for _, seconds in rows)
    print(f"{photo.name}: {width}x{height}, PNG of {size / 1000:.1f} KB")
    for name, seconds in rows:
        print(f"  {name:46} {1000 * seconds:7.1f} ms")
    print(f"  {'sum':46} {1000 * total:7.1f} ms")


if __name__ == "__main__":
    main()
