// Checks every reduction kernel that this processor can run (portable,
// AVX2+FMA, AVX-512) against a long double reference, for every extent up to
// 200 and a few large ones, on arrays of exactly that extent (so that the
// address sanitizer sees any read past the end). Prints "ok <variants>" or
// the failures.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reduce.h"

using namespace zanthic::reduce;

namespace {

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
    using zanthic::isa::Level;
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
        for (int level = 0; level < zanthic::isa::kLevels; level++) {
            const Kernels *k = kVariants[level];
            if (!k || !zanthic::isa::supported(static_cast<Level>(level))) continue;
            const char *name = zanthic::isa::name(static_cast<Level>(level));
            check(name, "sum", n, k->sum(a, n), s, sabs);
            check(name, "sumsq", n, k->sumsq(a, n), ss, ss);
            check(name, "dot", n, k->dot(a, b, n), d, dabs);
        }
        free(a);
        free(b);
    }
    // Unforced, the dispatcher picks the widest variant this processor runs.
    char ran[64] = "";
    int best = 0;
    for (int level = 0; level < zanthic::isa::kLevels; level++)
        if (kVariants[level] && zanthic::isa::supported(static_cast<Level>(level))) {
            best = level;
            strcat(ran, " ");
            strcat(ran, zanthic::isa::name(static_cast<Level>(level)));
        }
    if (&kernels() != kVariants[best]) {
        printf("dispatch did not choose %s\n", zanthic::isa::name(static_cast<Level>(best)));
        failures++;
    }
    if (failures == 0) printf("ok%s\n", ran);
    return failures ? 1 : 0;
}
