"""The quality benchmark's truth, scorer and baseline cleaners: a scorer that cannot fail, or
pages whose truth is wrong, would make every figure of the benchmark meaningless."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

import sanity_cleaners  # noqa: E402
import scoring  # noqa: E402
import truth_pages  # noqa: E402
from truth_pages import BLACK, EDGE, INKS, PAPER, SHOW, Stroke, Truth  # noqa: E402


@pytest.fixture(scope="module")
def page() -> truth_pages.Page:
    return truth_pages.make_page(truth_pages.TUNING_KINDS[1], 1101, 1200, 850)  # a page of the quick tuning set


def hand_truth(strokes: list[tuple[Stroke, tuple[slice, slice]]], shape: tuple[int, int] = (40, 60)) -> Truth:
    labels = np.full(shape, PAPER, np.uint8)
    ids = np.zeros(shape, np.int32)
    for stroke, where in strokes:
        labels[where] = stroke.ink
        ids[where] = stroke.id
    return Truth(labels, ids, [stroke for stroke, _ in strokes])


def white(shape: tuple[int, int]) -> np.ndarray:
    return np.full((*shape, 3), 255, np.uint8)


def test_truth_pages_every_ink_pixel_has_its_stroke(page: truth_pages.Page) -> None:
    ink = np.isin(page.labels, INKS)
    assert ink.any() and (page.labels == SHOW).any()
    assert np.array_equal(ink, page.stroke_ids > 0)
    by_id = {stroke.id: stroke for stroke in page.strokes}
    for stroke_id in np.unique(page.stroke_ids[ink]):
        stroke = by_id[int(stroke_id)]
        assert np.all(page.labels[page.stroke_ids == stroke_id] == stroke.ink)
        assert truth_pages.MIN_CONTRAST <= stroke.contrast <= 1
    kinds = {stroke.kind for stroke in page.strokes}
    assert {"pen", "pencil", "line", "qr", "box", "bar", "band"} <= kinds


def test_truth_pages_contrast_spread_over_every_band(page: truth_pages.Page) -> None:
    contrasts = [stroke.contrast for stroke in page.strokes]
    for low, high in scoring.BANDS:
        assert any(low <= c < high for c in contrasts), (low, high)


def test_truth_pages_written_and_read_back(page: truth_pages.Page, tmp_path: Path) -> None:
    page.name = "page"
    path = truth_pages.write_page(page, tmp_path)
    truth = truth_pages.read_truth(path)
    assert np.array_equal(truth.labels, page.labels)
    assert np.array_equal(truth.stroke_ids, page.stroke_ids)
    assert truth.strokes == page.strokes


def test_truth_pages_sets_differ_in_kinds_and_seeds() -> None:
    (tuning, tuning_seeds), (test, test_seeds) = truth_pages.SETS["tuning"], truth_pages.SETS["test"]
    assert not {k.name for k in tuning} & {k.name for k in test}
    assert not set(tuning) & set(test)
    assert not set(tuning_seeds) & set(test_seeds)


def test_scoring_truth_scores_full_marks(page: truth_pages.Page) -> None:
    truth = Truth(page.labels, page.stroke_ids.astype(np.int32), page.strokes)
    metrics = scoring.score(truth_pages.render_truth(page.labels), truth).metrics()
    for name, value in metrics.items():
        if name not in ("rules_dark",) and not math.isnan(value):
            assert value == pytest.approx(1.0), name


def test_scoring_blank_output_finds_no_ink(page: truth_pages.Page) -> None:
    truth = Truth(page.labels, page.stroke_ids.astype(np.int32), page.strokes)
    metrics = scoring.score(white(page.labels.shape), truth).metrics()
    assert metrics["recall"] == 0 and metrics["filled"] == 0
    assert math.isnan(metrics["black_dark"]) or metrics["black_dark"] == 0
    assert all(metrics[f"recall_band{n}"] == 0 for n in range(len(scoring.BANDS)))
    assert metrics["paper_clean"] == 1 and metrics["show_removed"] == 1


def test_scoring_recall_by_band_of_stroke_contrast() -> None:
    faint = Stroke(1, "pencil", BLACK, 2, False, False, 0.1, contrast=0.05)
    strong = Stroke(2, "pen", BLACK, 2, False, True, 1.0, contrast=0.5)
    truth = hand_truth([(faint, np.s_[5:8, 5:50]), (strong, np.s_[20:23, 5:50])])
    output = white(truth.labels.shape)
    output[20:23, 5:50] = 0
    counts = scoring.score(output, truth)
    metrics = counts.metrics()
    assert metrics["recall_band0"] == 0 and metrics["recall_band3"] == 1
    assert math.isnan(metrics["recall_band1"])
    assert [(round(c, 3), r) for c, r, _ in counts.recall_curve()] == [(0.075, 0.0), (0.525, 1.0)]


def test_scoring_a_stroke_drawn_in_two_tones_is_half_consistent() -> None:
    stroke = Stroke(1, "pen", BLACK, 3, False, True, 1.0, contrast=0.8)
    truth = hand_truth([(stroke, np.s_[10:13, 0:40])])
    output = white(truth.labels.shape)
    output[10:13, 0:20] = 0
    output[10:13, 20:40] = 160  # grey: ink, but not dark
    metrics = scoring.score(output, truth).metrics()
    assert metrics["recall"] == 1
    assert metrics["consistency"] == pytest.approx(0.5)
    assert metrics["black_dark"] == pytest.approx(0.5)


def test_scoring_a_hollowed_box_is_not_filled() -> None:
    box = Stroke(1, "box", BLACK, 30, True, True, 1.0, contrast=0.9)
    truth = hand_truth([(box, np.s_[5:35, 10:40])])
    frame = white(truth.labels.shape)
    frame[5:35, 10:40] = 0
    frame[8:32, 13:37] = 255  # a frame 3 px wide: nothing of the interior is left
    metrics = scoring.score(frame, truth).metrics()
    assert metrics["filled"] == 0
    assert math.isnan(metrics["recall_band3"])  # filled shapes are scored on their interior only


def test_scoring_accepts_a_half_size_output() -> None:
    stroke = Stroke(1, "marker", BLACK, 8, False, True, 1.0, contrast=0.9)
    truth = hand_truth([(stroke, np.s_[8:16, 0:60])])
    truth.labels[16:18] = EDGE
    half = white((20, 30))
    half[4:8] = 0
    assert scoring.score(half, truth).metrics()["f1"] == 1


def test_otsu_level_separates_two_levels() -> None:
    grey = np.full((50, 50), 230.0)
    grey[20:30] = 60
    assert 60 <= sanity_cleaners.otsu_level(grey) < 230


def test_sauvola_finds_a_faint_stroke_under_uneven_light() -> None:
    light = np.linspace(120, 240, 200)[None, :].repeat(120, axis=0)
    grey = light.copy()
    grey[60:63, 10:190] *= 0.6
    ink = sanity_cleaners.sauvola_ink(grey)
    assert ink[60:63, 10:190].mean() > 0.95
    assert ink[:50].mean() < 0.01
