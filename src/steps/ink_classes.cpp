// Four passes: the thresholds of each block from the paper's noise; every group of possible ink
// pixels grown as a stroke and kept or dropped as a whole; the tone of each kept stroke; the class
// of each kept pixel from its colour in the module's output.
#include "ink_classes.hpp"

#include "contrast_map.hpp"
#include "ink_neutral.hpp"
#include "printed_rules.hpp"
#include "row_ranges.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace steps {

namespace {

enum Mark : std::uint8_t { kPaper = 0, kPossible = 1, kGrown = 2, kStrong = 3, kFull = 4, kPale = 5, kDropped = 6 };

// A stroke's core, against which its flanks are measured, lies within this many pixels; ink lies
// within kEdgeReach pixels of an edge, the dark side of a step.
constexpr std::size_t kCoreRadius = 2;
constexpr std::size_t kEdgeReach = 1;

struct LinearTable {
    double values[256];
    LinearTable()
    {
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            values[i] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
    }
};

const LinearTable linear;

// The cube root of t > 0 to about 1e-11, a few times faster than std::cbrt: a first guess from
// the float's exponent and mantissa bits (within about 6 %), then two of Halley's steps, each
// cubing the error (6e-2, 2e-4, 1e-11), one division each.
double cubeRoot(double t)
{
    std::uint32_t bits;
    const float single = float(t);
    std::memcpy(&bits, &single, sizeof bits);
    bits = bits / 3 + 709921077u; // a third of the exponent, with the bias kept
    float guess;
    std::memcpy(&guess, &bits, sizeof guess);
    double y = guess;
    for (int step = 0; step < 2; ++step) {
        const double cube = y * y * y;
        y *= (cube + 2 * t) / (2 * cube + t);
    }
    return y;
}

double labCurve(double t)
{
    constexpr double delta = 6.0 / 29.0;
    return t > delta * delta * delta ? cubeRoot(t) : t / (3 * delta * delta) + 4.0 / 29.0;
}

std::uint16_t steps16(float contrast)
{
    return std::uint16_t(std::clamp(contrast * float(kContrastSteps) + 0.5f, 0.0f, float(kContrastSteps)));
}

// The median of values (reordered).
std::uint16_t medianOf(std::vector<std::uint16_t> &values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Calls visit(neighbour) for the 8 neighbours of pixel i inside the picture.
template <class Visit> void forNeighbours(std::size_t i, std::size_t width, std::size_t height, Visit visit)
{
    const std::size_t x = i % width, y = i / width;
    if (x > 0 && y > 0 && x + 1 < width && y + 1 < height) { // inside: no clipping
        const std::size_t above = i - width, below = i + width;
        visit(above - 1);
        visit(above);
        visit(above + 1);
        visit(i - 1);
        visit(i + 1);
        visit(below - 1);
        visit(below);
        visit(below + 1);
        return;
    }
    const std::size_t x0 = x > 0 ? x - 1 : 0, x1 = std::min(x + 1, width - 1);
    const std::size_t y0 = y > 0 ? y - 1 : 0, y1 = std::min(y + 1, height - 1);
    for (std::size_t yy = y0; yy <= y1; ++yy)
        for (std::size_t xx = x0; xx <= x1; ++xx)
            if (xx != x || yy != y)
                visit(xx + width * yy);
}

// The largest value within radius pixels of each pixel (a square window, clipped at the borders):
// a max across, then a max down.
template <class Value>
std::vector<Value> largestAround(const Value *values, std::size_t width, std::size_t height, std::size_t radius)
{
    std::vector<Value> across(width * height), result(width * height);
    forRowRanges(height, width * (2 * radius + 1), [&](std::size_t firstRow, std::size_t lastRow) {
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            // One shifted max per offset, each a plain loop over the row: the clipped border is
            // where a shift runs out of pixels, so no bounds are checked inside.
            const Value *__restrict in = values + width * y;
            Value *__restrict out = &across[width * y];
            std::copy(in, in + width, out);
            for (std::size_t shift = 1; shift <= radius && shift < width; ++shift) {
                for (std::size_t x = 0; x + shift < width; ++x)
                    out[x] = std::max(out[x], in[x + shift]);
                for (std::size_t x = shift; x < width; ++x)
                    out[x] = std::max(out[x], in[x - shift]);
            }
        }
    });
    forRowRanges(height, width * (2 * radius + 1), [&](std::size_t firstRow, std::size_t lastRow) {
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const std::size_t y0 = y > radius ? y - radius : 0, y1 = std::min(y + radius, height - 1);
            Value *out = &result[width * y];
            std::copy(&across[width * y0], &across[width * y0] + width, out);
            for (std::size_t yy = y0 + 1; yy <= y1; ++yy)
                for (std::size_t x = 0; x < width; ++x)
                    out[x] = std::max(out[x], across[x + width * yy]);
        }
    });
    return result;
}

} // namespace

std::size_t hueBin(const Lab &lab, double chromaCut)
{
    // Pale colours hold less chroma: the cut falls with lightness, to a third of it.
    const double cut = chromaCut * std::clamp((100.0 - lab.L) / 50.0, 1.0 / 3.0, 1.0);
    if (std::hypot(lab.a, lab.b) < cut)
        return kNeutralBin;
    double hue = std::atan2(lab.b, lab.a) * (180.0 / M_PI);
    if (hue < 0)
        hue += 360.0;
    return std::min(std::size_t(hue / (360.0 / kHueBins)), kHueBins - 1);
}

Lab labOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    const double r = linear.values[red], g = linear.values[green], b = linear.values[blue];
    const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
    const double fx = labCurve(x), fy = labCurve(y), fz = labCurve(z);
    return {116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

std::vector<BlockThresholds> blockThresholds(const std::uint16_t *contrast, std::size_t width, std::size_t height,
                                             const InkRules &rules)
{
    const std::size_t across = (width + kNoiseBlock - 1) / kNoiseBlock, down = (height + kNoiseBlock - 1) / kNoiseBlock;
    std::vector<std::uint16_t> level(across * down), spread(across * down);
    forRowRanges(down, width * kNoiseBlock, [&](std::size_t firstRow, std::size_t lastRow) {
        std::vector<std::uint16_t> values, deviations;
        for (std::size_t by = firstRow; by < lastRow; ++by)
            for (std::size_t bx = 0; bx < across; ++bx) {
                // Every other pixel each way: a quarter of the block tells its noise as well.
                values.clear();
                for (std::size_t y = by * kNoiseBlock; y < std::min(height, (by + 1) * kNoiseBlock); y += 2)
                    for (std::size_t x = bx * kNoiseBlock; x < std::min(width, (bx + 1) * kNoiseBlock); x += 2)
                        values.push_back(contrast[x + width * y]);
                const std::uint16_t median = medianOf(values);
                deviations.resize(values.size());
                for (std::size_t k = 0; k < values.size(); ++k)
                    deviations[k] = std::uint16_t(std::abs(int(values[k]) - int(median)));
                level[bx + across * by] = median;
                spread[bx + across * by] = medianOf(deviations);
            }
    });
    const float ceilingLevel = 0.03f * float(kContrastSteps);
    std::vector<BlockThresholds> thresholds(across * down);
    std::vector<std::uint16_t> around;
    for (std::size_t by = 0; by < down; ++by)
        for (std::size_t bx = 0; bx < across; ++bx) {
            around.clear();
            for (std::size_t y = by ? by - 1 : 0; y <= std::min(by + 1, down - 1); ++y)
                for (std::size_t x = bx ? bx - 1 : 0; x <= std::min(bx + 1, across - 1); ++x)
                    around.push_back(spread[x + across * y]);
            // A spread beyond kMostNoise is the block's ink, not its paper's grain.
            const float noise = std::min(kMostNoise, 1.4826f * float(medianOf(around)) / float(kContrastSteps));
            const float paper = std::min(float(level[bx + across * by]), ceilingLevel) / float(kContrastSteps);
            const float low = std::max(rules.lowFloor, rules.lowNoise * noise) / rules.sensitivity;
            const float seed = std::max(rules.seedFloor, rules.seedNoise * noise) / rules.sensitivity;
            thresholds[bx + across * by] = {steps16(paper + low), steps16(paper + seed)};
        }
    return thresholds;
}

void classifyInk(const std::uint8_t *rgb, const std::uint16_t *contrast, const std::uint16_t *peak,
                 const std::uint16_t *tint, const std::uint8_t *colour, std::size_t width, std::size_t height,
                 const InkRules &rules, std::uint8_t *codes, InkHistogram &histogram)
{
    const float tintWeight = rules.tintWeight;
    // A coloured stroke stands out by its colour as well as by its darkness: its seed and sure
    // contrast count its tint (grey show-through and paper have none).
    auto standing = [&](std::size_t i) {
        return tint == nullptr ? float(contrast[i]) : float(contrast[i]) + tintWeight * float(tint[i]);
    };
    const std::size_t count = width * height;
    const std::size_t across = (width + kNoiseBlock - 1) / kNoiseBlock;
    const std::vector<BlockThresholds> thresholds = blockThresholds(contrast, width, height, rules);
    auto blockOf = [&](std::size_t i) -> const BlockThresholds & {
        return thresholds[(i % width) / kNoiseBlock + across * ((i / width) / kNoiseBlock)];
    };

    // A pixel may be ink when it stands out from the noise and lies near a sharp edge: where it,
    // or a pixel within kEdgeReach, is darker than a neighbour by sharpness of the darkest
    // contrast around it. Show-through is blurred through the paper and has no such edge; pixels of sure
    // contrast (inside filled shapes, far from their edges) need none.
    const std::vector<std::uint16_t> nearest = largestAround(contrast, width, height, kCoreRadius);
    std::vector<std::uint8_t> marks(count);
    forRowRanges(height, width * 8, [&](std::size_t firstRow, std::size_t lastRow) {
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const BlockThresholds *row = &thresholds[across * (y / kNoiseBlock)];
            const std::uint16_t *here = contrast + width * y;
            const std::uint16_t *above = y > 0 ? here - width : here, *below = y + 1 < height ? here + width : here;
            for (std::size_t x = 0; x < width; ++x) {
                const int own = here[x];
                const int left = here[x > 0 ? x - 1 : x], right = here[x + 1 < width ? x + 1 : x];
                const int step = own - std::min({left, right, int(above[x]), int(below[x])});
                marks[x + width * y] =
                    own >= row[x / kNoiseBlock].low && float(step) >= rules.sharpness * float(nearest[x + width * y]);
            }
        }
    });
    const std::vector<std::uint8_t> nearEdge = largestAround(marks.data(), width, height, kEdgeReach);
    const float sure = float(steps16(rules.sureContrast));
    forRowRanges(height, width * 4, [&](std::size_t firstRow, std::size_t lastRow) {
        // A row at a time, one noise block's stretch at a time: plain loops over local pointers,
        // with or without the tint.
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const BlockThresholds *row = &thresholds[across * (y / kNoiseBlock)];
            for (std::size_t x0 = 0; x0 < width; x0 += kNoiseBlock) {
                const std::size_t n = std::min(kNoiseBlock, width - x0), first = x0 + width * y;
                const std::uint16_t low = row[x0 / kNoiseBlock].low;
                const std::uint16_t *__restrict own = contrast + first;
                const std::uint8_t *__restrict edge = nearEdge.data() + first;
                std::uint8_t *__restrict mark = marks.data() + first;
                if (tint == nullptr) {
                    for (std::size_t x = 0; x < n; ++x)
                        mark[x] = float(own[x]) >= sure || (edge[x] != 0 && own[x] >= low) ? kPossible : kPaper;
                } else {
                    const std::uint16_t *__restrict tinted = tint + first;
                    for (std::size_t x = 0; x < n; ++x)
                        mark[x] =
                            float(own[x]) + tintWeight * float(tinted[x]) >= sure || (edge[x] != 0 && own[x] >= low)
                                ? kPossible
                                : kPaper;
                }
            }
        }
    });

    const std::uint16_t fullContrast = steps16(rules.fullContrast), fullJoin = steps16(rules.fullJoin);
    std::array<std::uint8_t, 256> untone{};
    for (std::size_t i = 0; i < 256; ++i)
        untone[i] = std::uint8_t(rules.ratios[i] * 255.0f + 0.5f);
    // Hues are judged from the picture's own neutral point for ink, and its own cut for grey.
    const InkNeutral neutral = inkNeutral(rgb, contrast, count, untone, fullContrast, rules.chromaCut);
    auto inkLab = [&](const std::uint8_t *sample) {
        return neutralised(labOf(untone[sample[0]], untone[sample[1]], untone[sample[2]]), neutral);
    };
    // A pixel the module whitened is read in the halved colour from before the whitening, when
    // there is one; without it, it carries no colour of its own.
    auto whitened = [&](std::size_t i) { return (rgb[3 * i] & rgb[3 * i + 1] & rgb[3 * i + 2]) == 255; };
    auto sampleOf = [&](std::size_t i) { return colour != nullptr && whitened(i) ? colour + 3 * i : rgb + 3 * i; };
    auto colourless = [&](std::size_t i) { return colour == nullptr && whitened(i); };
    std::vector<std::uint8_t> strokeBins(count);
    std::vector<std::size_t> stroke, dark;
    for (std::size_t start = 0; start < count; ++start) {
        // The next unvisited possible pixel: a plain search, which the library vectorises.
        start = std::size_t(std::find(marks.begin() + std::ptrdiff_t(start), marks.end(), kPossible) - marks.begin());
        if (start == count)
            break;
        // Grow the stroke; note whether it holds a seed.
        stroke.clear();
        stroke.push_back(start);
        marks[start] = kGrown;
        bool seeded = false;
        for (std::size_t head = 0; head < stroke.size(); ++head) {
            const std::size_t here = stroke[head];
            seeded |= standing(here) >= float(blockOf(here).seed);
            forNeighbours(here, width, height, [&](std::size_t next) {
                if (marks[next] == kPossible) {
                    marks[next] = kGrown;
                    stroke.push_back(next);
                }
            });
        }
        if (stroke.size() < rules.minStroke || !seeded) {
            for (std::size_t pixel : stroke)
                marks[pixel] = kDropped;
            continue;
        }
        // The soft flanks of a blurred stroke joined it: a pixel is drawn where it reaches
        // edgeShare of the darkest contrast around it, its own stroke's core.
        for (std::size_t pixel : stroke)
            marks[pixel] = float(contrast[pixel]) < rules.edgeShare * float(nearest[pixel]) ? kDropped : kPale;
        // Full strength spreads from the pixels whose peak reaches fullContrast through the
        // stroke's pixels of at least fullJoin, and one pixel beyond; the rest of it (a fading
        // tail, a pale rule it crosses) stays pale.
        for (std::size_t seed : stroke) {
            if (marks[seed] != kPale || peak[seed] < fullContrast)
                continue;
            dark.clear();
            dark.push_back(seed);
            marks[seed] = kStrong;
            for (std::size_t head = 0; head < dark.size(); ++head)
                forNeighbours(dark[head], width, height, [&](std::size_t next) {
                    if (marks[next] == kPale && std::max(contrast[next], peak[next]) >= fullJoin) {
                        marks[next] = kStrong;
                        dark.push_back(next);
                    }
                });
        }
        for (std::size_t pixel : stroke) {
            if (marks[pixel] != kPale)
                continue;
            bool besideStrong = false;
            forNeighbours(pixel, width, height, [&](std::size_t next) { besideStrong |= marks[next] == kStrong; });
            if (besideStrong)
                marks[pixel] = kFull;
            else if (float(contrast[pixel]) < rules.paleEdgeShare * float(nearest[pixel]))
                marks[pixel] = kDropped; // pale strokes and printed rules are drawn narrower
        }
        for (std::size_t pixel : stroke)
            if (marks[pixel] == kStrong)
                marks[pixel] = kFull;
        // Some stroke pixels carry no colour of their own: the module whitened them (faint ink,
        // a light highlighter's inside), or they are pale and too grey alone. Those take the
        // colour of the mean of their stroke's coloured pixels (of its pale part, when pale).
        Lab all{0, 0, 0}, faint{0, 0, 0};
        std::size_t coloured = 0, pale = 0;
        for (std::size_t pixel : stroke) {
            if ((marks[pixel] != kPale && marks[pixel] != kFull) || colourless(pixel))
                continue;
            const Lab lab = inkLab(sampleOf(pixel));
            all = {all.L + lab.L, all.a + lab.a, all.b + lab.b};
            ++coloured;
            if (marks[pixel] == kPale) {
                faint = {faint.L + lab.L, faint.a + lab.a, faint.b + lab.b};
                ++pale;
            }
        }
        auto meanBin = [&](const Lab &sum, std::size_t n) {
            return n == 0 ? std::uint8_t(kNeutralBin)
                          : std::uint8_t(hueBin({sum.L / double(n), sum.a / double(n), sum.b / double(n)},
                                                neutral.chromaCut / 2));
        };
        const std::uint8_t strokeBin = meanBin(all, coloured), paleBin = pale > 0 ? meanBin(faint, pale) : strokeBin;
        for (std::size_t pixel : stroke)
            if (marks[pixel] == kPale || marks[pixel] == kFull)
                strokeBins[pixel] =
                    (rgb[3 * pixel] & rgb[3 * pixel + 1] & rgb[3 * pixel + 2]) == 255 ? strokeBin : paleBin;
    }

    // Printed rules and graph grids are pale: a long thin straight line of no great contrast that
    // a dark stroke touched took its full strength above. Strokes crossing it are thicker there
    // and keep theirs. A line is judged whole, by its median peak: a ruled pencil line that darkens
    // along its length is no printed rule.
    std::vector<std::uint8_t> drawn(count);
    for (std::size_t i = 0; i < count; ++i)
        drawn[i] = marks[i] == kFull || marks[i] == kPale;
    std::vector<std::uint8_t> ruled = printedRules(drawn.data(), width, height, rules.ruleThickness, rules.ruleLength);
    const std::uint16_t ruleCeiling = steps16(rules.ruleContrast);
    std::vector<std::size_t> line;
    std::vector<std::uint16_t> peaks;
    for (std::size_t start = 0; start < count; ++start) {
        start = std::size_t(std::find(ruled.begin() + std::ptrdiff_t(start), ruled.end(), 1) - ruled.begin());
        if (start == count)
            break;
        line.assign(1, start);
        ruled[start] = 2;
        for (std::size_t head = 0; head < line.size(); ++head)
            forNeighbours(line[head], width, height, [&](std::size_t next) {
                if (ruled[next] == 1) {
                    ruled[next] = 2;
                    line.push_back(next);
                }
            });
        peaks.clear();
        for (std::size_t pixel : line)
            peaks.push_back(peak[pixel]);
        if (medianOf(peaks) >= ruleCeiling)
            continue;
        // A printed rule is drawn as narrow as it is printed: where it reaches ruleEdgeShare of its
        // core, not the flanks that blur and the halving gave it.
        for (std::size_t pixel : line)
            if (marks[pixel] == kFull || marks[pixel] == kPale)
                marks[pixel] = float(contrast[pixel]) < rules.ruleEdgeShare * float(nearest[pixel]) ? kDropped : kPale;
    }

    histogram.fill(0.0);
    // Each range of rows counts its own; they are added in row order, so that the sums come out
    // the same whatever the threads' timing.
    std::mutex adding;
    std::map<std::size_t, InkHistogram> counted;
    forRowRanges(height, width * 8, [&](std::size_t firstRow, std::size_t lastRow) {
        InkHistogram own{};
        for (std::size_t i = width * firstRow; i < width * lastRow; ++i) {
            if (marks[i] != kFull && marks[i] != kPale) {
                codes[i] = 0;
                continue;
            }
            const bool pale = marks[i] == kPale;
            const Lab lab = inkLab(sampleOf(i));
            std::size_t bin = hueBin(lab, neutral.chromaCut);
            if (colourless(i) || (pale && bin == kNeutralBin))
                bin = strokeBins[i];
            codes[i] = classCode(bin, pale);
            double *fields = &own[kHistogramFields * bin];
            fields[pale ? kPaleCount : kFullCount] += 1;
            fields[kSumL] += lab.L;
            fields[kSumA] += lab.a;
            fields[kSumB] += lab.b;
        }
        const std::lock_guard<std::mutex> lock(adding);
        counted[firstRow] = own;
    });
    for (const auto &range : counted)
        for (std::size_t k = 0; k < histogram.size(); ++k)
            histogram[k] += range.second[k];
}

} // namespace steps
