/* Baselines for the matrix benchmarks: the textbook loops (compiled -O2
 * without vectorisation) and OpenBLAS where the machine has it, all working
 * on the records of the same Matrix and Vector objects that the library's
 * kernels get and all returning a fresh zero-filled record wrapped as a
 * Matrix or Vector, so that only the computation differs. */
#include <zanthic_ext.h>

#ifdef HAVE_OPENBLAS
#include <cblas.h>
#endif

static const CMatrix *borrow_matrix(VALUE obj) { return rb_check_typeddata(obj, &cmatrix_type); }
static const CVector *borrow_vector(VALUE obj) { return rb_check_typeddata(obj, &cvector_type); }

/* A new Matrix object owning a zero-filled rows x cols record. */
static VALUE new_matrix(uint64_t rows, uint64_t cols, CMatrix **out) {
    VALUE obj = rb_data_typed_object_wrap(cZanthicMatrix, NULL, &cmatrix_type);
    *out = cmatrix_alloc(rows, cols);
    DATA_PTR(obj) = *out;
    return obj;
}

static VALUE new_vector(uint64_t size, CVector **out) {
    VALUE obj = rb_data_typed_object_wrap(cZanthicVector, NULL, &cvector_type);
    *out = cvector_alloc(size);
    DATA_PTR(obj) = *out;
    return obj;
}

static void check_product(const CMatrix *a, const CMatrix *b) {
    if (a->cols != b->rows) rb_raise(rb_eArgError, "Matrix dimensions don't match for multiplication");
}

/* c(i, j) = sum over k of a(i, k) * b(k, j), in the textbook order. */
static VALUE naive_multiply(VALUE self, VALUE av, VALUE bv) {
    const CMatrix *a = borrow_matrix(av), *b = borrow_matrix(bv);
    check_product(a, b);
    CMatrix *c;
    VALUE obj = new_matrix(a->rows, b->cols, &c);
    const uint64_t n = a->cols, m = b->cols;
    for (uint64_t i = 0; i < a->rows; i++)
        for (uint64_t j = 0; j < m; j++) {
            double s = 0.0;
            for (uint64_t k = 0; k < n; k++) s += a->data[i * n + k] * b->data[k * m + j];
            c->data[i * m + j] = s;
        }
    return obj;
}

static VALUE naive_transpose(VALUE self, VALUE mv) {
    const CMatrix *m = borrow_matrix(mv);
    CMatrix *t;
    VALUE obj = new_matrix(m->cols, m->rows, &t);
    for (uint64_t i = 0; i < m->rows; i++)
        for (uint64_t j = 0; j < m->cols; j++) t->data[j * m->rows + i] = m->data[i * m->cols + j];
    return obj;
}

static VALUE naive_multiply_vector(VALUE self, VALUE mv, VALUE vv) {
    const CMatrix *m = borrow_matrix(mv);
    const CVector *v = borrow_vector(vv);
    if (m->cols != v->size) rb_raise(rb_eArgError, "Matrix columns must match vector size");
    CVector *y;
    VALUE obj = new_vector(m->rows, &y);
    for (uint64_t i = 0; i < m->rows; i++) {
        double s = 0.0;
        for (uint64_t k = 0; k < m->cols; k++) s += m->data[i * m->cols + k] * v->data[k];
        y->data[i] = s;
    }
    return obj;
}

#ifdef HAVE_OPENBLAS
static VALUE blas_multiply(VALUE self, VALUE av, VALUE bv) {
    const CMatrix *a = borrow_matrix(av), *b = borrow_matrix(bv);
    check_product(a, b);
    CMatrix *c;
    VALUE obj = new_matrix(a->rows, b->cols, &c);
    if (a->rows && b->cols && a->cols)
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, (blasint)a->rows, (blasint)b->cols, (blasint)a->cols,
                    1.0, a->data, (blasint)a->cols, b->data, (blasint)b->cols, 0.0, c->data, (blasint)b->cols);
    return obj;
}

static VALUE blas_multiply_vector(VALUE self, VALUE mv, VALUE vv) {
    const CMatrix *m = borrow_matrix(mv);
    const CVector *v = borrow_vector(vv);
    if (m->cols != v->size) rb_raise(rb_eArgError, "Matrix columns must match vector size");
    CVector *y;
    VALUE obj = new_vector(m->rows, &y);
    if (m->rows && m->cols)
        cblas_dgemv(CblasRowMajor, CblasNoTrans, (blasint)m->rows, (blasint)m->cols, 1.0, m->data, (blasint)m->cols,
                    v->data, 1, 0.0, y->data, 1);
    return obj;
}

/* The kernel set OpenBLAS picked for this processor ("Prescott" when it
 * does not know the model and falls back to its SSE3 kernels). */
static VALUE blas_core(VALUE self) { return rb_str_new_cstr(openblas_get_corename()); }

/* OpenBLAS's copy with transposition (omatcopy), the closest it has. */
static VALUE blas_transpose(VALUE self, VALUE mv) {
    const CMatrix *m = borrow_matrix(mv);
    CMatrix *t;
    VALUE obj = new_matrix(m->cols, m->rows, &t);
    if (m->rows && m->cols)
        cblas_domatcopy(CblasRowMajor, CblasTrans, (blasint)m->rows, (blasint)m->cols, 1.0, m->data,
                        (blasint)m->cols, t->data, (blasint)m->rows);
    return obj;
}
#endif

void init_matrix_baselines(VALUE mod) {
    rb_define_module_function(mod, "naive_multiply", naive_multiply, 2);
    rb_define_module_function(mod, "naive_transpose", naive_transpose, 1);
    rb_define_module_function(mod, "naive_multiply_vector", naive_multiply_vector, 2);
#ifdef HAVE_OPENBLAS
#ifdef OPENBLAS_SINGLE_THREAD
    openblas_set_num_threads(1);
#endif
    rb_define_module_function(mod, "blas_multiply", blas_multiply, 2);
    rb_define_module_function(mod, "blas_multiply_vector", blas_multiply_vector, 2);
    rb_define_module_function(mod, "blas_transpose", blas_transpose, 1);
    rb_define_module_function(mod, "blas_core", blas_core, 0);
#endif
}
