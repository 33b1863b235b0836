// Kernels shared by batch projection and the incremental update: products in
// which each output row is a combination of the rows of a small dense matrix.
//
//   out_b[j] += sum over t < n of a_b[t] * w[t * ldw + j],   j < width
//
// for several sources a_b at once. With w the basis (m x k) and a_b the
// vectors to project this is basis^T * v_b. Rows of w
// are read contiguously and each is used for a whole block of sources while it
// sits in registers, so the basis is streamed once per block, not once per
// vector. The kernels never allocate and never raise; the AVX-512, AVX2 or
// portable version is chosen once, through isa.h.
#ifndef ZANTHIC_ROW_ACCUMULATE_H
#define ZANTHIC_ROW_ACCUMULATE_H

#include <stdint.h>

#include "zanthic_ext.h"

namespace zanthic {

// out[b]->data += (in[b]->data as a row of n values) * w, for b < count.
// Inputs may repeat; outputs must be distinct.
void accumulate_vectors(const CVector *const *in, uint64_t count, const double *w, uint64_t ldw, uint64_t n,
                        uint64_t width, CVector *const *out);

// r[i] = c[i] - (row i of the rows x cols matrix u) . p for every row, and
// returns the sum of the squares of r.
double residual_rows(const double *u, uint64_t rows, uint64_t cols, const double *p, const double *c, double *r);

}  // namespace zanthic

#endif
