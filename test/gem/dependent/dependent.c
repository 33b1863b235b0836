/*
 * ZanthicDependent: the smallest client of zanthic_ext's native interface,
 * built against an installed gem's header. It refuses to load against a
 * library with another binary interface, then reads a Vector's record and
 * calls kernels on records of its own.
 */
#include <zanthic_ext.h>

/* ZanthicDependent.norms(vector) -> [|vector|, |(3, 4)|] */
static VALUE dependent_norms(VALUE self, VALUE obj) {
    const CVector *given = (const CVector *)rb_check_typeddata(obj, &cvector_type);
    double first = cvector_magnitude(given);
    CVector *own = cvector_alloc(2);
    own->data[0] = 3.0;
    own->data[1] = 4.0;
    double second = cvector_magnitude(own);
    cvector_free(own);
    return rb_assoc_new(DBL2NUM(first), DBL2NUM(second));
}

void Init_zanthic_dependent(void) {
    int loaded = NUM2INT(rb_const_get(mZanthicLinalg, rb_intern("ABI_VERSION")));
    if (loaded != ZANTHIC_EXT_ABI_VERSION)
        rb_raise(rb_eLoadError, "built for zanthic_ext ABI %d, loaded ABI %d", ZANTHIC_EXT_ABI_VERSION, loaded);
    VALUE mod = rb_define_module("ZanthicDependent");
    rb_define_module_function(mod, "norms", dependent_norms, 1);
}
