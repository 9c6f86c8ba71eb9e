"""The `vantrel` command: `vantrel clean INPUT... -o OUTDIR`."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from concurrent.futures import Executor
from pathlib import Path

from .batch import Outcome, plan, run
from .pictures import FORMATS, save_pdf
from .options import CROPS, DEFAULT_STYLE, PASSES, STYLES, CleanOptions, check_corners, check_passes, parse_aspect

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

A file that cannot be cleaned gets one line on standard error and the batch goes on; the exit
status is 1 when any file failed, 2 for a usage error. Outputs are written to a temporary file
and renamed, and inputs are never modified."""


def pass_list(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    if names == ("none",):
        return ()
    try:
        return check_passes(names)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{error} or none") from None


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
    clean.add_argument("inputs", nargs="+", metavar="INPUT", help="picture files and folders")
    clean.add_argument(
        "-o",
        "--output-dir",
        metavar="OUTDIR",
        type=Path,
        help="folder for the cleaned pictures (made if missing); needed unless --pdf is given",
    )
    clean.add_argument(
        "--pdf",
        metavar="FILE",
        type=Path,
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
    from .detect_command import add_detect_command

    add_detect_command(commands)
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
    )


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def report(outcome: Outcome, message: str | None = None) -> None:
    line = f"vantrel: {outcome.source}: {message or outcome.error}"
    if "tqdm" in sys.modules:  # a bar is showing: print above it
        sys.modules["tqdm"].tqdm.write(line, file=sys.stderr)
    else:
        print(line, file=sys.stderr)


def clean_command(arguments: argparse.Namespace, top: argparse.ArgumentParser) -> int:
    if arguments.output_dir is None and arguments.pdf is None:
        top.error("clean: give -o OUTDIR, --pdf FILE or both")
    try:
        options = options_from(arguments)
    except (TypeError, ValueError) as error:
        top.error(f"clean: {error}")
    jobs, refused = plan(arguments.inputs, arguments.output_dir, arguments.format)
    if arguments.pdf is not None and any(arguments.pdf.resolve() == job.source.resolve() for job in jobs):
        top.error(f"clean: the PDF {arguments.pdf} would overwrite an input")
    for outcome in refused:
        report(outcome)
    if arguments.output_dir is not None and jobs:
        try:
            arguments.output_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            print(f"vantrel: cannot make the folder {arguments.output_dir}: {error.strerror or error}", file=sys.stderr)
            return 1

    executor: Executor | None = None
    workers = min(arguments.jobs or cores(), len(jobs))
    if workers > 1:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        # Fresh interpreters, not forks: the progress bar's thread and the module's state stay
        # out of the workers.
        executor = ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("spawn"))
    bar = None
    if not arguments.quiet and len(jobs) > 1:
        from tqdm import tqdm  # only for a batch: one picture shows no bar

        bar = tqdm(total=len(jobs), unit="picture", disable=None, file=sys.stderr)

    def done(outcome: Outcome) -> None:
        if not outcome.ok:
            report(outcome)
        elif outcome.notice is not None:
            report(outcome, outcome.notice)
        if bar is not None:
            bar.update()

    try:
        outcomes = run(
            jobs,
            options,
            fmt=arguments.format,
            quality=arguments.quality,
            executor=executor,
            keep_pages=arguments.pdf is not None,
            on_done=done,
        )
    finally:
        if bar is not None:
            bar.close()
        if executor is not None:
            executor.shutdown(cancel_futures=True)

    failed = len(refused) + sum(not outcome.ok for outcome in outcomes)
    if arguments.pdf is not None:
        pages = [outcome.page for outcome in outcomes if outcome.page is not None]
        if not pages:
            print(f"vantrel: {arguments.pdf}: no page was cleaned, no PDF written", file=sys.stderr)
            failed += 1
        else:
            try:
                arguments.pdf.parent.mkdir(parents=True, exist_ok=True)
                save_pdf(pages, arguments.pdf)
            except (OSError, ValueError) as error:
                reason = getattr(error, "strerror", None) or error
                print(f"vantrel: {arguments.pdf}: cannot write the PDF: {reason}", file=sys.stderr)
                failed += 1
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    arguments = top.parse_args(argv)
    try:
        if arguments.command == "detect":
            from .detect_command import detect_command

            return detect_command(arguments)
        return clean_command(arguments, top)
    except KeyboardInterrupt:
        print("vantrel: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
