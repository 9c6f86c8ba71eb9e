"""Ground-truth quality benchmark: cleaners given as command lines, scored on synthetic pages
with a known label map, side by side in one table; contact sheets for looking; and every cleaner
run on the real photos of ../shared/samples (sheets, bytes and seconds, no scores).

    .venv/bin/python benchmarks/quality.py                 # 8 pages of 4 MP, every cleaner
    .venv/bin/python benchmarks/quality.py --quick         # 4 smaller pages
    .venv/bin/python benchmarks/quality.py --only vantrel-colour,noteshrink
    .venv/bin/python benchmarks/quality.py --cleaner mine='{python} my.py {input} {outdir}'

A template's placeholders: {input} the page, {outdir} an empty folder where the cleaner writes
exactly one picture, {python} this interpreter, {bench} this folder, {noteshrink} the peer's
command (installed on first use into build/peers/noteshrink, for comparison only). Results:
--out (default build/quality): report.md, report.json, sheets/.
"""

from __future__ import annotations

import argparse
import json
import math
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import scoring
import truth_pages

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
SAMPLES = ROOT.parent / "shared" / "samples"
PEERS = ROOT / "build" / "peers"

VANTREL = "{python} -m vantrel_clean clean {input} -o {outdir} -q"
CLEANERS = {
    "vantrel-colour": VANTREL + " --style colour",
    "vantrel-bw": VANTREL + " --style bw",
    "vantrel-levels": VANTREL + " --style levels",
    "noteshrink": "{noteshrink} -q -w -b {outdir}/page -c true -o {outdir}/unused.pdf {input}",
    "truth": "{python} {bench}/sanity_cleaners.py truth {input} {outdir}",
    "threshold": "{python} {bench}/sanity_cleaners.py threshold {input} {outdir}",
}
SANITY = ("truth", "threshold")
METRICS = [
    ("f1", "ink F1"),
    ("precision", "prec"),
    ("recall", "recall"),
    ("faint_recall", "faint"),
    ("colour_accuracy", "colour"),
    ("black_accuracy", "black"),
    ("paper_clean", "paper"),
    ("rules_dark", "rules dark"),
]


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def noteshrink_command() -> str:
    """The peer's command, installed into a virtual environment of its own on first use."""
    venv = PEERS / "noteshrink"
    command = venv / "bin" / "noteshrink"
    if not command.exists():
        log("installing noteshrink into build/peers/noteshrink (for comparison only)")
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "pip"), "install", "--quiet", "noteshrink"], check=True)
    return str(command)


def pages(seed: int, count: int, quick: bool, folder: Path) -> list[Path]:
    """The synthetic pages, made once per seed and size and kept in folder."""
    width, height = (1200, 850) if quick else (2400, 1700)
    kinds = truth_pages.KINDS[:count]
    cache = folder / f"pages-{seed}-{width}x{height}"
    paths = []
    for n, kind in enumerate(kinds):
        suffix = ".png" if kind.lossless else ".jpg"
        path = cache / f"{n:02d}-{kind.name}{suffix}"
        if not (path.exists() and path.with_suffix(".labels.png").exists()):
            log(f"making page {path.name}")
            page = truth_pages.make_page(kind, seed * 100 + n, width, height)
            page.name = path.stem
            truth_pages.write_page(page, cache)
        paths.append(path)
    return paths


def run_cleaner(template: str, source: Path, values: dict[str, str]) -> tuple[Path | None, float, str]:
    """Runs one cleaner on one picture: (its output or None, wall seconds, error text)."""
    outdir = Path(tempfile.mkdtemp(prefix="clean-", dir=values["work"]))
    command = template.format(
        input=shlex.quote(str(source)),
        outdir=shlex.quote(str(outdir)),
        **{k: shlex.quote(v) for k, v in values.items() if k != "work"},
    )
    start = time.perf_counter()
    done = subprocess.run(command, shell=True, cwd=outdir, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    pictures = sorted(p for p in outdir.iterdir() if p.suffix.lower() in (".png", ".jpg", ".jpeg", ".webp"))
    if done.returncode != 0 or len(pictures) != 1:
        reason = (done.stderr.strip().splitlines() or [f"exit {done.returncode}, {len(pictures)} pictures"])[-1]
        return None, seconds, reason
    return pictures[0], seconds, ""


def read_rgb(path: Path) -> np.ndarray:
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))


def tile(picture: np.ndarray, width: int, title: str) -> Image.Image:
    image = Image.fromarray(picture)
    image = image.resize((width, max(1, round(image.height * width / image.width))), Image.Resampling.LANCZOS)
    sheet = Image.new("RGB", (width, image.height + 24), "white")
    sheet.paste(image, (0, 24))
    ImageDraw.Draw(sheet).text((6, 5), title, fill="black")
    return sheet


def contact_sheet(tiles: list[Image.Image], path: Path, per_row: int = 3) -> None:
    rows = [tiles[i : i + per_row] for i in range(0, len(tiles), per_row)]
    width = max(sum(t.width for t in row) for row in rows)
    height = sum(max(t.height for t in row) for row in rows)
    sheet = Image.new("RGB", (width, height), (200, 200, 200))
    y = 0
    for row in rows:
        x = 0
        for t in row:
            sheet.paste(t, (x, y))
            x += t.width
        y += max(t.height for t in row)
    path.parent.mkdir(parents=True, exist_ok=True)
    sheet.save(path)


def faint_window(faint: np.ndarray, size: tuple[int, int]) -> tuple[int, int]:
    """The top-left corner of the window of that size holding the most faint-stroke pixels."""
    h, w = size
    rows, cols = faint.shape
    step = 50
    best, corner = -1, (0, 0)
    total = np.cumsum(np.cumsum(np.pad(faint, ((1, 0), (1, 0))).astype(np.int64), 0), 1)
    for y in range(0, max(1, rows - h), step):
        for x in range(0, max(1, cols - w), step):
            count = total[y + h, x + w] - total[y, x + w] - total[y + h, x] + total[y, x]
            if count > best:
                best, corner = count, (y, x)
    return corner


def row_text(name: str, metrics: dict[str, float], kb: float, seconds: float) -> str:
    cells = ["   n/a" if math.isnan(metrics[key]) else f"{metrics[key]:6.3f}" for key, _ in METRICS]
    return f"| {name:16} | " + " | ".join(cells) + f" | {kb:7.1f} | {seconds:6.2f} |"


def header() -> str:
    names = " | ".join(f"{title:>6}" for _, title in METRICS)
    rule = "|" + "|".join("-" * n for n in [18] + [8] * len(METRICS) + [9, 8]) + "|"
    return f"| {'cleaner':16} | {names} | KB/page | s/page |\n{rule}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pages", type=int, default=len(truth_pages.KINDS))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="four pages of 1 MP")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "quality")
    parser.add_argument("--cleaner", action="append", default=[], metavar="NAME=TEMPLATE")
    parser.add_argument("--only", help="comma-separated cleaner names")
    parser.add_argument("--samples", type=Path, default=SAMPLES, help="real photos for sheets (skipped if missing)")
    parser.add_argument("--no-samples", action="store_true")
    arguments = parser.parse_args()

    cleaners = dict(CLEANERS)
    for given in arguments.cleaner:
        name, _, template = given.partition("=")
        cleaners[name] = template
    if arguments.only:
        wanted = arguments.only.split(",")
        cleaners = {name: cleaners[name] for name in wanted}
    values = {"python": sys.executable, "bench": str(BENCH)}
    if any("{noteshrink}" in t for t in cleaners.values()):
        try:
            values["noteshrink"] = noteshrink_command()
        except subprocess.CalledProcessError as error:
            log(f"noteshrink cannot be installed ({error}); its row fails")
            values["noteshrink"] = "false"

    out = arguments.out.resolve()  # the cleaners run in folders of their own
    out.mkdir(parents=True, exist_ok=True)
    count = 4 if arguments.quick else arguments.pages
    page_paths = pages(arguments.seed, count, arguments.quick, out)
    pooled = {name: scoring.Counts() for name in cleaners}
    per_page: dict[str, dict[str, dict[str, float]]] = {}
    costs = {name: [0, 0.0, 0] for name in cleaners}  # bytes, seconds, pages done
    failures: dict[str, str] = {}

    with tempfile.TemporaryDirectory() as work:
        values["work"] = work
        for path in page_paths:
            labels, faint = truth_pages.read_truth(path)
            picture = read_rgb(path)
            tiles = [
                tile(picture, 600, f"input {path.name}"),
                tile(truth_pages.render_truth(labels, True), 600, "truth"),
            ]
            y, x = faint_window(faint, (300, 400))
            crops = [
                tile(picture[y : y + 300, x : x + 400], 400, "input 1:1"),
                tile(truth_pages.render_truth(labels, True)[y : y + 300, x : x + 400], 400, "truth 1:1"),
            ]
            per_page[path.stem] = {}
            for name, template in cleaners.items():
                log(f"{path.name}: {name}")
                output, seconds, error = run_cleaner(template, path, values)
                if output is None:
                    failures[name] = error
                    continue
                result = read_rgb(output)
                counts = scoring.score(result, labels, faint)
                pooled[name].add(counts)
                per_page[path.stem][name] = counts.metrics()
                cost = costs[name]
                cost[0] += output.stat().st_size
                cost[1] += seconds
                cost[2] += 1
                tiles.append(tile(result, 600, name))
                scaled = np.asarray(Image.fromarray(result).resize(labels.shape[::-1], Image.Resampling.NEAREST))
                crops.append(tile(scaled[y : y + 300, x : x + 400], 400, f"{name} 1:1"))
            contact_sheet(tiles, out / "sheets" / f"{path.stem}.png")
            contact_sheet(crops, out / "sheets" / f"{path.stem}.crop.png", per_row=4)

        sample_rows = []
        if not arguments.no_samples and arguments.samples.is_dir():
            for photo in sorted(arguments.samples.glob("*.jpg")):
                tiles = [tile(read_rgb(photo), 700, f"input {photo.name}")]
                for name, template in cleaners.items():
                    if name in SANITY:
                        continue
                    log(f"{photo.name}: {name}")
                    output, seconds, error = run_cleaner(template, photo, values)
                    if output is None:
                        sample_rows.append(f"| {photo.name} | {name} | failed: {error} | |")
                        continue
                    sample_rows.append(
                        f"| {photo.name} | {name} | {output.stat().st_size / 1024:.1f} | {seconds:.2f} |"
                    )
                    tiles.append(tile(read_rgb(output), 700, name))
                contact_sheet(tiles, out / "sheets" / f"sample-{photo.stem}.png", per_row=2)

    lines = [
        f"Pooled over {len(page_paths)} synthetic pages of {labels.shape[1]}x{labels.shape[0]} "
        f"(seed {arguments.seed}):",
        "",
        header(),
    ]
    report: dict[str, object] = {"pages": [p.name for p in page_paths], "pooled": {}, "per_page": per_page}
    for name in cleaners:
        done = costs[name][2]
        if not done:
            lines.append(f"| {name:16} | failed: {failures.get(name, 'no output')} |")
            continue
        metrics = pooled[name].metrics()
        kb, seconds = costs[name][0] / done / 1024, costs[name][1] / done
        lines.append(row_text(name, metrics, kb, seconds))
        report["pooled"][name] = {**metrics, "kb_per_page": kb, "seconds_per_page": seconds}  # type: ignore[index]
    lines += ["", "Per page (ink F1 / colour / paper / rules dark):", ""]
    names = [n for n in cleaners if costs[n][2]]
    lines.append("| page | " + " | ".join(names) + " |")
    lines.append("|---|" + "---|" * len(names))
    for page, results in per_page.items():
        cells = [
            " / ".join(f"{results[n][k]:.2f}" for k in ("f1", "colour_accuracy", "paper_clean", "rules_dark"))
            if n in results
            else "failed"
            for n in names
        ]
        lines.append(f"| {page} | " + " | ".join(cells) + " |")
    if sample_rows:
        lines += [
            "",
            "Real photos (no truth): KB and seconds of each cleaner",
            "",
            "| photo | cleaner | KB | s |",
            "|---|---|---|---|",
            *sample_rows,
        ]
    text = "\n".join(lines)
    print(text)
    (out / "report.md").write_text(text + "\n")
    (out / "report.json").write_text(json.dumps(report, indent=1))
    log(f"sheets in {out / 'sheets'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
