// Allocation-failure injection for the tests; compiled to nothing unless
// ZANTHIC_FAULTS is defined (rake compile:faults).
//
//   Zanthic::Linalg::Faults.arm(n)  the n-th allocation from now raises
//                                   NoMemoryError (object allocations count)
//   Zanthic::Linalg::Faults.disarm  stops; returns how many allocations were
//                                   still to go, or -1 once the fault fired
//   Zanthic::Linalg::Faults.live    native blocks currently allocated
//   Zanthic::Linalg::Faults.releases  calls so far that let go of the
//                                   interpreter lock
#include "memory.h"
#include "nogvl.h"
#include "zanthic_ext.h"

#ifdef ZANTHIC_FAULTS

namespace zanthic {

namespace {

long countdown = 0;  // 0: disarmed
long live_blocks = 0;
// Only changed with the lock held, before it is let go.
long releases = 0;

VALUE faults_arm(VALUE, VALUE n) {
    countdown = NUM2LONG(n);
    return Qnil;
}

VALUE faults_disarm(VALUE) {
    const long left = countdown;
    countdown = 0;
    return LONG2NUM(left);
}

VALUE faults_live(VALUE) { return LONG2NUM(live_blocks); }

VALUE faults_releases(VALUE) { return LONG2NUM(releases); }

}  // namespace

void fault_point() {
    if (countdown == 0) return;
    if (--countdown == 0) {
        countdown = -1;  // fired: later allocations go through
        rb_memerror();
    }
}

void count_blocks(long delta) { live_blocks += delta; }

void count_release() { releases++; }

void init_faults() {
    VALUE faults = rb_define_module_under(mZanthicLinalg, "Faults");
    rb_define_module_function(faults, "arm", RUBY_METHOD_FUNC(faults_arm), 1);
    rb_define_module_function(faults, "disarm", RUBY_METHOD_FUNC(faults_disarm), 0);
    rb_define_module_function(faults, "live", RUBY_METHOD_FUNC(faults_live), 0);
    rb_define_module_function(faults, "releases", RUBY_METHOD_FUNC(faults_releases), 0);
}

}  // namespace zanthic

#endif
