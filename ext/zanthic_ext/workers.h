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
// (piece 0) and on the workers, returning when all are done; pieces should
// not exceed thread_count(). The values a piece computes must never depend
// on which thread runs it or on how many run, so that results do not
// depend on the thread count.
typedef void (*PieceFn)(void *ctx, unsigned piece, unsigned pieces);
void run_pieces(PieceFn fn, void *ctx, unsigned pieces);

// As run_pieces, but only if every piece gets a thread of its own, all at
// once (for pieces that wait on one another); otherwise runs nothing and
// returns false (the workers are busy with another computation, or fewer
// than pieces - 1 could be made).
bool run_pieces_together(PieceFn fn, void *ctx, unsigned pieces);

}  // namespace zanthic

#endif
