// Vector records, the vector kernels and the Zanthic::Linalg::Vector class.
#include <cmath>
#include <cstring>

#include "objects.h"
#include "zanthic_ext.h"

using namespace zanthic;

VALUE cZanthicVector = 0;

const rb_data_type_t cvector_type = {
    "Zanthic::Linalg::Vector",
    {nullptr, cvector_free, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

CVector *cvector_alloc(uint64_t size) {
    CVector *v = static_cast<CVector *>(ruby_xmalloc(sizeof(CVector)));
    v->size = size;
    v->data = nullptr;
    v->is_col = 0;
    // The record is not yet known to anyone: if the array allocation raises
    // (byte count overflow, NoMemoryError), release it on the way out.
    int state = 0;
    struct Args {
        CVector *v;
    } args = {v};
    rb_protect(
        [](VALUE p) -> VALUE {
            CVector *rec = reinterpret_cast<Args *>(p)->v;
            rec->data = static_cast<double *>(ruby_xmalloc2(rec->size, sizeof(double)));
            return Qnil;
        },
        reinterpret_cast<VALUE>(&args), &state);
    if (state) {
        ruby_xfree(v);
        rb_jump_tag(state);
    }
    if (size) memset(v->data, 0, size * sizeof(double));
    return v;
}

void cvector_free(void *p) {
    CVector *v = static_cast<CVector *>(p);
    if (!v) return;
    if (v->data) ruby_xfree(v->data);
    ruby_xfree(v);
}

// Plain reference kernels, to be replaced by vectorised ones.
double cvector_sum(const CVector *x) {
    double s = 0.0;
    for (uint64_t i = 0; i < x->size; i++) s += x->data[i];
    return s;
}

double cvector_magnitude(const CVector *x) {
    double s = 0.0;
    for (uint64_t i = 0; i < x->size; i++) s += x->data[i] * x->data[i];
    return sqrt(s);
}

double cvector_dot(const CVector *a, const CVector *b) {
    if (a->size != b->size) rb_raise(rb_eArgError, "Vector sizes must match for dot product");
    double s = 0.0;
    for (uint64_t i = 0; i < a->size; i++) s += a->data[i] * b->data[i];
    return s;
}

CVector *cvector_normalize(const CVector *x) {
    CVector *r = cvector_alloc(x->size);
    r->is_col = x->is_col;
    if (x->size == 0) return r;
    double norm = cvector_magnitude(x);
    if (norm > 1e-10)
        for (uint64_t i = 0; i < x->size; i++) r->data[i] = x->data[i] / norm;
    return r;
}

namespace {

VALUE vector_allocate(VALUE klass) {
    CVector *rec;
    return new_vector(klass, 0, &rec);
}

}  // namespace

void Init_vector(void) {
    cZanthicVector = rb_define_class_under(mZanthicLinalg, "Vector", rb_cObject);
    rb_define_alloc_func(cZanthicVector, vector_allocate);
    rb_include_module(cZanthicVector, rb_mEnumerable);
}
