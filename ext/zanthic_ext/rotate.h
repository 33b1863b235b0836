// Jacobi sweeps for svd.cpp: the rotation angle and one cyclic sweep over the
// working matrix W and the transposed rotation accumulator V^T.
//
// Every update is x' = c*x + s*y, y' = c*y - s*x, rounded after each
// multiplication (the build does not contract to fused multiply-adds: the
// documented quarter turn of the identity depends on the residues keeping
// their sign). The sweep below performs exactly the updates of the plain
// procedure, with the same operands, so its results are bit for bit those
// of rotating columns j, k of W, then rows j, k of W, then columns j, k of V
// for each pair in row order. Only the order in which independent elements
// are visited differs.
//
// Why it can be reordered. For a fixed j, the rotations (j, k0) ... (j, k1)
// of a block of columns touch rows and columns of J = {j, k0..k1} only:
//   - the entries in J x J depend on each other (and give the angles), so
//     they are gathered into a small core and rotated in the plain order;
//   - an entry W[l][k], l outside J, is changed only by the column passes,
//     as the chain (W[l][j], W[l][k0]), (W[l][j], W[l][k0+1]), ...: each
//     row l is independent, so eight rows at a time are transposed into
//     registers and rotated together;
//   - an entry W[j][l] or W[k][l], l outside J, is changed only by the row
//     passes, a chain along column l; rows are contiguous, so this streams;
//   - the columns of V are rows of V^T and stream the same way, or, for
//     large n, take every rotation of the sweep afterwards (below).
// Column j of W is kept in a contiguous buffer during the j-loop and
// written back at its end. The streaming passes run over whole padded rows,
// J included; what they leave in J x J (and in the padding) is overwritten
// by the core or never read.
#ifndef ZANTHIC_ROTATE_H
#define ZANTHIC_ROTATE_H

#include <sched.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdint>

#include "isa.h"
#include "nogvl.h"
#include "workers.h"

namespace zanthic {

constexpr double kQuarterPi = 0.7853981633974483;

struct Rotation {
    double c, s;
};

// The rotation that annihilates W[j][k], from a = W[j][j], b = W[k][k] and
// w = W[j][k]: theta = atan(2w / (a - b)) / 2, which tends to +-pi/4 by
// itself as a - b shrinks (t / diff overflowing to +-Infinity gives
// exactly that). Only a difference that is exactly zero, of either sign,
// or NaN has no quotient; it takes the quarter turn, whose sign follows
// the off-diagonal entry (a NaN w turns by -pi/4). Any cut-off on |a - b|
// above zero would be wrong for some scale: a quarter turn does not
// annihilate a pair whose diagonal entries merely lie close together, so
// matrices of small entries, or with nearly equal eigenvalues, would
// never converge.
//
// Tiny angles, the bulk of the later sweeps, skip the three library calls.
// For x = t / (a - b) with |x| < kTinyQuotient = 2^-28, the relative
// distances of atan(x) = x (1 - x^2/3 + ...), cos(x/2) = 1 - x^2/8 + ...
// and sin(x/2) = (x/2)(1 - x^2/24 + ...) from x, 1 and x/2 are below
// 2^-57, against half an ulp, which is at least 2^-54 of any double (the
// gap just below a power of two included). A correctly rounded math
// library therefore returns exactly x, 1.0 and x/2, and theta = 0.5 * x is
// the same product either way: the rotation is bit for bit the one the
// calls give. The tests check the identity against the platform's library
// (which need not round correctly) on every platform they run on.
constexpr double kTinyQuotient = 0x1p-28;

inline Rotation rotation_for(double a, double b, double w) {
    const double t = 2.0 * w;
    const double diff = a - b;
    double theta;
    if (diff != 0.0 && !std::isnan(diff)) {
        const double x = t / diff;
        if (std::fabs(x) < kTinyQuotient) return {1.0, 0.5 * x};
        theta = 0.5 * std::atan(x);
    } else {
        theta = t >= 0.0 ? kQuarterPi : -kQuarterPi;
    }
    return {std::cos(theta), std::sin(theta)};
}

// The same rotation without atan, cos and sin, in a form whose chain of
// dependent operations is short (the angles of a sweep form one such chain,
// each waiting for the last): with d = a - b and t = 2w, so that
// tan(2 theta) = t / d, and r = sqrt(d^2 + t^2),
//   cos(2 theta) = |d| / r,  c = sqrt((1 + cos 2theta) / 2) = e / q,
//   s = sign(d) t / q,       e = r + |d|,  q = sqrt(2 r e) = sqrt(e^2 + t^2),
// two square roots and one division in a row, without the cancellation of
// 1 - cos. It differs from rotation_for only by rounding (a few ulps in c
// and s), so a decomposition that need not agree bit for bit with the plain
// procedure may take it. Tiny quotients (tested as |t| < 2^-28 |d|, without
// waiting for the division), the quarter turns and NaN are as in
// rotation_for. Where d^2 + t^2 would overflow or lose precision below the
// normal range, the tangent is taken from the quotient instead.
constexpr double kSquaresLow = 0x1p-1000, kSquaresHigh = 0x1p1000;
inline Rotation rotation_algebraic(double a, double b, double w) {
    const double t = 2.0 * w;
    const double diff = a - b;
    if (diff != 0.0 && !std::isnan(diff)) {
        const double ad = std::fabs(diff);
        if (std::fabs(t) < kTinyQuotient * ad) return {1.0, 0.5 * (t / diff)};
        const double squares = diff * diff + t * t;
        if (squares >= kSquaresLow && squares <= kSquaresHigh) {
            const double r = std::sqrt(squares);
            const double e = r + ad;
            const double inverse = 1.0 / std::sqrt(2.0 * r * e);
            return {e * inverse, (diff < 0.0 ? -t : t) * inverse};
        }
        // x = tan(2 theta); tan(theta) = x / (1 + sqrt(1 + x^2)), taken as
        // 1 / (1/x + sign(x) sqrt(1 + 1/x^2)) for |x| > 1 so that nothing
        // overflows (x = +-Infinity gives the quarter turn, to rounding).
        const double x = t / diff;
        double tangent;
        if (std::fabs(x) <= 1.0) {
            tangent = x / (1.0 + std::sqrt(1.0 + x * x));
        } else {
            const double inverse = 1.0 / x;
            tangent = 1.0 / (inverse + std::copysign(std::sqrt(1.0 + inverse * inverse), x));
        }
        const double c = 1.0 / std::sqrt(1.0 + tangent * tangent);
        return {c, c * tangent};
    }
    const double theta = t >= 0.0 ? kQuarterPi : -kQuarterPi;
    return {std::cos(theta), std::sin(theta)};
}

// The two ways to the angle, as types for the sweep templates.
struct LibraryAngle {
    static inline Rotation of(double a, double b, double w) { return rotation_for(a, b, w); }
};
struct AlgebraicAngle {
    static inline Rotation of(double a, double b, double w) { return rotation_algebraic(a, b, w); }
};

namespace rotate {

// Vector width in doubles, and the number of rotations batched per block.
constexpr uint64_t kLanes = 8;

// Padded storage: W has round_up(n) rows of round_up(n) doubles, so that
// every aligned tile of eight rows and eight columns can be loaded; V^T has
// n rows of round_up(n) doubles. Both start on a cache line (kAlign
// doubles), which with these strides aligns every row.
constexpr uint64_t kAlign = 8;
inline uint64_t round_up(uint64_t n) { return (n + kLanes - 1) / kLanes * kLanes; }
inline uint64_t row_stride(uint64_t n) { return round_up(n); }
// While W and V^T fit in a core's L2 cache together, V^T is rotated block by
// block like W's rows; above that, streaming V^T for every block costs more
// than recording the sweep's angles and applying them afterwards, slice by
// slice of V^T that stays in cache (measured: 15% faster at n = 400, 15%
// slower at n = 200).
constexpr uint64_t kDeferAbove = 256;
inline bool defer_accumulator(uint64_t n) { return n > kDeferAbove; }
// Scratch of the row-by-row sweeps: lines j (and j + 1) of W, and the
// (c, s) of every rotation when they are applied to V^T afterwards.
inline uint64_t plain_scratch_size(uint64_t n) {
    return 2 * round_up(n) + (defer_accumulator(n) ? n * (n - 1) : 0);
}
// Orders above this take the blocked sweep below (measured: 1.3x at n = 128,
// 1.5x at 500, 2.4x at 1000; 0.86x at 101, where W stays in L1/L2 anyway).
constexpr uint64_t kBlockAbove = 127;
inline bool blocked(uint64_t n) { return n > kBlockAbove; }
// The sweep in groups splits across threads from this order on (below it,
// a pair's passes are too short to pay for handing them over), and across
// at most this many.
constexpr uint64_t kSplitFrom = 256;
// From this order on, where W (3 MiB at n = 624) no longer fits in a core's
// second-level cache, the sweep in groups is streamed (measured on one
// thread: 0.92x the time at n = 640 and 700, 0.94x at 760, 0.90x at 1000;
// the same at 616, 1.04x at 600 and 1.06x at 500, where the transposes it
// adds cost more than the traffic it saves).
constexpr uint64_t kStreamFrom = 624;
constexpr unsigned kMaxPieces = 8;
// The sweep in groups applies its rotations to V^T after every this many
// groups, on blocks of this many groups of eight columns: a block of V^T
// (n x 128, 0.5 MiB at n = 500) stays in the second-level cache across the
// window (measured at n = 500: 0.93x the time of blocks of 64 columns;
// windows of 16 or 32 groups gain nothing more).
constexpr uint64_t kVtWindow = 8, kVtBlockGroups = 16;
struct PairSlot;
inline uint64_t pair_slots(uint64_t n);
// Scratch of rotate::sweep, in doubles: at least round_up(n) in any case.
inline uint64_t sweep_scratch_size(uint64_t n);
inline double *align(double *p) {
    return reinterpret_cast<double *>((reinterpret_cast<uintptr_t>(p) + kAlign * sizeof(double) - 1) &
                                      ~(uintptr_t)(kAlign * sizeof(double) - 1));
}

typedef double v8d __attribute__((vector_size(64)));

// Two-source lane selection with constant indices: GCC (from 12) and Clang
// share __builtin_shufflevector; older GCC has only __builtin_shuffle.
#if defined(__clang__) || __GNUC__ >= 12
#define ZANTHIC_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
typedef int64_t v8i __attribute__((vector_size(64)));
#define ZANTHIC_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, v8i{__VA_ARGS__})
#endif
#define ZANTHIC_LO1 0, 8, 2, 10, 4, 12, 6, 14
#define ZANTHIC_HI1 1, 9, 3, 11, 5, 13, 7, 15
#define ZANTHIC_LO2 0, 1, 8, 9, 4, 5, 12, 13
#define ZANTHIC_HI2 2, 3, 10, 11, 6, 7, 14, 15
#define ZANTHIC_LO4 0, 1, 2, 3, 8, 9, 10, 11
#define ZANTHIC_HI4 4, 5, 6, 7, 12, 13, 14, 15

inline __attribute__((always_inline)) void load(v8d &v, const double *p) { __builtin_memcpy(&v, p, sizeof v); }
inline __attribute__((always_inline)) void store(double *p, const v8d &v) { __builtin_memcpy(p, &v, sizeof v); }

// r[i] = row i of an 8 x 8 tile becomes r[m] = column m.
inline __attribute__((always_inline)) void transpose(v8d *r) {
    v8d t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = ZANTHIC_SHUFFLE(r[i], r[i + 1], ZANTHIC_LO1);
        t[i + 1] = ZANTHIC_SHUFFLE(r[i], r[i + 1], ZANTHIC_HI1);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = ZANTHIC_SHUFFLE(t[i], t[i + 2], ZANTHIC_LO2);
        u[i + 2] = ZANTHIC_SHUFFLE(t[i], t[i + 2], ZANTHIC_HI2);
        u[i + 1] = ZANTHIC_SHUFFLE(t[i + 1], t[i + 3], ZANTHIC_LO2);
        u[i + 3] = ZANTHIC_SHUFFLE(t[i + 1], t[i + 3], ZANTHIC_HI2);
    }
    for (int i = 0; i < 4; i++) {
        r[i] = ZANTHIC_SHUFFLE(u[i], u[i + 4], ZANTHIC_LO4);
        r[i + 4] = ZANTHIC_SHUFFLE(u[i], u[i + 4], ZANTHIC_HI4);
    }
}

// Eight doubles in registers of four (AVX2) or two (SSE2, NEON). A vector
// type wider than the instruction set's registers is kept in memory by the
// compilers, every operation going through the stack: the row-by-row sweeps
// in v8d ran ten times slower on AVX2 than on AVX-512. These packs are
// structures of native vectors, which stay in registers; the same
// operations on the same operands, element by element, so every variant
// agrees bit for bit.
typedef double v4d __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));
#if defined(__clang__) || __GNUC__ >= 12
#define ZANTHIC_SHUFFLE_N(t, a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
typedef int64_t v4i __attribute__((vector_size(32)));
typedef int64_t v2i __attribute__((vector_size(16)));
#define ZANTHIC_SHUFFLE_N(t, a, b, ...) __builtin_shuffle(a, b, t{__VA_ARGS__})
#endif
struct Pack4 {
    v4d h[2];
};
struct Pack2 {
    v2d h[4];
};
#define ZANTHIC_PACK_OPS(P, N)                                                                 \
    inline __attribute__((always_inline)) P operator+(const P &a, const P &b) {                \
        P r;                                                                                   \
        for (int i = 0; i < N; i++) r.h[i] = a.h[i] + b.h[i];                                  \
        return r;                                                                              \
    }                                                                                          \
    inline __attribute__((always_inline)) P operator-(const P &a, const P &b) {                \
        P r;                                                                                   \
        for (int i = 0; i < N; i++) r.h[i] = a.h[i] - b.h[i];                                  \
        return r;                                                                              \
    }                                                                                          \
    inline __attribute__((always_inline)) P operator*(double c, const P &a) {                  \
        P r;                                                                                   \
        for (int i = 0; i < N; i++) r.h[i] = c * a.h[i];                                       \
        return r;                                                                              \
    }                                                                                          \
    inline __attribute__((always_inline)) void load(P &v, const double *p) {                   \
        for (int i = 0; i < N; i++) __builtin_memcpy(&v.h[i], p + i * (8 / N), sizeof v.h[i]); \
    }                                                                                          \
    inline __attribute__((always_inline)) void store(double *p, const P &v) {                  \
        for (int i = 0; i < N; i++) __builtin_memcpy(p + i * (8 / N), &v.h[i], sizeof v.h[i]); \
    }
ZANTHIC_PACK_OPS(Pack4, 2)
ZANTHIC_PACK_OPS(Pack2, 4)
#undef ZANTHIC_PACK_OPS

// 4 x 4 transpose of rows a, b, c, d.
inline __attribute__((always_inline)) void transpose4(v4d &a, v4d &b, v4d &c, v4d &d) {
    const v4d t0 = ZANTHIC_SHUFFLE_N(v4i, a, b, 0, 4, 2, 6), t1 = ZANTHIC_SHUFFLE_N(v4i, a, b, 1, 5, 3, 7);
    const v4d t2 = ZANTHIC_SHUFFLE_N(v4i, c, d, 0, 4, 2, 6), t3 = ZANTHIC_SHUFFLE_N(v4i, c, d, 1, 5, 3, 7);
    a = ZANTHIC_SHUFFLE_N(v4i, t0, t2, 0, 1, 4, 5);
    b = ZANTHIC_SHUFFLE_N(v4i, t1, t3, 0, 1, 4, 5);
    c = ZANTHIC_SHUFFLE_N(v4i, t0, t2, 2, 3, 6, 7);
    d = ZANTHIC_SHUFFLE_N(v4i, t1, t3, 2, 3, 6, 7);
}
// The 8 x 8 tile in four 4 x 4 blocks; the two off the diagonal trade
// places.
inline __attribute__((always_inline)) void transpose(Pack4 *r) {
    v4d lo[8], hi[8];
    for (int i = 0; i < 8; i++) {
        lo[i] = r[i].h[0];
        hi[i] = r[i].h[1];
    }
    transpose4(lo[0], lo[1], lo[2], lo[3]);
    transpose4(lo[4], lo[5], lo[6], lo[7]);
    transpose4(hi[0], hi[1], hi[2], hi[3]);
    transpose4(hi[4], hi[5], hi[6], hi[7]);
    for (int i = 0; i < 4; i++) {
        r[i].h[0] = lo[i];
        r[i].h[1] = lo[i + 4];
        r[i + 4].h[0] = hi[i];
        r[i + 4].h[1] = hi[i + 4];
    }
}
// The tile in sixteen 2 x 2 blocks: block (p, q) becomes block (q, p).
inline __attribute__((always_inline)) void transpose(Pack2 *r) {
    v2d t[8][4];
    for (int p = 0; p < 4; p++)
        for (int q = 0; q < 4; q++) {
            const v2d a = r[2 * p].h[q], b = r[2 * p + 1].h[q];
            t[2 * q][p] = ZANTHIC_SHUFFLE_N(v2i, a, b, 0, 2);
            t[2 * q + 1][p] = ZANTHIC_SHUFFLE_N(v2i, a, b, 1, 3);
        }
    for (int i = 0; i < 8; i++)
        for (int q = 0; q < 4; q++) r[i].h[q] = t[i][q];
}

// One rotation of x and y: x' = c x + s y, y' = c y - s x. kUnit: every
// cosine of the block is exactly 1.0 (all its angles are tiny, as in the
// later sweeps), and 1.0 * x is x in every case (signed zeros, infinities
// and NaN included), so the multiplications by c are left out with the
// same results bit for bit.
template <bool kUnit, class V = v8d>
inline __attribute__((always_inline)) void rotate_pair(V &x, V &y, double c, double s) {
    if (kUnit) {
        const V nx = x + s * y;
        y = y - s * x;
        x = nx;
    } else {
        const V nx = c * x + s * y;
        y = c * y - s * x;
        x = nx;
    }
}

// Chains of up to eight rotations down the rows y[0..b) against x, for the
// columns [l0, l1), multiples of kLanes: x stays in registers.
template <bool kUnit, class V = v8d>
inline __attribute__((always_inline)) void rotate_rows(double *x, double *y, uint64_t stride, uint64_t l0,
                                                       uint64_t l1, const double *c, const double *s, uint64_t b) {
    for (uint64_t l = l0; l < l1; l += kLanes) {
        V xv;
        load(xv, x + l);
        for (uint64_t m = 0; m < b; m++) {
            double *yp = y + m * stride + l;
            V yv;
            load(yv, yp);
            rotate_pair<kUnit, V>(xv, yv, c[m], s[m]);
            store(yp, yv);
        }
        store(x + l, xv);
    }
}

// The column passes outside the core: for every row l in [l0, l1)
// (multiples of kLanes), the chain over (cj[l], w[l][k0 + m]) for m < b, where the block
// k0 .. k0 + b - 1 lies in the aligned group of eight columns from base.
// kFull: the block is the whole group (k0 == base, b == kLanes), so that
// the tile stays in registers.
template <bool kFull, bool kUnit, class V = v8d>
inline __attribute__((always_inline)) void rotate_columns(double *cj, double *w, uint64_t ld, uint64_t l0,
                                                          uint64_t l1, uint64_t base, uint64_t k0, const double *c,
                                                          const double *s, uint64_t b) {
    const uint64_t first = kFull ? 0 : k0 - base, count = kFull ? kLanes : b;
    for (uint64_t l = l0; l < l1; l += kLanes) {
        V r[8], xv;
        double *tile = w + l * ld + base;
        for (int i = 0; i < 8; i++) load(r[i], tile + i * ld);
        load(xv, cj + l);
        transpose(r);
        for (uint64_t m = 0; m < count; m++) rotate_pair<kUnit, V>(xv, r[first + m], c[m], s[m]);
        transpose(r);
        for (int i = 0; i < 8; i++) store(tile + i * ld, r[i]);
        store(cj + l, xv);
    }
}

// The rotations of one block on its core, in the plain order: for each
// m, the angle from core[0][0], core[m][m] and core[0][m], then columns 0
// and m, then rows 0 and m. kFixed, when not 0, is the block size b known
// at compile time, so that the full blocks unroll.
template <uint64_t kFixed, class Angle>
inline __attribute__((always_inline)) void rotate_core(double (*core)[kLanes + 1], uint64_t dynamic_b, double *c,
                                                       double *s) {
    const uint64_t b = kFixed ? kFixed : dynamic_b;
    for (uint64_t m = 1; m <= b; m++) {
        const Rotation rot = Angle::of(core[0][0], core[m][m], core[0][m]);
        const double cm = c[m - 1] = rot.c, sm = s[m - 1] = rot.s;
        for (uint64_t p = 0; p <= b; p++) {
            const double x = core[p][0], y = core[p][m];
            core[p][0] = cm * x + sm * y;
            core[p][m] = cm * y - sm * x;
        }
        for (uint64_t q = 0; q <= b; q++) {
            const double x = core[0][q], y = core[m][q];
            core[0][q] = cm * x + sm * y;
            core[m][q] = cm * y - sm * x;
        }
    }
}

// Applies the rotations of a sweep, rot = (c, s) pairs in sweep order, to
// the columns of V, that is the rows of V^T (n rows of stride ld, ld a
// multiple of kLanes). The columns of V^T are independent, so V^T is taken
// in slices of kGroups * kLanes columns, which stay in cache while every
// rotation of the sweep passes over them, instead of streaming all of V^T
// for every block of rotations.
template <int kGroups>
inline __attribute__((always_inline)) void rotate_slice(double *vt, uint64_t ld, uint64_t n, const double *rot) {
    const double *r = rot;
    for (uint64_t j = 0; j + 1 < n; j++) {
        v8d xv[kGroups];
        double *xp = vt + j * ld;
        for (int g = 0; g < kGroups; g++) load(xv[g], xp + g * kLanes);
        for (uint64_t k = j + 1; k < n; k++, r += 2) {
            double *yp = vt + k * ld;
            const double c = r[0], s = r[1];
            for (int g = 0; g < kGroups; g++) {
                v8d yv;
                load(yv, yp + g * kLanes);
                const v8d nx = c * xv[g] + s * yv;
                const v8d ny = c * yv - s * xv[g];
                store(yp + g * kLanes, ny);
                xv[g] = nx;
            }
        }
        for (int g = 0; g < kGroups; g++) store(xp + g * kLanes, xv[g]);
    }
}

inline __attribute__((always_inline)) void rotate_accumulator(double *vt, uint64_t ld, uint64_t n,
                                                              const double *rot) {
    constexpr uint64_t kGroups = 4;
    uint64_t l = 0;
    // Each slice applies the whole sweep's rotations: poll between slices.
    for (; l + kGroups * kLanes <= ld && !stop_requested(); l += kGroups * kLanes)
        rotate_slice<kGroups>(vt + l, ld, n, rot);
    for (; l < ld && !stop_requested(); l += kLanes) rotate_slice<1>(vt + l, ld, n, rot);
}

// One sweep over W (row stride ld, padded as above) and V^T (row stride
// ldv); cj holds sweep_scratch_size(n) doubles of scratch. Compiled once per
// instruction-set level below.
template <class Angle, class V = v8d>
inline __attribute__((always_inline)) void sweep_body(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj,
                                                      uint64_t n) {
    const uint64_t padded = round_up(n);
    const bool defer = defer_accumulator(n);
    double *rot = cj + padded, *next = rot;
    for (uint64_t j = 0; j + 1 < n; j++) {
        if (stop_requested()) return;
        for (uint64_t l = 0; l < n; l++) cj[l] = w[l * ld + j];
        double *rj = w + j * ld;
        // Blocks end on multiples of kLanes, so that the tiles of the column
        // passes are aligned groups of eight columns: one cache line a row.
        for (uint64_t k0 = j + 1, k1; k0 < n; k0 = k1) {
            const uint64_t base = k0 / kLanes * kLanes;
            k1 = base + kLanes < n ? base + kLanes : n;
            const uint64_t b = k1 - k0;
            // The core J x J, J = {j, k0 .. k0 + b - 1}, as core[p][q].
            double core[kLanes + 1][kLanes + 1];
            core[0][0] = cj[j];
            for (uint64_t q = 1; q <= b; q++) core[0][q] = rj[k0 + q - 1];
            for (uint64_t p = 1; p <= b; p++) {
                const double *row = w + (k0 + p - 1) * ld + k0;
                core[p][0] = cj[k0 + p - 1];
                for (uint64_t q = 1; q <= b; q++) core[p][q] = row[q - 1];
            }
            // The next block's core rows are not touched by this block's
            // passes: fetch them while those run.
            for (uint64_t p = k1; p < k1 + kLanes && p < n; p++) __builtin_prefetch(w + p * ld + k1, 1);
            double c[kLanes], s[kLanes];
            if (b == kLanes)
                rotate_core<kLanes, Angle>(core, b, c, s);
            else
                rotate_core<0, Angle>(core, b, c, s);
            bool unit = true;
            for (uint64_t m = 0; m < b; m++) unit &= c[m] == 1.0;
            if (unit) {
                if (b == kLanes)
                    rotate_columns<true, true, V>(cj, w, ld, 0, padded, base, k0, c, s, b);
                else
                    rotate_columns<false, true, V>(cj, w, ld, 0, padded, base, k0, c, s, b);
                rotate_rows<true, V>(rj, w + k0 * ld, ld, 0, padded, c, s, b);
                if (!defer) rotate_rows<true, V>(vt + j * ldv, vt + k0 * ldv, ldv, 0, padded, c, s, b);
            } else {
                if (b == kLanes)
                    rotate_columns<true, false, V>(cj, w, ld, 0, padded, base, k0, c, s, b);
                else
                    rotate_columns<false, false, V>(cj, w, ld, 0, padded, base, k0, c, s, b);
                rotate_rows<false, V>(rj, w + k0 * ld, ld, 0, padded, c, s, b);
                if (!defer) rotate_rows<false, V>(vt + j * ldv, vt + k0 * ldv, ldv, 0, padded, c, s, b);
            }
            if (defer) {
                for (uint64_t m = 0; m < b; m++) {
                    *next++ = c[m];
                    *next++ = s[m];
                }
            }
            cj[j] = core[0][0];
            for (uint64_t q = 1; q <= b; q++) rj[k0 + q - 1] = core[0][q];
            for (uint64_t p = 1; p <= b; p++) {
                double *row = w + (k0 + p - 1) * ld + k0;
                cj[k0 + p - 1] = core[p][0];
                for (uint64_t q = 1; q <= b; q++) row[q - 1] = core[p][q];
            }
        }
        for (uint64_t l = 0; l < n; l++) w[l * ld + j] = cj[l];
    }
    if (defer) rotate_accumulator(vt, ldv, n, rot);
}

// ---- blocked sweep, for orders whose W does not stay in cache -------------
//
// The sweep above streams all of W below and right of row j once per block
// of eight rotations. Above kBlockAbove the sweep instead takes the rotations
// eight rows j at a time: for a group J of eight consecutive j and a group K
// of eight consecutive k (K = J first, then every later group), it applies
// every rotation (j, k), j in J, k in K, k > j, in row order. W's rows J and
// K and V^T's then stream once for up to 64 rotations instead of 8.
//
// The rotations are those of the plain procedure: rotation (j, k) still sees
// every earlier rotation that touches lines j or k (those of earlier groups
// J, of earlier groups K with the same J, and the earlier j of J on the same
// k), and the rotations that now run ahead of it touch neither line. Three
// things change the rounding, so that W and V agree with the plain procedure
// to rounding, not bit for bit: rotations on four distinct lines meet in a
// different order where their passes cross, W is kept symmetric, and the
// angles come from rotation_algebraic (the core is a chain of angles, each
// waiting for the last, and its square roots are shorter than atan, cos and
// sin: 0.9x the time of a whole sweep at n = 500). Only rows are rotated;
// the rotated rows, transposed, are written over the columns of the same
// lines, which in exact arithmetic is what rotating the columns gives, for
// half the arithmetic and no strided reads.
//
// As in the sweep above, the entries among the lines L = J u K form a small
// core rotated in the plain order, columns then rows (they give the angles);
// the streaming passes skip the columns (and, mirrored, the rows) of L's
// two groups, which the core then writes.
//
// The rotations of one pair of groups. c and s are indexed a * kLanes + b
// for line a of J and line b of K (or of J itself when K = J).
//
// The streaming passes apply them in scaled form, two multiply-adds a
// rotation instead of two multiplications and two multiply-adds: with each
// line p held as sigma_p times a scaled line (sigma_p = 1 to start with),
//   x' = c x + s y = (c sigma_x) (x~ + t1 y~),  t1 = (s / c) sigma_y / sigma_x
//   y' = c y - s x = (c sigma_y) (y~ - t2 x~),  t2 = (s / c) sigma_x / sigma_y
// so each rotation multiplies both scales by c, and the lines are scaled
// back once, after the pair's last rotation. Angles lie within pi/4, so
// c >= 1/sqrt(2) and a line's scale stays above 2^-8 over a pair's at most
// 15 rotations: no overflow or loss of range, and each multiply-add rounds
// relative to a term of the same size as in the unscaled rotation.
struct PairRotations {
    double t1[kLanes * kLanes], t2[kLanes * kLanes];
    double sigma[2 * kLanes];  // by line of the pair: J, then K
};

// One scaled rotation of two vectors: x' = x + t1 y, y' = y - t2 x, and
// scaling a vector.
struct PlainArith {
    template <class V>
    static inline __attribute__((always_inline)) void rotate(V &x, V &y, double t1, double t2) {
        const V nx = x + t1 * y;
        y = y - t2 * x;
        x = nx;
    }
    template <class V>
    static inline __attribute__((always_inline)) void scale(V &x, double sigma) {
        x = sigma * x;
    }
};
#if ZANTHIC_X86
struct FusedAvx512 {
    ZANTHIC_TARGET_AVX512 static inline void rotate(v8d &x, v8d &y, double t1, double t2) {
        const __m512d xv = (__m512d)x, yv = (__m512d)y;
        x = (v8d)_mm512_fmadd_pd(_mm512_set1_pd(t1), yv, xv);
        y = (v8d)_mm512_fnmadd_pd(_mm512_set1_pd(t2), xv, yv);
    }
    ZANTHIC_TARGET_AVX512 static inline void scale(v8d &x, double sigma) {
        x = (v8d)_mm512_mul_pd(_mm512_set1_pd(sigma), (__m512d)x);
    }
};
struct FusedAvx2 {
    ZANTHIC_TARGET_AVX2 static inline void rotate(v8d &x, v8d &y, double t1, double t2) {
        const __m256d tv1 = _mm256_set1_pd(t1), tv2 = _mm256_set1_pd(t2);
        __m256d xv[2], yv[2];
        __builtin_memcpy(xv, &x, sizeof x);
        __builtin_memcpy(yv, &y, sizeof y);
        for (int h = 0; h < 2; h++) {
            const __m256d nx = _mm256_fmadd_pd(tv1, yv[h], xv[h]);
            yv[h] = _mm256_fnmadd_pd(tv2, xv[h], yv[h]);
            xv[h] = nx;
        }
        __builtin_memcpy(&x, xv, sizeof x);
        __builtin_memcpy(&y, yv, sizeof y);
    }
    ZANTHIC_TARGET_AVX2 static inline void scale(v8d &x, double sigma) {
        const __m256d sv = _mm256_set1_pd(sigma);
        __m256d xv[2];
        __builtin_memcpy(xv, &x, sizeof x);
        for (int h = 0; h < 2; h++) xv[h] = _mm256_mul_pd(sv, xv[h]);
        __builtin_memcpy(&x, xv, sizeof x);
    }
    // The same on eight doubles held as two registers of four.
    ZANTHIC_TARGET_AVX2 static inline void rotate(Pack4 &x, Pack4 &y, double t1, double t2) {
        const __m256d tv1 = _mm256_set1_pd(t1), tv2 = _mm256_set1_pd(t2);
        for (int h = 0; h < 2; h++) {
            const __m256d xv = (__m256d)x.h[h], yv = (__m256d)y.h[h];
            x.h[h] = (v4d)_mm256_fmadd_pd(tv1, yv, xv);
            y.h[h] = (v4d)_mm256_fnmadd_pd(tv2, xv, yv);
        }
    }
    ZANTHIC_TARGET_AVX2 static inline void scale(Pack4 &x, double sigma) {
        const __m256d sv = _mm256_set1_pd(sigma);
        for (int h = 0; h < 2; h++) x.h[h] = (v4d)_mm256_mul_pd(sv, (__m256d)x.h[h]);
    }
};
#endif

// x[0..8) are the lines of J, x[8..16) those of K (kDiagonal: K = J and
// only x[0..8) is used). Every rotation of the pair, unrolled, then the
// lines scaled back.
template <bool kDiagonal, class Arith>
inline __attribute__((always_inline)) void rotate_lines(v8d *x, const PairRotations &r) {
#pragma GCC unroll 8
    for (int a = 0; a < 8; a++)
#pragma GCC unroll 8
        for (int b = kDiagonal ? a + 1 : 0; b < 8; b++)
            Arith::rotate(x[a], x[kDiagonal ? b : 8 + b], r.t1[a * kLanes + b], r.t2[a * kLanes + b]);
#pragma GCC unroll 16
    for (int p = 0; p < (kDiagonal ? 8 : 16); p++) Arith::scale(x[p], r.sigma[p]);
}

// Rows [0, count) of a tile into x, the others zero (V^T has no padding
// rows), and back.
inline __attribute__((always_inline)) void load_rows(v8d *x, const double *p, uint64_t ld, uint64_t count) {
    for (uint64_t r = 0; r < kLanes; r++) {
        if (r < count)
            load(x[r], p + r * ld);
        else
            x[r] = v8d{};
    }
}
inline __attribute__((always_inline)) void store_rows(double *p, uint64_t ld, const v8d *x, uint64_t count) {
    for (uint64_t r = 0; r < count && r < kLanes; r++) store(p + r * ld, x[r]);
}

// Row pass of a whole pair on the columns l0, l0 + step, ... below l1 (all
// multiples of kLanes) of a matrix m of row stride ld: rows J and K, eight
// columns at a time. Serves W and V^T alike. kMirror (W): after rotating rows
// J and K of eight columns l, the same values, transposed, become columns J
// and K of the eight rows l. W is kept symmetric this way, so columns never
// need rotating: half the arithmetic of rotating both, and no strided reads.
// The columns of the groups J and K themselves are the core's (see
// pair_core) and skipped, as are those from skip.
template <bool kDiagonal, bool kMirror, class Arith>
inline __attribute__((always_inline)) void pair_rows(double *m, uint64_t ld, uint64_t l0, uint64_t l1, uint64_t step,
                                                     uint64_t j0, uint64_t k0, uint64_t skip, const PairRotations &r) {
    double *rj = m + j0 * ld, *rk = m + k0 * ld;
    for (uint64_t l = l0; l < l1; l += step) {
        if (kMirror && (l == j0 || l == k0 || l == skip)) continue;
        v8d x[16];
        for (int i = 0; i < 8; i++) load(x[i], rj + i * ld + l);
        if (!kDiagonal)
            for (int i = 0; i < 8; i++) load(x[8 + i], rk + i * ld + l);
        rotate_lines<kDiagonal, Arith>(x, r);
        for (int i = 0; i < 8; i++) store(rj + i * ld + l, x[i]);
        if (!kDiagonal)
            for (int i = 0; i < 8; i++) store(rk + i * ld + l, x[8 + i]);
        if (kMirror) {
            double *tile = m + l * ld;
            // The lines of K that the group of columns two ahead mirrors
            // into: one in every row, new for every pair, and beyond the
            // hardware's stride detection; at large n they come from the
            // last-level cache.
            if (!kDiagonal && l + 2 * step < l1)
                for (int i = 0; i < 8; i++) __builtin_prefetch(tile + (2 * step + i) * ld + k0, 1);
            transpose(x);
            for (int i = 0; i < 8; i++) store(tile + i * ld + j0, x[i]);
            if (!kDiagonal) {
                transpose(x + 8);
                for (int i = 0; i < 8; i++) store(tile + i * ld + k0, x[8 + i]);
            }
        }
    }
}

// Everything the passes of one pair of groups need from its core: the
// rotations (count of them; nl lines, fewer than 16, or 8 on the diagonal,
// when the pair has lines past n). jj is the J x J block after the pair,
// which the next pair's core starts from.
struct PairSlot {
    PairRotations r;
    double jj[kLanes][kLanes];
    uint64_t count, nl;
};

// The rotations of the pair of groups from j0 and k0 (k0 = j0: the
// diagonal pair) on the core L x L, L = J u K, in row order; lines past n
// take no part. The core is read from W, except its J x J block when jj is
// given (the block as the previous pair of the group left it); afterwards it
// goes back into W, J x J into slot.jj (and into W too when last is set).
// upper: W's lines J are read from rows J alone (the entries of K x J are
// taken from J x K), for the streamed sweep below, which keeps them there.
inline void pair_core(double *w, uint64_t ld, uint64_t n, uint64_t j0, uint64_t k0, const double (*jj)[kLanes],
                      bool last, PairSlot &slot, bool upper = false) {
    // Rows of the core are two vectors; entries past nl stay zero.
    alignas(64) double core[2 * kLanes][2 * kLanes] = {};
    PairRotations &r = slot.r;
    uint64_t line[2 * kLanes];
    uint8_t pq[kLanes * kLanes][2];
    const bool diagonal = j0 == k0;
    uint64_t nj = n - j0 < kLanes ? n - j0 : kLanes, nl = nj;
    for (uint64_t p = 0; p < nj; p++) line[p] = j0 + p;
    if (!diagonal) {
        const uint64_t nk = n - k0 < kLanes ? n - k0 : kLanes;
        for (uint64_t p = 0; p < nk; p++) line[nj + p] = k0 + p;
        nl += nk;
    }
    for (uint64_t p = 0; p < nl; p++)
        for (uint64_t q = 0; q < nl; q++)
            core[p][q] = jj && p < nj && q < nj ? jj[p][q]
                       : upper && p >= nj && q < nj ? w[line[q] * ld + line[p]]
                                                    : w[line[p] * ld + line[q]];
    // The order of the rotations. Every order that keeps, line by line, the
    // rotations of the line in row order applies the same rotations (those
    // on four distinct lines commute); the passes use row order. Off the
    // diagonal, the core takes them by anti-diagonals a + b instead: those of
    // one anti-diagonal share no line, so the processor overlaps their angle
    // computations (the core is otherwise one chain of them).
    uint64_t rotations = 0;
    if (diagonal) {
        for (uint64_t a = 0; a < nj; a++)
            for (uint64_t q = a + 1; q < nl; q++) {
                pq[rotations][0] = static_cast<uint8_t>(a);
                pq[rotations++][1] = static_cast<uint8_t>(q);
            }
    } else {
        const uint64_t nk = nl - nj;
        for (uint64_t t = 0; t + 1 < nj + nk; t++)
            for (uint64_t a = t < nk ? 0 : t - nk + 1; a < nj && a <= t; a++) {
                pq[rotations][0] = static_cast<uint8_t>(a);
                pq[rotations++][1] = static_cast<uint8_t>(nj + t - a);
            }
    }
    double *sigma = r.sigma;
    for (uint64_t p = 0; p < 2 * kLanes; p++) sigma[p] = 1.0;
    // A pair with lines past n goes through the passes as a whole one: the
    // rotations it lacks are x' = x + 0 y, y' = y - 0 x on the zeros that
    // stand for the missing lines, which leaves every line as it was.
    if (nl < (diagonal ? kLanes : 2 * kLanes))
        for (uint64_t i = 0; i < kLanes * kLanes; i++) r.t1[i] = r.t2[i] = 0.0;
    for (uint64_t t = 0; t < rotations; t++) {
        const uint64_t a = pq[t][0], q = pq[t][1];
        const Rotation rot = rotation_algebraic(core[a][a], core[q][q], core[a][q]);
        const uint64_t b = diagonal ? q : q - nj, i = a * kLanes + b;
        const double c = rot.c, s = rot.s;
        // Lines of K sit at kLanes + b in the streaming passes' order.
        const uint64_t qs = diagonal ? q : kLanes + b;
        const double tangent = s / c, ratio = sigma[qs] / sigma[a];
        r.t1[i] = tangent * ratio;
        r.t2[i] = tangent / ratio;
        sigma[a] *= c;
        sigma[qs] *= c;
        // The 2 x 2 block of lines a and q: columns, then rows.
        const double aa = core[a][a], aq = core[a][q], qa = core[q][a], qq = core[q][q];
        const double aa1 = c * aa + s * aq, aq1 = c * aq - s * aa, qa1 = c * qa + s * qq, qq1 = c * qq - s * qa;
        // Elsewhere rows a and q change by the row pass alone; the column
        // pass would give columns a and q the same values from the same
        // operands, the core being symmetric (W is kept so), so they are
        // copied over instead of computed again with strided accesses.
        // (Copied for every line, lines past nl being zeros on both sides,
        // and the entries of lines a and q then written over by the 2 x 2
        // block: a fixed loop without branches.)
        v8d ra[2], rq[2];
        for (int h = 0; h < 2; h++) {
            load(ra[h], core[a] + h * kLanes);
            load(rq[h], core[q] + h * kLanes);
            store(core[a] + h * kLanes, c * ra[h] + s * rq[h]);
            store(core[q] + h * kLanes, c * rq[h] - s * ra[h]);
        }
#pragma GCC unroll 16
        for (uint64_t p = 0; p < 2 * kLanes; p++) {
            core[p][a] = core[a][p];
            core[p][q] = core[q][p];
        }
        core[a][a] = c * aa1 + s * qa1;
        core[q][a] = c * qa1 - s * aa1;
        core[a][q] = c * aq1 + s * qq1;
        core[q][q] = c * qq1 - s * aq1;
    }
    slot.count = rotations;
    slot.nl = nl;
    for (uint64_t p = 0; p < nl; p++)
        for (uint64_t q = 0; q < nl; q++) {
            if (p < nj && q < nj) {
                slot.jj[p][q] = core[p][q];
                if (!last) continue;
            }
            w[line[p] * ld + line[q]] = core[p][q];
        }
}

// The passes of one pair over the columns of the groups of eight from l0,
// l0 + step, ... below l1: of W except the group from skip (no group:
// kNoGroup). W's padding (rows and columns from n on) holds zeros, so a
// pair with lines past n takes the same path as a whole one.
constexpr uint64_t kNoGroup = ~uint64_t(0);
template <class Arith>
inline __attribute__((always_inline)) void pair_passes(double *w, uint64_t ld, uint64_t j0, uint64_t k0,
                                                       const PairSlot &slot, uint64_t l0, uint64_t l1, uint64_t step,
                                                       uint64_t skip) {
    if (slot.count == 0) return;
    if (j0 == k0)
        pair_rows<true, true, Arith>(w, ld, l0, l1, step, j0, k0, skip, slot.r);
    else
        pair_rows<false, true, Arith>(w, ld, l0, l1, step, j0, k0, skip, slot.r);
}

// The same pair's rotations of V^T's rows, on its columns [l0, l1). V^T
// has no padding rows: a pair with lines past n reads zeros for them and
// writes back only its own.
template <class Arith>
inline __attribute__((always_inline)) void vt_pair(double *vt, uint64_t ldv, uint64_t n, uint64_t j0, uint64_t k0,
                                                   const PairSlot &slot, uint64_t l0, uint64_t l1) {
    if (slot.count == 0) return;
    const bool diagonal = j0 == k0;
    if (slot.nl == (diagonal ? kLanes : 2 * kLanes)) {
        if (diagonal)
            pair_rows<true, false, Arith>(vt, ldv, l0, l1, kLanes, j0, k0, kNoGroup, slot.r);
        else
            pair_rows<false, false, Arith>(vt, ldv, l0, l1, kLanes, j0, k0, kNoGroup, slot.r);
        return;
    }
    const uint64_t nj = n - j0 < kLanes ? n - j0 : kLanes, nk = n - k0;
    double *rj = vt + j0 * ldv, *rk = vt + k0 * ldv;
    for (uint64_t l = l0; l < l1; l += kLanes) {
        v8d x[16];
        load_rows(x, rj + l, ldv, nj);
        if (diagonal) {
            rotate_lines<true, Arith>(x, slot.r);
        } else {
            load_rows(x + 8, rk + l, ldv, nk);
            rotate_lines<false, Arith>(x, slot.r);
            store_rows(rk + l, ldv, x + 8, nk);
        }
        store_rows(rj + l, ldv, x, nj);
    }
}

// ---- symmetric row-by-row sweep, for decompositions that may round -------
// differently from the plain procedure
//
// The same rotations in the same order, on a W kept exactly symmetric: each
// entry is held once, on one side of the diagonal, during the sweep, and W
// is made whole again at its end. Rotation (j, k) changes, for each line l
// outside {j, k}, the pair W[j][l], W[k][l], one entry of which the plain
// procedure changes twice (once in row, once in column), so the sweep does
// half the work on W.
//
// Two lines at a time. Rotation (j + 1, k) touches lines j + 1 and k; every
// rotation (j, k'), k' > k, touches j and k': they share no line, so
// (j + 1, k) may run right after (j, k) with the same operands. The sweep
// takes rows j and j + 1 together: first (j, j + 1), then, block by block of
// up to eight lines K = k0 .. k1 - 1, (j, k) and (j + 1, k) for each k of
// the block. The two chains of angles overlap (the angle of (j + 1, k) waits
// for (j, k) and (j + 1, k - 1), not for (j, k + 1)), and every pass streams
// the lines of a block once for twice the rotations. cj0 and cj1 hold lines
// j and j + 1 whole; for the block K, the pairs of the lines l >= k1 are
// (cj[l], W[k][l]), rows right of the diagonal, the row pass; those of the
// lines l < k0 are (cj[l], W{l, k}), column k above the diagonal, or row k
// left of it.
//
// Where an entry lives. Once j has passed every line of a group of eight
// (j >= g0 = the first line of j's group), the entries W{l, k}, l in that
// group and k > l beyond it, change only as the second line of a pair, in
// the column passes: they are moved, transposed, into the lower triangle
// (W[k][l]) as j enters the next group, and their column passes become rows
// of it, with no transposes. The lines l of j's own group and beyond are
// held in the upper triangle; their column pass goes eight rows at a time
// through 8 x 8 tiles, transposed into registers. The core (lines j, j + 1
// and K) is gathered from the upper triangle and rotated there. The pieces
// of the tiles and of cj that fall into the core are overwritten by it.
//
// The passes apply the rotations in scaled form, as the sweep in groups does
// (see PairRotations): line j, rotated against every line of the block, is
// carried as sx * x~ (sx the product of the cosines so far), so that
// rotation m costs x~ += t1 y, y = c (y - t2 x~) with t1 = tan / sx and
// t2 = tan * sx, and x = sx x~ once at the end: three operations where the
// plain rotation takes six (two where every cosine is 1.0, as in the later
// sweeps, against four). The AVX2 and AVX-512 variants fuse the multiply-adds.
//
// The angles of a block form a chain of dependent operations, and the
// passes are independent work: the sweep runs them side by side. Once a
// block's rotations are known, its row pass over the next group of eight
// lines comes first (the next core reads those entries of cj); then the
// next block's core is rotated, with a slice of this block's remaining
// passes after each wave of its rotations, so that the processor fills the
// wait for each angle. Every element still sees the same operations in the
// same order. The 2 x 2 block of lines j, j + 1 passes from core to core
// (the tiles write over it in cj).

// The entries W[l][k], l in the group of eight from g and k beyond it, moved
// below the diagonal (to W[k][l]), for tiles of columns from c0, c0 + step, ...
template <class V>
inline __attribute__((always_inline)) void mirror_group_down(double *w, uint64_t ld, uint64_t g, uint64_t c0,
                                                             uint64_t padded) {
    for (uint64_t c = c0; c < padded; c += kLanes) {
        V x[8];
        for (int r = 0; r < 8; r++) load(x[r], w + (g + r) * ld + c);
        transpose(x);
        for (int r = 0; r < 8; r++) store(w + (c + r) * ld + g, x[r]);
    }
}

// W made whole at the end of a sweep in which the groups below `last` moved
// their entries below the diagonal and the rest kept them above it.
template <class V>
inline __attribute__((always_inline)) void make_whole(double *w, uint64_t ld, uint64_t n, uint64_t last) {
    const uint64_t padded = round_up(n);
    for (uint64_t g = 0; g < padded; g += kLanes) {
        // Up from below, for the groups that moved down, or down from above.
        for (uint64_t c = g + kLanes; c < padded; c += kLanes) {
            const bool down = g < last;
            double *from = down ? w + c * ld + g : w + g * ld + c, *to = down ? w + g * ld + c : w + c * ld + g;
            V x[8];
            for (int r = 0; r < 8; r++) load(x[r], from + r * ld);
            transpose(x);
            for (int r = 0; r < 8; r++) store(to + r * ld, x[r]);
        }
        for (uint64_t i = g + 1; i < g + kLanes && i < n; i++)
            for (uint64_t l = g; l < i; l++) w[i * ld + l] = w[l * ld + i];
    }
}

// One block of the two-line sweep: the lines K = k0 .. k0 + b - 1 (within
// the aligned group from base) and its core, kept so that each rotation's
// changes are two rows of eight: kk is K x K whole (symmetric), r0 and r1
// hold W{j, K} and W{j + 1, K}, a0, w01 and a1 the 2 x 2 block of lines j,
// j + 1. Lanes past b are zero. Rotation (j, k0 + m) has c0, s0, t1a,
// t2a [m]; (j + 1, k0 + m) c1, s1, t1b, t2b. The passes carry line j as
// sx0 * x~ and line j + 1 as sx1 * x~.
struct TwoBlock {
    alignas(64) double kk[kLanes][kLanes];
    alignas(64) double r0[kLanes];
    alignas(64) double r1[kLanes];
    double a0, w01, a1;
    uint64_t k0, base, b;
    bool unit;
    double c0[kLanes], s0[kLanes], c1[kLanes], s1[kLanes];
    double t1a[kLanes], t2a[kLanes], t1b[kLanes], t2b[kLanes], sx0, sx1;
};

// The block of lines k0 .. within the group from base; the 2 x 2 block of
// lines j, j + 1 comes from the previous core (a0, w01, a1).
inline __attribute__((always_inline)) void gather_two(TwoBlock &blk, const double *w, uint64_t ld, const double *cj0,
                                                      const double *cj1, double a0, double w01, double a1,
                                                      uint64_t k0, uint64_t n) {
    blk.k0 = k0;
    blk.base = k0 / kLanes * kLanes;
    const uint64_t b = blk.b = (blk.base + kLanes < n ? blk.base + kLanes : n) - k0;
    blk.a0 = a0;
    blk.w01 = w01;
    blk.a1 = a1;
    for (uint64_t q = 0; q < kLanes; q++) {
        blk.r0[q] = q < b ? cj0[k0 + q] : 0.0;
        blk.r1[q] = q < b ? cj1[k0 + q] : 0.0;
    }
    for (uint64_t p = 0; p < kLanes; p++) {
        const double *row = w + (k0 + p) * ld + k0;
        for (uint64_t q = 0; q < kLanes; q++)
            blk.kk[p][q] = p >= b || q >= b ? 0.0 : q >= p ? row[q] : blk.kk[q][p];
    }
}

// Rotation (j + i, k0 + m), i = 0 or 1, on the core; returns the rotation.
template <class Angle, class V>
inline __attribute__((always_inline)) Rotation rotate_two_core(TwoBlock &blk, uint64_t i, uint64_t m) {
    double &ai = i ? blk.a1 : blk.a0;
    double *ri = i ? blk.r1 : blk.r0, *ro = i ? blk.r0 : blk.r1;
    const double a = ai, w = ri[m], d = blk.kk[m][m];
    const Rotation rot = Angle::of(a, d, w);
    const double c = rot.c, s = rot.s;
    const double a1 = c * a + s * w, w1 = c * w - s * a;
    const double m1 = c * w + s * d, d1 = c * d - s * w;
    // The pairs (W{j + i, l}, W{k, l}) of the lines l of K, as rows; l = m
    // is the 2 x 2 block's, written after.
    V x, y;
    load(x, ri);
    load(y, blk.kk[m]);
    store(ri, c * x + s * y);
    store(blk.kk[m], c * y - s * x);
    // l = the other line of j, j + 1.
    const double xo = blk.w01, yo = ro[m];
    blk.w01 = c * xo + s * yo;
    ro[m] = c * yo - s * xo;
    ai = c * a1 + s * m1;
    ri[m] = c * w1 + s * d1;
    blk.kk[m][m] = c * d1 - s * w1;
    for (uint64_t l = 0; l < kLanes; l++) blk.kk[l][m] = blk.kk[m][l];
    return rot;
}

// The rotations of a block in waves: (j, k) and (j + 1, k - 1) together,
// then between(wave) for wave = 1 .. b + 1.
template <class Angle, class V, class Between>
inline __attribute__((always_inline)) void rotate_two(TwoBlock &blk, Between between) {
    const uint64_t b = blk.b;
    for (uint64_t wave = 0; wave <= b; wave++) {
        if (wave < b) {
            const Rotation r = rotate_two_core<Angle, V>(blk, 0, wave);
            blk.c0[wave] = r.c;
            blk.s0[wave] = r.s;
        }
        if (wave > 0) {
            const Rotation r = rotate_two_core<Angle, V>(blk, 1, wave - 1);
            blk.c1[wave - 1] = r.c;
            blk.s1[wave - 1] = r.s;
        }
        between(wave + 1);
    }
    bool unit = true;
    double sx0 = 1.0, sx1 = 1.0;
    for (uint64_t m = 0; m < b; m++) {
        unit &= blk.c0[m] == 1.0 && blk.c1[m] == 1.0;
        const double tan0 = blk.s0[m] / blk.c0[m], tan1 = blk.s1[m] / blk.c1[m];
        blk.t1a[m] = tan0 / sx0;
        blk.t2a[m] = tan0 * sx0;
        blk.t1b[m] = tan1 / sx1;
        blk.t2b[m] = tan1 * sx1;
        sx0 *= blk.c0[m];
        sx1 *= blk.c1[m];
    }
    blk.unit = unit;
    blk.sx0 = sx0;
    blk.sx1 = sx1;
}

// The row pass of a block: x0, x1 (lines j, j + 1) against the rows y
// (stride apart), on the columns [l0, l1).
template <class Arith, bool kUnit, class V>
inline __attribute__((always_inline)) void rows_two(double *x0, double *x1, double *y, uint64_t stride, uint64_t l0,
                                                    uint64_t l1, const TwoBlock &blk) {
    for (uint64_t l = l0; l < l1; l += kLanes) {
        V a, b;
        load(a, x0 + l);
        load(b, x1 + l);
        for (uint64_t m = 0; m < blk.b; m++) {
            double *yp = y + m * stride + l;
            V yv;
            load(yv, yp);
            Arith::rotate(a, yv, blk.t1a[m], blk.t2a[m]);
            if (!kUnit) Arith::scale(yv, blk.c0[m]);
            Arith::rotate(b, yv, blk.t1b[m], blk.t2b[m]);
            if (!kUnit) Arith::scale(yv, blk.c1[m]);
            store(yp, yv);
        }
        if (!kUnit) {
            Arith::scale(a, blk.sx0);
            Arith::scale(b, blk.sx1);
        }
        store(x0 + l, a);
        store(x1 + l, b);
    }
}

// The column pass through tiles of the upper triangle, eight rows l at a
// time: the tile's columns K, transposed, against cj0 and cj1 at l. kFull:
// the block is the whole group of eight columns (k0 == base).
template <class Arith, bool kFull, bool kUnit, class V>
inline __attribute__((always_inline)) void columns_two(double *x0, double *x1, double *w, uint64_t ld, uint64_t l0,
                                                       uint64_t l1, const TwoBlock &blk) {
    const uint64_t first = kFull ? 0 : blk.k0 - blk.base, count = kFull ? kLanes : blk.b;
    for (uint64_t l = l0; l < l1; l += kLanes) {
        V r[8], a, b;
        double *tile = w + l * ld + blk.base;
        for (int i = 0; i < 8; i++) load(r[i], tile + i * ld);
        load(a, x0 + l);
        load(b, x1 + l);
        transpose(r);
        for (uint64_t m = 0; m < count; m++) {
            Arith::rotate(a, r[first + m], blk.t1a[m], blk.t2a[m]);
            if (!kUnit) Arith::scale(r[first + m], blk.c0[m]);
            Arith::rotate(b, r[first + m], blk.t1b[m], blk.t2b[m]);
            if (!kUnit) Arith::scale(r[first + m], blk.c1[m]);
        }
        if (!kUnit) {
            Arith::scale(a, blk.sx0);
            Arith::scale(b, blk.sx1);
        }
        transpose(r);
        for (int i = 0; i < 8; i++) store(tile + i * ld, r[i]);
        store(x0 + l, a);
        store(x1 + l, b);
    }
}

// The passes of a block, as units of eight lines l: units [0, tiles) are the
// column pass (lines l < split = base + kLanes): those below `low` on the
// rows of the lower triangle, the rest as tiles of the upper one; the next
// units are the row pass from line `from` on, the last ones V^T. Applies
// units [u0, u1).
template <class Arith, bool kUnit, class V>
inline __attribute__((always_inline)) void two_passes_of(const TwoBlock &blk, double *w, uint64_t ld, double *vt,
                                                         uint64_t ldv, double *cj0, double *cj1, uint64_t j,
                                                         uint64_t low, uint64_t from, uint64_t padded, uint64_t u0,
                                                         uint64_t u1) {
    const uint64_t tiles = (blk.base + kLanes) / kLanes, rows = tiles + (padded - from) / kLanes;
    const uint64_t k0 = blk.k0, lows = low / kLanes;
    const uint64_t n0 = u0 < lows ? u0 : lows, n1 = u1 < lows ? u1 : lows;
    if (n0 < n1) rows_two<Arith, kUnit, V>(cj0, cj1, w + k0 * ld, ld, n0 * kLanes, n1 * kLanes, blk);
    if (u0 < lows) u0 = lows;
    if (u1 < u0) u1 = u0;
    const uint64_t t0 = u0 < tiles ? u0 : tiles, t1 = u1 < tiles ? u1 : tiles;
    const uint64_t r0 = u0 < tiles ? tiles : (u0 < rows ? u0 : rows), r1 = u1 < rows ? u1 : rows;
    const uint64_t v0 = u0 < rows ? rows : u0;
    const uint64_t rl0 = from + (r0 - tiles) * kLanes, rl1 = from + (r1 - tiles) * kLanes;
    const uint64_t vl0 = (v0 - rows) * kLanes, vl1 = u1 > rows ? (u1 - rows) * kLanes : 0;
    if (t0 < t1) {
        if (blk.b == kLanes)
            columns_two<Arith, true, kUnit, V>(cj0, cj1, w, ld, t0 * kLanes, t1 * kLanes, blk);
        else
            columns_two<Arith, false, kUnit, V>(cj0, cj1, w, ld, t0 * kLanes, t1 * kLanes, blk);
    }
    if (r0 < r1) rows_two<Arith, kUnit, V>(cj0, cj1, w + k0 * ld, ld, rl0, rl1, blk);
    if (vl0 < vl1) rows_two<Arith, kUnit, V>(vt + j * ldv, vt + (j + 1) * ldv, vt + k0 * ldv, ldv, vl0, vl1, blk);
}

template <class Arith, class V>
inline __attribute__((always_inline)) void two_passes(const TwoBlock &blk, double *w, uint64_t ld, double *vt,
                                                      uint64_t ldv, double *cj0, double *cj1, uint64_t j,
                                                      uint64_t low, uint64_t from, uint64_t padded, uint64_t u0,
                                                      uint64_t u1) {
    if (blk.unit)
        two_passes_of<Arith, true, V>(blk, w, ld, vt, ldv, cj0, cj1, j, low, from, padded, u0, u1);
    else
        two_passes_of<Arith, false, V>(blk, w, ld, vt, ldv, cj0, cj1, j, low, from, padded, u0, u1);
}

inline __attribute__((always_inline)) void scatter_two(const TwoBlock &blk, double *w, uint64_t ld, double *cj0,
                                                       double *cj1) {
    for (uint64_t q = 0; q < blk.b; q++) {
        cj0[blk.k0 + q] = blk.r0[q];
        cj1[blk.k0 + q] = blk.r1[q];
    }
    for (uint64_t p = 0; p < blk.b; p++) {
        double *row = w + (blk.k0 + p) * ld + blk.k0;
        for (uint64_t q = p; q < blk.b; q++) row[q] = blk.kk[p][q];
    }
}

// Line i of W whole into x (entries of lines below g0 in the lower
// triangle), and back.
inline __attribute__((always_inline)) void gather_line(double *x, const double *w, uint64_t ld, uint64_t i,
                                                       uint64_t g0, uint64_t n) {
    for (uint64_t l = 0; l < g0; l++) x[l] = w[i * ld + l];
    for (uint64_t l = g0; l < i; l++) x[l] = w[l * ld + i];
    for (uint64_t l = i; l < n; l++) x[l] = w[i * ld + l];
}
inline __attribute__((always_inline)) void scatter_line(const double *x, double *w, uint64_t ld, uint64_t i,
                                                        uint64_t g0, uint64_t n) {
    for (uint64_t l = 0; l < g0; l++) w[i * ld + l] = x[l];
    for (uint64_t l = g0; l < i; l++) w[l * ld + i] = x[l];
    for (uint64_t l = i; l < n; l++) w[i * ld + l] = x[l];
}

// Rotation (j, j + 1) on the whole lines x0, x1 (n long) and on rows j,
// j + 1 of V^T (padded long).
template <class Angle>
inline __attribute__((always_inline)) void rotate_first(double *x0, double *x1, double *vt, uint64_t ldv, uint64_t j,
                                                        uint64_t n, uint64_t padded) {
    const double a = x0[j], w = x0[j + 1], d = x1[j + 1];
    const Rotation rot = Angle::of(a, d, w);
    const double c = rot.c, s = rot.s;
    for (uint64_t l = 0; l < n; l++) {
        const double x = x0[l], y = x1[l];
        x0[l] = c * x + s * y;
        x1[l] = c * y - s * x;
    }
    const double a1 = c * a + s * w, w1 = c * w - s * a;
    const double m1 = c * w + s * d, d1 = c * d - s * w;
    x0[j] = c * a1 + s * m1;
    x0[j + 1] = x1[j] = c * w1 + s * d1;
    x1[j + 1] = c * d1 - s * w1;
    double *r0 = vt + j * ldv, *r1 = r0 + ldv;
    for (uint64_t l = 0; l < padded; l++) {
        const double x = r0[l], y = r1[l];
        r0[l] = c * x + s * y;
        r1[l] = c * y - s * x;
    }
}

template <class Angle, class Arith, class V = v8d>
inline __attribute__((always_inline)) void sweep_two_body(double *w, uint64_t ld, double *vt, uint64_t ldv,
                                                          double *cj, uint64_t n) {
    const uint64_t padded = round_up(n);
    double *cj0 = cj, *cj1 = cj + padded;
    auto none = [](uint64_t) __attribute__((always_inline)) {};
    TwoBlock blocks[2];
    uint64_t g0 = 0;
    // The lines' padding takes part in the passes: zero, it stays zero.
    for (uint64_t l = n; l < padded; l++) cj0[l] = cj1[l] = 0.0;
    for (uint64_t j = 0; j + 1 < n; j += 2) {
        if (stop_requested()) return;
        if (j % kLanes == 0 && j > 0) {
            mirror_group_down<V>(w, ld, j - kLanes, j, padded);
            g0 = j;
        }
        gather_line(cj0, w, ld, j, g0, n);
        gather_line(cj1, w, ld, j + 1, g0, n);
        rotate_first<Angle>(cj0, cj1, vt, ldv, j, n, padded);
        if (j + 2 < n) {
            TwoBlock *cur = &blocks[0], *next = &blocks[1];
            gather_two(*cur, w, ld, cj0, cj1, cj0[j], cj0[j + 1], cj1[j + 1], j + 2, n);
            rotate_two<Angle, V>(*cur, none);
            for (;;) {
                const uint64_t split = cur->base + kLanes;
                const uint64_t tiles = split / kLanes;
                if (split >= n) {
                    const uint64_t units = tiles + (padded - split) / kLanes + padded / kLanes;
                    two_passes<Arith, V>(*cur, w, ld, vt, ldv, cj0, cj1, j, g0, split, padded, 0, units);
                    scatter_two(*cur, w, ld, cj0, cj1);
                    break;
                }
                if (cur->unit)
                    rows_two<Arith, true, V>(cj0, cj1, w + cur->k0 * ld, ld, split, split + kLanes, *cur);
                else
                    rows_two<Arith, false, V>(cj0, cj1, w + cur->k0 * ld, ld, split, split + kLanes, *cur);
                gather_two(*next, w, ld, cj0, cj1, cur->a0, cur->w01, cur->a1, split, n);
                const uint64_t units = tiles + (padded - split - kLanes) / kLanes + padded / kLanes;
                const uint64_t slices = next->b + 1;
                uint64_t done = 0;
                rotate_two<Angle, V>(*next, [&](uint64_t m) __attribute__((always_inline)) {
                    const uint64_t upto = units * m / slices;
                    two_passes<Arith, V>(*cur, w, ld, vt, ldv, cj0, cj1, j, g0, split + kLanes, padded, done, upto);
                    done = upto;
                });
                scatter_two(*cur, w, ld, cj0, cj1);
                TwoBlock *t = cur;
                cur = next;
                next = t;
            }
            cj0[j] = cur->a0;
            cj0[j + 1] = cj1[j] = cur->w01;
            cj1[j + 1] = cur->a1;
        }
        scatter_line(cj0, w, ld, j, g0, n);
        scatter_line(cj1, w, ld, j + 1, g0, n);
    }
    make_whole<V>(w, ld, n, g0);
}

// ---- one group J on several threads ----------------------------------------
//
// The pairs (J, K) of a group run in order; each needs its core (a short
// sequential computation) and then passes over all of W's columns, which
// are independent column by column (V^T takes the rotations later, see
// sweep_groups). Of P threads, thread p owns the
// groups of eight columns p, p + P, p + 2P, ...: it applies every pair's
// rotations to its columns (and, W being symmetric, to the same rows), and
// it computes the cores of the pairs whose K it owns, whose entries its own
// passes produced. It publishes each core's rotations; the others apply them
// as they come. Each element is thus rotated by one thread, in the same
// order, with the same operands, whatever the number of threads: the results
// do not depend on it.
//
// Cores alternate between the threads, and each is computed ahead: the owner
// of the next pair's K applies the current pair to that group of columns
// first, computes the next core and publishes it, and only then applies the
// current pair to the rest of its columns. The chain from core to core is
// then one core and one group's pass long, and the passes fill the time.
//
// Why this is enough synchronisation. The owner of K publishes pair (J, K)
// only after applying every earlier pair to K's columns (and to whatever
// else its cores read); a thread applying (J, K) to its columns reads,
// besides its own results, the entries W[K][K'] of earlier pairs (J, K')
// with K' its own, which the owner of K wrote while applying (J, K') to K's
// columns -- before publishing (J, K).
struct GroupWork {
    double *w;
    uint64_t ld, n, j0;
    PairSlot *slots;
    alignas(64) std::atomic<uint64_t> published;  // pairs whose rotations are ready
    char padding[64 - sizeof(std::atomic<uint64_t>)];
};
// Published when an owner stopped on request: every thread returns.
constexpr uint64_t kStopped = ~uint64_t(0);

// Waits until pair i is published; false when the group stopped instead.
inline bool wait_for_pair(const std::atomic<uint64_t> &published, uint64_t i) {
    // Pairs take microseconds: spin a little (a pause is about 40 ns), then
    // give the core away, so that on a busy machine the thread being waited
    // for, if descheduled, gets it back (measured at n = 1000 under a load of
    // three: 85 us a pair spinning 4096 times before yielding, 25 us with
    // 256, against 20 us on one thread).
    constexpr unsigned kSpins = 1u << 8;
    for (unsigned spins = 0;; spins++) {
        const uint64_t ready = published.load(std::memory_order_acquire);
        if (ready == kStopped) return false;
        if (ready > i) return true;
        if (spins < kSpins) {
#if ZANTHIC_X86
            _mm_pause();
#endif
        } else {
            sched_yield();
        }
    }
}

template <class Arith>
inline __attribute__((always_inline)) void group_piece(void *ctx, unsigned piece, unsigned pieces) {
    GroupWork &g = *static_cast<GroupWork *>(ctx);
    const uint64_t j0 = g.j0, n = g.n, end = round_up(n), first = piece * kLanes, step = pieces * kLanes;
    auto owns = [=](uint64_t group) { return group / kLanes % pieces == piece; };
    // The core of pair i (from k0), published; false when stopping instead.
    auto core = [&](uint64_t i, uint64_t k0) {
        // Each core is a small part of a group: poll here, so that a stop
        // reaches every thread within a pair.
        if (stop_requested()) {
            g.published.store(kStopped, std::memory_order_release);
            return false;
        }
        pair_core(g.w, g.ld, n, j0, k0, i ? g.slots[i - 1].jj : nullptr, k0 + kLanes >= n, g.slots[i]);
        g.published.store(i + 1, std::memory_order_release);
        return true;
    };
    if (owns(j0) && !core(0, j0)) return;
    uint64_t i = 0;
    for (uint64_t k0 = j0; k0 < n; k0 += kLanes, i++) {
        if (!owns(k0) && !wait_for_pair(g.published, i)) return;
        const PairSlot &slot = g.slots[i];
        const uint64_t next = k0 + kLanes < n && owns(k0 + kLanes) ? k0 + kLanes : kNoGroup;
        if (next != kNoGroup) {
            pair_passes<Arith>(g.w, g.ld, j0, k0, slot, next, next + kLanes, kLanes, kNoGroup);
            if (!core(i + 1, next)) return;
        }
        pair_passes<Arith>(g.w, g.ld, j0, k0, slot, first, end, step, next);
    }
}

// The rotations of a window of consecutive groups (their slots one after
// the other, slots_per_group apart) applied to V^T, a block of columns at a
// time: for each block, every pair of every group of the window in order,
// so that each element of V^T takes the same operations in the same order
// as when every pair's rotations are applied at once. Blocks are taken from
// a shared counter by as many threads as run.
struct VtWork {
    double *vt;
    uint64_t ldv, n, j_first, groups, slots_per_group;
    const PairSlot *slots;
    alignas(64) std::atomic<uint64_t> next;  // the next block of columns
    char padding[64 - sizeof(std::atomic<uint64_t>)];
};

template <class Arith>
inline __attribute__((always_inline)) void vt_piece(void *ctx, unsigned, unsigned) {
    VtWork &v = *static_cast<VtWork *>(ctx);
    const uint64_t end = round_up(v.n), width = kVtBlockGroups * kLanes;
    for (;;) {
        const uint64_t l0 = v.next.fetch_add(1, std::memory_order_relaxed) * width;
        if (l0 >= end || stop_requested()) return;
        const uint64_t l1 = end - l0 < width ? end : l0 + width;
        for (uint64_t group = 0; group < v.groups; group++) {
            const uint64_t j0 = v.j_first + group * kLanes;
            const PairSlot *slots = v.slots + group * v.slots_per_group;
            for (uint64_t k0 = j0, i = 0; k0 < v.n; k0 += kLanes, i++)
                vt_pair<Arith>(v.vt, v.ldv, v.n, j0, k0, slots[i], l0, l1);
        }
    }
}

// How to run the threads of a group: pieces, and a function that runs
// fn(ctx, piece, pieces) for every piece at once on as many threads,
// returning false (having run nothing) when it cannot.
//
// Threads pay off only while every one of them has a core: on a busy
// machine a thread that is descheduled holds the others up at every pair
// (measured: 80 us a pair on two threads against 14 us on one, n = 500,
// under a load of four on two cores). The results do not depend on the
// choice, so groups are timed both ways (per pair, as pairs cost the same
// throughout a sweep), and the faster way is kept. The slower way is tried
// again after kRetimeFirst groups, then after twice as many each time it
// loses again, up to kRetimeMost; and only on a group of at most
// kTrialPairs pairs, so that a losing trial costs little. Threads are kept
// only while they take at most kThreadsAtMost of the time alone: a lucky
// trial on a busy machine is followed by groups that lose far more. The
// timings carry over from sweep to sweep.
//
// On a busy machine single timings mislead: a group alone that was
// descheduled for a time slice looked several times slower than it is, and
// threads, compared with it, won a trial and were then kept, losing group
// after group (measured at n = 500 under a load of two: a third of the
// groups on threads, at 2.6 times the time a pair). Being descheduled only
// ever adds time, so the time alone is the least of the recent groups',
// allowed to rise by kAloneDrift a group so that it follows a machine that
// does become slower. Threads lose by waiting on each other, every group
// again, so their time is the running mean of the groups that ran on them.
typedef bool (*RunTogether)(PieceFn fn, void *ctx, unsigned pieces);
constexpr uint64_t kRetimeFirst = 8, kRetimeMost = 256, kTrialPairs = 16;
constexpr double kThreadsAtMost = 0.8, kAloneDrift = 1.02;
struct Threads {
    unsigned pieces;
    RunTogether run;
    double seconds_per_pair[2];  // alone and on threads, as below; 0: not yet timed
    uint64_t wait, interval;     // groups until the slower way is tried again, and the next such wait
};

// Whether threads are the faster way by the timings so far.
inline bool threads_faster(const Threads &threads) {
    const double *timed = threads.seconds_per_pair;
    return timed[1] && timed[1] <= kThreadsAtMost * timed[0];
}

// Records a group's time per pair (or unit of work) on the way it ran, and
// after a trial when the slower way is to be tried next.
inline void record_time(Threads &threads, bool together, bool trial, double sample) {
    double *timed = threads.seconds_per_pair;
    if (!together)
        timed[0] = timed[0] && timed[0] * kAloneDrift < sample ? timed[0] * kAloneDrift : sample;
    else
        timed[1] = timed[1] && !trial ? 0.5 * (timed[1] + sample) : sample;
    if (trial) {
        const bool lost = together != threads_faster(threads);
        threads.interval = !lost || !threads.interval ? kRetimeFirst
                         : threads.interval < kRetimeMost ? 2 * threads.interval : kRetimeMost;
        threads.wait = threads.interval;
    }
}

inline double seconds_now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// One sweep in groups of eight rows j, each group on threads.pieces threads
// (on this one alone when they cannot all run at once). The groups rotate W
// only; their rotations are kept, kVtWindow groups at a time, and then
// applied to V^T by vt_piece on every thread, so that V^T streams through
// the caches once per window instead of once per pair, and its share of the
// work splits without a hand-off per pair. The scratch holds
// kVtWindow * pair_slots(n) slots.
inline uint64_t pair_slots(uint64_t n) { return round_up(n) / kLanes; }
inline void sweep_groups(PieceFn piece, PieceFn vt_apply, double *w, uint64_t ld, double *vt, uint64_t ldv,
                         void *scratch, uint64_t n, Threads &threads) {
    const uint64_t groups = round_up(n) / kLanes;
    unsigned pieces = threads.pieces;
    if (pieces > kMaxPieces) pieces = kMaxPieces;
    if (pieces > groups) pieces = static_cast<unsigned>(groups);
    if (pieces < 1 || !threads.run) pieces = 1;
    GroupWork g;
    g.w = w;
    g.ld = ld;
    g.n = n;
    PairSlot *const window = static_cast<PairSlot *>(scratch);
    VtWork v;
    v.vt = vt;
    v.ldv = ldv;
    v.n = n;
    v.j_first = 0;
    v.groups = 0;
    v.slots_per_group = pair_slots(n);
    v.slots = window;
    auto apply = [&] {
        v.next.store(0, std::memory_order_relaxed);
        if (pieces == 1 || !threads.run(vt_apply, &v, pieces)) vt_apply(&v, 0, 1);
        v.j_first += v.groups * kLanes;
        v.groups = 0;
    };
    for (g.j0 = 0; g.j0 + 1 < n; g.j0 += kLanes) {
        if (stop_requested()) return;
        g.slots = window + v.groups * v.slots_per_group;
        g.published.store(0, std::memory_order_relaxed);
        if (pieces == 1) {
            piece(&g, 0, 1);
        } else {
            const double *timed = threads.seconds_per_pair;
            const uint64_t pairs = (n - g.j0 + kLanes - 1) / kLanes;
            if (threads.wait) threads.wait--;
            const bool trial = pairs <= kTrialPairs && (!timed[1] || (timed[0] && !threads.wait));
            const bool together = trial != threads_faster(threads);
            const double start = seconds_now();
            const bool ran = together && threads.run(piece, &g, pieces);
            if (!ran) piece(&g, 0, 1);
            record_time(threads, ran, trial, (seconds_now() - start) / static_cast<double>(pairs));
        }
        if (++v.groups == kVtWindow) apply();
    }
    if (v.groups && !stop_requested()) apply();
}

// ---- sweep in groups, streamed --------------------------------------------
//
// The rotations of sweep_groups, pair of groups by pair of groups, with the
// same arithmetic, but W streamed once per group instead of once per pair
// of groups, and one hand-off between threads per group instead of one per
// pair. The results agree with sweep_groups to rounding (bit for bit when n
// is a multiple of eight): W holds one copy of each entry here, where
// sweep_groups keeps both copies that a core leaves, which may differ in
// their last bits.
//
// Storage. During the sweep each entry {a, b} of the symmetric W lives in
// one place: row max(a, b), column min(a, b), the lower triangle. The lines
// of the current group J are the exception: their entries right of J are
// held in rows J, fetched from the lower triangle (one 8 x 8 tile,
// transposed) as the group reaches them and put back at its end. At the end
// of the sweep the upper triangle is refilled from the lower one.
//
// First part of group J (one thread: the chain of cores). For each later
// group L in order, the tile of rows J, columns L takes the rotations of the
// pairs (J, J) and (J, K), J < K < L, each against the tile of rows L,
// columns K (transposed, so that it holds lines K); then the core of (J, L)
// gives that pair's rotations, which go at once to the tiles of rows J,
// columns K, K < L, against the same tiles of rows L, still in cache and
// now as they lie. Every entry of W right of and below J thus comes from
// memory once per group; sweep_groups reads its row and writes its mirror
// for each of the two pairs that rotate it.
//
// Second part (split across threads, eight columns at a time). With every
// rotation of the group known, the columns left of J (whose entries {l, k},
// l < J, live in rows J and K) and the columns of V^T take all of them in
// one pass, rows J held in registers; every block of eight columns is
// independent of the others.
//
// The second part of one group and the first part of the next touch
// disjoint entries (the next group's first part only reads and writes
// entries between lines after J), so they run together: thread 0 runs the
// next group's first part and a share of this group's second part, the
// others the rest. Each entry is computed the same way whatever thread
// computes it, so results do not depend on the number of threads.

// A pair's rotations on x[0..8) (lines of J) and x[8..16) (lines of K;
// kDiagonal: K = J and only x[0..8) is used). Lines past n are zeros here,
// and the rotations of a pair that has such lines are whole-pair rotations
// with zero tangents where lines are missing (see pair_core).
template <bool kDiagonal, class Arith>
inline __attribute__((always_inline)) void apply_pair(v8d *x, const PairSlot &slot) {
    rotate_lines<kDiagonal, Arith>(x, slot.r);
}

struct StreamWork {
    double *w, *vt;
    uint64_t ld, ldv, n;
    PairSlot *slots[2];  // the rotations of the groups in flight, by group index modulo 2
    uint64_t first;      // the group (its j0) whose first part thread 0 runs, or kNoGroup
    uint64_t second;     // the group whose second part the threads share, or kNoGroup
    uint64_t share0;     // blocks of that second part that thread 0 takes
    bool mirror;         // the step that refills the upper triangle
};

inline PairSlot *stream_slots(const StreamWork &g, uint64_t j0) { return g.slots[j0 / kLanes % 2]; }

template <class Arith>
inline __attribute__((always_inline)) void stream_first(StreamWork &g, uint64_t j0) {
    double *w = g.w;
    const uint64_t ld = g.ld, n = g.n;
    PairSlot *slots = stream_slots(g, j0);
    pair_core(w, ld, n, j0, j0, nullptr, j0 + kLanes >= n, slots[0], true);
    double *rj = w + j0 * ld;
    uint64_t i = 1;
    for (uint64_t l0 = j0 + kLanes; l0 < n; l0 += kLanes, i++) {
        if (stop_requested()) return;
        double *rl = w + l0 * ld;
        const bool last = l0 + kLanes >= n;
        v8d x[16];
        // Rows J, columns L, from where they live: rows L, columns J.
        for (int r = 0; r < 8; r++) load(x[r], rl + r * ld + j0);
        transpose(x);
        apply_pair<true, Arith>(x, slots[0]);
        uint64_t t = 1;
        for (uint64_t k0 = j0 + kLanes; k0 < l0; k0 += kLanes, t++) {
            for (int r = 0; r < 8; r++) load(x[8 + r], rl + r * ld + k0);
            transpose(x + 8);
            apply_pair<false, Arith>(x, slots[t]);
            transpose(x + 8);
            for (int r = 0; r < 8; r++) store(rl + r * ld + k0, x[8 + r]);
        }
        for (int r = 0; r < 8; r++) store(rj + r * ld + l0, x[r]);
        // The core writes its lines of J x L both ways, so that rows L,
        // columns J hold them too when L is the last group.
        pair_core(w, ld, n, j0, l0, slots[i - 1].jj, last, slots[i], true);
        const PairSlot &slot = slots[i];
        for (uint64_t k0 = j0 + kLanes; k0 < l0; k0 += kLanes) {
            for (int r = 0; r < 8; r++) {
                load(x[r], rj + r * ld + k0);
                load(x[8 + r], rl + r * ld + k0);
            }
            apply_pair<false, Arith>(x, slot);
            for (int r = 0; r < 8; r++) store(rl + r * ld + k0, x[8 + r]);
            if (last) {
                // The group's last rotation of these entries: back home.
                transpose(x);
                for (int r = 0; r < 8; r++) store(w + (k0 + r) * ld + j0, x[r]);
            } else {
                for (int r = 0; r < 8; r++) store(rj + r * ld + k0, x[r]);
            }
        }
    }
}

// Every rotation of group J on the columns [c0, c1) (multiples of eight) of
// a matrix m of row stride ld and `rows` rows: pair by pair, so that each
// pair's rotations stay in cache and rows K stream, the columns few enough
// that rows J stay in the first-level cache.
template <class Arith>
inline __attribute__((always_inline)) void stream_columns(double *m, uint64_t ld, uint64_t rows, uint64_t c0,
                                                          uint64_t c1, uint64_t j0, const PairSlot *slots,
                                                          uint64_t pairs) {
    v8d x[16];
    const uint64_t nj = rows - j0 < kLanes ? rows - j0 : kLanes;
    double *rj = m + j0 * ld;
    for (uint64_t c = c0; c < c1; c += kLanes) {
        load_rows(x, rj + c, ld, nj);
        apply_pair<true, Arith>(x, slots[0]);
        store_rows(rj + c, ld, x, nj);
    }
    for (uint64_t t = 1; t < pairs; t++) {
        const uint64_t k0 = j0 + t * kLanes, nk = rows - k0 < kLanes ? rows - k0 : kLanes;
        double *rk = m + k0 * ld;
        for (uint64_t c = c0; c < c1; c += kLanes) {
            load_rows(x, rj + c, ld, nj);
            load_rows(x + 8, rk + c, ld, nk);
            apply_pair<false, Arith>(x, slots[t]);
            store_rows(rk + c, ld, x + 8, nk);
            store_rows(rj + c, ld, x, nj);
        }
    }
}

// Blocks of eight columns that stream_columns takes at a time (measured at
// n = 1000: 16 and all of them are both 10% slower).
constexpr uint64_t kStreamChunk = 64;

template <class Arith>
inline __attribute__((always_inline)) void stream_second(StreamWork &g, uint64_t j0, uint64_t begin, uint64_t end) {
    const uint64_t left = j0 / kLanes, pairs = (g.n - j0 + kLanes - 1) / kLanes;
    const PairSlot *slots = stream_slots(g, j0);
    for (uint64_t item = begin, next; item < end; item = next) {
        if (stop_requested()) return;
        next = item < left && end > left ? left : end;
        if (next > item + kStreamChunk) next = item + kStreamChunk;
        if (item < left)
            stream_columns<Arith>(g.w, g.ld, round_up(g.n), item * kLanes, next * kLanes, j0, slots, pairs);
        else
            stream_columns<Arith>(g.vt, g.ldv, g.n, (item - left) * kLanes, (next - left) * kLanes, j0, slots,
                                  pairs);
    }
}

// Rows below the diagonal, transposed into the columns above it; rows of
// groups from piece, piece + pieces, ...
inline __attribute__((always_inline)) void mirror_lower(double *w, uint64_t ld, uint64_t n, unsigned piece,
                                                        unsigned pieces) {
    for (uint64_t r0 = (1 + piece) * kLanes; r0 < n; r0 += pieces * kLanes)
        for (uint64_t c0 = 0; c0 < r0; c0 += kLanes) {
            v8d x[8];
            for (int r = 0; r < 8; r++) load(x[r], w + (r0 + r) * ld + c0);
            transpose(x);
            for (int r = 0; r < 8; r++) store(w + (c0 + r) * ld + r0, x[r]);
        }
}

inline uint64_t stream_items(const StreamWork &g) { return g.second / kLanes + round_up(g.n) / kLanes; }

template <class Arith>
inline __attribute__((always_inline)) void stream_piece(void *ctx, unsigned piece, unsigned pieces) {
    StreamWork &g = *static_cast<StreamWork *>(ctx);
    if (g.mirror) {
        mirror_lower(g.w, g.ld, g.n, piece, pieces);
        return;
    }
    if (piece == 0 && g.first != kNoGroup) stream_first<Arith>(g, g.first);
    if (g.second == kNoGroup) return;
    const uint64_t items = stream_items(g), rest = items - g.share0;
    if (piece == 0)
        stream_second<Arith>(g, g.second, 0, g.share0);
    else
        stream_second<Arith>(g, g.second, g.share0 + rest * (piece - 1) / (pieces - 1),
                             g.share0 + rest * piece / (pieces - 1));
}

// Work of a step in tiles passed through a pair's rotations: a core costs
// about as much as this many (measured at n = 1000).
constexpr double kCoreTiles = 40.0;
inline double first_units(uint64_t n, uint64_t j0) {
    if (j0 == kNoGroup) return 0.0;
    const double m = static_cast<double>((round_up(n) - j0) / kLanes - 1);
    return m * m + kCoreTiles * (m + 1.0);
}
inline double item_units(uint64_t n, uint64_t j0) {
    return j0 == kNoGroup ? 0.0 : static_cast<double>((n - j0 + kLanes - 1) / kLanes);
}

// One sweep, streamed, on threads.pieces threads (on this one alone while
// they do not pay, timed as in sweep_groups). The scratch holds
// 2 * pair_slots(n) slots.
inline void sweep_streamed(PieceFn piece, double *w, uint64_t ld, double *vt, uint64_t ldv, void *scratch,
                           uint64_t n, Threads &threads) {
    const uint64_t groups = n > 1 ? (n - 2) / kLanes + 1 : 0;
    unsigned pieces = threads.pieces;
    if (pieces > kMaxPieces) pieces = kMaxPieces;
    if (pieces < 1 || !threads.run) pieces = 1;
    StreamWork g;
    g.w = w;
    g.vt = vt;
    g.ld = ld;
    g.ldv = ldv;
    g.n = n;
    g.slots[0] = static_cast<PairSlot *>(scratch);
    g.slots[1] = g.slots[0] + pair_slots(n);
    g.mirror = false;
    for (uint64_t s = 0; s <= groups; s++) {
        if (stop_requested()) return;
        g.first = s < groups ? s * kLanes : kNoGroup;
        g.second = s > 0 ? (s - 1) * kLanes : kNoGroup;
        const uint64_t items = g.second == kNoGroup ? 0 : stream_items(g);
        const double p1 = first_units(n, g.first), per_item = item_units(n, g.second);
        const double units = p1 + per_item * static_cast<double>(items);
        g.share0 = items;
        if (pieces == 1) {
            piece(&g, 0, 1);
            continue;
        }
        const double *timed = threads.seconds_per_pair;
        const uint64_t remaining = n - (g.second == kNoGroup ? g.first : g.second);
        if (threads.wait) threads.wait--;
        const bool trial = remaining <= kTrialPairs * kLanes && (!timed[1] || (timed[0] && !threads.wait));
        const bool together = trial != threads_faster(threads);
        const double start = seconds_now();
        bool ran = false;
        if (together) {
            const double even = units / pieces - p1;
            g.share0 = even <= 0.0 ? 0 : static_cast<uint64_t>(even / per_item + 0.5);
            if (g.share0 > items) g.share0 = items;
            ran = threads.run(piece, &g, pieces);
            if (!ran) g.share0 = items;
        }
        if (!ran) piece(&g, 0, 1);
        record_time(threads, ran, trial, (seconds_now() - start) / (units > 1.0 ? units : 1.0));
    }
    if (stop_requested()) return;
    g.mirror = true;
    // A short step: on threads only while they are the faster way.
    if (pieces == 1 || !threads_faster(threads) || !threads.run(piece, &g, pieces)) piece(&g, 0, 1);
}

// ---- dispatch -------------------------------------------------------------
// The variants of the row-by-row sweep perform the same operations on the
// same operands (nothing is fused into multiply-adds), so they agree bit for
// bit; the wider ones only hold a vector of eight in fewer registers. The
// sweep in groups fuses in the AVX2 and AVX-512 variants. Each variant has
// three sweeps: `sweep` (bit for bit the plain procedure), `group` (one group
// of the sweep in groups, on one of its threads) and `sweep_algebraic` (the
// same rotations on a symmetric W, angles without the math library);
// rotate::sweep picks one by the order and the caller's choice.

typedef void (*SweepFn)(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj, uint64_t n);

struct Kernels {
    SweepFn sweep;
    PieceFn group;
    SweepFn sweep_algebraic;  // the symmetric sweep, angles from rotation_algebraic
    PieceFn stream;           // one step of the streamed sweep in groups, on one of its threads
    PieceFn vt;               // the sweep in groups' rotations of V^T, on one of its threads
};

inline void sweep_portable(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj, uint64_t n) {
    sweep_body<LibraryAngle, Pack2>(w, ld, vt, ldv, cj, n);
}
inline void algebraic_portable(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj, uint64_t n) {
    sweep_two_body<AlgebraicAngle, PlainArith, Pack2>(w, ld, vt, ldv, cj, n);
}
inline void group_portable(void *ctx, unsigned piece, unsigned pieces) {
    group_piece<PlainArith>(ctx, piece, pieces);
}
inline void stream_portable(void *ctx, unsigned piece, unsigned pieces) {
    stream_piece<PlainArith>(ctx, piece, pieces);
}
inline void vt_portable(void *ctx, unsigned piece, unsigned pieces) { vt_piece<PlainArith>(ctx, piece, pieces); }
#if ZANTHIC_X86
ZANTHIC_TARGET_AVX2 inline void sweep_avx2(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj, uint64_t n) {
    sweep_body<LibraryAngle, Pack4>(w, ld, vt, ldv, cj, n);
}
ZANTHIC_TARGET_AVX2 __attribute__((flatten)) inline void algebraic_avx2(double *w, uint64_t ld, double *vt,
                                                                        uint64_t ldv, double *cj, uint64_t n) {
    sweep_two_body<AlgebraicAngle, FusedAvx2, Pack4>(w, ld, vt, ldv, cj, n);
}
// flatten: the fused rotation carries the variant's target, so it can only
// be inlined once the rest of the sweep is inside a function that has it.
ZANTHIC_TARGET_AVX2 __attribute__((flatten)) inline void group_avx2(void *ctx, unsigned piece, unsigned pieces) {
    group_piece<FusedAvx2>(ctx, piece, pieces);
}
ZANTHIC_TARGET_AVX2 __attribute__((flatten)) inline void stream_avx2(void *ctx, unsigned piece, unsigned pieces) {
    stream_piece<FusedAvx2>(ctx, piece, pieces);
}
ZANTHIC_TARGET_AVX2 __attribute__((flatten)) inline void vt_avx2(void *ctx, unsigned piece, unsigned pieces) {
    vt_piece<FusedAvx2>(ctx, piece, pieces);
}
ZANTHIC_TARGET_AVX512 inline void sweep_avx512(double *w, uint64_t ld, double *vt, uint64_t ldv, double *cj,
                                               uint64_t n) {
    sweep_body<LibraryAngle>(w, ld, vt, ldv, cj, n);
}
ZANTHIC_TARGET_AVX512 __attribute__((flatten)) inline void algebraic_avx512(double *w, uint64_t ld, double *vt,
                                                                            uint64_t ldv, double *cj, uint64_t n) {
    sweep_two_body<AlgebraicAngle, FusedAvx512>(w, ld, vt, ldv, cj, n);
}
ZANTHIC_TARGET_AVX512 __attribute__((flatten)) inline void group_avx512(void *ctx, unsigned piece, unsigned pieces) {
    group_piece<FusedAvx512>(ctx, piece, pieces);
}
ZANTHIC_TARGET_AVX512 __attribute__((flatten)) inline void stream_avx512(void *ctx, unsigned piece,
                                                                        unsigned pieces) {
    stream_piece<FusedAvx512>(ctx, piece, pieces);
}
ZANTHIC_TARGET_AVX512 __attribute__((flatten)) inline void vt_avx512(void *ctx, unsigned piece, unsigned pieces) {
    vt_piece<FusedAvx512>(ctx, piece, pieces);
}
#endif

inline constexpr Kernels kPortable = {sweep_portable, group_portable, algebraic_portable, stream_portable, vt_portable};
#if ZANTHIC_X86
inline constexpr Kernels kAvx2 = {sweep_avx2, group_avx2, algebraic_avx2, stream_avx2, vt_avx2};
inline constexpr Kernels kAvx512 = {sweep_avx512, group_avx512, algebraic_avx512, stream_avx512, vt_avx512};
inline constexpr const Kernels *kVariants[isa::kLevels] = {&kPortable, &kAvx2, &kAvx512};
#else
inline constexpr const Kernels *kVariants[isa::kLevels] = {&kPortable, nullptr, nullptr};
#endif

// The sweeps of the active variant, chosen on the first call.
inline const Kernels &kernels() {
    static const Kernels *const chosen = isa::pick(kVariants);
    return *chosen;
}

// Scratch of sweep_groups, in doubles.
inline uint64_t group_scratch_size(uint64_t n) {
    return (pair_slots(n) * sizeof(PairSlot) + sizeof(double) - 1) / sizeof(double);
}
// Scratch of either sweep in groups, at any order.
inline uint64_t groups_scratch_size(uint64_t n) {
    const uint64_t slots = (kVtWindow > 2 ? kVtWindow : 2) * group_scratch_size(n);
    return slots > round_up(n) ? slots : round_up(n);
}
inline uint64_t sweep_scratch_size(uint64_t n) {
    return blocked(n) ? groups_scratch_size(n) : plain_scratch_size(n);
}

// One sweep; scratch holds sweep_scratch_size(n) doubles. Threads are used
// from order kSplitFrom on. algebraic: the row-by-row sweep need not match
// the plain procedure bit for bit, so it keeps W symmetric and takes its
// angles from rotation_algebraic (orders above kBlockAbove take the sweep in
// groups either way).
inline void sweep(double *w, uint64_t ld, double *vt, uint64_t ldv, double *scratch, uint64_t n, Threads &threads,
                  bool algebraic = false) {
    Threads alone = {1, nullptr, {0.0, 0.0}, 0, 0};
    if (blocked(n))
        if (n >= kStreamFrom)
            sweep_streamed(kernels().stream, w, ld, vt, ldv, scratch, n, threads);
        else
            sweep_groups(kernels().group, kernels().vt, w, ld, vt, ldv, scratch, n, n >= kSplitFrom ? threads : alone);
    else if (algebraic)
        kernels().sweep_algebraic(w, ld, vt, ldv, scratch, n);
    else
        kernels().sweep(w, ld, vt, ldv, scratch, n);
}

}  // namespace rotate

}  // namespace zanthic

#endif
