// Products split across the worker threads (see products.h). Every split is
// by output rows (or output vectors), or for the matrix product by blocks of
// rows and columns of c, whose values the kernels compute independently of
// one another.
#include "products.h"

#include <atomic>

#include "gemm.h"
#include "gemv.h"
#include "isa.h"
#include "nogvl.h"
#include "row_accumulate.h"
#include "workers.h"

namespace zanthic {

namespace {

// Below this many multiply-adds a product stays on one thread: waking the
// workers and waiting for them costs tens of microseconds.
constexpr uint64_t kSplitWork = uint64_t(1) << 22;
// Chunks of a matrix-vector product are a multiple of this many rows, so
// that each keeps whole register tiles.
constexpr uint64_t kRowAlign = 8;
// Rows of a matrix-vector product per kernel call (of at most this many
// elements), so that an interrupt is noticed between calls.
constexpr uint64_t kGemvChunkElements = uint64_t(1) << 18;

// The same for single passes over memory (a few elements read per
// multiply-add): from about a millisecond of work on. Each split waits for
// the last thread to finish; on a machine whose cores are busy with other
// work that can be a scheduler's time slice, which a pass of a tenth of a
// millisecond (an update of a 5000 x 100 basis) cannot win back.
constexpr uint64_t kPassSplitWork = uint64_t(1) << 21;

unsigned pieces_for(uint64_t work, uint64_t chunks, uint64_t threshold = kSplitWork) {
    if (work < threshold || chunks < 2) return 1;
    const unsigned threads = thread_count();
    return chunks < threads ? static_cast<unsigned>(chunks) : threads;
}

// Threads take chunks of rows (or vectors) from a shared counter rather than
// fixed halves, so that a thread whose core is busy with other work takes
// fewer of them. Which thread computes a chunk never changes its values.
struct Split {
    std::atomic<uint64_t> next;
    uint64_t count, chunk;
    void (*run)(const void *job, uint64_t begin, uint64_t end);
    const void *job;
};

void split_piece(void *ctx, unsigned, unsigned) {
    Split *sp = static_cast<Split *>(ctx);
    for (;;) {
        const uint64_t c = sp->next.fetch_add(1, std::memory_order_relaxed);
        const uint64_t begin = c * sp->chunk;
        if (begin >= sp->count || stop_requested()) return;
        const uint64_t end = sp->count - begin < sp->chunk ? sp->count : begin + sp->chunk;
        sp->run(sp->job, begin, end);
    }
}

// run(job, 0, count) on one thread for work below threshold, otherwise chunk
// by chunk on every thread.
void split(uint64_t work, uint64_t count, uint64_t chunk, void (*run)(const void *, uint64_t, uint64_t),
           const void *job, uint64_t threshold = kSplitWork) {
    const unsigned pieces = pieces_for(work, (count + chunk - 1) / chunk, threshold);
    if (pieces == 1) {
        run(job, 0, count);
        return;
    }
    Split sp;
    sp.next.store(0, std::memory_order_relaxed);
    sp.count = count;
    sp.chunk = chunk;
    sp.run = run;
    sp.job = job;
    run_pieces(split_piece, &sp, pieces);
}

// Rows per block of a split product: as many as the kernel keeps of a in
// L2 (and a multiple of every variant's tile height).
constexpr uint64_t kGemmChunkRows = 240;
// A split product is cut into at least this many blocks per thread, so that
// a thread slowed by other work on its core leaves its share to the others.
constexpr uint64_t kBlocksPerThread = 4;
// Vectors (or rows) per chunk of the row-combination kernels: the basis
// is read once per chunk, from the last-level cache after the first.
constexpr uint64_t kAccumulateChunk = 128;

struct Gemm {
    uint64_t m, n, k;
    const double *a, *b;
    double *c;
    uint64_t rows;    // rows per block
    uint64_t groups;  // column groups of c
    uint64_t width;   // columns per group
};

// Blocks [begin, end) of c, numbered row block by row block, column group
// by column group within a row block.
void gemm_blocks(const void *job, uint64_t begin, uint64_t end) {
    const Gemm *g = static_cast<const Gemm *>(job);
    for (uint64_t block = begin; block < end && !stop_requested(); block++) {
        const uint64_t i = block / g->groups * g->rows, j = block % g->groups * g->width;
        const uint64_t rows = g->m - i < g->rows ? g->m - i : g->rows;
        const uint64_t cols = g->n - j < g->width ? g->n - j : g->width;
        gemm_block(rows, cols, g->k, g->a + i * g->k, g->k, g->b + j, g->n, g->c + i * g->n + j, g->n);
    }
}

// Whole rows of a matrix-vector product (one column of b).
void gemm_rows(const void *job, uint64_t begin, uint64_t end) {
    const Gemm *g = static_cast<const Gemm *>(job);
    gemm(end - begin, g->n, g->k, g->a + begin * g->k, g->b, g->c + begin * g->n);
}

// Rows per block of a symmetric product: a multiple of every variant's tile
// height, small enough that the blocks left of the diagonal, which are not
// computed, are most of the lower half.
constexpr uint64_t kSymmetricRows = 24;

struct Symmetric {
    uint64_t n, k;
    const double *a, *b;
    double *c;
};

// Row blocks [begin, end) of a symmetric product: each from its diagonal
// element rightwards.
void symmetric_blocks(const void *job, uint64_t begin, uint64_t end) {
    const Symmetric *g = static_cast<const Symmetric *>(job);
    for (uint64_t block = begin; block < end && !stop_requested(); block++) {
        const uint64_t i = block * kSymmetricRows;
        const uint64_t rows = g->n - i < kSymmetricRows ? g->n - i : kSymmetricRows;
        gemm_block(rows, g->n - i, g->k, g->a + i * g->k, g->k, g->b + i, g->n, g->c + i * g->n + i, g->n);
    }
}

struct GemmExtended {
    uint64_t m, n, k;
    const double *a, *e, *b;
    double *c;
};

// Rows [begin, end) of an extended product.
void gemm_extended_rows(const void *job, uint64_t begin, uint64_t end) {
    const GemmExtended *g = static_cast<const GemmExtended *>(job);
    gemm_extended(end - begin, g->n, g->k, g->a + begin * g->k, g->k, g->e + begin, g->b, g->n, g->c + begin * g->n,
                  g->n);
}

struct Gemv {
    uint64_t m, n;
    const double *a, *x;
    double *y;
};

void gemv_rows(const void *job, uint64_t begin, uint64_t end) {
    const Gemv *g = static_cast<const Gemv *>(job);
    const uint64_t step = (kGemvChunkElements / (g->n ? g->n : 1) / kRowAlign + 1) * kRowAlign;
    for (uint64_t i = begin; i < end && !stop_requested(); i += step) {
        const uint64_t rows = end - i < step ? end - i : step;
        gemv(rows, g->n, g->a + i * g->n, g->x, g->y + i);
    }
}

struct Accumulate {
    const CVector *const *in;
    uint64_t count;
    const double *w;
    uint64_t ldw, n, width;
    CVector *const *out;
};

void accumulate_range(const void *job, uint64_t begin, uint64_t end) {
    const Accumulate *p = static_cast<const Accumulate *>(job);
    accumulate_vectors(p->in + begin, end - begin, p->w, p->ldw, p->n, p->width, p->out + begin);
}

}  // namespace

void multiply(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    if (n < 2 || k == 0 || m * n * k < kSplitWork || thread_count() < 2) {
        Gemm g = {m, n, k, a, b, c, m, 1, n};
        split(m * n * k, m, kGemmChunkRows, gemm_rows, &g);
        return;
    }
    // Blocks of c: row blocks of equal height near kGemmChunkRows, as many
    // as a multiple of the thread count (each block copies its part of b,
    // so a thin one costs as much copying as a full one and the threads
    // finish together), and, when there are too few of those to share out,
    // column groups too (whole strips of the kernel).
    const unsigned threads = thread_count();
    uint64_t row_blocks = m < kGemmChunkRows * 3 / 2 ? 1 : (m + kGemmChunkRows / 2) / kGemmChunkRows;
    if (row_blocks > 1) row_blocks = (row_blocks + threads - 1) / threads * threads;
    const uint64_t rows = (m + row_blocks - 1) / row_blocks;
    row_blocks = (m + rows - 1) / rows;
    const uint64_t strip = gemm_strip_width(), strips = (n + strip - 1) / strip;
    const uint64_t wanted = kBlocksPerThread * threads;
    uint64_t groups = row_blocks >= wanted ? 1 : (wanted + row_blocks - 1) / row_blocks;
    if (groups > strips) groups = strips;
    const uint64_t width = (strips + groups - 1) / groups * strip;
    groups = (n + width - 1) / width;
    const Gemm g = {m, n, k, a, b, c, rows, groups, width};
    split(m * n * k, row_blocks * groups, 1, gemm_blocks, &g);
}

void multiply_symmetric(uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    if (n < 2 || k == 0) {
        multiply(n, n, k, a, b, c);
        return;
    }
    const Symmetric g = {n, k, a, b, c};
    const uint64_t blocks = (n + kSymmetricRows - 1) / kSymmetricRows;
    split(n * n * k / 2, blocks, 1, symmetric_blocks, &g);
    if (stop_requested()) return;
    for (uint64_t i = kSymmetricRows; i < n; i++)
        for (uint64_t j = 0; j < i / kSymmetricRows * kSymmetricRows; j++) c[i * n + j] = c[j * n + i];
}

void multiply_extended(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *e, const double *b,
                       double *c) {
    const GemmExtended g = {m, n, k, a, e, b, c};
    split(m * n * (k + 1), m, kGemmChunkRows, gemm_extended_rows, &g);
}

void multiply_vector(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    const Gemv g = {m, n, a, x, y};
    // Memory-bound: worth splitting from a few MiB of matrix on.
    const uint64_t step = (kGemvChunkElements / (n ? n : 1) / kRowAlign + 1) * kRowAlign;
    split(m * n * 8, m, step, gemv_rows, &g);
}

void split_chunks(uint64_t work, uint64_t count, void (*run)(const void *, uint64_t, uint64_t), const void *job) {
    split(work, count, 1, run, job, kPassSplitWork);
}

void project_vectors(const CVector *const *in, uint64_t count, const double *w, uint64_t ldw, uint64_t n,
                     uint64_t width, CVector *const *out) {
    const Accumulate p = {in, count, w, ldw, n, width, out};
    split(count * n * width, count, kAccumulateChunk, accumulate_range, &p);
}

}  // namespace zanthic
