"""Planning a batch: files and folders turned into jobs, one a page, in natural order, with
every input that cannot work refused with its reason (missing, special files, loops, unreadable
folders, outputs over inputs or shared), and what a job became (its outcome)."""

from __future__ import annotations

import errno
import os
import re
import stat
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

from PIL import Image

from .pictures import SUFFIXES, check_format


@dataclass(frozen=True)
class Job:
    """One page of an input file and where its result goes (output None: the result is only
    kept). page counts from 0 in a file of several pages (a TIFF's frames, a PDF's pages); None
    is a file's only or first page. note is a remark for the user that is not a failure."""

    source: Path
    output: Path | None
    page: int | None = None
    note: str | None = None

    @property
    def name(self) -> str:
        """The source as messages name it: the file, with its page when it has several."""
        return str(self.source) if self.page is None else f"{self.source} (page {self.page + 1})"


@dataclass(frozen=True)
class Outcome:
    """What became of one job: error is None on success; page holds the cleaned page, encoded
    as the file a PDF embeds (see pdf_output.pdf_page), when the batch was asked to keep it.
    name is the source as messages name it; note remarks that are not failures, one a line (an
    animation's frames left out, no page found to crop, a page left out of the PDF)."""

    source: Path
    output: Path | None
    error: str | None = None
    page: bytes | None = None
    name: str = ""
    note: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def __post_init__(self) -> None:
        if not self.name:
            object.__setattr__(self, "name", str(self.source))


def picture_suffixes() -> frozenset[str]:
    """The file name endings of the files a folder's search takes: what Pillow can open (but
    its video formats), and PDFs where pypdfium2 is installed."""
    from .pages import pdf_supported

    Image.init()
    suffixes = {
        suffix.lower() for suffix, fmt in Image.registered_extensions().items() if fmt in Image.OPEN and fmt != "MPEG"
    }
    if pdf_supported():
        suffixes.add(".pdf")
    return frozenset(suffixes)


def natural_key(name: str) -> tuple[tuple[tuple[int, int | str], ...], str]:
    """Orders names as people do: page2 before page10, case aside (but for names that differ
    only by case, which keep one order on every machine)."""
    parts = tuple((1, int(part)) if part.isdigit() else (0, part.casefold()) for part in re.split(r"(\d+)", name))
    return parts, name


def real(path: Path) -> Path:
    """The path with every link followed, as far as it goes: never raises, even for a loop."""
    return Path(os.path.realpath(path))


def unreadable(path: Path, error: OSError) -> str:
    if error.errno == errno.ENOENT:
        return "cannot read it: no such file or folder"
    return f"cannot read it: {error.strerror or error}"


def search_folder(
    folder: Path, outdir: Path | None, suffixes: frozenset[str], refused: list[Outcome], skipped: list[Path]
) -> list[Path]:
    """The picture files under folder, in natural order, folder by folder; unreadable folders
    and special files go to refused, files whose names are not pictures' to skipped."""
    pictures: list[Path] = []

    def failed(error: OSError) -> None:
        where = Path(error.filename) if error.filename else folder
        refused.append(Outcome(where, None, f"cannot read this folder: {error.strerror or error}"))

    for name, subfolders, files in os.walk(folder, onerror=failed):
        here = Path(name)
        # The output folder may lie inside an input folder: never clean results again.
        subfolders[:] = sorted(
            (s for s in subfolders if not s.startswith(".") and not (outdir and real(here / s) == outdir)),
            key=natural_key,
        )
        for file in sorted(files, key=natural_key):
            path = here / file
            if file.startswith("."):
                continue
            if Path(file).suffix.lower() not in suffixes:
                skipped.append(path)
                continue
            try:
                mode = os.stat(path).st_mode
            except OSError as error:  # a broken link, a loop of links
                refused.append(Outcome(path, None, unreadable(path, error)))
                continue
            if not stat.S_ISREG(mode):
                refused.append(Outcome(path, None, "not a regular file"))
                continue
            pictures.append(path)
    return pictures


def plan(
    inputs: Iterable[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str] | None,
    fmt: str = "png",
    *,
    skipped: list[Path] | None = None,
) -> tuple[list[Job], list[Outcome]]:
    """Expands files and folders (recursively, in natural order) into jobs, one a page, and
    refuses the inputs that cannot work: missing files, special files, unreadable or empty
    folders, an output that would overwrite an input or that two inputs would share. A folder's
    pictures keep their relative paths under output_dir; the pages of a file of several are
    named NAME-p1, NAME-p2, ... Files in folders whose names are not pictures' are left out, and
    listed in skipped when it is given."""
    from .pages import count_pages

    check_format(fmt)
    outdir = real(Path(output_dir)) if output_dir is not None else None
    suffixes = picture_suffixes()
    found: list[tuple[Path, Path]] = []  # (source, output path relative to outdir, without suffix)
    refused: list[Outcome] = []
    left_out: list[Path] = [] if skipped is None else skipped
    for given in inputs:
        path = Path(given)
        if os.fspath(given) == "":
            refused.append(Outcome(path, None, "an empty name is no file or folder"))
            continue
        try:
            mode = os.stat(path).st_mode
        except OSError as error:
            refused.append(Outcome(path, None, unreadable(path, error)))
            continue
        if stat.S_ISDIR(mode):
            before = len(refused)
            pictures = search_folder(path, outdir, suffixes, refused, left_out)
            if not pictures and len(refused) == before:
                refused.append(Outcome(path, None, "no pictures in this folder"))
            found += [(p, p.relative_to(path).with_suffix("")) for p in pictures]
        elif stat.S_ISREG(mode):
            found.append((path, Path(path.stem)))
        else:
            refused.append(Outcome(path, None, "not a regular file"))

    suffix = SUFFIXES[fmt]
    sources = {real(source) for source, _ in found}
    jobs: list[Job] = []
    claimed: dict[Path, Path] = {}
    for source, stem in found:
        pages = count_pages(source)
        if pages.count == 0:
            refused.append(Outcome(source, None, "a PDF without pages"))
            continue
        numbers: list[int | None] = [None] if pages.count == 1 else list(range(pages.count))
        for number in numbers:
            job = Job(source, None, number, pages.note)
            if outdir is None:
                jobs.append(job)
                continue
            name = stem.name if number is None else f"{stem.name}-p{number + 1}"
            output = outdir / stem.parent / f"{name}{suffix}"
            if real(output) in sources:
                refused.append(Outcome(source, output, f"output {output} would overwrite an input", name=job.name))
            elif output in claimed:
                reason = f"output {output} is already the output of {claimed[output]}"
                refused.append(Outcome(source, output, reason, name=job.name))
            else:
                claimed[output] = source
                jobs.append(Job(source, output, number, pages.note))
    return jobs, refused
