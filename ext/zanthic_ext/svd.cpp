// Singular value decomposition by Jacobi rotations of the Gram matrix.
//
// The eigenproblem of the Gram matrix of A's smaller side is solved by cyclic
// Jacobi sweeps; its eigenvalues are the squared singular values, and the
// eigenvectors give one side of the decomposition directly (V) and the other
// through U = (E V) D, D the diagonal of inverse singular values.
#include <cmath>
#include <cstring>

#include "svd.h"

#include "nogvl.h"
#include "objects.h"
#include "products.h"
#include "rotate.h"
#include "transpose.h"
#include "workers.h"
#include "zanthic_ext.h"

using namespace zanthic;

namespace {

// A sweep changing the diagonal by at most this much in total (adding only
// the entries that moved by more than it) has converged.
constexpr double kDiagonalChange = 0.001;
// Sweeps stop here whatever the state of W; its last state is used.
constexpr int kMaxSweeps = 20;
// The diagonal change alone can stop while W is far from diagonal (a matrix
// of small entries barely moves its diagonal at all), leaving U's columns
// far from orthonormal. So the sweeps also go on until every off-diagonal
// entry is at most this fraction of W's largest diagonal entry; Jacobi
// sweeps converge quadratically, so one or two more sweeps get there.
constexpr double kOffDiagonalRatio = 1e-12;
// From this order on the sweeps keep W symmetric and take their angles
// from rotation_algebraic instead of atan, cos and sin: the same rotations,
// rounded differently, in about a third of the time (measured at one
// thread, AVX-512, on Gram matrices of 2000 x n term counts: 0.44x at
// n = 24, 0.37x at 100, 0.35x at 127). Smaller orders keep the plain
// procedure's bits, where the gain is a few microseconds. Orders above
// rotate::kBlockAbove take the sweep in groups either way.
constexpr uint64_t kAlgebraicFrom = 24;
// Singular values at or below this are treated as zero: their column of U
// is left all zero rather than amplifying rounding noise.
constexpr double kInverseThreshold = 1e-10;
// The Gram matrix holds the squares of the singular values, so the rounding
// in forming and rotating it (about eps * max S^2) hides every value below
// about sqrt(eps) * max S = 1.5e-8 * max S. A matrix of rank k < n still
// shows n - k such values, made of rounding alone (measured: 1.4e-8 to
// 2.5e-8 of max S for n = 100 to 1000, growing slowly with n), and E V
// divided by one of them is a column of noise, not a singular vector.
// Values at or below this fraction of the largest therefore also get an
// all-zero column of U (four times the largest noise measured); S itself
// keeps them.
constexpr double kResolvableRatio = 1e-7;

// W, V^T and the per-sweep vectors share one buffer, padded for the sweep
// kernel: its layout for a Gram matrix of order n.
struct Layout {
    uint64_t padded, ld, w_size, vt_size, total;
};

Layout layout(uint64_t n) {
    const uint64_t padded = rotate::round_up(n), ld = rotate::row_stride(n);
    const uint64_t w_size = padded * ld, vt_size = n * padded;
    const uint64_t total = w_size + vt_size + 2 * padded + rotate::sweep_scratch_size(n) + rotate::kAlign;
    return {padded, ld, w_size, vt_size, total};
}

// Sum of the diagonal changes larger than kDiagonalChange (NaN adds nothing);
// refills previous with the new diagonal.
double diagonal_change(const double *w, uint64_t ld, double *previous, uint64_t n) {
    double delta = 0.0;
    for (uint64_t j = 0; j < n; j++) {
        const double change = std::fabs(w[j * ld + j] - previous[j]);
        if (change > kDiagonalChange) delta += change;
        previous[j] = w[j * ld + j];
    }
    return delta;
}

// True unless some off-diagonal entry exceeds kOffDiagonalRatio times the
// largest diagonal entry. NaN compares false, so a NaN W counts as diagonal.
bool is_diagonal(const double *w, uint64_t ld, uint64_t n) {
    double largest = 0.0;
    for (uint64_t j = 0; j < n; j++)
        if (w[j * ld + j] > largest) largest = w[j * ld + j];
    const double bound = kOffDiagonalRatio * largest;
    for (uint64_t i = 0; i < n; i++) {
        const double *row = w + i * ld;
        bool small = true;
        for (uint64_t j = 0; j < n; j++) small &= !(std::fabs(row[j]) > bound) || i == j;
        if (!small) return false;
    }
    return true;
}

// True if every one of the n values is finite: an exponent of all ones is
// Infinity or NaN. On the bits, so that the loop vectorizes.
bool all_finite(const double *x, uint64_t n) {
    constexpr uint64_t kExponent = 0x7ff0000000000000ULL;
    uint64_t bad = 0;
    for (uint64_t j = 0; j < n; j++) {
        uint64_t bits;
        memcpy(&bits, x + j, sizeof bits);
        bad |= (bits & kExponent) == kExponent;
    }
    return !bad;
}

VALUE allocate(VALUE arg) {
    SvdWork *w = reinterpret_cast<SvdWork *>(arg);
    const CMatrix *a = w->a;
    const bool wide = a->rows < a->cols;
    const uint64_t n = wide ? a->rows : a->cols, rows = wide ? a->cols : a->rows;
    if (wide) matrix_unfilled(&w->at, a->cols, a->rows);
    matrix_unfilled(&w->ev, rows, n);
    matrix_unfilled(&w->v, n, n);
    w->s = cvector_alloc(n);
    w->buffer = static_cast<double *>(mem_alloc_n(layout(n).total, sizeof(double)));
    return Qnil;
}

}  // namespace

void zanthic::svd_prepare(SvdWork *w, const CMatrix *a) {
    *w = {a, nullptr, nullptr, nullptr, nullptr, nullptr, false, false};
    int state = 0;
    rb_protect(allocate, reinterpret_cast<VALUE>(w), &state);
    if (state) {
        svd_release(w);
        rb_jump_tag(state);
    }
}

void zanthic::svd_release(SvdWork *w) {
    cmatrix_free(w->at);
    cmatrix_free(w->ev);
    cmatrix_free(w->v);
    cvector_free(w->s);
    mem_free(w->buffer);
    *w = {w->a, nullptr, nullptr, nullptr, nullptr, nullptr, w->algebraic, w->right_only};
}

bool zanthic::svd_compute(SvdWork *w) {
    const CMatrix *a = w->a;
    const bool wide = a->rows < a->cols;
    const uint64_t n = w->v->rows;
    const Layout lay = layout(n);
    const uint64_t padded = lay.padded, ld = lay.ld;
    double *wm = rotate::align(w->buffer), *vt = wm + lay.w_size;
    double *previous = vt + lay.vt_size, *inverse = previous + padded, *scratch = inverse + padded;

    // With n = 0 there is nothing to compute: U has max(r, c) rows of
    // nothing, however many rows that is.
    if (n == 0) return true;

    // 1. Gram matrix of the smaller side, formed densely where V^T will be.
    // E is A^T for a wide A; for a tall one A^T lives in E V's record until
    // E V is formed.
    double *at = wide ? w->at->data : w->ev->data;
    transpose(a->rows, a->cols, a->data, at);
    if (wide)
        multiply_symmetric(n, a->cols, a->data, at, vt);
    else
        multiply_symmetric(n, a->rows, at, a->data, vt);
    if (stop_requested()) return false;

    // 2. W = G and V = I, both padded for the sweep kernel; V is kept
    // transposed, so that rotating its columns streams its rows.
    // Zero what the copy of G does not fill: W's padding, V^T, the small
    // vectors and the start of the scratch; the recorded angles are
    // written before they are read.
    for (uint64_t i = 0; i < padded; i++) {
        double *row = wm + i * ld;
        const uint64_t filled = i < n ? n : 0;
        if (filled) memcpy(row, vt + i * n, n * sizeof(double));
        memset(row + filled, 0, (ld - filled) * sizeof(double));
    }
    memset(vt, 0, (lay.vt_size + 3 * padded) * sizeof(double));
    for (uint64_t i = 0; i < n; i++) vt[i * padded + i] = 1.0;

    // 3.-4. Sweeps until the diagonal settles and W is diagonal, 2 to 20.
    // Only P's diagonal takes part in the test, so only it is kept.
    rotate::Threads threads = {thread_count(), run_pieces_together, {0.0, 0.0}, 0, 0};
    for (int sweep = 1;; sweep++) {
        rotate::sweep(wm, ld, vt, padded, scratch, n, threads, w->algebraic || n >= kAlgebraicFrom);
        if (stop_requested()) return false;
        const double delta = diagonal_change(wm, ld, previous, n);
        if (sweep == 1) continue;
        if (sweep == kMaxSweeps || (delta <= kDiagonalChange && is_diagonal(wm, ld, n))) break;
    }

    // 5.-6. Singular values and their inverses. NaN stays NaN, so that a
    // matrix holding NaN or Infinity does not pass for a zero matrix.
    double *s = w->s->data;
    double largest = 0.0;
    for (uint64_t j = 0; j < n; j++) {
        const double d = wm[j * ld + j];
        s[j] = d > 0.0 ? std::sqrt(d) : (std::isnan(d) ? d : 0.0);
        if (s[j] > largest) largest = s[j];
    }
    const double floor = largest * kResolvableRatio;
    for (uint64_t j = 0; j < n; j++) inverse[j] = s[j] > kInverseThreshold && s[j] > floor ? 1.0 / s[j] : 0.0;

    // 7. U = (E V) D. D is diagonal, so multiplying by it scales columns,
    // except in a row of E V holding Infinity or NaN, where the product's
    // 0 * x terms make NaN and the full sum is kept.
    for (uint64_t i = 0; i < n; i++)
        for (uint64_t j = 0; j < n; j++) w->v->data[i * n + j] = vt[j * padded + i];
    if (w->right_only) return true;
    double *ev = w->ev->data;
    const uint64_t rows = w->ev->rows;
    multiply(rows, n, n, wide ? at : a->data, w->v->data, ev);
    if (stop_requested()) return false;
    for (uint64_t i = 0; i < rows; i++) {
        double *row = ev + i * n;
        if (all_finite(row, n)) {
            for (uint64_t j = 0; j < n; j++) row[j] *= inverse[j];
        } else {
            memcpy(scratch, row, n * sizeof(double));
            for (uint64_t j = 0; j < n; j++) {
                double sum = 0.0;
                for (uint64_t k = 0; k < n; k++) sum += scratch[k] * (k == j ? inverse[j] : 0.0);
                row[j] = sum;
            }
        }
    }
    return true;
}

namespace {

bool compute_body(void *arg) { return svd_compute(static_cast<SvdWork *>(arg)); }
void release_body(void *arg) { svd_release(static_cast<SvdWork *>(arg)); }

/*
 * call-seq:
 *   matrix.SV_decomp(*ignored) -> [u, v, s]
 *   matrix.svd(*ignored)       -> [u, v, s]
 *
 * The singular value decomposition by Jacobi rotations of the Gram matrix
 * of the smaller side, n = min(rows, columns); any arguments are ignored.
 * For rows >= columns, u (rows x n) holds the left singular vectors, v
 * (n x n) the right ones and A = u * diag(s) * v^T; for rows < columns, u
 * (columns x n) holds the right singular vectors, v the left ones and
 * A = v * diag(s) * u^T. The values in s are not sorted: s[j] belongs to
 * column j of u and of v, and column j of u is all zero where
 * s[j] <= 1e-10 or s[j] <= 1e-7 * s.max (values the method cannot
 * resolve from rounding). A matrix holding NaN or Infinity gives NaN values.
 * The results are new base-class objects; s is a row vector.
 *
 *   m = Zanthic::Linalg::Matrix.alloc([1.0, 0.0], [0.0, 3.0])
 *   u, v, s = m.svd
 *   s.to_a  # => [1.0, 3.0]
 *   u.to_a  # => [[1.0, 0.0], [0.0, 1.0]]
 */
VALUE matrix_sv_decomp(int argc, VALUE *argv, VALUE self) {
    const CMatrix *a = get_matrix(self);
    VALUE u_obj = matrix_shell(cZanthicMatrix);
    VALUE v_obj = matrix_shell(cZanthicMatrix);
    VALUE s_obj = vector_shell(cZanthicVector);
    VALUE result = rb_ary_new_from_args(3, u_obj, v_obj, s_obj);
    CMatrix *u, *v;
    CVector *s;
    jacobi_svd(a, &u, &v, &s);
    DATA_PTR(u_obj) = u;
    DATA_PTR(v_obj) = v;
    DATA_PTR(s_obj) = s;
    // The receiver's record is read while the lock is released.
    RB_GC_GUARD(self);
    return result;
}

}  // namespace

void jacobi_svd(const CMatrix *a, CMatrix **u, CMatrix **v, CVector **s) {
    SvdWork work;
    svd_prepare(&work, a);
    const uint64_t n = work.v->rows, rows = work.ev->rows;
    // The Gram product and one sweep alone take rows * n^2 and n^3 steps.
    run_without_gvl(compute_body, &work, release_body, rows * n * n >= kReleaseWork);
    *u = work.ev;
    *v = work.v;
    *s = work.s;
    work.ev = work.v = nullptr;
    work.s = nullptr;
    svd_release(&work);
}

void Init_svd(void) {
#if 0  // rdoc reads each file on its own; this tells it where the classes come from
    mZanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(mZanthic, "Linalg");
    cZanthicMatrix = rb_define_class_under(mZanthicLinalg, "Matrix", rb_cObject);
#endif
    rb_define_method(cZanthicMatrix, "SV_decomp", RUBY_METHOD_FUNC(matrix_sv_decomp), -1);
    rb_define_alias(cZanthicMatrix, "svd", "SV_decomp");
}
