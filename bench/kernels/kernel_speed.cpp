// Times the matrix-vector product and transpose kernels of every kernel
// variant this processor runs on cache-resident data, beside single-thread
// OpenBLAS dgemv and a plain loop, in one run. Medians of many repetitions.
// Bench-only: built by `rake bench:kernels`, never part of the library.
#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "gemm.cpp"
#include "transpose.cpp"

using namespace zanthic;

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// Median time of one call, over `runs` runs of `inner` calls each.
template <class F>
double median(int runs, int inner, F f) {
    std::vector<double> t;
    for (int r = 0; r < runs; r++) {
        const double t0 = now();
        for (int i = 0; i < inner; i++) f();
        t.push_back((now() - t0) / inner);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

__attribute__((noinline, optimize("no-tree-vectorize"))) void plain_transpose(uint64_t rows, uint64_t cols,
                                                                                const double *s, double *d) {
    for (uint64_t i = 0; i < rows; i++)
        for (uint64_t j = 0; j < cols; j++) d[j * rows + i] = s[i * cols + j];
}

}  // namespace

int main() {
    openblas_set_num_threads(1);
    printf("OpenBLAS: %s\n", openblas_get_config());
    const uint64_t shapes[][2] = {{5000, 100}, {1000, 1000}, {2000, 2000}, {20000, 50}};
    for (auto &sh : shapes) {
        const uint64_t m = sh[0], n = sh[1];
        std::vector<double> a(m * n), x(n), y(m);
        for (auto &v : a) v = rand() / (double)RAND_MAX - 0.5;
        for (auto &v : x) v = rand() / (double)RAND_MAX - 0.5;
        const int inner = std::max<int>(1, 20000000 / (m * n));
        const double flops = 2.0 * m * n;
        const double blas = median(31, inner, [&] {
            cblas_dgemv(CblasRowMajor, CblasNoTrans, m, n, 1.0, a.data(), n, x.data(), 1, 0.0, y.data(), 1);
        });
        printf("gemv %5llux%-5llu OpenBLAS dgemv   %8.1f us %6.2f GFLOP/s\n", (unsigned long long)m,
               (unsigned long long)n, blas * 1e6, flops / blas * 1e-9);
        for (int level = 0; level < zanthic::isa::kLevels; level++) {
            if (!zanthic::isa::supported((zanthic::isa::Level)level) || !kVariants[level]) continue;
            const Kernels &k = *kVariants[level];
            const double t = median(31, inner, [&] { k.gemv(m, n, a.data(), x.data(), y.data()); });
            printf("gemv %5llux%-5llu %-16s %8.1f us %6.2f GFLOP/s  %.2fx dgemv speed\n", (unsigned long long)m,
                   (unsigned long long)n, zanthic::isa::name((zanthic::isa::Level)level), t * 1e6,
                   flops / t * 1e-9, blas / t);
        }
    }
    const uint64_t tshapes[][2] = {{2000, 100}, {1000, 1000}, {100, 2000}};
    for (auto &sh : tshapes) {
        const uint64_t m = sh[0], n = sh[1];
        std::vector<double> a(m * n), t(m * n);
        for (auto &v : a) v = rand() / (double)RAND_MAX;
        const int inner = std::max<int>(1, 4000000 / (m * n));
        const double plain = median(31, inner, [&] { plain_transpose(m, n, a.data(), t.data()); });
        printf("transpose %5llux%-5llu plain loop  %8.1f us\n", (unsigned long long)m, (unsigned long long)n,
               plain * 1e6);
        for (int level = 0; level < zanthic::isa::kLevels; level++) {
            if (!zanthic::isa::supported((zanthic::isa::Level)level) || !kTransposeVariants[level]) continue;
            const TransposeFn f = *kTransposeVariants[level];
            const double tt = median(31, inner, [&] { f(m, n, a.data(), t.data()); });
            printf("transpose %5llux%-5llu %-11s %8.1f us  %.2fx plain speed\n", (unsigned long long)m,
                   (unsigned long long)n, zanthic::isa::name((zanthic::isa::Level)level), tt * 1e6, plain / tt);
        }
    }
    return 0;
}
