// The matrix product kernel behind cmatrix_multiply, on plain row-major
// arrays of doubles. It never allocates, never raises and touches no
// Ruby object. The instruction set (AVX-512, AVX2 with FMA, or portable
// code) is chosen once, at the first call, through isa.h.
#ifndef ZANTHIC_GEMM_H
#define ZANTHIC_GEMM_H

#include <stdint.h>

namespace zanthic {

// c (m x n) = a (m x k) * b (k x n), all row-major and densely stored; c is
// overwritten (all zeros when k is 0) and must not overlap a or b.
void gemm(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c);

}  // namespace zanthic

#endif
