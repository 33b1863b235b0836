// Matrix-vector product kernel (see gemv.h).
#include "gemv.h"

#include <cstring>

#include "isa.h"

namespace zanthic {

namespace {

// y[0 .. m) for m rows of a (row stride n) against x.
typedef void (*GemvFn)(uint64_t m, uint64_t n, const double *a, const double *x, double *y);

// Rows per pass of the vector kernel: eight independent multiply-add chains
// (enough to cover the latency of the two FMA units), every load of x
// shared eight ways, and eight sums that fold into two vectors of results.
constexpr int kGroupRows = 8;

#if ZANTHIC_X86
// ---------------------------------------------------------------------------
// AVX2 with FMA: eight rows per pass, one accumulator of four lanes per row.

// Lane mask for the AVX2 masked loads and stores: the first t lanes.
ZANTHIC_TARGET_AVX2 inline __m256i gemv_lanes256(uint64_t t) {
    const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(t)), index);
}

// Lane r of the result is the sum of the four lanes of s[r], added as
// (0 + 1) + (2 + 3) for every r.
ZANTHIC_TARGET_AVX2 inline __m256d fold4(const __m256d *s) {
    const __m256d h01 = _mm256_hadd_pd(s[0], s[1]), h23 = _mm256_hadd_pd(s[2], s[3]);
    return _mm256_add_pd(_mm256_permute2f128_pd(h01, h23, 0x20), _mm256_permute2f128_pd(h01, h23, 0x31));
}

template <int R>
ZANTHIC_TARGET_AVX2 inline void gemv_group256(uint64_t n, const double *a, const double *x, double *y,
                                              __m256i last) {
    __m256d s[kGroupRows];
#pragma GCC unroll 8
    for (int r = 0; r < kGroupRows; r++) s[r] = _mm256_setzero_pd();
    const uint64_t body = n - n % 4;
    uint64_t p = 0;
    for (; p < body; p += 4) {
        const __m256d x0 = _mm256_loadu_pd(x + p);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) s[r] = _mm256_fmadd_pd(_mm256_loadu_pd(a + r * n + p), x0, s[r]);
    }
    if (p < n) {
        const __m256d x0 = _mm256_maskload_pd(x + p, last);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++) s[r] = _mm256_fmadd_pd(_mm256_maskload_pd(a + r * n + p, last), x0, s[r]);
    }
    if (R >= 4) {
        _mm256_storeu_pd(y, fold4(s));
        if (R == 8) {
            _mm256_storeu_pd(y + 4, fold4(s + 4));
        } else if (R > 4) {
            _mm256_maskstore_pd(y + 4, gemv_lanes256(R - 4), fold4(s + 4));
        }
    } else {
        _mm256_maskstore_pd(y, gemv_lanes256(R), fold4(s));
    }
}

ZANTHIC_TARGET_AVX2 void gemv_avx2(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    const __m256i last = gemv_lanes256(n % 4);
    uint64_t i = 0;
    for (; i + kGroupRows <= m; i += kGroupRows) gemv_group256<kGroupRows>(n, a + i * n, x, y + i, last);
    switch (m - i) {
        case 7: gemv_group256<7>(n, a + i * n, x, y + i, last); break;
        case 6: gemv_group256<6>(n, a + i * n, x, y + i, last); break;
        case 5: gemv_group256<5>(n, a + i * n, x, y + i, last); break;
        case 4: gemv_group256<4>(n, a + i * n, x, y + i, last); break;
        case 3: gemv_group256<3>(n, a + i * n, x, y + i, last); break;
        case 2: gemv_group256<2>(n, a + i * n, x, y + i, last); break;
        case 1: gemv_group256<1>(n, a + i * n, x, y + i, last); break;
        default: break;
    }
}

#endif  // ZANTHIC_X86

// ---------------------------------------------------------------------------
// Portable: one row per pass, four partial sums (over k mod 4) combined as
// (s3 + s1) + (s2 + s0), then the last n mod 4 products in order. (Passes
// of two or four rows sharing each x[p], written the same way in scalars,
// ran 2-2.5 times slower under GCC 12 -O3 on x86-64.)

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
// No AVX-512 kernel: with rows that start anywhere in a cache line (a row of
// 100 doubles is 12.5 lines), most 64-byte loads straddle two lines, and
// the 32-byte kernel reads matrices held in L2 10-16% faster on an
// AVX-512 Xeon (the same speed once the matrix streams from memory).
const GemvFn *const kGemvVariants[isa::kLevels] = {&kGemvPortable, &kGemvAvx2, nullptr};
#else
const GemvFn *const kGemvVariants[isa::kLevels] = {&kGemvPortable, nullptr, nullptr};
#endif

// The kernel of the active variant, chosen once.
GemvFn chosen_gemv() {
    static const GemvFn chosen = *isa::pick(kGemvVariants);
    return chosen;
}

void gemv_with(GemvFn kernel, uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    if (m == 0) return;
    if (n == 0) {
        memset(y, 0, m * sizeof(double));
        return;
    }
    kernel(m, n, a, x, y);
}

}  // namespace

void gemv(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    gemv_with(chosen_gemv(), m, n, a, x, y);
}

}  // namespace zanthic
