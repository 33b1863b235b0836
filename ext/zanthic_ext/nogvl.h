// Running a computation without the interpreter lock, so that other Ruby
// threads go on while it runs and an interrupt (Ctrl-C, Thread#raise,
// Timeout) stops it.
//
// The pattern: validate and convert every argument and allocate every
// result and scratch buffer with the lock held; then hand a body that
// touches nothing of Ruby's (no VALUE, no rb_* call, no ruby_xmalloc) to
// run_without_gvl. While it runs, an interrupt sets a flag that the kernels
// poll between blocks of work (stop_requested); a body that sees it stops
// and reports that it did not finish. run_without_gvl then lets the pending
// interrupt run, after calling the caller's cleanup if that raises, and
// runs the body again from the start if it does not (a Thread#wakeup, a
// signal trap). Bodies must therefore compute their outputs from inputs
// they never change. Each new start lets an interrupt wait a little longer
// (a grace period, doubling from start to start) before it stops the body,
// so that a steady stream of interrupts that do not raise cannot keep a
// long call from ever finishing.
#ifndef ZANTHIC_NOGVL_H
#define ZANTHIC_NOGVL_H

#include <stdint.h>
#include <time.h>

#include <atomic>

namespace zanthic {

// What an interrupt sets: requested, from the unblocking function (or a
// test); grace_end, written before the computation starts, is the
// CLOCK_MONOTONIC time in nanoseconds before which a request is not acted
// on (0: at once).
struct StopFlag {
    std::atomic<bool> requested;
    int64_t grace_end;
};

inline int64_t monotonic_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The stop flag of the computation running on this thread (the calling
// thread, or a worker running a piece of it); nullptr when there is none.
// Defined here so that kernels polling it need nothing else linked in.
inline thread_local const StopFlag *tl_stop_flag = nullptr;

inline const StopFlag *current_stop_flag() { return tl_stop_flag; }
inline void set_current_stop_flag(const StopFlag *flag) { tl_stop_flag = flag; }

// True once an interrupt asked the computation running on this thread to
// stop (and its grace period, if any, is over). Cheap enough to call every
// few microseconds of work: one load while nothing is requested.
inline bool stop_requested() {
    const StopFlag *flag = tl_stop_flag;
    if (!flag || !flag->requested.load(std::memory_order_relaxed)) return false;
    return flag->grace_end == 0 || monotonic_ns() >= flag->grace_end;
}

// A body returns true when it finished, false when it stopped on request.
typedef bool (*Body)(void *arg);
// Releases what the caller made when the interrupt raises; may be nullptr
// when an enclosing rb_ensure does it.
typedef void (*Cleanup)(void *arg);

// Below this many multiply-adds (or elements moved) a computation runs with
// the lock held: releasing and taking it back costs a few microseconds,
// and a call this small ends within about 0.1 ms anyway.
constexpr uint64_t kReleaseWork = uint64_t(1) << 18;

// Runs body(arg) to completion: with the lock held when release is false,
// otherwise without it, honouring interrupts as described above. Returns
// normally only once the body has finished; an exception from a pending
// interrupt leaves after cleanup(arg).
void run_without_gvl(Body body, void *arg, Cleanup cleanup, bool release);

template <class F>
bool pass_body(void *fn) {
    (*static_cast<F *>(fn))();
    return true;
}

// Runs fn() to the end, without the lock when it reads or writes at least
// kReleaseWork elements: for single passes over memory (copies, reductions)
// of a few milliseconds, not worth stopping midway; an interrupt is handled
// once they return. An interrupt already pending raises before fn starts,
// so whatever the caller made must be owned by an object (or an rb_ensure)
// by then; fn touches nothing of Ruby's and its captures are plain values.
template <class F>
void pass(uint64_t elements, F fn) {
    run_without_gvl(pass_body<F>, &fn, nullptr, elements >= kReleaseWork);
}

#ifdef ZANTHIC_FAULTS
// Counts the calls that let go of the lock (Zanthic::Linalg::Faults.releases).
void count_release();
#else
inline void count_release() {}
#endif

}  // namespace zanthic

#endif
