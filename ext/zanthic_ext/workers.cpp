// The worker threads (see workers.h).
#include "workers.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "nogvl.h"

namespace zanthic {

namespace {

// More threads than this are never made, whatever the machine offers.
constexpr unsigned kMaxThreads = 64;

// Written once by init_workers, with the interpreter lock held, before any
// method can run; only read afterwards.
unsigned g_threads = 1;

struct Job {
    PieceFn fn;
    void *ctx;
    unsigned pieces;
    const StopFlag *stop;
};

// Everything below is guarded by lock, except that busy is taken with
// trylock by the one computation that may use the workers.
struct Pool {
    pthread_mutex_t lock;
    pthread_cond_t wake;   // a new job, or shutdown
    pthread_cond_t done;   // the last worker finished its piece
    pthread_mutex_t busy;  // held by the computation using the workers
    unsigned started;      // workers running
    unsigned pending;      // workers still on the current job
    uint64_t generation;   // bumped for every job
    bool shutdown;
    bool exit_hook;
    Job job;
    pthread_t threads[kMaxThreads];
    uint64_t first_generation[kMaxThreads];  // the generation a new worker starts after
};

Pool g_pool = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER,
               PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, false, false, {nullptr, nullptr, 0, nullptr}, {}, {}};

void *worker_main(void *p) {
    const unsigned index = static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
    pthread_mutex_lock(&g_pool.lock);
    uint64_t seen = g_pool.first_generation[index - 1];
    for (;;) {
        while (!g_pool.shutdown && g_pool.generation == seen) pthread_cond_wait(&g_pool.wake, &g_pool.lock);
        if (g_pool.shutdown) break;
        seen = g_pool.generation;
        const Job job = g_pool.job;
        pthread_mutex_unlock(&g_pool.lock);
        if (index < job.pieces) {
            set_current_stop_flag(job.stop);
            job.fn(job.ctx, index, job.pieces);
            set_current_stop_flag(nullptr);
        }
        pthread_mutex_lock(&g_pool.lock);
        if (--g_pool.pending == 0) pthread_cond_signal(&g_pool.done);
    }
    pthread_mutex_unlock(&g_pool.lock);
    return nullptr;
}

// Joins the workers when the process exits, so that nothing of theirs is
// left behind.
void stop_workers() {
    pthread_mutex_lock(&g_pool.lock);
    g_pool.shutdown = true;
    const unsigned started = g_pool.started;
    pthread_cond_broadcast(&g_pool.wake);
    pthread_mutex_unlock(&g_pool.lock);
    for (unsigned i = 0; i < started; i++) pthread_join(g_pool.threads[i], nullptr);
    pthread_mutex_lock(&g_pool.lock);
    g_pool.started = 0;
    pthread_mutex_unlock(&g_pool.lock);
}

// fork copies only the forking thread: the child has no workers, and a lock
// held by another thread at the time would stay held forever. Taking the
// pool's lock around fork keeps its state consistent; the child then
// starts over with fresh locks and no workers, and makes its own when it
// first needs them.
void before_fork() { pthread_mutex_lock(&g_pool.lock); }
void after_fork_parent() { pthread_mutex_unlock(&g_pool.lock); }
void after_fork_child() {
    pthread_mutex_init(&g_pool.lock, nullptr);
    pthread_mutex_init(&g_pool.busy, nullptr);
    pthread_cond_init(&g_pool.wake, nullptr);
    pthread_cond_init(&g_pool.done, nullptr);
    g_pool.started = g_pool.pending = 0;
}

// Makes the workers up to count - 1 (called with lock held). They block
// every signal: signals are the interpreter's business, on its own threads.
void start_workers(unsigned count) {
    if (!g_pool.exit_hook) {
        g_pool.exit_hook = true;
        atexit(stop_workers);
    }
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    while (g_pool.started + 1 < count) {
        const uintptr_t index = g_pool.started + 1;
        g_pool.first_generation[g_pool.started] = g_pool.generation;
        if (pthread_create(&g_pool.threads[g_pool.started], nullptr, worker_main, reinterpret_cast<void *>(index)))
            break;
        g_pool.started++;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void run_alone(PieceFn fn, void *ctx, unsigned pieces) {
    for (unsigned piece = 0; piece < pieces; piece++) fn(ctx, piece, pieces);
}

}  // namespace

void init_workers() {
    unsigned count = 1;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<unsigned>(CPU_COUNT(&set));
#else
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) count = static_cast<unsigned>(online);
#endif
    if (const char *env = getenv("ZANTHIC_THREADS")) {
        const long requested = strtol(env, nullptr, 10);
        if (requested > 0) count = static_cast<unsigned>(requested);
    }
    if (count < 1) count = 1;
    g_threads = count < kMaxThreads ? count : kMaxThreads;
    static bool registered = false;
    if (!registered) {
        registered = true;
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    }
}

unsigned thread_count() { return g_threads; }

// Hands the job to the workers, runs piece 0 (and the given extra pieces)
// here and waits for the workers; called with busy held, releases it.
static void run_with_workers(PieceFn fn, void *ctx, unsigned pieces, unsigned workers) {
    g_pool.job = {fn, ctx, pieces, current_stop_flag()};
    g_pool.pending = workers;
    g_pool.generation++;
    pthread_cond_broadcast(&g_pool.wake);
    pthread_mutex_unlock(&g_pool.lock);

    fn(ctx, 0, pieces);
    // Pieces beyond the workers that started (pthread_create may fail) run
    // here too.
    for (unsigned piece = workers + 1; piece < pieces; piece++) fn(ctx, piece, pieces);

    pthread_mutex_lock(&g_pool.lock);
    while (g_pool.pending) pthread_cond_wait(&g_pool.done, &g_pool.lock);
    pthread_mutex_unlock(&g_pool.lock);
    pthread_mutex_unlock(&g_pool.busy);
}

void run_pieces(PieceFn fn, void *ctx, unsigned pieces) {
    if (pieces <= 1 || pthread_mutex_trylock(&g_pool.busy) != 0) {
        run_alone(fn, ctx, pieces);
        return;
    }
    pthread_mutex_lock(&g_pool.lock);
    if (g_pool.started + 1 < pieces && !g_pool.shutdown) start_workers(pieces);
    const unsigned workers = g_pool.started;
    if (workers == 0) {
        pthread_mutex_unlock(&g_pool.lock);
        pthread_mutex_unlock(&g_pool.busy);
        run_alone(fn, ctx, pieces);
        return;
    }
    run_with_workers(fn, ctx, pieces, workers);
}

bool run_pieces_together(PieceFn fn, void *ctx, unsigned pieces) {
    if (pieces <= 1 || pthread_mutex_trylock(&g_pool.busy) != 0) return false;
    pthread_mutex_lock(&g_pool.lock);
    if (g_pool.started + 1 < pieces && !g_pool.shutdown) start_workers(pieces);
    if (g_pool.started + 1 < pieces) {
        pthread_mutex_unlock(&g_pool.lock);
        pthread_mutex_unlock(&g_pool.busy);
        return false;
    }
    run_with_workers(fn, ctx, pieces, g_pool.started);
    return true;
}

}  // namespace zanthic
