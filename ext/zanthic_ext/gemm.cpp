// Product kernels (see gemm.h).
//
// The matrix product works straight on the row-major operands, without
// packing or transposing either of them. A micro-kernel keeps an MR x NR
// tile of c in registers and, for each p of a block of the inner dimension,
// loads NR contiguous elements of row p of b and broadcasts one element of
// each of the MR rows of a: MR * NR / W fused multiply-adds for NR / W + MR
// loads (W doubles per vector). Blocking over the inner dimension (kBlockK)
// keeps the b panel of one tile column (kBlockK x NR) in L1 while the row
// blocks of a (kBlockM x kBlockK) sweep past it from L2.
//
// Each instruction set has its own tile functions with one signature; a
// table of them per instruction set is chosen once, at the first call,
// through isa.h.
#include "gemm.h"

#include <cstring>

#include "gemv.h"
#include "isa.h"
#include "nogvl.h"

namespace zanthic {

namespace {

// Inner-dimension block: a 256-deep b panel of one tile column is 48 KiB at
// NR = 24 (AVX-512), 16 KiB at NR = 8 (AVX2), which keeps it in L1/L2 across
// all the row tiles that reuse it, and each row tile of a streams 2 KiB per
// row.
constexpr uint64_t kBlockK = 256;
// Row block: kBlockM rows of a by kBlockK is 240 KiB, resident in L2 while
// every tile column of b passes it; 120 is a whole number of row tiles for
// every instruction set (8, 6 and 4 rows).
constexpr uint64_t kBlockM = 120;

// A tile function computes the mr x nc tile of c at c (row stride ldc) from
// kc columns of a (row stride lda) and kc rows of b (row stride ldb), with
// mr <= MR and nc <= NR of its instruction set. It stores the tile, or adds
// it to what c holds when accumulate is set.
typedef void (*TileFn)(uint64_t mr, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                       uint64_t ldb, double *c, uint64_t ldc, bool accumulate);

struct Kernels {
    TileFn tile;
    uint64_t mr;
    uint64_t nr;
};

#if ZANTHIC_X86
// ---------------------------------------------------------------------------
// AVX-512: 8 x 24 tiles, 24 accumulators of 8 doubles.

#define ZANTHIC_AVX512 ZANTHIC_TARGET_AVX512

constexpr int kMr512 = 8;
constexpr int kVec512 = 3;  // vectors per tile row: NR = 24

template <int MR, int NV>
ZANTHIC_AVX512 void tile512(uint64_t kc, const double *a, uint64_t lda, const double *b, uint64_t ldb, double *c,
                            uint64_t ldc, __mmask8 last, bool accumulate) {
    __m512d acc[MR][NV];
#pragma GCC unroll 8
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 3
        for (int v = 0; v < NV; v++) acc[r][v] = _mm512_setzero_pd();
    for (uint64_t p = 0; p < kc; p++) {
        const double *brow = b + p * ldb;
        __m512d bv[NV];
#pragma GCC unroll 3
        for (int v = 0; v < NV; v++)
            bv[v] = v == NV - 1 ? _mm512_maskz_loadu_pd(last, brow + 8 * v) : _mm512_loadu_pd(brow + 8 * v);
#pragma GCC unroll 8
        for (int r = 0; r < MR; r++) {
            const __m512d av = _mm512_set1_pd(a[r * lda + p]);
#pragma GCC unroll 3
            for (int v = 0; v < NV; v++) acc[r][v] = _mm512_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 3
        for (int v = 0; v < NV; v++) {
            double *dst = c + r * ldc + 8 * v;
            const __mmask8 mask = v == NV - 1 ? last : static_cast<__mmask8>(0xff);
            __m512d x = acc[r][v];
            if (accumulate) x = _mm512_add_pd(_mm512_maskz_loadu_pd(mask, dst), x);
            _mm512_mask_storeu_pd(dst, mask, x);
        }
}

template <int MR>
ZANTHIC_AVX512 void rows512(uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b, uint64_t ldb,
                            double *c, uint64_t ldc, bool accumulate) {
    const uint64_t tail = nc % 8;
    const __mmask8 last = tail ? static_cast<__mmask8>((1u << tail) - 1) : static_cast<__mmask8>(0xff);
    switch ((nc + 7) / 8) {
        case 1: tile512<MR, 1>(kc, a, lda, b, ldb, c, ldc, last, accumulate); break;
        case 2: tile512<MR, 2>(kc, a, lda, b, ldb, c, ldc, last, accumulate); break;
        default: tile512<MR, 3>(kc, a, lda, b, ldb, c, ldc, last, accumulate); break;
    }
}

ZANTHIC_AVX512 void tile_avx512(uint64_t mr, uint64_t nc, uint64_t kc, const double *a, uint64_t lda,
                                const double *b, uint64_t ldb, double *c, uint64_t ldc, bool accumulate) {
    switch (mr) {
        case 1: rows512<1>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 2: rows512<2>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 3: rows512<3>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 4: rows512<4>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 5: rows512<5>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 6: rows512<6>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 7: rows512<7>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        default: rows512<8>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
    }
}

// ---------------------------------------------------------------------------
// AVX2 with FMA: 6 x 8 tiles, 12 accumulators of 4 doubles.

#define ZANTHIC_AVX2 ZANTHIC_TARGET_AVX2

constexpr int kMr256 = 6;
constexpr int kVec256 = 2;  // NR = 8

// Lane masks for the AVX2 masked loads and stores: the first t lanes.
ZANTHIC_AVX2 inline __m256i lanes256(uint64_t t) {
    const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(t)), index);
}

template <int MR, int NV>
ZANTHIC_AVX2 void tile256(uint64_t kc, const double *a, uint64_t lda, const double *b, uint64_t ldb, double *c,
                          uint64_t ldc, __m256i last, bool accumulate) {
    __m256d acc[MR][NV];
#pragma GCC unroll 6
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++) acc[r][v] = _mm256_setzero_pd();
    for (uint64_t p = 0; p < kc; p++) {
        const double *brow = b + p * ldb;
        __m256d bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++)
            bv[v] = v == NV - 1 ? _mm256_maskload_pd(brow + 4 * v, last) : _mm256_loadu_pd(brow + 4 * v);
#pragma GCC unroll 6
        for (int r = 0; r < MR; r++) {
            const __m256d av = _mm256_broadcast_sd(a + r * lda + p);
#pragma GCC unroll 2
            for (int v = 0; v < NV; v++) acc[r][v] = _mm256_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
    const __m256i full = _mm256_set1_epi64x(-1);
#pragma GCC unroll 6
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++) {
            double *dst = c + r * ldc + 4 * v;
            const __m256i mask = v == NV - 1 ? last : full;
            __m256d x = acc[r][v];
            if (accumulate) x = _mm256_add_pd(_mm256_maskload_pd(dst, mask), x);
            _mm256_maskstore_pd(dst, mask, x);
        }
}

template <int MR>
ZANTHIC_AVX2 void rows256(uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b, uint64_t ldb,
                          double *c, uint64_t ldc, bool accumulate) {
    const uint64_t tail = nc % 4;
    const __m256i last = lanes256(tail ? tail : 4);
    if (nc > 4)
        tile256<MR, 2>(kc, a, lda, b, ldb, c, ldc, last, accumulate);
    else
        tile256<MR, 1>(kc, a, lda, b, ldb, c, ldc, last, accumulate);
}

ZANTHIC_AVX2 void tile_avx2(uint64_t mr, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                            uint64_t ldb, double *c, uint64_t ldc, bool accumulate) {
    switch (mr) {
        case 1: rows256<1>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 2: rows256<2>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 3: rows256<3>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 4: rows256<4>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        case 5: rows256<5>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
        default: rows256<6>(nc, kc, a, lda, b, ldb, c, ldc, accumulate); break;
    }
}

#endif  // ZANTHIC_X86

// ---------------------------------------------------------------------------
// Portable: 4 x 4 tiles of scalars (the compiler keeps the 16 sums in
// registers and may vectorise across the tile row).

constexpr int kMrPortable = 4;
constexpr int kNrPortable = 4;

void tile_portable(uint64_t mr, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                   uint64_t ldb, double *c, uint64_t ldc, bool accumulate) {
    double acc[kMrPortable][kNrPortable] = {};
    if (mr == kMrPortable && nc == kNrPortable) {
        for (uint64_t p = 0; p < kc; p++) {
            const double *brow = b + p * ldb;
            for (int r = 0; r < kMrPortable; r++) {
                const double x = a[r * lda + p];
                for (int j = 0; j < kNrPortable; j++) acc[r][j] += x * brow[j];
            }
        }
    } else {
        for (uint64_t p = 0; p < kc; p++) {
            const double *brow = b + p * ldb;
            for (uint64_t r = 0; r < mr; r++) {
                const double x = a[r * lda + p];
                for (uint64_t j = 0; j < nc; j++) acc[r][j] += x * brow[j];
            }
        }
    }
    for (uint64_t r = 0; r < mr; r++)
        for (uint64_t j = 0; j < nc; j++) c[r * ldc + j] = accumulate ? c[r * ldc + j] + acc[r][j] : acc[r][j];
}

// ---------------------------------------------------------------------------
// Dispatch and the blocked driver

const Kernels kPortable = {tile_portable, kMrPortable, kNrPortable};
#if ZANTHIC_X86
const Kernels kAvx2 = {tile_avx2, kMr256, 4 * kVec256};
const Kernels kAvx512 = {tile_avx512, kMr512, 8 * kVec512};
const Kernels *const kVariants[isa::kLevels] = {&kPortable, &kAvx2, &kAvx512};
#else
const Kernels *const kVariants[isa::kLevels] = {&kPortable, nullptr, nullptr};
#endif

// The table of the active variant, chosen once.
const Kernels *kernels() {
    static const Kernels *const chosen = isa::pick(kVariants);
    return chosen;
}

void gemm_with(const Kernels &kern, uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b,
               double *c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        memset(c, 0, m * n * sizeof(double));
        return;
    }
    // One column of b is a contiguous vector: the product is m dot products.
    if (n == 1) {
        gemv(m, k, a, b, c);
        return;
    }
    for (uint64_t pc = 0; pc < k; pc += kBlockK) {
        const uint64_t kc = k - pc < kBlockK ? k - pc : kBlockK;
        const bool accumulate = pc > 0;
        for (uint64_t ic = 0; ic < m; ic += kBlockM) {
            const uint64_t iend = m - ic < kBlockM ? m : ic + kBlockM;
            for (uint64_t jc = 0; jc < n; jc += kern.nr) {
                if (stop_requested()) return;
                const uint64_t nc = n - jc < kern.nr ? n - jc : kern.nr;
                for (uint64_t ir = ic; ir < iend; ir += kern.mr) {
                    const uint64_t mr = iend - ir < kern.mr ? iend - ir : kern.mr;
                    kern.tile(mr, nc, kc, a + ir * k + pc, k, b + pc * n + jc, n, c + ir * n + jc, n, accumulate);
                }
            }
        }
    }
}

}  // namespace

void gemm(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    gemm_with(*kernels(), m, n, k, a, b, c);
}

}  // namespace zanthic

#if ZANTHIC_X86
#undef ZANTHIC_AVX512
#undef ZANTHIC_AVX2
#endif
