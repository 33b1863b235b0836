/* Baselines for the vector benchmarks. */
#include <ruby.h>

void init_vector_baselines(VALUE mod) { (void)mod; }
