// The transpose kernel behind cmatrix_transpose and Matrix#trans, on plain
// row-major arrays of doubles. It never allocates, never raises and touches
// no Ruby object; AVX-512, AVX2 or portable code is chosen once, through
// isa.h.
#ifndef ZANTHIC_TRANSPOSE_H
#define ZANTHIC_TRANSPOSE_H

#include <stdint.h>

namespace zanthic {

// dst (cols x rows) = transpose of src (rows x cols); the arrays must not
// overlap. Stops early, leaving dst partly written, when stop_requested.
void transpose(uint64_t rows, uint64_t cols, const double *src, double *dst);

}  // namespace zanthic

#endif
