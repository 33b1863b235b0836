// Matrix records, the matrix kernels and the Zanthic::Linalg::Matrix class.
#include <algorithm>
#include <cstring>

#include "nogvl.h"
#include "objects.h"
#include "products.h"
#include "transpose.h"
#include "zanthic_ext.h"

using namespace zanthic;

VALUE cZanthicMatrix = 0;

const rb_data_type_t cmatrix_type = {
    "Zanthic::Linalg::Matrix",
    {nullptr, cmatrix_free, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

namespace {

// Extents are unsigned 64-bit, but they reach Ruby and its messages as
// signed longs; a larger extent is a negative number converted by NUM2ULL.
constexpr uint64_t kMaxExtent = 0x7fffffffffffffffULL;

[[noreturn]] void raise_multiply_mismatch(const CMatrix *a, const CMatrix *b) {
    rb_raise(rb_eArgError, "Matrix dimensions don't match for multiplication: %ldx%ld * %ldx%ld",
             static_cast<long>(a->rows), static_cast<long>(a->cols), static_cast<long>(b->rows),
             static_cast<long>(b->cols));
}

[[noreturn]] void raise_vector_mismatch(const CMatrix *m, const CVector *v) {
    rb_raise(rb_eArgError, "Matrix columns (%ld) must match vector size (%ld)", static_cast<long>(m->cols),
             static_cast<long>(v->size));
}

// One product or transpose, run without the interpreter lock when it is
// large enough; its result record is allocated before and released by
// discard when an interrupt raises.
struct Kernel {
    enum Kind { kTranspose, kMultiply, kMultiplyVector, kScale } kind;
    const CMatrix *a;
    const CMatrix *b;
    const CVector *v;
    double x;
    CMatrix *r;
    CVector *rv;
    VALUE obj;  // the object owning r or rv, or Qnil
};

// Elements scaled between two looks at the stop flag.
constexpr uint64_t kScaleChunk = uint64_t(1) << 18;

// Every kernel stops early when an interrupt asks, leaving its result partly
// written: it then reports that it did not finish, so that the result is
// either discarded or computed again from the start, never returned.
bool run_kernel(void *arg) {
    const Kernel *k = static_cast<const Kernel *>(arg);
    const CMatrix *a = k->a;
    switch (k->kind) {
        case Kernel::kTranspose: transpose(a->rows, a->cols, a->data, k->r->data); break;
        case Kernel::kMultiply: multiply(a->rows, k->b->cols, a->cols, a->data, k->b->data, k->r->data); break;
        case Kernel::kMultiplyVector: multiply_vector(a->rows, a->cols, a->data, k->v->data, k->rv->data); break;
        case Kernel::kScale: {
            const uint64_t count = a->rows * a->cols;
            for (uint64_t i0 = 0; i0 < count && !stop_requested(); i0 += kScaleChunk) {
                const uint64_t i1 = count - i0 < kScaleChunk ? count : i0 + kScaleChunk;
                for (uint64_t i = i0; i < i1; i++) k->r->data[i] = a->data[i] * k->x;
            }
            break;
        }
    }
    return !stop_requested();
}

// The work of a kernel, in multiply-adds or elements moved.
uint64_t kernel_work(const Kernel &k) {
    const uint64_t elements = k.a->rows * k.a->cols;
    switch (k.kind) {
        case Kernel::kMultiply: return elements * k.b->cols;
        default: return elements;
    }
}

void discard_result(void *arg) {
    Kernel *k = static_cast<Kernel *>(arg);
    if (!NIL_P(k->obj)) DATA_PTR(k->obj) = nullptr;
    cmatrix_free(k->r);
    cvector_free(k->rv);
    k->r = nullptr;
    k->rv = nullptr;
}

void execute(Kernel *k) { run_without_gvl(run_kernel, k, discard_result, kernel_work(*k) >= kReleaseWork); }

void transpose_into(CMatrix *t, const CMatrix *m, VALUE obj) {
    Kernel k = {Kernel::kTranspose, m, nullptr, nullptr, 0.0, t, nullptr, obj};
    execute(&k);
}

void multiply_into(CMatrix *r, const CMatrix *a, const CMatrix *b, VALUE obj) {
    Kernel k = {Kernel::kMultiply, a, b, nullptr, 0.0, r, nullptr, obj};
    execute(&k);
}

void multiply_vector_into(CVector *r, const CMatrix *m, const CVector *v, VALUE obj) {
    Kernel k = {Kernel::kMultiplyVector, m, nullptr, v, 0.0, nullptr, r, obj};
    execute(&k);
}

void scale_into(CMatrix *r, const CMatrix *m, double x, VALUE obj) {
    Kernel k = {Kernel::kScale, m, nullptr, nullptr, x, r, nullptr, obj};
    execute(&k);
}

}  // namespace

CMatrix *cmatrix_alloc(uint64_t rows, uint64_t cols) {
    if (rows > kMaxExtent || cols > kMaxExtent) {
        rb_raise(rb_eArgError, "matrix extent too large: %llux%llu", static_cast<unsigned long long>(rows),
                 static_cast<unsigned long long>(cols));
    }
    uint64_t count;
    if (__builtin_mul_overflow(rows, cols, &count)) {
        rb_raise(rb_eArgError, "matrix too large: %llux%llu elements", static_cast<unsigned long long>(rows),
                 static_cast<unsigned long long>(cols));
    }
    CMatrix *m = static_cast<CMatrix *>(mem_alloc(sizeof(CMatrix)));
    m->rows = rows;
    m->cols = cols;
    m->data = alloc_elements(m, count);
    return m;
}

void cmatrix_free(void *p) {
    CMatrix *m = static_cast<CMatrix *>(p);
    if (!m) return;
    if (m->data) mem_free(m->data);
    mem_free(m);
}

CMatrix *cmatrix_diagonal(const CVector *diagonal) {
    const uint64_t n = diagonal->size;
    CMatrix *m = cmatrix_alloc(n, n);
    for (uint64_t i = 0; i < n; i++) m->data[i * n + i] = diagonal->data[i];
    return m;
}

CMatrix *cmatrix_transpose(const CMatrix *m) {
    CMatrix *t = cmatrix_alloc(m->cols, m->rows);
    transpose_into(t, m, Qnil);
    return t;
}

CMatrix *cmatrix_multiply(const CMatrix *a, const CMatrix *b) {
    if (a->cols != b->rows) raise_multiply_mismatch(a, b);
    CMatrix *r = cmatrix_alloc(a->rows, b->cols);
    multiply_into(r, a, b, Qnil);
    return r;
}

CVector *cmatrix_multiply_vector(const CMatrix *m, const CVector *v) {
    if (m->cols != v->size) raise_vector_mismatch(m, v);
    CVector *r = cvector_alloc(m->rows);
    multiply_vector_into(r, m, v, Qnil);
    return r;
}

namespace {

VALUE matrix_allocate(VALUE klass) {
    CMatrix *rec;
    return new_matrix(klass, 0, 0, &rec);
}

// ---------------------------------------------------------------------------
// Building a matrix from Ruby rows

// The rows of Matrix.alloc: either the argument vector itself or the
// elements of one Array. Rows are fetched afresh at every use with
// rb_ary_entry, because element conversions can run Ruby code that shortens
// that Array; a vanished row reads as nil and is refused as a non-Array.
struct RowList {
    VALUE ary;          // the Array holding the rows, or Qfalse for argv
    const VALUE *argv;  // the rows when ary is Qfalse
    long count;         // number of rows, fixed when the list is chosen
};

VALUE row_at(const RowList &rows, long i) { return RTEST(rows.ary) ? rb_ary_entry(rows.ary, i) : rows.argv[i]; }

// Converts the first c elements of row (an Array) with NUM2DBL, in order,
// into out, or only converts them when out is null. The row may shrink
// while its elements convert: a vanished element is nil and fails.
void convert_row(VALUE row, long c, double *out) {
    for (long j = 0; j < c; j++) {
        const double x = NUM2DBL(rb_ary_entry(row, j));
        if (out) out[j] = x;
    }
}

// Raises the error that a bad row gets: the interpreter's TypeError for a
// value that is not an Array, the length error otherwise.
[[noreturn]] void raise_bad_row(VALUE row) {
    Check_Type(row, T_ARRAY);
    rb_raise(rb_eArgError, "All rows must have the same length");
}

bool row_fits(VALUE row, long c) { return RB_TYPE_P(row, T_ARRAY) && RARRAY_LEN(row) == c; }

// A Marshal stream can name one Array many times (a link costs a few bytes),
// and each mention would become a whole row: a small payload could demand
// gigabytes. _dump writes every row as its own Array, so a list of rows that
// holds the same Array twice was not written by it and is refused once the
// rows have been measured, before anything is allocated for the matrix.
void refuse_shared_rows(const RowList &rows) {
    if (rows.count < 2) return;
    VALUE *seen = static_cast<VALUE *>(mem_alloc_n(static_cast<size_t>(rows.count), sizeof(VALUE)));
    for (long i = 0; i < rows.count; i++) seen[i] = row_at(rows, i);
    std::sort(seen, seen + rows.count);
    const bool shared = std::adjacent_find(seen, seen + rows.count) != seen + rows.count;
    mem_free(seen);
    if (shared) rb_raise(rb_eArgError, "Matrix payload rows must be distinct Arrays");
}

// The Matrix.alloc procedure on a chosen row list, wrapping with klass.
//
// Every row is measured before anything is allocated, so that a ragged or
// mistyped list cannot force a huge zero-filled allocation (rows times the
// first row's length) before its error. The order of errors is that of a
// row-by-row build: when row i is the first bad one, rows 0 .. i-1 are still
// converted in order (their conversion errors win) and only then is row i's
// error raised. Rows read from a Marshal payload must also be distinct.
VALUE build_from_rows(VALUE klass, const RowList &rows, bool distinct_rows = false) {
    const VALUE first = row_at(rows, 0);
    Check_Type(first, T_ARRAY);
    const long r = rows.count;
    const long c = RARRAY_LEN(first);
    long bad = 1;
    while (bad < r && row_fits(row_at(rows, bad), c)) bad++;
    if (bad < r) {
        for (long i = 0; i < bad; i++) {
            const VALUE row = row_at(rows, i);
            if (!row_fits(row, c)) raise_bad_row(row);
            convert_row(row, c, nullptr);
        }
        raise_bad_row(row_at(rows, bad));
    }
    if (distinct_rows) refuse_shared_rows(rows);
    CMatrix *m;
    VALUE obj = new_matrix(klass, static_cast<uint64_t>(r), static_cast<uint64_t>(c), &m);
    // Conversions can still fail (and rows change under them): the record
    // is then released at once rather than left to the collector.
    struct Fill {
        const RowList *rows;
        long r, c;
        double *data;
    } fill = {&rows, r, c, m->data};
    int state = 0;
    rb_protect(
        [](VALUE p) -> VALUE {
            const Fill *f = reinterpret_cast<const Fill *>(p);
            for (long i = 0; i < f->r; i++) {
                const VALUE row = row_at(*f->rows, i);
                if (!row_fits(row, f->c)) raise_bad_row(row);
                convert_row(row, f->c, f->data + i * f->c);
            }
            return Qnil;
        },
        reinterpret_cast<VALUE>(&fill), &state);
    if (state) {
        DATA_PTR(obj) = nullptr;
        cmatrix_free(m);
        rb_jump_tag(state);
    }
    return obj;
}

// The argument forms of Matrix.alloc, shared with Matrix._load: one Array
// of Arrays is the list of rows, anything else is one row per argument.
RowList choose_rows(int argc, const VALUE *argv) {
    if (argc < 1) rb_raise(rb_eArgError, "Matrix.alloc requires at least one row");
    RowList rows = {Qfalse, argv, argc};
    if (argc == 1 && RB_TYPE_P(argv[0], T_ARRAY) && RARRAY_LEN(argv[0]) > 0 &&
        RB_TYPE_P(rb_ary_entry(argv[0], 0), T_ARRAY)) {
        rows.ary = argv[0];
        rows.count = RARRAY_LEN(argv[0]);
    }
    return rows;
}

VALUE alloc_rows(int argc, const VALUE *argv, VALUE klass) { return build_from_rows(klass, choose_rows(argc, argv)); }

/*
 * call-seq:
 *   Matrix.alloc(rows) -> new matrix
 *   Matrix.alloc(row) -> new 1 x n matrix
 *   Matrix.alloc(row, row, ...) -> new matrix
 *
 * A matrix of the given rows, as an instance of the receiver class. One
 * Array of Arrays is the list of rows; one flat Array is a single row; two
 * or more arguments are one row each. Every row must be an Array of the
 * first row's length; elements are converted with Float semantics.
 *
 *   Matrix.alloc([[1, 2], [3, 4]]).to_a  # => [[1.0, 2.0], [3.0, 4.0]]
 *   Matrix.alloc([1, 2], [3, 4]).size    # => [2, 2]
 *   Matrix.alloc([1, 2, 3]).size         # => [1, 3]
 *
 * Raises ArgumentError with no argument or with rows of unequal length, and
 * TypeError for a row that is not an Array.
 */
VALUE matrix_s_alloc(int argc, VALUE *argv, VALUE klass) { return alloc_rows(argc, argv, klass); }

/*
 * call-seq:
 *   Matrix.diag(vector_or_array) -> new n x n matrix
 *   Matrix.diagonal(vector_or_array) -> new n x n matrix
 *
 * A square matrix with the given elements on its diagonal and zeros
 * elsewhere, as an instance of the receiver class.
 *
 *   Matrix.diag([1, 2]).to_a  # => [[1.0, 0.0], [0.0, 2.0]]
 *
 * Raises TypeError "Expected Vector or Array" for any other argument.
 */
VALUE matrix_s_diag(VALUE klass, VALUE arg) {
    if (is_vector(arg)) {
        const CVector *v = get_vector(arg);
        CMatrix *m;
        VALUE obj = new_matrix(klass, v->size, v->size, &m);
        for (uint64_t i = 0; i < v->size; i++) m->data[i * v->size + i] = v->data[i];
        return obj;
    }
    if (!RB_TYPE_P(arg, T_ARRAY)) rb_raise(rb_eTypeError, "Expected Vector or Array");
    // The elements are converted first, into a temporary vector held by a
    // hidden object (so that nothing can strand it) and released as soon as
    // it is done with, on success or failure: no n x n array is allocated
    // before every element has converted.
    const long n = RARRAY_LEN(arg);
    CVector *diag;
    VALUE holder = new_vector(0, static_cast<uint64_t>(n), &diag);
    struct Fill {
        VALUE ary;
        long n;
        double *data;
    } fill = {arg, n, diag->data};
    int state = 0;
    rb_protect(
        [](VALUE p) -> VALUE {
            const Fill *f = reinterpret_cast<const Fill *>(p);
            convert_row(f->ary, f->n, f->data);
            return Qnil;
        },
        reinterpret_cast<VALUE>(&fill), &state);
    if (state) {
        DATA_PTR(holder) = nullptr;
        cvector_free(diag);
        rb_jump_tag(state);
    }
    CMatrix *m;
    VALUE obj = new_matrix(klass, diag->size, diag->size, &m);
    for (uint64_t i = 0; i < diag->size; i++) m->data[i * diag->size + i] = diag->data[i];
    DATA_PTR(holder) = nullptr;
    cvector_free(diag);
    RB_GC_GUARD(holder);
    return obj;
}

// ---------------------------------------------------------------------------
// Shape and elements

// An index already converted with NUM2LONG, normalised against extent:
// negative counts from the end, once. Conversions run before any extent is
// read, because they can run Ruby code that fills an empty 0 x 0 matrix.
bool normalise_index(long i, uint64_t extent, long *out) {
    if (i < 0) i += static_cast<long>(extent);
    *out = i;
    return i >= 0 && static_cast<uint64_t>(i) < extent;
}

// Converts both indices (row first), then normalises them against the
// matrix as it stands after the conversions.
bool element_position(const CMatrix *m, VALUE row, VALUE col, long *i, long *j) {
    const long r = NUM2LONG(row);
    const long c = NUM2LONG(col);
    const bool row_ok = normalise_index(r, m->rows, i);
    const bool col_ok = normalise_index(c, m->cols, j);
    return row_ok && col_ok;
}

/*
 * call-seq:
 *   matrix.size -> [rows, cols]
 *
 *   Matrix.zeros(2, 3).size  # => [2, 3]
 */
VALUE matrix_size(VALUE self) {
    const CMatrix *m = get_matrix(self);
    return rb_assoc_new(ULL2NUM(m->rows), ULL2NUM(m->cols));
}

/*
 * call-seq:
 *   matrix.row_size -> integer
 *
 *   Matrix.zeros(2, 3).row_size  # => 2
 */
VALUE matrix_row_size(VALUE self) { return ULL2NUM(get_matrix(self)->rows); }

/*
 * call-seq:
 *   matrix.column_size -> integer
 *
 *   Matrix.zeros(2, 3).column_size  # => 3
 */
VALUE matrix_column_size(VALUE self) { return ULL2NUM(get_matrix(self)->cols); }

/*
 * call-seq:
 *   matrix[i, j] -> float
 *
 * Element (i, j); negative indices count from the end.
 *
 *   Matrix.alloc([1, 2], [3, 4])[1, -1]  # => 4.0
 *
 * Raises IndexError "index out of bounds" outside the matrix.
 */
VALUE matrix_aref(VALUE self, VALUE row, VALUE col) {
    const CMatrix *m = get_matrix(self);
    long i, j;
    if (!element_position(m, row, col, &i, &j)) rb_raise(rb_eIndexError, "index out of bounds");
    return DBL2NUM(m->data[i * m->cols + j]);
}

/*
 * call-seq:
 *   matrix[i, j] = value -> value
 *
 * Stores +value+ (converted to Float) at (i, j); negative indices count from
 * the end. The indices are checked before the value is converted.
 *
 *   m = Matrix.zeros(2, 2)
 *   m[0, 1] = 7
 *   m[0, 1]  # => 7.0
 *
 * Raises IndexError "index out of bounds" outside the matrix and
 * FrozenError on a frozen matrix.
 */
VALUE matrix_aset(VALUE self, VALUE row, VALUE col, VALUE value) {
    CMatrix *m = get_matrix(self);
    rb_check_frozen(self);
    long i, j;
    if (!element_position(m, row, col, &i, &j)) rb_raise(rb_eIndexError, "index out of bounds");
    const double x = NUM2DBL(value);
    // The conversions may have run Ruby code that froze the receiver.
    rb_check_frozen(self);
    m->data[i * m->cols + j] = x;
    return value;
}

/*
 * call-seq:
 *   matrix.row(i) -> new row vector
 *
 * A copy of row +i+ as a Vector; negative indices count from the end.
 *
 *   Matrix.alloc([1, 2], [3, 4]).row(-1).to_a  # => [3.0, 4.0]
 *
 * Raises IndexError "row index out of bounds".
 */
VALUE matrix_row(VALUE self, VALUE index) {
    const CMatrix *m = get_matrix(self);
    const long given = NUM2LONG(index);  // before m->rows is read
    long i;
    if (!normalise_index(given, m->rows, &i)) rb_raise(rb_eIndexError, "row index out of bounds");
    CVector *v;
    VALUE obj = new_vector(cZanthicVector, m->cols, &v);
    if (m->cols) memcpy(v->data, m->data + i * m->cols, m->cols * sizeof(double));
    return obj;
}

/*
 * call-seq:
 *   matrix.column(j) -> new column vector
 *
 * A copy of column +j+ as a column Vector; negative indices count from the
 * end.
 *
 *   Matrix.alloc([1, 2], [3, 4]).column(0).to_a  # => [1.0, 3.0]
 *
 * Raises IndexError "column index out of bounds".
 */
VALUE matrix_column(VALUE self, VALUE index) {
    const CMatrix *m = get_matrix(self);
    const long given = NUM2LONG(index);  // before m->cols is read
    long j;
    if (!normalise_index(given, m->cols, &j)) rb_raise(rb_eIndexError, "column index out of bounds");
    CVector *v;
    VALUE obj = new_vector(cZanthicVector, m->rows, &v);
    v->is_col = 1;
    for (uint64_t i = 0; i < m->rows; i++) v->data[i] = m->data[i * m->cols + j];
    return obj;
}

VALUE rows_to_a(const CMatrix *m) {
    VALUE out = rb_ary_new_capa(static_cast<long>(m->rows));
    for (uint64_t i = 0; i < m->rows; i++) {
        VALUE row = rb_ary_new_capa(static_cast<long>(m->cols));
        const double *src = m->data + i * m->cols;
        for (uint64_t j = 0; j < m->cols; j++) rb_ary_push(row, DBL2NUM(src[j]));
        rb_ary_push(out, row);
    }
    return out;
}

/*
 * call-seq:
 *   matrix.to_a -> array of row arrays
 *
 *   Matrix.alloc([1, 2], [3, 4]).to_a  # => [[1.0, 2.0], [3.0, 4.0]]
 */
VALUE matrix_to_a(VALUE self) { return rows_to_a(get_matrix(self)); }

/*
 * call-seq:
 *   matrix.dup -> new matrix
 *   matrix.clone -> new matrix
 *
 * dup and clone copy the shape and the elements into the new object's
 * empty record; clone of a frozen matrix is frozen.
 *
 *   m = Matrix.alloc([1, 2])
 *   c = m.dup
 *   c[0, 0] = 9
 *   m[0, 0]  # => 1.0
 *
 * Methods rely on a matrix keeping its record and extents while they run
 * Ruby code (conversions), so only a 0 x 0 matrix is ever filled this way,
 * in place: calling initialize_copy on any other raises TypeError.
 */
VALUE matrix_initialize_copy(VALUE self, VALUE other) {
    if (self == other) return self;
    rb_check_frozen(self);
    CMatrix *dst = get_matrix(self);
    const CMatrix *src = get_matrix(other);
    if (dst->rows || dst->cols) rb_raise(rb_eTypeError, "already initialized %s", rb_obj_classname(self));
    // Fill a fresh record held by a hidden object, then trade arrays: if the
    // allocation or an interrupt raises, the target is untouched and the GC
    // takes the copy; the record struct itself stays in place.
    CMatrix *copy;
    VALUE holder = new_matrix(0, src->rows, src->cols, &copy);
    const uint64_t count = src->rows * src->cols;
    pass(count, [copy, src, count] {
        if (count) memcpy(copy->data, src->data, count * sizeof(double));
    });
    // A large copy let other threads run: the receiver may have been filled
    // or frozen meanwhile.
    rb_check_frozen(self);
    if (dst->rows || dst->cols) rb_raise(rb_eTypeError, "already initialized %s", rb_obj_classname(self));
    double *const empty = dst->data;
    dst->data = copy->data;
    dst->rows = copy->rows;
    dst->cols = copy->cols;
    copy->data = empty;
    copy->rows = copy->cols = 0;
    DATA_PTR(holder) = nullptr;
    cmatrix_free(copy);
    RB_GC_GUARD(holder);
    RB_GC_GUARD(other);
    return self;
}

// ---------------------------------------------------------------------------
// Whole-matrix operations

/*
 * call-seq:
 *   matrix.trans -> new matrix
 *   matrix.transpose -> new matrix
 *
 * The transpose, always of the class Matrix.
 *
 *   Matrix.alloc([1, 2, 3]).trans.to_a  # => [[1.0], [2.0], [3.0]]
 */
VALUE matrix_trans(VALUE self) {
    const CMatrix *m = get_matrix(self);
    CMatrix *t;
    VALUE obj = new_matrix(cZanthicMatrix, m->cols, m->rows, &t);
    transpose_into(t, m, obj);
    RB_GC_GUARD(self);
    return obj;
}

/*
 * call-seq:
 *   matrix * other_matrix -> new matrix
 *   matrix * vector -> new row vector
 *   matrix * number -> new matrix
 *
 * The matrix product, the matrix-vector product, or every element scaled
 * by a Float or a Fixnum-range Integer. Results are of the base classes.
 *
 *   a = Matrix.alloc([1, 2], [3, 4])
 *   (a * a).to_a                      # => [[7.0, 10.0], [15.0, 22.0]]
 *   (a * Vector.alloc([1, 1])).to_a   # => [3.0, 7.0]
 *   (a * 2).to_a                      # => [[2.0, 4.0], [6.0, 8.0]]
 *
 * Raises ArgumentError when the dimensions do not match and TypeError
 * "Cannot multiply Matrix with <class>" for any other argument.
 */
VALUE matrix_mul(VALUE self, VALUE other) {
    const CMatrix *a = get_matrix(self);
    VALUE obj;
    if (is_matrix(other)) {
        const CMatrix *b = get_matrix(other);
        if (a->cols != b->rows) raise_multiply_mismatch(a, b);
        CMatrix *r;
        obj = new_matrix(cZanthicMatrix, a->rows, b->cols, &r);
        multiply_into(r, a, b, obj);
    } else if (is_vector(other)) {
        const CVector *v = get_vector(other);
        if (a->cols != v->size) raise_vector_mismatch(a, v);
        CVector *r;
        obj = new_vector(cZanthicVector, a->rows, &r);
        multiply_vector_into(r, a, v, obj);
    } else {
        if (!is_scalar(other)) rb_raise(rb_eTypeError, "Cannot multiply Matrix with %s", rb_obj_classname(other));
        const double x = NUM2DBL(other);
        CMatrix *r;
        obj = new_matrix(cZanthicMatrix, a->rows, a->cols, &r);
        scale_into(r, a, x, obj);
    }
    // The operands' records are read while the lock is released: keep
    // their objects alive until the work is done.
    RB_GC_GUARD(self);
    RB_GC_GUARD(other);
    return obj;
}

// ---------------------------------------------------------------------------
// Marshal

/*
 * call-seq:
 *   matrix._dump(level) -> string
 *
 * The Marshal payload: Marshal.dump of the rows as to_a gives them. A
 * matrix without rows is written as its column count instead, since an
 * empty list of rows would lose the shape and could not be loaded.
 *
 *   Marshal.load(Matrix.alloc([1, 2])._dump(0))  # => [[1.0, 2.0]]
 */
VALUE matrix_dump(VALUE self, VALUE level) {
    const CMatrix *m = get_matrix(self);
    if (m->rows == 0) return rb_marshal_dump(ULL2NUM(m->cols), Qnil);
    return rb_marshal_dump(rows_to_a(m), Qnil);
}

/*
 * call-seq:
 *   Matrix._load(string) -> new matrix
 *
 * Rebuilds a matrix written by _dump, as an instance of the receiver
 * class: a list of rows goes through the rules of Matrix.alloc, a column
 * count c gives a 0 x c matrix.
 *
 *   m = Matrix.alloc([1, 2], [3, 4])
 *   Marshal.load(Marshal.dump(m)).to_a  # => [[1.0, 2.0], [3.0, 4.0]]
 *
 * Raises ArgumentError for an empty list of rows, rows of unequal length or
 * a row that appears more than once (the same Array object, which _dump
 * never writes), and TypeError for a payload that is neither an Array nor
 * an Integer.
 */
VALUE matrix_s_load(VALUE klass, VALUE string) {
    VALUE payload = rb_marshal_load(string);
    if (RB_INTEGER_TYPE_P(payload)) {
        CMatrix *m;
        return new_matrix(klass, 0, NUM2ULL(payload), &m);
    }
    if (!RB_TYPE_P(payload, T_ARRAY)) {
        rb_raise(rb_eTypeError, "Matrix payload must be an Array of rows, not %s", rb_obj_classname(payload));
    }
    const long count = RARRAY_LEN(payload);
    if (count < 1) rb_raise(rb_eArgError, "Matrix.alloc requires at least one row");
    // alloc(*payload): a single element takes the single-argument rules.
    const VALUE only = rb_ary_entry(payload, 0);
    RowList rows = {payload, nullptr, count};
    if (count == 1) rows = choose_rows(1, &only);
    VALUE obj = build_from_rows(klass, rows, true);
    RB_GC_GUARD(payload);
    return obj;
}

}  // namespace

void Init_matrix(void) {
#if 0  // rdoc reads each file on its own; this tells it where the module comes from
    mZanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(mZanthic, "Linalg");
#endif
    /*
     * A dense matrix of IEEE doubles in native memory, stored row by row.
     *
     *   a = Zanthic::Linalg::Matrix.alloc([1, 2], [3, 4], [5, 6])
     *   a.size              # => [3, 2]
     *   (a.trans * a).to_a  # => [[35.0, 44.0], [44.0, 56.0]]
     *
     * Besides element access and products, a matrix decomposes itself
     * (#svd), folds a new column into a truncated decomposition
     * (#incremental_svd_update) and projects many vectors through itself
     * as a basis (#batch_project). Any extent may be zero. Equality is
     * identity (there is no <tt>==</tt>); compare <tt>to_a</tt> instead.
     *
     * The examples in these pages are written as if inside
     * <tt>module Zanthic::Linalg</tt>, so +Vector+ and +Matrix+ name this
     * library's classes.
     */
    cZanthicMatrix = rb_define_class_under(mZanthicLinalg, "Matrix", rb_cObject);
    rb_define_alloc_func(cZanthicMatrix, matrix_allocate);
    rb_define_singleton_method(cZanthicMatrix, "alloc", RUBY_METHOD_FUNC(matrix_s_alloc), -1);
    rb_define_singleton_method(cZanthicMatrix, "diag", RUBY_METHOD_FUNC(matrix_s_diag), 1);
    rb_define_singleton_method(cZanthicMatrix, "diagonal", RUBY_METHOD_FUNC(matrix_s_diag), 1);
    rb_define_singleton_method(cZanthicMatrix, "_load", RUBY_METHOD_FUNC(matrix_s_load), 1);
    rb_define_method(cZanthicMatrix, "size", RUBY_METHOD_FUNC(matrix_size), 0);
    rb_define_method(cZanthicMatrix, "row_size", RUBY_METHOD_FUNC(matrix_row_size), 0);
    rb_define_method(cZanthicMatrix, "column_size", RUBY_METHOD_FUNC(matrix_column_size), 0);
    rb_define_method(cZanthicMatrix, "[]", RUBY_METHOD_FUNC(matrix_aref), 2);
    rb_define_method(cZanthicMatrix, "[]=", RUBY_METHOD_FUNC(matrix_aset), 3);
    rb_define_method(cZanthicMatrix, "trans", RUBY_METHOD_FUNC(matrix_trans), 0);
    rb_define_alias(cZanthicMatrix, "transpose", "trans");
    rb_define_method(cZanthicMatrix, "column", RUBY_METHOD_FUNC(matrix_column), 1);
    rb_define_method(cZanthicMatrix, "row", RUBY_METHOD_FUNC(matrix_row), 1);
    rb_define_method(cZanthicMatrix, "to_a", RUBY_METHOD_FUNC(matrix_to_a), 0);
    rb_define_method(cZanthicMatrix, "*", RUBY_METHOD_FUNC(matrix_mul), 1);
    rb_define_method(cZanthicMatrix, "_dump", RUBY_METHOD_FUNC(matrix_dump), 1);
    // dup and clone copy the elements rather than leave an empty record.
    rb_define_private_method(cZanthicMatrix, "initialize_copy", RUBY_METHOD_FUNC(matrix_initialize_copy), 1);
}
