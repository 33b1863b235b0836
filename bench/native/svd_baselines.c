/* Baselines for the svd benchmarks. */
#include <ruby.h>

void init_svd_baselines(VALUE mod) { (void)mod; }
