// The product kernels as the methods and decompositions call them: split
// across the worker threads when the work is large enough to pay for
// waking them, and stopping early when an interrupt asks (stop_requested).
// Each output element is computed by exactly one thread, in the same order
// as by the single-threaded kernel, so results are bit for bit the same
// whatever the thread count. None of them allocates, raises or touches
// Ruby.
#ifndef ZANTHIC_PRODUCTS_H
#define ZANTHIC_PRODUCTS_H

#include <stdint.h>

#include "zanthic_ext.h"

namespace zanthic {

// c (m x n) = a (m x k) * b (k x n), as gemm.
void multiply(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c);

// c (n x n) = a (n x k) * b (k x n) where b is a's transpose, so that c is
// symmetric: the blocks of rows from the diagonal rightwards as multiply
// computes them, the rest mirrored. c[i][j] and c[j][i] are the same chain
// of products in the same order, so c is bit for bit what multiply gives.
void multiply_symmetric(uint64_t n, uint64_t k, const double *a, const double *b, double *c);

// c (m x n) = [a | e] (m x (k + 1)) * b ((k + 1) x n), with the last column
// e of the left factor held apart, as gemm_extended.
void multiply_extended(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *e, const double *b,
                       double *c);

// y (m) = a (m x n) * x (n), as gemv.
void multiply_vector(uint64_t m, uint64_t n, const double *a, const double *x, double *y);

// run(job, begin, end) over the chunks [0, count) of a pass whose work (in
// elements read) is given: in one call on this thread when the work is too
// small to pay for waking the workers (kPassSplitWork), otherwise in
// ranges taken by every thread. Whatever the split, each chunk is computed
// once, by one call, so a pass that gives each chunk its own outputs
// (partial sums combined afterwards in chunk order) gets the same values
// whatever the thread count. run should poll stop_requested between chunks.
void split_chunks(uint64_t work, uint64_t count, void (*run)(const void *job, uint64_t begin, uint64_t end),
                  const void *job);

// As accumulate_vectors.
void project_vectors(const CVector *const *in, uint64_t count, const double *w, uint64_t ldw, uint64_t n,
                     uint64_t width, CVector *const *out);

}  // namespace zanthic

#endif
