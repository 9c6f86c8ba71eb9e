// Three passes: mark the pixels that may be ink; grow every stroke from its certain pixels
// through the possible ones, dropping specks; give the kept pixels their class. The marks live
// in the code buffer itself until the last pass overwrites them with the codes.
#include "ink_classes.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace steps {

namespace {

enum Mark : std::uint8_t { kPaper = 0, kPossible = 1, kKept = 2, kSpeck = 3 };

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

double labCurve(double t)
{
    constexpr double delta = 6.0 / 29.0;
    return t > delta * delta * delta ? std::cbrt(t) : t / (3 * delta * delta) + 4.0 / 29.0;
}

std::uint8_t darkest(const std::uint8_t *pixel) { return std::min({pixel[0], pixel[1], pixel[2]}); }

// The inverse of the evening's power curve, sample by sample: dark colours keep their chroma
// there, which the curve squeezes towards black.
std::array<std::uint8_t, 256> undoToneTable(double exponent)
{
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[std::size_t(i)] = std::uint8_t(std::pow(i / 255.0, 1.0 / exponent) * 255.0 + 0.5);
    return table;
}

// The darkest sample in the 3x3 neighbourhood of pixel i (clipped at the borders).
std::uint8_t darkestAround(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t i)
{
    const std::size_t x = i % width, y = i / width;
    const std::size_t x0 = x > 0 ? x - 1 : 0, x1 = std::min(x + 1, width - 1);
    const std::size_t y0 = y > 0 ? y - 1 : 0, y1 = std::min(y + 1, height - 1);
    std::uint8_t least = 255;
    for (std::size_t yy = y0; yy <= y1; ++yy)
        for (std::size_t xx = x0; xx <= x1; ++xx)
            least = std::min(least, darkest(rgb + 3 * (xx + width * yy)));
    return least;
}

// Grows the stroke of seed through 8-connected possible pixels; a stroke of fewer than minStroke
// pixels is marked as a speck. stroke is the work list, reused from call to call.
void growStroke(std::uint8_t *marks, std::size_t width, std::size_t height, std::size_t seed, std::size_t minStroke,
                std::vector<std::size_t> &stroke)
{
    stroke.clear();
    stroke.push_back(seed);
    marks[seed] = kKept;
    for (std::size_t head = 0; head < stroke.size(); ++head) {
        const std::size_t here = stroke[head];
        const std::size_t x = here % width, y = here / width;
        const std::size_t x0 = x > 0 ? x - 1 : 0, x1 = std::min(x + 1, width - 1);
        const std::size_t y0 = y > 0 ? y - 1 : 0, y1 = std::min(y + 1, height - 1);
        for (std::size_t yy = y0; yy <= y1; ++yy)
            for (std::size_t xx = x0; xx <= x1; ++xx) {
                const std::size_t next = xx + width * yy;
                if (marks[next] == kPossible) {
                    marks[next] = kKept;
                    stroke.push_back(next);
                }
            }
    }
    if (stroke.size() < minStroke)
        for (std::size_t pixel : stroke)
            marks[pixel] = kSpeck;
}

} // namespace

Lab labOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    const double r = linear.values[red], g = linear.values[green], b = linear.values[blue];
    const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
    const double fx = labCurve(x), fy = labCurve(y), fz = labCurve(z);
    return {116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

void classifyInk(const std::uint8_t *rgb, std::size_t width, std::size_t height, const InkRules &rules,
                 std::uint8_t *codes, InkHistogram &histogram)
{
    const std::size_t count = width * height;
    const std::array<std::uint8_t, 256> untone = undoToneTable(rules.exponent);
    // The curve is monotonic: a level before it compares as its image after it.
    auto toned = [&untone](std::uint8_t level) {
        int image = 0;
        while (image < 255 && untone[std::size_t(image + 1)] <= level)
            ++image;
        return std::uint8_t(image);
    };
    const std::uint8_t inkLevel = toned(rules.inkLevel), seedLevel = toned(rules.seedLevel);
    const std::uint8_t fullLevel = toned(rules.fullLevel);
    std::uint8_t *marks = codes;
    for (std::size_t i = 0; i < count; ++i)
        marks[i] = darkest(rgb + 3 * i) <= inkLevel ? kPossible : kPaper;

    std::vector<std::size_t> stroke;
    for (std::size_t i = 0; i < count; ++i)
        if (marks[i] == kPossible && darkest(rgb + 3 * i) <= seedLevel)
            growStroke(marks, width, height, i, rules.minStroke, stroke);

    histogram.fill(0.0);
    for (std::size_t i = 0; i < count; ++i) {
        if (marks[i] != kKept) {
            codes[i] = 0;
            continue;
        }
        const std::uint8_t pixel[3] = {untone[rgb[3 * i]], untone[rgb[3 * i + 1]], untone[rgb[3 * i + 2]]};
        const Lab lab = labOf(pixel[0], pixel[1], pixel[2]);
        const double chroma = std::hypot(lab.a, lab.b);
        // Pale pixels hold less colour: the cut falls with lightness, to a third of it.
        const double cut = rules.chromaCut * std::clamp((100.0 - lab.L) / 50.0, 1.0 / 3.0, 1.0);
        std::size_t bin = kNeutralBin;
        if (chroma >= cut) {
            double hue = std::atan2(lab.b, lab.a) * (180.0 / M_PI);
            if (hue < 0)
                hue += 360.0;
            bin = std::min(std::size_t(hue / (360.0 / kHueBins)), kHueBins - 1);
        }
        // Thin strokes lose depth in the halving, and their edges blend with the paper: a stroke
        // pixel beside a full-strength one is full as well, so that only faint strokes and
        // pale printing come out pale (and strokes keep crisp, cheaply compressed edges).
        const bool pale = darkest(rgb + 3 * i) > fullLevel && darkestAround(rgb, width, height, i) > fullLevel;
        codes[i] = classCode(bin, pale);
        double *fields = &histogram[kHistogramFields * bin];
        fields[pale ? kPaleCount : kFullCount] += 1;
        fields[kSumL] += lab.L;
        fields[kSumA] += lab.a;
        fields[kSumB] += lab.b;
    }
}

} // namespace steps
