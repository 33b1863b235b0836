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

// The same product on operands with row strides lda, ldb and ldc, for a
// block of a larger product: every element of c gets the same value as
// gemm gives it in the whole product (for n >= 2 there), whichever block
// computes it. Stops early, leaving c partly written, when stop_requested.
void gemm_block(uint64_t m, uint64_t n, uint64_t k, const double *a, uint64_t lda, const double *b, uint64_t ldb,
                double *c, uint64_t ldc);

// c (m x n) = [a | e] * b: a (m x k, row stride lda) with e (m values) as
// one more column, times b ((k + 1) x n, row stride ldb). e[i] * b[k][j]
// is the last multiply-add of each element's chain, so a streams once and
// every element is the chain gemm would compute on [a | e], whichever
// block of rows and columns computes it. Stops early as gemm_block does.
void gemm_extended(uint64_t m, uint64_t n, uint64_t k, const double *a, uint64_t lda, const double *e,
                   const double *b, uint64_t ldb, double *c, uint64_t ldc);

// The width of the column strips the product kernel works in: column
// blocks of c that are multiples of it waste no work.
uint64_t gemm_strip_width();

}  // namespace zanthic

#endif
