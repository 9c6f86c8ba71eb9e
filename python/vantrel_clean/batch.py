"""Batches: files and folders planned into jobs, each job cleaned on any
concurrent.futures.Executor (processes, threads, a dask.distributed client), one outcome per
file so that a bad file never stops the others."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import BrokenExecutor, Executor, Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from PIL import Image

from .options import CleanOptions, check_options
from .pictures import PictureError, check_format, check_quality, read_picture, save_picture
from .planning import Job, Outcome, picture_suffixes, plan
from .workers import WorkerDied

__all__ = [
    "Job",
    "Outcome",
    "PageReader",
    "clean_into",
    "clean_job",
    "picture_suffixes",
    "plan",
    "run",
]

if TYPE_CHECKING:
    from .cleaned import Cleaned


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


@dataclass(frozen=True)
class PageReader:
    """Reads one page of a file (see pages.read_page): a picklable `read` for clean_job."""

    page: int | None = None
    dpi: float | None = None
    max_pixels: int | None = None

    def __call__(self, source: Path) -> Image.Image:
        from .pages import read_page

        return read_page(source, self.page, self.dpi, self.max_pixels)


def clean_job(
    job: Job,
    options: CleanOptions,
    fmt: str = "png",
    quality: int | None = None,
    keep_page: bool = False,
    read: Callable[[Path], Image.Image] | None = None,
    *,
    dpi: float | None = None,
    max_pixels: int | None = None,
) -> Outcome:
    """Runs one job to an outcome; a picture that fails gives its reason instead of raising.
    A module-level function so that process pools and clusters can ship it. read decodes the
    source (by default the job's page, rendered at dpi for a PDF, refused past max_pixels).
    With keep_page, the outcome carries the page as a PDF embeds it, even when the output
    cannot be written."""
    from .pdf_output import PAGE_RESOLUTION, PageError, pdf_page
    from .pages import RENDERED_DPI
    from .road import PictureTooSmall

    read_page = read or PageReader(job.page, dpi, max_pixels)
    name, note = job.name, job.note
    rendered: list[float] = []  # the resolution a PDF's page was rendered at

    def reader(source: Path) -> Image.Image:
        picture = read_page(source)
        if RENDERED_DPI in picture.info:
            rendered.append(float(picture.info[RENDERED_DPI]))
        return picture

    def failed(reason: str, page: bytes | None = None) -> Outcome:
        return Outcome(job.source, job.output, reason, page, name, note)

    try:
        cleaned = clean_into(job.source, None, options, fmt, quality, reader)
    except (PictureTooSmall, PictureError) as error:
        return failed(str(error))
    except ValueError as error:  # corners given by hand that do not fit the picture
        return failed(str(error))
    except MemoryError:
        return failed("not enough memory to clean it")
    if cleaned.notice is not None:  # the page's crop: none found, the whole photo cleaned
        note = cleaned.notice if note is None else f"{note}\n{cleaned.notice}"
    page: bytes | None = None
    if keep_page:
        try:
            # A rendered page keeps its size on paper: the cleaned picture has half its pixels.
            page = pdf_page(cleaned, rendered[0] / 2 if rendered else PAGE_RESOLUTION)
        except PageError as error:
            note = f"left out of the PDF: {error}" if note is None else f"{note}\nleft out of the PDF: {error}"
    if job.output is not None:
        try:
            job.output.parent.mkdir(parents=True, exist_ok=True)
            save_picture(cleaned, job.output, fmt, quality)
        except OSError as error:
            return failed(f"cannot write {job.output}: {error.strerror or error}", page)
        except ValueError as error:
            return failed(f"cannot write {job.output}: {error}", page)
        except MemoryError:
            return failed(f"not enough memory to write {job.output}", page)
    return Outcome(job.source, job.output, None, page, name, note)


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
    dpi: float | None = None,
    max_pixels: int | None = None,
) -> list[Outcome]:
    """Cleans the jobs, on executor when given (any concurrent.futures.Executor, such as a
    WorkerPool, a ProcessPoolExecutor or a dask.distributed Client's get_executor()), else one
    by one here. on_done sees every outcome as it arrives; the result lists them in job order.
    PDF pages are rendered at dpi (default: their scan's resolution, else 300); pictures of more
    than max_pixels are refused (default: limits.default_max_pixels()).

    With a timeout (seconds, executor only), the jobs not finished by then fail: the ones not
    started are cancelled, but a job already running is not stopped (no executor can stop it)
    and may still write its output; its outcome says so."""
    options = check_options(options)
    check_format(fmt)
    check_quality(quality)
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout <= 0):
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout}")
    settings = (options, fmt, quality, keep_pages)
    outcomes: dict[int, Outcome] = {}
    for index, outcome in _outcomes(jobs, settings, executor, timeout, dpi, max_pixels):
        outcomes[index] = outcome
        if on_done is not None:
            on_done(outcome)
    return [outcomes[index] for index in range(len(jobs))]


_Settings = tuple[CleanOptions, str, "int | None", bool]


def _outcomes(
    jobs: Sequence[Job],
    settings: _Settings,
    executor: Executor | None,
    timeout: float | None,
    dpi: float | None,
    max_pixels: int | None,
) -> Iterator[tuple[int, Outcome]]:
    if executor is None:
        if not jobs:
            return
        # The first picture is decoded on a thread of its own while the road's modules load
        # (decoding releases the interpreter lock); the others are read in turn.
        with ThreadPoolExecutor(1) as reader:
            first = reader.submit(PageReader(jobs[0].page, dpi, max_pixels), jobs[0].source)
            yield 0, clean_job(jobs[0], *settings, read=lambda _: first.result(), dpi=dpi, max_pixels=max_pixels)
        for index, job in enumerate(jobs[1:], 1):
            yield index, clean_job(job, *settings, dpi=dpi, max_pixels=max_pixels)
        return
    futures: dict[Future[Outcome], int] = {
        executor.submit(clean_job, job, *settings, dpi=dpi, max_pixels=max_pixels): index
        for index, job in enumerate(jobs)
    }
    pending = dict(futures)
    try:
        for future in as_completed(futures, timeout=timeout):
            index = pending.pop(future)
            job = jobs[index]
            if future.cancelled():  # by the executor itself, stopping
                yield index, Outcome(job.source, job.output, "not cleaned: cancelled", name=job.name, note=job.note)
                continue
            error = future.exception()
            if error is not None:  # a worker lost, or a fault outside the picture's own checks
                yield index, Outcome(job.source, job.output, failure_reason(error), name=job.name, note=job.note)
            else:
                yield index, future.result()
    except TimeoutError:
        for future, index in sorted(pending.items(), key=lambda item: item[1]):
            job = jobs[index]
            if future.cancel():
                reason = f"not started within {timeout} s"
            else:
                written = f"; it may still write {job.output}" if job.output is not None else ""
                reason = f"not done within {timeout} s (it is still running{written})"
            yield index, Outcome(job.source, job.output, reason, name=job.name, note=job.note)
    finally:
        for future in futures:
            future.cancel()


def failure_reason(error: BaseException) -> str:
    """A failure from outside the picture's own checks, in plain words."""
    text = str(error) or type(error).__name__
    if isinstance(error, WorkerDied):
        return f"not cleaned: {text}"
    if isinstance(error, BrokenExecutor):
        return "not cleaned: the worker processes were lost (out of memory?)"
    return f"failed: {text}"
