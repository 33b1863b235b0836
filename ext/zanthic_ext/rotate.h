// Jacobi sweeps for svd.cpp: the rotation angle and one cyclic sweep over a
// working matrix W (n x n, row-major) and the transposed accumulator V^T.
//
// Every update is x' = c*x + s*y, y' = c*y - s*x, rounded after each
// multiplication (the build does not contract to fused multiply-adds: the
// documented quarter turn of the identity depends on the residues keeping
// their sign).
#ifndef ZANTHIC_ROTATE_H
#define ZANTHIC_ROTATE_H

#include <cmath>
#include <cstdint>

namespace zanthic {

// Diagonal entries closer than this count as equal: the angle is then a
// quarter turn, whose sign follows the off-diagonal entry.
constexpr double kAngleEpsilon = 1e-10;
constexpr double kQuarterPi = 0.7853981633974483;

struct Rotation {
    double c, s;
};

// The rotation that annihilates W[j][k], from a = W[j][j], b = W[k][k] and
// w = W[j][k]. NaN compares false both times: a NaN difference takes the
// quarter-turn branch and a NaN w turns by -pi/4.
inline Rotation rotation_for(double a, double b, double w) {
    const double t = 2.0 * w;
    const double diff = a - b;
    double theta;
    if (std::fabs(diff) >= kAngleEpsilon)
        theta = 0.5 * std::atan(t / diff);
    else
        theta = t >= 0.0 ? kQuarterPi : -kQuarterPi;
    return {std::cos(theta), std::sin(theta)};
}


inline uint64_t rotate_scratch_size(uint64_t n) { return n + 1; }

inline void rotate_sweep(double *w, double *vt, uint64_t n, double *scratch) {
    (void)scratch;
    for (uint64_t j = 0; j + 1 < n; j++) {
        for (uint64_t k = j + 1; k < n; k++) {
            const Rotation r = rotation_for(w[j * n + j], w[k * n + k], w[j * n + k]);
            const double c = r.c, s = r.s;
            for (uint64_t l = 0; l < n; l++) {
                const double x = w[l * n + j], y = w[l * n + k];
                w[l * n + j] = c * x + s * y;
                w[l * n + k] = c * y - s * x;
            }
            double *rj = w + j * n, *rk = w + k * n;
            for (uint64_t l = 0; l < n; l++) {
                const double x = rj[l], y = rk[l];
                rj[l] = c * x + s * y;
                rk[l] = c * y - s * x;
            }
            double *vj = vt + j * n, *vk = vt + k * n;
            for (uint64_t l = 0; l < n; l++) {
                const double x = vj[l], y = vk[l];
                vj[l] = c * x + s * y;
                vk[l] = c * y - s * x;
            }
        }
    }
}

}  // namespace zanthic

#endif
