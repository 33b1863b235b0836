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
// they never change.
#ifndef ZANTHIC_NOGVL_H
#define ZANTHIC_NOGVL_H

#include <stdint.h>

#include <atomic>

namespace zanthic {

// The stop flag of the computation running on this thread (the calling
// thread, or a worker running a piece of it); nullptr when there is none.
// Defined here so that kernels polling it need nothing else linked in.
inline thread_local const std::atomic<bool> *tl_stop_flag = nullptr;

inline const std::atomic<bool> *current_stop_flag() { return tl_stop_flag; }
inline void set_current_stop_flag(const std::atomic<bool> *flag) { tl_stop_flag = flag; }

// True once an interrupt asked the computation running on this thread to
// stop. Cheap enough to call every few microseconds of work.
inline bool stop_requested() {
    const std::atomic<bool> *flag = tl_stop_flag;
    return flag && flag->load(std::memory_order_relaxed);
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
