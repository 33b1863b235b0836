// The interpreter-lock layer (see nogvl.h).
#include "nogvl.h"

#include <ruby.h>
#include <ruby/thread.h>

namespace zanthic {

namespace {

// The grace period of the second start, in nanoseconds; it doubles for
// every further start (so the wasted work stays within a few times the
// call's own), and a call with no interrupt that did not raise has none.
constexpr int64_t kFirstGrace = 10 * 1000 * 1000;
constexpr int64_t kLongestGrace = int64_t(1) << 50;  // 13 days: no overflow

struct Call {
    Body body;
    void *arg;
    StopFlag stop;
    bool finished;
};

void *call_body(void *p) {
    Call *call = static_cast<Call *>(p);
    const StopFlag *outer = current_stop_flag();
    set_current_stop_flag(&call->stop);
    call->finished = call->body(call->arg);
    set_current_stop_flag(outer);
    return nullptr;
}

// The unblocking function: the interpreter calls it from another thread, or
// from a signal handler when the computation runs on the main thread, so it
// does nothing but set the (lock-free) flag.
void request_stop(void *p) { static_cast<StopFlag *>(p)->requested.store(true, std::memory_order_relaxed); }

VALUE check_interrupts(VALUE) {
    rb_thread_check_ints();
    return Qnil;
}

}  // namespace

void run_without_gvl(Body body, void *arg, Cleanup cleanup, bool release) {
    if (!release) {
        body(arg);
        return;
    }
    count_release();
    Call call;
    call.body = body;
    call.arg = arg;
    int64_t grace = 0;
    for (;;) {
        call.stop.requested.store(false, std::memory_order_relaxed);
        call.stop.grace_end = grace ? monotonic_ns() + grace : 0;
        call.finished = false;
        // RB_NOGVL_INTR_FAIL: with an interrupt already pending the body is
        // not started, and none is handled on the way out, where it would
        // raise before the cleanup below could run.
        rb_nogvl(call_body, &call, request_stop, &call.stop, RB_NOGVL_INTR_FAIL | RB_NOGVL_UBF_ASYNC_SAFE);
        if (call.finished) return;
        int state = 0;
        rb_protect(check_interrupts, Qnil, &state);
        if (state) {
            if (cleanup) cleanup(arg);
            rb_jump_tag(state);
        }
        grace = grace == 0 ? kFirstGrace : grace < kLongestGrace ? 2 * grace : grace;
    }
}

}  // namespace zanthic
