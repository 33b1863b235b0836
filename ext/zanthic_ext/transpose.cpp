// Transpose kernel (see transpose.h).
//
// Every variant streams the source once, strip of rows after strip of rows,
// and writes the destination in whole cache lines where it can. The vector
// kernels move blocks through registers (8 x 8 with AVX-512, 4 x 4 with
// AVX2): a strip of kStripRows source rows is cut into blocks of one vector
// width of columns, and the blocks of one such column block are done top to
// bottom, so that each destination row gets 128 contiguous bytes, the pair
// of cache lines the hardware prefetchers move together. The source rows of
// a strip (16 rows of any length) stay in L1 and L2 while their columns are
// taken. The portable kernel copies element by element: a narrow matrix
// source row by source row (the few destination rows it writes stay in L1),
// a wide one in square tiles.
//
// The driver hands the kernel the source rows in bands of about
// kBandElements elements (whole strips and tiles), and stops between bands
// when an interrupt asks: a large transpose otherwise runs for seconds
// without noticing it.
#include "transpose.h"

#include "isa.h"
#include "nogvl.h"

namespace zanthic {

namespace {

// Source rows per strip of the vector kernels: two 8 x 8 blocks (four 4 x 4
// blocks) give each destination row 128 contiguous bytes.
constexpr uint64_t kStripRows = 16;
// Up to this many columns the portable kernel walks whole source rows: the
// destination lines it writes meanwhile (one per column, 8 KiB) stay in L1.
constexpr uint64_t kNarrowCols = 128;
// Side of the square tiles of the portable kernel on wider matrices: a
// 32 x 32 tile of doubles is 8 KiB read and 8 KiB written.
constexpr uint64_t kTile = 32;
// Sides of the register blocks: one vector per row.
constexpr uint64_t kBlock512 = 8;
constexpr uint64_t kBlock256 = 4;
// Elements per band of source rows (2 MiB: well under a millisecond), and
// the multiple of rows a band is cut at, so that it holds whole strips of
// the vector kernels and whole tiles of the portable one.
constexpr uint64_t kBandElements = uint64_t(1) << 18;
constexpr uint64_t kBandRows = 32;
static_assert(kBandRows % kStripRows == 0 && kBandRows % kTile == 0, "bands hold whole strips and tiles");

// Rows [i0, i1) of src (rows x cols) into columns [i0, i1) of dst
// (cols x rows).
typedef void (*TransposeFn)(uint64_t rows, uint64_t cols, const double *src, double *dst, uint64_t i0,
                            uint64_t i1);

inline uint64_t min_u64(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Element by element over [i0, i1) x [j0, j1), source row by source row.
inline void copy_region(uint64_t rows, uint64_t cols, const double *src, double *dst, uint64_t i0, uint64_t i1,
                        uint64_t j0, uint64_t j1) {
    for (uint64_t i = i0; i < i1; i++)
        for (uint64_t j = j0; j < j1; j++) dst[j * rows + i] = src[i * cols + j];
}

void transpose_portable(uint64_t rows, uint64_t cols, const double *src, double *dst, uint64_t i0, uint64_t i1) {
    if (cols <= kNarrowCols) {
        copy_region(rows, cols, src, dst, i0, i1, 0, cols);
        return;
    }
    for (uint64_t t = i0; t < i1; t += kTile)
        for (uint64_t j0 = 0; j0 < cols; j0 += kTile)
            copy_region(rows, cols, src, dst, t, min_u64(t + kTile, i1), j0, min_u64(j0 + kTile, cols));
}

#if ZANTHIC_X86

// One 8 x 8 block: rows of src (stride cols) to rows of dst (stride rows).
// Round one interleaves pairs of rows, rounds two and three regroup 128-bit
// and then 256-bit lanes (all through two-source permutations).
ZANTHIC_TARGET_AVX512 inline void block8(const double *src, uint64_t cols, double *dst, uint64_t rows) {
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

// Strips of kStripRows rows of the band (the last one shorter, a whole
// number of blocks), cut into blocks of 8 columns taken top to bottom; the columns past
// the last whole block, and the band's rows past its last whole block,
// element by element.
ZANTHIC_TARGET_AVX512 void transpose_avx512(uint64_t rows, uint64_t cols, const double *src, double *dst,
                                            uint64_t i0, uint64_t i1) {
    const uint64_t rows_b = i0 + (i1 - i0) / kBlock512 * kBlock512, cols_b = cols - cols % kBlock512;
    for (uint64_t s0 = i0; s0 < rows_b; s0 += kStripRows) {
        const uint64_t s1 = min_u64(s0 + kStripRows, rows_b);
        for (uint64_t j = 0; j < cols_b; j += kBlock512)
            for (uint64_t i = s0; i < s1; i += kBlock512) block8(src + i * cols + j, cols, dst + j * rows + i, rows);
        copy_region(rows, cols, src, dst, s0, s1, cols_b, cols);
    }
    copy_region(rows, cols, src, dst, rows_b, i1, 0, cols);
}

// One 4 x 4 block: pairs of rows interleaved within 128-bit lanes, then the
// lanes regrouped.
ZANTHIC_TARGET_AVX2 inline void block4(const double *src, uint64_t cols, double *dst, uint64_t rows) {
    const __m256d r0 = _mm256_loadu_pd(src), r1 = _mm256_loadu_pd(src + cols);
    const __m256d r2 = _mm256_loadu_pd(src + 2 * cols), r3 = _mm256_loadu_pd(src + 3 * cols);
    // t0 = (00 10 02 12), t1 = (01 11 03 13), t2 = (20 30 22 32), t3 = (21 31 23 33).
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
    _mm256_storeu_pd(dst, _mm256_permute2f128_pd(t0, t2, 0x20));
    _mm256_storeu_pd(dst + rows, _mm256_permute2f128_pd(t1, t3, 0x20));
    _mm256_storeu_pd(dst + 2 * rows, _mm256_permute2f128_pd(t0, t2, 0x31));
    _mm256_storeu_pd(dst + 3 * rows, _mm256_permute2f128_pd(t1, t3, 0x31));
}

// The same walk as transpose_avx512 with 4 x 4 blocks.
ZANTHIC_TARGET_AVX2 void transpose_avx2(uint64_t rows, uint64_t cols, const double *src, double *dst,
                                        uint64_t i0, uint64_t i1) {
    const uint64_t rows_b = i0 + (i1 - i0) / kBlock256 * kBlock256, cols_b = cols - cols % kBlock256;
    for (uint64_t s0 = i0; s0 < rows_b; s0 += kStripRows) {
        const uint64_t s1 = min_u64(s0 + kStripRows, rows_b);
        for (uint64_t j = 0; j < cols_b; j += kBlock256)
            for (uint64_t i = s0; i < s1; i += kBlock256) block4(src + i * cols + j, cols, dst + j * rows + i, rows);
        copy_region(rows, cols, src, dst, s0, s1, cols_b, cols);
    }
    copy_region(rows, cols, src, dst, rows_b, i1, 0, cols);
}

#endif  // ZANTHIC_X86

// One kernel per level.
const TransposeFn kTransposePortable = transpose_portable;
#if ZANTHIC_X86
const TransposeFn kTransposeAvx2 = transpose_avx2;
const TransposeFn kTransposeAvx512 = transpose_avx512;
const TransposeFn *const kTransposeVariants[isa::kLevels] = {&kTransposePortable, &kTransposeAvx2,
                                                             &kTransposeAvx512};
#else
const TransposeFn *const kTransposeVariants[isa::kLevels] = {&kTransposePortable, nullptr, nullptr};
#endif

// The kernel of the active variant, chosen once.
TransposeFn chosen_kernel() {
    static const TransposeFn chosen = *isa::pick(kTransposeVariants);
    return chosen;
}

void transpose_with(TransposeFn kernel, uint64_t rows, uint64_t cols, const double *src, double *dst) {
    if (rows == 0 || cols == 0) return;
    const uint64_t per_band = kBandElements / cols / kBandRows * kBandRows;
    const uint64_t band = per_band > kBandRows ? per_band : kBandRows;
    for (uint64_t i0 = 0; i0 < rows && !stop_requested(); i0 += band)
        kernel(rows, cols, src, dst, i0, min_u64(i0 + band, rows));
}

}  // namespace

void transpose(uint64_t rows, uint64_t cols, const double *src, double *dst) {
    transpose_with(chosen_kernel(), rows, cols, src, dst);
}

}  // namespace zanthic
