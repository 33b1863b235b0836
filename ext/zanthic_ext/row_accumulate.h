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

// c_i - row . p over k values, summed in four interleaved chains: the
// portable residual of one row. Both residual kernels use it, so the
// residual comes out the same whichever of them computes it.
inline double row_residual(const double *row, uint64_t k, const double *p, double c_i) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    uint64_t j = 0;
    for (; j + 4 <= k; j += 4) {
        s0 += row[j] * p[j];
        s1 += row[j + 1] * p[j + 1];
        s2 += row[j + 2] * p[j + 2];
        s3 += row[j + 3] * p[j + 3];
    }
    for (; j < k; j++) s0 += row[j] * p[j];
    return c_i - ((s0 + s2) + (s1 + s3));
}

}  // namespace zanthic

#endif
