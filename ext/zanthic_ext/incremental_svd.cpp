// Operations on a decomposed basis: the incremental update, batch projection,
// and the small building blocks they share with Ruby callers (appending a
// column, stacking, zero matrices, vector subtraction).
#include <cstring>

#include "objects.h"
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
    extend_column_into(r, m, v);
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
    vstack_into(r, a, b);
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
    subtract_into(r->data, a->data, b->data, a->size);
    return obj;
}

}  // namespace

void Init_incremental_svd(void) {
    rb_define_singleton_method(cZanthicMatrix, "extend_column", RUBY_METHOD_FUNC(matrix_s_extend_column), 2);
    rb_define_singleton_method(cZanthicMatrix, "vstack", RUBY_METHOD_FUNC(matrix_s_vstack), 2);
    rb_define_singleton_method(cZanthicMatrix, "zeros", RUBY_METHOD_FUNC(matrix_s_zeros), 2);
    // batch_project and incremental_svd_update are registered here, in that order.
    rb_define_method(cZanthicVector, "-", RUBY_METHOD_FUNC(vector_minus), 1);
}
