"""The `vantrel` command: `vantrel clean INPUT... -o OUTDIR`."""

from __future__ import annotations

import argparse
import functools
import os
import sys
from collections.abc import Sequence
from pathlib import Path

from .atomic import sweep_temporaries
from .batch import Job, Outcome, plan, run
from .limits import default_max_pixels
from .options import (
    CROPS,
    DEFAULT_SENSITIVITY,
    DEFAULT_STYLE,
    PASSES,
    SENSITIVITY_RANGE,
    STYLES,
    CleanOptions,
    check_corners,
    check_passes,
    parse_aspect,
)
from .pages import DEFAULT_DPI
from .pictures import FORMATS
from .planning import real
from .stopping import Stopped, stop_on_signals
from .workers import WorkerPool

DESCRIPTION = """\
Cleans photos and scans of ink on a light background: evens out the light, whitens the paper,
halves the resolution and draws the ink: by default every ink in a clean colour of its own hue
and black ink black on white paper. Each INPUT is a picture file (anything Pillow reads) or a
folder, searched recursively; results go to OUTDIR under the same names (a folder's pictures
keep their relative paths)."""

EPILOG = f"""\
styles (--style):
{chr(10).join(f"  {name:10} {style.description}" for name, style in STYLES.items())}

passes (module steps after the whitening and halving, in the order given to --passes; each
style has its own: {"; ".join(f"{name}: {','.join(style.passes) or 'none'}" for name, style in STYLES.items())}):
{chr(10).join(f"  {name:10} {step}" for name, step in PASSES.items())}

Every page of a multi-page TIFF and of a PDF is cleaned, as NAME-p1, NAME-p2, ...; an
animation gives its first frame. Folders are searched in natural order (page2 before page10).

A file that cannot be cleaned gets one line on standard error and the batch goes on; the exit
status is 1 when any file failed, 2 for a usage error, 130 after Ctrl-C, 143 after SIGTERM and
129 after SIGHUP (the workers are stopped, and no temporary file is left). Outputs are written
to a temporary file and renamed, and inputs are never modified."""


def pass_list(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    if names == ("none",):
        return ()
    try:
        return check_passes(names)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{error} or none") from None


def given_path(text: str) -> Path:
    """A path argument; an empty one is a usage error (Path("") would mean this folder)."""
    if not text.strip():
        raise argparse.ArgumentTypeError("an empty name is no file or folder")
    return Path(text)


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def quality(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 100:
        raise argparse.ArgumentTypeError("must be 1 to 100")
    return value


def resolution(text: str) -> float:
    value = float(text)
    if not 10 <= value <= 2400:
        raise argparse.ArgumentTypeError("must be 10 to 2400")
    return value


def pixel_count(text: str) -> int:
    """A number of pixels, such as 150000000, 150M or 150MP."""
    number = text.strip().upper().removesuffix("P")
    factor = 1
    if number.endswith("M"):
        number, factor = number[:-1], 1_000_000
    try:
        value = int(float(number) * factor)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of pixels: {text}") from None
    if value < 9:
        raise argparse.ArgumentTypeError("must be 9 or more (3x3 pixels)")
    return value


def package_version() -> str:
    from . import __version__

    return __version__


def corner_list(text: str) -> tuple[tuple[float, float], ...]:
    try:
        numbers = [float(part) for part in text.split(",")]
    except ValueError:
        numbers = []
    if len(numbers) != 8:
        raise argparse.ArgumentTypeError("give eight numbers x1,y1,x2,y2,x3,y3,x4,y4 (TL, TR, BR, BL)")
    try:
        return check_corners([(numbers[2 * k], numbers[2 * k + 1]) for k in range(4)])
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def aspect_value(text: str) -> str | float:
    try:
        return parse_aspect(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="vantrel", description="Clean photos and scans of ink on a light background.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    clean = commands.add_parser(
        "clean",
        help="clean picture files",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    clean.add_argument("inputs", nargs="+", type=given_path, metavar="INPUT", help="picture files and folders")
    clean.add_argument(
        "-o",
        "--output-dir",
        metavar="OUTDIR",
        type=given_path,
        help="folder for the cleaned pictures (made if missing); needed unless --pdf is given",
    )
    clean.add_argument(
        "--pdf",
        metavar="FILE",
        type=given_path,
        help="also gather the cleaned pictures, in input order, as the pages of one PDF",
    )
    clean.add_argument(
        "--format",
        choices=tuple(FORMATS),
        default="png",
        help="file format of the results (default png: stored with a palette, losslessly, "
        "when the result has at most 256 colours)",
    )
    clean.add_argument(
        "--quality", type=quality, metavar="Q", help="jpeg/webp quality 1-100 (default: jpeg 90, webp lossless)"
    )
    clean.add_argument(
        "--jobs",
        "-j",
        type=positive,
        default=None,
        metavar="N",
        help="clean N files at a time in worker processes (default: one per core; 1 cleans in this process)",
    )
    clean.add_argument(
        "--style",
        choices=tuple(STYLES),
        default=DEFAULT_STYLE,
        help=f"how the ink is drawn (default {DEFAULT_STYLE}; see below)",
    )
    clean.add_argument(
        "--passes",
        type=pass_list,
        default=None,
        metavar="LIST",
        help="comma-separated passes in the order to run them, or none (default: the style's)",
    )
    for name in PASSES:
        clean.add_argument(
            f"--{name}",
            action=argparse.BooleanOptionalAction,
            default=None,
            help=f"switch the {name} pass on (appended to the passes) or off",
        )
    clean.add_argument(
        "--speck-limit",
        type=int,
        default=CleanOptions.speck_limit,
        metavar="N",
        help="despeckle whitens a pixel whose 7x5 window holds at most N dark pixels "
        f"(default {CleanOptions.speck_limit})",
    )
    clean.add_argument(
        "--even-background",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="divide by the paper's brightness first, so uneven or warm light reads as white (default on)",
    )
    clean.add_argument(
        "--exact-black",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="keep black samples at 0 (the module's GetData delivers them as 1; default on)",
    )
    clean.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    clean.add_argument(
        "--dpi",
        type=resolution,
        default=None,
        metavar="N",
        help="render PDF pages at N pixels an inch (default: the resolution of the page's scanned "
        f"picture, or {DEFAULT_DPI:.0f} for a page without one)",
    )
    clean.add_argument(
        "--max-pixels",
        type=pixel_count,
        default=None,
        metavar="N",
        help="refuse pictures (and rendered PDF pages) of more than N pixels, such as 200M "
        "(default: what the available memory holds for each worker at once, at least 16M)",
    )
    clean.add_argument(
        "--crop",
        choices=CROPS,
        default="auto",
        help="auto (default): find the page or board and rectify it, or say so and clean the whole photo; "
        "none: clean the photo as it is",
    )
    clean.add_argument(
        "--corners",
        type=corner_list,
        metavar="x1,y1,x2,y2,x3,y3,x4,y4",
        help="the page's corners by hand: TL, TR, BR, BL in the photo's pixels (after its EXIF orientation); "
        "write --corners=-5,... when the first is negative",
    )
    clean.add_argument(
        "--aspect",
        type=aspect_value,
        default="auto",
        metavar="auto|a4|letter|W:H",
        help="the rectified page's width to height: auto (default: measured from the photo), a4, letter, or W:H",
    )
    clean.add_argument(
        "--sensitivity",
        type=float,
        default=DEFAULT_SENSITIVITY,
        metavar="S",
        help=f"how faint a stroke the colour style keeps: 2 keeps strokes of half the contrast, 0.5 only clearer "
        f"ones ({SENSITIVITY_RANGE[0]:g} to {SENSITIVITY_RANGE[1]:g}; default %(default)g)",
    )
    from .detect_command import add_detect_command

    add_detect_command(commands)
    top.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    return top


def options_from(arguments: argparse.Namespace) -> CleanOptions:
    passes = list(STYLES[arguments.style].passes if arguments.passes is None else arguments.passes)
    for name in PASSES:
        switch = getattr(arguments, name)
        if switch is True and name not in passes:
            passes.append(name)
        elif switch is False:
            passes = [p for p in passes if p != name]
    return CleanOptions(
        style=arguments.style,
        passes=tuple(passes),
        speck_limit=arguments.speck_limit,
        even_background=arguments.even_background,
        exact_black=arguments.exact_black,
        crop=arguments.crop,
        corners=arguments.corners,
        aspect=arguments.aspect,
        sensitivity=arguments.sensitivity,
    )


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def say(line: str) -> None:
    """One line on standard error, above the progress bar when one shows."""
    if "tqdm" in sys.modules:
        sys.modules["tqdm"].tqdm.write(line, file=sys.stderr)
    else:
        print(line, file=sys.stderr)


def report(outcome: Outcome) -> None:
    if outcome.error is not None:
        say(f"vantrel: {outcome.name}: {outcome.error}")
    for note in outcome.note.splitlines() if outcome.note is not None else ():
        say(f"vantrel: {outcome.name}: {note}")


def quiet_library_warnings() -> None:
    """The command speaks in its own lines: libraries' warnings (corrupt EXIF, a decoder's
    remarks) about a picture it cleans anyway are not shown. Runs in every worker too."""
    import warnings

    warnings.simplefilter("ignore")
    import logging

    logging.getLogger("img2pdf").setLevel(logging.ERROR)


def start_worker(step_threads: int) -> None:
    """Runs first in every worker process: the command's quiet, and the native steps' share of
    the cores, so that a worker per core never runs a thread per core each."""
    quiet_library_warnings()
    from . import _steps

    _steps.set_thread_limit(step_threads)


def report_skipped(skipped: list[Path]) -> None:
    if len(skipped) == 1:
        say(f"vantrel: {skipped[0]}: left out: not a picture by its name (name it as an INPUT to clean it anyway)")
    elif skipped:
        say(
            f"vantrel: {skipped[0]} and {len(skipped) - 1} more files: left out: not pictures by their names "
            "(name a file as an INPUT to clean it anyway)"
        )


def check_targets(arguments: argparse.Namespace, jobs: list[Job], top: argparse.ArgumentParser) -> None:
    """Usage errors of -o and --pdf: a file as the folder, a PDF over an input or an output."""
    out = arguments.output_dir
    if out is not None and os.path.isfile(out):
        top.error(f"clean: -o {out} is a file, not a folder")
    if arguments.pdf is not None:
        pdf = real(arguments.pdf)
        if os.path.isdir(pdf):
            top.error(f"clean: --pdf {arguments.pdf} is a folder; name a file")
        if any(pdf == real(job.source) for job in jobs):
            top.error(f"clean: the PDF {arguments.pdf} would overwrite an input")
        if any(job.output is not None and pdf == real(job.output) for job in jobs):
            top.error(f"clean: the PDF {arguments.pdf} would overwrite one of the cleaned pictures")


def folder_failure(folder: Path, error: OSError) -> str:
    """Why a folder cannot be made: what is in its way, rather than mkdir's "File exists"."""
    if isinstance(error, FileExistsError):
        try:
            os.stat(folder)
        except OSError as blocked:  # a link that loops or leads nowhere
            return f"{blocked.strerror or blocked}"
        return "something that is not a folder has its name"
    return f"{error.strerror or error}"


def write_pdf(path: Path, outcomes: list[Outcome]) -> bool:
    """Writes the kept pages as one PDF; False (and one line) when it cannot be written."""
    from .pdf_output import save_pdf

    pages = [outcome.page for outcome in outcomes if outcome.page is not None]
    if not pages:
        say(f"vantrel: {path}: no page could be cleaned, no PDF written")
        return False
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        save_pdf(pages, path)
    except OSError as error:
        say(f"vantrel: {path}: cannot write the PDF: {error.strerror or error}")
        return False
    except ValueError as error:
        say(f"vantrel: {path}: cannot write the PDF: {error}")
        return False
    return True


def clean_command(arguments: argparse.Namespace, top: argparse.ArgumentParser) -> int:
    if arguments.output_dir is None and arguments.pdf is None:
        top.error("clean: give -o OUTDIR, --pdf FILE or both")
    try:
        options = options_from(arguments)
    except (TypeError, ValueError) as error:
        top.error(f"clean: {error}")
    quiet_library_warnings()
    skipped: list[Path] = []
    jobs, refused = plan(arguments.inputs, arguments.output_dir, arguments.format, skipped=skipped)
    check_targets(arguments, jobs, top)
    for outcome in refused:
        report(outcome)
    report_skipped(skipped)
    if arguments.output_dir is not None and jobs:
        try:
            arguments.output_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            say(
                f"vantrel: {arguments.output_dir}: cannot make the folder: {folder_failure(arguments.output_dir, error)}"
            )
            return 1
    # Temporaries of these outputs that a killed run left behind.
    results = [job.output for job in jobs if job.output is not None]
    sweep_temporaries(results + ([arguments.pdf] if arguments.pdf is not None else []))

    workers = min(arguments.jobs or cores(), len(jobs))
    max_pixels = arguments.max_pixels or default_max_pixels(max(1, workers))
    pool: WorkerPool | None = None
    if workers > 1:
        # Fresh interpreters, not forks: the progress bar's thread and the module's state stay
        # out of the workers.
        share = max(1, cores() // workers)
        pool = WorkerPool(workers, initializer=functools.partial(start_worker, share))
    bar = None
    if not arguments.quiet and len(jobs) > 1:
        from tqdm import tqdm  # only for a batch: one picture shows no bar

        bar = tqdm(total=len(jobs), unit="picture", disable=None, file=sys.stderr)

    def done(outcome: Outcome) -> None:
        report(outcome)
        if bar is not None:
            bar.update()

    finished = False
    try:
        outcomes = run(
            jobs,
            options,
            fmt=arguments.format,
            quality=arguments.quality,
            executor=pool,
            keep_pages=arguments.pdf is not None,
            on_done=done,
            dpi=arguments.dpi,
            max_pixels=max_pixels,
        )
        finished = True
    finally:
        if bar is not None:
            bar.close()
        if pool is not None:
            if finished:
                pool.shutdown()
            else:  # interrupted: stop the workers now, their temporaries removed
                pool.terminate()

    failed = len(refused) + sum(not outcome.ok for outcome in outcomes)
    if arguments.pdf is not None:
        failed += sum(outcome.ok and outcome.page is None for outcome in outcomes)  # left out of the PDF
        failed += not write_pdf(arguments.pdf, outcomes)
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    arguments = top.parse_args(argv)
    try:
        with stop_on_signals():
            if arguments.command == "detect":
                from .detect_command import detect_command

                return detect_command(arguments)
            return clean_command(arguments, top)
    except Stopped as stop:
        print(f"vantrel: stopped by {stop.name}", file=sys.stderr)
        return stop.status
    except KeyboardInterrupt:
        print("vantrel: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
