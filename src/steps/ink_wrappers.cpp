// The wrappers of the ink decision and of the vote along strokes; both work on the call's own
// buffers, with the interpreter lock released.
#include "step_wrappers.hpp"

#include "even_background.hpp"
#include "ink_classes.hpp"
#include "ink_votes.hpp"
#include "step_checks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <iterator>

namespace steps {

PyObject *wrapClassifyInk(PyObject *, PyObject *args)
{
    HeldBuffer picture, contrast;
    long long width, height, minStroke;
    double exponent, knee, chromaCut;
    float sensitivity, lowNoise, lowFloor, seedNoise, seedFloor, sharpness, sureContrast, edgeShare, paleEdgeShare,
        fullContrast, fullJoin;
    if (!PyArg_ParseTuple(args,
                          "y*y*LLdd"
                          "fffffffffff"
                          "Ld:classify_ink",
                          &picture.view, &contrast.view, &width, &height, &exponent, &knee, &sensitivity, &lowNoise,
                          &lowFloor, &seedNoise, &seedFloor, &sharpness, &sureContrast, &edgeShare, &paleEdgeShare,
                          &fullContrast, &fullJoin, &minStroke, &chromaCut))
        return nullptr;
    if (!requirePicture(picture.view, width, height, "classify_ink") ||
        !requireContrast(contrast.view, width, height, "classify_ink") || !requireExponent(exponent, "classify_ink") ||
        !requireKnee(knee, "classify_ink"))
        return nullptr;
    const float shares[] = {lowNoise,     lowFloor,  seedNoise,     seedFloor,    sharpness,
                            sureContrast, edgeShare, paleEdgeShare, fullContrast, fullJoin};
    const bool sharesFit = std::all_of(std::begin(shares), std::end(shares),
                                       [](float share) { return share >= 0 && std::isfinite(share); });
    const char *refusal =
        !(sensitivity > 0) || !std::isfinite(sensitivity) ? "classify_ink: the sensitivity must be a positive number"
        : !sharesFit                         ? "classify_ink: the rules' thresholds must be finite and not negative"
        : minStroke < 0 || !(chromaCut >= 0) ? "classify_ink: min_stroke and chroma_cut must not be negative"
                                             : nullptr;
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }
    InkRules rules;
    rules.ratios = ratioTable(exponent, knee);
    rules.sensitivity = sensitivity;
    rules.lowNoise = lowNoise;
    rules.lowFloor = lowFloor;
    rules.seedNoise = seedNoise;
    rules.seedFloor = seedFloor;
    rules.sharpness = sharpness;
    rules.sureContrast = sureContrast;
    rules.edgeShare = edgeShare;
    rules.paleEdgeShare = paleEdgeShare;
    rules.fullContrast = fullContrast;
    rules.fullJoin = fullJoin;
    rules.minStroke = std::size_t(minStroke);
    rules.chromaCut = chromaCut;

    NewObject codes(PyBytes_FromStringAndSize(nullptr, picture.view.len / 3));
    if (codes.object == nullptr)
        return nullptr;
    InkHistogram histogram;
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(codes.object));
    const auto *planes = static_cast<const std::uint16_t *>(contrast.view.buf);
    if (!runStep(Lock::Release, [&] {
            const Py_ssize_t pixels = Py_ssize_t(width) * Py_ssize_t(height);
            const bool withTint = contrast.view.len >= 6 * pixels, withColour = contrast.view.len == 9 * pixels;
            classifyInk(static_cast<const std::uint8_t *>(picture.view.buf), planes, planes + pixels,
                        withTint ? planes + 2 * pixels : nullptr,
                        withColour ? reinterpret_cast<const std::uint8_t *>(planes + 3 * pixels) : nullptr,
                        std::size_t(width), std::size_t(height), rules, out, histogram);
        }))
        return nullptr;
    PyObject *sums =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(histogram.data()), Py_ssize_t(sizeof histogram));
    if (sums == nullptr)
        return nullptr;
    return Py_BuildValue("(NN)", codes.release(), sums);
}

PyObject *wrapVoteInks(PyObject *, PyObject *args)
{
    HeldBuffer codes, lookup;
    long long width, height, radius;
    if (!PyArg_ParseTuple(args, "y*LLL|y*:vote_inks", &codes.view, &width, &height, &radius, &lookup.view))
        return nullptr;
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / height || codes.view.len != Py_ssize_t(width * height)) {
        PyErr_Format(PyExc_ValueError, "vote_inks: %zd indexes do not make a %lld x %lld picture", codes.view.len,
                     width, height);
        return nullptr;
    }
    if (radius < 0 || radius > 16) {
        PyErr_SetString(PyExc_ValueError, "vote_inks: the radius must be 0 to 16");
        return nullptr;
    }
    // Without a lookup the codes are palette indexes already.
    std::array<std::uint8_t, 256> identity{};
    for (std::size_t i = 0; i < identity.size(); ++i)
        identity[i] = std::uint8_t(i);
    const auto *table = lookup.view.obj ? static_cast<const std::uint8_t *>(lookup.view.buf) : identity.data();
    if (lookup.view.obj != nullptr && (lookup.view.len != 256 || table[kPaperCode] != kPaperCode)) {
        PyErr_Format(PyExc_ValueError, "vote_inks: the lookup must be 256 palette indexes, paper to paper (%zd bytes)",
                     lookup.view.len);
        return nullptr;
    }
    // Index 255 is ink 127 at full strength: a pale pixel voting for it would be 256, past a byte.
    const bool hasIndex255 = lookup.view.obj ? std::memchr(table, 255, 256) != nullptr
                                             : std::memchr(codes.view.buf, 255, std::size_t(codes.view.len)) != nullptr;
    if (hasIndex255) {
        PyErr_SetString(PyExc_ValueError, "vote_inks: palette indexes run from 0 to 254");
        return nullptr;
    }
    NewObject result(PyBytes_FromStringAndSize(nullptr, codes.view.len));
    if (result.object == nullptr)
        return nullptr;
    if (!runStep(Lock::Release, [&] {
            voteInks(static_cast<const std::uint8_t *>(codes.view.buf), table, std::size_t(width), std::size_t(height),
                     std::size_t(radius), reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(result.object)));
        }))
        return nullptr;
    return result.release();
}

} // namespace steps
