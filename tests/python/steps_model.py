"""A reference for the native steps (vantrel_clean._steps) in NumPy and SciPy, written from what
each step is defined to do (see the headers in src/steps), not from its loops: whole-array
operations, SciPy's own filters and labelling, closed forms where the native code searches.

Where a step's definition fixes single-precision arithmetic, the model keeps it (float32 arrays
and constants), so that results can be compared byte for byte; the tests state a tolerance only
where the native code takes a shortcut the definition leaves open (fixed-point sampling in the
warp, the order of a sum over threads)."""

from __future__ import annotations

import math

import numpy as np
from scipy import ndimage

F32 = np.float32

# --- the paper estimate (paper_estimate.hpp) ------------------------------------------------

ESTIMATE_SHORT_SIDE = 128
MEDIAN_RADIUS = 4
MEDIAN_STEPS = 16  # the median is taken of samples quantised to 1/16 of a level
ENVELOPE_RADIUS = 20
DARKEST_PAPER = F32(0.6)
WIDEST_PAPER_TINT = F32(0.06)
BLUR_SIGMA = 2.0


def block_means(picture, factor, partial):
    """The mean of each factor x factor block of an H x W x 3 picture, float32. With partial, the
    last blocks of a row or column hold what is left; without, what is left is left out."""
    height, width = picture.shape[:2]
    if not partial:
        picture = picture[: height // factor * factor, : width // factor * factor]
        height, width = picture.shape[:2]
    starts_down, starts_across = np.arange(0, height, factor), np.arange(0, width, factor)
    sums = np.add.reduceat(np.add.reduceat(picture.astype(np.int64), starts_down, axis=0), starts_across, axis=1)
    rows = np.diff(np.append(starts_down, height))
    columns = np.diff(np.append(starts_across, width))
    counts = (rows[:, None] * columns[None, :]).astype(F32)
    return sums.astype(F32) / counts[:, :, None]


def max_3x3(plane):
    """The largest sample of each channel in the 3 x 3 window, the border repeated."""
    return ndimage.maximum_filter(plane, size=(3, 3, 1), mode="nearest")


def quantised_median(plane, radius=MEDIAN_RADIUS):
    """The median of each channel over a (2 radius + 1) square window (the border repeated), of
    the samples rounded to 1/MEDIAN_STEPS of a level."""
    bins = np.clip(np.floor(plane * F32(MEDIAN_STEPS) + F32(0.5)), 0, 256 * MEDIAN_STEPS - 1).astype(np.int32)
    side = 2 * radius + 1
    median = ndimage.median_filter(bins, size=(side, side, 1), mode="nearest")
    return median.astype(F32) / F32(MEDIAN_STEPS)


def gaussian_weights(sigma):
    """The normalised single-precision weights of a Gaussian, three sigmas each side."""
    radius = math.ceil(3 * sigma)
    offsets = np.arange(-radius, radius + 1)
    weights = np.exp(-0.5 * offsets.astype(np.float64) ** 2 / sigma**2).astype(F32)
    total = F32(0)
    for weight in weights:  # summed in order, in single precision
        total = F32(total + weight)
    return weights / total


def gaussian_blur(plane, sigma=BLUR_SIGMA):
    """A separable Gaussian blur, the border repeated; the result at least 1 (it divides)."""
    weights = gaussian_weights(sigma)
    radius = len(weights) // 2
    result = plane
    for axis, floor in ((1, F32(0)), (0, F32(1))):
        size = result.shape[axis]
        total = np.zeros_like(result)
        for weight, offset in zip(weights, range(-radius, radius + 1)):
            taken = np.clip(np.arange(size) + offset, 0, size - 1)
            total = total + weight * np.take(result, taken, axis=axis)
        result = np.maximum(total, floor)
    return result


def paper_mask(local):
    """True where a pixel of the small copy looks like paper: every channel at least
    DARKEST_PAPER of the brightest paper within ENVELOPE_RADIUS pixels, and not tinted. Tinted is
    a pixel whose channels' ratios to that paper part by more than WIDEST_PAPER_TINT and whose
    ratios to the page's own colour (the upper median of each channel over the copy, at least 1)
    part by more than WIDEST_PAPER_TINT of the largest of them: the page's own colour beside
    something brighter and greyer (glare) is no tinted shape. Then every other area that reaches
    the edge of the picture (4-connected) is counted as paper too."""
    side = 2 * ENVELOPE_RADIUS + 1
    envelope = ndimage.maximum_filter(local, size=(side, side, 1), mode="nearest")
    ratios = local / np.maximum(envelope, F32(1))
    least, most = ratios.min(axis=2), ratios.max(axis=2)
    page_colour = np.maximum(np.array([upper_median(local[..., c]) for c in range(3)], F32), F32(1))
    of_page = local / page_colour
    page_least, page_most = of_page.min(axis=2), of_page.max(axis=2)
    tinted = (most - least > WIDEST_PAPER_TINT) & (page_most - page_least > WIDEST_PAPER_TINT * page_most)
    paper = (least >= DARKEST_PAPER) & ~tinted
    areas, _ = ndimage.label(~paper)  # 4-connected by default
    edge = np.unique(np.concatenate([areas[0], areas[-1], areas[:, 0], areas[:, -1]]))
    return paper | np.isin(areas, edge[edge > 0])


def fill_from_paper(local, paper):
    """Every pixel not marked as paper replaced by the paper around it: a pyramid of 2 x 2
    averages of the paper pixels (each with its share of paper as weight) pulled back down, a
    pixel keeping its own average as far as it holds paper (4 x its share, at most 1)."""
    weight = paper.astype(F32)
    sums = np.where(paper[:, :, None], local, F32(0)).astype(F32)
    levels = [(sums, weight)]
    while weight.shape[0] > 1 or weight.shape[1] > 1:
        height, width = weight.shape
        coarse_weight = np.zeros(((height + 1) // 2, (width + 1) // 2), F32)
        coarse_sums = np.zeros((*coarse_weight.shape, 3), F32)
        for dy in (0, 1):  # the four fine pixels added in the order they lie in memory
            for dx in (0, 1):
                part_weight, part_sums = weight[dy::2, dx::2], sums[dy::2, dx::2]
                rows, columns = part_weight.shape
                coarse_weight[:rows, :columns] += F32(0.25) * part_weight
                coarse_sums[:rows, :columns] += F32(0.25) * part_sums
        sums, weight = coarse_sums, coarse_weight
        levels.append((sums, weight))
    if not weight[0, 0] > 0:
        return local
    filled = sums / weight[:, :, None]
    for sums, weight in reversed(levels[:-1]):
        above = filled.repeat(2, axis=0).repeat(2, axis=1)[: weight.shape[0], : weight.shape[1]]
        own = np.minimum(F32(1), F32(4) * weight)[:, :, None]
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(weight[:, :, None] > 0, sums / weight[:, :, None], F32(0))
        filled = (own * mean + (F32(1) - own) * above).astype(F32)
    return np.where(paper[:, :, None], local, filled)


def paper_estimate(picture):
    """The paper's brightness behind a picture, on a copy about ESTIMATE_SHORT_SIDE pixels on its
    short side: block means, the 3 x 3 max, the quantised median, areas that are not paper
    filled from the paper around them, the blur."""
    factor = max(1, min(picture.shape[:2]) // ESTIMATE_SHORT_SIDE)
    local = quantised_median(max_3x3(block_means(picture, factor, partial=True)))
    return gaussian_blur(fill_from_paper(local, paper_mask(local)))


# --- the evening (even_background.hpp) ------------------------------------------------------

RATIO_STEPS = 4096
KNEE_BYTE = 199.0


def tone(ratio, exponent, knee):
    """The evened level (0 to 255, unrounded) of a ratio to the paper: ratio ** exponent; with a
    knee, up to 1 - knee the power curve to KNEE_BYTE, then a straight line to 255."""
    ratio = np.asarray(ratio, np.float64)
    if knee <= 0:
        return ratio**exponent * 255.0
    knee_ratio = 1.0 - knee
    below = KNEE_BYTE * (np.minimum(ratio, knee_ratio) / knee_ratio) ** exponent
    return np.where(ratio <= knee_ratio, below, KNEE_BYTE + (255.0 - KNEE_BYTE) * (ratio - knee_ratio) / knee)


def tone_table(exponent, knee):
    """The evened byte of each ratio step 0 .. RATIO_STEPS, rounded."""
    return np.floor(tone(np.arange(RATIO_STEPS + 1) / RATIO_STEPS, exponent, knee) + 0.5).astype(np.uint8)


def ratio_table(exponent, knee):
    """The tone curve inverted in closed form: the ratio to the paper each byte stands for."""
    level = np.arange(256, dtype=np.float64)
    if knee <= 0:
        return ((level / 255.0) ** (1.0 / exponent)).astype(F32)
    knee_ratio = 1.0 - knee
    below = knee_ratio * (np.minimum(level, KNEE_BYTE) / KNEE_BYTE) ** (1.0 / exponent)
    above = knee_ratio + (level - KNEE_BYTE) / (255.0 - KNEE_BYTE) * knee
    return np.where(level <= KNEE_BYTE, below, above).astype(F32)


def bilinear_taps(full_size, small_size):
    """For each full-size pixel, the two small pixels around its centre and the second's weight,
    the centres of both pictures aligned (a plain bilinear resize), clamped at the ends."""
    position = np.clip((np.arange(full_size) + 0.5) * (small_size / full_size) - 0.5, 0.0, small_size - 1)
    first = position.astype(np.intp)
    return first, np.minimum(first + 1, small_size - 1), (position - first).astype(F32)


def upscaled_paper(small, height, width):
    """The paper estimate at full size: bilinear, rows first, then along each row."""
    top, bottom, down = bilinear_taps(height, small.shape[0])
    rows = small[top] + (small[bottom] - small[top]) * down[:, None, None]
    left, right, across = bilinear_taps(width, small.shape[1])
    return rows[:, left] + (rows[:, right] - rows[:, left]) * across[None, :, None]


def even_background(picture, exponent, knee=0.0):
    """Every sample divided by the paper behind it, capped at 1, through the tone table: the
    ratio is taken in RATIO_STEPS steps, rounded."""
    height, width = picture.shape[:2]
    paper = upscaled_paper(paper_estimate(picture), height, width)
    steps_per_level = F32(RATIO_STEPS) / paper
    index = np.minimum(np.floor(picture.astype(F32) * steps_per_level + F32(0.5)), RATIO_STEPS).astype(np.intp)
    return tone_table(exponent, knee)[index]


# --- the contrast map (contrast_map.hpp) ----------------------------------------------------

CONTRAST_STEPS = 65535


def contrast_map(picture, exponent=1.0, knee=0.0):
    """(smoothed, peak, tint) of the halved size, uint16: the contrast of each pixel's darkest
    sample (1 - its ratio to the paper, in CONTRAST_STEPS), smoothed by the 3 x 3 B-spline (1-2-1
    down, then across) around input pixel (2i + 1, 2j + 1); the largest contrast of those nine;
    the tint (the darkest sample's contrast less the lightest's) smoothed as the contrast."""
    contrast_of = (F32(1) - ratio_table(exponent, knee)) * F32(CONTRAST_STEPS)
    contrast = contrast_of[picture.min(axis=2)]
    tint = contrast - contrast_of[picture.max(axis=2)]
    largest = halved_windows(contrast, lambda a, b, c: np.maximum(np.maximum(a, b), c))
    peak = halved_windows(largest, lambda a, b, c: np.maximum(np.maximum(a, b), c), across=True)
    return contrast_steps(b_spline_halved(contrast)), contrast_steps(peak), contrast_steps(b_spline_halved(tint))


def halved_windows(values, combine, across=False):
    """combine(first, second, third) of the three rows (or columns, across) around each odd one."""
    axis = 1 if across else 0
    count = (values.shape[axis] - 1) // 2
    parts = [np.take(values, np.arange(k, k + 2 * count, 2), axis=axis) for k in range(3)]
    return combine(*parts)


def b_spline_halved(values):
    """The 3 x 3 B-spline (1-2-1 down, then 1-2-1 across, over 16) around every odd row and
    column, in single precision."""
    down = halved_windows(values, lambda a, b, c: a + F32(2) * b + c)
    return halved_windows(down, lambda a, b, c: a + F32(2) * b + c, across=True) / F32(16)


def halved_colour(picture):
    """The picture halved as the module halves it, not whitened: each channel's 3 x 3 B-spline
    average around (2i + 1, 2j + 1), in integers, rounded to the nearest byte (halves up)."""
    down = halved_windows(picture.astype(np.int64), lambda a, b, c: a + 2 * b + c)
    summed = halved_windows(down, lambda a, b, c: a + 2 * b + c, across=True)
    return ((summed + 8) // 16).astype(np.uint8)


def split_contrast_map(data, out_height, out_width):
    """(smoothed, peak, tint, colour) of a contrast map as the steps return it: three uint16
    planes, then the halved colour, interleaved RGB bytes."""
    count = out_height * out_width
    data = bytes(data)
    assert len(data) == 9 * count
    planes = np.frombuffer(data[: 6 * count], np.uint16).reshape(3, out_height, out_width)
    colour = np.frombuffer(data[6 * count :], np.uint8).reshape(out_height, out_width, 3)
    return planes[0], planes[1], planes[2], colour


def contrast_steps(values):
    """Contrast steps (float32) rounded to uint16."""
    return np.clip(np.floor(values + F32(0.5)), 0, CONTRAST_STEPS).astype(np.uint16)


# --- the ink classes (ink_classes.hpp) ------------------------------------------------------

HUE_BINS = 72
NEUTRAL_BIN = HUE_BINS
NOISE_BLOCK = 32
MOST_NOISE = F32(0.025)
CORE_RADIUS = 2
EDGE_REACH = 1
RULE_THICKNESS = 4
RULE_LENGTH = 48
RULE_CONTRAST = F32(0.55)
RULE_EDGE_SHARE = F32(0.5)  # a pale printed rule is drawn where it reaches this share of its core
TINT_WEIGHT = F32(1.0)  # a stroke's seed and sure contrast count its tint this many times
NEUTRAL_STRIDE = 3  # the black ink's colours are sampled at every third pixel
NEUTRAL_SAMPLES = 200  # with fewer, the picture's black is not known
NEUTRAL_SPREADS = 4.0
LEAST_NEUTRAL_CUT = 5.0
EIGHT = np.ones((3, 3), bool)


def lab_of(rgb):
    """CIELAB (D65 white) of sRGB samples (..., 3), float64."""
    c = rgb.astype(np.float64) / 255.0
    linear = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    r, g, b = linear[..., 0], linear[..., 1], linear[..., 2]
    xyz = (
        (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047,
        0.2126729 * r + 0.7151522 * g + 0.0721750 * b,
        (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883,
    )
    delta = 6.0 / 29.0
    fx, fy, fz = (np.where(t > delta**3, np.cbrt(t), t / (3 * delta * delta) + 4.0 / 29.0) for t in xyz)
    return np.stack([116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)], axis=-1)


def hue_bin(lab, chroma_cut):
    """The hue bin of five degrees of each colour, or NEUTRAL_BIN below the chroma cut (the cut
    at L* 50 and darker, falling with lightness to a third of it)."""
    cut = chroma_cut * np.clip((100.0 - lab[..., 0]) / 50.0, 1.0 / 3.0, 1.0)
    hue = np.degrees(np.arctan2(lab[..., 2], lab[..., 1]))
    hue = np.where(hue < 0, hue + 360.0, hue)
    bins = np.minimum((hue / (360.0 / HUE_BINS)).astype(np.intp), HUE_BINS - 1)
    return np.where(np.hypot(lab[..., 1], lab[..., 2]) < cut, NEUTRAL_BIN, bins)


def upper_median(values):
    """The middle value, the upper one of the two middles for an even count."""
    values = np.ravel(values)
    return np.partition(values, len(values) // 2)[len(values) // 2]


def steps16(contrast):
    return contrast_steps(F32(contrast) * F32(CONTRAST_STEPS))


def block_thresholds(contrast, rules, sensitivity):
    """(low, seed) per NOISE_BLOCK square, uint16: the block's paper level (its median, at most
    0.03) plus the larger of a floor and that many noise spreads, the spread 1.4826 median
    absolute deviations (the median of the 3 x 3 blocks around, at most MOST_NOISE); every
    other pixel each way tells the block's noise."""
    height, width = contrast.shape
    down, across = -(-height // NOISE_BLOCK), -(-width // NOISE_BLOCK)
    level = np.zeros((down, across), np.int64)
    spread = np.zeros((down, across), np.int64)
    for by in range(down):
        for bx in range(across):
            block = contrast[
                by * NOISE_BLOCK : (by + 1) * NOISE_BLOCK : 2, bx * NOISE_BLOCK : (bx + 1) * NOISE_BLOCK : 2
            ]
            level[by, bx] = upper_median(block)
            spread[by, bx] = upper_median(np.abs(block.astype(np.int64) - level[by, bx]))
    low = np.zeros((down, across), np.uint16)
    seed = np.zeros((down, across), np.uint16)
    for by in range(down):
        for bx in range(across):
            around = upper_median(spread[max(by - 1, 0) : by + 2, max(bx - 1, 0) : bx + 2])
            noise = min(MOST_NOISE, F32(F32(1.4826) * F32(around)) / F32(CONTRAST_STEPS))
            paper = F32(min(F32(level[by, bx]), F32(0.03) * F32(CONTRAST_STEPS)) / F32(CONTRAST_STEPS))
            low_share = F32(max(F32(rules.low_floor), F32(F32(rules.low_noise) * noise)) / F32(sensitivity))
            seed_share = F32(max(F32(rules.seed_floor), F32(F32(rules.seed_noise) * noise)) / F32(sensitivity))
            low[by, bx] = steps16(F32(paper + low_share))
            seed[by, bx] = steps16(F32(paper + seed_share))
    expand = np.ones((NOISE_BLOCK, NOISE_BLOCK), np.uint16)
    return np.kron(low, expand)[:height, :width], np.kron(seed, expand)[:height, :width]


def largest_around(values, radius):
    return ndimage.maximum_filter(values, size=2 * radius + 1, mode="nearest")


def beside(mask):
    """True at every pixel with a pixel of mask among its 8 neighbours (or itself)."""
    return ndimage.binary_dilation(mask, EIGHT)


def printed_rules(drawn):
    """Drawn pixels on long thin lines across or down: thin across where the run of drawn pixels
    down through it is at most RULE_THICKNESS; on a line where, along its row, the columns that
    hold a thin pixel in the row or a row beside it run for RULE_LENGTH at least."""

    def across(mask):
        height, width = mask.shape
        thin = np.zeros_like(mask)
        for x in range(width):
            column = mask[:, x]
            labels, count = ndimage.label(column)
            sizes = np.bincount(labels, minlength=count + 1)
            thin[:, x] = column & (sizes[labels] <= RULE_THICKNESS)
        band = thin | np.vstack([thin[:1], thin[:-1]]) | np.vstack([thin[1:], thin[-1:]])
        lines = np.zeros_like(mask)
        for y in range(height):
            labels, count = ndimage.label(band[y])
            sizes = np.bincount(labels, minlength=count + 1)
            lines[y] = thin[y] & (labels > 0) & (sizes[labels] >= RULE_LENGTH)
        return lines

    return across(drawn) | across(drawn.T).T


def ink_neutral(lab, contrast, dark_from, chroma_cut):
    """(a, b, lightness, cut): the black ink's cast, its L* (at most 90) and the cut for grey
    (NEUTRAL_SPREADS median distances of the black from its cast, from LEAST_NEUTRAL_CUT up to
    chroma_cut): upper medians over every NEUTRAL_STRIDE-th pixel of at least dark_from contrast
    within chroma_cut of grey. Fewer than NEUTRAL_SAMPLES such pixels: no cast, the rules' cut."""
    lab = lab.reshape(-1, 3)[::NEUTRAL_STRIDE]
    chosen = contrast.ravel()[::NEUTRAL_STRIDE] >= dark_from
    chosen &= np.hypot(lab[:, 1], lab[:, 2]) < chroma_cut
    black = lab[chosen]
    if len(black) < NEUTRAL_SAMPLES:
        return 0.0, 0.0, 0.0, chroma_cut
    cast_a, cast_b = upper_median(black[:, 1]), upper_median(black[:, 2])
    spread = upper_median(np.hypot(black[:, 1] - cast_a, black[:, 2] - cast_b))
    cut = min(max(NEUTRAL_SPREADS * spread, LEAST_NEUTRAL_CUT), chroma_cut)
    return cast_a, cast_b, min(upper_median(black[:, 0]), 90.0), cut


def neutralised(lab, neutral):
    """lab seen from the neutral point: the cast taken off in proportion to darkness (whole at
    the black's L*, none at white)."""
    cast_a, cast_b, lightness, _ = neutral
    share = np.clip((100.0 - lab[..., 0]) / (100.0 - lightness), 0.0, 1.0)
    return np.stack([lab[..., 0], lab[..., 1] - share * cast_a, lab[..., 2] - share * cast_b], axis=-1)


def classify_ink(rgb, contrast, peak, exponent, knee, sensitivity, rules, tint=None, colour=None):
    """(codes, histogram) of the ink decision on a halved picture (see ink_classes.hpp): codes
    0 for paper, else 1 + 2 * bin + pale; histogram (HUE_BINS + 1) x 5: full and pale counts, the
    sums of L*, a*, b*. With tint, a pixel stands out for the seed and sure contrast by its
    contrast plus TINT_WEIGHT times its tint; with colour (the halved colour), a whitened pixel is
    read there instead of carrying no colour."""
    c, p = contrast.astype(np.int64), peak.astype(np.int64)
    cf = contrast.astype(F32)
    standing = cf if tint is None else cf + TINT_WEIGHT * tint.astype(F32)
    low, seed = block_thresholds(contrast, rules, sensitivity)
    nearest = largest_around(contrast, CORE_RADIUS).astype(F32)

    # Possible ink: stands out from the noise near a sharp edge, or of sure contrast anyway.
    padded = np.pad(c, 1, mode="edge")
    neighbours = np.minimum.reduce([padded[1:-1, :-2], padded[1:-1, 2:], padded[:-2, 1:-1], padded[2:, 1:-1]])
    step = (c - neighbours).astype(F32)
    edge = (c >= low) & (step >= F32(rules.sharpness) * nearest)
    near_edge = largest_around(edge.astype(np.uint8), EDGE_REACH) > 0
    possible = (standing >= F32(steps16(rules.sure_contrast))) | (near_edge & (c >= low))

    # Strokes: kept whole when seeded and no speck; drawn where they reach a share of the core.
    strokes, stroke_count = ndimage.label(possible, EIGHT)
    sizes = np.bincount(strokes.ravel(), minlength=stroke_count + 1)
    seeded = np.bincount(strokes.ravel(), weights=(standing >= seed).ravel(), minlength=stroke_count + 1) > 0
    kept = (strokes > 0) & (sizes[strokes] >= rules.min_stroke) & seeded[strokes]
    drawn = kept & ~(cf < F32(rules.edge_share) * nearest)

    # Full strength: from pixels of full peak through pixels of the join contrast, one beyond.
    seeds = drawn & (p >= steps16(rules.full_contrast))
    joining = drawn & (np.maximum(c, p) >= steps16(rules.full_join))
    joins, _ = ndimage.label(joining, EIGHT)
    reached = np.unique(joins[beside(seeds) & joining])
    strong = seeds | np.isin(joins, reached[reached > 0])
    full = strong | (drawn & beside(strong))
    pale = drawn & ~full & ~(cf < F32(rules.pale_edge_share) * nearest)
    # A stroke's own colour (for its pixels that carry none) is judged before the printed rules.
    # Hues are judged from the neutral point of the picture's black ink (as the module left it).
    untoned = np.floor(ratio_table(exponent, knee) * F32(255) + F32(0.5)).astype(np.uint8)
    neutral = ink_neutral(lab_of(untoned[rgb]), contrast, steps16(rules.full_contrast), rules.chroma_cut)
    whitened = (rgb == 255).all(axis=2)
    sample = rgb if colour is None else np.where(whitened[..., None], colour, rgb)
    lab = neutralised(lab_of(untoned[sample]), neutral)
    colourless = whitened if colour is None else np.zeros_like(whitened)
    stroke_bin, pale_bin = stroke_colours(strokes, stroke_count, lab, full, pale, colourless, neutral[3] / 2)

    # Printed rules of no great peak are pale, judged whole (8-connected).
    ruled = printed_rules(full | pale)
    lines, count = ndimage.label(ruled, EIGHT)
    for line in range(1, count + 1):
        members = lines == line
        if upper_median(p[members]) < steps16(RULE_CONTRAST):  # drawn as narrow as printed
            full &= ~members
            pale = (pale & ~members) | (members & ~(cf < RULE_EDGE_SHARE * nearest))

    # Colours are judged as they were before the tone curve.
    own_bin = hue_bin(lab, neutral[3])
    # A pixel without a colour of its own, or pale and grey, takes its stroke's: the whole
    # stroke's where the module whitened it, else its pale part's.
    stroke_own = np.where(whitened, stroke_bin[strokes], pale_bin[strokes])
    bins = np.where(colourless | (pale & (own_bin == NEUTRAL_BIN)), stroke_own, own_bin)
    inked = full | pale
    codes = np.where(inked, 1 + 2 * bins + pale, 0).astype(np.uint8)
    histogram = np.zeros((HUE_BINS + 1, 5))
    chosen = bins[inked]
    histogram[:, 0] = np.bincount(chosen[full[inked]], minlength=HUE_BINS + 1)
    histogram[:, 1] = np.bincount(chosen[pale[inked]], minlength=HUE_BINS + 1)
    for k in range(3):
        histogram[:, 2 + k] = np.bincount(chosen, weights=lab[..., k][inked], minlength=HUE_BINS + 1)
    return codes, histogram


def stroke_colours(strokes, count, lab, full, pale, colourless, chroma_cut):
    """Per stroke, the hue bin of the mean colour of its drawn pixels that carry a colour, and of
    its pale ones (the stroke's when it has none); NEUTRAL_BIN for none at all."""
    coloured = (full | pale) & ~colourless
    faint = pale & ~colourless

    def mean_bin(mask):
        n = np.bincount(strokes[mask], minlength=count + 1)
        sums = np.stack([np.bincount(strokes[mask], weights=lab[..., k][mask], minlength=count + 1) for k in range(3)])
        with np.errstate(invalid="ignore", divide="ignore"):
            bins = hue_bin((sums / n).T, chroma_cut)
        return np.where(n > 0, bins, NEUTRAL_BIN), n

    stroke_bin, _ = mean_bin(coloured)
    pale_bin, pale_count = mean_bin(faint)
    return stroke_bin, np.where(pale_count > 0, pale_bin, stroke_bin)


# --- the vote along strokes (ink_votes.hpp) -------------------------------------------------


def box_sums(values, radius):
    """The sum of each (2 radius + 1) square window, clipped at the borders, in integers."""
    padded = np.pad(values.astype(np.int64), ((radius + 1, radius), (radius + 1, radius)))
    table = padded.cumsum(axis=0).cumsum(axis=1)
    side = 2 * radius + 1
    return table[side:, side:] - table[:-side, side:] - table[side:, :-side] + table[:-side, :-side]


def vote_inks(indexes, radius):
    """(voted, allowed): every ink pixel given the ink with the most weight among the ink pixels
    of its (2 radius + 1) square window (clipped; full strength counts 2, pale 1), its own ink
    when that has the most, its pale/full level kept; allowed(inks) tells, per pixel, whether
    each ink is one the definition allows there (another ink tied with the most weight)."""
    drawn = indexes > 0
    ink = (indexes.astype(np.intp) - 1) // 2
    pale = (indexes.astype(np.intp) - 1) % 2 == 1
    inks = np.unique(ink[drawn])
    if len(inks) == 0:
        return indexes.copy(), lambda chosen: np.ones(indexes.shape, bool)
    weight = np.where(pale, 1, 2)
    totals = np.stack([box_sums(np.where(drawn & (ink == k), weight, 0), radius) for k in inks])
    most = totals.max(axis=0)
    own = np.take_along_axis(totals, np.searchsorted(inks, np.where(drawn, ink, inks[0]))[None], axis=0)[0]
    keeps = own == most
    chosen = np.where(keeps, ink, inks[totals.argmax(axis=0)])
    voted = np.where(drawn, 1 + 2 * chosen + pale, 0).astype(np.uint8)

    def allowed(native_inks):
        position = np.clip(np.searchsorted(inks, native_inks), 0, len(inks) - 1)
        found = inks[position] == native_inks
        share = np.take_along_axis(totals, position[None], axis=0)[0]
        return ~drawn | np.where(keeps, native_inks == ink, found & (share == most))

    return voted, allowed


# --- the detection's small copy, gradients and line votes -----------------------------------


def colour_gradients(small):
    """(gx, gy), float32: at each inner pixel the Sobel pair (divided by 8) of the channel whose
    gradient is strongest, the first such channel on a tie; the one-pixel border 0."""
    height, width = small.shape[:2]
    gx, gy = np.zeros((height, width), F32), np.zeros((height, width), F32)
    if width < 3 or height < 3:
        return gx, gy
    s = small.astype(F32)
    above, here, below = s[:-2], s[1:-1], s[2:]
    left, middle, right = slice(0, -2), slice(1, -1), slice(2, None)
    dx = (
        (above[:, right] - above[:, left])
        + F32(2) * (here[:, right] - here[:, left])
        + (below[:, right] - below[:, left])
    )
    dy = (
        (below[:, left] - above[:, left])
        + F32(2) * (below[:, middle] - above[:, middle])
        + (below[:, right] - above[:, right])
    )
    strongest = np.argmax(dx * dx + dy * dy, axis=2)[..., None]
    gx[1:-1, 1:-1] = F32(0.125) * np.take_along_axis(dx, strongest, axis=2)[..., 0]
    gy[1:-1, 1:-1] = F32(0.125) * np.take_along_axis(dy, strongest, axis=2)[..., 0]
    return gx, gy


def vote_lines(gx, gy, angle_bins, spread, min_strength, max_strength):
    """Votes (angle_bins x rho bins, float32) for oriented lines: every pixel whose gradient is at
    least min_strength votes its strength (at most max_strength) for the lines through it whose
    normal lies within spread bins of its gradient's direction; rho in pixels from -diagonal."""
    height, width = gx.shape
    diagonal = math.ceil(math.hypot(width, height))
    votes = np.zeros((angle_bins, 2 * diagonal + 1), F32)
    bin_angle = 2 * math.pi / angle_bins
    angles = bin_angle * np.arange(angle_bins)
    cosines, sines = np.cos(angles).astype(F32), np.sin(angles).astype(F32)
    squared = gx * gx + gy * gy
    ys, xs = np.nonzero(squared >= F32(min_strength) * F32(min_strength))
    weight = np.minimum(np.sqrt(squared[ys, xs]), F32(max_strength))
    ratio = np.arctan2(gy[ys, xs].astype(np.float64), gx[ys, xs].astype(np.float64)) / bin_angle
    centre = (np.sign(ratio) * np.floor(np.abs(ratio) + 0.5)).astype(np.int64)  # halves away from 0
    offsets = np.arange(-spread, spread + 1)
    bins = (centre[:, None] + offsets[None, :]) % angle_bins
    rho = xs[:, None] * cosines[bins].astype(np.float64) + ys[:, None] * sines[bins].astype(np.float64) + diagonal
    np.add.at(votes, (bins.ravel(), (rho + 0.5).astype(np.intp).ravel()), np.repeat(weight, len(offsets)))
    return votes


# --- the perspective warp (perspective_warp.hpp) --------------------------------------------


WARP_RUN = 16


def warp_perspective(picture, homography, out_width, out_height):
    """Each output pixel the mean of a grid of bilinear samples over its footprint in the source
    (the map's Jacobian at its centre; as many samples along an axis as the footprint is long
    there, rounded up, 1 up to 1.25 pixels, at most 8, the largest at either end of its run of
    WARP_RUN pixels); a sample within half a pixel of the picture repeats its border, further
    out it is white."""
    m = np.asarray(homography, np.float64).reshape(3, 3)
    ys, xs = np.mgrid[0:out_height, 0:out_width] + 0.5
    w = m[2, 0] * xs + m[2, 1] * ys + m[2, 2]
    u = (m[0, 0] * xs + m[0, 1] * ys + m[0, 2]) / w
    v = (m[1, 0] * xs + m[1, 1] * ys + m[1, 2]) / w
    dux, dvx = (m[0, 0] - u * m[2, 0]) / w, (m[1, 0] - v * m[2, 0]) / w
    duy, dvy = (m[0, 1] - u * m[2, 1]) / w, (m[1, 1] - v * m[2, 1]) / w

    def samples(du, dv):
        stretch = np.hypot(du, dv)
        return np.where(stretch > 1.25, np.minimum(8, np.ceil(stretch)), 1).astype(np.intp)

    across, down = samples(dux, dvx), samples(duy, dvy)
    # A row is sampled in runs of WARP_RUN pixels, each with the grid of its larger end.
    ends = np.minimum(np.arange(out_width) // WARP_RUN * WARP_RUN + WARP_RUN, out_width) - 1
    starts = np.arange(out_width) // WARP_RUN * WARP_RUN
    across = np.maximum(across[:, starts], across[:, ends])
    down = np.maximum(down[:, starts], down[:, ends])
    total = np.zeros((out_height, out_width, 3))
    for j in range(int(down.max())):
        for i in range(int(across.max())):
            used = (i < across) & (j < down)
            ox, oy = (i + 0.5) / across - 0.5, (j + 0.5) / down - 0.5
            su, sv = u + ox * dux + oy * duy - 0.5, v + ox * dvx + oy * dvy - 0.5
            total += np.where(used[..., None], bilinear_sample(picture, su, sv), 0.0)
    return np.floor(total / (across * down)[..., None] + 0.5).astype(np.uint8)


def bilinear_sample(picture, u, v):
    """The bilinear sample at source positions (u, v) (pixel centres at integers): within half a
    pixel of the picture the border pixels repeat; beyond, white."""
    height, width = picture.shape[:2]
    outside = ~((u >= -0.5) & (v >= -0.5) & (u <= width - 0.5) & (v <= height - 0.5))
    u, v = np.clip(u, 0, width - 1), np.clip(v, 0, height - 1)
    x0, y0 = np.minimum(u.astype(np.intp), width - 1), np.minimum(v.astype(np.intp), height - 1)
    x1, y1 = np.minimum(x0 + 1, width - 1), np.minimum(y0 + 1, height - 1)
    fx, fy = (u - x0)[..., None], (v - y0)[..., None]
    p = picture.astype(np.float64)
    top = p[y0, x0] * (1 - fx) + p[y0, x1] * fx
    bottom = p[y1, x0] * (1 - fx) + p[y1, x1] * fx
    return np.where(outside[..., None], 255.0, top * (1 - fy) + bottom * fy)


# --- the detection's geometry ---------------------------------------------------------------


def homography_by_null_space(source, target):
    """The 3 x 3 map of four points onto four others (h22 = 1), as the null space of the direct
    linear transform's 8 x 9 system."""
    rows = []
    for (x, y), (u, v) in zip(np.asarray(source, np.float64), np.asarray(target, np.float64)):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y, -u])
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y, -v])
    h = np.linalg.svd(np.array(rows))[2][-1].reshape(3, 3)
    return h / h[2, 2]


def apply(h, points):
    points = np.asarray(points, np.float64)
    mapped = np.c_[points, np.ones(len(points))] @ np.asarray(h).T
    return mapped[:, :2] / mapped[:, 2:]
