"""Two cleaners that show the quality scorer can fail, run as command lines like any other:

python sanity_cleaners.py truth PAGE OUTDIR       # writes the page's truth: scores 1.0
python sanity_cleaners.py threshold PAGE OUTDIR   # a plain grey threshold: colour scores 0
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
from PIL import Image

from truth_pages import read_truth, render_truth


def main(argv: list[str]) -> None:
    kind, page, outdir = argv[0], Path(argv[1]), Path(argv[2])
    if kind == "truth":
        labels, _ = read_truth(page)
        result = render_truth(labels)
    elif kind == "threshold":
        with Image.open(page) as image:
            grey = np.asarray(image.convert("L"))
        result = np.repeat(np.where(grey < 128, 0, 255).astype(np.uint8)[..., None], 3, axis=2)
    else:
        raise SystemExit(f"unknown sanity cleaner {kind!r}")
    Image.fromarray(result).save(outdir / f"{page.stem}.png")


if __name__ == "__main__":
    main(sys.argv[1:])
