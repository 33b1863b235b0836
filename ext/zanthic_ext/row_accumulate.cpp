// Row-combination kernels (see row_accumulate.h): an AVX-512 and an AVX2+FMA
// version, and a portable one, one table each, picked once through isa.h.
// Register tiles hold a block of sources times a strip of output columns;
// the reduction runs over rows of w in chunks that stay in the L2 cache while
// every block of sources passes.
#include "row_accumulate.h"

#include "isa.h"

#include "nogvl.h"

namespace zanthic {
namespace {

// Rows of w processed per chunk: w's chunk (chunk x width doubles) is reused
// by every block of sources, so it should sit in L2 (1 MiB and up on current
// x86 cores) with room left for the sources' chunks and the outputs.
constexpr uint64_t kChunkBytes = 256 * 1024;
constexpr uint64_t kMinChunkRows = 64;

uint64_t chunk_rows(uint64_t width) {
    const uint64_t rows = kChunkBytes / (width ? width * sizeof(double) : 1);
    return rows < kMinChunkRows ? kMinChunkRows : rows;
}

using BlockFn = void (*)(const double *const *, uint64_t, uint64_t, const double *, uint64_t, uint64_t,
                         double *const *);
using ResidualFn = double (*)(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c,
                              double *r);

// One variant: up to `block` sources at a time through blocks[nb - 1], and
// the residual kernel.
constexpr int kMaxBlock = 8;
struct Kernels {
    int block;
    BlockFn blocks[kMaxBlock];
    ResidualFn residual;
};

#if ZANTHIC_X86
// ---- AVX-512: tiles of up to 8 sources x 3 vectors of 8 columns ----------
// 24 accumulators + 3 rows of w + 1 broadcast fit in the 32 zmm registers.
constexpr int kBlock512 = 8;
static_assert(kBlock512 <= kMaxBlock, "a block's sources fit the driver's arrays");
constexpr int kStrip512 = 3;

template <int NB, int NJ>
__attribute__((target("avx512f"))) inline void tile512(const double *const *a, uint64_t t0, uint64_t t1,
                                                       const double *w, uint64_t ldw, uint64_t j0, int last,
                                                       double *const *out) {
    const __mmask8 tail = static_cast<__mmask8>((1u << last) - 1);
    __m512d acc[NB][NJ];
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++)
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) acc[b][v] = _mm512_maskz_loadu_pd(v == NJ - 1 ? tail : 0xFF, out[b] + j0 + 8 * v);
    const double *src[NB];
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++) src[b] = a[b];
    const double *row = w + t0 * ldw + j0;
    for (uint64_t t = t0; t < t1; t++, row += ldw) {
        __m512d wv[NJ];
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) wv[v] = _mm512_maskz_loadu_pd(v == NJ - 1 ? tail : 0xFF, row + 8 * v);
#pragma GCC unroll 8
        for (int b = 0; b < NB; b++) {
            const __m512d x = _mm512_set1_pd(src[b][t]);
#pragma GCC unroll 8
            for (int v = 0; v < NJ; v++) acc[b][v] = _mm512_fmadd_pd(x, wv[v], acc[b][v]);
        }
    }
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++)
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) _mm512_mask_storeu_pd(out[b] + j0 + 8 * v, v == NJ - 1 ? tail : 0xFF, acc[b][v]);
}

template <int NB>
__attribute__((target("avx512f"))) void block512(const double *const *a, uint64_t t0, uint64_t t1,
                                                 const double *w, uint64_t ldw, uint64_t width, double *const *out) {
    constexpr uint64_t strip = 8 * kStrip512;
    uint64_t j = 0;
    for (; j + strip <= width; j += strip) tile512<NB, kStrip512>(a, t0, t1, w, ldw, j, 8, out);
    const uint64_t rest = width - j;
    if (rest > 16) tile512<NB, 3>(a, t0, t1, w, ldw, j, static_cast<int>(rest - 16), out);
    else if (rest > 8) tile512<NB, 2>(a, t0, t1, w, ldw, j, static_cast<int>(rest - 8), out);
    else if (rest > 0) tile512<NB, 1>(a, t0, t1, w, ldw, j, static_cast<int>(rest), out);
}

// ---- AVX2 + FMA: tiles of up to 4 sources x 3 vectors of 4 columns --------
// 12 accumulators + 3 rows of w + 1 broadcast fill the 16 ymm registers, so
// full strips use plain loads; only the last strip of a row spends a register
// on its lane mask.
constexpr int kBlock256 = 4;
constexpr int kStrip256 = 3;

template <int NB, int NJ, bool kTail>
__attribute__((target("avx2,fma"))) inline void tile256(const double *const *a, uint64_t t0, uint64_t t1,
                                                        const double *w, uint64_t ldw, uint64_t j0, int last,
                                                        double *const *out) {
    const __m256i tail = _mm256_cmpgt_epi64(_mm256_set1_epi64x(last), _mm256_setr_epi64x(0, 1, 2, 3));
    __m256d acc[NB][NJ];
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++)
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) acc[b][v] = kTail && v == NJ - 1 ? _mm256_maskload_pd(out[b] + j0 + 4 * v, tail)
                                                                         : _mm256_loadu_pd(out[b] + j0 + 4 * v);
    const double *src[NB];
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++) src[b] = a[b];
    const double *row = w + t0 * ldw + j0;
    for (uint64_t t = t0; t < t1; t++, row += ldw) {
        __m256d wv[NJ];
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) wv[v] = kTail && v == NJ - 1 ? _mm256_maskload_pd(row + 4 * v, tail) : _mm256_loadu_pd(row + 4 * v);
#pragma GCC unroll 8
        for (int b = 0; b < NB; b++) {
            const __m256d x = _mm256_broadcast_sd(src[b] + t);
#pragma GCC unroll 8
            for (int v = 0; v < NJ; v++) acc[b][v] = _mm256_fmadd_pd(x, wv[v], acc[b][v]);
        }
    }
#pragma GCC unroll 8
    for (int b = 0; b < NB; b++)
#pragma GCC unroll 8
        for (int v = 0; v < NJ; v++) {
            if (kTail && v == NJ - 1) _mm256_maskstore_pd(out[b] + j0 + 4 * v, tail, acc[b][v]);
            else _mm256_storeu_pd(out[b] + j0 + 4 * v, acc[b][v]);
        }
}

template <int NB>
__attribute__((target("avx2,fma"))) void block256(const double *const *a, uint64_t t0, uint64_t t1,
                                                  const double *w, uint64_t ldw, uint64_t width, double *const *out) {
    constexpr uint64_t strip = 4 * kStrip256;
    uint64_t j = 0;
    for (; j + strip <= width; j += strip) tile256<NB, kStrip256, false>(a, t0, t1, w, ldw, j, 4, out);
    const uint64_t rest = width - j;
    if (rest > 8) tile256<NB, 3, true>(a, t0, t1, w, ldw, j, static_cast<int>(rest - 8), out);
    else if (rest > 4) tile256<NB, 2, true>(a, t0, t1, w, ldw, j, static_cast<int>(rest - 4), out);
    else if (rest > 0) tile256<NB, 1, true>(a, t0, t1, w, ldw, j, static_cast<int>(rest), out);
}

#endif  // ZANTHIC_X86

// ---- Portable ----------------------------------------------------------------
constexpr int kBlockPortable = 4;

template <int NB>
void block_portable(const double *const *a, uint64_t t0, uint64_t t1, const double *w, uint64_t ldw,
                    uint64_t width, double *const *out) {
    const int nb = NB;
    for (int b = 0; b < nb; b++) {
        double *o = out[b];
        for (uint64_t t = t0; t < t1; t++) {
            const double x = a[b][t];
            const double *row = w + t * ldw;
            for (uint64_t j = 0; j < width; j++) o[j] += x * row[j];
        }
    }
}

double residual_portable(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c,
                         double *r);
#if ZANTHIC_X86
double residual512(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c, double *r);
#endif

// The variants' tables; AVX2 has no residual kernel of its own and uses the
// portable one.
const Kernels kPortable = {kBlockPortable,
                           {block_portable<1>, block_portable<2>, block_portable<3>, block_portable<4>},
                           residual_portable};
#if ZANTHIC_X86
const Kernels kAvx2 = {kBlock256, {block256<1>, block256<2>, block256<3>, block256<4>}, residual_portable};
const Kernels kAvx512 = {kBlock512,
                         {block512<1>, block512<2>, block512<3>, block512<4>, block512<5>, block512<6>,
                          block512<7>, block512<8>},
                         residual512};
const Kernels *const kVariants[isa::kLevels] = {&kPortable, &kAvx2, &kAvx512};
#else
const Kernels *const kVariants[isa::kLevels] = {&kPortable, nullptr, nullptr};
#endif

// The table of the active variant, chosen once.
const Kernels &kernels() {
    static const Kernels *const chosen = isa::pick(kVariants);
    return *chosen;
}

// Walks w in chunks of rows; within a chunk, every block of sources in turn.
// source(b) and target(b) give the b-th source and output row.
template <class Source, class Target>
void accumulate(const Kernels &kern, uint64_t count, const double *w, uint64_t ldw, uint64_t n, uint64_t width,
                Source source, Target target) {
    if (count == 0 || width == 0 || n == 0) return;
    const uint64_t nb_max = static_cast<uint64_t>(kern.block);
    const uint64_t chunk = chunk_rows(width);
    const double *a[kMaxBlock];
    double *o[kMaxBlock];
    for (uint64_t t0 = 0; t0 < n;) {
        const uint64_t t1 = n - t0 < chunk ? n : t0 + chunk;
        for (uint64_t b0 = 0; b0 < count; b0 += nb_max) {
            if (stop_requested()) return;
            const int nb = static_cast<int>(count - b0 < nb_max ? count - b0 : nb_max);
            for (int b = 0; b < nb; b++) {
                a[b] = source(b0 + b);
                o[b] = target(b0 + b);
            }
            kern.blocks[nb - 1](a, t0, t1, w, ldw, width, o);
        }
        t0 = t1;
    }
}

// ---- Residual: one pass over the rows of u --------------------------------

#if ZANTHIC_X86
__attribute__((target("avx512f"))) double residual512(const double *u, uint64_t rows, uint64_t cols,
                                                      const double *p, const double *c, double *r) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (cols & 7)) - 1);
    const uint64_t full = cols & ~static_cast<uint64_t>(7);
    double ss = 0.0;
    for (uint64_t i = 0; i < rows; i++) {
        const double *row = u + i * cols;
        __m512d s0 = _mm512_setzero_pd(), s1 = _mm512_setzero_pd();
        uint64_t j = 0;
        for (; j + 16 <= full; j += 16) {
            s0 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j), _mm512_loadu_pd(p + j), s0);
            s1 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j + 8), _mm512_loadu_pd(p + j + 8), s1);
        }
        if (j < full) s0 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j), _mm512_loadu_pd(p + j), s0);
        if (tail) s1 = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(tail, row + full), _mm512_maskz_loadu_pd(tail, p + full), s1);
        double lanes[8];
        _mm512_storeu_pd(lanes, _mm512_add_pd(s0, s1));
        const double dot = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
        const double d = c[i] - dot;
        r[i] = d;
        ss += d * d;
    }
    return ss;
}

#endif  // ZANTHIC_X86

double residual_portable(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c, double *r) {
    double ss = 0.0;
    for (uint64_t i = 0; i < rows; i++) {
        const double *row = u + i * cols;
        const double d = row_residual(row, cols, p, c[i]);
        r[i] = d;
        ss += d * d;
    }
    return ss;
}

double residual(const Kernels &kern, const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c,
                double *r) {
    if (cols == 0) {
        // Nothing to project out: the residual is c itself.
        double ss = 0.0;
        for (uint64_t i = 0; i < rows; i++) {
            r[i] = c[i];
            ss += c[i] * c[i];
        }
        return ss;
    }
    return kern.residual(u, rows, cols, p, c, r);
}

}  // namespace

void accumulate_vectors(const CVector *const *in, uint64_t count, const double *w, uint64_t ldw, uint64_t n,
                        uint64_t width, CVector *const *out) {
    accumulate(
        kernels(), count, w, ldw, n, width, [in](uint64_t b) -> const double * { return in[b]->data; },
        [out](uint64_t b) { return out[b]->data; });
}

double residual_rows(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c, double *r) {
    return residual(kernels(), u, rows, cols, p, c, r);
}

}  // namespace zanthic
