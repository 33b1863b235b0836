// Entry point: defines Zanthic::Linalg and lets each unit register its part.
#include "isa.h"
#include "zanthic_ext.h"

VALUE mZanthicLinalg = 0;

void Init_zanthic_ext(void) {
    // A forced kernel variant that this processor cannot run is refused
    // before anything is defined, rather than crashing on the first call.
    const char *refused = zanthic::isa::request_error();
    if (refused) rb_raise(rb_eLoadError, "%s", refused);

    VALUE zanthic = rb_define_module("Zanthic");
    mZanthicLinalg = rb_define_module_under(zanthic, "Linalg");
    /* The kernel variant in use: "portable", "avx2" or "avx512" (the widest
     * the processor runs, unless the ZANTHIC_ISA environment variable named
     * another when the library was loaded). */
    rb_define_const(mZanthicLinalg, "ISA", rb_obj_freeze(rb_str_new_cstr(zanthic::isa::name(zanthic::isa::active()))));

    // Init_svd and Init_incremental_svd add methods to the classes that the
    // first two define, so the order is fixed.
    Init_vector();
    Init_matrix();
    Init_svd();
    Init_incremental_svd();
}
