// Checks the blocked Jacobi sweep against the plain procedure, bit for bit:
// for each pair (j, k) in row order, the angle from the current W, then
// columns j, k of W, rows j, k of W and columns j, k of V. Orders cover
// whole and partial blocks and the deferred rotation of V above 256. Every
// instruction-set variant of the sweep that the processor runs is checked.
// Prints "ok <variants>" or the failures.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rotate.h"

using namespace zanthic;

namespace {

int failures = 0;

void literal_sweep(double *w, double *v, uint64_t n) {
    for (uint64_t j = 0; j + 1 < n; j++)
        for (uint64_t k = j + 1; k < n; k++) {
            const Rotation r = rotation_for(w[j * n + j], w[k * n + k], w[j * n + k]);
            for (uint64_t l = 0; l < n; l++) {
                const double x = w[l * n + j], y = w[l * n + k];
                w[l * n + j] = r.c * x + r.s * y;
                w[l * n + k] = r.c * y - r.s * x;
            }
            for (uint64_t l = 0; l < n; l++) {
                const double x = w[j * n + l], y = w[k * n + l];
                w[j * n + l] = r.c * x + r.s * y;
                w[k * n + l] = r.c * y - r.s * x;
            }
            for (uint64_t l = 0; l < n; l++) {
                const double x = v[l * n + j], y = v[l * n + k];
                v[l * n + j] = r.c * x + r.s * y;
                v[l * n + k] = r.c * y - r.s * x;
            }
        }
}

// scale: a power of two that multiplies the Gram matrix exactly; tiny
// scales make diagonal differences far below 1, where the angle must still
// come from the quotient and not from a quarter turn.
void check(const char *variant, rotate::SweepFn run, uint64_t n, unsigned seed, double scale = 1.0) {
    const uint64_t padded = rotate::round_up(n), ld = rotate::row_stride(n);
    const uint64_t total = padded * ld + n * padded + rotate::sweep_scratch_size(n) + rotate::kAlign;
    double *buffer = static_cast<double *>(calloc(total, sizeof(double)));
    double *w = rotate::align(buffer), *vt = w + padded * ld, *scratch = vt + n * padded;
    double *lw = static_cast<double *>(calloc(n * n + 1, sizeof(double)));
    double *lv = static_cast<double *>(calloc(n * n + 1, sizeof(double)));
    // A Gram matrix of small integers: exact, symmetric, not diagonal.
    srand(seed);
    double *a = static_cast<double *>(malloc((n * n + 1) * sizeof(double)));
    for (uint64_t i = 0; i < n * n; i++) a[i] = rand() % 7 - 3;
    for (uint64_t i = 0; i < n; i++)
        for (uint64_t j = 0; j < n; j++) {
            double s = 0.0;
            for (uint64_t t = 0; t < n; t++) s += a[t * n + i] * a[t * n + j];
            w[i * ld + j] = lw[i * n + j] = s * scale;
        }
    for (uint64_t i = 0; i < n; i++) vt[i * padded + i] = lv[i * n + i] = 1.0;
    for (int sweep = 1; sweep <= 3; sweep++) {
        run(w, ld, vt, padded, scratch, n);
        literal_sweep(lw, lv, n);
        for (uint64_t i = 0; i < n; i++)
            for (uint64_t j = 0; j < n; j++) {
                if (memcmp(&w[i * ld + j], &lw[i * n + j], sizeof(double)) ||
                    memcmp(&vt[j * padded + i], &lv[i * n + j], sizeof(double))) {
                    if (failures++ < 10)
                        printf("%s n %lu sweep %d: W or V differs at %lu,%lu\n", variant, n, sweep, i, j);
                    i = n;
                    break;
                }
            }
    }
    free(a);
    free(lv);
    free(lw);
    free(buffer);
}

}  // namespace

int main() {
    char ran[64] = "";
    for (int level = 0; level < isa::kLevels; level++) {
        const isa::Level l = static_cast<isa::Level>(level);
        if (!rotate::kVariants[level] || !isa::supported(l)) continue;
        unsigned seed = 1;
        for (uint64_t n : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 24, 31, 40, 257, 270})
            check(isa::name(l), rotate::kVariants[level]->sweep, n, seed++);
        for (uint64_t n : {9, 17, 40}) check(isa::name(l), rotate::kVariants[level]->sweep, n, seed++, 0x1p-80);
        strcat(ran, " ");
        strcat(ran, isa::name(l));
    }
    if (failures) return 1;
    printf("ok%s\n", ran);
    return 0;
}
