"""Times the page's detection and its rectification on 12 MP photos, on one core.

    .venv/bin/python benchmarks/page_speed.py [PHOTO...] [--runs N]

Each photo (default: ../shared/samples/imagelabs-whiteboard3.jpg, a synthetic page on a desk
and a synthetic page that fills the photo, all scaled to 12 MP) is decoded once; the process is pinned to one core (Linux).
Prints the median wall and CPU time of
detect() and of the warp of the page found, over --runs runs."""

from __future__ import annotations

import argparse
import os
import statistics
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw
from speed import SAMPLES

SAMPLE = SAMPLES / "imagelabs-whiteboard3.jpg"
#: A page seen from a little to one side on a dark desk, and one that fills the photo.
ON_DESK = [(900, 500), (3100, 650), (3300, 2700), (700, 2500)]
FILLING = [(150, 80), (3850, 20), (3950, 2950), (60, 2900)]


def synthetic_page(corners: list[tuple[int, int]]) -> Image.Image:
    """A page with writing, on a dark desk, 4000 x 3000."""
    image = Image.new("RGB", (4000, 3000), (60, 55, 50))
    draw = ImageDraw.Draw(image)
    draw.polygon(corners, fill=(245, 244, 238))
    rng = np.random.default_rng(1)
    for row in range(14):
        y = 800 + 120 * row
        points = [(1000 + 40 * k, y + 10 * np.sin(k + rng.random())) for k in range(50)]
        draw.line(points, fill=(30, 40, 120), width=8)
    return image


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("photos", nargs="*", type=Path)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    from vantrel_clean import detect
    from vantrel_clean.pictures import single_block_images
    from vantrel_clean.rectification import chosen_aspect, plan_rectification, warp
    from vantrel_clean.road import samples_of

    photos = [(path.name, Image.open(path).convert("RGB")) for path in args.photos]
    if not photos:
        if SAMPLE.exists():
            photos.append((SAMPLE.name, Image.open(SAMPLE).convert("RGB")))
        photos.append(("synthetic page", synthetic_page(ON_DESK)))
        photos.append(("synthetic page filling the photo", synthetic_page(FILLING)))
    print("| photo | size | found | detect wall ms | detect CPU ms | warp output | warp wall ms | warp CPU ms |")
    print("|---|---|---|---|---|---|---|---|")
    for name, image in photos:
        scale = (12e6 / (image.width * image.height)) ** 0.5  # 12 MP, its proportions kept
        with single_block_images():  # as the command reads its files: samples lent without a copy
            image = image.resize((round(image.width * scale), round(image.height * scale)), Image.Resampling.BILINEAR)
        width, height = image.size
        timings: dict[str, list[float]] = {"dw": [], "dc": [], "ww": [], "wc": []}
        for _ in range(args.runs):
            wall, cpu = time.perf_counter(), time.process_time()
            found = detect(image)
            timings["dw"].append(time.perf_counter() - wall)
            timings["dc"].append(time.process_time() - cpu)
            plan = plan_rectification(found.corners, chosen_aspect("auto", found.aspect), width, height)
            wall, cpu = time.perf_counter(), time.process_time()
            warp(samples_of(image), width, height, plan)
            timings["ww"].append(time.perf_counter() - wall)
            timings["wc"].append(time.process_time() - cpu)
        ms = {key: 1000 * statistics.median(values) for key, values in timings.items()}
        print(
            f"| {name} | {width}x{height} | {found.found} | {ms['dw']:.0f} | {ms['dc']:.0f} | "
            f"{plan.out_width}x{plan.out_height} | {ms['ww']:.0f} | {ms['wc']:.0f} |"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
