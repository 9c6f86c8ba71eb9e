"""Ground-truth quality benchmark: cleaners given as command lines, scored on synthetic pages
whose every pixel and stroke is known, side by side in one run; a plot of recall against stroke
contrast; contact sheets for looking; and every cleaner run on the real photos of
../shared/samples (sheets, bytes and seconds, no scores).

Two disjoint sets of pages: "tuning" (choose parameters on it) and "test" (other kinds of page
and other seeds; only to report). See truth_pages.TUNING_KINDS and TEST_KINDS.

    .venv/bin/python benchmarks/quality.py                  # test set: 16 pages of 4 MP, every cleaner
    .venv/bin/python benchmarks/quality.py --quick --set tuning --only vantrel-colour
    .venv/bin/python benchmarks/quality.py --only vantrel-colour,noteshrink,otsu,sauvola
    .venv/bin/python benchmarks/quality.py --cleaner mine='{python} my.py {input} {outdir}'

A template's placeholders: {input} the page, {outdir} an empty folder where the cleaner writes
exactly one picture, {python} this interpreter, {bench} this folder, {noteshrink} the peer's
command (installed on first use into build/peers/noteshrink, for comparison only). Results:
--out (default build/quality): report.md, report.json, recall.png, sheets/.
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
from PIL import Image, ImageDraw, ImageFont

import scoring
import truth_pages

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
#: The sample photos beside the repository (or beside the folder of a git worktree of it).
SAMPLES = next(
    (
        folder
        for folder in (ROOT.parent / "shared" / "samples", ROOT.parent.parent / "shared" / "samples")
        if folder.is_dir()
    ),
    ROOT.parent / "shared" / "samples",
)
PEERS = ROOT / "build" / "peers"

VANTREL = "{python} -m vantrel_clean clean {input} -o {outdir} -q"
CLEANERS = {
    "vantrel-colour": VANTREL + " --style colour",
    "vantrel-bw": VANTREL + " --style bw",
    "vantrel-levels": VANTREL + " --style levels",
    "noteshrink": "{noteshrink} -q -w -b {outdir}/page -c true -o {outdir}/unused.pdf {input}",
    "truth": "{python} {bench}/sanity_cleaners.py truth {input} {outdir}",
    "threshold": "{python} {bench}/sanity_cleaners.py threshold {input} {outdir}",
    "otsu": "{python} {bench}/sanity_cleaners.py otsu {input} {outdir}",
    "sauvola": "{python} {bench}/sanity_cleaners.py sauvola {input} {outdir}",
}
SANITY = ("truth", "threshold")
#: The two tables of the report: (key of scoring's metrics, column title).
RECALL_METRICS = [(f"recall_band{n}", name) for n, name in enumerate(scoring.BAND_NAMES)] + [("recall", "all")]
METRICS = [
    ("black_dark", "black dark"),
    ("consistency", "one tone"),
    ("filled", "filled"),
    ("show_removed", "show-thr."),
    ("texture_removed", "texture"),
    ("paper_clean", "paper"),
    ("colour_accuracy", "colour"),
    ("precision", "prec"),
    ("f1", "ink F1"),
]
PLOT_COLOURS = [(0, 90, 200), (220, 40, 40), (30, 150, 60), (240, 150, 0), (140, 60, 180), (0, 160, 170)]


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


def pages(which: str, quick: bool, folder: Path, limit: int | None = None) -> list[Path]:
    """The synthetic pages of a set, made once per set, seed and size and kept in folder: every
    kind of the set once per seed (only the first seed when quick, on smaller pages)."""
    kinds, seeds = truth_pages.SETS[which]
    width, height = (1200, 850) if quick else (2400, 1700)
    cache = folder / f"pages-v{truth_pages.VERSION}-{which}-{width}x{height}"
    paths = []
    for seed in seeds[:1] if quick else seeds:
        for n, kind in enumerate(kinds):
            suffix = ".png" if kind.lossless else ".jpg"
            path = cache / f"{seed}-{n:02d}-{kind.name}{suffix}"
            if not (path.exists() and all(p.exists() for p in truth_pages.truth_files(path))):
                log(f"making page {path.name}")
                page = truth_pages.make_page(kind, seed * 100 + n, width, height)
                page.name = path.stem
                truth_pages.write_page(page, cache)
            paths.append(path)
    return paths[:limit]


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


def faint_pixels(truth: truth_pages.Truth) -> np.ndarray:
    """The ink pixels of strokes below 30 % contrast."""
    contrast = np.zeros(max([s.id for s in truth.strokes], default=0) + 1)
    for stroke in truth.strokes:
        contrast[stroke.id] = stroke.contrast
    return (truth.stroke_ids > 0) & (contrast[np.minimum(truth.stroke_ids, len(contrast) - 1)] < 0.3)


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


#: The columns that follow the metrics in the second table.
COSTS = ("KB/page", "s/page")


def table(rows: list[tuple[str, dict[str, float]]], columns: list[tuple[str, str]], costs: bool) -> list[str]:
    """A Markdown table of metrics, one row per cleaner; costs: with KB and seconds per page."""
    titles = [title for _, title in columns] + (list(COSTS) if costs else [])
    lines = ["| cleaner | " + " | ".join(titles) + " |", "|---|" + "---|" * len(titles)]
    for name, metrics in rows:
        cells = ["n/a" if math.isnan(metrics.get(key, math.nan)) else f"{metrics[key]:.3f}" for key, _ in columns]
        if costs:
            cells += [f"{metrics['kb_per_page']:.1f}", f"{metrics['seconds_per_page']:.2f}"]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return lines


def recall_plot(curves: dict[str, list[tuple[float, float, int]]], path: Path, title: str) -> None:
    """Recall against stroke contrast, one curve per cleaner, drawn with Pillow."""
    width, height, left, right, top, bottom = 900, 560, 70, 190, 40, 60
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    font = ImageFont.load_default(14)

    def at(contrast: float, recall: float) -> tuple[float, float]:
        return (
            left + contrast * (width - left - right),
            height - bottom - recall * (height - top - bottom),
        )

    for tick in range(11):
        value = tick / 10
        draw.line([at(value, 0), at(value, 1)], fill=(225, 225, 225))
        draw.line([at(0, value), at(1, value)], fill=(225, 225, 225))
        x, y = at(value, 0)
        draw.text((x, y + 6), f"{tick * 10}%", fill="black", font=font, anchor="mt")
        x, y = at(0, value)
        draw.text((x - 8, y), f"{value:.1f}", fill="black", font=font, anchor="rm")
    for band in (0.1, 0.2, 0.3):
        draw.line([at(band, 0), at(band, 1)], fill=(150, 150, 150), width=1)
    draw.rectangle([at(0, 1), at(1, 0)], outline="black")
    draw.text((left + (width - left - right) / 2, height - 18), "stroke contrast", fill="black", font=font, anchor="mm")
    draw.text((left, 14), title, fill="black", font=font, anchor="lm")
    draw.text((12, top - 20), "recall", fill="black", font=font)
    for n, (name, curve) in enumerate(curves.items()):
        colour = PLOT_COLOURS[n % len(PLOT_COLOURS)] if n < len(PLOT_COLOURS) else (80, 80, 80)
        points = [at(contrast, recall) for contrast, recall, _ in curve]
        if len(points) > 1:
            draw.line(points, fill=colour, width=3, joint="curve")
        for x, y in points:
            draw.ellipse([x - 3, y - 3, x + 3, y + 3], fill=colour)
        legend_y = top + 10 + 22 * n
        draw.line([(width - right + 15, legend_y), (width - right + 45, legend_y)], fill=colour, width=3)
        draw.text((width - right + 52, legend_y), name, fill="black", font=font, anchor="lm")
    path.parent.mkdir(parents=True, exist_ok=True)
    image.save(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--set", choices=sorted(truth_pages.SETS), default="test", help="pages to score (default test)")
    parser.add_argument("--quick", action="store_true", help="one page of 1 MP per kind of page, one seed")
    parser.add_argument("--pages", type=int, help="only the first N pages of the set")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "quality")
    parser.add_argument("--cleaner", action="append", default=[], metavar="NAME=TEMPLATE")
    parser.add_argument("--only", help="comma-separated cleaner names")
    parser.add_argument("--samples", type=Path, default=SAMPLES, help="real photos for sheets (skipped if missing)")
    parser.add_argument("--no-samples", action="store_true")
    arguments = parser.parse_args()

    if arguments.pages is not None and arguments.pages < 1:
        parser.error("--pages wants at least 1")
    cleaners = dict(CLEANERS)
    for given in arguments.cleaner:
        name, _, template = given.partition("=")
        cleaners[name] = template
    if arguments.only:
        wanted = arguments.only.split(",")
        unknown = [name for name in wanted if name not in cleaners]
        if unknown:
            parser.error(f"unknown cleaner {', '.join(unknown)} (known: {', '.join(cleaners)})")
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
    page_paths = pages(arguments.set, arguments.quick, out, arguments.pages)
    pooled = {name: scoring.Counts() for name in cleaners}
    per_page: dict[str, dict[str, dict[str, float]]] = {}
    costs = {name: [0, 0.0, 0] for name in cleaners}  # bytes, seconds, pages done
    failures: dict[str, str] = {}

    with tempfile.TemporaryDirectory() as work:
        values["work"] = work
        for path in page_paths:
            truth = truth_pages.read_truth(path)
            labels = truth.labels
            picture = read_rgb(path)
            sheet_truth = truth_pages.render_truth(labels, True)
            tiles = [tile(picture, 600, f"input {path.name}"), tile(sheet_truth, 600, "truth")]
            y, x = faint_window(faint_pixels(truth), (300, 400))
            crops = [
                tile(picture[y : y + 300, x : x + 400], 400, "input 1:1"),
                tile(sheet_truth[y : y + 300, x : x + 400], 400, "truth 1:1"),
            ]
            per_page[path.stem] = {}
            for name, template in cleaners.items():
                log(f"{path.name}: {name}")
                output, seconds, error = run_cleaner(template, path, values)
                if output is None:
                    failures[name] = error
                    continue
                result = read_rgb(output)
                counts = scoring.score(result, truth)
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
        if not arguments.no_samples and not arguments.samples.is_dir():
            log(f"no sample photos in {arguments.samples} (give the folder with --samples): no sheets of them")
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

    kinds = truth_pages.SETS[arguments.set][0]
    used_seeds = sorted({int(p.name.split("-")[0]) for p in page_paths})
    pixels = {
        name: pixels
        for name, pixels in zip(scoring.BAND_NAMES, next(iter(pooled.values())).band_pixels if pooled else [])
    }
    lines = [
        f"The {arguments.set} set: {len(page_paths)} synthetic pages of {labels.shape[1]}x{labels.shape[0]} "
        f"(seeds {', '.join(map(str, used_seeds))}; kinds {', '.join(k.name for k in kinds)}).",
        "",
        "Recall of ink pixels by the contrast of their stroke (ink pixels per band: "
        + ", ".join(f"{band} {count}" for band, count in pixels.items())
        + f"; of black ink at full strength {next(iter(pooled.values())).full_black if pooled else 0}):",
        "",
    ]
    report: dict[str, object] = {
        "set": arguments.set,
        "pages": [p.name for p in page_paths],
        "pooled": {},
        "curves": {},
        "per_page": per_page,
    }
    done_rows = []
    for name in cleaners:
        done = costs[name][2]
        if not done:
            failures.setdefault(name, "no output")
            continue
        metrics = pooled[name].metrics()
        kb, seconds = costs[name][0] / done / 1024, costs[name][1] / done
        metrics = {**metrics, "kb_per_page": kb, "seconds_per_page": seconds}
        done_rows.append((name, metrics))
        report["pooled"][name] = metrics  # type: ignore[index]
        report["curves"][name] = pooled[name].recall_curve()  # type: ignore[index]
    lines += table(done_rows, RECALL_METRICS, False)
    lines += ["", "Everything else:", ""]
    lines += table(done_rows, METRICS, True)
    kinds = sorted({kind for counts in pooled.values() for kind in counts.per_kind})
    lines += ["", "Recall by kind of stroke (all its ink pixels):", ""]
    lines += table(done_rows, [(f"recall_{kind}", kind) for kind in kinds], False)
    lines += [f"| {name} | failed: {error} |" for name, error in failures.items()]
    recall_plot(
        {name: pooled[name].recall_curve() for name, _ in done_rows},
        out / "recall.png",
        f"Recall against stroke contrast, {arguments.set} set, {len(page_paths)} pages",
    )
    lines += ["", "Per page (ink F1 / recall 10-20 % / black dark / one tone):", ""]
    names = [name for name, _ in done_rows]
    lines.append("| page | " + " | ".join(names) + " |")
    lines.append("|---|" + "---|" * len(names))
    for page, results in per_page.items():
        cells = [
            " / ".join(f"{results[n][k]:.2f}" for k in ("f1", "recall_band1", "black_dark", "consistency"))
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
    log(f"plot {out / 'recall.png'}, sheets in {out / 'sheets'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
