/* Baselines for the matrix benchmarks. */
#include <ruby.h>

void init_matrix_baselines(VALUE mod) { (void)mod; }
