// Transpose kernel (see transpose.h).
//
// The matrix is walked in square tiles so that the source rows and the
// destination rows of one tile stay cached (and their pages in the TLB)
// while the tile is copied. Within a tile the AVX-512 kernel moves 8 x 8
// blocks through registers: eight 64-byte row loads, three rounds of lane
// permutations, eight 64-byte row stores, so every cache line is read and
// written whole. The portable kernel copies element by element.
#include "transpose.h"

#include "isa.h"

namespace zanthic {

namespace {

// Side of the square tiles: a 32 x 32 tile of doubles is 8 KiB read and
// 8 KiB written, 32 source and 32 destination rows, well inside L1 and the
// first-level TLB.
constexpr uint64_t kTile = 32;
// Side of the register blocks of the AVX-512 kernel: one zmm per row.
constexpr uint64_t kBlock = 8;

typedef void (*TransposeFn)(uint64_t rows, uint64_t cols, const double *src, double *dst);

inline uint64_t min_u64(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Element by element over [i0, i1) x [j0, j1).
inline void copy_region(uint64_t rows, uint64_t cols, const double *src, double *dst, uint64_t i0, uint64_t i1,
                        uint64_t j0, uint64_t j1) {
    for (uint64_t j = j0; j < j1; j++)
        for (uint64_t i = i0; i < i1; i++) dst[j * rows + i] = src[i * cols + j];
}

void transpose_portable(uint64_t rows, uint64_t cols, const double *src, double *dst) {
    for (uint64_t i0 = 0; i0 < rows; i0 += kTile)
        for (uint64_t j0 = 0; j0 < cols; j0 += kTile)
            copy_region(rows, cols, src, dst, i0, min_u64(i0 + kTile, rows), j0, min_u64(j0 + kTile, cols));
}

#if ZANTHIC_X86
#define ZANTHIC_AVX512 __attribute__((target("avx512f")))

// One 8 x 8 block: rows of src (stride cols) to rows of dst (stride rows).
// Round one interleaves pairs of rows, rounds two and three regroup 128-bit
// and then 256-bit lanes (all through two-source permutations).
ZANTHIC_AVX512 inline void block8(const double *src, uint64_t cols, double *dst, uint64_t rows) {
    const __m512i lo = _mm512_setr_epi64(0, 8, 2, 10, 4, 12, 6, 14);
    const __m512i hi = _mm512_setr_epi64(1, 9, 3, 11, 5, 13, 7, 15);
    const __m512i even = _mm512_setr_epi64(0, 1, 4, 5, 8, 9, 12, 13);
    const __m512i odd = _mm512_setr_epi64(2, 3, 6, 7, 10, 11, 14, 15);
    const __m512d r0 = _mm512_loadu_pd(src), r1 = _mm512_loadu_pd(src + cols);
    const __m512d r2 = _mm512_loadu_pd(src + 2 * cols), r3 = _mm512_loadu_pd(src + 3 * cols);
    const __m512d r4 = _mm512_loadu_pd(src + 4 * cols), r5 = _mm512_loadu_pd(src + 5 * cols);
    const __m512d r6 = _mm512_loadu_pd(src + 6 * cols), r7 = _mm512_loadu_pd(src + 7 * cols);
    // Element pairs: t0 = (00 10 02 12 04 14 06 16), t1 = (01 11 03 13 ...).
    const __m512d t0 = _mm512_permutex2var_pd(r0, lo, r1), t1 = _mm512_permutex2var_pd(r0, hi, r1);
    const __m512d t2 = _mm512_permutex2var_pd(r2, lo, r3), t3 = _mm512_permutex2var_pd(r2, hi, r3);
    const __m512d t4 = _mm512_permutex2var_pd(r4, lo, r5), t5 = _mm512_permutex2var_pd(r4, hi, r5);
    const __m512d t6 = _mm512_permutex2var_pd(r6, lo, r7), t7 = _mm512_permutex2var_pd(r6, hi, r7);
    // 128-bit lanes: u0 = (00 10 04 14 20 30 24 34), u2 = (02 12 06 16 ...).
    const __m512d u0 = _mm512_permutex2var_pd(t0, even, t2), u1 = _mm512_permutex2var_pd(t1, even, t3);
    const __m512d u2 = _mm512_permutex2var_pd(t0, odd, t2), u3 = _mm512_permutex2var_pd(t1, odd, t3);
    const __m512d u4 = _mm512_permutex2var_pd(t4, even, t6), u5 = _mm512_permutex2var_pd(t5, even, t7);
    const __m512d u6 = _mm512_permutex2var_pd(t4, odd, t6), u7 = _mm512_permutex2var_pd(t5, odd, t7);
    // 256-bit halves: column q of the block is row q of the result.
    _mm512_storeu_pd(dst, _mm512_permutex2var_pd(u0, even, u4));
    _mm512_storeu_pd(dst + rows, _mm512_permutex2var_pd(u1, even, u5));
    _mm512_storeu_pd(dst + 2 * rows, _mm512_permutex2var_pd(u2, even, u6));
    _mm512_storeu_pd(dst + 3 * rows, _mm512_permutex2var_pd(u3, even, u7));
    _mm512_storeu_pd(dst + 4 * rows, _mm512_permutex2var_pd(u0, odd, u4));
    _mm512_storeu_pd(dst + 5 * rows, _mm512_permutex2var_pd(u1, odd, u5));
    _mm512_storeu_pd(dst + 6 * rows, _mm512_permutex2var_pd(u2, odd, u6));
    _mm512_storeu_pd(dst + 7 * rows, _mm512_permutex2var_pd(u3, odd, u7));
}

ZANTHIC_AVX512 void transpose_avx512(uint64_t rows, uint64_t cols, const double *src, double *dst) {
    const uint64_t rows8 = rows - rows % kBlock, cols8 = cols - cols % kBlock;
    for (uint64_t i0 = 0; i0 < rows8; i0 += kTile) {
        const uint64_t i1 = min_u64(i0 + kTile, rows8);
        for (uint64_t j0 = 0; j0 < cols8; j0 += kTile) {
            const uint64_t j1 = min_u64(j0 + kTile, cols8);
            for (uint64_t i = i0; i < i1; i += kBlock)
                for (uint64_t j = j0; j < j1; j += kBlock) block8(src + i * cols + j, cols, dst + j * rows + i, rows);
        }
    }
    // The right strip (columns past the last full block) and the bottom
    // strip (rows past it), element by element.
    copy_region(rows, cols, src, dst, 0, rows8, cols8, cols);
    copy_region(rows, cols, src, dst, rows8, rows, 0, cols);
}

#undef ZANTHIC_AVX512
#endif  // ZANTHIC_X86

// One kernel per level; there is no AVX2 kernel, so that level runs the
// portable one.
const TransposeFn kTransposePortable = transpose_portable;
#if ZANTHIC_X86
const TransposeFn kTransposeAvx512 = transpose_avx512;
const TransposeFn *const kTransposeVariants[isa::kLevels] = {&kTransposePortable, nullptr, &kTransposeAvx512};
#else
const TransposeFn *const kTransposeVariants[isa::kLevels] = {&kTransposePortable, nullptr, nullptr};
#endif

// The kernel of the active variant, chosen once.
TransposeFn chosen_kernel() {
    static const TransposeFn chosen = *isa::pick(kTransposeVariants);
    return chosen;
}

}  // namespace

void transpose(uint64_t rows, uint64_t cols, const double *src, double *dst) {
    if (rows == 0 || cols == 0) return;
    chosen_kernel()(rows, cols, src, dst);
}

}  // namespace zanthic
