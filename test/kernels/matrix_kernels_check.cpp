// Checks every product, matrix-vector and transpose kernel that this processor can run
// (portable, AVX2+FMA, AVX-512) against a long double reference, over thin,
// empty, tile-sized and odd shapes and ones crossing the block sizes, on
// arrays of exactly their size (so that the address sanitizer sees any
// access past the end). The kernels' units are compiled into this program
// whole, to reach each variant. Prints "ok <variants>" or the failures.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gemm.cpp"
#include "gemv.cpp"
#include "transpose.cpp"

namespace {

int failures = 0;

double *array(uint64_t n) { return static_cast<double *>(malloc(n ? n * sizeof(double) : 1)); }

double *random_array(uint64_t n) {
    double *a = array(n);
    for (uint64_t i = 0; i < n; i++) a[i] = rand() / static_cast<double>(RAND_MAX) - 0.5;
    return a;
}

void fail(const char *what, const char *variant, uint64_t m, uint64_t n, uint64_t k, double got, long double want) {
    if (failures++ < 20)
        printf("%s %s %llux%llux%llu: got %.17g want %.17Lg\n", what, variant, (unsigned long long)m,
               (unsigned long long)n, (unsigned long long)k, got, want);
}

// c = a * b for one variant, against the reference; any summation order
// errs by at most about k ulps of the sum of magnitudes, allow twice that.
void check_products(const char *name, const zanthic::Kernels &kern, uint64_t m, uint64_t n, uint64_t k) {
    double *a = random_array(m * k), *b = random_array(k * n), *c = array(m * n);
    for (uint64_t i = 0; i < m * n; i++) c[i] = NAN;  // every element must be written
    zanthic::gemm_with(kern, m, n, k, a, b, c);
    for (uint64_t i = 0; i < m; i++)
        for (uint64_t j = 0; j < n; j++) {
            long double s = 0, mag = 0;
            for (uint64_t p = 0; p < k; p++) {
                s += static_cast<long double>(a[i * k + p]) * b[p * n + j];
                mag += fabsl(static_cast<long double>(a[i * k + p]) * b[p * n + j]);
            }
            if (!(fabsl(c[i * n + j] - s) <= 2.0L * (k + 1) * 1.1102230246251565e-16L * mag))
                fail("gemm", name, m, n, k, c[i * n + j], s);
        }
    free(a);
    free(b);
    free(c);
}

// A block of a larger product, computed on its own through the strided
// driver (as the threads split a product), must equal the same elements of
// the whole product bit for bit, and leave every element outside it alone.
void check_block(const char *name, const zanthic::Kernels &kern, uint64_t m, uint64_t n, uint64_t k, uint64_t i0,
                 uint64_t rows, uint64_t j0, uint64_t cols) {
    double *a = random_array(m * k), *b = random_array(k * n), *whole = array(m * n), *part = array(m * n);
    zanthic::gemm_with(kern, m, n, k, a, b, whole);
    for (uint64_t i = 0; i < m * n; i++) part[i] = NAN;
    zanthic::gemm_blocked(kern, rows, cols, k, a + i0 * k, k, b + j0, n, part + i0 * n + j0, n);
    for (uint64_t i = 0; i < m; i++)
        for (uint64_t j = 0; j < n; j++) {
            const bool inside = i >= i0 && i < i0 + rows && j >= j0 && j < j0 + cols;
            const double want = inside ? whole[i * n + j] : NAN;
            if (memcmp(&part[i * n + j], &want, sizeof want) != 0 && !(std::isnan(want) && std::isnan(part[i * n + j])))
                fail("gemm block", name, m, n, k, part[i * n + j], want);
        }
    free(a);
    free(b);
    free(whole);
    free(part);
}

// c = [a | e] * b with the last column of the left factor held apart, for
// a block of rows [i0, i0 + rows) of a larger product: within the reference
// bound, and, where the variant's multiply-adds are explicit (exact), bit
// for bit the product of the stacked [a | e].
void check_extended(const char *name, const zanthic::Kernels &kern, bool exact, uint64_t m, uint64_t n, uint64_t k,
                    uint64_t i0, uint64_t rows) {
    double *a = random_array(m * k), *e = random_array(m), *b = random_array((k + 1) * n);
    double *ae = array(m * (k + 1)), *whole = array(m * n), *part = array(m * n);
    for (uint64_t i = 0; i < m; i++) {
        if (k) memcpy(ae + i * (k + 1), a + i * k, k * sizeof(double));
        ae[i * (k + 1) + k] = e[i];
    }
    zanthic::gemm_with(kern, m, n, k + 1, ae, b, whole);
    for (uint64_t i = 0; i < m * n; i++) part[i] = NAN;
    zanthic::gemm_blocked(kern, rows, n, k, a + i0 * k, k, b, n, part + i0 * n, n, e + i0, b + k * n);
    for (uint64_t i = i0; i < i0 + rows; i++)
        for (uint64_t j = 0; j < n; j++) {
            long double s = 0, mag = 0;
            for (uint64_t p = 0; p <= k; p++) {
                s += static_cast<long double>(ae[i * (k + 1) + p]) * b[p * n + j];
                mag += fabsl(static_cast<long double>(ae[i * (k + 1) + p]) * b[p * n + j]);
            }
            const double got = part[i * n + j];
            if (!(fabsl(got - s) <= 2.0L * (k + 2) * 1.1102230246251565e-16L * mag) ||
                (exact && memcmp(&got, &whole[i * n + j], sizeof got) != 0))
                fail("gemm extended", name, m, n, k, got, s);
        }
    for (uint64_t i = 0; i < m * n; i++)
        if ((i < i0 * n || i >= (i0 + rows) * n) && !std::isnan(part[i])) fail("gemm extended outside", name, m, n, k, part[i], NAN);
    free(a);
    free(e);
    free(b);
    free(ae);
    free(whole);
    free(part);
}

// y = a * x for one variant over m x n, against the reference, and each
// row's value the same bits whichever rows it shares a pass with: the
// product of rows [r, m) alone, for every offset r, must reproduce them
// (that is what makes results independent of how rows are split across
// threads).
void check_gemv(const char *name, zanthic::GemvFn gemv, uint64_t m, uint64_t n) {
    double *a = random_array(m * n), *x = random_array(n), *y = array(m);
    for (uint64_t i = 0; i < m; i++) y[i] = NAN;
    zanthic::gemv_with(gemv, m, n, a, x, y);
    for (uint64_t i = 0; i < m; i++) {
        long double s = 0, mag = 0;
        for (uint64_t p = 0; p < n; p++) {
            s += static_cast<long double>(a[i * n + p]) * x[p];
            mag += fabsl(static_cast<long double>(a[i * n + p]) * x[p]);
        }
        if (!(fabsl(y[i] - s) <= 2.0L * (n + 1) * 1.1102230246251565e-16L * mag)) fail("gemv", name, m, n, 1, y[i], s);
    }
    for (uint64_t r = 1; r < m; r++) {
        double *part = array(m - r);
        zanthic::gemv_with(gemv, m - r, n, a + r * n, x, part);
        if (memcmp(part, y + r, (m - r) * sizeof(double)) != 0) fail("gemv grouping", name, m, n, r, part[0], y[r]);
        free(part);
    }
    free(a);
    free(x);
    free(y);
}

void check_transpose(const char *name, zanthic::TransposeFn fn, uint64_t r, uint64_t c) {
    double *src = random_array(r * c), *dst = array(r * c);
    zanthic::transpose_with(fn, r, c, src, dst);
    for (uint64_t i = 0; i < r; i++)
        for (uint64_t j = 0; j < c; j++)
            if (dst[j * r + i] != src[i * c + j]) fail("transpose", name, r, c, 0, dst[j * r + i], src[i * c + j]);
    free(src);
    free(dst);
}

// With a stop already requested, the product and the transpose give up
// before writing anything, at every size (the caller discards the result).
void check_stopped(const char *name, const zanthic::Kernels &kern, zanthic::TransposeFn fn) {
    zanthic::StopFlag stop;
    stop.requested.store(true);
    stop.grace_end = 0;
    zanthic::set_current_stop_flag(&stop);
    const uint64_t m = 300, n = 1000;
    double *a = random_array(m * n), *c = array(m * n);
    for (uint64_t i = 0; i < m * n; i++) c[i] = NAN;
    zanthic::gemm_with(kern, m, m, n, a, a, c);
    zanthic::transpose_with(fn, m, n, a, c);
    for (uint64_t i = 0; i < m * n; i++)
        if (!std::isnan(c[i])) {
            fail("stopped product or transpose", name, m, n, i, c[i], NAN);
            break;
        }
    zanthic::set_current_stop_flag(nullptr);
    free(a);
    free(c);
}

}  // namespace

int main() {
    using zanthic::isa::Level;
    auto runs = [](int level) { return zanthic::isa::supported(static_cast<Level>(level)); };
    auto name = [](int level) { return zanthic::isa::name(static_cast<Level>(level)); };
    // Extents around every tile and block size: 1-9 (tiles of 4, 6, 8 rows
    // and 4, 8, 24 columns), 23-25, 359-361 (one and two row blocks),
    // 255-257 and 513 (one, two and three inner blocks), plus random shapes.
    const uint64_t extents[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 23, 24, 25, 48, 121, 257, 359, 361};
    const uint64_t depths[] = {0, 1, 3, 8, 255, 257, 513, 600};
    // Matrix-vector shapes around the passes of 8 rows and the vectors of 4
    // and 8 columns.
    const uint64_t gemv_extents[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33, 100};
    // Transpose shapes around the 4 x 4 and 8 x 8 blocks, the strips of 16
    // rows, the portable tiles of 32 and its switch to tiles past 128 columns.
    const uint64_t tr_rows[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 75};
    const uint64_t tr_cols[] = {1, 3, 4, 5, 8, 9, 16, 40, 65, 128, 129, 130};
    srand(2024);
    char ran[64] = "";
    int best_product = 0, best_gemv = 0, best_transpose = 0;
    for (int level = 0; level < zanthic::isa::kLevels; level++) {
        if (!runs(level)) continue;
        strcat(ran, " ");
        strcat(ran, name(level));
        const zanthic::GemvFn gemv = zanthic::kGemvVariants[level] ? *zanthic::kGemvVariants[level] : nullptr;
        if (const zanthic::Kernels *kern = zanthic::kVariants[level]) {
            best_product = level;
            for (uint64_t m : extents)
                for (uint64_t n : extents)
                    for (uint64_t k : depths) {
                        if (m * n * k > 3000000) continue;
                        check_products(name(level), *kern, m, n, k);
                    }
            for (int t = 0; t < 40; t++) check_products(name(level), *kern, rand() % 130, rand() % 70, rand() % 300);
            check_products(name(level), *kern, 239, 50, 40);
            // Blocks at odd offsets, straddling tiles, strips and row blocks.
            check_block(name(level), *kern, 500, 130, 300, 0, 240, 24, 48);
            check_block(name(level), *kern, 500, 130, 300, 241, 259, 0, 130);
            for (int t = 0; t < 10; t++) {
                const uint64_t m = 1 + rand() % 300, n = 2 + rand() % 80, k = 1 + rand() % 600;
                const uint64_t i0 = rand() % m, j0 = rand() % n;
                check_block(name(level), *kern, m, n, k, i0, 1 + rand() % (m - i0), j0, 1 + rand() % (n - j0));
            }
            // The extended product: no inner dimension, one block and a
            // partial tile, across inner blocks, and random blocks of rows.
            check_extended(name(level), *kern, level > 0, 9, 25, 0, 0, 9);
            check_extended(name(level), *kern, level > 0, 37, 101, 100, 5, 30);
            check_extended(name(level), *kern, level > 0, 20, 30, 256, 0, 20);
            for (int t = 0; t < 10; t++) {
                const uint64_t m = 1 + rand() % 300, n = 1 + rand() % 80, k = rand() % 600, i0 = rand() % m;
                check_extended(name(level), *kern, level > 0, m, n, k, i0, 1 + rand() % (m - i0));
            }
        }
        if (gemv) {
            best_gemv = level;
            for (uint64_t m : gemv_extents)
                for (uint64_t n : gemv_extents) check_gemv(name(level), gemv, m, n);
        }
        if (const zanthic::TransposeFn *fn = zanthic::kTransposeVariants[level]) {
            best_transpose = level;
            for (uint64_t r : tr_rows)
                for (uint64_t c : tr_cols) check_transpose(name(level), *fn, r, c);
            // Several bands of rows: wide, narrow, and a last band shorter
            // than a strip.
            check_transpose(name(level), *fn, 300, 1000);
            check_transpose(name(level), *fn, 8200, 33);
            check_transpose(name(level), *fn, 15397, 17);
            if (const zanthic::Kernels *kern = zanthic::kVariants[level]) check_stopped(name(level), *kern, *fn);
        }
    }
    // Unforced, the dispatchers pick the widest variant this processor runs.
    if (zanthic::kernels() != zanthic::kVariants[best_product]) {
        printf("product dispatch did not choose the widest variant\n");
        failures++;
    }
    if (zanthic::chosen_gemv() != *zanthic::kGemvVariants[best_gemv]) {
        printf("matrix-vector dispatch did not choose the widest variant\n");
        failures++;
    }
    if (zanthic::chosen_kernel() != *zanthic::kTransposeVariants[best_transpose]) {
        printf("transpose dispatch did not choose the widest variant\n");
        failures++;
    }
    if (failures == 0) printf("ok%s\n", ran);
    return failures ? 1 : 0;
}
