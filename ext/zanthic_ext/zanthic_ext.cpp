// Entry point: defines Zanthic::Linalg and lets each unit register its part.
#include "isa.h"
#include "memory.h"
#include "zanthic_ext.h"
#include "protocols.h"
#include "workers.h"

VALUE mZanthicLinalg = 0;

void Init_zanthic_ext(void) {
    // Methods may run in any Ractor: every piece of the library's global
    // state (the globals below, the kernel choice, interned names) is
    // written once and only read afterwards. It must come before the first
    // method is defined, which it marks.
    rb_ext_ractor_safe(true);
    // A forced kernel variant that this processor cannot run is refused
    // before anything is defined, rather than crashing on the first call.
    const char *refused = zanthic::isa::request_error();
    if (refused) rb_raise(rb_eLoadError, "%s", refused);
    zanthic::init_workers();

    /*
     * The namespace of Zanthic's text-mining and latent-semantic-indexing
     * libraries.
     */
    VALUE zanthic = rb_define_module("Zanthic");
    /*
     * Dense linear algebra in native memory: Vector and Matrix of IEEE
     * doubles, their products, a Jacobi singular value decomposition, the
     * incremental update of a truncated decomposition and batch projection.
     *
     *   require "zanthic_ext"
     *   Linalg = Zanthic::Linalg
     *   Linalg::Vector.alloc([3, 4]).normalize.to_a  # => [0.6, 0.8]
     *
     * Refer to the classes through the full path or an alias of the module,
     * as above, rather than by including the module at the top level: the
     * standard library's +matrix+ defines top-level Vector and Matrix
     * classes of its own.
     */
    mZanthicLinalg = rb_define_module_under(zanthic, "Linalg");
    /* The kernel variant in use: "portable", "avx2" or "avx512" (the widest
     * the processor runs, unless the ZANTHIC_ISA environment variable named
     * another when the library was loaded). */
    rb_define_const(mZanthicLinalg, "ISA", rb_obj_freeze(rb_str_new_cstr(zanthic::isa::name(zanthic::isa::active()))));
    /* Version of the C interface (zanthic_ext.h) that this library
     * implements, the ZANTHIC_EXT_ABI_VERSION it was built with. A native
     * extension built against another version must not call it. */
    rb_define_const(mZanthicLinalg, "ABI_VERSION", INT2FIX(ZANTHIC_EXT_ABI_VERSION));

    // The later units add methods to the classes that the first two define,
    // so the order is fixed.
    Init_vector();
    Init_matrix();
    Init_svd();
    Init_incremental_svd();
    Init_protocols();
#ifdef ZANTHIC_FAULTS
    zanthic::init_faults();
#endif
}
