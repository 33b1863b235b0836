// The matrix-vector product kernel behind cmatrix_multiply_vector (and the
// one-column matrix product), on plain row-major arrays of doubles. It never
// allocates, never raises and touches no Ruby object. The instruction set
// (AVX2 with FMA, also on AVX-512 processors, or portable code) is chosen
// once, through isa.h.
#ifndef ZANTHIC_GEMV_H
#define ZANTHIC_GEMV_H

#include <stdint.h>

namespace zanthic {

// y (m) = a (m x n) * x (n); y is overwritten (all zeros when n is 0) and
// must not overlap a or x.
void gemv(uint64_t m, uint64_t n, const double *a, const double *x, double *y);

}  // namespace zanthic

#endif
