// Product kernels (see gemm.h).
//
// The matrix product is blocked in the manner of GotoBLAS/BLIS, on the
// row-major operands as they are. The driver walks c in column strips NR
// wide (the micro-tile width) and, within a block of rows (kBlockRows) and
// of the inner dimension (the variant's KC), copies the KC x NR piece of b
// that the strip needs into a buffer on the stack, zero-padded to NR
// columns: contiguous, so that the micro-kernel reads it at unit stride and
// keeps it in L1 while every row tile of the block passes it. a is read in
// place, MR rows at a time: the block of a (rows x KC, up to 1 MiB) stays in
// L2 across all the strips, and the micro-kernel prefetches the rows of the
// next tile while it works. b is thus copied once per row block, a is never
// copied, and nothing is allocated.
//
// A micro-kernel keeps an MR x NR tile of c in registers and, for each p of
// the block, loads NR contiguous elements of the packed row p of b and
// broadcasts one element of each of the MR rows of a: MR * NR / W fused
// multiply-adds for NR / W + MR loads (W doubles per vector). Its
// accumulators start from c when an earlier block of the inner dimension
// wrote it, so every element of c is one chain of multiply-adds over
// p = 0, 1, ..., k - 1 in order, whatever the blocking, the tile it falls
// in, or the share of c a thread computes.
//
// Each instruction set has its own strip function with one signature; a
// table of them per instruction set is chosen once, at the first call,
// through isa.h.
#include "gemm.h"

#include <cstring>

#include "gemv.h"
#include "isa.h"
#include "nogvl.h"

namespace zanthic {

namespace {

// Rows of a per block, about: kBlockRows x KC doubles of a (480 KiB at
// KC = 256) stay in L2 while every strip of the block sweeps past them, and
// the pages of a and c that a strip touches stay within the TLB (the
// operands are not packed, so each row of a large one is its own page).
// Larger blocks copy b less often but ran slower at n >= 1000 (480 rows:
// 5-10% on 1000 x 1000 and 2000 x 2000).
constexpr uint64_t kBlockRows = 240;

// A strip function computes the m x nc strip of c at c (row stride ldc),
// nc <= NR of its instruction set, from kc <= KC columns of a (row stride
// lda) and kc rows of b (row stride ldb): it packs b and runs the
// micro-kernel down the rows. It stores the products, or adds them to what
// c holds when accumulate is set (continuing each element's chain). While
// it runs it prefetches into L2 the kc rows (NR wide) of the b of the strip
// that comes next, next_b, unless that is null: packing then finds them
// there rather than in memory, row after row a page apart. With e set,
// every element's chain takes one step more after the kc of a: e[i] (i the
// row within the strip) times element j of xb, a row of nc more elements of
// b, so that a product whose last column of a is held apart streams a once.
typedef void (*StripFn)(uint64_t m, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                        uint64_t ldb, double *c, uint64_t ldc, bool accumulate, const double *next_b,
                        const double *e, const double *xb);

// Prefetches rows [*from, until) of the next strip's b (width lines each)
// into L2 and advances *from.
inline void prefetch_rows(const double *next_b, uint64_t ldb, int width, uint64_t *from, uint64_t until) {
    if (!next_b) return;
    for (uint64_t p = *from; p < until; p++)
        for (int v = 0; v < width; v++) __builtin_prefetch(next_b + p * ldb + 8 * v, 0, 2);
    if (until > *from) *from = until;
}

struct Kernels {
    StripFn strip;
    uint64_t mr;
    uint64_t nr;
    uint64_t kc;  // inner-dimension block
};

// Calls tile.template run<R>() for R = r, 1 <= r <= MR: the row count of a
// tile at the bottom edge, as a compile-time constant.
template <int R, class Tile>
inline void with_rows(uint64_t r, const Tile &tile) {
    if constexpr (R > 1) {
        if (r < R) return with_rows<R - 1>(r, tile);
    }
    tile.template run<R>();
}

#if ZANTHIC_X86
// ---------------------------------------------------------------------------
// AVX-512: 8 x 24 tiles, 24 accumulators of 8 doubles.

#define ZANTHIC_AVX512 ZANTHIC_TARGET_AVX512

constexpr int kMr512 = 8;
constexpr int kVec512 = 3;  // vectors per tile row: NR = 24
// The packed strip of b, 256 x 24 doubles (48 KiB), shares L1 with the
// tile's rows of a; it is read from L2 in part, at a rate L2 sustains.
constexpr uint64_t kKc512 = 256;

// One MR x (8 NV) tile: kc steps of the packed strip bp (8 NV doubles a
// row) against MR rows of a. next is the first row of the next tile, whose
// rows are prefetched, a cache line of each every eight steps.
template <int MR, int NV>
ZANTHIC_AVX512 inline void tile512(uint64_t kc, const double *a, uint64_t lda, const double *bp, double *c,
                                   uint64_t ldc, __mmask8 last, bool accumulate, const double *next,
                                   const double *next_c, const double *e) {
    __m512d acc[MR][NV];
#pragma GCC unroll 16
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 4
        for (int v = 0; v < NV; v++) {
            const __mmask8 mask = v == NV - 1 ? last : static_cast<__mmask8>(0xff);
            acc[r][v] = accumulate ? _mm512_maskz_loadu_pd(mask, c + r * ldc + 8 * v) : _mm512_setzero_pd();
        }
    uint64_t p = 0;
    for (; p + 8 <= kc; p += 8) {
#pragma GCC unroll 16
        for (int r = 0; r < MR; r++) _mm_prefetch(reinterpret_cast<const char *>(next + r * lda + p), _MM_HINT_T0);
        if (p / 8 < static_cast<uint64_t>(MR)) {
#pragma GCC unroll 4
            for (int v = 0; v < NV; v++)
                _mm_prefetch(reinterpret_cast<const char *>(next_c + (p / 8) * ldc + 8 * v), _MM_HINT_T0);
        }
#pragma GCC unroll 8
        for (int q = 0; q < 8; q++) {
            const double *brow = bp + (p + q) * (8 * NV);
            __m512d bv[NV];
#pragma GCC unroll 4
            for (int v = 0; v < NV; v++) bv[v] = _mm512_load_pd(brow + 8 * v);
#pragma GCC unroll 16
            for (int r = 0; r < MR; r++) {
                const __m512d av = _mm512_set1_pd(a[r * lda + p + q]);
#pragma GCC unroll 4
                for (int v = 0; v < NV; v++) acc[r][v] = _mm512_fmadd_pd(av, bv[v], acc[r][v]);
            }
        }
    }
    for (; p < kc; p++) {
        const double *brow = bp + p * (8 * NV);
        __m512d bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; v++) bv[v] = _mm512_load_pd(brow + 8 * v);
#pragma GCC unroll 16
        for (int r = 0; r < MR; r++) {
            const __m512d av = _mm512_set1_pd(a[r * lda + p]);
#pragma GCC unroll 4
            for (int v = 0; v < NV; v++) acc[r][v] = _mm512_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
    if (e) {
        // The extra step: the packed row kc holds the extra row of b.
        const double *brow = bp + kc * (8 * NV);
        __m512d bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; v++) bv[v] = _mm512_load_pd(brow + 8 * v);
#pragma GCC unroll 16
        for (int r = 0; r < MR; r++) {
            const __m512d av = _mm512_set1_pd(e[r]);
#pragma GCC unroll 4
            for (int v = 0; v < NV; v++) acc[r][v] = _mm512_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 4
        for (int v = 0; v < NV; v++) {
            const __mmask8 mask = v == NV - 1 ? last : static_cast<__mmask8>(0xff);
            _mm512_mask_storeu_pd(c + r * ldc + 8 * v, mask, acc[r][v]);
        }
}

template <int NV>
struct Tile512 {
    uint64_t kc;
    const double *a;
    uint64_t lda;
    const double *bp;
    double *c;
    uint64_t ldc;
    __mmask8 last;
    bool accumulate;
    const double *e;
    template <int R>
    ZANTHIC_AVX512 void run() const {
        tile512<R, NV>(kc, a, lda, bp, c, ldc, last, accumulate, a, c, e);
    }
};

template <int NV>
ZANTHIC_AVX512 void rows512(uint64_t m, uint64_t kc, const double *a, uint64_t lda, const double *bp, double *c,
                            uint64_t ldc, __mmask8 last, bool accumulate, const double *next_b, uint64_t ldb,
                            const double *e) {
    // The next strip's rows, spread evenly over the tiles.
    const uint64_t per = (kc + m / kMr512) / (m / kMr512 + 1);
    uint64_t fetched = 0;
    uint64_t i = 0;
    for (; i + kMr512 <= m; i += kMr512) {
        prefetch_rows(next_b, ldb, kVec512, &fetched, fetched + per < kc ? fetched + per : kc);
        tile512<kMr512, NV>(kc, a + i * lda, lda, bp, c + i * ldc, ldc, last, accumulate, a + (i + kMr512) * lda,
                             c + (i + kMr512) * ldc, e ? e + i : nullptr);
    }
    prefetch_rows(next_b, ldb, kVec512, &fetched, kc);
    if (i < m)
        with_rows<kMr512>(m - i, Tile512<NV>{kc, a + i * lda, lda, bp, c + i * ldc, ldc, last, accumulate,
                                             e ? e + i : nullptr});
}

ZANTHIC_AVX512 void strip_avx512(uint64_t m, uint64_t nc, uint64_t kc, const double *a, uint64_t lda,
                                 const double *b, uint64_t ldb, double *c, uint64_t ldc, bool accumulate,
                                 const double *next_b, const double *e, const double *xb) {
    alignas(64) double bp[(kKc512 + 1) * 8 * kVec512];
    const int nv = static_cast<int>((nc + 7) / 8);
    const uint64_t tail = nc - 8 * (nv - 1);
    const __mmask8 last = static_cast<__mmask8>((1u << tail) - 1);
    // The strip of b, nv vectors a row, the columns past nc zero.
    for (uint64_t p = 0; p < kc; p++)
        for (int v = 0; v < nv; v++)
            _mm512_store_pd(bp + p * 8 * nv + 8 * v,
                            _mm512_maskz_loadu_pd(v == nv - 1 ? last : static_cast<__mmask8>(0xff), b + p * ldb + 8 * v));
    if (e)
        for (int v = 0; v < nv; v++)
            _mm512_store_pd(bp + kc * 8 * nv + 8 * v,
                            _mm512_maskz_loadu_pd(v == nv - 1 ? last : static_cast<__mmask8>(0xff), xb + 8 * v));
    switch (nv) {
        case 1: rows512<1>(m, kc, a, lda, bp, c, ldc, last, accumulate, next_b, ldb, e); break;
        case 2: rows512<2>(m, kc, a, lda, bp, c, ldc, last, accumulate, next_b, ldb, e); break;
        default: rows512<kVec512>(m, kc, a, lda, bp, c, ldc, last, accumulate, next_b, ldb, e); break;
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
// A packed strip of 256 x 8 doubles: 16 KiB.
constexpr uint64_t kKc256 = 256;

template <int MR, int NV>
ZANTHIC_AVX2 inline void tile256(uint64_t kc, const double *a, uint64_t lda, const double *bp, double *c,
                                 uint64_t ldc, __m256i last, bool accumulate, const double *next, const double *e) {
    const __m256i full = _mm256_set1_epi64x(-1);
    __m256d acc[MR][NV];
#pragma GCC unroll 8
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++)
            acc[r][v] = accumulate ? _mm256_maskload_pd(c + r * ldc + 4 * v, v == NV - 1 ? last : full)
                                   : _mm256_setzero_pd();
    for (uint64_t p = 0; p < kc; p++) {
        if (p % 8 == 0) {
#pragma GCC unroll 8
            for (int r = 0; r < MR; r++) _mm_prefetch(reinterpret_cast<const char *>(next + r * lda + p), _MM_HINT_T0);
        }
        const double *brow = bp + p * (4 * NV);
        __m256d bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++) bv[v] = _mm256_load_pd(brow + 4 * v);
#pragma GCC unroll 8
        for (int r = 0; r < MR; r++) {
            const __m256d av = _mm256_broadcast_sd(a + r * lda + p);
#pragma GCC unroll 2
            for (int v = 0; v < NV; v++) acc[r][v] = _mm256_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
    if (e) {
        const double *brow = bp + kc * (4 * NV);
        __m256d bv[NV];
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++) bv[v] = _mm256_load_pd(brow + 4 * v);
#pragma GCC unroll 8
        for (int r = 0; r < MR; r++) {
            const __m256d av = _mm256_broadcast_sd(e + r);
#pragma GCC unroll 2
            for (int v = 0; v < NV; v++) acc[r][v] = _mm256_fmadd_pd(av, bv[v], acc[r][v]);
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < MR; r++)
#pragma GCC unroll 2
        for (int v = 0; v < NV; v++) _mm256_maskstore_pd(c + r * ldc + 4 * v, v == NV - 1 ? last : full, acc[r][v]);
}

template <int NV>
struct Tile256 {
    uint64_t kc;
    const double *a;
    uint64_t lda;
    const double *bp;
    double *c;
    uint64_t ldc;
    __m256i last;
    bool accumulate;
    const double *e;
    template <int R>
    ZANTHIC_AVX2 void run() const {
        tile256<R, NV>(kc, a, lda, bp, c, ldc, last, accumulate, a, e);
    }
};

template <int NV>
ZANTHIC_AVX2 void rows256(uint64_t m, uint64_t kc, const double *a, uint64_t lda, const double *bp, double *c,
                          uint64_t ldc, __m256i last, bool accumulate, const double *next_b, uint64_t ldb,
                          const double *e) {
    const uint64_t per = (kc + m / kMr256) / (m / kMr256 + 1);
    uint64_t fetched = 0;
    uint64_t i = 0;
    for (; i + kMr256 <= m; i += kMr256) {
        prefetch_rows(next_b, ldb, 1, &fetched, fetched + per < kc ? fetched + per : kc);
        tile256<kMr256, NV>(kc, a + i * lda, lda, bp, c + i * ldc, ldc, last, accumulate, a + (i + kMr256) * lda,
                            e ? e + i : nullptr);
    }
    prefetch_rows(next_b, ldb, 1, &fetched, kc);
    if (i < m)
        with_rows<kMr256>(m - i, Tile256<NV>{kc, a + i * lda, lda, bp, c + i * ldc, ldc, last, accumulate,
                                             e ? e + i : nullptr});
}

ZANTHIC_AVX2 void strip_avx2(uint64_t m, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                             uint64_t ldb, double *c, uint64_t ldc, bool accumulate, const double *next_b,
                             const double *e, const double *xb) {
    alignas(32) double bp[(kKc256 + 1) * 4 * kVec256];
    const int nv = nc > 4 ? 2 : 1;
    const __m256i full = _mm256_set1_epi64x(-1);
    const __m256i last = lanes256(nc - 4 * (nv - 1));
    for (uint64_t p = 0; p < kc; p++)
        for (int v = 0; v < nv; v++)
            _mm256_store_pd(bp + p * 4 * nv + 4 * v, _mm256_maskload_pd(b + p * ldb + 4 * v, v == nv - 1 ? last : full));
    if (e)
        for (int v = 0; v < nv; v++)
            _mm256_store_pd(bp + kc * 4 * nv + 4 * v, _mm256_maskload_pd(xb + 4 * v, v == nv - 1 ? last : full));
    if (nv == 2)
        rows256<2>(m, kc, a, lda, bp, c, ldc, last, accumulate, next_b, ldb, e);
    else
        rows256<1>(m, kc, a, lda, bp, c, ldc, last, accumulate, next_b, ldb, e);
}

#endif  // ZANTHIC_X86

// ---------------------------------------------------------------------------
// Portable: 4 x 4 tiles of scalars (the compiler keeps the 16 sums in
// registers and may vectorise across the tile row).

constexpr int kMrPortable = 4;
constexpr int kNrPortable = 4;
constexpr uint64_t kKcPortable = 256;

void strip_portable(uint64_t m, uint64_t nc, uint64_t kc, const double *a, uint64_t lda, const double *b,
                    uint64_t ldb, double *c, uint64_t ldc, bool accumulate, const double *, const double *e,
                    const double *xb) {
    double bp[kKcPortable * kNrPortable];
    for (uint64_t p = 0; p < kc; p++)
        for (uint64_t j = 0; j < kNrPortable; j++) bp[p * kNrPortable + j] = j < nc ? b[p * ldb + j] : 0.0;
    for (uint64_t i = 0; i < m; i += kMrPortable) {
        const uint64_t mr = m - i < kMrPortable ? m - i : kMrPortable;
        const double *ai = a + i * lda;
        double *ci = c + i * ldc;
        double acc[kMrPortable][kNrPortable] = {};
        if (accumulate)
            for (uint64_t r = 0; r < mr; r++)
                for (uint64_t j = 0; j < nc; j++) acc[r][j] = ci[r * ldc + j];
        if (mr == kMrPortable) {
            for (uint64_t p = 0; p < kc; p++)
                for (int r = 0; r < kMrPortable; r++) {
                    const double x = ai[r * lda + p];
                    for (int j = 0; j < kNrPortable; j++) acc[r][j] += x * bp[p * kNrPortable + j];
                }
        } else {
            for (uint64_t p = 0; p < kc; p++)
                for (uint64_t r = 0; r < mr; r++) {
                    const double x = ai[r * lda + p];
                    for (int j = 0; j < kNrPortable; j++) acc[r][j] += x * bp[p * kNrPortable + j];
                }
        }
        if (e)
            for (uint64_t r = 0; r < mr; r++)
                for (uint64_t j = 0; j < nc; j++) acc[r][j] += e[i + r] * xb[j];
        for (uint64_t r = 0; r < mr; r++)
            for (uint64_t j = 0; j < nc; j++) ci[r * ldc + j] = acc[r][j];
    }
}


// ---------------------------------------------------------------------------
// Dispatch and the blocked driver

const Kernels kPortable = {strip_portable, kMrPortable, kNrPortable, kKcPortable};
#if ZANTHIC_X86
const Kernels kAvx2 = {strip_avx2, kMr256, 4 * kVec256, kKc256};
const Kernels kAvx512 = {strip_avx512, kMr512, 8 * kVec512, kKc512};
const Kernels *const kVariants[isa::kLevels] = {&kPortable, &kAvx2, &kAvx512};
#else
const Kernels *const kVariants[isa::kLevels] = {&kPortable, nullptr, nullptr};
#endif

// The table of the active variant, chosen once.
const Kernels *kernels() {
    static const Kernels *const chosen = isa::pick(kVariants);
    return chosen;
}

// c = a * b on operands with row strides lda, ldb, ldc; n >= 1. With e
// set, c = [a | e] * b, b having k + 1 rows: e[i] times xb, b's row k,
// is the last step of each element's chain.
void gemm_blocked(const Kernels &kern, uint64_t m, uint64_t n, uint64_t k, const double *a, uint64_t lda,
                  const double *b, uint64_t ldb, double *c, uint64_t ldc, const double *e = nullptr,
                  const double *xb = nullptr) {
    if (k == 0) {
        for (uint64_t i = 0; i < m; i++)
            for (uint64_t j = 0; j < n; j++) c[i * ldc + j] = e ? e[i] * xb[j] : 0.0;
        return;
    }
    // Blocks of the inner dimension of equal depth, at most KC.
    const uint64_t blocks = (k + kern.kc - 1) / kern.kc, step = (k + blocks - 1) / blocks;
    // Row blocks of equal height, the nearest to kBlockRows: every row block
    // copies all of b, so a thin last one would cost as much copying as a
    // full one for little work.
    const uint64_t row_blocks = m < kBlockRows * 3 / 2 ? 1 : (m + kBlockRows / 2) / kBlockRows;
    const uint64_t rows = (m + row_blocks - 1) / row_blocks;
    for (uint64_t ic = 0; ic < m; ic += rows) {
        const uint64_t mc = m - ic < rows ? m - ic : rows;
        for (uint64_t pc = 0; pc < k; pc += step) {
            const uint64_t kc = k - pc < step ? k - pc : step;
            for (uint64_t jc = 0; jc < n; jc += kern.nr) {
                if (stop_requested()) return;
                const uint64_t nc = n - jc < kern.nr ? n - jc : kern.nr;
                const double *bs = b + pc * ldb + jc;
                const bool final = pc + kc == k && e;
                kern.strip(mc, nc, kc, a + ic * lda + pc, lda, bs, ldb, c + ic * ldc + jc, ldc, pc > 0,
                           jc + nc < n ? bs + nc : nullptr, final ? e + ic : nullptr, final ? xb + jc : nullptr);
            }
        }
    }
}

void gemm_with(const Kernels &kern, uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b,
               double *c) {
    if (m == 0 || n == 0) return;
    // One column of b is a contiguous vector: the product is m dot products.
    if (n == 1 && k > 0) {
        gemv(m, k, a, b, c);
        return;
    }
    gemm_blocked(kern, m, n, k, a, k, b, n, c, n);
}

}  // namespace

void gemm(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    gemm_with(*kernels(), m, n, k, a, b, c);
}

void gemm_block(uint64_t m, uint64_t n, uint64_t k, const double *a, uint64_t lda, const double *b, uint64_t ldb,
                double *c, uint64_t ldc) {
    if (m == 0 || n == 0) return;
    gemm_blocked(*kernels(), m, n, k, a, lda, b, ldb, c, ldc);
}

void gemm_extended(uint64_t m, uint64_t n, uint64_t k, const double *a, uint64_t lda, const double *e,
                   const double *b, uint64_t ldb, double *c, uint64_t ldc) {
    if (m == 0 || n == 0) return;
    gemm_blocked(*kernels(), m, n, k, a, lda, b, ldb, c, ldc, e, b + k * ldb);
}

uint64_t gemm_strip_width() { return kernels()->nr; }

}  // namespace zanthic

#if ZANTHIC_X86
#undef ZANTHIC_AVX512
#undef ZANTHIC_AVX2
#endif
