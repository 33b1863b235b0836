// Checks the rotation angles against the math library's atan, cos and sin,
// then the Jacobi sweeps against the plain procedure: for each pair
// (j, k) in row order, the angle from the current W, then columns j, k of W,
// rows j, k of W and columns j, k of V. The row-by-row sweep must agree bit
// for bit over three sweeps (orders cover whole and partial blocks and the
// deferred rotation of V above 256); the sweep in groups of eight rows and
// the row-by-row sweep with algebraic angles, which round differently, must
// reach the same values and vectors when both run to convergence under the
// decomposition's stopping rule, and the sweep in groups must give the same
// bits on 2 and 3 threads as on one, streamed or pair by pair. Every instruction-set variant that the
// processor runs is checked. Prints "ok <variants>" or the failures.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "rotate.h"

using namespace zanthic;

namespace {

int failures = 0;

// The angle as the plain procedure takes it, every time through the math
// library's atan, cos and sin.
Rotation literal_rotation(double a, double b, double w) {
    const double t = 2.0 * w, diff = a - b;
    double theta;
    if (diff != 0.0 && !std::isnan(diff))
        theta = 0.5 * atan(t / diff);
    else
        theta = t >= 0.0 ? kQuarterPi : -kQuarterPi;
    return {cos(theta), sin(theta)};
}

// rotation_for skips the library calls for tiny quotients: check that it
// gives the library's bits for quotients x = t / 1 spread log-uniformly from
// 2^-1080 (subnormal) to 2^-20, both signs, plus the threshold's neighbours.
void check_rotation_identity(unsigned seed) {
    srand(seed);
    auto compare = [](double x) {
        const Rotation got = rotation_for(1.0, 0.0, 0.5 * x), want = literal_rotation(1.0, 0.0, 0.5 * x);
        if (memcmp(&got.c, &want.c, sizeof(double)) || memcmp(&got.s, &want.s, sizeof(double)))
            if (failures++ < 10)
                printf("rotation for quotient %a: (%a, %a), library (%a, %a)\n", x, got.c, got.s, want.c, want.s);
    };
    for (int i = 0; i < 200000; i++) {
        const double e = -1080.0 + 1060.0 * (rand() / static_cast<double>(RAND_MAX));
        const double x = ldexp(1.0 + rand() / static_cast<double>(RAND_MAX), static_cast<int>(e));
        compare(i % 2 ? -x : x);
    }
    double x = kTinyQuotient;
    for (int i = 0; i < 1000; i++) x = nextafter(x, 0.0);
    for (int i = 0; i < 2000; i++, x = nextafter(x, 1.0)) {
        compare(x);
        compare(-x);
    }
    for (double y : {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, 0x1p-29, 0x1p-28, 0x1p-27}) compare(y);
}

// rotation_algebraic against the library's angle: c and s within 4 ulps of
// 1 over quotients from 2^-40 to 2^40, at the branch points and at extreme
// scales, exactly the same for tiny quotients, the quarter turns and NaN.
void check_algebraic_rotation(unsigned seed) {
    srand(seed);
    auto compare = [](double a, double b, double w, double tolerance) {
        const Rotation got = rotation_algebraic(a, b, w), want = literal_rotation(a, b, w);
        const bool nan = std::isnan(want.c) || std::isnan(want.s);
        const bool close = nan ? std::isnan(got.c) && std::isnan(got.s)
                               : fabs(got.c - want.c) <= tolerance && fabs(got.s - want.s) <= tolerance;
        if (!close && failures++ < 10)
            printf("algebraic rotation for (%a, %a, %a): (%a, %a), library (%a, %a)\n", a, b, w, got.c, got.s, want.c,
                   want.s);
    };
    for (int i = 0; i < 200000; i++) {
        const double x = ldexp(1.0 + rand() / static_cast<double>(RAND_MAX), rand() % 81 - 40);
        compare(1.0, 0.0, (i % 2 ? -0.5 : 0.5) * x, 4 * 0x1p-52);
        compare(0.0, 1.0, 0.5 * x, 4 * 0x1p-52);
    }
    for (double x : {1.0, -1.0, 0x1.fffffffffffffp-1, 0x1.0000000000001p0, 0x1p-28, -0x1p-29, 0x1p1000})
        compare(1.0, 0.0, 0.5 * x, 4 * 0x1p-52);
    // The rotation depends on the ratios alone: the same at scales where the
    // squares of the entries overflow or fall below the normal range.
    for (int i = 0; i < 20000; i++) {
        const double a = rand() / static_cast<double>(RAND_MAX), b = rand() / static_cast<double>(RAND_MAX);
        const double w = rand() / static_cast<double>(RAND_MAX) - 0.5;
        for (int e : {-1060, -600, -520, 520, 600, 1000})
            compare(ldexp(a, e), ldexp(b, e), ldexp(w, e), 4 * 0x1p-52);
    }
    const double inf = INFINITY, nan = NAN;
    for (double x : {inf, -inf}) compare(1.0, 0.0, x, 4 * 0x1p-52);
    for (double x : {0x1p-40, -0x1p-30, 0.0, -0.0}) compare(1.0, 0.0, x, 0.0);
    for (double w : {1.0, -1.0, 0.0, -0.0, nan}) {
        compare(2.0, 2.0, w, 0.0);
        compare(nan, 2.0, w, 0.0);
        compare(1.0, 0.0, nan, 0.0);
    }
}

void literal_sweep(double *w, double *v, uint64_t n) {
    for (uint64_t j = 0; j + 1 < n; j++)
        for (uint64_t k = j + 1; k < n; k++) {
            const Rotation r = literal_rotation(w[j * n + j], w[k * n + k], w[j * n + k]);
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
    const uint64_t total = padded * ld + n * padded + rotate::plain_scratch_size(n) + rotate::kAlign;
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


// Sweeps until the decomposition would stop (the diagonal settles and W is
// diagonal to 1e-12 of its largest entry, 20 at most); W has row stride ld,
// V^T row stride ldv. Returns the number of sweeps.
template <class Sweep>
int converge(Sweep sweep, double *w, uint64_t ld, uint64_t n) {
    double *previous = static_cast<double *>(calloc(n + 1, sizeof(double)));
    int count = 1;
    for (;; count++) {
        sweep();
        double delta = 0.0, largest = 0.0;
        for (uint64_t j = 0; j < n; j++) {
            const double change = fabs(w[j * ld + j] - previous[j]);
            if (change > 0.001) delta += change;
            previous[j] = w[j * ld + j];
            if (w[j * ld + j] > largest) largest = w[j * ld + j];
        }
        if (count == 1) continue;
        bool diagonal = true;
        for (uint64_t i = 0; i < n; i++)
            for (uint64_t j = 0; j < n; j++) diagonal &= i == j || !(fabs(w[i * ld + j]) > 1e-12 * largest);
        if (count == 20 || (delta <= 0.001 && diagonal)) break;
    }
    free(previous);
    return count;
}

// Runs every piece at once, each on a thread of its own but the first.
bool run_on_threads(PieceFn fn, void *ctx, unsigned pieces) {
    std::thread threads[rotate::kMaxPieces];
    for (unsigned p = 1; p < pieces; p++) threads[p] = std::thread(fn, ctx, p, pieces);
    fn(ctx, 0, pieces);
    for (unsigned p = 1; p < pieces; p++) threads[p].join();
    return true;
}

// A sweep that rounds differently from the plain procedure (in groups, or
// with algebraic angles) against it, both to convergence, on the Gram
// matrix of a random dense matrix (distinct values, so that the vectors are
// determined up to rounding): same number of sweeps, the values position by
// position to 1e-12 of the largest and V to 1e-10. (The smallest values
// of these matrices lie near sqrt(eps) of the largest, where the square
// root magnifies rounding of the Gram matrix's eigenvalues: the plain
// procedure and a reordered one differ there by up to about 1e-13.)
// step(w, ld, vt, ldv, scratch, n) makes one sweep.
template <class Step>
void check_blocked(const char *variant, const char *kind, uint64_t n, unsigned seed, Step step) {
    const uint64_t padded = rotate::round_up(n), ld = rotate::row_stride(n);
    const uint64_t scratch_size = rotate::groups_scratch_size(n) > rotate::sweep_scratch_size(n)
                                      ? rotate::groups_scratch_size(n)
                                      : rotate::sweep_scratch_size(n);
    const uint64_t total = padded * ld + n * padded + scratch_size + rotate::kAlign;
    double *buffer = static_cast<double *>(calloc(total, sizeof(double)));
    double *w = rotate::align(buffer), *vt = w + padded * ld, *scratch = vt + n * padded;
    double *lw = static_cast<double *>(calloc(n * n + 1, sizeof(double)));
    double *lv = static_cast<double *>(calloc(n * n + 1, sizeof(double)));
    double *a = static_cast<double *>(malloc((n * n + 1) * sizeof(double)));
    srand(seed);
    for (uint64_t i = 0; i < n * n; i++) a[i] = rand() / static_cast<double>(RAND_MAX) - 0.5;
    for (uint64_t i = 0; i < n; i++)
        for (uint64_t j = 0; j < n; j++) {
            double s = 0.0;
            for (uint64_t t = 0; t < n; t++) s += a[t * n + i] * a[t * n + j];
            w[i * ld + j] = lw[i * n + j] = s;
        }
    for (uint64_t i = 0; i < n; i++) vt[i * padded + i] = lv[i * n + i] = 1.0;
    const int sweeps = converge([&] { step(w, ld, vt, padded, scratch, n); }, w, ld, n);
    const int literal = converge([&] { literal_sweep(lw, lv, n); }, lw, n, n);
    double largest = 0.0, ds = 0.0, dv = 0.0;
    for (uint64_t j = 0; j < n; j++) {
        largest = fmax(largest, lw[j * n + j]);
        ds = fmax(ds, fabs(sqrt(fmax(w[j * ld + j], 0.0)) - sqrt(fmax(lw[j * n + j], 0.0))));
        for (uint64_t i = 0; i < n; i++) dv = fmax(dv, fabs(vt[j * padded + i] - lv[i * n + j]));
    }
    if (sweeps != literal || !(ds <= 1e-12 * sqrt(largest)) || !(dv <= 1e-10)) {
        if (failures++ < 10)
            printf("%s %s n %lu: %d sweeps (plain %d), values off by %.1e of the largest, V by %.1e\n", variant,
                   kind, (unsigned long)n, sweeps, literal, ds / sqrt(largest), dv);
    }
    free(a);
    free(lv);
    free(lw);
    free(buffer);
}

// One sweep in groups: pair by pair (streamed false) or streamed.
void sweep_in_groups(const rotate::Kernels &kernels, bool streamed, double *w, uint64_t ld, double *vt, uint64_t ldv,
                     void *scratch, uint64_t n, rotate::Threads &threads) {
    if (streamed)
        rotate::sweep_streamed(kernels.stream, w, ld, vt, ldv, scratch, n, threads);
    else
        rotate::sweep_groups(kernels.group, kernels.vt, w, ld, vt, ldv, scratch, n, threads);
}

// Three sweeps in groups on 1, 2 and 3 threads from the same Gram matrix
// (orders with partial groups among them): the same bits.
void check_threads(const char *variant, const rotate::Kernels &kernels, bool streamed, uint64_t n, unsigned seed) {
    const uint64_t padded = rotate::round_up(n), ld = rotate::row_stride(n);
    const uint64_t size = padded * ld + n * padded, total = size + rotate::groups_scratch_size(n) + rotate::kAlign;
    double *result[3];
    double *a = static_cast<double *>(malloc((n * n + 1) * sizeof(double)));
    srand(seed);
    for (uint64_t i = 0; i < n * n; i++) a[i] = rand() / static_cast<double>(RAND_MAX) - 0.5;
    for (unsigned pieces = 1; pieces <= 3; pieces++) {
        double *buffer = result[pieces - 1] = static_cast<double *>(calloc(total, sizeof(double)));
        double *w = rotate::align(buffer), *vt = w + padded * ld, *scratch = vt + n * padded;
        for (uint64_t i = 0; i < n; i++)
            for (uint64_t j = 0; j < n; j++) {
                double s = 0.0;
                for (uint64_t t = 0; t < n; t++) s += a[t * n + i] * a[t * n + j];
                w[i * ld + j] = s;
            }
        for (uint64_t i = 0; i < n; i++) vt[i * padded + i] = 1.0;
        // Timings that find the threads faster, at first at least.
        rotate::Threads threads = {pieces, run_on_threads, {1.0, 1e-300}, 1000, 1000};
        for (int sweep = 0; sweep < 3; sweep++)
            sweep_in_groups(kernels, streamed, w, ld, vt, padded, scratch, n, threads);
        if (pieces > 1 && memcmp(rotate::align(result[0]), w, size * sizeof(double)) && failures++ < 10)
            printf("%s %s n %lu: %u threads give other bits than one\n", variant, streamed ? "streamed" : "blocked",
                   (unsigned long)n, pieces);
    }
    for (double *r : result) free(r);
    free(a);
}

}  // namespace

int main() {
    char ran[64] = "";
    check_rotation_identity(7);
    check_algebraic_rotation(8);
    for (int level = 0; level < isa::kLevels; level++) {
        const isa::Level l = static_cast<isa::Level>(level);
        if (!rotate::kVariants[level] || !isa::supported(l)) continue;
        unsigned seed = 1;
        for (uint64_t n : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 24, 31, 40, 257, 270})
            check(isa::name(l), rotate::kVariants[level]->sweep, n, seed++);
        for (uint64_t n : {9, 17, 40}) check(isa::name(l), rotate::kVariants[level]->sweep, n, seed++, 0x1p-80);
        for (uint64_t n : {2, 8, 9, 16, 23, 61, 137})
            check_blocked(isa::name(l), "blocked", n, seed++, [&](double *w, uint64_t ld, double *vt, uint64_t ldv,
                                                                   double *scratch, uint64_t order) {
                rotate::Threads one = {1, nullptr, {0.0, 0.0}, 0, 0};
                rotate::sweep_groups(rotate::kVariants[level]->group, rotate::kVariants[level]->vt, w, ld, vt, ldv,
                                     scratch, order, one);
            });
        for (uint64_t n : {2, 8, 9, 10, 16, 17, 40, 64, 101, 127})
            check_blocked(isa::name(l), "algebraic", n, seed++, rotate::kVariants[level]->sweep_algebraic);
        for (uint64_t n : {2, 8, 9, 16, 23, 61})
            check_blocked(isa::name(l), "streamed", n, seed++, [&](double *w, uint64_t ld, double *vt, uint64_t ldv,
                                                                    double *scratch, uint64_t order) {
                rotate::Threads one = {1, nullptr, {0.0, 0.0}, 0, 0};
                rotate::sweep_streamed(rotate::kVariants[level]->stream, w, ld, vt, ldv, scratch, order, one);
            });
        for (bool streamed : {false, true})
            for (uint64_t n : {24, 61, 72, 137})
                check_threads(isa::name(l), *rotate::kVariants[level], streamed, n, seed++);
        strcat(ran, " ");
        strcat(ran, isa::name(l));
    }
    if (failures) return 1;
    printf("ok%s\n", ran);
    return 0;
}
