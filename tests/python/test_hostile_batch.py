"""A batch under what people and machines do to it: killed workers, signals, forks, links that
loop, FIFOs, unreadable folders, multi-page and huge inputs, PDFs in and out, odd names and
arguments. Every hostile input is made here, at test time."""

import concurrent.futures
import io
import multiprocessing
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import img2pdf
import numpy as np
import pytest
from PIL import Image

import vantrel_clean as vc
from vantrel_clean.cli import main

from test_cli import clean, cleaned, pdf_pages

SCRIPT = Path(sys.executable).with_name("vantrel")


def page(width=41, height=29, band=5):
    """White paper with a dark band across rows 3-6: it survives cleaning as ink."""
    picture = np.full((height, width, 3), 250, np.uint8)
    picture[3:7, 2:-2] = band
    return picture


def save(path, picture=None, **options):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(page() if picture is None else picture).save(path, **options)
    return path


def scanned_pdf(path, pictures, dpi):
    """A PDF whose pages are the pictures, placed at dpi, as a scanner makes them."""
    files = []
    for picture in pictures:
        stream = io.BytesIO()
        Image.fromarray(picture).save(stream, "PNG")
        files.append(stream.getvalue())
    path.write_bytes(img2pdf.convert(files, layout_fun=img2pdf.get_fixed_dpi_layout_fun((dpi, dpi))))
    return path


def children(pid):
    """The processes whose parent is pid (from /proc)."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry.name))
    return found


def alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


def holds_open(pid, path):
    try:
        return any(os.readlink(fd) == str(path) for fd in Path(f"/proc/{pid}/fd").iterdir())
    except OSError:
        return False


# Processes and signals


def test_pool_worker_killed_fails_only_its_call():
    with vc.WorkerPool(2) as pool:
        before = [pool.submit(pow, 2, n) for n in range(4)]
        killed = pool.submit(signal.raise_signal, signal.SIGKILL)
        after = [pool.submit(pow, 3, n) for n in range(6)]
        assert [f.result(timeout=60) for f in before] == [2**n for n in range(4)]
        with pytest.raises(vc.WorkerDied, match="killed by SIGKILL"):
            killed.result(timeout=60)
        assert [f.result(timeout=60) for f in after] == [3**n for n in range(6)]


class TwoPartError(Exception):
    """An exception that pickles but cannot be unpickled (its __init__ wants two arguments)."""

    def __init__(self, first, second):
        super().__init__(f"{first} {second}")


def raise_two_part_error():
    raise TwoPartError("one", "two")


def test_pool_passes_errors_back_and_survives_unreadable_ones():
    with vc.WorkerPool(1) as pool:
        with pytest.raises(ValueError, match="invalid literal"):
            pool.submit(int, "x").result(timeout=60)
        with pytest.raises(RuntimeError, match="cannot receive the result"):
            pool.submit(raise_two_part_error).result(timeout=60)
        with pytest.raises(Exception, match="pickle"):  # a call that cannot be sent
            pool.submit(lambda: 1).result(timeout=60)
        assert pool.submit(pow, 2, 5).result(timeout=60) == 32


def test_pool_terminate_stops_running_calls_now():
    pool = vc.WorkerPool(1)
    running = pool.submit(time.sleep, 60)
    queued = pool.submit(time.sleep, 60)
    while not running.running():
        time.sleep(0.01)
    start = time.monotonic()
    pool.terminate()
    assert time.monotonic() - start < 10
    assert queued.cancelled()
    with pytest.raises(vc.WorkerDied, match="stopped"):
        running.result(timeout=1)


def test_killed_worker_fails_only_its_file_and_a_fresh_worker_goes_on(tmp_path):
    inputs = tmp_path / "in"
    for i in range(8):
        save(inputs / f"p{i:02}.png", page(41 + 2 * i))
    big = save(inputs / "p04-big.png", page(4000, 3000))  # decoding takes long enough to be seen
    command = subprocess.Popen(
        [SCRIPT, "clean", "--crop", "none", inputs, "-o", tmp_path / "out", "--jobs", "2", "-q"],
        stderr=subprocess.PIPE,
        text=True,
    )
    killed = None
    deadline = time.monotonic() + 120
    while killed is None and command.poll() is None and time.monotonic() < deadline:
        for worker in children(command.pid):
            if holds_open(worker, big):
                os.kill(worker, signal.SIGKILL)
                killed = worker
    _, errors = command.communicate(timeout=120)
    assert killed is not None, "the big picture was never seen open"
    assert command.returncode == 1
    lines = errors.splitlines()
    assert lines == [f"vantrel: {big}: not cleaned: its worker process was killed by SIGKILL (out of memory?)"]
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == [f"p{i:02}.png" for i in range(8)]


def run_until_written(tmp_path, extra=(), **popen):
    """Starts a batch of 30 pictures on 2 workers and returns once it has written one."""
    inputs = tmp_path / "in"
    for i in range(30):
        save(inputs / f"p{i:02}.png", page(1201 + 2 * i, 801))
    out = tmp_path / "out"
    command = subprocess.Popen(
        [SCRIPT, "clean", "--crop", "none", inputs, "-o", out, "--jobs", "2", "-q", *extra],
        stderr=subprocess.PIPE,
        text=True,
        **popen,
    )
    deadline = time.monotonic() + 120
    while not (out.exists() and any(p.suffix == ".png" for p in out.iterdir())):
        assert command.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    return command, out


@pytest.mark.parametrize(("stop", "jobs"), [(signal.SIGTERM, "2"), (signal.SIGHUP, "2"), (signal.SIGTERM, "1")])
def test_stop_signal_stops_the_workers_and_leaves_no_temporary(tmp_path, stop, jobs):
    command, out = run_until_written(tmp_path, ("--pdf", tmp_path / "all.pdf", "--jobs", jobs))
    workers = children(command.pid)
    assert workers or jobs == "1"
    command.send_signal(stop)
    _, errors = command.communicate(timeout=60)
    assert command.returncode == 128 + stop
    assert errors.splitlines()[-1] == f"vantrel: stopped by {signal.Signals(stop).name}"
    assert "Traceback" not in errors
    time.sleep(0.5)
    assert [pid for pid in workers if alive(pid)] == []
    assert [p.name for p in out.iterdir() if p.suffix == ".part"] == []
    assert [p.name for p in tmp_path.iterdir() if p.suffix == ".part"] == []


def test_workers_end_when_the_command_is_killed_outright(tmp_path):
    command, out = run_until_written(tmp_path)
    workers = children(command.pid)
    command.kill()
    command.communicate(timeout=60)  # and its standard error closed
    deadline = time.monotonic() + 30
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [pid for pid in workers if alive(pid)] == []
    assert [p.name for p in out.iterdir() if p.suffix == ".part"] == []


def test_ctrl_c_stops_the_group_without_tracebacks(tmp_path):
    command, out = run_until_written(tmp_path, start_new_session=True)
    workers = children(command.pid)
    os.killpg(command.pid, signal.SIGINT)  # what a terminal does: the whole group
    _, errors = command.communicate(timeout=60)
    assert command.returncode == 130
    assert errors.splitlines() == ["vantrel: interrupted"]
    time.sleep(0.5)
    assert [pid for pid in workers if alive(pid)] == []
    assert [p.name for p in out.iterdir() if p.suffix == ".part"] == []


def test_temporaries_of_a_killed_run_are_swept(tmp_path, capsys):
    source = save(tmp_path / "a.png")
    out = tmp_path / "out"
    out.mkdir()
    stale = [out / ".a.png.k3j_x9q2.part", tmp_path / ".all.pdf.0a1b2c3d.part"]
    others = [out / ".b.png.k3j_x9q2.part", out / "notes.part"]  # not the temporaries of this run's outputs
    for path in stale + others:
        path.write_bytes(b"half")
    assert clean(capsys, source, "-o", out, "--pdf", tmp_path / "all.pdf") == (0, [])
    assert [p.exists() for p in stale + others] == [False, False, True, True]


def test_fork_while_a_thread_cleans_gives_working_children():
    picture = page()
    release = threading.Event()

    def hold():
        with vc.MODULE_LOCK:  # a thread inside clean(), as far as a fork can tell
            release.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    try:
        while not vc.MODULE_LOCK.locked():
            time.sleep(0.001)
        context = multiprocessing.get_context("fork")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            result = pool.submit(vc.clean, picture).result(timeout=60)
    finally:
        release.set()
        holder.join()
    np.testing.assert_array_equal(result, vc.clean(picture))


# Inputs


def test_symlink_loops_are_one_line_each(tmp_path, capsys):
    inputs = tmp_path / "in"
    save(inputs / "a.png")
    (inputs / "loop.png").symlink_to(inputs / "loop.png")
    (inputs / "round").symlink_to(inputs / "round")
    (tmp_path / "out-loop").symlink_to(tmp_path / "out-loop")
    status, errors = clean(capsys, inputs, "-o", tmp_path / "out")
    assert status == 1 and (tmp_path / "out" / "a.png").exists()
    assert errors == [
        f"vantrel: {inputs / 'loop.png'}: cannot read it: Too many levels of symbolic links",
        f"vantrel: {inputs / 'round'}: left out: not a picture by its name (name it as an INPUT to clean it anyway)",
    ]
    status, errors = clean(capsys, inputs / "a.png", "-o", tmp_path / "out-loop")
    assert errors == [f"vantrel: {tmp_path / 'out-loop'}: cannot make the folder: Too many levels of symbolic links"]
    (tmp_path / "pdf-loop.pdf").symlink_to(tmp_path / "pdf-loop.pdf")
    # The PDF takes the place of the link, as a rename does: no loop is followed.
    assert clean(capsys, inputs / "a.png", "--pdf", tmp_path / "pdf-loop.pdf") == (0, [])
    assert pdf_pages(tmp_path / "pdf-loop.pdf") == 1
    jobs, refused = vc.plan([inputs / "loop.png"], tmp_path / "out")
    assert jobs == [] and "symbolic links" in refused[0].error


def test_fifos_and_devices_are_not_regular_files(tmp_path):
    inputs = tmp_path / "in"
    save(inputs / "a.png")
    os.mkfifo(inputs / "x.jpg")
    os.mkfifo(tmp_path / "y.png")
    done = subprocess.run(
        [SCRIPT, "clean", "--crop", "none", inputs, tmp_path / "y.png", "/dev/zero", "-o", tmp_path / "out"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1
    assert sorted(done.stderr.splitlines()) == [
        "vantrel: /dev/zero: not a regular file",
        f"vantrel: {inputs / 'x.jpg'}: not a regular file",
        f"vantrel: {tmp_path / 'y.png'}: not a regular file",
    ]
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["a.png"]
    with pytest.raises(vc.PictureError, match="not a regular file"):
        vc.read_picture(inputs / "x.jpg")


def test_unreadable_folder_fails_and_skipped_files_are_counted(tmp_path, capsys, monkeypatch):
    inputs = tmp_path / "in"
    save(inputs / "a.png")
    save(inputs / "locked" / "b.png")
    (inputs / "notes.txt").write_text("a list")
    (inputs / "photo.heic").write_bytes((inputs / "a.png").read_bytes())  # a picture by its contents
    scandir = os.scandir

    def refusing(path="."):
        if Path(path).name == "locked":  # what a folder without read permission gives
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    status, errors = clean(capsys, inputs, "-o", tmp_path / "out")
    assert status == 1
    assert errors == [
        f"vantrel: {inputs / 'locked'}: cannot read this folder: Permission denied",
        f"vantrel: {inputs / 'notes.txt'} and 1 more files: left out: not pictures by their names "
        "(name a file as an INPUT to clean it anyway)",
    ]
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["a.png"]
    monkeypatch.undo()
    assert clean(capsys, inputs / "photo.heic", "-o", tmp_path / "named") == (0, [])


@pytest.mark.parametrize("args", [["", "-o", "out"], ["x.png", "-o", ""], ["x.png", "--pdf", ""], ["x.png", "-o", " "]])
def test_empty_arguments_are_usage_errors(args, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["clean", "--crop", "none", *args])
    assert stop.value.code == 2
    assert "an empty name is no file or folder" in capsys.readouterr().err


def test_every_page_of_a_tiff_and_the_first_frame_of_an_animation(tmp_path, capsys):
    frames = [Image.fromarray(page(41 + 10 * i, band=5 + 40 * i)) for i in range(3)]
    frames[0].save(tmp_path / "scan.tif", save_all=True, append_images=frames[1:])
    frames[0].save(tmp_path / "moving.gif", save_all=True, append_images=frames[1:], duration=100)
    status, errors = clean(capsys, tmp_path / "scan.tif", tmp_path / "moving.gif", "-o", tmp_path / "out")
    assert status == 0
    assert errors == [f"vantrel: {tmp_path / 'moving.gif'}: an animation of 3 frames: only its first frame is cleaned"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "moving.png",
        "scan-p1.png",
        "scan-p2.png",
        "scan-p3.png",
    ]
    for i in range(3):
        with Image.open(tmp_path / "scan.tif") as tiff:
            tiff.seek(i)
            expected = vc.clean(np.asarray(tiff.convert("RGB")))
        np.testing.assert_array_equal(cleaned(tmp_path / "out" / f"scan-p{i + 1}.png"), expected)


def test_pdf_input_renders_every_page_at_its_scan_resolution(tmp_path, capsys):
    source = scanned_pdf(tmp_path / "scan.pdf", [page(400, 300), page(201, 101)], dpi=200)
    status, errors = clean(capsys, source, "-o", tmp_path / "out", "--pdf", tmp_path / "clean.pdf")
    assert (status, errors) == (0, [])
    assert cleaned(tmp_path / "out" / "scan-p1.png").shape == (149, 199, 3)  # the scan's own pixels, halved
    assert cleaned(tmp_path / "out" / "scan-p2.png").shape == (50, 100, 3)
    np.testing.assert_array_equal(cleaned(tmp_path / "out" / "scan-p1.png"), vc.clean(page(400, 300)))
    assert pdf_pages(tmp_path / "clean.pdf") == 2
    boxes = re.findall(rb"/MediaBox \[\s*0 0 ([\d.]+) ([\d.]+)", (tmp_path / "clean.pdf").read_bytes())
    sizes = [(round(float(w)), round(float(h))) for w, h in boxes]
    assert sizes == [(143, 107), (72, 36)]  # the pages of the scan, 144 x 108 and 72 x 36 points, to a pixel
    status, _ = clean(capsys, source, "-o", tmp_path / "low", "--dpi", "100")
    assert status == 0 and cleaned(tmp_path / "low" / "scan-p1.png").shape == (74, 99, 3)
    status, errors = clean(capsys, source, "-o", tmp_path / "limited", "--max-pixels", "100000")
    assert status == 1 and errors == [
        f"vantrel: {source} (page 1): at 200 dpi, 400x300 pixels (0.120 MP) is more than the limit of 0.100 MP "
        "(--max-pixels); choose a lower --dpi"
    ]
    folder = tmp_path / "folder"  # PDFs are found in folders too
    folder.mkdir()
    shutil.copy(source, folder / "scan.pdf")
    assert clean(capsys, folder, "-o", tmp_path / "from-folder") == (0, [])
    assert sorted(p.name for p in (tmp_path / "from-folder").iterdir()) == ["scan-p1.png", "scan-p2.png"]
    drawn = tmp_path / "drawn.pdf"  # a page without a scan: rendered at 300 dpi
    import pypdfium2

    document = pypdfium2.PdfDocument.new()
    document.new_page(72, 36)
    document.save(drawn)
    assert clean(capsys, drawn, "-o", tmp_path / "drawn") == (0, [])
    assert cleaned(tmp_path / "drawn" / "drawn.png").shape == (74, 149, 3)


def test_clean_file_takes_the_first_page_of_a_pdf(tmp_path):
    source = scanned_pdf(tmp_path / "scan.pdf", [page(400, 300), page(201, 101)], dpi=200)
    np.testing.assert_array_equal(cleaned(vc.clean_file(source, tmp_path / "first.png")), vc.clean(page(400, 300)))


def test_damaged_pdf_is_one_line(tmp_path, capsys):
    (tmp_path / "bad.pdf").write_bytes(b"%PDF-1.4\nnot really\n")
    status, errors = clean(capsys, tmp_path / "bad.pdf", "-o", tmp_path / "out")
    assert status == 1 and len(errors) == 1 and "bad.pdf: a PDF that cannot be read" in errors[0]


def test_folders_follow_natural_order(tmp_path, capsys):
    for n in (10, 2, 1, 33, 3):
        save(tmp_path / "in" / f"page{n}.png", page(41 + n))
    jobs, _ = vc.plan([tmp_path / "in"], tmp_path / "out")
    assert [j.source.name for j in jobs] == ["page1.png", "page2.png", "page3.png", "page10.png", "page33.png"]
    assert clean(capsys, tmp_path / "in", "--pdf", tmp_path / "all.pdf") == (0, [])
    widths = [int(w) for w in re.findall(rb"/Width (\d+)", (tmp_path / "all.pdf").read_bytes())]
    assert widths == [(41 + n - 1) // 2 for n in (1, 2, 3, 10, 33)]


def test_pixel_limit_is_ours_and_one_line(tmp_path, capsys, monkeypatch):
    save(tmp_path / "a.png", page(200, 100))
    save(tmp_path / "b.png", page(41, 29))
    status, errors = clean(
        capsys, tmp_path / "a.png", tmp_path / "b.png", "-o", tmp_path / "out", "--max-pixels", "5000"
    )
    assert status == 1
    assert errors == [
        f"vantrel: {tmp_path / 'a.png'}: 200x100 pixels (0.020 MP) is more than the limit of 0.005 MP (--max-pixels)"
    ]
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["b.png"]
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)  # Pillow's own limit no longer decides
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert clean(capsys, tmp_path / "a.png", "-o", tmp_path / "big", "--max-pixels", "1M") == (0, [])
    assert seen == [] and Image.MAX_IMAGE_PIXELS == 1000
    assert vc.default_max_pixels(1) >= vc.default_max_pixels(4) >= 16_000_000


def test_transparency_shows_white_paper_as_compositing_does():
    rgba = np.random.default_rng(3).integers(0, 256, (37, 53, 4), dtype=np.uint8)
    for image in (Image.fromarray(rgba), Image.fromarray(rgba[..., [0, 3]], "LA")):
        paper = Image.new("RGBA", image.size, (255, 255, 255, 255))
        expected = np.asarray(Image.alpha_composite(paper, image.convert("RGBA")).convert("RGB"))
        np.testing.assert_array_equal(np.asarray(vc.to_rgb(image)), expected, err_msg=image.mode)


# Outputs


@pytest.mark.parametrize(("fmt", "suffix", "side"), [("webp", ".webp", 16383), ("jpeg", ".jpg", 65500)])
def test_result_too_wide_for_its_format_is_one_line_and_the_batch_goes_on(tmp_path, fmt, suffix, side):
    save(tmp_path / "wide.png", page(2 * side + 3, 5))  # one pixel too wide once halved
    save(tmp_path / "fine.png")
    done = subprocess.run(
        [
            SCRIPT,
            "clean",
            "--crop",
            "none",
            tmp_path / "wide.png",
            tmp_path / "fine.png",
            "-o",
            tmp_path / "out",
            "--format",
            fmt,
            "-j1",
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [  # and no message of the encoder's own
        f"vantrel: {tmp_path / 'wide.png'}: cannot write {tmp_path / 'out' / ('wide' + suffix)}: {side + 1}x2 pixels "
        f"is larger than {fmt.upper()} stores ({side} pixels a side); write it as PNG"
    ]
    assert [p.name for p in (tmp_path / "out").iterdir()] == [f"fine{suffix}"]


def test_pdf_pages_too_small_or_too_thin(tmp_path, capsys):
    save(tmp_path / "narrow.png", page(21, 400))  # 10 pixels wide: the page is scaled up
    save(tmp_path / "thin.png", page(3, 60001))  # 1 x 30000 pixels: no PDF page holds it
    save(tmp_path / "long.png", page(60001, 21))  # 30000 x 10 pixels: the page is scaled down
    save(tmp_path / "fine.png")
    files = [tmp_path / n for n in ("narrow.png", "thin.png", "long.png", "fine.png")]
    status, errors = clean(capsys, *files, "--pdf", tmp_path / "all.pdf")
    assert status == 1
    assert errors == [
        f"vantrel: {files[1]}: left out of the PDF: 1x30000 pixels is too thin for a PDF page (sides of 3 to 14400 points)"
    ]
    assert pdf_pages(tmp_path / "all.pdf") == 3
    boxes = re.findall(rb"/MediaBox \[\s*0 0 ([\d.]+) ([\d.]+)", (tmp_path / "all.pdf").read_bytes())
    sides = [float(side) for box in boxes for side in box]
    assert min(sides) >= 3.0 and max(sides) <= 14400.0


def test_pdf_keeps_pages_whose_pictures_cannot_be_written(tmp_path, capsys):
    save(tmp_path / "in" / "a.png")
    save(tmp_path / "in" / "sub" / "b.png")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "sub").write_text("a file where a folder should be")
    status, errors = clean(capsys, tmp_path / "in", "-o", tmp_path / "out", "--pdf", tmp_path / "all.pdf")
    assert status == 1 and len(errors) == 1 and "sub/b.png: cannot write" in errors[0]
    assert pdf_pages(tmp_path / "all.pdf") == 2


def test_pdf_over_an_output_and_a_file_as_the_folder_are_refused(tmp_path, capsys):
    source = save(tmp_path / "a.png")
    for args in (["-o", tmp_path / "out", "--pdf", tmp_path / "out" / "a.png"], ["-o", source]):
        with pytest.raises(SystemExit) as stop:
            main(["clean", "--crop", "none", str(source), *map(str, args)])
        assert stop.value.code == 2
    err = capsys.readouterr().err
    assert "would overwrite one of the cleaned pictures" in err and "is a file, not a folder" in err
    assert not (tmp_path / "out").exists()


def test_longest_names_are_written(tmp_path, capsys):
    name = "n" * 251 + ".png"  # 255 bytes, the longest a folder holds
    save(tmp_path / "in" / name)
    assert clean(capsys, tmp_path / "in" / name, "-o", tmp_path / "out") == (0, [])
    assert [p.name for p in (tmp_path / "out").iterdir()] == [name]
    wide = "é" * 125 + ".png"  # a cut through a two-byte character
    save(tmp_path / "in" / wide)
    assert clean(capsys, tmp_path / "in" / wide, "-o", tmp_path / "out") == (0, [])


def test_files_pillow_cannot_decode_say_why(tmp_path, capsys):
    mpeg = tmp_path / "clip.mpg"
    mpeg.write_bytes(b"\x00\x00\x01\xb3\x02\x80\x1e\x00" + bytes(64))  # a sequence header, 40 x 30
    status, errors = clean(capsys, mpeg, "-o", tmp_path / "out")
    assert status == 1 and errors == [f"vantrel: {mpeg}: Pillow identifies it as MPEG but cannot decode it"]
    if shutil.which("gs") is None:
        eps = tmp_path / "drawing.eps"
        Image.fromarray(page()).save(eps.with_suffix(".png"))
        eps.write_bytes(b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 41 29\nshowpage\n")
        status, errors = clean(capsys, eps, "-o", tmp_path / "out")
        assert status == 1 and errors == [
            f"vantrel: {eps}: an EPS file is drawn by Ghostscript, which is not installed"
        ]
    jobs, _ = vc.plan([tmp_path], None)
    assert mpeg not in [j.source for j in jobs]  # videos are not searched for in folders


def test_library_warnings_stay_off_stderr(tmp_path):
    exif = Image.Exif()
    exif[0x0112] = 1
    good = io.BytesIO()
    Image.fromarray(page()).save(good, "JPEG", exif=exif.tobytes())
    data = good.getvalue()
    start = data.index(b"Exif\x00\x00")
    broken = data[: start + 6] + b"\xff" * 20 + data[start + 26 :]  # a damaged EXIF block
    (tmp_path / "exif.jpg").write_bytes(broken)
    done = subprocess.run(
        [SCRIPT, "clean", "--crop", "none", tmp_path / "exif.jpg", "-o", tmp_path / "out"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (0, "")


# API arguments


def test_api_arguments_are_checked(tmp_path):
    source = save(tmp_path / "a.png")
    for quality, error in [(0, ValueError), (500, ValueError), (-3, ValueError), (True, TypeError), (9.5, TypeError)]:
        with pytest.raises(error, match="quality"):
            vc.clean_file(source, tmp_path / "q.jpg", quality=quality)
    with pytest.raises(ValueError, match="x.png names a png file, but fmt is jpeg"):
        vc.clean_file(source, tmp_path / "x.png", fmt="jpeg")
    with pytest.raises(
        TypeError, match=r"options must be a CleanOptions, not str; for a style, pass CleanOptions\(style='bw'\)"
    ):
        vc.clean(page(), "bw")
    with pytest.raises(TypeError, match="even_background must be True or False"):
        vc.CleanOptions(even_background="no")
    with pytest.raises(IsADirectoryError, match=r"the output is a folder") as raised:
        vc.clean_file(source, tmp_path)
    assert ".part" not in str(raised.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.png"]  # nothing written by a refused call
    with pytest.raises(ValueError, match="timeout"):
        vc.run([], timeout=0)
    assert vc.CleanOptions(exact_black=np.bool_(False)).exact_black is False


def test_version_of_the_command_and_the_package(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out.strip() == f"vantrel {vc.__version__}"
    assert re.fullmatch(r"\d+\.\d+\.\d+.*", vc.__version__)
