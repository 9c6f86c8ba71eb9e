"""Batches: files and folders planned into jobs, each job cleaned on any
concurrent.futures.Executor (processes, threads, a dask.distributed client), one outcome per
file so that a bad file never stops the others."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from PIL import Image

from .options import CleanOptions
from .pictures import SUFFIXES, PictureError, read_picture, save_picture

if TYPE_CHECKING:
    from .road import Cleaned, RGBArray


@dataclass(frozen=True)
class Job:
    """One input file and where its result goes (output None: the result is only kept)."""

    source: Path
    output: Path | None


@dataclass(frozen=True)
class Outcome:
    """What became of one job: error is None on success; page holds the cleaned picture when
    the batch was asked to keep it (for a PDF)."""

    source: Path
    output: Path | None
    error: str | None = None
    page: RGBArray | None = None
    notice: str | None = None  # what the user should know of a success (no page found to crop)

    @property
    def ok(self) -> bool:
        return self.error is None


def picture_suffixes() -> frozenset[str]:
    """The file name endings Pillow can open, for picking pictures out of folders."""
    Image.init()
    return frozenset(suffix.lower() for suffix, fmt in Image.registered_extensions().items() if fmt in Image.OPEN)


def _inside(path: Path, folder: Path) -> bool:
    try:
        path.relative_to(folder)
        return True
    except ValueError:
        return False


def plan(
    inputs: Iterable[str | os.PathLike[str]], output_dir: str | os.PathLike[str] | None, fmt: str = "png"
) -> tuple[list[Job], list[Outcome]]:
    """Expands files and folders (recursively, sorted) into jobs, and refuses the inputs that
    cannot work: missing files, empty folders, an output that would overwrite an input or that
    two inputs would share. A folder's pictures keep their relative paths under output_dir."""
    outdir = Path(output_dir).resolve() if output_dir is not None else None
    suffixes = picture_suffixes()
    found: list[tuple[Path, Path]] = []  # (source, output path relative to outdir)
    refused: list[Outcome] = []
    for given in inputs:
        path = Path(given)
        if path.is_dir():
            pictures = []
            for folder, subfolders, files in os.walk(path):
                here = Path(folder)
                # The output folder may lie inside an input folder: never clean results again.
                subfolders[:] = sorted(
                    s for s in subfolders if not s.startswith(".") and not (outdir and (here / s).resolve() == outdir)
                )
                pictures += [
                    here / f for f in sorted(files) if not f.startswith(".") and Path(f).suffix.lower() in suffixes
                ]
            if not pictures:
                refused.append(Outcome(path, None, "no pictures in this folder"))
            found += [(p, p.relative_to(path).with_suffix(SUFFIXES[fmt])) for p in pictures]
        elif path.exists():
            found.append((path, Path(path.stem + SUFFIXES[fmt])))
        else:
            refused.append(Outcome(path, None, "cannot read it: no such file or folder"))

    sources = {source.resolve() for source, _ in found}
    jobs: list[Job] = []
    claimed: dict[Path, Path] = {}
    for source, relative in found:
        if outdir is None:
            jobs.append(Job(source, None))
            continue
        output = outdir / relative
        if output.resolve() in sources:
            refused.append(Outcome(source, output, f"output {output} would overwrite an input"))
        elif output in claimed:
            refused.append(Outcome(source, output, f"output {output} is already the output of {claimed[output]}"))
        else:
            claimed[output] = source
            jobs.append(Job(source, output))
    return jobs, refused


def clean_into(
    source: Path,
    output: Path | None,
    options: CleanOptions,
    fmt: str = "png",
    quality: int | None = None,
    read: Callable[[Path], Image.Image] = read_picture,
) -> Cleaned:
    """The one way a file is cleaned: read (by default read_picture), cleaned, and written to
    output (its folder made) unless output is None. Raises what each step raises."""
    # The road (NumPy, the module) loads here, not at import: the command decodes its first
    # picture in the meantime.
    from .road import clean_picture

    cleaned = clean_picture(read(source), options, consume=True)
    if output is not None:
        output.parent.mkdir(parents=True, exist_ok=True)
        save_picture(cleaned, output, fmt, quality)
    return cleaned


def clean_job(
    job: Job,
    options: CleanOptions,
    fmt: str = "png",
    quality: int | None = None,
    keep_page: bool = False,
    read: Callable[[Path], Image.Image] = read_picture,
) -> Outcome:
    """Runs one job to an outcome; a picture that fails gives its reason instead of raising.
    A module-level function so that process pools and clusters can ship it. read decodes the
    source (by default read_picture)."""
    from .road import PictureTooSmall

    try:
        cleaned = clean_into(job.source, job.output, options, fmt, quality, read)
    except (PictureTooSmall, ValueError) as error:  # ValueError: corners outside the picture
        return Outcome(job.source, job.output, str(error))
    except PictureError as error:
        return Outcome(job.source, job.output, str(error))
    except MemoryError:
        return Outcome(job.source, job.output, "not enough memory to clean it")
    except OSError as error:
        return Outcome(job.source, job.output, f"cannot write {job.output}: {error.strerror or error}")
    return Outcome(job.source, job.output, None, cleaned.rgb() if keep_page else None, cleaned.notice)


def run(
    jobs: Sequence[Job],
    options: CleanOptions | None = None,
    *,
    fmt: str = "png",
    quality: int | None = None,
    executor: Executor | None = None,
    keep_pages: bool = False,
    on_done: Callable[[Outcome], None] | None = None,
    timeout: float | None = None,
) -> list[Outcome]:
    """Cleans the jobs, on executor when given (any concurrent.futures.Executor, such as a
    ProcessPoolExecutor or a dask.distributed Client's get_executor()), else one by one here.
    on_done sees every outcome as it arrives; the result lists them in job order. With a
    timeout (seconds, executor only), the jobs not done by then fail and are cancelled."""
    options = options or CleanOptions()
    outcomes: dict[int, Outcome] = {}
    for index, outcome in _outcomes(jobs, options, fmt, quality, executor, keep_pages, timeout):
        outcomes[index] = outcome
        if on_done is not None:
            on_done(outcome)
    return [outcomes[index] for index in range(len(jobs))]


def _outcomes(
    jobs: Sequence[Job],
    options: CleanOptions,
    fmt: str,
    quality: int | None,
    executor: Executor | None,
    keep_pages: bool,
    timeout: float | None,
) -> Iterator[tuple[int, Outcome]]:
    if executor is None:
        if not jobs:
            return
        # The first picture is decoded on a thread of its own while the road's modules load
        # (decoding releases the interpreter lock); the others are read in turn.
        with ThreadPoolExecutor(1) as reader:
            first = reader.submit(read_picture, jobs[0].source)
            yield 0, clean_job(jobs[0], options, fmt, quality, keep_pages, read=lambda _: first.result())
        for index, job in enumerate(jobs[1:], 1):
            yield index, clean_job(job, options, fmt, quality, keep_pages)
        return
    futures: dict[Future[Outcome], int] = {
        executor.submit(clean_job, job, options, fmt, quality, keep_pages): index for index, job in enumerate(jobs)
    }
    pending = dict(futures)
    try:
        for future in as_completed(futures, timeout=timeout):
            index = pending.pop(future)
            error = future.exception()
            if error is not None:  # a worker lost or a fault outside the picture's own checks
                yield index, Outcome(jobs[index].source, jobs[index].output, f"failed: {error!r}")
            else:
                yield index, future.result()
    except TimeoutError:
        for index in sorted(pending.values()):
            yield index, Outcome(jobs[index].source, jobs[index].output, f"not done within {timeout} s")
    finally:
        for future in futures:
            future.cancel()
