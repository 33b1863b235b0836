// Product kernels (see gemm.h).
#include "gemm.h"

namespace zanthic {

void gemm_accumulate(uint64_t m, uint64_t n, uint64_t k, const double *a, const double *b, double *c) {
    for (uint64_t i = 0; i < m; i++)
        for (uint64_t p = 0; p < k; p++) {
            const double x = a[i * k + p];
            for (uint64_t j = 0; j < n; j++) c[i * n + j] += x * b[p * n + j];
        }
}

void gemv(uint64_t m, uint64_t n, const double *a, const double *x, double *y) {
    for (uint64_t i = 0; i < m; i++) {
        double s = 0.0;
        for (uint64_t p = 0; p < n; p++) s += a[i * n + p] * x[p];
        y[i] = s;
    }
}

}  // namespace zanthic
