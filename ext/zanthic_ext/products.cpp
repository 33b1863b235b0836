// Products split across the worker threads (see products.h). Every split is
// by output rows (or output vectors), whose values the kernels compute
// independently of one another.
#include "products.h"

#include "gemm.h"
#include "nogvl.h"
#include "row_accumulate.h"
#include "workers.h"

namespace zanthic {

namespace {

// Below this many multiply-adds a product stays on one thread: waking the
// workers and waiting for them costs tens of microseconds.
constexpr uint64_t kSplitWork = uint64_t(1) << 22;
// Pieces start on a multiple of this many rows, so that each keeps whole
// register tiles.
constexpr uint64_t kRowAlign = 8;
// Rows of a matrix-vector product per kernel call (of at most this many
// elements), so that an interrupt is noticed between calls.
constexpr uint64_t kGemvChunkElements = uint64_t(1) << 18;

unsigned pieces_for(uint64_t work, uint64_t rows, uint64_t align) {
    if (work < kSplitWork) return 1;
    const uint64_t units = (rows + align - 1) / align;
    const unsigned threads = thread_count();
    return units < threads ? static_cast<unsigned>(units ? units : 1) : threads;
}

struct Gemm {
    uint64_t m, n, k;
    const double *a, *b;
    double *c;
};

void gemm_piece(void *ctx, unsigned piece, unsigned pieces) {
    const Gemm *g = static_cast<const Gemm *>(ctx);
    uint64_t begin, end;
    piece_range(g->m, kRowAlign, piece, pieces, &begin, &end);
    if (begin < end) gemm(end - begin, g->n, g->k, g->a + begin * g->k, g->b, g->c + begin * g->n);
}

struct Gemv {
    uint64_t m, n;
    const double *a, *x;
    double *y;
};

void gemv_piece(void *ctx, unsigned piece, unsigned pieces) {
    const Gemv *g = static_cast<const Gemv *>(ctx);
    uint64_t begin, end;
    piece_range(g->m, kRowAlign, piece, pieces, &begin, &end);
    const uint64_t step = g->n ? (kGemvChunkElements / g->n / kRowAlign + 1) * kRowAlign : end - begin;
    for (uint64_t i = begin; i < end && !stop_requested(); i += step) {
        const uint64_t rows = end - i < step ? end - i : step;
        gemv(rows, g->n, g->a + i * g->n, g->x, g->y + i);
    }
}

struct Accumulate {
    const CVector *const *in;
    const double *a;
    uint64_t lda;
    const double *e;
    uint64_t count;
    const double *w;
    uint64_t ldw, n, width;
    CVector *const *out;
    double *rows;
    uint64_t ldo;
};

void accumulate_piece(void *ctx, unsigned piece, unsigned pieces) {
    const Accumulate *p = static_cast<const Accumulate *>(ctx);
    uint64_t begin, end;
    piece_range(p->count, kRowAlign, piece, pieces, &begin, &end);
    if (begin >= end) return;
    if (p->in)
        accumulate_vectors(p->in + begin, end - begin, p->w, p->ldw, p->n, p->width, p->out + begin);
    else
        accumulate_rows_extended(p->a + begin * p->lda, p->lda, p->e + begin, end - begin, p->w, p->ldw, p->n,
                                 p->width, p->rows + begin * p->ldo, p->ldo);
}

}  // namespace

void multiply(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    Gemm g = {m, n, k, a, b, c};
    run_pieces(gemm_piece, &g, pieces_for(m * n * k, m, kRowAlign));
}

void multiply_vector(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    Gemv g = {m, n, a, x, y};
    // Memory-bound: worth splitting from a few MiB of matrix on.
    run_pieces(gemv_piece, &g, pieces_for(m * n * 8, m, kRowAlign));
}

void project_vectors(const CVector *const *in, uint64_t count, const double *w, uint64_t ldw, uint64_t n,
                     uint64_t width, CVector *const *out) {
    Accumulate p = {in, nullptr, 0, nullptr, count, w, ldw, n, width, out, nullptr, 0};
    run_pieces(accumulate_piece, &p, pieces_for(count * n * width, count, kRowAlign));
}

void combine_rows_extended(const double *a, uint64_t lda, const double *e, uint64_t count, const double *w,
                           uint64_t ldw, uint64_t n, uint64_t width, double *out, uint64_t ldo) {
    Accumulate p = {nullptr, a, lda, e, count, w, ldw, n, width, nullptr, out, ldo};
    run_pieces(accumulate_piece, &p, pieces_for(count * (n + 1) * width, count, kRowAlign));
}

}  // namespace zanthic
