// Matrix-vector product kernel (see gemv.h).
#include "gemv.h"

#include <cstring>

#include "isa.h"

namespace zanthic {

namespace {

// y[0 .. m) for m rows of a (row stride n) against x.
typedef void (*GemvFn)(uint64_t m, uint64_t n, const double *a, const double *x, double *y);

#if ZANTHIC_X86
// ---------------------------------------------------------------------------
// AVX-512

// Horizontal sum, through memory: GCC 12's lane-extract intrinsics trip its
// own uninitialised-value warning.
ZANTHIC_TARGET_AVX512 inline double hsum512(__m512d v) {
    double t[8];
    _mm512_storeu_pd(t, v);
    return ((t[0] + t[4]) + (t[2] + t[6])) + ((t[1] + t[5]) + (t[3] + t[7]));
}

// R rows against x, one accumulator per row; the column tail through a
// mask. Eight rows at a time keep eight independent FMA chains in flight
// and share each load of x eight ways.
template <int R>
ZANTHIC_TARGET_AVX512 void gemv_rows512(uint64_t n, const double *a, const double *x, double *y, __mmask8 last) {
    __m512d s[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) s[r] = _mm512_setzero_pd();
    uint64_t p = 0;
    for (; p + 8 <= n; p += 8) {
        const __m512d x0 = _mm512_loadu_pd(x + p);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) s[r] = _mm512_fmadd_pd(_mm512_loadu_pd(a + r * n + p), x0, s[r]);
    }
    if (p < n) {
        const __m512d x0 = _mm512_maskz_loadu_pd(last, x + p);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) s[r] = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(last, a + r * n + p), x0, s[r]);
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) y[r] = hsum512(s[r]);
}

ZANTHIC_TARGET_AVX512 void gemv_avx512(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    const __mmask8 last = static_cast<__mmask8>((1u << (n % 8)) - 1);
    uint64_t i = 0;
    for (; i + 8 <= m; i += 8) gemv_rows512<8>(n, a + i * n, x, y + i, last);
    if (m - i >= 4) {
        gemv_rows512<4>(n, a + i * n, x, y + i, last);
        i += 4;
    }
    if (m - i >= 2) {
        gemv_rows512<2>(n, a + i * n, x, y + i, last);
        i += 2;
    }
    if (i < m) gemv_rows512<1>(n, a + i * n, x, y + i, last);
}

// ---------------------------------------------------------------------------
// AVX2 with FMA

// Lane mask for the AVX2 masked loads: the first t lanes.
ZANTHIC_TARGET_AVX2 inline __m256i gemv_lanes256(uint64_t t) {
    const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(t)), index);
}

ZANTHIC_TARGET_AVX2 inline double hsum256(__m256d v) {
    const __m128d s = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(s, _mm_unpackhi_pd(s, s)));
}

// Two rows at a time, two accumulators per row; the column tail by mask.
ZANTHIC_TARGET_AVX2 void gemv_avx2(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    const uint64_t tail = n % 4;
    const __m256i last = gemv_lanes256(tail);
    const uint64_t body = n - tail;
    uint64_t i = 0;
    for (; i + 2 <= m; i += 2) {
        const double *r0 = a + i * n, *r1 = r0 + n;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, t0 = s0, t1 = s0;
        uint64_t p = 0;
        for (; p + 8 <= body; p += 8) {
            const __m256d x0 = _mm256_loadu_pd(x + p), x1 = _mm256_loadu_pd(x + p + 4);
            s0 = _mm256_fmadd_pd(_mm256_loadu_pd(r0 + p), x0, s0);
            s1 = _mm256_fmadd_pd(_mm256_loadu_pd(r1 + p), x0, s1);
            t0 = _mm256_fmadd_pd(_mm256_loadu_pd(r0 + p + 4), x1, t0);
            t1 = _mm256_fmadd_pd(_mm256_loadu_pd(r1 + p + 4), x1, t1);
        }
        for (; p < body; p += 4) {
            const __m256d x0 = _mm256_loadu_pd(x + p);
            s0 = _mm256_fmadd_pd(_mm256_loadu_pd(r0 + p), x0, s0);
            s1 = _mm256_fmadd_pd(_mm256_loadu_pd(r1 + p), x0, s1);
        }
        if (tail) {
            const __m256d x0 = _mm256_maskload_pd(x + p, last);
            s0 = _mm256_fmadd_pd(_mm256_maskload_pd(r0 + p, last), x0, s0);
            s1 = _mm256_fmadd_pd(_mm256_maskload_pd(r1 + p, last), x0, s1);
        }
        y[i] = hsum256(_mm256_add_pd(s0, t0));
        y[i + 1] = hsum256(_mm256_add_pd(s1, t1));
    }
    for (; i < m; i++) {
        const double *r0 = a + i * n;
        __m256d s0 = _mm256_setzero_pd();
        uint64_t p = 0;
        for (; p < body; p += 4) s0 = _mm256_fmadd_pd(_mm256_loadu_pd(r0 + p), _mm256_loadu_pd(x + p), s0);
        if (tail) s0 = _mm256_fmadd_pd(_mm256_maskload_pd(r0 + p, last), _mm256_maskload_pd(x + p, last), s0);
        y[i] = hsum256(s0);
    }
}

#endif  // ZANTHIC_X86

// ---------------------------------------------------------------------------
// Portable

// Four partial sums per row, combined at the end.
void gemv_portable(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    for (uint64_t i = 0; i < m; i++) {
        const double *row = a + i * n;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        uint64_t p = 0;
        for (; p + 4 <= n; p += 4) {
            s0 += row[p] * x[p];
            s1 += row[p + 1] * x[p + 1];
            s2 += row[p + 2] * x[p + 2];
            s3 += row[p + 3] * x[p + 3];
        }
        double s = (s3 + s1) + (s2 + s0);
        for (; p < n; p++) s += row[p] * x[p];
        y[i] = s;
    }
}

// ---------------------------------------------------------------------------
// Dispatch

const GemvFn kGemvPortable = gemv_portable;
#if ZANTHIC_X86
const GemvFn kGemvAvx2 = gemv_avx2;
const GemvFn kGemvAvx512 = gemv_avx512;
const GemvFn *const kGemvVariants[isa::kLevels] = {&kGemvPortable, &kGemvAvx2, &kGemvAvx512};
#else
const GemvFn *const kGemvVariants[isa::kLevels] = {&kGemvPortable, nullptr, nullptr};
#endif

// The kernel of the active variant, chosen once.
GemvFn chosen_gemv() {
    static const GemvFn chosen = *isa::pick(kGemvVariants);
    return chosen;
}

}  // namespace

void gemv(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    if (m == 0) return;
    if (n == 0) {
        memset(y, 0, m * sizeof(double));
        return;
    }
    chosen_gemv()(m, n, a, x, y);
}

}  // namespace zanthic
