"""Finding the page, or a board's writing surface, in a photo: four corners and a confidence.

On a small copy of the photo (native: block averages, the colour gradient, votes for straight
edges), the strongest lines are paired into quads; a quad scores by how much of its outline is
an edge seen along its whole length, and loses where the band just inside a side does not look
like the page's middle (a board's frame or marker tray inside the quad) or where ink lies just
outside it (a quad that would cut ink off). The winner's sides are fitted to their edge pixels
for sub-pixel corners, which may lie outside the photo."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image

from . import _steps
from .options import Corners
from .rectification import as_corners, page_aspect

#: The long side of the small copy the detection works on, at most.
DETECT_SIDE = 720
#: A quad is taken when its confidence reaches this; else the whole photo is the page.
MIN_CONFIDENCE = 0.55
#: Lines considered for the quads, and at most this many of them in any one direction (8 degrees).
MAX_LINES = 36
PER_DIRECTION = 8
#: A quad is refused when more than this share of the band just outside a side is ink on paper.
INK_LIMIT = 0.04
#: Pictures with a shorter side than this (in pixels of the small copy) are not searched.
MIN_SIDE = 64

RGBArray = npt.NDArray[np.uint8]
#: A picture's samples as the native steps read them: an array, or a Pillow image's Arrow export.
Samples = RGBArray | tuple[object, object]
FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Detection:
    """The page found in a photo: corners TL, TR, BR, BL in the photo's pixels (after its EXIF
    orientation; they may lie outside it), the confidence (0 to 1), and the page's width over
    height. When found is False the corners are the whole photo's."""

    found: bool
    corners: Corners
    confidence: float
    aspect: float


def whole_photo(width: int, height: int) -> Corners:
    return ((0.0, 0.0), (width - 1.0, 0.0), (width - 1.0, height - 1.0), (0.0, height - 1.0))


def exif_focal_35mm(image: Image.Image) -> float | None:
    """The photo's focal length as a 35 mm equivalent (FocalLengthIn35mmFilm), if it says."""
    try:
        value = image.getexif().get_ifd(0x8769).get(0xA405)
        focal = float(value) if value is not None else 0.0
    except (TypeError, ValueError, OSError):
        return None
    return focal if 5.0 <= focal <= 1000.0 else None


def detect(picture: object, *, focal_35mm: float | None = None) -> Detection:
    """Finds the page or board in a picture: a path, a Pillow image (EXIF orientation honoured)
    or an H x W x 3 uint8 array. focal_35mm overrides the photo's EXIF focal length.

    Raises PictureError for a file that cannot be read, PictureTooSmall below 3 x 3 pixels,
    TypeError or ValueError for other objects and arrays of the wrong shape or type."""
    from .background import as_rgb_array
    from .pictures import read_picture, to_rgb

    if isinstance(picture, (str, os.PathLike)):
        picture = read_picture(Path(picture))
    if isinstance(picture, Image.Image):
        image = to_rgb(picture)
        return find_page(image, image.width, image.height, focal_35mm or exif_focal_35mm(picture))
    samples = as_rgb_array(picture)
    return find_page(samples, samples.shape[1], samples.shape[0], focal_35mm)


def detect_array(samples: RGBArray, focal_35mm: float | None = None) -> Detection:
    """detect() of an H x W x 3 uint8 array."""
    return find_page(np.ascontiguousarray(samples), samples.shape[1], samples.shape[0], focal_35mm)


def find_page(source: Samples | Image.Image, width: int, height: int, focal_35mm: float | None = None) -> Detection:
    """The page in a width x height picture, given as background.samples_of gives it or as a Pillow
    RGB image (shrunk by Pillow itself, which reads an image in any number of blocks)."""
    from .road import check_size

    check_size(width, height)
    factor = max(1, math.ceil(max(width, height) / DETECT_SIDE))
    # A long thin picture would shrink to almost nothing across: it is not searched.
    found = find_quad(SmallCopy.of(source, width, height, factor)) if min(width, height) // factor >= MIN_SIDE else None
    if found is None:
        corners, confidence = whole_photo(width, height), 0.0
    else:
        corners_small, confidence = found
        # Small pixel i covers photo pixels i * factor to (i + 1) * factor - 1.
        corners = as_corners(corners_small * factor + (factor - 1) / 2.0)
    if found is None or confidence < MIN_CONFIDENCE:
        whole = whole_photo(width, height)
        return Detection(False, whole, round(confidence, 3), width / height)
    return Detection(True, corners, round(confidence, 3), page_aspect(corners, width, height, focal_35mm))


@dataclass
class SmallCopy:
    """The small copy of a photo and its colour gradient."""

    rgb: npt.NDArray[np.float32]  # h x w x 3
    gx: npt.NDArray[np.float32]
    gy: npt.NDArray[np.float32]

    @classmethod
    def of(cls, source: Samples | Image.Image, width: int, height: int, factor: int) -> SmallCopy:
        if isinstance(source, Image.Image):  # block averages as well, the last partial ones kept
            rgb = np.ascontiguousarray(np.asarray(source.reduce(factor) if factor > 1 else source), np.float32)
            h, w = rgb.shape[:2]
        else:
            w, h = width // factor, height // factor
            shrunk = _steps.shrink_for_detection(source, width, height, factor)
            rgb = np.frombuffer(shrunk, np.float32).reshape(h, w, 3)
        gx, gy = _steps.colour_gradients(rgb, w, h)
        return cls(rgb, np.frombuffer(gx, np.float32).reshape(h, w), np.frombuffer(gy, np.float32).reshape(h, w))

    @property
    def width(self) -> int:
        return int(self.rgb.shape[1])

    @property
    def height(self) -> int:
        return int(self.rgb.shape[0])


@dataclass
class Lines:
    """Straight edges as normals (cos, sin of theta in 0 to 180 degrees) and distances rho:
    the line is x cos + y sin = rho."""

    theta: FloatArray
    rho: FloatArray
    votes: FloatArray


ANGLE_BINS = 360


def strongest_lines(small: SmallCopy, count: int = MAX_LINES) -> Lines:
    """The count strongest straight edges, each a local peak of the votes."""
    w, h = small.width, small.height
    votes = np.frombuffer(_steps.vote_lines(small.gx, small.gy, w, h, ANGLE_BINS, 3, 3.0, 30.0), np.float32)
    votes = votes.reshape(ANGLE_BINS, -1)
    # Fold the two polarities of a line (theta and theta + 180 degrees at -rho) into one.
    half = ANGLE_BINS // 2
    folded = votes[:half] + votes[half:, ::-1]
    diagonal = (folded.shape[1] - 1) // 2
    # Peaks: the largest in a window of +-3 degrees and +-3 rho bins (theta wraps with -rho;
    # a board's edge and its tray's, 5 pixels apart, are two peaks),
    # by a separable maximum.
    across = folded.copy()
    for dr in range(1, 4):
        across[:, dr:] = np.maximum(across[:, dr:], folded[:, :-dr])
        across[:, :-dr] = np.maximum(across[:, :-dr], folded[:, dr:])
    padded = np.concatenate([across[-3:, ::-1], across, across[:3, ::-1]])
    window = padded[3 : 3 + half].copy()
    for dt in range(1, 4):
        np.maximum(window, padded[3 - dt : 3 - dt + half], out=window)
        np.maximum(window, padded[3 + dt : 3 + dt + half], out=window)
    peak = folded >= window
    floor = 0.08 * min(w, h) * 4.0  # an edge of 8 % of the short side, faint (white on white)
    peak &= folded > floor
    t, r = np.nonzero(peak)
    strength = folded[t, r]
    order = np.argsort(-strength)
    # The strongest first, but at most PER_DIRECTION lines within 8 degrees of each other, so
    # that ruled lines or lines of writing cannot crowd out the page's sides.
    kept: list[int] = []
    for index in order:
        near = np.abs((t[kept] - t[index] + half // 2) % half - half // 2) <= 8 if kept else np.zeros(0, bool)
        if near.sum() < PER_DIRECTION:
            kept.append(int(index))
            if len(kept) == count:
                break
    t, r, strength = t[kept], r[kept], strength[kept]
    theta = t.astype(np.float64) * (2 * math.pi / ANGLE_BINS)
    return Lines(theta, (r - diagonal).astype(np.float64), strength.astype(np.float64))


#: How far (pixels of the small copy) from a voted line its edge pixels are looked for, and the
#: largest turn (degrees) a fit may give it: the votes' bins are a degree wide.
FIT_REACH = 2.0
FIT_TURN = 0.75
FIT_GAIN = 1.1


def fit_lines(small: SmallCopy, lines: Lines) -> Lines:
    """The lines moved and turned onto the edge pixels near them: at every point along a line, the
    offset across it where the gradient across is strongest, and a straight fit of those offsets
    weighted by that gradient. A side half a degree off its bin otherwise follows its edge over
    only part of its length, and a long faint side (a board's frame on a light wall) loses its
    support."""
    w, h = small.width, small.height
    positions = np.arange(-w - 2.0, h + 2.0, 1.0)
    offsets = np.arange(-FIT_REACH, FIT_REACH + 0.25, 0.5)
    cos, sin = np.cos(lines.theta)[:, None, None], np.sin(lines.theta)[:, None, None]
    xs = lines.rho[:, None, None] * cos - positions[None, :, None] * sin + offsets[None, None, :] * cos
    ys = lines.rho[:, None, None] * sin + positions[None, :, None] * cos + offsets[None, None, :] * sin
    inside = ((xs >= 1) & (ys >= 1) & (xs <= w - 2) & (ys <= h - 2)).all(axis=2)
    xi = np.clip(np.rint(xs), 0, w - 1).astype(np.intp)
    yi = np.clip(np.rint(ys), 0, h - 1).astype(np.intp)
    gx, gy = small.gx[yi, xi], small.gy[yi, xi]
    across = gx * cos + gy * sin
    # One polarity a line: the sign the line's own edge has most along it.
    across *= np.sign((across * inside[:, :, None]).sum(axis=(1, 2)))[:, None, None]
    across = np.where(across > 0.85 * np.hypot(gx, gy), across, 0.0)
    # At each point the edge nearest the line (a peak across it), not the strongest within
    # reach: a tray's or frame's darker edge a few pixels off would pull the side onto itself.
    padded = np.pad(across, ((0, 0), (0, 0), (1, 1)))
    peak = (across >= 3.0) & (across >= padded[:, :, :-2]) & (across >= padded[:, :, 2:])
    distance = np.where(peak, np.abs(offsets)[None, None, :], np.inf)
    nearest = distance.argmin(axis=2)
    weight = np.take_along_axis(across, nearest[:, :, None], axis=2)[:, :, 0] * inside
    weight = np.where(np.isfinite(distance.min(axis=2)), weight, 0.0)
    offset = offsets[nearest]
    theta, rho = lines.theta.copy(), lines.rho.copy()
    for k in range(len(theta)):
        chosen = weight[k] > 0
        if chosen.sum() < 0.05 * min(w, h):
            continue
        p, o, wk = positions[chosen], offset[k][chosen], weight[k][chosen]
        fitted = straight_fit(p, o, wk)
        if fitted is None:
            continue
        # Again without the points of a neighbouring edge that the reach took in.
        near = np.abs(o - fitted[0] - fitted[1] * p) <= 1.0
        fitted = straight_fit(p[near], o[near], wk[near]) if near.sum() >= 0.05 * min(w, h) else None
        if fitted is None:
            continue
        level, slope = fitted
        ends = level + slope * np.array([p[near].min(), p[near].max()])
        if abs(math.degrees(math.atan(slope))) > FIT_TURN or np.abs(ends).max() > FIT_REACH:
            continue  # the fit has left the voted line: another edge, not this one's own
        # Offsets o = level + slope * p: the normal turns by -atan(slope).
        turned = theta[k] - math.atan(slope)
        moved = (rho[k] + level) / math.hypot(1.0, slope)
        if turned < 0:
            turned, moved = turned + math.pi, -moved
        elif turned >= math.pi:
            turned, moved = turned - math.pi, -moved
        theta[k], rho[k] = turned, moved
    # A fit is kept only where the line it gives is clearly more of an edge than the voted one
    # (a side that followed its edge over only part of its length), not for a shift of a pixel.
    better = edge_support(small, theta, rho) > FIT_GAIN * edge_support(small, lines.theta, lines.rho)
    theta, rho = np.where(better, theta, lines.theta), np.where(better, rho, lines.rho)
    # Two voted lines fitted onto the same edge are one line: the stronger (earlier) is kept, so
    # that copies of one quad do not crowd the others out of the few judged.
    kept: list[int] = []
    for k in range(len(theta)):
        if not any(abs(theta[k] - theta[j]) < 0.01 and abs(rho[k] - rho[j]) < 1.5 for j in kept):
            kept.append(k)
    return Lines(theta[kept], rho[kept], lines.votes[kept])


def edge_support(small: SmallCopy, theta: FloatArray, rho: FloatArray) -> FloatArray:
    """How much of each line is an edge across it, as EdgeProfiles counts it (the best of three
    offsets a point, the gradient across over 6, saturated), summed along the line."""
    w, h = small.width, small.height
    positions = np.arange(-w - 2.0, h + 2.0, 1.0)
    cos, sin = np.cos(theta)[:, None], np.sin(theta)[:, None]
    xs = rho[:, None] * cos - positions[None, :] * sin
    ys = rho[:, None] * sin + positions[None, :] * cos
    inside = (xs >= 1) & (ys >= 1) & (xs <= w - 2) & (ys <= h - 2)
    strength = np.zeros(xs.shape)
    for offset in (-1.0, 0.0, 1.0):
        xi = np.clip(np.rint(xs + offset * cos), 0, w - 1).astype(np.intp)
        yi = np.clip(np.rint(ys + offset * sin), 0, h - 1).astype(np.intp)
        gx, gy = small.gx[yi, xi], small.gy[yi, xi]
        along = np.abs(gx * cos + gy * sin)
        value = np.clip(along / 6.0, 0, 1) * (along > 0.85 * np.hypot(gx, gy))
        strength = np.maximum(strength, value)
    result: FloatArray = (strength * inside).sum(axis=1)
    return result


def straight_fit(x: FloatArray, y: FloatArray, weight: FloatArray) -> tuple[float, float] | None:
    """The weighted least-squares line y = level + slope x, as (level, slope); None when x does
    not vary."""
    mean_x = float((x * weight).sum() / weight.sum())
    spread = float((weight * (x - mean_x) ** 2).sum())
    if spread <= 0:
        return None
    slope = float((weight * (x - mean_x) * y).sum() / spread)
    return float((y * weight).sum() / weight.sum()) - slope * mean_x, slope


def intersect(theta1: FloatArray, rho1: FloatArray, theta2: FloatArray, rho2: FloatArray) -> FloatArray:
    """The points where lines meet (N x 2); lines nearly parallel give far-away points."""
    c1, s1, c2, s2 = np.cos(theta1), np.sin(theta1), np.cos(theta2), np.sin(theta2)
    det = c1 * s2 - s1 * c2
    det = np.where(np.abs(det) < 1e-9, 1e-9, det)
    x = (rho1 * s2 - rho2 * s1) / det
    y = (c1 * rho2 - c2 * rho1) / det
    return np.stack([x, y], axis=-1)


class EdgeProfiles:
    """How strongly each line is a page's edge at every point along it, summed for fast means
    over any stretch. A point counts as much as the gradient across the line there, and less
    where the band just inside (2 pixels from the line) differs from the band further in (10
    pixels) by being darker: a board's frame or a tray seen from its outer edge. The inside is either side of
    the line, so both are kept. Positions run along the line's direction (-sin, cos) from its
    point nearest the origin."""

    STEP = 1.0
    NEAR, FAR = 2.0, 10.0

    def __init__(self, small: SmallCopy, lines: Lines) -> None:
        w, h = small.width, small.height
        # Every point of the picture lies between positions -w and h (theta is 0 to 180 degrees);
        # beyond, a line is outside and adds nothing, so positions there are clipped to the ends.
        self.start = -w - 2.0
        positions = np.arange(self.start, h + 2.0 + self.STEP, self.STEP)
        self.count = len(positions)
        cos, sin = np.cos(lines.theta)[:, None], np.sin(lines.theta)[:, None]
        xs = lines.rho[:, None] * cos - positions[None, :] * sin
        ys = lines.rho[:, None] * sin + positions[None, :] * cos
        inside = (xs >= 1) & (ys >= 1) & (xs <= w - 2) & (ys <= h - 2)
        strength = np.zeros(xs.shape)
        magnitude = np.hypot(small.gx, small.gy)
        for offset in (-1.0, 0.0, 1.0):  # the line may be a pixel off: the best of three
            xi = np.clip(np.rint(xs + offset * cos), 0, w - 1).astype(np.intp)
            yi = np.clip(np.rint(ys + offset * sin), 0, h - 1).astype(np.intp)
            along = np.abs(small.gx[yi, xi] * cos + small.gy[yi, xi] * sin)
            # Edge strength counts only where the gradient is across the line.
            aligned = along / np.maximum(magnitude[yi, xi], 1e-6)
            value = np.clip(along / 6.0, 0, 1) * (aligned > 0.85)
            strength = np.maximum(strength, value)
        strength *= inside

        lightness = small.rgb.mean(axis=-1)  # gathered once a pixel instead of three times

        def level(offset: float) -> npt.NDArray[np.float32]:
            xi = np.clip(np.rint(xs + offset * cos), 0, w - 1).astype(np.intp)
            yi = np.clip(np.rint(ys + offset * sin), 0, h - 1).astype(np.intp)
            return lightness[yi, xi]  # type: ignore[no-any-return]

        zero = np.zeros((len(lines.theta), 1))
        self.sums = []  # per side of the line (+normal, -normal): the cumulative page-edge strength
        for sign in (1.0, -1.0):
            # A frame or tray is darker than the surface beyond it; ink further in is darker
            # than the band near the side and is no frame.
            beyond = np.maximum(level(sign * self.FAR), level(sign * 2 * self.FAR))
            darker = beyond - level(sign * self.NEAR)
            alike = 1.0 - np.clip((darker - 10.0) / 20.0, 0, 1)
            self.sums.append(np.concatenate([zero, np.cumsum(strength * alike, axis=1)], axis=1))
        self.inside_sums = np.concatenate([zero, np.cumsum(inside, axis=1)], axis=1)

    def index(self, position: FloatArray) -> npt.NDArray[np.intp]:
        return np.clip(np.rint((position - self.start) / self.STEP), 0, self.count - 1).astype(np.intp)

    def support(
        self, line: npt.NDArray[np.intp], a: FloatArray, b: FloatArray, positive_inside: npt.NDArray[np.bool_]
    ) -> tuple[FloatArray, FloatArray]:
        """The summed page-edge strength along lines between positions a and b, with the page on
        the side of the normal (positive_inside) or the other, and the length inside the picture."""
        lo, hi = self.index(np.minimum(a, b)), self.index(np.maximum(a, b))
        plus = self.sums[0][line, hi] - self.sums[0][line, lo]
        minus = self.sums[1][line, hi] - self.sums[1][line, lo]
        inside = self.inside_sums[line, hi] - self.inside_sums[line, lo]
        return np.where(positive_inside, plus, minus), inside * self.STEP


def position_along(theta: FloatArray, points: FloatArray) -> FloatArray:
    """The position of points on lines of normal theta, along the line's direction (-sin, cos)."""
    return -points[..., 0] * np.sin(theta) + points[..., 1] * np.cos(theta)


def candidate_quads(small: SmallCopy, lines: Lines) -> tuple[npt.NDArray[np.intp], FloatArray]:
    """Every quad of two pairs of roughly opposite lines: the four line indexes (top, right,
    bottom, left in order around the quad) and the corners (N x 4 x 2), in convex quads of a
    sensible size whose corners lie not too far outside the picture."""
    w, h = small.width, small.height
    n = len(lines.theta)
    theta = lines.theta % math.pi
    i, j = np.triu_indices(n, 1)
    difference = np.abs(theta[i] - theta[j])
    difference = np.minimum(difference, math.pi - difference)
    # Distance between the two lines at the picture's centre, along the first's normal.
    centre = np.array([w / 2.0, h / 2.0])
    offset_i = centre[0] * np.cos(lines.theta[i]) + centre[1] * np.sin(lines.theta[i]) - lines.rho[i]
    offset_j = centre[0] * np.cos(lines.theta[j]) + centre[1] * np.sin(lines.theta[j]) - lines.rho[j]
    same = np.cos(lines.theta[i] - lines.theta[j]) > 0
    gap = np.abs(offset_i - np.where(same, offset_j, -offset_j))
    keep = (difference < math.radians(40)) & (gap > 0.12 * min(w, h))
    pairs = np.stack([i[keep], j[keep]], axis=1)
    if len(pairs) < 2:
        return np.zeros((0, 4), np.intp), np.zeros((0, 4, 2))
    direction = theta[pairs[:, 0]]  # the pair's lines are within 40 degrees: enough to tell crossing pairs
    a, b = np.triu_indices(len(pairs), 1)
    crossing = np.abs(np.sin(direction[a] - direction[b])) > math.sin(math.radians(35))
    a, b = a[crossing], b[crossing]
    first, second = pairs[a], pairs[b]
    # Lines in quad order: first[0], second[0], first[1], second[1]; corners where neighbours meet.
    order = np.stack([first[:, 0], second[:, 0], first[:, 1], second[:, 1]], axis=1)
    t, r = lines.theta[order], lines.rho[order]
    corners = np.stack([intersect(t[:, k], r[:, k], t[:, (k + 1) % 4], r[:, (k + 1) % 4]) for k in range(4)], axis=1)
    edges = np.roll(corners, -1, axis=1) - corners
    turns = edges[:, :, 0] * np.roll(edges, -1, axis=1)[:, :, 1] - edges[:, :, 1] * np.roll(edges, -1, axis=1)[:, :, 0]
    convex = (turns > 0).all(axis=1) | (turns < 0).all(axis=1)
    margin_x, margin_y = 0.35 * w, 0.35 * h
    near = (
        (corners[:, :, 0] > -margin_x)
        & (corners[:, :, 0] < w + margin_x)
        & (corners[:, :, 1] > -margin_y)
        & (corners[:, :, 1] < h + margin_y)
    ).all(axis=1)
    x, y = corners[:, :, 0], corners[:, :, 1]
    area = 0.5 * np.abs((x * np.roll(y, -1, axis=1) - y * np.roll(x, -1, axis=1)).sum(axis=1))
    sized = (area > 0.04 * w * h) & (area < 2.0 * w * h)
    # Sides no shorter than a tenth of the short side.
    lengths = np.hypot(edges[:, :, 0], edges[:, :, 1])
    sized &= lengths.min(axis=1) > 0.1 * min(w, h)
    keep = convex & near & sized
    return order[keep], corners[keep]


def edge_scores(profiles: EdgeProfiles, lines: Lines, order: npt.NDArray[np.intp], corners: FloatArray) -> FloatArray:
    """Per quad and side (N x 4): the supported length, the visible length and the whole length."""
    theta = lines.theta[order]
    # Side k lies on line k, from the corner it shares with line k - 1 to the one with line k + 1.
    start = position_along(theta, np.roll(corners, 1, axis=1))
    end = position_along(theta, corners)
    centre = corners.mean(axis=1, keepdims=True)
    towards = (centre[..., 0] * np.cos(theta) + centre[..., 1] * np.sin(theta)) > lines.rho[order]
    strength, visible = profiles.support(order, start, end, towards)
    length = np.abs(end - start)
    return np.stack([strength, visible, length], axis=-1)


def outline_score(sides: FloatArray) -> FloatArray:
    """Supported length, minus the visible length that is no edge, over the picture's scale."""
    strength, visible = sides[..., 0], sides[..., 1]
    result: FloatArray = (2 * strength - visible).sum(axis=-1)
    return result


def band_samples(small: SmallCopy, corners: FloatArray, inside: float, count: int = 24) -> FloatArray:
    """Colours (4 x count x 3) at count points along each side, moved by inside pixels towards
    the quad's centre (negative: away from it); NaN outside the picture."""
    centre = corners.mean(axis=0)
    ends = np.roll(corners, -1, axis=0)
    steps = (np.arange(count) + 0.5) / count
    points = corners[:, None, :] + (ends - corners)[:, None, :] * steps[None, :, None]
    direction = ends - corners
    normal = np.stack([-direction[:, 1], direction[:, 0]], axis=1)
    normal /= np.maximum(np.linalg.norm(normal, axis=1, keepdims=True), 1e-9)
    towards = np.sign(((centre - corners) * normal).sum(axis=1, keepdims=True))
    normal *= towards
    points = points + normal[:, None, :] * inside
    xi, yi = np.rint(points[..., 0]).astype(np.intp), np.rint(points[..., 1]).astype(np.intp)
    valid = (xi >= 0) & (yi >= 0) & (xi < small.width) & (yi < small.height)
    colours = small.rgb[np.clip(yi, 0, small.height - 1), np.clip(xi, 0, small.width - 1)].astype(np.float64)
    colours[~valid] = np.nan
    return colours


def interior_colour(small: SmallCopy, corners: FloatArray, grid_size: int = 9) -> FloatArray:
    """The median colour of a grid of points inside the quad (its middle two thirds); corners
    may be one quad (4 x 2) or many (N x 4 x 2)."""
    grid = (np.arange(grid_size) + 0.5) / grid_size * 0.66 + 0.17
    u, v = np.meshgrid(grid, grid)
    u, v = u.ravel()[:, None], v.ravel()[:, None]
    quads = corners.reshape(-1, 4, 2)[:, None, :, :]
    tl, tr, br, bl = quads[..., 0, :], quads[..., 1, :], quads[..., 2, :], quads[..., 3, :]
    points = (1 - u) * (1 - v) * tl + u * (1 - v) * tr + u * v * br + (1 - u) * v * bl
    xi = np.clip(np.rint(points[..., 0]), 0, small.width - 1).astype(np.intp)
    yi = np.clip(np.rint(points[..., 1]), 0, small.height - 1).astype(np.intp)
    result: FloatArray = np.median(small.rgb[yi, xi].astype(np.float64), axis=1)
    return result[0] if corners.ndim == 2 else result


#: Distances (pixels of the small copy) of the bands outside a side searched for ink.
OUTSIDE_BANDS = (3.0, 6.0, 10.0, 15.0, 20.0)
#: A sample outside a side is a mark on the paper when it is darker than this share of the paper
#: just inside.
MARK_SHADE = 0.85
PAPER_NEAR = 0.12
PAPER_LIGHTER = 1.6
#: A quad is refused when more than this share of the points along a side has writing outside.
WRITING_LIMIT = 0.12
#: A quad that keeps more than the best one, with a score at least this share of the best's, is
#: taken instead.
NEAR_TIE = 0.97


def ink_outside(small: SmallCopy, corners: FloatArray) -> float:
    """The share of points just outside the quad's sides that look like ink on the same paper:
    where the band outside is paper coloured like the middle, with dark marks in it."""
    middle = interior_colour(small, corners)
    paper = float(middle.mean())
    worst = 0.0
    for side in range(4):
        marks = 0
        papers = 0
        total = 0
        for outside in OUTSIDE_BANDS:
            band = band_samples(small, corners, -outside, count=48)[side]
            valid = ~np.isnan(band[:, 0])
            level = band[valid].mean(axis=1)
            total += int(valid.sum())
            papers += int((np.abs(level - paper) < 18).sum())
            marks += int((level < paper - 70).sum())
        if total and papers > 0.5 * total:
            worst = max(worst, marks / total)
    return worst


def writing_outside(small: SmallCopy, corners: FloatArray) -> float:
    """The worst side's share of points with writing just outside it (see marks_beyond_side)."""
    bands = np.stack([band_samples(small, corners, -outside, 48) for outside in OUTSIDE_BANDS], axis=1)
    inner = band_samples(small, corners, 8.0, 48).mean(axis=-1)
    return max(marks_beyond_side(inner[side], bands[side]) for side in range(4))


def leaves_ink_out(small: SmallCopy, corners: FloatArray) -> bool:
    """Whether the quad would cut ink off: ink on the page's paper, or writing, outside a side."""
    return ink_outside(small, corners) >= INK_LIMIT or writing_outside(small, corners) >= WRITING_LIMIT


def lightest_near(values: FloatArray, reach: int = 3) -> FloatArray:
    """The largest of values within reach points along the last axis."""
    result = values.copy()
    for step in range(1, reach + 1):
        result[..., step:] = np.maximum(result[..., step:], values[..., :-step])
        result[..., :-step] = np.maximum(result[..., :-step], values[..., step:])
    return result


def marks_beyond_side(inner: FloatArray, bands: FloatArray) -> float:
    """For the bands outside one side (offsets x points x 3) and the level of the band 8 pixels
    inside it at the same points (NaN outside the picture): the share of the points along the
    side with a mark outside it, at any offset, on the paper found just inside: a sample darker
    than MARK_SHADE of the lightest near it along its band, where that lightest is within
    PAPER_NEAR of the paper just inside the side. Judged against the paper beside each point,
    not the page's middle, so a side taken along a line of writing in uneven light still shows
    the writing it leaves out; a shadow, wider than a stroke, is no mark."""
    inside = lightest_near(np.where(np.isnan(inner), 0.0, inner))
    level = bands.mean(axis=-1)
    valid = ~np.isnan(level) & (inside > 0)[None, :]
    level = np.where(valid, level, 0.0)
    around = lightest_near(level)
    # The paper's own level along each band, writing left out: the median of the 9 points
    # around (a tray of markers or a frame is darker than the surface further along).
    padded = np.pad(level, ((0, 0), (4, 4)), mode="edge")
    typical = np.median(np.stack([padded[:, k : k + level.shape[1]] for k in range(9)]), axis=0)
    # Paper as light as the paper inside, or lighter: the rest of the page in more light when the
    # side runs along a shadow's edge.
    low, high = (1.0 - PAPER_NEAR) * inside[None, :], PAPER_LIGHTER * inside[None, :]
    on_paper = (around > low) & (around < high) & (typical > low) & (typical < high)
    marks = valid & on_paper & (level < MARK_SHADE * typical)
    return float(marks.any(axis=0).sum()) / max(int(valid.any(axis=0).sum()), 1)


def refine_side(small: SmallCopy, a: FloatArray, b: FloatArray) -> tuple[FloatArray, float] | None:
    """The line through the edge pixels near the side from a to b, fitted by their gradient
    strength across it: a point on it and its direction angle; None when too few pixels."""
    direction = b - a
    length = float(np.linalg.norm(direction))
    if length < 4:
        return None
    unit = direction / length
    normal = np.array([-unit[1], unit[0]])
    lo = np.floor(np.minimum(a, b) - 3).astype(int)
    hi = np.ceil(np.maximum(a, b) + 3).astype(int)
    x0, y0 = max(lo[0], 1), max(lo[1], 1)
    x1, y1 = min(hi[0], small.width - 2), min(hi[1], small.height - 2)
    if x1 <= x0 or y1 <= y0:
        return None
    ys, xs = np.mgrid[y0 : y1 + 1, x0 : x1 + 1]
    points = np.stack([xs.ravel(), ys.ravel()], axis=1).astype(np.float64)
    relative = points - a
    along = relative @ unit
    across = relative @ normal
    near = (np.abs(across) <= 2.5) & (along > 0.04 * length) & (along < 0.96 * length)
    if near.sum() < 8:
        return None
    gx = small.gx[y0 : y1 + 1, x0 : x1 + 1].ravel()[near]
    gy = small.gy[y0 : y1 + 1, x0 : x1 + 1].ravel()[near]
    weight = np.abs(gx * normal[0] + gy * normal[1])
    magnitude = np.hypot(gx, gy)
    weight = np.where(weight > 0.85 * magnitude, weight, 0.0)
    weight = np.where(weight > 0.25 * np.percentile(weight, 90), weight, 0.0)
    if weight.sum() <= 0:
        return None
    chosen = points[near]
    mean = (chosen * weight[:, None]).sum(axis=0) / weight.sum()
    centred = chosen - mean
    covariance = (centred * weight[:, None]).T @ centred
    values, vectors = np.linalg.eigh(covariance)
    line_direction = vectors[:, 1]
    if abs(float(line_direction @ unit)) < math.cos(math.radians(5)):
        return None
    return mean, math.atan2(line_direction[1], line_direction[0])


def refine_quad(small: SmallCopy, corners: FloatArray) -> FloatArray:
    """The corners where the refined sides meet (the sides that could not be refined kept)."""
    sides = []
    for k in range(4):
        a, b = corners[k], corners[(k + 1) % 4]
        refined = refine_side(small, a, b)
        if refined is None:
            d = b - a
            sides.append((a, math.atan2(d[1], d[0])))
        else:
            sides.append(refined)
    result = np.zeros((4, 2))
    for k in range(4):
        (p1, angle1), (p2, angle2) = sides[(k - 1) % 4], sides[k]
        d1 = np.array([math.cos(angle1), math.sin(angle1)])
        d2 = np.array([math.cos(angle2), math.sin(angle2)])
        matrix = np.array([d1, -d2]).T
        if abs(np.linalg.det(matrix)) < 1e-9:
            return corners
        s, _ = np.linalg.solve(matrix, p2 - p1)
        result[k] = p1 + s * d1
    if np.abs(result - corners).max() > 6:  # a refinement that wanders off is not one
        return corners
    return result


#: How far inside a side (pixels of the small copy) a frame is looked for, at most, and the
#: levels and gradient within which the surface further in counts as even.
FRAME_SEARCH = 14
EVEN_LEVEL = 5.0
EVEN_GRADIENT = 3.0


def frame_width(small: SmallCopy, a: FloatArray, b: FloatArray, inward: FloatArray) -> int:
    """How many pixels inside the side from a to b the even surface begins, when a strip of
    another shade bounded by an edge (a board's frame seen from its side) lies between; 0 when
    the surface begins at the side, as it does at a page's edge."""
    steps = np.linspace(0.1, 0.9, 60)
    offsets = np.arange(FRAME_SEARCH + 5)
    points = a + (b - a) * steps[:, None]
    points = points[None, :, :] + offsets[:, None, None] * inward
    xi, yi = np.rint(points[..., 0]).astype(np.intp), np.rint(points[..., 1]).astype(np.intp)
    valid = ((xi >= 0) & (yi >= 0) & (xi < small.width) & (yi < small.height)).all(axis=0)
    if valid.sum() < 20:
        return 0
    xi, yi = xi[:, valid], yi[:, valid]
    level = np.median(small.rgb[yi, xi].mean(axis=-1), axis=1)
    across = np.median(np.abs(small.gx[yi, xi] * inward[0] + small.gy[yi, xi] * inward[1]), axis=1)
    surface = float(np.median(level[-5:]))
    even = (np.abs(level - surface) <= EVEN_LEVEL) & (across <= EVEN_GRADIENT)
    # The first offset from which the next five are even: the surface's beginning.
    start = next((k for k in range(1, FRAME_SEARCH + 1) if even[k : k + 5].all()), 0)
    if start < 5 or start > 0.03 * min(small.width, small.height) or across[start - 3 : start].max() < 4.0:
        return 0  # the blur of a page's edge, no edge between the strip and the surface, or too wide
    # A frame's grooves and highlights run along it; writing in the strip shows as narrow dark
    # marks with the strip's light on both sides of them, and then the strip is no frame.
    ratio = small.rgb[yi[1:start], xi[1:start]].mean(axis=-1) / np.maximum(level[1:start, None], 1.0)
    lit = ratio >= 0.92
    marks = np.zeros_like(lit)
    marks[:, 2:-2] = (ratio[:, 2:-2] < 0.8) & lit[:, :-4] & lit[:, 4:]
    if marks.any(axis=0).sum() >= 2:
        return 0
    return start - 1


def inside_frames(small: SmallCopy, corners: FloatArray) -> FloatArray:
    """The quad with each side that lies on the outside of a frame moved to the frame's inner
    edge, when the strip between has no ink in it."""
    centre = corners.mean(axis=0)
    lines = []
    for k in range(4):
        a, b = corners[k], corners[(k + 1) % 4]
        direction = (b - a) / max(float(np.linalg.norm(b - a)), 1e-9)
        inward = np.array([-direction[1], direction[0]])
        if float((centre - a) @ inward) < 0:
            inward = -inward
        shift = frame_width(small, a, b, inward)
        lines.append((a + shift * inward, direction, shift))
    if not any(shift for _, _, shift in lines):
        return corners
    result = np.zeros((4, 2))
    for k in range(4):
        (p1, d1, _), (p2, d2, _) = lines[(k - 1) % 4], lines[k]
        matrix = np.array([d1, -d2]).T
        if abs(np.linalg.det(matrix)) < 1e-9:
            return corners
        s, _ = np.linalg.solve(matrix, p2 - p1)
        result[k] = p1 + s * d1
    # Only when nothing that looks like ink lies in the strips given up.
    return corners if leaves_ink_out(small, result) else result


def order_corners(corners: FloatArray) -> FloatArray:
    """The corners as TL, TR, BR, BL: clockwise on the picture, starting with the one nearest
    the top-left of the quad's own frame."""
    centre = corners.mean(axis=0)
    angles = np.arctan2(corners[:, 1] - centre[1], corners[:, 0] - centre[0])
    clockwise = corners[np.argsort(angles)]  # y down: increasing angle is clockwise
    start = int(np.argmin(clockwise[:, 0] + clockwise[:, 1]))
    result: FloatArray = np.roll(clockwise, -start, axis=0)
    return result


#: A side is a line drawn on the paper, not the paper's edge, when the colours a little inside
#: and a little outside it differ by less than this (the largest of the three channels'
#: differences, the median along the side): grid and ruled lines, a margin.
SAME_PAPER = 3.0


def side_on_paper(small: SmallCopy, corners: FloatArray) -> bool:
    """Whether any side of the quad has the same paper on both sides of it."""
    inner = band_samples(small, corners, 6.0, count=48)
    outer = band_samples(small, corners, -6.0, count=48)
    difference = np.abs(inner - outer).max(axis=-1)  # NaN where outside the picture
    for side in range(4):
        values = difference[side][~np.isnan(difference[side])]
        if len(values) > 24 and float(np.median(values)) < SAME_PAPER:
            return True
    return False


def quad_areas(corners: FloatArray) -> FloatArray:
    """The areas of quads (N x 4 x 2)."""
    x, y = corners[..., 0], corners[..., 1]
    result: FloatArray = 0.5 * np.abs((x * np.roll(y, -1, axis=-1) - y * np.roll(x, -1, axis=-1)).sum(axis=-1))
    return result


def contains(outer: FloatArray, inner: FloatArray, slack: float = 1.0, picture: tuple[int, int] | None = None) -> bool:
    """Whether the convex quad outer (corners in order) holds every corner of inner, within slack
    pixels; with picture (width, height), whether it holds the part of inner's outline inside
    the picture (what a crop would keep of it)."""
    ends = np.roll(outer, -1, axis=0)
    direction = ends - outer
    centre = outer.mean(axis=0)
    normal = np.stack([-direction[:, 1], direction[:, 0]], axis=1)
    normal /= np.maximum(np.linalg.norm(normal, axis=1, keepdims=True), 1e-9)
    normal *= np.sign(((centre - outer) * normal).sum(axis=1, keepdims=True))
    points = inner
    if picture is not None:
        steps = np.linspace(0.0, 1.0, 33)[None, :, None]
        points = (inner[:, None, :] + (np.roll(inner, -1, axis=0) - inner)[:, None, :] * steps).reshape(-1, 2)
        seen = (
            (points[:, 0] >= 0)
            & (points[:, 1] >= 0)
            & (points[:, 0] <= picture[0] - 1)
            & (points[:, 1] <= picture[1] - 1)
        )
        points = points[seen]
    depth = ((points[:, None, :] - outer[None, :, :]) * normal[None, :, :]).sum(axis=-1)
    return bool((depth > -slack).all())


def find_quad(small: SmallCopy) -> tuple[FloatArray, float] | None:
    """The best quad of the small copy (corners TL, TR, BR, BL) and its confidence, or None."""
    w, h = small.width, small.height
    if min(w, h) < MIN_SIDE:
        return None
    lines = fit_lines(small, strongest_lines(small))
    if len(lines.theta) < 4:
        return None
    order, corners = candidate_quads(small, lines)
    if len(order) == 0:
        return None
    profiles = EdgeProfiles(small, lines)
    sides = edge_scores(profiles, lines, order, corners)
    score = outline_score(sides) / (w + h)
    # A page or board is paper: its middle is among the lightest things in the photo.
    lightness = small.rgb.mean(axis=-1)
    light = float(np.percentile(lightness[:: max(1, h // 64), :: max(1, w // 64)], 95))
    contenders = np.argsort(-score)[:200]
    paper = interior_colour(small, corners[contenders], grid_size=5).mean(axis=-1) >= 0.5 * light
    best = contenders[paper][:8]

    def judged(index: int) -> tuple[float, float, FloatArray, bool] | None:
        """A quad's value and confidence, its corners, and whether writing outside refused it."""
        quad = order_corners(corners[index])
        side = sides[index]
        visible = side[:, 1].sum()
        if visible < 0.5 * side[:, 2].sum():
            return None
        support = float(side[:, 0].sum() / max(visible, 1e-9))
        per_side = side[:, 0] / np.maximum(side[:, 1], 1e-9)
        weakest = float(np.min(np.where(side[:, 1] > 0.15 * side[:, 2], per_side, 1.0)))
        ink = ink_outside(small, quad)
        # Writing outside refuses a quad but does not rank it lower: a quad further down would
        # be one that escaped the check, not one that keeps more.
        writing = writing_outside(small, quad) >= WRITING_LIMIT
        value = float(score[index]) - 4.0 * ink
        confidence = min(1.0, support / 0.8) * min(1.0, weakest / 0.5)
        refused = ink >= INK_LIMIT or writing or side_on_paper(small, quad)
        return value, 0.0 if refused else confidence, quad, writing and ink < INK_LIMIT

    ranked: list[tuple[float, float, FloatArray, bool, int]] = []
    for index in best:
        if ranked and float(score[index]) <= max(item[0] for item in ranked):
            break  # the ink penalty only lowers a score: no quad further down can do better
        result = judged(int(index))
        if result is not None:
            ranked.append((*result, int(index)))
    if not ranked:
        return None
    ranked.sort(key=lambda item: -item[0])
    value, confidence, quad, for_writing, index = ranked[0]
    shared = (order[:, :, None] == order[index][None, None, :]).any(axis=2).sum(axis=1) == 3
    outside = shared & (quad_areas(corners) > quad_areas(corners[index : index + 1])[0])
    if not for_writing:
        # When unsure, keep more: a quad as good as the best (one side on a shadow's edge or on
        # the page's edge, a line of writing or the paper beyond) that moves one side out wins.
        outside &= score >= NEAR_TIE * score[index]
    if for_writing or confidence > 0:
        # A side along writing: the quad that moves that side out, to a line beyond the
        # writing, keeps the rest of the page (the photo is cleaned whole when there is none).
        for other in np.flatnonzero(outside)[np.argsort(-score[outside])][:8]:
            result = judged(int(other))
            if (
                result is not None
                and result[1] >= MIN_CONFIDENCE
                and contains(order_corners(corners[other]), quad, 0.03 * min(w, h), (w, h))
            ):
                value, confidence, quad, _ = result
                break
    refined = order_corners(inside_frames(small, refine_quad(small, quad)))
    # Refined sides can settle on a line on the page, or on writing, that the rough ones only came near.
    return refined, 0.0 if side_on_paper(small, refined) or leaves_ink_out(small, refined) else confidence
