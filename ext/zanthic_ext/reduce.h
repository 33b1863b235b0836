// Reductions over contiguous arrays of doubles: sum, sum of squares and dot
// product, each a single pass with no allocation.
//
// Three kernels per reduction share one signature (pointers, extent): a
// portable one, an AVX2+FMA one and an AVX-512 one. The best that the
// processor supports (or ZANTHIC_ISA forces) is chosen once, on first use,
// through isa.h, so one binary is correct everywhere and fast where the
// instructions exist. The order of summation is
// free (several independent partial sums), so results may differ from a
// left-to-right loop in the last bits.
#ifndef ZANTHIC_REDUCE_H
#define ZANTHIC_REDUCE_H

#include <stdint.h>

#include "isa.h"

namespace zanthic {
namespace reduce {

typedef double (*Unary)(const double *x, uint64_t n);
typedef double (*Binary)(const double *a, const double *b, uint64_t n);

struct Kernels {
    Unary sum;
    Unary sumsq;
    Binary dot;
};

// Independent partial sums per kernel. Four hide the latency of a dependent
// add in the portable kernel; the vector kernels keep four registers in
// flight (4 x 4 or 4 x 8 lanes), enough to stay limited by memory bandwidth
// rather than by the add pipeline.
constexpr int kPortableLanes = 4;
constexpr uint64_t kAvx2Step = 16;    // 4 registers x 4 doubles
constexpr uint64_t kAvx512Step = 32;  // 4 registers x 8 doubles

// ---- portable -------------------------------------------------------------
// Four partial sums over i mod 4 among the first 4 * floor(n / 4) elements,
// combined as (p1 + p3) + (p0 + p2), then the tail in index order.

inline double combine4(const double p[kPortableLanes]) { return (p[1] + p[3]) + (p[0] + p[2]); }

inline double sum_portable(const double *x, uint64_t n) {
    double p[kPortableLanes] = {0.0, 0.0, 0.0, 0.0};
    uint64_t i = 0;
    for (; i + kPortableLanes <= n; i += kPortableLanes)
        for (int k = 0; k < kPortableLanes; k++) p[k] += x[i + k];
    double s = combine4(p);
    for (; i < n; i++) s += x[i];
    return s;
}

inline double dot_portable(const double *a, const double *b, uint64_t n) {
    double p[kPortableLanes] = {0.0, 0.0, 0.0, 0.0};
    uint64_t i = 0;
    for (; i + kPortableLanes <= n; i += kPortableLanes)
        for (int k = 0; k < kPortableLanes; k++) p[k] += a[i + k] * b[i + k];
    double s = combine4(p);
    for (; i < n; i++) s += a[i] * b[i];
    return s;
}

inline double sumsq_portable(const double *x, uint64_t n) { return dot_portable(x, x, n); }

#if ZANTHIC_X86
// ---- AVX2 + FMA -----------------------------------------------------------

__attribute__((target("avx2,fma"))) inline double hsum256(__m256d v) {
    __m128d lo = _mm256_castpd256_pd128(v), hi = _mm256_extractf128_pd(v, 1);
    __m128d s = _mm_add_pd(lo, hi);
    return _mm_cvtsd_f64(_mm_add_sd(s, _mm_unpackhi_pd(s, s)));
}

__attribute__((target("avx2,fma"))) inline double sum_avx2(const double *x, uint64_t n) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx2Step <= n; i += kAvx2Step) {
        s0 = _mm256_add_pd(s0, _mm256_loadu_pd(x + i));
        s1 = _mm256_add_pd(s1, _mm256_loadu_pd(x + i + 4));
        s2 = _mm256_add_pd(s2, _mm256_loadu_pd(x + i + 8));
        s3 = _mm256_add_pd(s3, _mm256_loadu_pd(x + i + 12));
    }
    for (; i + 4 <= n; i += 4) s0 = _mm256_add_pd(s0, _mm256_loadu_pd(x + i));
    double s = hsum256(_mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    for (; i < n; i++) s += x[i];
    return s;
}

__attribute__((target("avx2,fma"))) inline double dot_avx2(const double *a, const double *b, uint64_t n) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx2Step <= n; i += kAvx2Step) {
        s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
        s1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), s1);
        s2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), s2);
        s3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), s3);
    }
    for (; i + 4 <= n; i += 4) s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
    double s = hsum256(_mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    for (; i < n; i++) s += a[i] * b[i];
    return s;
}

__attribute__((target("avx2,fma"))) inline double sumsq_avx2(const double *x, uint64_t n) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx2Step <= n; i += kAvx2Step) {
        __m256d x0 = _mm256_loadu_pd(x + i), x1 = _mm256_loadu_pd(x + i + 4);
        __m256d x2 = _mm256_loadu_pd(x + i + 8), x3 = _mm256_loadu_pd(x + i + 12);
        s0 = _mm256_fmadd_pd(x0, x0, s0);
        s1 = _mm256_fmadd_pd(x1, x1, s1);
        s2 = _mm256_fmadd_pd(x2, x2, s2);
        s3 = _mm256_fmadd_pd(x3, x3, s3);
    }
    for (; i + 4 <= n; i += 4) {
        __m256d x0 = _mm256_loadu_pd(x + i);
        s0 = _mm256_fmadd_pd(x0, x0, s0);
    }
    double s = hsum256(_mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    for (; i < n; i++) s += x[i] * x[i];
    return s;
}

// ---- AVX-512 --------------------------------------------------------------
// The last n mod 8 elements are read with a masked load, which touches no
// memory outside the mask, so there is no scalar tail.

// Sum of the eight lanes, pairwise. (Through memory: the shuffle intrinsics
// that would keep it in registers trip a false -Wuninitialized in GCC 12.)
__attribute__((target("avx512f"))) inline double hsum512(__m512d v) {
    alignas(64) double l[8];
    _mm512_store_pd(l, v);
    return ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]));
}

__attribute__((target("avx512f"))) inline __mmask8 tail_mask(uint64_t rest) {
    return static_cast<__mmask8>((1u << rest) - 1u);
}

__attribute__((target("avx512f"))) inline double sum_avx512(const double *x, uint64_t n) {
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx512Step <= n; i += kAvx512Step) {
        s0 = _mm512_add_pd(s0, _mm512_loadu_pd(x + i));
        s1 = _mm512_add_pd(s1, _mm512_loadu_pd(x + i + 8));
        s2 = _mm512_add_pd(s2, _mm512_loadu_pd(x + i + 16));
        s3 = _mm512_add_pd(s3, _mm512_loadu_pd(x + i + 24));
    }
    for (; i + 8 <= n; i += 8) s0 = _mm512_add_pd(s0, _mm512_loadu_pd(x + i));
    if (i < n) s1 = _mm512_add_pd(s1, _mm512_maskz_loadu_pd(tail_mask(n - i), x + i));
    return hsum512(_mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
}

__attribute__((target("avx512f"))) inline double dot_avx512(const double *a, const double *b, uint64_t n) {
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx512Step <= n; i += kAvx512Step) {
        s0 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), s0);
        s1 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 8), _mm512_loadu_pd(b + i + 8), s1);
        s2 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 16), _mm512_loadu_pd(b + i + 16), s2);
        s3 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 24), _mm512_loadu_pd(b + i + 24), s3);
    }
    for (; i + 8 <= n; i += 8) s0 = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), s0);
    if (i < n) {
        const __mmask8 m = tail_mask(n - i);
        s1 = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(m, a + i), _mm512_maskz_loadu_pd(m, b + i), s1);
    }
    return hsum512(_mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
}

__attribute__((target("avx512f"))) inline double sumsq_avx512(const double *x, uint64_t n) {
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    uint64_t i = 0;
    for (; i + kAvx512Step <= n; i += kAvx512Step) {
        __m512d x0 = _mm512_loadu_pd(x + i), x1 = _mm512_loadu_pd(x + i + 8);
        __m512d x2 = _mm512_loadu_pd(x + i + 16), x3 = _mm512_loadu_pd(x + i + 24);
        s0 = _mm512_fmadd_pd(x0, x0, s0);
        s1 = _mm512_fmadd_pd(x1, x1, s1);
        s2 = _mm512_fmadd_pd(x2, x2, s2);
        s3 = _mm512_fmadd_pd(x3, x3, s3);
    }
    for (; i + 8 <= n; i += 8) {
        __m512d x0 = _mm512_loadu_pd(x + i);
        s0 = _mm512_fmadd_pd(x0, x0, s0);
    }
    if (i < n) {
        __m512d x0 = _mm512_maskz_loadu_pd(tail_mask(n - i), x + i);
        s1 = _mm512_fmadd_pd(x0, x0, s1);
    }
    return hsum512(_mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
}

#endif  // ZANTHIC_X86

// ---- dispatch -------------------------------------------------------------

inline constexpr Kernels kPortable = {sum_portable, sumsq_portable, dot_portable};
#if ZANTHIC_X86
inline constexpr Kernels kAvx2 = {sum_avx2, sumsq_avx2, dot_avx2};
inline constexpr Kernels kAvx512 = {sum_avx512, sumsq_avx512, dot_avx512};
inline constexpr const Kernels *kVariants[isa::kLevels] = {&kPortable, &kAvx2, &kAvx512};
#else
inline constexpr const Kernels *kVariants[isa::kLevels] = {&kPortable, nullptr, nullptr};
#endif

// The kernels of the active variant, chosen on the first call.
inline const Kernels &kernels() {
    static const Kernels *const chosen = isa::pick(kVariants);
    return *chosen;
}

inline double sum(const double *x, uint64_t n) { return kernels().sum(x, n); }
inline double sumsq(const double *x, uint64_t n) { return kernels().sumsq(x, n); }
inline double dot(const double *a, const double *b, uint64_t n) { return kernels().dot(a, b, n); }

}  // namespace reduce
}  // namespace zanthic

#endif
