// One plain stream over restrict pointers per case, which the compiler turns into byte shuffles.
#include "interleave.hpp"

#include "vector_clones.hpp"

namespace vantrel {

namespace {

// lift is 1 or 0, a constant of each copy, so that the loop carries no branch on it.
template <unsigned char lift>
VANTREL_VECTOR_CLONES void interleaveLifted(const unsigned char *__restrict r, const unsigned char *__restrict g,
                                            const unsigned char *__restrict b, unsigned char *__restrict out,
                                            std::size_t n)
{
    for (std::size_t j = 0; j < n; ++j) {
        const unsigned char rs = r[j], gs = g[j], bs = b[j];
        out[3 * j] = static_cast<unsigned char>(rs + (rs == 0 ? lift : 0));
        out[3 * j + 1] = static_cast<unsigned char>(gs + (gs == 0 ? lift : 0));
        out[3 * j + 2] = static_cast<unsigned char>(bs + (bs == 0 ? lift : 0));
    }
}

} // namespace

void interleavePlanes(const unsigned char *r, const unsigned char *g, const unsigned char *b, unsigned char *out,
                      std::size_t n, bool zeroAsOne)
{
    if (zeroAsOne)
        interleaveLifted<1>(r, g, b, out, n);
    else
        interleaveLifted<0>(r, g, b, out, n);
}

} // namespace vantrel
