"""Speed and memory of whole processes: the `vantrel` command against noteshrink on one photo
(median of several runs, alternating) and on a folder of 24 photos, the peak resident set of
each, the peak of a 100-megapixel scan against its decoded size, and where the time goes
inside one photo.

    .venv/bin/python benchmarks/speed.py                    # everything
    .venv/bin/python benchmarks/speed.py --runs 3 --skip-large
    .venv/bin/python benchmarks/speed.py --vantrel 'build/peers/before-venv/bin/vantrel'

noteshrink is installed into build/peers/noteshrink on first use, for comparison only. Results
go to build/speed/report.md and report.json. Figures are reported, never asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
#: The sample photos beside the repository, or beside the folder of a git worktree of it.
SAMPLES = next(
    (
        folder
        for folder in (ROOT.parent / "shared" / "samples", ROOT.parent.parent / "shared" / "samples")
        if folder.is_dir()
    ),
    ROOT.parent / "shared" / "samples",
)
PHOTO_NAME = "imagelabs-whiteboard2.jpg"
OUT = ROOT / "build" / "speed"
MIB = 1024 * 1024


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


@dataclass
class Run:
    seconds: float
    peak_mib: float


def run_process(command: list[str]) -> Run:
    """Runs command to its end; its wall time and the peak resident set of its process tree's
    largest member (the kernel's ru_maxrss of the waited children)."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    stderr = process.stderr.read().decode(errors="replace") if process.stderr else ""
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({process.returncode}): {stderr.strip()[-400:]}")
    # Linux folds the peak of every reaped descendant into its parent's, so for a pool of
    # workers this is the peak of the largest process of the tree.
    return Run(seconds, usage.ru_maxrss / 1024)


def noteshrink_command() -> Path:
    venv = ROOT / "build" / "peers" / "noteshrink"
    command = venv / "bin" / "noteshrink"
    if not command.exists():
        log("installing noteshrink into build/peers/noteshrink (for comparison only)")
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "pip"), "install", "--quiet", "noteshrink"], check=True)
    return command


def fresh(folder: Path) -> Path:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def vantrel_line(vantrel: str, inputs: list[Path], outdir: Path, extra: list[str]) -> list[str]:
    return [*vantrel.split(), "clean", *map(str, inputs), "-o", str(outdir), "-q", *extra]


def noteshrink_line(noteshrink: Path, inputs: list[Path], outdir: Path) -> list[str]:
    # -w: white background; -c true: no PDF (its converter becomes the shell's no-op).
    return [
        str(noteshrink),
        "-q",
        "-w",
        "-b",
        str(outdir / "page"),
        "-c",
        "true",
        "-o",
        str(outdir / "unused.pdf"),
        *map(str, inputs),
    ]


def alternate(lines: dict[str, callable], runs: int) -> dict[str, list[Run]]:  # type: ignore[valid-type]
    """Every command runs once per round, in turn, so that a slow spell of the machine falls
    on all of them alike."""
    results: dict[str, list[Run]] = {name: [] for name in lines}
    for round_index in range(runs):
        for name, make in lines.items():
            results[name].append(run_process(make()))
        log(
            f"  round {round_index + 1} of {runs}: "
            + ", ".join(f"{name} {results[name][-1].seconds:.2f}s" for name in lines)
        )
    return results


def summary(runs: list[Run]) -> dict[str, float]:
    return {"seconds": statistics.median(r.seconds for r in runs), "peak_mib": max(r.peak_mib for r in runs)}


def folder_of_photos(samples: Path, count: int) -> list[Path]:
    """count copies of the sample photos, in turn, in a folder of their own."""
    photos = sorted(samples.glob("*.jpg"))
    folder = fresh(OUT / "folder")
    copies = []
    for i in range(count):
        source = photos[i % len(photos)]
        target = folder / f"{i:02d}-{source.name}"
        shutil.copyfile(source, target)
        copies.append(target)
    return copies


def large_scan(photo_path: Path, megapixels: float) -> Path:
    """A scan of about megapixels, the whiteboard photo enlarged, kept between runs."""
    path = OUT / f"scan-{megapixels:g}mp.png"
    if not path.exists():
        from PIL import Image

        log(f"making a {megapixels:g} MP scan")
        with Image.open(photo_path) as photo:
            scale = (megapixels * 1e6 / (photo.width * photo.height)) ** 0.5
            big = photo.convert("RGB").resize(
                (round(photo.width * scale), round(photo.height * scale)), Image.Resampling.BILINEAR
            )
        big.save(path, compress_level=1)
    return path


def breakdown(python: str, photo: Path) -> str:
    """Where the time goes inside one photo, from a process of its own."""
    result = subprocess.run([python, str(BENCH / "stages.py"), str(photo)], capture_output=True, text=True, check=True)
    return result.stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="runs of each command on the one photo")
    parser.add_argument("--folder-runs", type=int, default=1, help="runs of each command on the folder")
    parser.add_argument(
        "--vantrel", default=str(Path(sys.executable).parent / "vantrel"), help="the vantrel command to measure"
    )
    parser.add_argument("--large", type=float, default=100.0, help="megapixels of the large scan")
    parser.add_argument("--skip-large", action="store_true")
    parser.add_argument("--skip-noteshrink", action="store_true")
    parser.add_argument("--skip-stages", action="store_true", help="no breakdown inside one photo")
    parser.add_argument("--samples", type=Path, default=SAMPLES, help=f"the sample photos (default {SAMPLES})")
    arguments = parser.parse_args()
    photo = arguments.samples / PHOTO_NAME
    if not photo.exists():
        parser.error(f"{photo} is missing: give the folder of the sample photos with --samples")
    noteshrink = None if arguments.skip_noteshrink else noteshrink_command()
    OUT.mkdir(parents=True, exist_ok=True)
    report: dict[str, object] = {}
    lines = [f"vantrel: `{arguments.vantrel}`, {os.cpu_count()} cores", ""]

    log(f"one photo: {photo.name}")
    commands = {"vantrel": lambda: vantrel_line(arguments.vantrel, [photo], fresh(OUT / "one-vantrel"), [])}
    if noteshrink:
        commands["noteshrink"] = lambda: noteshrink_line(noteshrink, [photo], fresh(OUT / "one-noteshrink"))
    one = {name: summary(runs) for name, runs in alternate(commands, arguments.runs).items()}
    report["one_photo"] = one

    log("folder of 24 photos")
    photos = folder_of_photos(arguments.samples, 24)
    commands = {"vantrel": lambda: vantrel_line(arguments.vantrel, [photos[0].parent], fresh(OUT / "many-vantrel"), [])}
    if noteshrink:
        commands["noteshrink"] = lambda: noteshrink_line(noteshrink, photos, fresh(OUT / "many-noteshrink"))
    many = {name: summary(runs) for name, runs in alternate(commands, arguments.folder_runs).items()}
    report["folder"] = many

    lines += [
        f"| job | vantrel s | noteshrink s | speed-up | vantrel peak MiB | noteshrink peak MiB |",
        "|---|---|---|---|---|---|",
    ]
    for title, figures in (
        (f"one photo ({photo.name}, median of {arguments.runs})", one),
        ("folder of 24 photos, default settings", many),
    ):
        ours, peer = figures["vantrel"], figures.get("noteshrink")
        if peer:
            lines.append(
                f"| {title} | {ours['seconds']:.3f} | {peer['seconds']:.3f} | "
                f"{peer['seconds'] / ours['seconds']:.1f}x | {ours['peak_mib']:.0f} | {peer['peak_mib']:.0f} |"
            )
        else:
            lines.append(f"| {title} | {ours['seconds']:.3f} | | | {ours['peak_mib']:.0f} | |")

    if not arguments.skip_large:
        scan = large_scan(photo, arguments.large)
        from PIL import Image

        with Image.open(scan) as image:
            decoded = 3 * image.width * image.height
        log(f"large scan: {scan.name}")
        run = run_process(vantrel_line(arguments.vantrel, [scan], fresh(OUT / "large-vantrel"), []))
        report["large"] = {"seconds": run.seconds, "peak_mib": run.peak_mib, "decoded_mib": decoded / MIB}
        lines += [
            "",
            f"{arguments.large:g} MP scan: {run.seconds:.2f} s, peak {run.peak_mib:.0f} MiB, "
            f"{run.peak_mib * MIB / decoded:.2f} x its decoded size ({decoded / MIB:.0f} MiB)",
        ]

    if not arguments.skip_stages:
        stages = breakdown(str(Path(arguments.vantrel).parent / "python"), photo)
        report["stages"] = stages
        lines += ["", "Inside one photo (one process, best of 3):", "", "```", stages.rstrip(), "```"]
    text = "\n".join(lines) + "\n"
    (OUT / "report.md").write_text(text)
    (OUT / "report.json").write_text(json.dumps(report, indent=2) + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
