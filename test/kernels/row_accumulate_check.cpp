// Checks every row-combination and residual kernel that this processor can
// run (portable, AVX2+FMA, AVX-512) against a long double reference, over
// source counts around the block sizes, widths around the register strips
// and masked tails, and row counts crossing the cache chunks. Every array is allocated at exactly its size, so
// that the address sanitizer sees any access past the end. The kernels' unit
// is compiled into this program whole, to reach each variant. Prints
// "ok <variants>" or the failures.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "row_accumulate.cpp"

using namespace zanthic;

namespace {

int failures = 0;

double *array(uint64_t n) { return static_cast<double *>(malloc(n ? n * sizeof(double) : 1)); }

double *random_array(uint64_t n) {
    double *a = array(n);
    for (uint64_t i = 0; i < n; i++) a[i] = rand() / static_cast<double>(RAND_MAX) - 0.5;
    return a;
}

// Any order of summation errs by at most about n ulps of the sum of
// magnitudes; allow twice that.
bool close(double got, long double want, long double magnitude, uint64_t n) {
    return fabsl(static_cast<long double>(got) - want) <= 2.0L * (n + 2) * 1.1102230246251565e-16L * magnitude;
}

void fail(const char *what, const char *variant, uint64_t count, uint64_t n, uint64_t width, double got,
          long double want) {
    if (failures++ < 20)
        printf("%s %s count=%llu n=%llu width=%llu: got %.17g want %.17Lg\n", what, variant,
               (unsigned long long)count, (unsigned long long)n, (unsigned long long)width, got, want);
}

// count separate sources of n values through an n x width w, into outputs
// that start non-zero (the kernels accumulate).
void check_rows(const Kernels &kern, const char *variant, uint64_t count, uint64_t n, uint64_t width) {
    double *w = random_array(n * width);
    double **src = static_cast<double **>(malloc((count ? count : 1) * sizeof(double *)));
    double **out = static_cast<double **>(malloc((count ? count : 1) * sizeof(double *)));
    double **start = static_cast<double **>(malloc((count ? count : 1) * sizeof(double *)));
    for (uint64_t b = 0; b < count; b++) {
        src[b] = random_array(n);
        out[b] = random_array(width);
        start[b] = array(width);
        for (uint64_t j = 0; j < width; j++) start[b][j] = out[b][j];
    }
    accumulate(
        kern, count, w, width, n, width, [src](uint64_t b) -> const double * { return src[b]; },
        [out](uint64_t b) { return out[b]; });
    for (uint64_t b = 0; b < count; b++)
        for (uint64_t j = 0; j < width; j++) {
            long double want = start[b][j], magnitude = fabsl(want);
            for (uint64_t t = 0; t < n; t++) {
                const long double term = static_cast<long double>(src[b][t]) * w[t * width + j];
                want += term;
                magnitude += fabsl(term);
            }
            if (!close(out[b][j], want, magnitude, n)) fail("rows", variant, count, n, width, out[b][j], want);
        }
    for (uint64_t b = 0; b < count; b++) {
        free(src[b]);
        free(out[b]);
        free(start[b]);
    }
    free(src);
    free(out);
    free(start);
    free(w);
}

void check_residual(const Kernels &kern, const char *variant, uint64_t rows, uint64_t cols) {
    double *u = random_array(rows * cols), *p = random_array(cols), *c = random_array(rows), *r = array(rows);
    const double ss = residual(kern, u, rows, cols, p, c, r);
    long double want_ss = 0.0L, ss_magnitude = 0.0L;
    for (uint64_t i = 0; i < rows; i++) {
        long double want = c[i], magnitude = fabsl(want);
        for (uint64_t j = 0; j < cols; j++) {
            const long double term = static_cast<long double>(u[i * cols + j]) * p[j];
            want -= term;
            magnitude += fabsl(term);
        }
        if (!close(r[i], want, magnitude, cols)) fail("residual", variant, rows, cols, 0, r[i], want);
        want_ss += static_cast<long double>(r[i]) * r[i];
        ss_magnitude += static_cast<long double>(r[i]) * r[i];
    }
    if (!close(ss, want_ss, ss_magnitude, rows)) fail("residual norm", variant, rows, cols, 0, ss, want_ss);
    free(u);
    free(p);
    free(c);
    free(r);
}

}  // namespace

int main() {
    const uint64_t counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17};
    const uint64_t rows[] = {0, 1, 3, 8, 33};
    char ran[64] = "";
    for (int level = 0; level < isa::kLevels; level++) {
        if (!kVariants[level] || !isa::supported(static_cast<isa::Level>(level))) continue;
        const struct {
            const char *name;
            const Kernels &kernels;
        } v = {isa::name(static_cast<isa::Level>(level)), *kVariants[level]};
        for (uint64_t count : counts)
            for (uint64_t n : rows)
                for (uint64_t width = 0; width <= 53; width++) check_rows(v.kernels, v.name, count, n, width);
        // Row counts crossing the cache chunks (at least 64 rows per chunk,
        // 327 for a width of 100).
        check_rows(v.kernels, v.name, 9, 700, 100);
        check_rows(v.kernels, v.name, 3, 200, 1);
        check_rows(v.kernels, v.name, 11, 5000, 3);
        for (uint64_t r : {uint64_t{0}, uint64_t{1}, uint64_t{5}})
            for (uint64_t cols = 0; cols <= 41; cols++) check_residual(v.kernels, v.name, r, cols);
        strcat(ran, " ");
        strcat(ran, v.name);
    }
    // Unforced, the dispatcher picks the widest variant this processor runs.
    int best = 0;
    for (int level = 0; level < isa::kLevels; level++)
        if (kVariants[level] && isa::supported(static_cast<isa::Level>(level))) best = level;
    if (&kernels() != kVariants[best]) {
        printf("dispatch did not choose %s\n", isa::name(static_cast<isa::Level>(best)));
        failures++;
    }
    if (failures) {
        printf("%d failures\n", failures);
        return 1;
    }
    printf("ok%s\n", ran);
    return 0;
}
