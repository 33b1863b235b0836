/* Baselines for the vector benchmarks: plain scalar loops (compiled without
 * vectorisation) over the records of the same Vector objects that the
 * library's kernels get, so that only the kernel differs; OpenBLAS's level-1
 * routines where the machine has them; and the library's own magnitude
 * kernel, which has no Ruby method of its own. */
#include <math.h>

#include <zanthic_ext.h>

#ifdef HAVE_OPENBLAS
#include <cblas.h>
#endif

static const CVector *borrow(VALUE obj) { return rb_check_typeddata(obj, &cvector_type); }

static const CVector *borrow_pair(VALUE a, VALUE b, const CVector **y) {
    const CVector *x = borrow(a);
    *y = borrow(b);
    if (x->size != (*y)->size) rb_raise(rb_eArgError, "Vector sizes must match for dot product");
    return x;
}

static VALUE scalar_sum(VALUE self, VALUE v) {
    const CVector *x = borrow(v);
    double s = 0.0;
    for (uint64_t i = 0; i < x->size; i++) s += x->data[i];
    return DBL2NUM(s);
}

static VALUE scalar_dot(VALUE self, VALUE a, VALUE b) {
    const CVector *y;
    const CVector *x = borrow_pair(a, b, &y);
    double s = 0.0;
    for (uint64_t i = 0; i < x->size; i++) s += x->data[i] * y->data[i];
    return DBL2NUM(s);
}

static VALUE scalar_magnitude(VALUE self, VALUE v) {
    const CVector *x = borrow(v);
    double s = 0.0;
    for (uint64_t i = 0; i < x->size; i++) s += x->data[i] * x->data[i];
    return DBL2NUM(sqrt(s));
}

static VALUE library_magnitude(VALUE self, VALUE v) { return DBL2NUM(cvector_magnitude(borrow(v))); }

#ifdef HAVE_OPENBLAS
static VALUE blas_dot(VALUE self, VALUE a, VALUE b) {
    const CVector *y;
    const CVector *x = borrow_pair(a, b, &y);
    return DBL2NUM(cblas_ddot((blasint)x->size, x->data, 1, y->data, 1));
}

static VALUE blas_nrm2(VALUE self, VALUE v) {
    const CVector *x = borrow(v);
    return DBL2NUM(cblas_dnrm2((blasint)x->size, x->data, 1));
}
#endif

void init_vector_baselines(VALUE mod) {
    rb_define_module_function(mod, "scalar_sum", scalar_sum, 1);
    rb_define_module_function(mod, "scalar_dot", scalar_dot, 2);
    rb_define_module_function(mod, "scalar_magnitude", scalar_magnitude, 1);
    rb_define_module_function(mod, "library_magnitude", library_magnitude, 1);
#ifdef HAVE_OPENBLAS
#ifdef OPENBLAS_SINGLE_THREAD
    openblas_set_num_threads(1);
#endif
    rb_define_module_function(mod, "blas_dot", blas_dot, 2);
    rb_define_module_function(mod, "blas_nrm2", blas_nrm2, 1);
#endif
}
