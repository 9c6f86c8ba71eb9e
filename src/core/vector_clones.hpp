// Hot loops are compiled twice on x86: for the baseline instruction set and for AVX2, chosen
// once at load by the dynamic loader. The plain loops vectorise well only with byte shuffles,
// which the x86-64 baseline lacks. Both versions compute exactly the same bytes: the loops use
// integer arithmetic or IEEE double precision without contraction.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && !defined(VANTREL_NO_CLONES)
#define VANTREL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTREL_VECTOR_CLONES
#endif
