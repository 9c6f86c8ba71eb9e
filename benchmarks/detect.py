"""Detection benchmark: finding the page or the whiteboard's writing surface in a photo, scored
against the truth of synthetic scenes (see detect_scenes.py and detect_scoring.py), with two
baselines in the same run: the whole frame, and the textbook OpenCV contour recipe (installed on
first use into build/peers/opencv, for comparison only). vantrel's own detector
(`vantrel_clean.detect`) is scored when the installed package has it.

    .venv/bin/python benchmarks/detect.py                       # test set, 200 scenes a kind
    .venv/bin/python benchmarks/detect.py --quick               # 20 scenes a kind
    .venv/bin/python benchmarks/detect.py --set tuning --kinds board,finger --overlays 6

Scenes are made once and kept under build/detect/scenes-v*/ (by seed). Results go to --out
(default build/detect): report.md, report.json, scores.jsonl (every scene, every detector) and
overlays/ (--overlays N a kind, the worst first). --timing N times N scenes of 12 MP.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from multiprocessing import Pool
from pathlib import Path
from typing import Self

import detect_overlays
import detect_scenes
import detect_scoring
import numpy as np
from detect_scenes import KINDS
from PIL import Image

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
CACHE = ROOT / "build" / "detect"
PEER = ROOT / "build" / "peers" / "opencv"
FULL_COUNT, QUICK_COUNT = 200, 20
TIMING_KINDS = ("desk", "board", "scan", "wood")


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def opencv_python() -> Path:
    """The peer environment's interpreter, with OpenCV installed on first use."""
    python = PEER / "bin" / "python"
    probe = [str(python), "-c", "import cv2"]
    if not python.exists() or subprocess.run(probe, capture_output=True, check=False).returncode != 0:
        log("installing OpenCV into build/peers/opencv (for comparison only)")
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(PEER)], check=True)
        pip = [str(PEER / "bin" / "pip"), "install", "--quiet", "opencv-python-headless", "numpy"]
        subprocess.run(pip, check=True)
    return python


def _cached(job: tuple[int, int]) -> tuple[Path, dict]:
    seed, long_side = job
    return detect_scenes.cached_scene(CACHE, seed, long_side)


def make_scenes(seeds: list[int], long_side: int, jobs: int) -> list[tuple[Path, dict]]:
    """Every scene's file and truth, rendered where the cache lacks them, with progress."""
    work = [(seed, long_side) for seed in seeds]
    scenes = []
    start = time.perf_counter()
    with Pool(jobs) if jobs > 1 else _Serial() as pool:
        for n, scene in enumerate(pool.imap(_cached, work, chunksize=4), 1):
            scenes.append(scene)
            if n % 100 == 0 or n == len(work):
                log(f"scenes: {n}/{len(work)} ready ({time.perf_counter() - start:.0f} s)")
    return scenes


class _Serial:
    """A stand-in for a Pool of one: maps in this process."""

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *_: object) -> None:
        return None

    def imap(self, function: Callable, items: list, chunksize: int = 1):  # type: ignore[no-untyped-def]
        return map(function, items)


def whole_frame(scenes: list[tuple[Path, dict]]) -> list[dict]:
    results = []
    for _, truth in scenes:
        width, height = truth["size"]
        corners = detect_scoring.frame_corners(width, height).tolist()
        results.append({"found": True, "corners": corners, "aspect": width / height, "seconds": 0.0})
    return results


def textbook(scenes: list[tuple[Path, dict]]) -> list[dict]:
    """The OpenCV recipe, one subprocess over every scene."""
    python = opencv_python()
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as listing:
        listing.write("".join(f"{path}\n" for path, _ in scenes))
    log(f"textbook recipe on {len(scenes)} scenes")
    done = subprocess.run(
        [str(python), str(BENCH / "detect_textbook.py"), listing.name], capture_output=True, text=True, check=True
    )
    Path(listing.name).unlink()
    by_file = {}
    for line in done.stdout.splitlines():
        record = json.loads(line)
        by_file[record["file"]] = record
    return [by_file.get(str(path), {"found": False}) for path, _ in scenes]


def tool_detector() -> Callable | None:
    try:
        from vantrel_clean import detect  # type: ignore[attr-defined]
    except ImportError:
        return None
    return detect  # type: ignore[no-any-return]


def vantrel(scenes: list[tuple[Path, dict]], detect: Callable) -> list[dict]:
    """vantrel's detector in this process, given the decoded picture (EXIF kept); only the call is
    timed."""
    results = []
    start = time.perf_counter()
    for n, (path, _) in enumerate(scenes, 1):
        with Image.open(path) as picture:
            picture.load()
            began = time.perf_counter()
            try:
                found = detect(picture)
            except Exception as error:  # noqa: BLE001 (a detector's failure is a result too)
                results.append({"found": False, "error": f"{type(error).__name__}: {error}"})
                continue
            seconds = time.perf_counter() - began
        results.append(
            {
                "found": bool(found.found),
                "corners": [list(map(float, c)) for c in found.corners] if found.corners is not None else None,
                "aspect": float(found.aspect) if found.aspect else None,
                "confidence": float(found.confidence),
                "seconds": seconds,
            }
        )
        if n % 200 == 0:
            log(f"vantrel: {n}/{len(scenes)} ({time.perf_counter() - start:.0f} s)")
    return results


def percent(value: float | None, digits: int = 1) -> str:
    return "–" if value is None else f"{100 * value:.{digits}f} %"


def table(summary: dict[str, dict[str, dict]], kinds: list[str]) -> str:
    lines = [
        (
            "| kind | detector | n | found | mean JI | JI ≥ 0.9 | worst corner / perimeter (median) | aspect ≤ 2 % (found) "
            "| ink cut | deskew mean / max | ms median | ms p95 |"
        ),
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for kind in [*kinds, "all"]:
        for detector, per_kind in summary.items():
            s = per_kind[kind]
            deskew = f"{s['deskew_mean']:.2f}° / {s['deskew_max']:.2f}°" if "deskew_mean" in s else ""
            ms = "–" if s["ms_median"] is None else f"{s['ms_median']:.1f}"
            p95 = "–" if s["ms_p95"] is None else f"{s['ms_p95']:.1f}"
            label = "**all**" if kind == "all" else kind
            lines.append(
                f"| {label} | {detector} | {s['n']} | {percent(s['found'])} | {s['mean_jaccard']:.3f} "
                f"| {percent(s['jaccard_good'])} | {percent(s['median_corner_error'], 2)} | {percent(s['aspect_good'])} "
                f"| {s['ink_cut']} | {deskew} | {ms} | {p95} |"
            )
    return "\n".join(lines)


def timing_run(set_name: str, count: int, detect: Callable | None, jobs: int) -> dict[str, dict]:
    """Detection time on scenes of 12 MP (4000 x 3000; scans 2985 x 4000)."""
    seeds = [detect_scenes.seed_of(set_name, TIMING_KINDS[i % len(TIMING_KINDS)], 90_000 + i) for i in range(count)]
    scenes = make_scenes(seeds, 4000, jobs)
    runs = {"textbook": textbook(scenes)}
    if detect is not None:
        runs["vantrel"] = vantrel(scenes, detect)
    timing = {}
    for name, results in runs.items():
        seconds = [r["seconds"] for r in results if r.get("seconds") is not None]
        jaccard = [detect_scoring.score(t, r)["jaccard"] for (_, t), r in zip(scenes, results)]
        timing[name] = {
            "n": len(seconds),
            "ms_median": float(np.median(seconds) * 1000) if seconds else None,
            "ms_max": float(np.max(seconds) * 1000) if seconds else None,
            "mean_jaccard": float(np.mean(jaccard)),
        }
    return timing


def overlays(
    scenes: list[tuple[Path, dict]], scores: dict[str, list[dict]], per_kind: int, folder: Path, kinds: list[str]
) -> None:
    """per_kind overlays a kind: the worst half by the main detector's Jaccard index, the rest
    spread over the others."""
    main = "vantrel" if "vantrel" in scores else "textbook" if "textbook" in scores else next(iter(scores))
    for old in folder.glob("*.png"):  # overlays of an earlier run would mix in
        old.unlink()
    for kind in kinds:
        indices = [i for i, (_, truth) in enumerate(scenes) if truth["kind"] == kind]
        ranked = sorted(indices, key=lambda i: (scores[main][i]["jaccard"], scenes[i][1]["seed"]))
        worst = ranked[: (per_kind + 1) // 2]
        rest = [i for i in ranked if i not in worst]
        step = max(1, len(rest) // max(1, per_kind - len(worst)))
        chosen = worst + rest[::step][: per_kind - len(worst)]
        for rank, i in enumerate(chosen):
            path, truth = scenes[i]
            label = f"worst{rank + 1}" if i in worst else "sample"
            target = folder / f"{kind}-{label}-{truth['seed']}.png"
            detect_overlays.draw_overlay(path, truth, {name: scores[name][i] for name in scores}, target)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help=f"{QUICK_COUNT} scenes a kind instead of {FULL_COUNT}")
    parser.add_argument(
        "--set", choices=sorted(detect_scenes.SET_BASES), default="test", help="seed set (default test)"
    )
    parser.add_argument("--kinds", default=",".join(KINDS), help="comma-separated kinds: " + ",".join(KINDS))
    parser.add_argument("--count", type=int, help="scenes a kind (overrides --quick)")
    parser.add_argument("--out", type=Path, default=CACHE, help="where the report goes (default build/detect)")
    parser.add_argument("--overlays", type=int, default=0, metavar="N", help="N overlay pictures a kind")
    parser.add_argument("--timing", type=int, metavar="N", help="N scenes of 12 MP for timing (default 4, quick 0)")
    parser.add_argument("--jobs", type=int, default=1, help="processes rendering scenes (default 1)")
    parser.add_argument("--no-textbook", action="store_true", help="skip the OpenCV recipe")
    args = parser.parse_args()
    kinds = [k for k in args.kinds.split(",") if k]
    unknown = [k for k in kinds if k not in KINDS]
    if unknown:
        parser.error(f"unknown kinds {','.join(unknown)} (known: {','.join(KINDS)})")
    count = args.count or (QUICK_COUNT if args.quick else FULL_COUNT)
    timing_count = args.timing if args.timing is not None else (0 if args.quick else 4)

    seeds = [detect_scenes.seed_of(args.set, kind, i) for kind in kinds for i in range(count)]
    scenes = make_scenes(seeds, 1600, args.jobs)
    runs: dict[str, list[dict]] = {"whole frame": whole_frame(scenes)}
    if not args.no_textbook:
        runs["textbook"] = textbook(scenes)
    detect = tool_detector()
    if detect is None:
        log("vantrel_clean has no detect: scoring the baselines only")
    else:
        runs["vantrel"] = vantrel(scenes, detect)
    scores = {
        name: [detect_scoring.score(t, r) for (_, t), r in zip(scenes, results)] for name, results in runs.items()
    }
    summary = {
        name: {
            **{kind: detect_scoring.summarise([s for s in records if s["kind"] == kind]) for kind in kinds},
            "all": detect_scoring.summarise(records),
        }
        for name, records in scores.items()
    }
    timing = timing_run(args.set, timing_count, detect, args.jobs) if timing_count else {}

    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    with open(out / "scores.jsonl", "w") as file:
        file.writelines(json.dumps({"detector": n, **r}) + "\n" for n, records in scores.items() for r in records)
    first, last = min(seeds), max(seeds)
    heading = (
        f"Detection, set `{args.set}` (seeds {first}..{last}), {count} scenes a kind of about 1600 x 1200, "
        f"{len(scenes)} in all."
    )
    report = [heading, "", table(summary, kinds), ""]
    if timing:
        report += ["12 MP scenes (4000 x 3000), detection time:", "", "| detector | n | ms median | ms max | mean JI |"]
        report.append("|---|---|---|---|---|")
        for name, t in timing.items():
            median = "–" if t["ms_median"] is None else f"{t['ms_median']:.0f}"
            most = "–" if t["ms_max"] is None else f"{t['ms_max']:.0f}"
            report.append(f"| {name} | {t['n']} | {median} | {most} | {t['mean_jaccard']:.3f} |")
    (out / "report.md").write_text("\n".join(report) + "\n")
    document = {"set": args.set, "count": count, "kinds": kinds, "summary": summary, "timing_12mp": timing}
    (out / "report.json").write_text(json.dumps(document, indent=1))
    if args.overlays:
        overlays(scenes, scores, args.overlays, out / "overlays", kinds)
    print("\n".join(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
