// Product kernels on plain row-major arrays of doubles: the matrix product
// and the matrix-vector product behind cmatrix_multiply and
// cmatrix_multiply_vector. They never allocate and never raise.
#ifndef ZANTHIC_GEMM_H
#define ZANTHIC_GEMM_H

#include <stdint.h>

namespace zanthic {

// c (m x n) += a (m x k) * b (k x n), all row-major and densely stored.
// c is normally the freshly zero-filled result.
void gemm_accumulate(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c);

// y (m) = a (m x n) * x (n); y is overwritten.
void gemv(uint64_t m, uint64_t n, const double *a, const double *x, double *y);

}  // namespace zanthic

#endif
