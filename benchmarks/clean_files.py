"""Times the stages of cleaning picture files with vantrel_clean: reading, evening the
background, the module road (with and without exact black), writing the PNG.

    .venv/bin/python benchmarks/clean_files.py [PICTURE...]   # default: ../shared/samples/*.jpg

Prints one line per picture, best of --repeat runs of each stage.
"""

from __future__ import annotations

import argparse
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import vantrel_clean as vc

SAMPLES = Path(__file__).resolve().parents[1].parent / "shared" / "samples"


def best(stage: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        stage()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pictures", nargs="*", type=Path)
    parser.add_argument("--repeat", type=int, default=3)
    arguments = parser.parse_args()
    pictures = arguments.pictures or sorted(SAMPLES.glob("*.jpg"))
    print(f"{'picture':40} {'pixels':>11} {'read':>7} {'even':>7} {'road':>7} {'exact':>7} {'png':>7} {'bytes':>8}")
    with tempfile.TemporaryDirectory() as folder:
        for path in pictures:
            picture = np.asarray(vc.read_picture(path))
            evened = vc.even_background(picture)
            raw = vc.CleanOptions(even_background=False, exact_black=False)
            exact = vc.CleanOptions(even_background=False)
            result = vc.clean(evened, exact)
            output = Path(folder) / "out.png"
            row = [
                best(lambda: vc.read_picture(path), arguments.repeat),
                best(lambda: vc.even_background(picture), arguments.repeat),
                best(lambda: vc.clean(evened, raw), arguments.repeat),
                best(lambda: vc.clean(evened, exact), arguments.repeat),
                best(lambda: vc.save_picture(result, output), arguments.repeat),
            ]
            height, width = picture.shape[:2]
            print(f"{path.name[:40]:40} {f'{width}x{height}':>11} " + " ".join(f"{t:6.3f}s" for t in row)
                  + f" {output.stat().st_size:8d}")


if __name__ == "__main__":
    main()
