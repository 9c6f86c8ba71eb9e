"""Memory of a long PDF: `vantrel clean FOLDER --pdf FILE` on many pages, with the peak
resident set of the command's own process (which gathers the pages) and of its largest worker.

    .venv/bin/python benchmarks/pdf_memory.py                 # 1000 pages of 2 MP
    .venv/bin/python benchmarks/pdf_memory.py --pages 100 --megapixels 1

The pages are 8 distinct synthetic notes pages (paper, pen strokes in three colours, noise),
linked under many names. Figures are reported, never asserted.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

MIB = 1024 * 1024


def notes_page(width: int, height: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    page = np.full((height, width, 3), (238, 232, 220), np.float64)
    inks = ((30, 30, 35), (180, 40, 40), (40, 60, 170))
    for row in range(40, height - 40, 36):  # lines of "words": short strokes up and across
        ink = inks[rng.integers(3)]
        column = 30
        while column < width - 60:
            size = int(rng.integers(8, 40))
            page[row : row + 3, column : column + size] = ink
            page[row - int(rng.integers(4, 16)) : row + 3, column : column + 3] = ink
            column += size + int(rng.integers(6, 20))
    page += rng.normal(0, 4, page.shape)
    return np.clip(page, 0, 255).astype(np.uint8)


def peak(pid: int) -> int:
    """The peak resident set of a live process, in bytes (0 once it is gone)."""
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def children(pid: int) -> list[int]:
    """The children of every thread of pid (workers start from a thread of their own)."""
    found = []
    for task in Path(f"/proc/{pid}/task").glob("*"):
        try:
            found += [int(p) for p in (task / "children").read_text().split()]
        except OSError:
            pass
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pages", type=int, default=1000)
    parser.add_argument("--megapixels", type=float, default=2.0)
    parser.add_argument("--jobs", type=int, default=2)
    arguments = parser.parse_args()
    vantrel = Path(sys.executable).with_name("vantrel")
    work = Path(tempfile.mkdtemp(prefix="vantrel-pdf-memory-"))
    try:
        width = int((arguments.megapixels * 1e6 * 3 / 4) ** 0.5)
        height = width * 4 // 3
        distinct = []
        for seed in range(8):
            path = work / f"distinct{seed}.jpg"
            Image.fromarray(notes_page(width, height, seed)).save(path, quality=90)
            distinct.append(path)
        pages = work / "pages"
        pages.mkdir()
        for n in range(arguments.pages):
            os.symlink(distinct[n % len(distinct)], pages / f"page{n + 1}.jpg")
        command = [
            str(vantrel),
            "clean",
            str(pages),
            "--pdf",
            str(work / "all.pdf"),
            "-q",
            "--jobs",
            str(arguments.jobs),
        ]
        start = time.monotonic()
        process = subprocess.Popen(command)
        main_peak = worker_peak = 0
        while process.poll() is None:
            main_peak = max(main_peak, peak(process.pid))
            for child in children(process.pid):
                worker_peak = max(worker_peak, peak(child))
            time.sleep(0.05)
        seconds = time.monotonic() - start
        size = (work / "all.pdf").stat().st_size if (work / "all.pdf").exists() else 0
        print("| pages | MP each | status | seconds | command's peak | largest worker's peak | PDF |")
        print("|---|---|---|---|---|---|---|")
        print(
            f"| {arguments.pages} | {width * height / 1e6:.1f} | {process.returncode} | {seconds:.1f} | "
            f"{main_peak / MIB:.0f} MiB | {worker_peak / MIB:.0f} MiB | {size / MIB:.1f} MiB |"
        )
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
