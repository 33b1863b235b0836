// Checks every reduction kernel that this processor can run (portable,
// AVX2+FMA, AVX-512) against a long double reference, for every extent up to
// 200 and a few large ones, on arrays of exactly that extent (so that the
// address sanitizer sees any read past the end). Prints "ok" or the failures.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "reduce.h"

using namespace zanthic::reduce;

namespace {

struct Variant {
    const char *name;
    bool available;
    Kernels k;
};

int failures = 0;

void check(const char *variant, const char *op, uint64_t n, double got, long double ref, long double scale) {
    // Any order of summation errs by at most about n ulps of the sum of
    // magnitudes; allow twice that.
    const long double tol = 2.0L * (n + 1) * 1.1102230246251565e-16L * scale;
    if (fabsl(static_cast<long double>(got) - ref) > tol) {
        if (failures++ < 20) printf("%s %s n=%llu: got %.17g want %.17Lg\n", variant, op, (unsigned long long)n, got, ref);
    }
}

}  // namespace

int main() {
    __builtin_cpu_init();
    const Variant variants[] = {
        {"portable", true, {sum_portable, sumsq_portable, dot_portable}},
        {"avx2", __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"), {sum_avx2, sumsq_avx2, dot_avx2}},
        {"avx512", static_cast<bool>(__builtin_cpu_supports("avx512f")), {sum_avx512, sumsq_avx512, dot_avx512}},
    };
    srand(12345);
    for (uint64_t n = 0; n <= 1200; n = n < 200 ? n + 1 : n + 333) {
        double *a = static_cast<double *>(malloc(n ? n * sizeof(double) : 1));
        double *b = static_cast<double *>(malloc(n ? n * sizeof(double) : 1));
        long double s = 0, ss = 0, d = 0, sabs = 0, dabs = 0;
        for (uint64_t i = 0; i < n; i++) {
            a[i] = rand() / (double)RAND_MAX - 0.5;
            b[i] = rand() / (double)RAND_MAX - 0.5;
            s += a[i];
            sabs += fabsl(a[i]);
            ss += (long double)a[i] * a[i];
            d += (long double)a[i] * b[i];
            dabs += fabsl((long double)a[i] * b[i]);
        }
        for (const Variant &v : variants) {
            if (!v.available) continue;
            check(v.name, "sum", n, v.k.sum(a, n), s, sabs);
            check(v.name, "sumsq", n, v.k.sumsq(a, n), ss, ss);
            check(v.name, "dot", n, v.k.dot(a, b, n), d, dabs);
        }
        free(a);
        free(b);
    }
    // The dispatcher picks the widest available variant.
    const Kernels &chosen = kernels();
    const Variant *best = nullptr;
    for (const Variant &v : variants)
        if (v.available) best = &v;
    if (chosen.sum != best->k.sum || chosen.dot != best->k.dot || chosen.sumsq != best->k.sumsq) {
        printf("dispatch did not choose %s\n", best->name);
        failures++;
    }
    if (failures == 0) printf("ok %s\n", best->name);
    return failures ? 1 : 0;
}
