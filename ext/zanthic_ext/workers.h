// Worker threads for kernels that split across cores.
//
// A fixed set of plain pthreads, made at the first call that wants them and
// kept for the life of the process (joined at exit). The count is the
// number of CPUs this process may run on (sched_getaffinity), or
// ZANTHIC_THREADS when that is set (1 turns the workers off); both are read
// once, when the library loads. A forked child starts without workers and
// makes its own at its first call.
//
// Workers only run kernels on memory the caller owns, and never touch Ruby.
// They see the caller's stop flag, so an interrupted computation stops on
// every thread. One computation uses the workers at a time; a second,
// concurrent one (another Ruby thread, another Ractor) runs on its own
// thread instead of waiting.
#ifndef ZANTHIC_WORKERS_H
#define ZANTHIC_WORKERS_H

#include <stdint.h>

namespace zanthic {

// Reads the thread count; called once by Init_zanthic_ext.
void init_workers();

// The number of threads a split computation uses, the caller included.
unsigned thread_count();

// fn(ctx, piece, pieces) for every piece < pieces, on the caller's thread
// (piece 0) and on the workers. pieces must not exceed thread_count();
// what a piece computes must depend only on its number, never on which
// thread runs it, so that results do not depend on the thread count.
typedef void (*PieceFn)(void *ctx, unsigned piece, unsigned pieces);
void run_pieces(PieceFn fn, void *ctx, unsigned pieces);

// The bounds of piece `piece` of `pieces` over [0, count): near-equal
// ranges, every boundary a multiple of `align`.
inline void piece_range(uint64_t count, uint64_t align, unsigned piece, unsigned pieces, uint64_t *begin,
                        uint64_t *end) {
    const uint64_t units = (count + align - 1) / align;
    const uint64_t b = units * piece / pieces * align, e = units * (piece + 1) / pieces * align;
    *begin = b < count ? b : count;
    *end = e < count ? e : count;
}

}  // namespace zanthic

#endif
