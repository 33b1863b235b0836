// Times the matrix-vector product and transpose kernels of every kernel
// variant this processor runs on cache-resident data, beside single-thread
// OpenBLAS dgemv and a plain loop (compiled without vectorisation), in one
// run. Contenders are interleaved call by call: every round times a few
// calls of each, one after the other, and the speed ratio against the
// baseline is taken within the round, so that both see the same load on a
// shared machine; the figures are the medians over the rounds.
// Bench-only: built by `rake bench:kernels`, never part of the library.
#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "gemv.cpp"
#include "transpose.cpp"

using namespace zanthic;

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// The plain loop, kept scalar (GCC by attribute, Clang by loop pragma).
#if defined(__clang__)
#define PLAIN_FUNCTION __attribute__((noinline))
#define PLAIN_LOOP _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define PLAIN_FUNCTION __attribute__((noinline, optimize("no-tree-vectorize")))
#define PLAIN_LOOP
#endif

PLAIN_FUNCTION void plain_transpose(uint64_t rows, uint64_t cols, const double *s, double *d) {
    for (uint64_t i = 0; i < rows; i++) {
        PLAIN_LOOP
        for (uint64_t j = 0; j < cols; j++) d[j * rows + i] = s[i * cols + j];
    }
}

struct Medians {
    std::vector<double> time;   // seconds per call
    std::vector<double> ratio;  // baseline time / contender time, within each round
};

// contenders[0] is the baseline. Each round makes `inner` calls of every
// contender in turn.
Medians interleaved(int runs, int inner, const std::vector<std::function<void()>> &contenders) {
    const size_t n = contenders.size();
    std::vector<std::vector<double>> t(n), r(n);
    std::vector<double> round(n);
    for (auto &c : contenders) c();  // warm the caches and the code
    for (int k = 0; k < runs; k++) {
        for (size_t c = 0; c < n; c++) {
            const double t0 = now();
            for (int i = 0; i < inner; i++) contenders[c]();
            round[c] = (now() - t0) / inner;
        }
        for (size_t c = 0; c < n; c++) {
            t[c].push_back(round[c]);
            r[c].push_back(round[0] / round[c]);
        }
    }
    Medians m;
    for (size_t c = 0; c < n; c++) {
        std::sort(t[c].begin(), t[c].end());
        std::sort(r[c].begin(), r[c].end());
        m.time.push_back(t[c][runs / 2]);
        m.ratio.push_back(r[c][runs / 2]);
    }
    return m;
}

}  // namespace

// Rounds per shape (the ratios' medians are stable to about 2% at this count).
constexpr int kRounds = 201;

// With an argument, only the kernel it names ("gemv" or "transpose").
int main(int argc, char **argv) {
    const bool gemv_part = argc < 2 || strcmp(argv[1], "gemv") == 0;
    const bool transpose_part = argc < 2 || strcmp(argv[1], "transpose") == 0;
    openblas_set_num_threads(1);
    printf("OpenBLAS: %s (core %s)\n", openblas_get_config(), openblas_get_corename());
    // 5000x100 and 1000x1000 fit the last-level cache, 1000x100 and 300x300
    // fit L2.
    const uint64_t shapes[][2] = {{5000, 100}, {1000, 1000}, {1000, 100}, {300, 300}, {2000, 2000}, {20000, 50}};
    for (auto &sh : shapes) {
        if (!gemv_part) break;
        const uint64_t m = sh[0], n = sh[1];
        std::vector<double> a(m * n), x(n), y(m);
        for (auto &v : a) v = rand() / (double)RAND_MAX - 0.5;
        for (auto &v : x) v = rand() / (double)RAND_MAX - 0.5;
        const int inner = std::max<int>(1, 2000000 / (m * n));
        const double flops = 2.0 * m * n;
        std::vector<std::function<void()>> contenders = {[&] {
            cblas_dgemv(CblasRowMajor, CblasNoTrans, m, n, 1.0, a.data(), n, x.data(), 1, 0.0, y.data(), 1);
        }};
        std::vector<int> levels;
        for (int level = 0; level < isa::kLevels; level++) {
            if (!isa::supported((isa::Level)level) || !kGemvVariants[level]) continue;
            const GemvFn f = *kGemvVariants[level];
            contenders.push_back([&, f] { f(m, n, a.data(), x.data(), y.data()); });
            levels.push_back(level);
        }
        const Medians md = interleaved(kRounds, inner, contenders);
        const std::vector<double> &t = md.time;
        printf("gemv %5llux%-5llu OpenBLAS dgemv   %8.1f us %6.2f GFLOP/s\n", (unsigned long long)m,
               (unsigned long long)n, t[0] * 1e6, flops / t[0] * 1e-9);
        for (size_t i = 0; i < levels.size(); i++)
            printf("gemv %5llux%-5llu %-16s %8.1f us %6.2f GFLOP/s  %.2fx dgemv speed\n", (unsigned long long)m,
                   (unsigned long long)n, isa::name((isa::Level)levels[i]), t[i + 1] * 1e6,
                   flops / t[i + 1] * 1e-9, md.ratio[i + 1]);
    }
    const uint64_t tshapes[][2] = {{2000, 100}, {1000, 1000}, {100, 2000}};
    for (auto &sh : tshapes) {
        if (!transpose_part) break;
        const uint64_t m = sh[0], n = sh[1];
        std::vector<double> a(m * n), d(m * n);
        for (auto &v : a) v = rand() / (double)RAND_MAX;
        const int inner = std::max<int>(1, 400000 / (m * n));
        std::vector<std::function<void()>> contenders = {[&] { plain_transpose(m, n, a.data(), d.data()); }};
        std::vector<int> levels;
        for (int level = 0; level < isa::kLevels; level++) {
            if (!isa::supported((isa::Level)level) || !kTransposeVariants[level]) continue;
            const TransposeFn f = *kTransposeVariants[level];
            contenders.push_back([&, f] { transpose_with(f, m, n, a.data(), d.data()); });
            levels.push_back(level);
        }
        const Medians md = interleaved(kRounds, inner, contenders);
        const std::vector<double> &t = md.time;
        printf("transpose %5llux%-5llu plain loop  %8.1f us\n", (unsigned long long)m, (unsigned long long)n,
               t[0] * 1e6);
        for (size_t i = 0; i < levels.size(); i++)
            printf("transpose %5llux%-5llu %-11s %8.1f us  %.2fx plain speed\n", (unsigned long long)m,
                   (unsigned long long)n, isa::name((isa::Level)levels[i]), t[i + 1] * 1e6, md.ratio[i + 1]);
    }
    return 0;
}
