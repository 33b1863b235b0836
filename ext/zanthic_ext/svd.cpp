// Singular value decomposition by Jacobi rotations of the Gram matrix.
#include "objects.h"
#include "zanthic_ext.h"

void Init_svd(void) {}
