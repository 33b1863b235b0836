// Matrix records, the matrix kernels and the Zanthic::Linalg::Matrix class.
#include <cstring>

#include "objects.h"
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
    CMatrix *m = static_cast<CMatrix *>(ruby_xmalloc(sizeof(CMatrix)));
    m->rows = rows;
    m->cols = cols;
    m->data = nullptr;
    // If the array allocation raises, release the record on the way out.
    struct Args {
        CMatrix *m;
        uint64_t count;
    } args = {m, count};
    int state = 0;
    rb_protect(
        [](VALUE p) -> VALUE {
            Args *a = reinterpret_cast<Args *>(p);
            a->m->data = static_cast<double *>(ruby_xmalloc2(a->count, sizeof(double)));
            return Qnil;
        },
        reinterpret_cast<VALUE>(&args), &state);
    if (state) {
        ruby_xfree(m);
        rb_jump_tag(state);
    }
    if (count) memset(m->data, 0, count * sizeof(double));
    return m;
}

void cmatrix_free(void *p) {
    CMatrix *m = static_cast<CMatrix *>(p);
    if (!m) return;
    if (m->data) ruby_xfree(m->data);
    ruby_xfree(m);
}

// Plain reference kernels; the product is to be replaced by a blocked one.
CMatrix *cmatrix_transpose(const CMatrix *m) {
    CMatrix *t = cmatrix_alloc(m->cols, m->rows);
    for (uint64_t i = 0; i < m->rows; i++)
        for (uint64_t j = 0; j < m->cols; j++) t->data[j * m->rows + i] = m->data[i * m->cols + j];
    return t;
}

CMatrix *cmatrix_multiply(const CMatrix *a, const CMatrix *b) {
    if (a->cols != b->rows) {
        rb_raise(rb_eArgError, "Matrix dimensions don't match for multiplication: %ldx%ld * %ldx%ld",
                 static_cast<long>(a->rows), static_cast<long>(a->cols), static_cast<long>(b->rows),
                 static_cast<long>(b->cols));
    }
    CMatrix *r = cmatrix_alloc(a->rows, b->cols);
    const uint64_t n = a->cols;
    for (uint64_t i = 0; i < a->rows; i++)
        for (uint64_t j = 0; j < b->cols; j++) {
            double s = 0.0;
            for (uint64_t k = 0; k < n; k++) s += a->data[i * n + k] * b->data[k * b->cols + j];
            r->data[i * b->cols + j] = s;
        }
    return r;
}

CVector *cmatrix_multiply_vector(const CMatrix *m, const CVector *v) {
    if (m->cols != v->size) {
        rb_raise(rb_eArgError, "Matrix columns (%ld) must match vector size (%ld)", static_cast<long>(m->cols),
                 static_cast<long>(v->size));
    }
    CVector *r = cvector_alloc(m->rows);
    for (uint64_t i = 0; i < m->rows; i++) {
        double s = 0.0;
        for (uint64_t k = 0; k < m->cols; k++) s += m->data[i * m->cols + k] * v->data[k];
        r->data[i] = s;
    }
    return r;
}

namespace {

VALUE matrix_allocate(VALUE klass) {
    CMatrix *rec;
    return new_matrix(klass, 0, 0, &rec);
}

}  // namespace

void Init_matrix(void) {
    cZanthicMatrix = rb_define_class_under(mZanthicLinalg, "Matrix", rb_cObject);
    rb_define_alloc_func(cZanthicMatrix, matrix_allocate);
}
