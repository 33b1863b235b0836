// Operations on a decomposed basis: the incremental update, batch projection,
// and the small building blocks they share with Ruby callers (appending a
// column, stacking, zero matrices, vector subtraction).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "isa.h"
#include "nogvl.h"
#include "objects.h"
#include "products.h"
#include "row_accumulate.h"
#include "svd.h"
#include "zanthic_ext.h"

using namespace zanthic;

namespace {

[[noreturn]] void raise_size_mismatch(uint64_t a, uint64_t b) {
    rb_raise(rb_eArgError, "Vector sizes must match: %ld vs %ld", static_cast<long>(a), static_cast<long>(b));
}

[[noreturn]] void raise_extend_mismatch(uint64_t rows, uint64_t size) {
    rb_raise(rb_eArgError, "Matrix rows (%ld) must match vector size (%ld)", static_cast<long>(rows),
             static_cast<long>(size));
}

[[noreturn]] void raise_vstack_mismatch(uint64_t a, uint64_t b) {
    rb_raise(rb_eArgError, "Matrices must have same column count: %ld vs %ld", static_cast<long>(a),
             static_cast<long>(b));
}

void subtract_into(double *out, const double *a, const double *b, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) out[i] = a[i] - b[i];
}

void extend_column_into(CMatrix *out, const CMatrix *m, const CVector *v) {
    const uint64_t c = m->cols;
    for (uint64_t i = 0; i < m->rows; i++) {
        double *row = out->data + i * (c + 1);
        if (c) memcpy(row, m->data + i * c, c * sizeof(double));
        row[c] = v->data[i];
    }
}

void vstack_into(CMatrix *out, const CMatrix *a, const CMatrix *b) {
    const uint64_t na = a->rows * a->cols, nb = b->rows * b->cols;
    if (na) memcpy(out->data, a->data, na * sizeof(double));
    if (nb) memcpy(out->data + na, b->data, nb * sizeof(double));
}

}  // namespace

CVector *cvector_subtract(const CVector *a, const CVector *b) {
    if (a->size != b->size) raise_size_mismatch(a->size, b->size);
    CVector *r = cvector_alloc(a->size);
    subtract_into(r->data, a->data, b->data, a->size);
    return r;
}

CMatrix *cmatrix_extend_column(const CMatrix *m, const CVector *v) {
    if (m->rows != v->size) raise_extend_mismatch(m->rows, v->size);
    CMatrix *r = cmatrix_alloc(m->rows, m->cols + 1);
    extend_column_into(r, m, v);
    return r;
}

CMatrix *cmatrix_vstack(const CMatrix *a, const CMatrix *b) {
    if (a->cols != b->cols) raise_vstack_mismatch(a->cols, b->cols);
    CMatrix *r = cmatrix_alloc(a->rows + b->rows, a->cols);
    vstack_into(r, a, b);
    return r;
}

// ---- Batch projection ---------------------------------------------------------

namespace {

[[noreturn]] void raise_projection_mismatch(uint64_t index, uint64_t size, uint64_t rows) {
    rb_raise(rb_eArgError, "Vector %ld size (%ld) must match matrix rows (%ld)", static_cast<long>(index),
             static_cast<long>(size), static_cast<long>(rows));
}

struct ResultAlloc {
    CVector **results;
    uint64_t count;
    uint64_t size;
};

VALUE alloc_results(VALUE arg) {
    ResultAlloc *ra = reinterpret_cast<ResultAlloc *>(arg);
    for (uint64_t i = 0; i < ra->count; i++) ra->results[i] = cvector_alloc(ra->size);
    return Qnil;
}

void free_results(CVector **results, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        cvector_free(results[i]);
        results[i] = nullptr;
    }
}

struct Projection {
    const CMatrix *basis;
    CVector *const *vectors;
    uint64_t count;
    CVector **results;
};

bool project_body(void *arg) {
    const Projection *p = static_cast<const Projection *>(arg);
    const uint64_t m = p->basis->rows, k = p->basis->cols;
    // The kernel adds to its outputs; a run restarted after an interrupt
    // that did not raise starts again from zero.
    for (uint64_t i = 0; i < p->count; i++)
        if (k) memset(p->results[i]->data, 0, k * sizeof(double));
    project_vectors(p->vectors, p->count, p->basis->data, k, m, k, p->results);
    return !stop_requested();
}

void project_cleanup(void *arg) {
    const Projection *p = static_cast<const Projection *>(arg);
    free_results(p->results, p->count);
}

}  // namespace

void cbatch_project(const CMatrix *basis, CVector *const *vectors, uint64_t count, CVector **results) {
    if (count == 0) return;
    const uint64_t m = basis->rows, k = basis->cols;
    // Every size is compared before the first result exists, so the size
    // error (which names the first mismatching input) leaves nothing behind.
    for (uint64_t i = 0; i < count; i++)
        if (vectors[i]->size != m) raise_projection_mismatch(i, vectors[i]->size, m);
    for (uint64_t i = 0; i < count; i++) results[i] = nullptr;
    // If the allocator gives up part-way, release the results made so far.
    ResultAlloc ra = {results, count, k};
    int state = 0;
    rb_protect(alloc_results, reinterpret_cast<VALUE>(&ra), &state);
    if (state) {
        free_results(results, count);
        rb_jump_tag(state);
    }
    Projection p = {basis, vectors, count, results};
    run_without_gvl(project_body, &p, project_cleanup, count * m * k >= kReleaseWork);
}

namespace {

/*
 * call-seq:
 *   Matrix.extend_column(matrix, vector) -> new matrix
 *
 * A copy of +matrix+ with +vector+ appended as its last column, as an
 * instance of the receiver class.
 *
 *   Matrix.extend_column(Matrix.alloc([1, 2], [3, 4]), Vector.alloc([5, 6])).to_a
 *   # => [[1.0, 2.0, 5.0], [3.0, 4.0, 6.0]]
 *
 * Raises TypeError for arguments of the wrong class and ArgumentError when
 * the vector's size differs from the row count.
 */
VALUE matrix_s_extend_column(VALUE klass, VALUE matrix, VALUE vector) {
    const CMatrix *m = get_matrix(matrix);
    const CVector *v = get_vector(vector);
    if (m->rows != v->size) raise_extend_mismatch(m->rows, v->size);
    CMatrix *r;
    VALUE obj = new_matrix(klass, m->rows, m->cols + 1, &r);
    pass(r->rows * r->cols, [r, m, v] { extend_column_into(r, m, v); });
    RB_GC_GUARD(matrix);
    RB_GC_GUARD(vector);
    return obj;
}

/*
 * call-seq:
 *   Matrix.vstack(top, bottom) -> new matrix
 *
 * The rows of +top+ followed by the rows of +bottom+, as an instance of the
 * receiver class. Raises ArgumentError when the column counts differ.
 *
 *   Matrix.vstack(Matrix.alloc([1, 2]), Matrix.alloc([3, 4])).to_a  # => [[1.0, 2.0], [3.0, 4.0]]
 */
VALUE matrix_s_vstack(VALUE klass, VALUE top, VALUE bottom) {
    const CMatrix *a = get_matrix(top);
    const CMatrix *b = get_matrix(bottom);
    if (a->cols != b->cols) raise_vstack_mismatch(a->cols, b->cols);
    CMatrix *r;
    VALUE obj = new_matrix(klass, a->rows + b->rows, a->cols, &r);
    pass(r->rows * r->cols, [r, a, b] { vstack_into(r, a, b); });
    RB_GC_GUARD(top);
    RB_GC_GUARD(bottom);
    return obj;
}

/*
 * call-seq:
 *   Matrix.zeros(rows, cols) -> new matrix
 *
 * A +rows+ x +cols+ matrix of zeros, as an instance of the receiver class.
 * Either count may be zero. Raises ArgumentError for a negative count.
 *
 *   Matrix.zeros(2, 3).size  # => [2, 3]
 */
VALUE matrix_s_zeros(VALUE klass, VALUE rows, VALUE cols) {
    const uint64_t r = NUM2ULL(rows);
    const uint64_t c = NUM2ULL(cols);
    CMatrix *rec;
    return new_matrix(klass, r, c, &rec);
}

// ---- Matrix#batch_project -----------------------------------------------------

// The temporaries of one batch_project call, released by batch_release
// whether the call returns or raises.
struct BatchCall {
    const CMatrix *basis;
    VALUE vectors;
    uint64_t count;
    CVector **inputs;
    CVector **slots;
};

VALUE batch_run(VALUE arg) {
    BatchCall *bc = reinterpret_cast<BatchCall *>(arg);
    bc->inputs = static_cast<CVector **>(mem_alloc_n(bc->count, sizeof(CVector *)));
    bc->slots = static_cast<CVector **>(mem_alloc_n(bc->count, sizeof(CVector *)));
    memset(bc->slots, 0, bc->count * sizeof(CVector *));
    // From here until the results are wrapped no Ruby code runs, so the
    // borrowed records stay valid: the caller's Array keeps their objects.
    for (uint64_t i = 0; i < bc->count; i++)
        bc->inputs[i] = get_vector(RARRAY_AREF(bc->vectors, static_cast<long>(i)));
    cbatch_project(bc->basis, bc->inputs, bc->count, bc->slots);
    fault_point();
    VALUE out = rb_ary_new_capa(static_cast<long>(bc->count));
    for (uint64_t i = 0; i < bc->count; i++) {
        VALUE obj = vector_shell(cZanthicVector);
        DATA_PTR(obj) = bc->slots[i];
        bc->slots[i] = nullptr;
        rb_ary_push(out, obj);
    }
    return out;
}

VALUE batch_release(VALUE arg) {
    BatchCall *bc = reinterpret_cast<BatchCall *>(arg);
    if (bc->slots) {
        for (uint64_t i = 0; i < bc->count; i++) cvector_free(bc->slots[i]);
        mem_free(bc->slots);
    }
    if (bc->inputs) mem_free(bc->inputs);
    return Qnil;
}

/*
 * call-seq:
 *   matrix.batch_project(vectors) -> array of vectors
 *
 * Projects every Vector of the Array +vectors+ onto the columns of the
 * receiver (an m x k basis): the result for v is the k values basis^T * v,
 * a new row Vector. The results come back in a new Array, in input order.
 *
 *   basis = Matrix.alloc([1, 2], [3, 4], [5, 6])
 *   basis.batch_project([Vector.alloc([1, 1, 1]), Vector.alloc([1, 0, 0])]).map(&:to_a)
 *   # => [[9.0, 12.0], [1.0, 2.0]]
 *
 * Raises TypeError "Expected array of Vectors" when an element is not a
 * Vector (checked for every element first) and ArgumentError when a
 * vector's size differs from the row count.
 */
VALUE matrix_batch_project(VALUE self, VALUE vectors) {
    const CMatrix *basis = get_matrix(self);
    Check_Type(vectors, T_ARRAY);
    const long count = RARRAY_LEN(vectors);
    if (count == 0) return rb_ary_new();
    for (long i = 0; i < count; i++)
        if (!is_vector(RARRAY_AREF(vectors, i))) rb_raise(rb_eTypeError, "Expected array of Vectors");
    for (long i = 0; i < count; i++) {
        const CVector *v = get_vector(RARRAY_AREF(vectors, i));
        if (v->size != basis->rows) raise_projection_mismatch(static_cast<uint64_t>(i), v->size, basis->rows);
    }
    // The projection reads the vectors' records without the interpreter
    // lock, while other threads run: a copy of the Array keeps every vector
    // alive even if the caller's Array is changed meanwhile.
    VALUE held = rb_ary_dup(vectors);
    BatchCall bc = {basis, held, static_cast<uint64_t>(count), nullptr, nullptr};
    VALUE out = rb_ensure(batch_run, reinterpret_cast<VALUE>(&bc), batch_release, reinterpret_cast<VALUE>(&bc));
    RB_GC_GUARD(held);
    RB_GC_GUARD(self);
    return out;
}

// ---- Matrix#incremental_svd_update -------------------------------------------

// Singular values at or below this count as zero, as in jacobi_svd.
constexpr double kZeroValue = 1e-10;
// One projection leaves in the residual r = c - U U^T c an error of about
// eps * |c| along the basis, so the unit residual r / |r| is off the basis by
// eps * |c| / |r|: for a near-duplicate document (|r| = 1e-7 |c|) that is
// 1e-9, and every later projection onto the damaged basis multiplies it
// again. When r keeps less than this fraction of c's norm, it is projected
// a second time, which leaves it orthogonal to the basis to rounding
// (Kahan and Parlett's "twice is enough" criterion).
constexpr double kReprojectRatio = 0.7071067811865476;
// The second projection's residual r - u p2 has the norm of r to rounding
// when |p2| is at most this fraction of it ((|p2| / |r|)^2 is below half an
// ulp). Then u p2 is taken out of the new basis through the rotation
// (rotate_basis) instead of by another pass over u: for a residual of 1e-7
// of c's norm, |p2| is about 1e-16 of it.
constexpr double kFoldRatio = 1e-8;

// The residual and its coefficients in one pass over u: for every row i,
// r[i] = c[i] - u[i] . p, then p2 += r[i] * u[i] while the row is in
// registers. p2 must hold zeros (or a sum to continue) on entry. The basis
// is the largest array an update reads (4 MB at 5000 x 100, beyond the core's
// cache), so the second projection's coefficients cost no pass of their own.
typedef void (*ResidualBackFn)(const double *u, uint64_t m, uint64_t k, const double *p, const double *c, double *r,
                               double *p2);

void residual_back_portable(const double *u, uint64_t m, uint64_t k, const double *p, const double *c, double *r,
                            double *p2) {
    for (uint64_t i = 0; i < m; i++) {
        const double *row = u + i * k;
        const double d = row_residual(row, k, p, c[i]);
        r[i] = d;
        for (uint64_t j = 0; j < k; j++) p2[j] += d * row[j];
    }
}

#if ZANTHIC_X86
ZANTHIC_TARGET_AVX512 void residual_back512(const double *u, uint64_t m, uint64_t k, const double *p,
                                            const double *c, double *r, double *p2) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (k & 7)) - 1);
    const uint64_t full = k & ~static_cast<uint64_t>(7);
    for (uint64_t i = 0; i < m; i++) {
        const double *row = u + i * k;
        __m512d s0 = _mm512_setzero_pd(), s1 = _mm512_setzero_pd();
        uint64_t j = 0;
        for (; j + 16 <= full; j += 16) {
            s0 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j), _mm512_loadu_pd(p + j), s0);
            s1 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j + 8), _mm512_loadu_pd(p + j + 8), s1);
        }
        if (j < full) s0 = _mm512_fmadd_pd(_mm512_loadu_pd(row + j), _mm512_loadu_pd(p + j), s0);
        if (tail)
            s1 = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(tail, row + full), _mm512_maskz_loadu_pd(tail, p + full), s1);
        double lanes[8];
        _mm512_storeu_pd(lanes, _mm512_add_pd(s0, s1));
        const double d =
            c[i] - (((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7])));
        r[i] = d;
        const __m512d dv = _mm512_set1_pd(d);
        for (j = 0; j < full; j += 8)
            _mm512_storeu_pd(p2 + j, _mm512_fmadd_pd(dv, _mm512_loadu_pd(row + j), _mm512_loadu_pd(p2 + j)));
        if (tail)
            _mm512_mask_storeu_pd(p2 + full, tail,
                                  _mm512_fmadd_pd(dv, _mm512_maskz_loadu_pd(tail, row + full),
                                                  _mm512_maskz_loadu_pd(tail, p2 + full)));
    }
}
#endif

struct ResidualBack {
    ResidualBackFn fn;
};
const ResidualBack kResidualBackPortable = {residual_back_portable};
#if ZANTHIC_X86
const ResidualBack kResidualBack512 = {residual_back512};
const ResidualBack *const kResidualBackVariants[isa::kLevels] = {&kResidualBackPortable, nullptr,
                                                                  &kResidualBack512};
#else
const ResidualBack *const kResidualBackVariants[isa::kLevels] = {&kResidualBackPortable, nullptr, nullptr};
#endif

void residual_back(const double *u, uint64_t m, uint64_t k, const double *p, const double *c, double *r,
                   double *p2) {
    static const ResidualBack *const chosen = isa::pick(kResidualBackVariants);
    chosen->fn(u, m, k, p, c, r, p2);
}

[[noreturn]] void raise_core_mismatch(uint64_t m, uint64_t k, uint64_t n) {
    rb_raise(rb_eArgError, "Matrix dimensions don't match for multiplication: %ldx%ld * %ldx%ld",
             static_cast<long>(m), static_cast<long>(k + 1), static_cast<long>(n + 1), static_cast<long>(n + 1));
}

// One update's inputs and every record it makes; update_release frees
// whatever is still held, on success and when anything raises. The update
// runs in two parts without the interpreter lock (the projection, then the
// core decomposition and the new basis), with the records of each part
// allocated before it.
struct Update {
    const CMatrix *u;  // m x k basis
    const CVector *s;  // n values
    uint64_t n;        // s's size, taken once: an empty s may be filled (init_with)
                       // by another thread while the lock is released
    const CVector *c;  // the new column, m values
    int max_rank;
    double epsilon;
    // The projection
    CVector *p;        // coefficients u^T c (plus those of the second projection)
    CVector *r;        // residual c - u p
    CVector *p2;       // coefficients u^T r of the second projection
    CVector *spare;    // the residual of the second projection, then the unit residual q
    double *parts;     // one row of k coefficients per chunk of rows of u
    uint64_t chunk_rows, chunks;
    double rho;        // norm of the residual kept
    bool extend;       // the residual is kept: the basis grows
    bool fold;         // the unit residual is r / rho - u p2 / rho, the second
                       // term applied through the rotation
    // The core and the new basis
    CMatrix *core;     // (n + 1) x (n + 1)
    SvdWork svd;       // its decomposition
    uint64_t keep;     // values kept
    bool truncate;
    uint64_t *order;   // positions of the values kept when truncating
    CMatrix *rotation; // the columns of the core's left factor that are kept
    CMatrix *basis;
    CVector *values;
};

VALUE update_release(VALUE arg) {
    Update *w = reinterpret_cast<Update *>(arg);
    cvector_free(w->p);
    cvector_free(w->r);
    cvector_free(w->p2);
    cvector_free(w->spare);
    mem_free(w->parts);
    cmatrix_free(w->core);
    svd_release(&w->svd);
    mem_free(w->order);
    cmatrix_free(w->rotation);
    cmatrix_free(w->basis);
    cvector_free(w->values);
    return Qnil;
}

// Chooses the positions of the `keep` largest values of sigma (ties: the
// lower position first; NaN ranks below every number) and leaves them in
// order[0 .. keep) in ascending position order.
void select_largest(const CVector *sigma, uint64_t keep, uint64_t *order) {
    const uint64_t total = sigma->size;
    const double *sig = sigma->data;
    for (uint64_t i = 0; i < total; i++) order[i] = i;
    std::sort(order, order + total, [sig](uint64_t x, uint64_t y) {
        const bool xnan = std::isnan(sig[x]), ynan = std::isnan(sig[y]);
        if (xnan != ynan) return ynan;
        if (!xnan && sig[x] != sig[y]) return sig[x] > sig[y];
        return x < y;
    });
    std::sort(order, order + keep);
}

// Wraps the finished pair; each record passes to its object at once.
VALUE update_result(Update *w) {
    VALUE basis = matrix_shell(cZanthicMatrix);
    DATA_PTR(basis) = w->basis;
    w->basis = nullptr;
    VALUE values = vector_shell(cZanthicVector);
    DATA_PTR(values) = w->values;
    w->values = nullptr;
    return rb_assoc_new(basis, values);
}

// Elements copied between two looks at the stop flag on the copy path
// (8 MiB: about a millisecond).
constexpr uint64_t kCopyChunk = uint64_t(1) << 20;

bool copy_body(void *arg) {
    Update *w = static_cast<Update *>(arg);
    const uint64_t total = w->u->rows * w->u->cols, n = w->s->size;
    for (uint64_t i = 0; i < total; i += kCopyChunk) {
        if (stop_requested()) return false;
        const uint64_t count = total - i < kCopyChunk ? total - i : kCopyChunk;
        memcpy(w->basis->data + i, w->u->data + i, count * sizeof(double));
    }
    if (n) memcpy(w->values->data, w->s->data, n * sizeof(double));
    return !stop_requested();
}

// The copy path: the decomposition unchanged, as new records (copied
// without the lock when large: a stream of updates takes this path for every
// column it drops), in chunks so that a copy of a large basis is
// interruptible too.
VALUE copy_result(Update *w) {
    const uint64_t m = w->u->rows, k = w->u->cols, n = w->s->size;
    matrix_unfilled(&w->basis, m, k);
    w->values = cvector_alloc(n);
    run_without_gvl(copy_body, w, nullptr, m * k + n >= kReleaseWork);
    return update_result(w);
}

// The passes over u go chunk by chunk of rows, each chunk's share of a set
// of coefficients summed on its own (in parts) and the shares added in
// chunk order afterwards: the same values whichever threads take the
// chunks, and an interrupt is noticed between chunks. A chunk is
// kChunkElements elements of u (512 KiB), at least kMinChunkRows rows; a
// basis that would make more than kMaxChunks of them (so that the shares
// would take much memory, a row of k for each) gets larger chunks, of at
// most kMaxChunkElements (32 MiB, a few milliseconds of work) where the
// rows allow.
constexpr uint64_t kChunkElements = uint64_t(1) << 16;
constexpr uint64_t kMaxChunkElements = uint64_t(1) << 22;
constexpr uint64_t kMinChunkRows = 8;
constexpr uint64_t kMaxChunks = 256;

uint64_t chunk_rows_for(uint64_t m, uint64_t k) {
    const uint64_t width = k ? k : 1;
    uint64_t rows = kChunkElements / width;
    if (rows < kMinChunkRows) rows = kMinChunkRows;
    const uint64_t spread = (m + kMaxChunks - 1) / kMaxChunks, cap = kMaxChunkElements / width;
    if (rows < spread) rows = spread < cap ? spread : (cap > rows ? cap : rows);
    return rows;
}

// The rows [first, end) of chunk ch of u.
struct Rows {
    uint64_t first, count;
};
inline Rows chunk(const Update *w, uint64_t ch) {
    const uint64_t first = ch * w->chunk_rows, m = w->u->rows;
    return {first, m - first < w->chunk_rows ? m - first : w->chunk_rows};
}

// parts[ch] = (rows of chunk ch of u)^T (the same rows of c). The chunks
// go from the last to the first: the product that made u (the previous
// update's) wrote its last rows last, so those are the ones still in the
// core's cache; the residual pass then goes back the other way.
void coefficient_chunks(const void *job, uint64_t begin, uint64_t end) {
    const Update *w = static_cast<const Update *>(job);
    const uint64_t k = w->u->cols;
    for (uint64_t i = begin; i < end && !stop_requested(); i++) {
        const uint64_t ch = w->chunks - 1 - i;
        const Rows rows = chunk(w, ch);
        CVector src = {rows.count, w->c->data + rows.first, 0};
        CVector part = {k, w->parts + ch * k, 0};
        const CVector *in = &src;
        CVector *out = &part;
        memset(part.data, 0, k * sizeof(double));
        accumulate_vectors(&in, 1, w->u->data + rows.first * k, k, rows.count, k, &out);
    }
}

// r = c - u p over each chunk, and parts[ch] = (the chunk's rows of u)^T r,
// the coefficients of a second projection.
void residual_chunks(const void *job, uint64_t begin, uint64_t end) {
    const Update *w = static_cast<const Update *>(job);
    const uint64_t k = w->u->cols;
    for (uint64_t ch = begin; ch < end && !stop_requested(); ch++) {
        const Rows rows = chunk(w, ch);
        double *part = w->parts + ch * k;
        memset(part, 0, k * sizeof(double));
        residual_back(w->u->data + rows.first * k, rows.count, k, w->p->data, w->c->data + rows.first,
                      w->r->data + rows.first, part);
    }
}

// spare = r - u p2 over each chunk.
void second_residual_chunks(const void *job, uint64_t begin, uint64_t end) {
    const Update *w = static_cast<const Update *>(job);
    const uint64_t k = w->u->cols;
    for (uint64_t ch = begin; ch < end && !stop_requested(); ch++) {
        const Rows rows = chunk(w, ch);
        residual_rows(w->u->data + rows.first * k, rows.count, k, w->p2->data, w->r->data + rows.first,
                      w->spare->data + rows.first);
    }
}

// out = the sum of the chunks' parts, in chunk order.
void sum_parts(const Update *w, double *out) {
    const uint64_t k = w->u->cols;
    if (k == 0) return;
    memcpy(out, w->parts, k * sizeof(double));
    for (uint64_t ch = 1; ch < w->chunks; ch++) {
        const double *part = w->parts + ch * k;
        for (uint64_t j = 0; j < k; j++) out[j] += part[j];
    }
}

// The coefficients and the residual: two passes over u, row by row (the
// second also gives the coefficients of a second projection), and one more
// when the residual needs that projection and it is not folded into the
// rotation (kFoldRatio). Sets extend, fold and rho.
bool project_column(void *arg) {
    Update *w = static_cast<Update *>(arg);
    const CMatrix *u = w->u;
    const uint64_t m = u->rows, k = u->cols;
    w->extend = false;
    w->fold = false;
    split_chunks(m * k, w->chunks, coefficient_chunks, w);
    if (stop_requested()) return false;
    sum_parts(w, w->p->data);
    split_chunks(m * k, w->chunks, residual_chunks, w);
    if (stop_requested()) return false;
    sum_parts(w, w->p2->data);
    // The norm that rescales when the plain sum of squares would overflow
    // or underflow: a residual of 1e-170s is not zero, nor one of 1e200 NaN.
    double rho = cvector_magnitude(w->r);

    // A residual that is not above epsilon leaves the decomposition as it
    // is. Neither does a zero one, whatever epsilon says: its unit vector
    // would be 0/0 and turn the whole new basis into NaN. NaN on either side
    // fails both comparisons.
    if (!(rho > w->epsilon && rho > 0.0)) return !stop_requested();

    // Second projection, when the first removed much of c: its coefficients
    // join p, so that the core still describes c exactly. Should it cancel
    // the residual altogether, c lay in the basis after all.
    if (k && rho < kReprojectRatio * cvector_magnitude(w->c)) {
        for (uint64_t i = 0; i < k; i++) w->p->data[i] += w->p2->data[i];
        if (cvector_magnitude(w->p2) <= kFoldRatio * rho) {
            w->fold = true;
        } else {
            split_chunks(m * k, w->chunks, second_residual_chunks, w);
            if (stop_requested()) return false;
            std::swap(w->r, w->spare);
            rho = cvector_magnitude(w->r);
            if (!(rho > 0.0)) return !stop_requested();
        }
    }
    w->rho = rho;
    w->extend = true;
    return !stop_requested();
}

// Core, its decomposition, truncation and the new basis.
bool rotate_basis(void *arg) {
    Update *w = static_cast<Update *>(arg);
    const CMatrix *u = w->u;
    const uint64_t m = u->rows, k = u->cols, n = w->n;

    // Unit residual q.
    const double inv = 1.0 / w->rho;
    double *q = w->spare->data;
    for (uint64_t i = 0; i < m; i++) q[i] = w->r->data[i] * inv;

    // Core K: diag(s) with the coefficients in the last column, rho in the
    // corner. It is stored transposed and that transpose decomposed: for a
    // square input the second factor is the accumulated product of the
    // plane rotations, here the left singular vectors of K, orthonormal to
    // rounding however far the sweeps got and however small a value is.
    // The first factor, K^T V D, would carry the Gram method's error
    // eps * (max sigma / sigma_j)^2 into every update and let it add up.
    // The values are the same set either way.
    const uint64_t dim = n + 1;
    double *core = w->core->data;
    for (uint64_t i = 0; i < n; i++) {
        core[i * dim + i] = w->s->data[i];
        core[n * dim + i] = w->p->data[i];
    }
    core[n * dim + n] = w->rho;
    if (!svd_compute(&w->svd)) return false;
    CMatrix *uk = w->svd.v;
    const CVector *sigma = w->svd.s;
    // A value at or below the decomposition's zero cut-off keeps an all-zero
    // column, as a left factor formed from the values would have it.
    for (uint64_t j = 0; j < dim; j++)
        if (sigma->data[j] <= kZeroValue)
            for (uint64_t i = 0; i < dim; i++) uk->data[i * dim + j] = 0.0;

    // Truncation keeps the max_rank largest values (a negative max_rank
    // keeps all), in the order in which the decomposition delivered them,
    // and only the matching columns of uk are ever multiplied out.
    const uint64_t keep = w->keep;
    CMatrix *rot = uk;
    if (w->truncate) {
        select_largest(sigma, keep, w->order);
        for (uint64_t i = 0; i < dim; i++)
            for (uint64_t j = 0; j < keep; j++) w->rotation->data[i * keep + j] = uk->data[i * dim + w->order[j]];
        rot = w->rotation;
    }
    // [u | q] rot with q = r / rho - u p2 / rho is [u | r / rho] rot', rot'
    // being rot less (p2 / rho) times its last row in the first k rows.
    if (w->fold) {
        const double *last = rot->data + k * keep;
        for (uint64_t i = 0; i < k; i++) {
            const double f = w->p2->data[i] * inv;
            double *row = rot->data + i * keep;
            for (uint64_t j = 0; j < keep; j++) row[j] -= f * last[j];
        }
    }
    for (uint64_t j = 0; j < keep; j++) w->values->data[j] = sigma->data[w->truncate ? w->order[j] : j];

    // New basis [u | q] * rot, without forming [u | q]: u times the first k
    // rows of rot through the product kernel (at this shape, 5000 x 100 by
    // 100 x 100, 1.3-1.5x faster than combining rows), with q times the
    // last row added to each block of rows while it is in cache. The
    // product overwrites every element of the basis, so a rerun after an
    // interrupt that did not raise starts clean.
    multiply_extended(m, keep, k, u->data, q, rot->data, w->basis->data);
    return !stop_requested();
}

VALUE update_run(VALUE arg) {
    Update *w = reinterpret_cast<Update *>(arg);
    const CMatrix *u = w->u;
    const uint64_t m = u->rows, k = u->cols, n = w->n = w->s->size;

    // With no rows the residual is empty and its norm zero, so the k
    // coefficients (however many) are never needed.
    if (m == 0) return copy_result(w);
    w->p = cvector_alloc(k);
    w->r = cvector_alloc(m);
    w->p2 = cvector_alloc(k);
    w->spare = cvector_alloc(m);
    w->chunk_rows = chunk_rows_for(m, k);
    w->chunks = (m + w->chunk_rows - 1) / w->chunk_rows;
    w->parts = static_cast<double *>(mem_alloc_n(w->chunks * k + 1, sizeof(double)));
    run_without_gvl(project_column, w, nullptr, m * k >= kReleaseWork);
    if (!w->extend) return copy_result(w);
    if (n != k) raise_core_mismatch(m, k, n);

    const uint64_t dim = n + 1;
    w->truncate = w->max_rank >= 0 && static_cast<uint64_t>(w->max_rank) < dim;
    w->keep = w->truncate ? static_cast<uint64_t>(w->max_rank) : dim;
    w->core = cmatrix_alloc(dim, dim);
    svd_prepare(&w->svd, w->core);
    // The core's rotations need not match the plain procedure bit for bit:
    // its sweeps keep W symmetric (half the work on W) and take their angles
    // without atan, cos and sin (a fifth of a sweep at order 101).
    w->svd.algebraic = true;
    // Only the core's second factor and its values are read.
    w->svd.right_only = true;
    if (w->truncate) {
        w->order = static_cast<uint64_t *>(mem_alloc_n(dim, sizeof(uint64_t)));
        w->rotation = cmatrix_alloc(dim, w->keep);
    }
    w->values = cvector_alloc(w->keep);
    matrix_unfilled(&w->basis, m, w->keep);
    run_without_gvl(rotate_basis, w, nullptr, m * dim * w->keep + dim * dim * dim >= kReleaseWork);
    return update_result(w);
}

/*
 * call-seq:
 *   basis.incremental_svd_update(values, column, max_rank, epsilon) -> [new_basis, new_values]
 *
 * Folds one new data column into a truncated singular value decomposition
 * held as an m x k +basis+ of left singular vectors and their k +values+.
 * The residual of +column+ (its component outside the basis) is kept only when
 * its norm is greater than +epsilon+ and not zero; then the basis grows by
 * one direction, and when it would exceed +max_rank+ columns (max_rank >= 0)
 * only the directions with the largest values are kept, in the order the
 * decomposition of the small core delivered them. Otherwise copies of
 * +basis+ and +values+ come back: such a column is dropped whole, and its
 * weight on the existing directions is not added to +values+ either.
 * The basis stays orthonormal over any number of updates (columns whose
 * value is 1e-10 or less are zero). Results are a new Matrix and a new row
 * Vector; the receiver and arguments are not changed.
 *
 *   basis = Matrix.alloc([1], [0])
 *   u, s = basis.incremental_svd_update(Vector.alloc([2]), Vector.alloc([0, 3]), 5, 1e-9)
 *   u.to_a  # => [[1.0, 0.0], [0.0, 1.0]]
 *   s.to_a  # => [2.0, 3.0]
 *
 * Start from Matrix.zeros(m, 0) and an empty Vector to build a basis from
 * nothing. Raises ArgumentError when +column+ does not have m values, and
 * when the column is kept but +values+ does not have k values.
 */
VALUE matrix_incremental_svd_update(VALUE self, VALUE s, VALUE c, VALUE max_rank, VALUE epsilon) {
    Update w = {};
    w.u = get_matrix(self);
    w.s = get_vector(s);
    w.c = get_vector(c);
    w.max_rank = NUM2INT(max_rank);
    w.epsilon = NUM2DBL(epsilon);
    if (w.c->size != w.u->rows) raise_size_mismatch(w.c->size, w.u->rows);
    VALUE out = rb_ensure(update_run, reinterpret_cast<VALUE>(&w), update_release, reinterpret_cast<VALUE>(&w));
    // The records are read while the lock is released.
    RB_GC_GUARD(self);
    RB_GC_GUARD(s);
    RB_GC_GUARD(c);
    return out;
}

/*
 * call-seq:
 *   vector - other -> new vector
 *
 * Elementwise difference, always a row vector of the class Vector.
 *
 *   (Vector.alloc([3, 5]) - Vector.alloc([1, 1])).to_a  # => [2.0, 4.0]
 *
 * Raises TypeError when +other+ is not a Vector and ArgumentError when the
 * sizes differ.
 */
VALUE vector_minus(VALUE self, VALUE other) {
    const CVector *a = get_vector(self);
    if (!is_vector(other)) rb_raise(rb_eTypeError, "Cannot subtract %s from Vector", rb_obj_classname(other));
    const CVector *b = get_vector(other);
    if (a->size != b->size) raise_size_mismatch(a->size, b->size);
    CVector *r;
    VALUE obj = new_vector(cZanthicVector, a->size, &r);
    pass(a->size, [r, a, b] { subtract_into(r->data, a->data, b->data, a->size); });
    RB_GC_GUARD(self);
    RB_GC_GUARD(other);
    return obj;
}

}  // namespace

void Init_incremental_svd(void) {
#if 0  // rdoc reads each file on its own; this tells it where the classes come from
    mZanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(mZanthic, "Linalg");
    cZanthicVector = rb_define_class_under(mZanthicLinalg, "Vector", rb_cObject);
    cZanthicMatrix = rb_define_class_under(mZanthicLinalg, "Matrix", rb_cObject);
#endif
    rb_define_singleton_method(cZanthicMatrix, "extend_column", RUBY_METHOD_FUNC(matrix_s_extend_column), 2);
    rb_define_singleton_method(cZanthicMatrix, "vstack", RUBY_METHOD_FUNC(matrix_s_vstack), 2);
    rb_define_singleton_method(cZanthicMatrix, "zeros", RUBY_METHOD_FUNC(matrix_s_zeros), 2);
    rb_define_method(cZanthicMatrix, "batch_project", RUBY_METHOD_FUNC(matrix_batch_project), 1);
    rb_define_method(cZanthicMatrix, "incremental_svd_update", RUBY_METHOD_FUNC(matrix_incremental_svd_update), 4);
    rb_define_method(cZanthicVector, "-", RUBY_METHOD_FUNC(vector_minus), 1);
}
