// The decomposition behind jacobi_svd in three steps, for callers that run
// it as part of a larger computation without the interpreter lock: prepare
// (with the lock: allocates everything, raising when it cannot), compute
// (touches nothing of Ruby's; stops early on request) and release.
#ifndef ZANTHIC_SVD_H
#define ZANTHIC_SVD_H

#include "zanthic_ext.h"

namespace zanthic {

// Every record and buffer of one decomposition of a (r x c, n = min(r, c)).
struct SvdWork {
    const CMatrix *a;
    CMatrix *at;     // A^T, when r < c: for the Gram matrix and as E
    CMatrix *ev;     // E V (max(r, c) x n), scaled in place into U; for r >= c
                     // it first holds A^T while the Gram matrix is formed
    CMatrix *v;      // n x n
    CVector *s;      // n
    double *buffer;  // W, V^T (first holding the Gram matrix) and the sweep's vectors
    bool algebraic;  // the symmetric sweep with angles from rotation_algebraic
                     // at every order (the plain procedure's rotations to
                     // rounding, not bit for bit); without it, only from
                     // order 24 on (false unless the caller sets it after
                     // svd_prepare)
    bool right_only; // the caller reads only V and S: U = (E V) D is not
                     // formed and ev holds nothing meaningful (false unless
                     // set after svd_prepare)
};

// Allocates the records and buffers for decomposing a; a's elements are
// not read yet. When an allocation raises, what was made is released.
void svd_prepare(SvdWork *w, const CMatrix *a);
// The decomposition itself: true when it finished, false when it stopped
// because an interrupt asked it to (its results are then meaningless).
bool svd_compute(SvdWork *w);
// Releases whatever records w still holds; accepts a zeroed SvdWork.
void svd_release(SvdWork *w);

}  // namespace zanthic

#endif
