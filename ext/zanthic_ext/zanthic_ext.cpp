// Entry point: defines Zanthic::Linalg and lets each unit register its part.
#include "zanthic_ext.h"

VALUE mZanthicLinalg = 0;

void Init_zanthic_ext(void) {
    VALUE zanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(zanthic, "Linalg");
    /* Version of the C interface (zanthic_ext.h) that this library
     * implements, the ZANTHIC_EXT_ABI_VERSION it was built with. A native
     * extension built against another version must not call it. */
    rb_define_const(mZanthicLinalg, "ABI_VERSION", INT2FIX(ZANTHIC_EXT_ABI_VERSION));

    // Init_svd and Init_incremental_svd add methods to the classes that the
    // first two define, so the order is fixed.
    Init_vector();
    Init_matrix();
    Init_svd();
    Init_incremental_svd();
}
